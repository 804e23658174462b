#include "httpserver.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <initializer_list>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

namespace {

const int processTimeoutMs = 180000;

QString u(const char *text)
{
    return QString::fromUtf8(text);
}

QStringList strings(std::initializer_list<const char *> items)
{
    QStringList list;
    for (const char *item : items)
        list << u(item);
    return list;
}

QByteArray binaryContent(int seed, int size)
{
    QByteArray bytes;
    bytes.reserve(size);
    for (int i = 0; i < size; ++i)
        bytes.append(char((i * 7 + seed * 13 + (i >> 8)) & 0xff));
    return bytes;
}

struct Run
{
    bool finished = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QString out;
    QString err;

    bool succeeded() const { return finished && exitStatus == QProcess::NormalExit && exitCode == 0; }
    QString describe() const
    {
        return QStringLiteral("finished %1, exit %2\nstdout:\n%3\nstderr:\n%4")
            .arg(finished)
            .arg(exitCode)
            .arg(out, err);
    }
};

// A plain command-line run: no in-process server needs the event loop meanwhile.
Run runPublish(const QStringList &arguments)
{
    Run run;
    QProcess process;
    process.start(QStringLiteral(UPDATE_PUBLISH_PATH), arguments);
    run.finished = process.waitForFinished(processTimeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

Run publishRelease(const QString &root, const QString &version, const QString &release,
                   const QStringList &extra = QStringList())
{
    return runPublish(QStringList{QStringLiteral("--root"), root, QStringLiteral("--version"), version}
                      + extra + QStringList{release});
}

bool writeFiles(const QString &dir, const Files &files)
{
    if (!QDir().mkpath(dir))
        return false;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!TestSupport::writeFile(dir + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

// Every entry below dir: folders, links and file contents.
Files snapshot(const QString &dir)
{
    Files entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = QDir(dir).relativeFilePath(path);
        if (info.isSymLink())
            entries[relative] = "link to " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            entries[relative] = "folder";
        else
            entries[relative] = "file " + TestSupport::readAll(path);
    }
    return entries;
}

QString differences(const Files &before, const Files &after)
{
    QStringList lines;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            lines << QStringLiteral("removed: ") + it.key();
        else if (after.value(it.key()) != it.value())
            lines << QStringLiteral("changed: ") + it.key();
    }
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()))
            lines << QStringLiteral("added: ") + it.key();
    }
    return lines.join(QLatin1Char('\n'));
}

QJsonObject readJsonObject(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readAll(path)).object();
}

QJsonArray updateEntries(const QString &root)
{
    return readJsonObject(root + QStringLiteral("/packages/update.json"))
        .value(QStringLiteral("updateList"))
        .toArray();
}

QStringList manifestOf(const QString &root, const QString &version)
{
    QStringList paths;
    const QJsonArray values =
        readJsonObject(root + QStringLiteral("/packages/version/") + version + QStringLiteral(".json"))
            .value(QStringLiteral("value"))
            .toArray();
    for (const QJsonValue &value : values)
        paths << value.toString();
    return paths;
}

QString binFile(const QString &root, const QString &path)
{
    return root + QStringLiteral("/packages/bin/") + path;
}

bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

// Clears the immutable flag again however the test ends, so the folder can go.
class ImmutableGuard
{
public:
    bool set(const QString &path)
    {
        if (!chattr(QStringLiteral("+i"), path))
            return false;
        paths << path;
        return true;
    }
    ~ImmutableGuard()
    {
        for (const QString &path : qAsConst(paths))
            chattr(QStringLiteral("-i"), path);
    }

private:
    QStringList paths;
};

Files firstReleaseFiles()
{
    return Files{{u("readme.txt"), QByteArray("Tavrix 1.0\n")},
                 {u("data/sub/config.ini"), QByteArray("[main]\nlevel=3\n")},
                 {u("lib/core.dll"), binaryContent(1, 70000)},
                 {u(".settings"), QByteArray("hidden=yes\n")}};
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void firstReleaseIntoEmptyTree();
    void secondReleaseListsOnlyChanges();
    void entryFields_data();
    void entryFields();
    void refusalsLeaveTreeUntouched_data();
    void refusalsLeaveTreeUntouched();
    void warnings_data();
    void warnings();
    void failedMovePutsTreeBack();
    void helpDescribesUsage();
    void updaterInstallsPublishedReleases();
};

