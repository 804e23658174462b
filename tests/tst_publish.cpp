#include "httpserver.h"
#include "testsupport.h"

#include <QtTest>

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

namespace {

QString operator""_q(const char *text, size_t size) { return QString::fromUtf8(text, int(size)); }

struct Run
{
    int exitCode = -1; // also after a crash or a hang
    QString out, err;
    QString describe() const { return QStringLiteral("exit %1\n%2\n%3").arg(exitCode).arg(out, err); }
};

Run runPublish(const QStringList &arguments)
{
    QProcess process; // kills a hung run when it goes
    process.start(QStringLiteral(UPDATE_PUBLISH_PATH), arguments);
    const bool done = process.waitForFinished(180000);
    return {done && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

// One line per entry below dir, so a comparison names the first difference.
QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        entries << QDir(dir).relativeFilePath(info.filePath()) + ": "_q
                + (info.isSymLink() ? "link to "_q + info.symLinkTarget()
                   : info.isDir()   ? "folder"_q
                                    : QString::number(qHash(TestSupport::readAll(info.filePath()))));
    }
    entries.sort();
    return entries;
}

// A server tree and the release folders published into it.
struct Tree
{
    QTemporaryDir dir;
    QString root = dir.filePath("server"_q);
    int releases = 0;
    QStringList locked; // chattr +i, cleared again so the folder can go

    ~Tree() { for (const QString &path : qAsConst(locked)) TestSupport::chattr("-i"_q, path); }
    bool ok() const { return dir.isValid() && QDir().mkpath(root); }
    bool lock(const QString &path) { return TestSupport::chattr("+i"_q, (locked << path).last()); }
    QString bin(const QString &path) const { return root + "/packages/bin/"_q + path; }
    QString release(const Files &files) // also a folder when empty
    {
        const QString folder = dir.filePath(QString::number(++releases));
        QDir().mkpath(folder);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            TestSupport::writeFile(folder + "/"_q + it.key(), it.value());
        return folder;
    }
    Run publish(const QString &version, const QString &release, const QStringList &options = {})
    {
        return runPublish(QStringList{"--root"_q, root, "--version"_q, version, release} + options);
    }
    QJsonObject json(const QString &path) const
    {
        return QJsonDocument::fromJson(TestSupport::readAll(root + "/packages/"_q + path)).object();
    }
    QJsonArray entries() const { return json("update.json"_q).value("updateList"_q).toArray(); }
    QStringList manifest(const QString &v) const
    {
        return json("version/"_q + v + ".json"_q).value("value"_q).toVariant().toStringList();
    }
};

Files firstFiles()
{
    return Files{{"readme.txt"_q, "Tavrix 1.0\n"}, {"data/sub/config.ini"_q, "level=3\n"},
                 {"lib/core.dll"_q, QByteArray("\0\r\n\x1a\xff", 5).repeated(14000)}, {".settings"_q, "x"}};
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void twoReleasesThenTheUpdaterInstallsThem();
    void secondRelease_data();
    void secondRelease();
};

void TestPublish::twoReleasesThenTheUpdaterInstallsThem()
{
    Tree tree;
    QVERIFY(tree.ok());
    Files files = firstFiles();
    const QString release = tree.release(files);
    // A link to a file outside the release publishes the file's bytes.
    files["docs/manual.txt"_q] = "reached through a link\n";
    QVERIFY(TestSupport::writeFile(tree.dir.filePath("manual.txt"_q), files.value("docs/manual.txt"_q)));
    QVERIFY(QDir().mkpath(release + "/docs"_q)
            && QFile::link(tree.dir.filePath("manual.txt"_q), release + "/docs/manual.txt"_q));
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    const Run first = tree.publish("1.0.0"_q, release);
    QVERIFY2(first.exitCode == 0 && !first.err.contains("warning"_q), qPrintable(first.describe()));
    QCOMPARE(tree.manifest("1.0.0"_q), files.keys());
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY2(!QFileInfo(tree.bin(it.key())).isSymLink(), qPrintable(it.key()));
        QCOMPARE(TestSupport::readAll(tree.bin(it.key())), it.value());
    }
    const QString timeText = tree.entries().at(0).toObject().value("updateTime"_q).toString();
    const QJsonObject firstEntry{{"version"_q, "1.0.0"_q}, {"updateType"_q, 0}, {"reason"_q, QString()},
                                 {"updateTime"_q, timeText}};
    QCOMPARE(tree.entries(), QJsonArray{firstEntry});
    const QDateTime time = QDateTime::fromString(timeText, "yyyy-MM-dd hh:mm:ss"_q);
    QVERIFY2(time.isValid() && time >= before && time <= QDateTime::currentDateTime().addSecs(2),
             qPrintable(timeText));
    // No staging folder left behind.
    const QDir packages(tree.root + "/packages"_q);
    QCOMPARE(packages.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{"bin"_q, "update.json"_q, "version"_q}));
    // Keys the tool does not know must survive.
    QJsonObject top = tree.json("update.json"_q);
    top.insert("channel"_q, "stable"_q);
    QVERIFY(TestSupport::writeFile(tree.root + "/packages/update.json"_q, QJsonDocument(top).toJson()));
    const Files installed = files;
    files["readme.txt"_q] = "Tavrix 1.1\n";
    files["data/sub/new.ini"_q] = "[new]\n";
    const QString reason = "Fixes the \"save\" crash — 修复"_q;
    const Run second = tree.publish("1.1.0"_q, tree.release(files), {"--enforce"_q, "--reason"_q, reason});
    QVERIFY2(second.exitCode == 0 && second.out.contains("2 files"_q), qPrintable(second.describe()));
    QCOMPARE(tree.manifest("1.1.0"_q), (QStringList{"data/sub/new.ini"_q, "readme.txt"_q}));
    QCOMPARE(tree.json("update.json"_q).value("channel"_q), QJsonValue("stable"_q));
    const QJsonObject secondEntry{{"version"_q, "1.1.0"_q}, {"updateType"_q, 1}, {"reason"_q, reason},
                                  {"updateTime"_q, tree.entries().at(1).toObject().value("updateTime"_q)}};
    QCOMPARE(tree.entries(), (QJsonArray{firstEntry, secondEntry}));
    // The real updater, from 1.0.0, fetches only what 1.1.0 changed.
    const QString app = tree.release(installed);
    QVERIFY(TestSupport::writeFile(app + "/version"_q, "1.0.0"));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"), app + "/update.exe"_q));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"), app + "/updateCurl.exe"_q));
    QVERIFY(TestSupport::installFakeProgram(app, "Tavrix.exe"_q, {"record args.txt"_q}));
    TestHttpServer server;
    QVERIFY2(server.listen(UPDATER_TEST_PORT), qPrintable(server.errorString()));
    server.setRoot(tree.root);
    QProcess updater;
    updater.setWorkingDirectory(app);
    updater.start(app + "/update.exe"_q, QStringList());
    // The server answers from this event loop, so wait without blocking it.
    QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning, 180000);
    QVERIFY2(updater.exitStatus() == QProcess::NormalExit && updater.exitCode() == 0
                 && QFileInfo::exists(app + "/args.txt"_q),
             qPrintable(QString::fromLocal8Bit(updater.readAllStandardError())));
    QCOMPARE(TestSupport::readAll(app + "/version"_q), QByteArray("1.1.0"));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QCOMPARE(TestSupport::readAll(tree.bin(it.key())), it.value());
        QVERIFY2(TestSupport::readAll(app + "/"_q + it.key()) == it.value(), qPrintable(it.key()));
    }
    QCOMPARE(server.hits("/packages/version/1.0.0.json"_q), 0);
    QCOMPARE(server.hits("/packages/bin/lib/core.dll"_q), 0);
    QCOMPARE(server.hits("/packages/bin/data/sub/new.ini"_q), 1);
}

