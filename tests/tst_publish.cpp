// update-publish run on a server tree in a temporary folder (1.0.1 after 1.0.0:
// a patch release, so that versions are told apart by every number), and the
// tree it writes served to the real updater by nginx with the documented site.

#include "testsupport.h"

#include <httplib.h>

struct Publish
{
    QString arguments; // a bare version stands for the usual command line, then any more
    QString setup; // ';'-separated: put:PATH[=TEXT], del:PATH, link:PATH=TARGET, lock:PATH (chattr
                   // +i), case (names differ in case)
    QString messages; // '|'-separated, each on standard error
    int exitCode;
    QString listed = {}; // the manifest of 1.0.1
};
Q_DECLARE_METATYPE(Publish)

class TestPublish : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString root, release; // release: the files of 1.0.1
    QMap<QString, QByteArray> files;
    QStringList locked;
    const bool links = QSysInfo::productType() != "windows"; // QFile::link makes a shortcut there
    int code = -1; // of the last publish, also after a crash or a hang
    QString out, err;

    void publish(const QStringList& arguments)
    {
        QProcess tool;
        tool.start(UPDATE_PUBLISH_PATH, arguments,
            QIODevice::ReadOnly | QIODevice::Text); // CR LF on Windows
        code = tool.waitForFinished(180000) && tool.exitStatus() == QProcess::NormalExit
            ? tool.exitCode()
            : -1;
        out = tool.readAllStandardOutput(), err = tool.readAllStandardError();
    }
    QString tree(const QString& path) const { return root + "/packages/" + path; }
    QJsonValue json(const QString& path, const QString& key) const
    {
        return QJsonDocument::fromJson(TestSupport::readAll(tree(path))).object()[key];
    }
    // The entry a publish appended: version, kind, reason, and a time of about now.
    void checkEntry(int index, const QString& version, bool enforce, const QString& reason)
    {
        QJsonObject entry = json("update.json", "updateList").toArray().at(index).toObject();
        const QString time = entry.take("updateTime").toString();
        QVERIFY2(qAbs(QDateTime::fromString(time, "yyyy-MM-dd hh:mm:ss")
                          .secsTo(QDateTime::currentDateTime()))
                < 60,
            qPrintable(time));
        QCOMPARE(entry,
            (QJsonObject {{"version", version}, {"updateType", int(enforce)}, {"reason", reason}}));
    }