void TestPublish::firstReleaseIntoEmptyTree()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    const QString release = dir.filePath(QStringLiteral("release"));
    QVERIFY(QDir().mkpath(root));
    Files files = firstReleaseFiles();
    QVERIFY(writeFiles(release, files));
    // A link to a file outside the release publishes the file's bytes.
    const QByteArray manual("manual text, reached through a link\n");
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("outside/manual.txt")), manual));
    QVERIFY(QDir().mkpath(release + QStringLiteral("/docs")));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("outside/manual.txt")),
                        release + QStringLiteral("/docs/manual.txt")));
    files.insert(QStringLiteral("docs/manual.txt"), manual);

    const QDateTime before = QDateTime::currentDateTime();
    const Run run = publishRelease(root, QStringLiteral("1.0.0"), release,
                                   {QStringLiteral("--reason"), QStringLiteral("First release")});
    const QDateTime after = QDateTime::currentDateTime();
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    QVERIFY2(!run.err.contains(QStringLiteral("warning")), qPrintable(run.err));

    QStringList expected = files.keys();
    expected.sort();
    QCOMPARE(manifestOf(root, QStringLiteral("1.0.0")), expected);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QFileInfo copy(binFile(root, it.key()));
        QVERIFY2(copy.isFile() && !copy.isSymLink(), qPrintable(it.key()));
        QCOMPARE(TestSupport::readAll(copy.filePath()), it.value());
    }

    const QJsonArray entries = updateEntries(root);
    QCOMPARE(entries.size(), 1);
    const QJsonObject entry = entries.at(0).toObject();
    QCOMPARE(entry.value(QStringLiteral("version")).toString(), QStringLiteral("1.0.0"));
    QCOMPARE(entry.value(QStringLiteral("updateType")), QJsonValue(0));
    QCOMPARE(entry.value(QStringLiteral("reason")).toString(), QStringLiteral("First release"));
    const QDateTime time = QDateTime::fromString(entry.value(QStringLiteral("updateTime")).toString(),
                                                 QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QVERIFY2(time.isValid(), qPrintable(entry.value(QStringLiteral("updateTime")).toString()));
    QVERIFY2(time >= before.addSecs(-2) && time <= after.addSecs(2), qPrintable(time.toString()));

    // Nothing but the tree itself is left: no staging folder.
    QCOMPARE(QDir(root + QStringLiteral("/packages"))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name),
             strings({"bin", "update.json", "version"}));

    QVERIFY2(run.out.contains(QStringLiteral("1.0.0")), qPrintable(run.out));
    QVERIFY2(run.out.contains(QStringLiteral("5 files")), qPrintable(run.out));
    for (const QString &path : expected)
        QVERIFY2(run.out.contains(path), qPrintable(run.out));
}

void TestPublish::secondReleaseListsOnlyChanges()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    QVERIFY(QDir().mkpath(root));
    const Files first = firstReleaseFiles();
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r1")), first));
    const Run firstRun = publishRelease(root, QStringLiteral("1.0.0"), dir.filePath(QStringLiteral("r1")));
    QVERIFY2(firstRun.succeeded(), qPrintable(firstRun.describe()));

    // Keys the tool does not know must survive.
    const QString updateJson = root + QStringLiteral("/packages/update.json");
    QJsonObject top = readJsonObject(updateJson);
    top.insert(QStringLiteral("channel"), QStringLiteral("stable"));
    QVERIFY(TestSupport::writeFile(updateJson, QJsonDocument(top).toJson()));
    const QJsonValue firstEntry = top.value(QStringLiteral("updateList")).toArray().at(0);
    const QByteArray firstManifest =
        TestSupport::readAll(root + QStringLiteral("/packages/version/1.0.0.json"));

    Files second = first;
    second[QStringLiteral("readme.txt")] = "Tavrix 1.1\n";
    second[QStringLiteral("data/sub/new.ini")] = "[new]\n";
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r2")), second));
#ifdef Q_OS_UNIX
    struct stat unchangedBefore;
    QCOMPARE(::stat(QFile::encodeName(binFile(root, QStringLiteral("lib/core.dll"))).constData(),
                    &unchangedBefore),
             0);