void TestPublish::secondRelease_data()
{
    // Setup items, ';'-separated: put:PATH[=TEXT], del:PATH, link:PATH=TARGET, lock:PATH (chattr +i).
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("messages"); // all in stderr
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("listed"); // the manifest of a published 1.1.0
    // A lone version stands for the usual command line.
    const auto row = [](const char *name, const char *arguments, const char *setup,
                        const char *messages, int exitCode = 1, const char *listed = "") {
        QString line = QString::fromUtf8(arguments);
        if (!line.contains(u' '))
            line = "--root {root} --version "_q + line + " {release}"_q;
        QTest::newRow(name) << line.split(u' ') << QString::fromUtf8(setup)
                            << QString::fromUtf8(messages).split(u'|') << exitCode
                            << QString::fromUtf8(listed).split(u' ', Qt::SkipEmptyParts);
    };
    row("listed_as_number", "1.2.3", R"(put:{list}={"updateList":[{"version":"01.2.3"}]})", "already listed");
    row("manifest_present", "1.1.0", "put:{root}/packages/version/1.1.0.json={}", "already exists");
    row("older_than_newest", "0.9.0", "", "not newer");
    row("malformed_two_numbers", "1.2", "", "malformed version");
    row("malformed_leading_zero", "01.2.3", "", "malformed version");
    row("malformed_beyond_int", "2147483648.0.0", "", "malformed version");
    row("unsafe_file_name", "1.1.0", "put:{release}/data/nul.txt", "unsafe file path");
    row("updater_in_other_case", "1.1.0", "put:{release}/Update.exe", "overwrite the updater");
    row("missing_release_folder", "--root {root} --version 1.1.0 {tmp}/none", "", "does not exist");
    row("missing_root", "--root {tmp}/none --version 1.1.0 {release}", "", "does not exist");
    row("release_is_a_file", "--root {root} --version 1.1.0 {release}/readme.txt", "", "not a folder");
    row("release_inside_tree", "--root {root} --version 1.1.0 {root}/packages/bin", "", "overlap");
    row("broken_link", "1.1.0", "link:{release}/data/broken.txt={tmp}/gone.txt", "broken link");
    row("link_loop", "1.1.0", "link:{release}/data/sub/back={release}/data", "link loop");
    row("file_where_bin_has_folder", "1.1.0", "put:{release}/plugins;put:{bin}/plugins/a.dll=a", "clash");
    row("folder_where_bin_has_file", "1.1.0", "put:{release}/notes/a.txt;put:{bin}/notes=a", "clash");
    row("unwritable_bin", "1.1.0", "put:{release}/new.txt;lock:{bin}", "cannot write");
    // A new folder and a replaced file are in place before readme.txt refuses.
    row("undone_after_failed_move", "1.1.0",
        "put:{release}/c/new.txt;put:{release}/lib/core.dll;lock:{bin}/readme.txt", "as it was");
    row("update_json_not_json", "1.1.0", R"(put:{list}={"updateList": [)", "not valid JSON");
    row("update_json_array", "1.1.0", "put:{list}=[]", "not a JSON object");
    row("update_json_without_list", "1.1.0", R"(put:{list}={"list":[]})", R"(no "updateList" array)");
    row("usage_no_root", "--version 1.1.0 {release}", "", "--root is required", 2);
    row("usage_two_folders", "--root {root} --version 1.1.0 {release} {release}", "", "RELEASE_FOLDER", 2);
    row("usage_repeated", "--version 1.2.0 --root {root} --version 1.1.0 {release}", "", "more than once", 2);
    row("usage_unknown", "--force --root {root} --version 1.1.0 {release}", "", "force", 2);
    // Published with a warning.
    row("updater_files_skipped", "1.1.0", "put:{release}/update.exe;put:{release}/bin/update.exe",
        "skips paths containing \"update.exe\"|\n  update.exe\n|\n  bin/update.exe\n", 0, "readme.txt");
    row("file_removed", "1.1.0", "del:{release}/data/sub/config.ini",
        "the updater never deletes files|\n  data/sub/config.ini\n", 0, "readme.txt");
    row("nothing_changed", "1.1.0", "put:{release}/readme.txt=Tavrix 1.0\n", "lists no files", 0);
    row("names_differing_in_case", "1.1.0", "put:{release}/Data/Sub/Config.ini",
        "differ only in letter case|\n  Data/Sub/Config.ini\n|\n  data/sub/config.ini\n", 0,
        "Data/Sub/Config.ini readme.txt");
}