private slots:
    // 1.0.0 is published, with a file reached through a link; 1.0.1 changes readme.txt.
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        root = tmp->filePath("server"), release = tmp->filePath("1.0.1");
        const QString first = tmp->filePath("1.0.0");
        files = {{"readme.txt", "Tavrix 1.0\n"}, {"data/sub/config.ini", "level=3\n"},
            {".settings", "x"}, {"lib/core.dll", QByteArray("\0\r\n\x1a\xff", 5).repeated(14000)},
            {"docs/manual.txt", "through a link\n"}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(TestSupport::writeFile(release + '/' + it.key(), it.value())
                && (it.key() == "docs/manual.txt"
                    || TestSupport::writeFile(first + '/' + it.key(), it.value())));
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(first + "/docs")
            && (links ? QFile::link(release + "/docs/manual.txt", first + "/docs/manual.txt")
                      : QFile::copy(release + "/docs/manual.txt", first + "/docs/manual.txt")));
        publish({"--root", root, "--version", "1.0.0", first});
        QVERIFY2(code == 0 && !err.contains("warning"), qPrintable(err));
        QCOMPARE(json("version/1.0.0.json", "value").toVariant().toStringList(), files.keys());
        for (auto it = files.cbegin(); it != files.cend(); ++it) // a link's file, not the link
            QVERIFY2(TestSupport::snapshot(tree("bin")).value(it.key()) == it.value(),
                qPrintable(it.key()));
        checkEntry(0, "1.0.0", false, "");
        // No staging folder is left, and keys the tool does not know stay.
        QCOMPARE(QDir(root + "/packages")
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            (QStringList {"bin", "update.json", "version"}));
        const QByteArray list = TestSupport::readAll(tree("update.json"));
        QVERIFY(TestSupport::writeFile(
            tree("update.json"), list.left(list.lastIndexOf('}')) + R"(, "channel": "stable"})"));
        QVERIFY(
            TestSupport::writeFile(release + "/readme.txt", files["readme.txt"] = "Tavrix 1.1\n"));
    }

    void cleanup()
    {
        for (const QString& path : qAsConst(locked))
            TestSupport::chattr("-i", path);
        locked.clear();
    }

    void secondRelease_data()
    {
        QTest::addColumn<Publish>("row");
        const auto row = [](const char* name, const Publish& p) { QTest::newRow(name) << p; };
        row("enforced_with_a_reason",
            {"1.0.1 --enforce --reason 修复\"save\"—ü", "", "", 0, "readme.txt"});
        row("listed_as_number",
            {"1.2.3", R"(put:{list}={"updateList":[{"version":"01.2.3"}]})", "already listed", 1});
        row("manifest_present",
            {"1.0.1", "put:{root}/packages/version/1.0.1.json={}", "already exists", 1});
        row("older_than_newest", {"0.9.0", "", "not newer", 1});
        row("malformed_two_numbers", {"1.2", "", "malformed version", 1});
        row("malformed_leading_zero", {"01.2.3", "", "malformed version", 1});
        row("malformed_beyond_int", {"2147483648.0.0", "", "malformed version", 1});
        row("unsafe_file_name", {"1.0.1", "put:{release}/data/lpt³.txt", "unsafe file path", 1});
        row("updater_in_other_case",
            {"1.0.1", "put:{release}/Update.exe", "overwrite the updater", 1});
        row("missing_release_folder",
            {"--root {root} --version 1.0.1 {tmp}/none", "", "does not exist", 1});
        row("missing_root",
            {"--root {tmp}/none --version 1.0.1 {release}", "", "does not exist", 1});
        row("release_is_a_file",
            {"--root {root} --version 1.0.1 {release}/readme.txt", "", "not a folder", 1});
        row("release_inside_tree",
            {"--root {root} --version 1.0.1 {root}/packages/bin", "", "overlap", 1});
        row("broken_link",
            {"1.0.1", "link:{release}/data/broken.txt={tmp}/gone.txt", "broken link", 1});
        row("link_loop", {"1.0.1", "link:{release}/data/sub/back={release}/data", "link loop", 1});
        row("file_where_bin_has_folder",
            {"1.0.1", "put:{release}/plugins;put:{bin}/plugins/a.dll=a", "clash", 1});
        row("folder_where_bin_has_file",
            {"1.0.1", "put:{release}/notes/a.txt;put:{bin}/notes=a", "clash", 1});
        row("unwritable_bin", {"1.0.1", "put:{release}/new.txt;lock:{bin}", "cannot write", 1});
        // A new folder and a replaced file are in place before readme.txt refuses.
        row("undone_after_a_failed_move",
            {"1.0.1", "put:{release}/c/new.txt;put:{release}/lib/core.dll;lock:{bin}/readme.txt",
                "as it was", 1});
        row("update_json_not_json",
            {"1.0.1", R"(put:{list}={"updateList": [)", "not valid JSON", 1});
        row("update_json_array", {"1.0.1", "put:{list}=[]", "not a JSON object", 1});
        row("update_json_without_list",
            {"1.0.1", R"(put:{list}={"list":[]})", R"(no "updateList" array)", 1});
        row("usage_no_root", {"--version 1.0.1 {release}", "", "--root is required", 2});
        row("usage_repeated",
            {"--version 1.2.0 --root {root} --version 1.0.1 {release}", "", "more than once", 2});
        // Published, with a warning.
        row("updater_files_skipped",
            {"1.0.1", "put:{release}/update.exe;put:{release}/bin/update.exe",
                "skips paths containing \"update.exe\"|\n  update.exe\n|\n  bin/update.exe\n", 0,
                "readme.txt"});
        row("file_removed",
            {"1.0.1", "del:{release}/data/sub/config.ini",
                "the updater never deletes files|\n  data/sub/config.ini\n", 0, "readme.txt"});
        row("nothing_changed",
            {"1.0.1", "put:{release}/readme.txt=Tavrix 1.0\n", "lists no files", 0, ""});
        row("names_differing_in_case",
            {"1.0.1", "case;put:{release}/Data/Sub/Config.ini",
                "differ only in letter case|\n  Data/Sub/Config.ini\n|\n  data/sub/config.ini\n", 0,
                "Data/Sub/Config.ini readme.txt"});
    }

    void secondRelease()
    {
        QFETCH(Publish, row);
        const auto fill = [this](QString text) {
            return text.replace("{bin}", tree("bin"))
                .replace("{list}", tree("update.json"))
                .replace("{root}", root)
                .replace("{release}", release)
                .replace("{tmp}", tmp->path());
        };
        for (const QString& item : row.setup.split(';', Qt::SkipEmptyParts)) {
            const QString kind = item.section(':', 0, 0), rest = fill(item.section(':', 1));
            const QString path = rest.section('=', 0, 0),
                          value = rest.contains('=') ? rest.section('=', 1) : "x\n";
            if (kind == "lock" && !TestSupport::chattr("+i", (locked << path).last()))
                QSKIP("chattr +i is not available here");
            if (kind == "case" && QFileInfo::exists(tmp->path().toUpper()))
                QSKIP("this file system does not tell letter case apart");
            if (kind == "link" && !links)
                QSKIP("no symbolic links: QFile::link makes a Windows shortcut, and Wine makes no "
                      "links");
            QVERIFY(kind == "put"    ? TestSupport::writeFile(path, value.toUtf8())
                    : kind == "del"  ? QFile::remove(path)
                    : kind == "link" ? QFile::link(value, path)
                                     : true);
        }
        QStringList args = row.arguments.split(' ');
        if (!args.first().startsWith("--"))
            args = QStringList {"--root", "{root}", "--version", args.first(), "{release}"}
                + args.mid(1);
        for (QString& arg : args)
            arg = fill(arg);
        const auto before = TestSupport::snapshot(tmp->path());
        publish(args);
        // A refusal is one line and leaves everything as it was.
        QVERIFY2(code == row.exitCode && out.isEmpty() == (code != 0)
                && (code != 1 || !err.trimmed().contains('\n')),
            qPrintable(err));
        for (const QString& message : row.messages.split('|', Qt::SkipEmptyParts))
            QVERIFY2(err.contains(message), qPrintable(message + "\n--\n" + err));
        if (code != 0) {
            QCOMPARE(TestSupport::snapshot(tmp->path()), before);
            return;
        }
        const bool enforce = args.contains("--enforce");
        const int reason = args.indexOf("--reason");
        const QStringList listed = row.listed.split(' ', Qt::SkipEmptyParts);
        QCOMPARE(json("version/1.0.1.json", "value").toVariant().toStringList(), listed);
        checkEntry(1, "1.0.1", enforce, reason < 0 ? QString() : args.value(reason + 1));
        QVERIFY(json("update.json", "channel") == "stable");
        QVERIFY2(out.startsWith(
                     QString("Published 1.0.1 (%1 update)").arg(enforce ? "enforced" : "optional")),
            qPrintable(out));
        // Listed files are copied, skipped ones are not, and nothing is deleted.
        const auto bin = TestSupport::snapshot(tree("bin")), given = TestSupport::snapshot(release);
        for (const QString& path : files.keys() + given.keys())
            QVERIFY2(given.value(path) == "folder"
                    || (bin.contains(path) == (files.contains(path) || listed.contains(path))
                        && (!listed.contains(path) || bin.value(path) == given.value(path))),
                qPrintable(path));
    }

    // The documented nginx site serves the tree to an installation of 1.0.0, and nothing else.
    void servedByNginx()
    {
        const QString nginx
            = QStandardPaths::findExecutable("nginx", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"}),
            prefix = tmp->filePath("nginx");
        if (nginx.isEmpty())
            QSKIP("no nginx here (apt-get install nginx-light; under Wine the Linux suite tests "
                  "the site)");
        QVERIFY(TestSupport::writeFile(release + "/data/new.ini", "[new]\n"));
        publish({"--root", root, "--version", "1.0.1", release});
        QByteArray site = TestSupport::readAll(UPDATER_SOURCE_DIR "/docs/nginx-updates.conf");
        site.replace(
                "listen 80;", "listen 127.0.0.1:" + QByteArray::number(UPDATER_TEST_PORT) + ';')
            .replace("root /srv/tavrix-updates;", "root " + QFile::encodeName(root) + ';');
        QVERIFY(code == 0
            && TestSupport::writeFile(prefix + "/nginx.conf",
                "daemon off;\nmaster_process off;\npid nginx.pid;\nerror_log error.log;\n"
                "events {}\nhttp {\naccess_log off;\n"
                    + site + "}\n"));
        QProcess server, updater;
        server.start(
            nginx, {"-p", prefix, "-e", prefix + "/error.log", "-c", prefix + "/nginx.conf"});
        // It writes its pid file once it listens.
        QVERIFY2(server.waitForStarted()
                && QTest::qWaitFor(
                    [&] {
                        return server.state() != QProcess::Running
                            || QFile::exists(prefix + "/nginx.pid");
                    },
                    30000)
                && server.state() == QProcess::Running,
            TestSupport::readAll(prefix + "/error.log").constData());
        TestSupport::WorkDir app; // the installation, and the updater's working folder
        QVERIFY(TestSupport::install(app.path(), UPDATER_E2E_BIN_DIR, "1.0.0"));
        updater.start(app.filePath("update.exe"), QStringList());
        QVERIFY2(updater.waitForFinished(120000) && updater.exitCode() == 0,
            TestSupport::readAll("updateLog.txt").constData());
        const auto installed = TestSupport::snapshot(".");
        QVERIFY(installed.value("version") == "1.0.1"
            && installed.value("readme.txt") == "Tavrix 1.1\n"
            && installed.value("data/new.ini") == "[new]\n" && !installed.contains("lib/core.dll"));
        httplib::Client client("127.0.0.1", UPDATER_TEST_PORT);
        for (const char* path :
            {"/", "/packages/bin/", "/nginx/nginx.conf", "/packages/../../nginx/nginx.conf"})
            QVERIFY2(client.Get(path)->status / 100 == 4, path);
        server.kill(), server.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