#endif

    const Run run = publishRelease(root, QStringLiteral("1.1.0"), dir.filePath(QStringLiteral("r2")));
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));

    QCOMPARE(manifestOf(root, QStringLiteral("1.1.0")), strings({"data/sub/new.ini", "readme.txt"}));
    QCOMPARE(TestSupport::readAll(root + QStringLiteral("/packages/version/1.0.0.json")), firstManifest);
    for (auto it = second.cbegin(); it != second.cend(); ++it)
        QCOMPARE(TestSupport::readAll(binFile(root, it.key())), it.value());
#ifdef Q_OS_UNIX
    // A rewritten file would be a new inode.
    struct stat unchangedAfter;
    QCOMPARE(::stat(QFile::encodeName(binFile(root, QStringLiteral("lib/core.dll"))).constData(),
                    &unchangedAfter),
             0);
    QCOMPARE(unchangedAfter.st_ino, unchangedBefore.st_ino);
#endif

    const QJsonObject after = readJsonObject(updateJson);
    QCOMPARE(after.value(QStringLiteral("channel")).toString(), QStringLiteral("stable"));
    const QJsonArray entries = after.value(QStringLiteral("updateList")).toArray();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0), firstEntry);
    QCOMPARE(entries.at(1).toObject().value(QStringLiteral("version")).toString(),
             QStringLiteral("1.1.0"));
    QVERIFY2(run.out.contains(QStringLiteral("2 files")), qPrintable(run.out));
}

void TestPublish::entryFields_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("updateType");
    QTest::addColumn<QString>("reason");

    QTest::newRow("optional_without_reason") << QStringList() << 0 << QString();
    QTest::newRow("optional_with_reason")
        << QStringList{QStringLiteral("--reason"), u("Fixes the \"save\" crash — 修复崩溃")} << 0
        << u("Fixes the \"save\" crash — 修复崩溃");
    QTest::newRow("enforced_without_reason") << strings({"--enforce"}) << 1 << QString();
    QTest::newRow("enforced_with_reason")
        << strings({"--reason", "Security fix", "--enforce"}) << 1 << u("Security fix");
}

void TestPublish::entryFields()
{
    QFETCH(QStringList, options);
    QFETCH(int, updateType);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    QVERIFY(QDir().mkpath(root));
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("release")), firstReleaseFiles()));

    const Run run =
        publishRelease(root, QStringLiteral("2.0.0"), dir.filePath(QStringLiteral("release")), options);
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    const QJsonArray entries = updateEntries(root);
    QCOMPARE(entries.size(), 1);
    const QJsonObject entry = entries.at(0).toObject();
    QCOMPARE(entry.value(QStringLiteral("updateType")), QJsonValue(updateType));
    QVERIFY(entry.value(QStringLiteral("reason")).isString());
    QCOMPARE(entry.value(QStringLiteral("reason")).toString(), reason);
}