void TestPublish::secondRelease()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setup);
    QFETCH(QStringList, messages);
    QFETCH(int, exitCode);
    QFETCH(QStringList, listed);
    Tree tree;
    QVERIFY(tree.ok());
    Files files = firstFiles();
    const Run first = tree.publish("1.0.0"_q, tree.release(files));
    QVERIFY2(first.exitCode == 0, qPrintable(first.describe()));
    // Without its fault each refused release would publish.
    files["readme.txt"_q] = "Tavrix 1.1\n";
    const QString release = tree.release(files);
    const auto fill = [&](QString text) {
        return text.replace("{bin}"_q, tree.root + "/packages/bin"_q)
            .replace("{list}"_q, tree.root + "/packages/update.json"_q).replace("{root}"_q, tree.root)
            .replace("{release}"_q, release).replace("{tmp}"_q, tree.dir.path());
    };
    for (const QString &item : setup.split(u';', Qt::SkipEmptyParts)) {
        const QString kind = item.section(u':', 0, 0);
        const QString rest = fill(item.section(u':', 1));
        const QString path = rest.section(u'=', 0, 0);
        const QString value = rest.contains(u'=') ? rest.section(u'=', 1) : "x\n"_q;
        if (kind == "put"_q)
            QVERIFY(TestSupport::writeFile(path, value.toUtf8()));
        else if (kind == "del"_q)
            QVERIFY(QFile::remove(path));
        else if (kind == "link"_q)
            QVERIFY(QFile::link(value, path));
        else if (!tree.lock(path))
            QSKIP("chattr +i is not available here");
    }
    for (QString &argument : arguments)
        argument = fill(argument);
    const QStringList before = snapshot(tree.dir.path());
    const Run run = runPublish(arguments);
    // A refusal is one line.
    QVERIFY2(run.exitCode == exitCode && run.out.isEmpty() == (exitCode != 0)
                 && (exitCode != 1 || !run.err.trimmed().contains(u'\n')),
             qPrintable(run.describe()));
    for (const QString &message : messages)
        QVERIFY2(run.err.contains(message), qPrintable(message + "\n--\n"_q + run.err));
    if (exitCode != 0) {
        QCOMPARE(snapshot(tree.dir.path()), before);
        return;
    }
    QCOMPARE(tree.manifest("1.1.0"_q), listed);
    QCOMPARE(tree.entries().size(), 2);
    // Skipped files are not copied; publishing, like the updater, never deletes.
    QStringList paths = files.keys();
    for (QDirIterator it(release, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        paths << QDir(release).relativeFilePath(it.next());
    for (const QString &path : qAsConst(paths)) {
        QVERIFY2(QFileInfo::exists(tree.bin(path)) == (listed.contains(path) || files.contains(path)),
                 qPrintable(path));
        if (listed.contains(path))
            QCOMPARE(TestSupport::readAll(tree.bin(path)), TestSupport::readAll(release + "/"_q + path));
    }
}

QTEST_MAIN(TestPublish)
#include "tst_publish.moc"
