// The real programs end to end: the test build of update.exe, updateCurl.exe and a fake Tavrix.exe
// against the loopback server. A row reads: what the server holds and does, what is installed ->
// "version", the log, what the product was handed, the exit code. Every row checks the files too.

#include "testsupport.h"

#include <functional>
#include <utility>

class TestEndToEnd;
using Files = QMap<QString, QByteArray>;
struct Case
{
    QStringList arguments;
    std::function<void(TestEndToEnd&)> setup;
    QByteArray version;
    QString logged; // a pattern of the log, lines joined
    QByteArray handedOn; // what the product recorded; empty: it did not start
    int exitCode; // -1: it waits for the user, -2: it is killed once the log matches
};
Q_DECLARE_METATYPE(Case)

static const QString updateList = "/packages/update.json", binPath = "/packages/bin/";
static const QString manifest1 = "/packages/version/1.1.0.json",
                     manifest2 = "/packages/version/1.2.0.json";
static const bool caseBlind
    = QSysInfo::productType() == "windows"; // names differing only in case are one file there

static QByteArray noise(int size, quint32 seed)
{
    QVector<quint32> words(size / 4);
    QRandomGenerator(seed).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char*>(words.constData()), size);
}

class TestEndToEnd : public QObject
{
    Q_OBJECT

public:
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<HttpServer> server;
    QString appDir, workDir, path, frozen;
    Files served; // what the update installs