void TestPublish::refusalsLeaveTreeUntouched_data()
{
    QTest::addColumn<QStringList>("arguments"); // {root}, {release} and {tmp} are filled in
    QTest::addColumn<Files>("extraFiles");      // added to the otherwise publishable release
    QTest::addColumn<QByteArray>("updateJson"); // replaces update.json unless null
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const auto withVersion = [](const char *version) {
        return QStringList{QStringLiteral("--root"), QStringLiteral("{root}"),
                           QStringLiteral("--version"), u(version), QStringLiteral("{release}")};
    };
    const QStringList standard = withVersion("1.1.0");
    const auto file = [](const char *path) { return Files{{u(path), QByteArray("x\n")}}; };

    QTest::newRow("already_listed") << withVersion("1.0.0") << Files() << QByteArray()
                                    << QString() << 1 << u("already listed");
    QTest::newRow("listed_with_leading_zero")
        << withVersion("1.2.3") << Files()
        << QByteArray(R"({"updateList":[{"version":"1.0.0","updateType":0},)"
                      R"({"version":"01.2.3","updateType":0}]})")
        << QString() << 1 << u("already listed");
    QTest::newRow("manifest_present") << standard << Files() << QByteArray()
                                      << u("manifest_present") << 1 << u("already exists");
    QTest::newRow("older_than_newest") << withVersion("0.9.0") << Files() << QByteArray()
                                       << QString() << 1 << u("not newer");

    const char *const malformed[][2] = {{"two_numbers", "1.2"},
                                        {"four_numbers", "1.2.3.4"},
                                        {"leading_zero", "01.2.3"},
                                        {"letters", "a.b.c"},
                                        {"negative", "-1.0.0"},
                                        {"beyond_int", "2147483648.0.0"},
                                        {"empty", ""},
                                        {"plus_sign", "+1.2.3"},
                                        {"blank", " 1.2.3"}};
    for (const auto &row : malformed) {
        QTest::newRow(qPrintable(QStringLiteral("malformed_") + u(row[0])))
            << withVersion(row[1]) << Files() << QByteArray() << QString() << 1
            << u("malformed version");
    }

    const char *const unsafe[][2] = {{"colon", "bad:name.txt"},
                                     {"trailing_dot", "trailing."},
                                     {"backslash", "back\\slash.txt"},
                                     {"folder_ending_in_blank", "dir /file.txt"},
                                     {"control_character", "tab\tname.txt"},
                                     {"question_mark", "what?.txt"},
                                     {"device_name", "data/nul.txt"}};
    for (const auto &row : unsafe) {
        QTest::newRow(qPrintable(QStringLiteral("unsafe_") + u(row[0])))
            << standard << file(row[1]) << QByteArray() << QString() << 1 << u("unsafe file path");
    }
    QTest::newRow("updater_in_other_case") << standard << file("Update.exe") << QByteArray()
                                           << QString() << 1 << u("overwrite the updater");

    QTest::newRow("missing_release_folder")
        << QStringList{QStringLiteral("--root"), QStringLiteral("{root}"), QStringLiteral("--version"),
                       QStringLiteral("1.1.0"), QStringLiteral("{tmp}/nowhere")}
        << Files() << QByteArray() << QString() << 1 << u("does not exist");
    QTest::newRow("release_is_a_file")
        << QStringList{QStringLiteral("--root"), QStringLiteral("{root}"), QStringLiteral("--version"),
                       QStringLiteral("1.1.0"), QStringLiteral("{release}/readme.txt")}
        << Files() << QByteArray() << QString() << 1 << u("not a folder");
    QTest::newRow("release_inside_tree")
        << QStringList{QStringLiteral("--root"), QStringLiteral("{root}"), QStringLiteral("--version"),
                       QStringLiteral("1.1.0"), QStringLiteral("{root}/packages/bin")}
        << Files() << QByteArray() << QString() << 1 << u("overlap");
    QTest::newRow("missing_root")
        << QStringList{QStringLiteral("--root"), QStringLiteral("{tmp}/noroot"),
                       QStringLiteral("--version"), QStringLiteral("1.1.0"), QStringLiteral("{release}")}
        << Files() << QByteArray() << QString() << 1 << u("does not exist");
    QTest::newRow("broken_link") << standard << Files() << QByteArray() << u("broken_link") << 1
                                 << u("broken link");
    QTest::newRow("link_loop") << standard << Files() << QByteArray() << u("link_loop") << 1
                               << u("link loop");
    QTest::newRow("file_where_bin_has_folder") << standard << file("plugins") << QByteArray()
                                               << u("bin_folder") << 1 << u("clash");
    QTest::newRow("folder_where_bin_has_file") << standard << file("notes/a.txt") << QByteArray()
                                               << u("bin_file") << 1 << u("clash");
    QTest::newRow("unwritable_bin") << standard << file("new.txt") << QByteArray()
                                    << u("immutable_bin") << 1 << u("cannot write");

    QTest::newRow("update_json_not_json") << standard << Files() << QByteArray(R"({"updateList": [)")
                                          << QString() << 1 << u("not valid JSON");
    QTest::newRow("update_json_empty") << standard << Files() << QByteArray("") << QString() << 1
                                       << u("not valid JSON");
    QTest::newRow("update_json_array") << standard << Files() << QByteArray("[]") << QString() << 1
                                       << u("not a JSON object");
    QTest::newRow("update_json_without_list")
        << standard << Files() << QByteArray(R"({"list":[]})") << QString() << 1
        << u("no \"updateList\" array");
    QTest::newRow("update_json_list_not_array")
        << standard << Files() << QByteArray(R"({"updateList":{}})") << QString() << 1
        << u("no \"updateList\" array");

    QTest::newRow("usage_no_root") << strings({"--version", "1.1.0", "{release}"}) << Files()
                                   << QByteArray() << QString() << 2 << u("--root is required");
    QTest::newRow("usage_no_version") << strings({"--root", "{root}", "{release}"}) << Files()
                                      << QByteArray() << QString() << 2
                                      << u("--version is required");
    QTest::newRow("usage_no_release_folder")
        << strings({"--root", "{root}", "--version", "1.1.0"}) << Files() << QByteArray()
        << QString() << 2 << u("RELEASE_FOLDER");
    QTest::newRow("usage_two_release_folders") << (standard + strings({"{release}"})) << Files()
                                               << QByteArray() << QString() << 2
                                               << u("RELEASE_FOLDER");
    QTest::newRow("usage_repeated_version")
        << (strings({"--version", "1.2.0"}) + standard) << Files() << QByteArray() << QString() << 2
        << u("more than once");
    QTest::newRow("usage_unknown_option") << (strings({"--force"}) + standard) << Files()
                                          << QByteArray() << QString() << 2 << u("force");
}

void TestPublish::refusalsLeaveTreeUntouched()
{
    QFETCH(QStringList, arguments);
    QFETCH(Files, extraFiles);
    QFETCH(QByteArray, updateJson);
    QFETCH(QString, setup);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    const QString release = dir.filePath(QStringLiteral("release"));
    QVERIFY(QDir().mkpath(root));
    const Files first = firstReleaseFiles();
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r1")), first));
    const Run firstRun = publishRelease(root, QStringLiteral("1.0.0"), dir.filePath(QStringLiteral("r1")));
    QVERIFY2(firstRun.succeeded(), qPrintable(firstRun.describe()));

    // Without its fault each row's release would publish.
    Files files = first;
    files[QStringLiteral("readme.txt")] = "Tavrix 1.1\n";
    QVERIFY(writeFiles(release, files));
    QVERIFY(writeFiles(release, extraFiles));
    if (!updateJson.isNull())
        QVERIFY(TestSupport::writeFile(root + QStringLiteral("/packages/update.json"), updateJson));

    ImmutableGuard immutable;
    if (setup == QLatin1String("manifest_present")) {
        QVERIFY(TestSupport::writeFile(root + QStringLiteral("/packages/version/1.1.0.json"),
                                       R"({"value":[]})"));
    } else if (setup == QLatin1String("broken_link")) {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone.txt")),
                            release + QStringLiteral("/data/broken.txt")));
    } else if (setup == QLatin1String("link_loop")) {
        QVERIFY(QFile::link(release + QStringLiteral("/data"),
                            release + QStringLiteral("/data/sub/back")));
    } else if (setup == QLatin1String("bin_folder")) {
        QVERIFY(TestSupport::writeFile(binFile(root, QStringLiteral("plugins/old.dll")), "old"));
    } else if (setup == QLatin1String("bin_file")) {
        QVERIFY(TestSupport::writeFile(binFile(root, QStringLiteral("notes")), "a file"));
    } else if (setup == QLatin1String("immutable_bin")) {
        if (!immutable.set(root + QStringLiteral("/packages/bin")))
            QSKIP("chattr +i is not available here");
    } else {
        QVERIFY2(setup.isEmpty(), qPrintable(setup));
    }

    for (QString &argument : arguments) {
        argument.replace(QStringLiteral("{root}"), root)
            .replace(QStringLiteral("{release}"), release)
            .replace(QStringLiteral("{tmp}"), dir.path());
    }
    const Files before = snapshot(dir.path());
    const Run run = runPublish(arguments);
    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit, qPrintable(run.describe()));
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    if (exitCode == 1)
        QVERIFY2(!run.err.trimmed().contains(QLatin1Char('\n')), qPrintable(run.err));
    QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
    const QString changes = differences(before, snapshot(dir.path()));
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
}