    QString app(const QString& file) const { return appDir + '/' + file; }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        workDir = appDir = tmp->filePath("app");
        path = qEnvironmentVariable("PATH");
        server = std::make_unique<HttpServer>(UPDATER_TEST_PORT);
        QVERIFY2(server->isListening(), "the end-to-end port is taken");
        // 1.0.0 with two files the update replaces and one it never lists; the product ends after a
        // while, with an exit code of its own.
        for (const QString program :
            {UPDATER_E2E_BIN_DIR "/update.exe", UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"})
            QVERIFY(
                QDir().mkpath(appDir) && QFile::copy(program, app(QFileInfo(program).fileName())));
        QVERIFY(TestSupport::writeFile(app("version"), "1.0.0\r\n")
            && TestSupport::writeFile(app("keep.txt"), "never listed")
            && TestSupport::writeFile(app("bin/core.exe"), "old core")
            && TestSupport::writeFile(app("data/sub/deep.txt"), "old")
            && QFile::setPermissions(
                app("bin/core.exe"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            && TestSupport::installFake(appDir, "Tavrix.exe",
                {"record args.txt", "sleep 500", "record done.txt", "exit 3"}));
        // 1.1.0 and the enforced 1.2.0 share a file; paths with "update.exe" are skipped,
        // case-sensitively where case counts.
        static const QByteArray big = noise(64 << 20, 2);
        served = {{"bin/core.exe", noise(5000, 1)}, {"big/payload.bin", big},
            {"data/shared.txt", "in both"}, {"data/sub/deep.txt", "deep\r\n"},
            {"bin/Update.exe", "not the updater"}, {"moved.txt", "moved here"},
            {"a#b%41.txt", "odd name"}, {"数据/c.txt", "non-ASCII name"}};
        if (caseBlind)
            served.remove("bin/Update.exe");
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            server->route(binPath + it.key(), it.value());
        Reply moved(301, "redirect page");
        moved.location = "/elsewhere/moved.txt";
        server->route(binPath + "moved.txt", moved);
        server->route("/elsewhere/moved.txt", served.value("moved.txt"));
        server->route(updateList,
            R"({"updateList":[{"version":"1.0.0"},{"version":"1.2.0","updateType":1,"reason":"修"},{"version":"1.1.0"}]})"); // UTF-8, which a GBK code page misreads
        server->route(manifest1,
            R"({"value":["bin/core.exe","data/shared.txt","update.exe","bin/update.exe","bin/Update.exe","moved.txt"]})");
        server->route(manifest2,
            "{\"value\":[\"data/sub/deep.txt\",\"data/shared.txt\",\"big/"
            "payload.bin\",\"a#b%41.txt\",\"数据/c.txt\"]}");
    }

    void cleanup()
    {
        if (!frozen.isEmpty())
            TestSupport::chattr("-i", frozen), frozen.clear();
        server.reset();
    }

    void run_data()
    {
        QTest::addColumn<Case>("row");
        const QByteArray none = "argc=0\n--\n", notStarted, old = "1.0.0\r\n";
        const auto older = [](TestEndToEnd& t) {
            t.server->route(updateList,
                R"({"updateList":[{"version":"0.9.0","updateType":1},{"version":"1.0.0"}]})");
        };
        const auto answer = [](const QString& path, const Reply& reply) {
            return [=](TestEndToEnd& t) { t.server->route(path, reply); };
        };
        const auto freeze
            = [](const QString& file) { return [=](TestEndToEnd& t) { t.frozen = t.app(file); }; };
        // Files are asked for only after every manifest was read.
        const auto beforeAnyFile
            = [](const QString& line) { return "\\A(?!.*^下载文件:).*^" + line + "$"; };
        const QString upToDate = beforeAnyFile("无需更新：当前版本为最新"),
                      failed = "^下载文件: 失败,错误码:", shared = binPath + "data/shared.txt";
        const QString bound
            = QString("\\d+错误原因:no byte for %1 ms$").arg(UPDATER_TEST_REQUEST_TIMEOUT_MS);
        QTest::newRow("no_argument") << Case {{}, older, old, upToDate, none, 0};
        QTest::newRow("one_non_ascii_argument_with_a_blank")
            << Case {{"--打开=文件 a"}, older, old, upToDate, "argc=1\n--打开=文件 a\n--\n", 0};
        QTest::newRow("two_arguments_hand_over_none")
            << Case {{"a", "b"}, older, old, upToDate, none, 0};
        QTest::newRow("qt_option_counts_as_given")
            << Case {{"-reverse"}, older, old, upToDate, "argc=1\n-reverse\n--\n", 0};
        QTest::newRow("own_fetch_tool_before_the_search_path") << Case {{},
            [=](TestEndToEnd& t) {
                older(t);
                t.path = t.tmp->filePath("path") + QDir::listSeparator() + t.path;
                QVERIFY(TestSupport::installFake(
                            t.tmp->filePath("path"), "updateCurl.exe", {"print-file list"})
                    && TestSupport::writeFile(
                        t.tmp->filePath("path/list"), R"({"updateList":[{"version":"9.9.9"}]})"));
            },
            old, upToDate, none, 0};
        QTest::newRow("log_in_the_working_directory") << Case {{},
            [=](TestEndToEnd& t) {
                older(t);
                t.workDir = t.tmp->filePath("elsewhere");
                QVERIFY(TestSupport::writeFile(
                    t.workDir + "/updateLog.txt", QByteArray("stale\n").repeated(50)));
            },
            old, upToDate, none, 0};
        QTest::newRow("product_cannot_start") << Case {{"--open"},
            [=](TestEndToEnd& t) {
                older(t);
                t.path = t.tmp->path();
                QVERIFY(QFile::remove(t.app("Tavrix.exe")));
            },
            old, "^启动程序失败:\\S*Tavrix\\.exe \\S", notStarted, 1};
        QTest::newRow("update_over_two_versions") << Case {{}, [](TestEndToEnd&) {}, "1.2.0",
            "(?=.*^创建目录：\\S*/big/payload\\.bin$)(?=.*^写入文件成功:写入文件大小67108864$)"
            "^发现新版本:强制更新$.*^开始更新$.*^开始下载文件$.*^\\("
                + QString(caseBlind ? "6/7" : "7/8") + "\\)$.*^写入更新文件$",
            none, 0};
        // One file on Windows, fetched once as the later version spells it.
        QTest::newRow("names_differing_in_case") << Case {{},
            [](TestEndToEnd& t) {
                t.server->route(manifest2,
                    "{\"value\":[\"data/sub/deep.txt\",\"data/shared.txt\",\"big/"
                    "payload.bin\",\"a#b%41.txt\",\"数据/c.txt\",\"MOVED.txt\"]}");
                t.server->route(
                    binPath + "MOVED.txt", t.served["MOVED.txt"] = "moved, in capitals");
                if (caseBlind)
                    t.served.remove("moved.txt");
            },
            "1.2.0", "^发现新版本:强制更新$.*^写入更新文件$", none, 0};
        // Written through, a link or a Windows shortcut would put the file wherever it points.
        QTest::newRow("link_in_the_path") << Case {{},
            [](TestEndToEnd& t) {
                QVERIFY(QFile::link(t.app("keep.txt"), t.app("start.lnk")));
                t.server->route(manifest2, R"({"value":["data/shared.txt","start.lnk"]})");
            },
            old, beforeAnyFile("路径经过链接,拒绝写入:\\S*/start\\.lnk"), notStarted, -1};
        QTest::newRow("manifests_without_files") << Case {{},
            [](TestEndToEnd& t) {
                t.served.clear();
                t.server->route(manifest1, ""),
                    t.server->route(manifest2, R"({"value":["update.exe"]})");
            },
            "1.2.0", "^开始下载文件$.*^写入更新文件$", none, 0};
        // A manifest stored cut short is no "no files": the version would be recorded without them.
        QTest::newRow("manifest_not_json")
            << Case {{}, answer(manifest2, {200, R"({"value":["data/a.txt")"}), old,
                   beforeAnyFile("获取更新列表失败:"), notStarted, -1};
        // The bound is on silence: a slow but steady file takes over three bounds and installs.
        Reply trickle(200, "in both", Reply::Trickle);
        trickle.faultAfter = 1, trickle.delayMs = UPDATER_TEST_REQUEST_TIMEOUT_MS / 2;
        QTest::newRow("file_trickles_for_three_bounds") << Case {{}, answer(shared, trickle),
            "1.2.0", "^写入文件成功:写入文件大小7$.*^写入更新文件$", none, 0};
        QTest::newRow("list_404") << Case {
            {"--open"}, answer(updateList, 404), old, "^请求服务器超时：$", notStarted, -1};
        QTest::newRow("list_never_answers")
            << Case {{}, answer(updateList, {200, "", Reply::NoAnswer}), old, "^请求服务器超时：$",
                   notStarted, -1};
        QTest::newRow("manifest_missing") << Case {
            {}, answer(manifest2, 404), old, beforeAnyFile("获取更新列表失败:"), notStarted, -1};
        QTest::newRow("unsafe_path") << Case {{},
            answer(manifest2, {200, R"({"value":["data/shared.txt","../escape.txt"]})"}), old,
            beforeAnyFile("非法文件路径:\\.\\./escape\\.txt"), notStarted, -1};
        QTest::newRow("path_not_a_string")
            << Case {{}, answer(manifest2, {200, R"({"value":[5]})"}), old,
                   beforeAnyFile("非法文件路径:"), notStarted, -1};
        QTest::newRow("file_missing") << Case {{}, answer(shared, {404, "<html>404</html>"}), old,
            failed + "203错误原因:", notStarted, -1};
        QTest::newRow("file_cut_short") << Case {{},
            answer(shared, {200, noise(300000, 3), Reply::CutShort}), old, failed, notStarted, -1};
        QTest::newRow("file_stalls_past_the_bound")
            << Case {{}, answer(shared, {200, noise(300000, 3), Reply::Stall}), old, failed + bound,
                   notStarted, -1};
        QTest::newRow("file_never_ends")
            << Case {{}, answer(shared, {200, noise(65536, 4), Reply::Endless}), old,
                   failed + "\\d+错误原因:body larger than 67108864 bytes$", notStarted, -1};
        // A 3xx answer that is not a redirect is never installed.
        QTest::newRow("status_300") << Case {{}, answer(shared, {300, "choices"}), old,
            failed + "300错误原因:HTTP 300", notStarted, -1};
        QTest::newRow("folder_where_a_file_goes") << Case {{},
            [](TestEndToEnd& t) { QVERIFY(QDir().mkpath(t.app("data/shared.txt/keep"))); }, old,
            "^打开文件失败:\\S*/data/shared\\.txt失败原因:", notStarted, -1};
        QTest::newRow("file_cannot_be_replaced") << Case {{}, freeze("bin/core.exe"), old,
            "^(打开|写入)文件失败:\\S*/bin/core\\.exe失败原因:", notStarted, -1};
        QTest::newRow("version_file_cannot_be_replaced") << Case {
            {}, freeze("version"), old, "^写入更新文件$\n^写入更新文件失败：\\S", notStarted, -1};
        // Killed while it writes a new file: the file is whole or missing, at most a temporary file
        // is left.
        QTest::newRow("killed_mid_download") << Case {{},
            answer(binPath + "big/payload.bin", {200, noise(4 << 20, 5), Reply::Stall}), old,
            "^创建目录：\\S*/big/payload\\.bin$", notStarted, -2};
    }

    void run()
    {
        QFETCH(Case, row);
        row.setup(*this);
        if (!frozen.isEmpty() && !TestSupport::chattr("+i", frozen)) {
            frozen.clear();
            QSKIP("chattr +i is not available here");
        }
        const Files before = TestSupport::snapshot(appDir);
        const QDateTime started = QDateTime::currentDateTime();
        QProcess updater;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", path);
        updater.setProcessEnvironment(environment);
        updater.setWorkingDirectory(workDir);
        // Never read: a full pipe would stall the updater and the product.
        updater.setStandardOutputFile(QProcess::nullDevice());
        updater.setStandardErrorFile(QProcess::nullDevice());
        updater.start(app("update.exe"), row.arguments);
        QVERIFY(!QTest::currentTestFailed() && updater.waitForStarted(30000));
        const QRegularExpression pattern(row.logged,
            QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
        const auto log = [this] { return TestSupport::logMessages(workDir).join('\n'); };
        if (row.exitCode < 0) {
            // It comes within the bound of the last request, however busy the machine.
            QElapsedTimer sinceLastRequest;
            int requests = -1;
            const auto noteRequests = [&] {
                const int now = server->requests().size();
                if (now != std::exchange(requests, now))
                    sinceLastRequest.start();
            };
            QVERIFY2(QTest::qWaitFor(
                         [&] { return noteRequests(), pattern.match(log()).hasMatch(); }, 120000)
                    && sinceLastRequest.elapsed() < UPDATER_TEST_REQUEST_TIMEOUT_MS + 20000,
                qPrintable(log()));
            // It waits for the user: it neither ends nor starts the product.
            QVERIFY(row.exitCode == -2
                || !QTest::qWaitFor(
                    [&] {
                        return updater.state() == QProcess::NotRunning
                            || QFile::exists(app("args.txt"));
                    },
                    1000));
            updater.kill(), updater.waitForFinished();
        } else {
            qint64 peakKiB = 0; // Linux shows it in /proc; elsewhere it stays 0
            const QRegularExpression peak("VmHWM:\\s*(\\d+)");
            for (QDeadlineTimer deadline(60000); updater.state() != QProcess::NotRunning
                 && !updater.waitForFinished(100) && !deadline.hasExpired();)
                peakKiB = qMax(peakKiB,
                    peak.match(TestSupport::readAll(
                                   QString("/proc/%1/status").arg(updater.processId())))
                        .captured(1)
                        .toLongLong());
            QVERIFY2(updater.state() == QProcess::NotRunning
                    && updater.exitStatus() == QProcess::NormalExit,
                qPrintable(log()));
            QCOMPARE(updater.exitCode(), row.exitCode);
            QVERIFY2(pattern.match(log()).hasMatch(), qPrintable(log()));
#ifndef UPDATER_SANITIZED // their allocators hold freed memory back
            QVERIFY2(peakKiB < 64 * 1024,
                qPrintable(QString::number(peakKiB))); // it holds little of the 64 MiB file
#endif
        }
        QCOMPARE(TestSupport::readAll(app("version")), row.version);
        QCOMPARE(TestSupport::readAll(app("args.txt")), row.handedOn);
        QCOMPARE(
            QFile::exists(app("done.txt")), !row.handedOn.isEmpty()); // it ends after the product

        // A fresh log where it was started, each line stamped with the time; the worker's thread
        // takes the check once and, when the updater ends, stops.
        const QStringList messages = TestSupport::logMessages(workDir);
        QVERIFY2(messages.value(0) == "版本检测" && messages.count("版本检测") == 1
                && messages.count("版本检测线程：版本检测") == 1
                && (row.exitCode < 0 || messages.constLast() == "版本检测线程停止"),
            qPrintable(log()));
        QCOMPARE(QFile::exists(app("updateLog.txt")), workDir == appDir);
        QVERIFY(TestSupport::readAll(workDir + "/updateLog.txt")
                    .startsWith("\xEF\xBB\xBF")); // UTF-8 that Notepad reads on any code page
        for (const QString& line : QString(TestSupport::readAll(workDir + "/updateLog.txt"))
                                       .split('\n', Qt::SkipEmptyParts)) {
            const QDateTime stamp = QDateTime::fromString(line.left(19), "dd.MM.yyyy hh:mm:ss");
            QVERIFY2(line.mid(19, 3) == ":  " && stamp >= started.addSecs(-1)
                    && stamp <= QDateTime::currentDateTime().addSecs(1),
                qPrintable(line));
        }

        // Each file as it was, or as served once asked for; a program stays one; a new version only
        // with all files.
        const QStringList asked = server->requests();
        const Files after = TestSupport::snapshot(appDir);
        for (const QString& file : before.keys() + after.keys()) {
            if (after.value(file) == "folder"
                || QStringList {"updateLog.txt", "version", "args.txt", "done.txt"}.contains(file))
                continue;
            const bool fresh = after.contains(file) && after.value(file) == served.value(file)
                && asked.contains(binPath + file);
            const bool temporary = row.exitCode == -2
                && served.contains(QRegularExpression("^(.+)\\.\\w{6}$").match(file).captured(1));
            QVERIFY2(fresh || temporary
                    || (after.contains(file) == before.contains(file)
                        && after.value(file) == before.value(file)),
                qPrintable(file));
        }
        QVERIFY(QFileInfo(app("bin/core.exe")).isExecutable());
        for (auto it = served.cbegin(); row.version == "1.2.0" && it != served.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(row.exitCode != 0
            || asked.count(binPath + "data/shared.txt") <= 1); // listed by both versions
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