void TestPublish::warnings_data()
{
    QTest::addColumn<Files>("first"); // published as 1.0.0 unless empty
    QTest::addColumn<Files>("second"); // published as 1.1.0
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QStringList>("named");  // paths the warning must name
    QTest::addColumn<QStringList>("listed"); // the whole manifest of 1.1.0
    QTest::addColumn<QStringList>("notInBin");

    const Files base{{u("app.dll"), binaryContent(3, 5000)}, {u("data/a.txt"), QByteArray("a\n")}};

    Files withUpdater = base;
    withUpdater[QStringLiteral("update.exe")] = binaryContent(4, 3000);
    withUpdater[QStringLiteral("bin/update.exe")] = binaryContent(5, 3000);
    QTest::newRow("updater_files_skipped")
        << Files() << withUpdater << u("skips paths containing \"update.exe\"")
        << strings({"update.exe", "bin/update.exe"}) << strings({"app.dll", "data/a.txt"})
        << strings({"update.exe", "bin/update.exe"});

    Files withoutA = base;
    withoutA.remove(QStringLiteral("data/a.txt"));
    withoutA[QStringLiteral("app.dll")] = binaryContent(6, 5000);
    QTest::newRow("file_removed") << base << withoutA
                                  << u("removed in this release? the updater never deletes files")
                                  << strings({"data/a.txt"}) << strings({"app.dll"}) << QStringList();

    QTest::newRow("nothing_changed") << base << base << u("lists no files") << QStringList()
                                     << QStringList() << QStringList();

    Files twoCases = base;
    twoCases[QStringLiteral("Data/A.txt")] = "A\n";
    QTest::newRow("names_differing_in_case")
        << base << twoCases << u("differ only in letter case") << strings({"Data/A.txt", "data/a.txt"})
        << strings({"Data/A.txt"}) << QStringList();
}

void TestPublish::warnings()
{
    QFETCH(Files, first);
    QFETCH(Files, second);
    QFETCH(QString, warning);
    QFETCH(QStringList, named);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, notInBin);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    QVERIFY(QDir().mkpath(root));
    if (!first.isEmpty()) {
        QVERIFY(writeFiles(dir.filePath(QStringLiteral("r1")), first));
        const Run run = publishRelease(root, QStringLiteral("1.0.0"), dir.filePath(QStringLiteral("r1")));
        QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    }
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r2")), second));
    const Run run = publishRelease(root, QStringLiteral("1.1.0"), dir.filePath(QStringLiteral("r2")));
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));

    QVERIFY2(run.err.contains(warning), qPrintable(run.err));
    const QStringList errLines = run.err.split(QLatin1Char('\n'));
    for (const QString &path : named)
        QVERIFY2(errLines.contains(QStringLiteral("  ") + path), qPrintable(run.err));
    QCOMPARE(manifestOf(root, QStringLiteral("1.1.0")), listed);
    for (const QString &path : listed)
        QCOMPARE(TestSupport::readAll(binFile(root, path)), second.value(path));
    for (const QString &path : notInBin)
        QVERIFY2(!QFileInfo::exists(binFile(root, path)), qPrintable(path));
    // The updater never deletes, and neither does publishing.
    for (auto it = first.cbegin(); it != first.cend(); ++it)
        QVERIFY2(QFileInfo::exists(binFile(root, it.key())), qPrintable(it.key()));
    QCOMPARE(updateEntries(root).size(), first.isEmpty() ? 1 : 2);
}

void TestPublish::failedMovePutsTreeBack()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    QVERIFY(QDir().mkpath(root));
    const Files first{{u("a.txt"), QByteArray("a1\n")}, {u("b.txt"), QByteArray("b1\n")}};
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r1")), first));
    const Run firstRun = publishRelease(root, QStringLiteral("1.0.0"), dir.filePath(QStringLiteral("r1")));
    QVERIFY2(firstRun.succeeded(), qPrintable(firstRun.describe()));

    // a.txt goes into place before b.txt refuses to be replaced.
    const Files second{{u("a.txt"), QByteArray("a2\n")},
                       {u("b.txt"), QByteArray("b2\n")},
                       {u("c/new.txt"), QByteArray("c2\n")}};
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r2")), second));
    ImmutableGuard immutable;
    if (!immutable.set(binFile(root, QStringLiteral("b.txt"))))
        QSKIP("chattr +i is not available here");

    const Files before = snapshot(dir.path());
    const Run run = publishRelease(root, QStringLiteral("1.1.0"), dir.filePath(QStringLiteral("r2")));
    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit && run.exitCode == 1,
             qPrintable(run.describe()));
    QVERIFY2(run.err.contains(QStringLiteral("b.txt")), qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("as it was")), qPrintable(run.err));
    const QString changes = differences(before, snapshot(dir.path()));
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
}

void TestPublish::helpDescribesUsage()
{
    const Run run = runPublish({QStringLiteral("--help")});
    QVERIFY2(run.succeeded(), qPrintable(run.describe()));
    for (const char *text : {"--root", "--version", "--enforce", "--reason", "RELEASE_FOLDER",
                             "packages/update.json", "packages/version/", "packages/bin/",
                             "Refused", "Exit codes"})
        QVERIFY2(run.out.contains(u(text)), text);
}

void TestPublish::updaterInstallsPublishedReleases()
{
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString root = dir.filePath(QStringLiteral("server"));
    const QString app = dir.filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(root));

    const Files release110{{u("readme.txt"), QByteArray("Tavrix 1.1.0\n")},
                           {u("data/config.ini"), QByteArray("[main]\nlevel=1\n")},
                           {u("lib/core.dll"), binaryContent(10, 200000)},
                           {u("assets/img/logo.png"), binaryContent(11, 30000)}};
    Files release120 = release110;
    release120[QStringLiteral("readme.txt")] = "Tavrix 1.2.0\n";
    release120[QStringLiteral("assets/img/logo.png")] = binaryContent(12, 41000);
    release120[QStringLiteral("data/new.ini")] = "[new]\nvalue=2\n";
    release120[QStringLiteral("plugins/extra/plugin.dll")] = binaryContent(13, 90000);

    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r110")), release110));
    QVERIFY(writeFiles(dir.filePath(QStringLiteral("r120")), release120));
    const Run run110 =
        publishRelease(root, QStringLiteral("1.1.0"), dir.filePath(QStringLiteral("r110")));
    QVERIFY2(run110.succeeded(), qPrintable(run110.describe()));
    const Run run120 = publishRelease(root, QStringLiteral("1.2.0"),
                                      dir.filePath(QStringLiteral("r120")), {QStringLiteral("--enforce")});
    QVERIFY2(run120.succeeded(), qPrintable(run120.describe()));

    QVERIFY(writeFiles(app, release110));
    QVERIFY(TestSupport::writeFile(app + QStringLiteral("/version"), "1.1.0"));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"),
                        app + QStringLiteral("/update.exe")));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"),
                        app + QStringLiteral("/updateCurl.exe")));
    QString error;
    QVERIFY2(TestSupport::installFakeProgram(app, QStringLiteral("Tavrix.exe"),
                                             {QStringLiteral("record args.txt")}, &error),
             qPrintable(error));

    TestHttpServer server;
    QVERIFY2(server.listen(UPDATER_TEST_PORT), qPrintable(server.errorString()));
    server.setRoot(root);

    QProcess updater;
    updater.setWorkingDirectory(app);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(environment);
    updater.start(app + QStringLiteral("/update.exe"), QStringList());
    // The server answers from this event loop, so wait without blocking it.
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, processTimeoutMs);
    const QString output = QString::fromLocal8Bit(updater.readAllStandardError());
    QVERIFY2(updater.error() != QProcess::FailedToStart, qPrintable(updater.errorString()));
    QVERIFY2(updater.exitStatus() == QProcess::NormalExit && updater.exitCode() == 0,
             qPrintable(output));

    QVERIFY2(QFileInfo::exists(app + QStringLiteral("/args.txt")), qPrintable(output));
    QCOMPARE(TestSupport::readAll(app + QStringLiteral("/version")), QByteArray("1.2.0"));
    for (auto it = release120.cbegin(); it != release120.cend(); ++it)
        QVERIFY2(TestSupport::readAll(app + QLatin1Char('/') + it.key()) == it.value(),
                 qPrintable(it.key()));
    // Only the newer version's manifest, and only what it changed, was fetched.
    QCOMPARE(server.hits(QStringLiteral("/packages/version/1.1.0.json")), 0);
    QVERIFY(server.hits(QStringLiteral("/packages/version/1.2.0.json")) >= 1);
    QCOMPARE(server.hits(QStringLiteral("/packages/bin/lib/core.dll")), 0);
    QVERIFY(server.hits(QStringLiteral("/packages/bin/plugins/extra/plugin.dll")) >= 1);
}

QTEST_MAIN(TestPublish)
#include "tst_publish.moc"
