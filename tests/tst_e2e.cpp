// The real programs end to end: the test builds of update.exe (plain and signed), updateCurl.exe
// and a fake Tavrix.exe against the loopback server. A row reads: what the server holds and does,
// what is installed -> "version", the log, what the product was handed, the exit code. Every row
// checks the files too.

#include "testsupport.h"

#include <functional>
#include <utility>

class TestEndToEnd;
using Setup = std::function<void(TestEndToEnd&)>;
using Files = QMap<QString, QByteArray>;
struct Case
{
    QStringList arguments;
    Setup setup;
    QByteArray version;
    QString logged; // a pattern of the log, lines joined
    QByteArray handedOn; // what the product recorded; empty: it did not start
    int exitCode; // -1: it waits for the user, -2: it is killed once the log matches
};
Q_DECLARE_METATYPE(Case)

static const QString updateList = "/packages/update.json", binPath = "/packages/bin/";
static const QString manifest1 = "/packages/version/1.1.0.json";
static const QString manifest2 = "/packages/version/1.2.0.json";
// Names differing only in case are one file there.
static const bool caseBlind = QSysInfo::productType() == "windows";

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
    QString appDir, workDir, path, skip;
    Files served; // what the update installs
    Files original; // the installation before a first run, if a row makes one
    QStringList env; // NAME=value for the updater
    QStringList unasked; // paths the server must not be asked for
    std::unique_ptr<QProcess> first;
    std::function<void()> whileRunning; // called as the row's updater runs
    std::unique_ptr<QFile> held; // open without delete sharing: on Windows, no rename
    bool readOnly = false; // "version" and bin/core.exe, which stay so
    QByteArray byHand; // put where an old copy was set aside: kept at the path logged

    QString app(const QString& file) const { return appDir + '/' + file; }
    QProcess* start(QProcess* updater, const QString& dir, const QStringList& arguments = {})
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", path);
        for (const QString& variable : env)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        updater->setProcessEnvironment(environment);
        updater->setWorkingDirectory(dir);
        // Never read: a full pipe would stall the updater and the product.
        updater->setStandardOutputFile(QProcess::nullDevice());
        updater->setStandardErrorFile(QProcess::nullDevice());
        updater->start(app("update.exe"), arguments);
        return updater;
    }
    // An update.exe run before the row's, with its log in "first"; waited for to its end.
    void firstRun(const QStringList& variables, bool wait = true)
    {
        original = TestSupport::snapshot(appDir);
        env = variables;
        QVERIFY(QDir().mkpath(tmp->filePath("first")));
        start((first = std::make_unique<QProcess>()).get(), tmp->filePath("first"));
        QVERIFY(!wait || (first->waitForFinished(120000) && first->exitCode() == 9));
        env.clear();
    }
    // The same, up to a log line that contains logged; then killed, or left running.
    void firstRunUntil(const QStringList& variables, const QString& logged, bool kill = true)
    {
        firstRun(variables, false);
        QVERIFY(QTest::qWaitFor(
            [&] {
                return !TestSupport::logMessages(tmp->filePath("first")).filter(logged).isEmpty();
            },
            60000));
        if (kill)
            first->kill(), first->waitForFinished();
    }

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        workDir = appDir = tmp->filePath("app");
        path = qEnvironmentVariable("PATH");
        server = std::make_unique<HttpServer>(UPDATER_TEST_PORT);
        QVERIFY2(server->isListening(), "the end-to-end port is taken");
        // 1.0.0 with two files the update replaces and one it never lists; the product ends after
        // a while, with an exit code of its own.
        QVERIFY(TestSupport::install(appDir, UPDATER_E2E_BIN_DIR, "1.0.0\r\n",
                    {"record args.txt", "sleep 500", "record done.txt", "exit 3"})
            && TestSupport::writeFile(app("keep.txt"), "never listed")
            && TestSupport::writeFile(app("bin/core.exe"), "old core")
            && TestSupport::writeFile(app("data/sub/deep.txt"), "old")
            && QFile::setPermissions(
                app("bin/core.exe"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        // 1.1.0 and the enforced 1.2.0 share a file; paths with "update.exe" are skipped,
        // case-sensitively where case counts. The list's reason is UTF-8, which GBK misreads.
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
        server->route(updateList, TestSupport::fixture("e2e/update.json"));
        server->route(manifest1, TestSupport::fixture("e2e/1.1.0.json"));
        server->route(manifest2, TestSupport::fixture("e2e/1.2.0.json"));
    }

    void cleanup()
    {
        if (first)
            first->kill(), first->waitForFinished(), first.reset();
        server.reset(), original.clear(), env.clear(), unasked.clear();
        held.reset(), whileRunning = {}, readOnly = false, byHand.clear();
    }

    void run_data()
    {
        QTest::addColumn<Case>("row");
        const QByteArray none = "argc=0\n--\n", old = "1.0.0\r\n";
        // Nothing newer on the server, and what else a row sets up.
        const auto older = [](const Setup& more = {}) {
            return [=](TestEndToEnd& t) {
                t.server->route(updateList,
                    R"({"updateList":[{"version":"0.9.0","updateType":1},{"version":"1.0.0"}]})");
                if (more)
                    more(t);
            };
        };
        const auto answer = [](const QString& path, const Reply& reply) {
            return [=](TestEndToEnd& t) { t.server->route(path, reply); };
        };
        const auto row = [](const char* name, const Case& c) { QTest::newRow(name) << c; };
        // Files are asked for only after every manifest was read.
        const auto beforeAnyFile
            = [](const QString& line) { return "\\A(?!.*^下载文件:).*^" + line + "$"; };
        const QString upToDate = beforeAnyFile("无需更新：当前版本为最新"),
                      failed = "^下载文件: 失败,错误码:", shared = binPath + "data/shared.txt";
        const QString bound
            = QString("\\d+错误原因:no byte for %1 ms$").arg(UPDATER_TEST_REQUEST_TIMEOUT_MS);

        // Nothing newer: the product gets the one argument given, Qt's own options too.
        const auto handOver = [=](const char* name, const QStringList& args, const char* handed) {
            row(name, {args, older(), old, upToDate, handed, 0});
        };
        handOver("one_non_ascii_argument_with_a_blank", {"--打开=文件 a"},
            "argc=1\n--打开=文件 a\n--\n");
        handOver("two_arguments_hand_over_none", {"a", "b"}, none);
        handOver("qt_option_counts_as_given", {"-reverse"}, "argc=1\n-reverse\n--\n");
        // One on the search path prints nothing: the check would fail.
        const auto toolOnPath = older([](TestEndToEnd& t) {
            t.path = t.tmp->filePath("path") + QDir::listSeparator() + t.path;
            QVERIFY(TestSupport::installFake(t.tmp->filePath("path"), "updateCurl.exe", {}));
        });
        row("own_fetch_tool_before_the_search_path", {{}, toolOnPath, old, upToDate, none, 0});
        const auto elsewhere = older([](TestEndToEnd& t) {
            t.workDir = t.tmp->filePath("elsewhere");
            QVERIFY(TestSupport::writeFile(
                t.workDir + "/updateLog.txt", QByteArray("stale\n").repeated(50)));
        });
        row("log_in_the_working_directory", {{}, elsewhere, old, upToDate, none, 0});
        const auto noProduct = older([](TestEndToEnd& t) {
            t.path = t.tmp->path();
            QVERIFY(QFile::remove(t.app("Tavrix.exe")));
        });
        row("product_cannot_start",
            {{"--open"}, noProduct, old, "^启动程序失败:\\S*Tavrix\\.exe \\S", {}, 1});

        // What the check reads: "version" as installed (null: none, "/": a folder in its place),
        // and the list as served; 2.0.1 lists no files.
        const auto check = [](const QByteArray& installed, const QByteArray& list) {
            return [=](TestEndToEnd& t) {
                t.served.clear();
                t.server->route(updateList, list);
                t.server->route("/packages/version/2.0.1.json", "");
                QVERIFY(QFile::remove(t.app("version")));
                if (installed == "/")
                    QVERIFY(QDir().mkpath(t.app("version")));
                else if (!installed.isNull())
                    QVERIFY(TestSupport::writeFile(t.app("version"), installed));
            };
        };
        const QByteArray list = R"({"updateList":[{"version":"2.0.1"}]})";
        const QString optional = "^发现新版本:不强制更新$.*^写入更新文件$";
        const QByteArray bom = "\xEF\xBB\xBF";
        const auto reads = [=](const char* name, const QByteArray& installed,
                               const QByteArray& list, bool installs) {
            row(name,
                {{}, check(installed, list), installs ? "2.0.1" : installed,
                    installs ? optional : upToDate, none, 0});
        };
        reads("no_version_file", {}, list, true);
        reads("installed_partly_read", "2.x.1",
            R"({"updateList":[{"version":"2.0.0"},{"version":"2.0.1"}]})", true);
        reads("installed_ends_at_nul", {"2.0.1\0junk", 10}, list, false);
        // Notepad starts UTF-8 with a byte-order mark; a server may keep the list in the local
        // code page (its reason decoded right only under GBK, as in tst_e2e_gbk under Wine).
        reads("list_of_3MiB_with_byte_order_mark", "1.0.0", bom + list + QByteArray(3 << 20, ' '),
            true);
        reads("list_in_gbk", "1.0.0",
            QByteArray(list).replace("}]", ",\"reason\":\"\xD0\xDE\xB8\xB4\"}]"), true);
        row("version_file_unreadable",
            {{}, check("/", list), {},
                "^本地版本信息文件打开失败:\\S*/version "
                "\\S.*^开始下载文件$\n^写入更新文件失败：\\S",
                {}, -1});
        const auto toolOnlyOnPath = older([](TestEndToEnd& t) {
            t.path = QString(UPDATER_TOOLS_BIN_DIR) + QDir::listSeparator() + t.path;
            QVERIFY(QFile::remove(t.app("updateCurl.exe")));
        });
        row("tool_only_on_the_search_path", {{}, toolOnlyOnPath, old, upToDate, none, 0});

        // Installed.
        const auto installs = [=](const char* name, const Setup& setup, const QString& logged) {
            row(name, {{}, setup, "1.2.0", logged, none, 0});
        };
        installs(
            "update_over_two_versions", [](TestEndToEnd&) {},
            "(?=.*^创建目录：\\S*/big/payload\\.bin$)(?=.*^写入文件成功:写入文件大小67108864$)"
            "(?=.*^跳过更新程序自有文件:version$)"
            "^发现新版本:强制更新$.*^开始更新$.*^开始下载文件$.*^\\("
                + QString(caseBlind ? "6/7" : "7/8") + "\\)$.*^写入更新文件$");
        // One file on Windows, fetched once as the later version spells it.
        installs(
            "names_differing_in_case",
            [](TestEndToEnd& t) {
                t.server->route(manifest2,
                    TestSupport::fixture("e2e/1.2.0.json").replace("]}", ", \"MOVED.txt\"]}"));
                t.server->route(
                    binPath + "MOVED.txt", t.served["MOVED.txt"] = "moved, in capitals");
                if (caseBlind)
                    t.served.remove("moved.txt");
            },
            "^写入更新文件$");
        installs(
            "manifests_without_files",
            [](TestEndToEnd& t) {
                t.served.clear();
                t.server->route(manifest1, "");
                t.server->route(manifest2, R"({"value":["update.exe"]})");
            },
            "^开始下载文件$.*^写入更新文件$");
        // The bounds are on silence and on a rate under 1 KiB/s, not on the whole transfer: a slow
        // but steady file takes over three bounds and installs.
        Reply trickle(200, noise(28 << 10, 6), Reply::Trickle);
        trickle.faultAfter = 4096, trickle.delayMs = UPDATER_TEST_REQUEST_TIMEOUT_MS / 2;
        installs(
            "file_trickles_for_three_bounds",
            [=](TestEndToEnd& t) {
                t.server->route(shared, trickle);
                t.served["data/shared.txt"] = trickle.body;
            },
            "^写入文件成功:写入文件大小28672$.*^写入更新文件$");

        // Failed, nothing more written; the updater waits for the user.
        const auto fails = [=](const char* name, const Setup& setup, const QString& logged) {
            row(name, {{}, setup, old, logged, {}, -1});
        };
        // Written through, a link would put the file wherever it points. QFile::link makes a
        // Windows shortcut, which is a file: replaced, never followed.
        const auto linked = [](TestEndToEnd& t) {
            QVERIFY(QFile::link(t.app("keep.txt"), t.app("start.lnk")));
            t.server->route(manifest2,
                TestSupport::fixture("e2e/1.2.0.json").replace("]}", ", \"start.lnk\"]}"));
            t.server->route(binPath + "start.lnk", t.served["start.lnk"] = "a new shortcut");
        };
        if (caseBlind)
            installs("shortcut_replaced_as_a_file", linked, "^写入更新文件$");
        else
            fails("link_in_the_path", linked,
                beforeAnyFile("路径经过链接,拒绝写入:\\S*/start\\.lnk"));
        // A manifest stored cut short is no "no files": the version would be recorded without them.
        fails("manifest_not_json", answer(manifest2, {200, R"({"value":["data/a.txt")"}),
            beforeAnyFile("获取更新列表失败:"));
        fails("file_missing", answer(shared, {404, "<html>404</html>"}), failed + "404错误原因:");
        fails("last_file_missing", answer(binPath + "数据/c.txt", 404), failed + "404错误原因:");
        fails("manifest_missing", answer(manifest2, 404), beforeAnyFile("获取更新列表失败:"));
        fails("list_never_answers", answer(updateList, {200, "", Reply::NoAnswer}),
            "^请求服务器超时：$");
        fails("unsafe_path",
            answer(manifest2, {200, R"({"value":["data/shared.txt","../escape.txt"]})"}),
            beforeAnyFile("非法文件路径:\\.\\./escape\\.txt"));
        fails("path_not_a_string", answer(manifest2, {200, R"({"value":[5]})"}),
            beforeAnyFile("非法文件路径:"));
        // The hash and size a manifest gives are checked, signed or not.
        const QByteArray listedSize
            = "{\"value\":[\"data/shared.txt\"],\"files\":{\"data/shared.txt\":"
              "{\"size\":3,\"sha256\":\""
            + QByteArray(64, '0') + "\"}}}";
        fails("listed_size_differs", answer(manifest2, {200, listedSize}),
            "^文件校验失败:\\S*/data/shared\\.txt 大小不符$");
        const auto listedAs = [=](const QByteArray& size) {
            return answer(manifest2, {200, QByteArray(listedSize).replace("3", size)});
        };
        fails("listed_size_malformed", listedAs("\"3\""),
            beforeAnyFile("文件校验值格式错误:data/shared\\.txt \\S+/1\\.2\\.0\\.json$"));
        fails("no_room_for_the_listed_sizes", listedAs("9000000000000000"),
            beforeAnyFile("磁盘空间不足:需要9000000000000000字节,可用\\d+字节$"));
        fails("file_cut_short", answer(shared, {200, noise(300000, 3), Reply::CutShort}), failed);
        fails("file_stalls_past_the_bound", answer(shared, {200, noise(300000, 3), Reply::Stall}),
            failed + bound);
        Reply crawl(200, QByteArray(64, 'x'), Reply::Trickle);
        crawl.faultAfter = 1, crawl.delayMs = UPDATER_TEST_REQUEST_TIMEOUT_MS / 4;
        fails("file_crawls_under_the_rate", answer(shared, crawl),
            failed
                + QString("1004错误原因:under 1024 bytes/s for %1 ms$")
                      .arg(UPDATER_TEST_REQUEST_TIMEOUT_MS));
        fails("file_never_ends", answer(shared, {200, noise(65536, 4), Reply::Endless}),
            failed + "\\d+错误原因:body larger than 67108864 bytes$");
        // A 3xx answer that is not a redirect is never installed.
        fails("status_300", answer(shared, {300, "choices"}), failed + "300错误原因:HTTP 300");
        Reply otherScheme(302, "redirect page");
        otherScheme.location = "gopher://127.0.0.1/moved.txt";
        fails("redirect_to_another_scheme", answer(binPath + "moved.txt", otherScheme),
            failed
                + "302错误原因:cannot follow the redirect to "
                  "gopher://127\\.0\\.0\\.1/moved\\.txt$");
        fails(
            "folder_where_a_file_goes",
            [](TestEndToEnd& t) { QVERIFY(QDir().mkpath(t.app("data/shared.txt/keep"))); },
            beforeAnyFile("路径与已安装的文件或目录冲突:\\S*/data/shared\\.txt$"));

        // The signed build: release 1.1.0 over 1.0.0, signed by minisign at configure time or
        // published by update-publish --sign-key, served with a row's changes.
        const QString signedDir = UPDATER_SIGNED_DIR, signature = manifest1 + ".minisig";
        const auto signedTree = [=](const QMap<QString, Reply>& changes, bool publish = false) {
            return [=](TestEndToEnd& t) {
                const QString tree = publish ? t.tmp->filePath("tree") : signedDir + "/tree";
                if (publish && QStandardPaths::findExecutable("minisign").isEmpty()) {
                    t.skip = "minisign is not on the search path";
                    return;
                }
                if (publish
                    && (!QDir().mkpath(tree)
                        || QProcess::execute(UPDATE_PUBLISH_PATH,
                            {"--root", tree, "--version", "1.1.0", "--sign-key",
                                signedDir + "/good.key", signedDir + "/release"})))
                    QFAIL("update-publish failed");
                QVERIFY(QFile::remove(t.app("update.exe"))
                    && QFile::copy(UPDATER_SIGNED_BIN_DIR "/update.exe", t.app("update.exe"))
                    && TestSupport::writeFile(t.app("bin/core.dll"), "old core"));
                t.served.clear();
                const Files files = TestSupport::snapshot(tree);
                for (auto it = files.cbegin(); it != files.cend(); ++it) {
                    t.server->route('/' + it.key(), it.value());
                    if (it.key().startsWith("packages/bin/"))
                        t.served[it.key().mid(13)] = it.value();
                }
                for (auto it = changes.cbegin(); it != changes.cend(); ++it)
                    t.server->route(it.key(), it.value());
            };
        };
        const auto sig = [=](const QString& name) {
            return Reply(200, TestSupport::readAll(signedDir + '/' + name + ".minisig"));
        };
        const QByteArray body = TestSupport::readAll(signedDir + "/tree" + manifest1),
                         evil = "bin/core.dll of 6.6.6\n";
        const QString core = binPath + "bin/core.dll";
        const auto signedInstalls = [=](const char* name, const Setup& setup) {
            row(name, {{}, setup, "1.1.0", "^写入更新文件$", none, 0});
        };
        signedInstalls("signed_update_installs", signedTree({}));
        signedInstalls("published_with_sign_key_installs", signedTree({}, true));
        signedInstalls("second_key_installs", signedTree({{signature, sig("next")}}));
        fails("tampered_file", signedTree({{core, {200, evil}}}),
            "^文件校验失败:\\S*/bin/core\\.dll SHA-256不符$");
        fails("body_longer_than_signed_is_cut", signedTree({{core, {200, evil, Reply::Endless}}}),
            "^文件校验失败:\\S*/bin/core\\.dll 大小不符$");
        const QString badSignature = "^签名验证失败:\\S*/1\\.1\\.0\\.json ";
        // Only the prehashed form is taken: the legacy one signs the body itself, whole.
        fails("legacy_signature_refused", signedTree({{signature, sig("legacy")}}),
            badSignature + "不支持旧式签名");
        // Any change breaks the signature: one blank more is as good as a forged hash.
        fails("tampered_manifest", signedTree({{manifest1, {200, body + ' '}}}),
            badSignature + "签名不匹配$");
        fails("signed_by_another_key", signedTree({{signature, sig("other")}}),
            badSignature + "签名密钥不符$");
        fails("signature_missing", signedTree({{signature, 404}}),
            badSignature + "缺少签名,错误码:\\d+$");
        fails("signature_unreadable",
            signedTree({{signature, {200, "untrusted comment: x\nnot base64\n"}}}),
            badSignature + "签名格式错误$");
        Reply forged = sig("tree" + manifest1);
        forged.body.replace("trusted comment: ", "trusted comment: forged ");
        fails("trusted_comment_forged", signedTree({{signature, forged}}),
            badSignature + "可信注释签名不匹配$");
        fails("signed_version_left_out",
            signedTree({{updateList, {200, R"({"updateList":[{"version":"1.2.0"}]})"}}}),
            beforeAnyFile(
                "版本链断开:1\\.2\\.0 接续1\\.1\\.0,已安装1\\.0\\.0 \\S+/1\\.2\\.0\\.json"));
        fails("old_manifest_as_newer_version",
            signedTree({{updateList, {200, R"({"updateList":[{"version":"1.2.0"}]})"}},
                {manifest2, {200, body}}, {manifest2 + ".minisig", sig("tree" + manifest1)}}),
            "^签名验证失败:\\S*/1\\.2\\.0\\.json 版本不符:1\\.1\\.0$");
        // A second update.exe waits until the first has updated, then finds nothing newer.
        const auto secondWhileFirst = [=](TestEndToEnd& t) {
            Reply slow(200, t.served["big/payload.bin"], Reply::Trickle);
            slow.faultAfter = 8 << 20, slow.delayMs = 300;
            t.server->route(binPath + "big/payload.bin", slow);
            t.firstRunUntil({}, "开始下载文件", false);
        };
        row("second_waits_for_the_first",
            {{}, secondWhileFirst, "1.2.0",
                "^等待另一个更新程序完成更新$\n^版本检测$.*"
                "^无需更新：当前版本为最新$",
                none + none, 0});
        // Ended at a step of the commit as a kill ends it, then started with nothing on the server:
        // the start finishes the update before it reads "version", forward or back.
        const auto killedAt
            = [=](const QString& step, const QString& failing = {}, const Setup& then = {}) {
                  return [=](TestEndToEnd& t) {
                      t.firstRun({"UPDATER_KILL_AT=" + step, "UPDATER_FAIL_AT=" + failing});
                      t.server->route(updateList, 404);
                      if (then)
                          then(t);
                  };
              };
        const auto lose = [](const QString& file) {
            return [=](TestEndToEnd& t) {
                QVERIFY(QFile::remove(t.app("updateStaging/new/" + file)));
            };
        };
        const QString recovered = "^恢复未完成的更新:1\\.2\\.0 ", noList = ".*^请求服务器超时：$";
        const auto forward = [=](const char* name, const QString& step,
                                 const QString& failing = {}) {
            row(name,
                {{}, killedAt(step, failing), "1.2.0", recovered + "已完成$" + noList, {}, -1});
        };
        forward("killed_setting_an_old_copy_aside", "aside:bin/core.exe");
        forward("killed_moving_a_new_file_in", "in:data/shared.txt");
        forward("killed_between_aside_and_in", "in:data/sub/deep.txt");
        forward("killed_before_the_version", "version:");
        forward("killed_before_forgetting", "forget:");
        forward("killed_going_back", "back:bin/core.exe", "in:moved.txt");
        row("killed_and_a_new_copy_lost",
            {{}, killedAt("in:bin/core.exe", {}, lose("data/shared.txt")), old,
                recovered + "已撤销 缺少新文件:data/shared\\.txt$" + noList, {}, -1});
        // Once "version" is new, only forward, whatever changed since (the product, started by
        // hand).
        const auto changedByHand = [](TestEndToEnd& t) {
            QVERIFY(TestSupport::writeFile(t.app("moved.txt"), t.served["moved.txt"] = "by hand"));
        };
        row("killed_after_the_version_then_a_file_changed",
            {{}, killedAt("forget:", {}, changedByHand), "1.2.0", recovered + "已完成$" + noList,
                {}, -1});
        // Neither way is a dead end: a file put where an old copy was set aside is kept beside it.
        const auto putBack = [](TestEndToEnd& t) {
            QVERIFY(TestSupport::writeFile(t.app("data/sub/deep.txt"), t.byHand = "by hand"));
        };
        row("killed_and_a_file_put_back",
            {{}, killedAt("in:data/sub/deep.txt", {}, putBack), "1.2.0",
                "^文件冲突,已移至:\\S+\\.conflict-\\w+$\n" + recovered + "已完成$" + noList, {},
                -1});
        row("killed_before_the_journal",
            {{}, killedAt("journal:"), old, "\\A(?!.*恢复).*" + noList, {}, -1});
        fails(
            "replacing_fails", [](TestEndToEnd& t) { t.env << "UPDATER_FAIL_AT=in:moved.txt"; },
            "^替换文件失败:moved\\.txt failed on purpose$");
        // Killed while it writes a new file: nothing installed changes.
        row("killed_mid_download",
            {{}, answer(binPath + "big/payload.bin", {200, noise(4 << 20, 5), Reply::Stall}), old,
                "^创建目录：\\S*/big/payload\\.bin$", {}, -2});

        // Read-only files are replaced, and read-only again (checked for every row).
        const auto makeReadOnly = [](TestEndToEnd& t) {
            t.readOnly = true;
            for (const QString& file : {t.app("version"), t.app("bin/core.exe")})
                QVERIFY(QFile::setPermissions(
                    file, QFile::ReadOwner | QFile::ReadUser | QFile::ExeOwner | QFile::ExeUser));
        };
        installs("read_only_files_updated", makeReadOnly, "^写入更新文件$");
        // The system frees the lock of a killed updater: the next one does not wait.
        installs(
            "second_after_the_first_is_killed",
            [=](TestEndToEnd& t) {
                const QByteArray manifest = TestSupport::fixture("e2e/1.2.0.json");
                t.server->route(manifest2, {200, manifest, Reply::Stall});
                t.firstRunUntil({}, "开始更新");
                t.server->route(manifest2, manifest);
            },
            "\\A(?!.*^等待另一个更新程序完成更新$).*^写入更新文件$");
        // Without the lock nothing is checked nor installed.
        fails(
            "lock_cannot_be_taken",
            [](TestEndToEnd& t) { QVERIFY(QDir().mkpath(t.app("updateStaging.lock/x"))); },
            "\\A^无法锁定更新:\\S*/updateStaging\\.lock \\S.*^版本检测线程：版本检测$");
        // Held open without delete sharing, a file cannot be renamed on Windows; the commit tries
        // again for a while, then puts all back.
        const auto hold = [](int releaseAfterMs) {
            return [=](TestEndToEnd& t) {
                t.held = std::make_unique<QFile>(t.app("bin/core.exe"));
                QVERIFY(t.held->open(QIODevice::ReadOnly));
                auto since = std::make_shared<QElapsedTimer>();
                t.whileRunning = [&t, since, releaseAfterMs] {
                    if (!since->isValid() && QFile::exists(t.app("updateStaging/journal.json")))
                        since->start();
                    if (since->isValid() && since->elapsed() > releaseAfterMs)
                        t.held.reset();
                };
            };
        };
        if (caseBlind) {
            installs("file_held_through_the_commit", hold(1000), "^写入更新文件$");
            fails("file_held_past_the_retries", hold(60000), "^替换文件失败:bin/core\\.exe \\S");
        }

        // 1.2.0 with its files' sizes and hashes, as update-publish writes it.
        const auto hashed = [](TestEndToEnd& t) {
            QJsonObject files;
            const QJsonArray paths = QJsonDocument::fromJson(TestSupport::fixture("e2e/1.2.0.json"))
                                         .object()
                                         .value("value")
                                         .toArray();
            for (const QJsonValue& path : paths) {
                const QByteArray content = t.served.value(path.toString());
                files[path.toString()] = QJsonObject {{"size", content.size()},
                    {"sha256",
                        QString(QCryptographicHash::hash(content, QCryptographicHash::Sha256)
                                    .toHex())}};
            }
            t.server->route(manifest2,
                QJsonDocument(QJsonObject {{"value", paths}, {"files", files}}).toJson());
        };
        // Installed already as listed: neither asked for nor replaced.
        row("installed_files_not_fetched",
            {{},
                [=](TestEndToEnd& t) {
                    hashed(t);
                    for (const char* file : {"big/payload.bin", "data/shared.txt"})
                        QVERIFY(TestSupport::writeFile(t.app(file), t.served.value(file)));
                    t.unasked = QStringList {binPath + "big/payload.bin", shared};
                },
                "1.2.0",
                "^文件已是最新,无需下载:big/"
                "payload\\.bin$(?!.*^写入文件成功:写入文件大小67108864$)",
                none, 0});
        // Reuse is by hash, never by size alone.
        installs(
            "installed_file_of_the_listed_size_but_other_bytes",
            [=](TestEndToEnd& t) {
                hashed(t);
                QVERIFY(TestSupport::writeFile(t.app("data/shared.txt"), "in bath"));
            },
            "\\A(?!.*^文件已是最新,无需下载:data/shared\\.txt$).*^写入文件成功:写入文件大小7$");
        // A large file is hashed apart from its transfer: one byte changed in its middle is found.
        fails(
            "large_file_changed_in_the_middle",
            [=](TestEndToEnd& t) {
                hashed(t);
                QByteArray changed = t.served.value("big/payload.bin");
                changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 1);
                t.server->route(binPath + "big/payload.bin", changed);
            },
            "^文件校验失败:\\S*/big/payload\\.bin SHA-256不符$");
        // A first run cut at 60% of the big file stages that much; the next one asks only for the
        // rest while the server has the same file, and takes it whole from one without ranges.
        const auto cutFirst = [=](const char* name, Reply::Fault then, const QString& logged) {
            const auto setup = [=](TestEndToEnd& t) {
                hashed(t);
                Reply cutShort(200, t.served.value("big/payload.bin"), Reply::CutShort);
                cutShort.faultAfter = cutShort.body.size() / 10 * 6, cutShort.etag = "\"v1\"";
                t.server->route(binPath + "big/payload.bin", cutShort);
                t.firstRunUntil({}, "下载文件: 失败");
                Reply whole(200, cutShort.body, then);
                whole.etag = cutShort.etag;
                t.server->route(binPath + "big/payload.bin", whole);
            };
            row(name, {{}, setup, "1.2.0", logged + "(?!.*^续传未成功)", none, 0});
        };
        cutFirst("resumed_where_it_was_cut", Reply::None,
            "(?=.*^文件已下载,无需再次下载:data/sub/deep\\.txt$)^续传文件:big/payload\\.bin "
            "已有\\d+字节$");
        cutFirst("range_refused_then_fetched_whole", Reply::RangeRefused,
            "^续传文件:big/payload\\.bin "
            "已有\\d+字节$.*^续传未成功,从头重新下载:big/payload\\.bin$");
        cutFirst("resumed_but_sent_whole", Reply::WholeOnly,
            "^续传文件:big/payload\\.bin "
            "已有\\d+字节$.*^服务器发来整个文件,从头下载:big/payload\\.bin$");
        // A journal that cannot be read is set aside; the update then installs every file again, or
        // takes it as staged.
        row("killed_and_the_journal_unreadable",
            {{},
                [=](TestEndToEnd& t) {
                    hashed(t);
                    t.firstRun({"UPDATER_KILL_AT=in:bin/core.exe"});
                    QVERIFY(TestSupport::writeFile(t.app("updateStaging/journal.json"), "{\"id\""));
                },
                "1.2.0",
                "^恢复未完成的更新:记录无法读取,已移至 "
                "\\S+/journal-unreadable-\\w+$.*^写入更新文件$",
                none, 0});
        // A staged copy lost before the commit (a scanner's quarantine): nothing installed; the
        // next run fetches that file again and takes the others as staged.
        const auto lostBeforeCommit = [=](TestEndToEnd& t) {
            hashed(t);
            t.firstRunUntil({"UPDATER_LOSE_AT=stage:data/sub/deep.txt"},
                "写入暂存文件失败:缺少新文件:data/sub/deep.txt");
            QVERIFY(TestSupport::snapshot(t.appDir).value("data/sub/deep.txt") == "old");
        };
        // A failed commit leaves no read-only copy staged, which the next run could not write.
        installs(
            "read_only_file_staged_by_a_failed_commit",
            [=](TestEndToEnd& t) {
                hashed(t), makeReadOnly(t);
                t.firstRunUntil({"UPDATER_FAIL_AT=journal:"}, "写入暂存文件失败");
                QVERIFY(QFile::permissions(t.app("updateStaging/new/bin/core.exe"))
                    & QFile::WriteOwner);
            },
            "^写入更新文件$");
        row("staged_file_lost_before_the_commit",
            {{}, lostBeforeCommit, "1.2.0",
                "^文件已下载,无需再次下载:data/shared\\.txt$"
                "(?!.*^文件已下载,无需再次下载:data/sub/deep\\.txt$)",
                none, 0});
    }

    void run()
    {
        QFETCH(Case, row);
        row.setup(*this);
        if (!skip.isEmpty())
            QSKIP(qPrintable(std::exchange(skip, {})));
        const Files before = original.isEmpty() ? TestSupport::snapshot(appDir) : original;
        const QDateTime started = QDateTime::currentDateTime();
        QProcess updater;
        start(&updater, workDir, row.arguments);
        QVERIFY(!QTest::currentTestFailed() && updater.waitForStarted(30000));
        const QRegularExpression pattern(row.logged,
            QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
        const auto log = [this] { return TestSupport::logMessages(workDir).join('\n'); };
        const auto tail = [&] { return log().right(300).toUtf8(); }; // Qt Test cuts longer ones

        // A failure comes within the bound of the last request, however busy the machine.
        QElapsedTimer sinceLastRequest;
        int requests = -1;
        const auto ended = [&] {
            if (whileRunning)
                whileRunning();
            if (server->requests().size() != std::exchange(requests, server->requests().size()))
                sinceLastRequest.start();
            return row.exitCode < 0 ? pattern.match(log()).hasMatch()
                                    : updater.state() == QProcess::NotRunning;
        };
        QVERIFY2(QTest::qWaitFor(ended, 120000)
                && (row.exitCode >= 0
                    || sinceLastRequest.elapsed() < UPDATER_TEST_REQUEST_TIMEOUT_MS + 20000),
            tail().constData());
        if (row.exitCode < 0) {
            // It waits for the user: it neither ends nor starts the product.
            QVERIFY(row.exitCode == -2
                || !QTest::qWaitFor(
                    [&] {
                        return updater.state() == QProcess::NotRunning
                            || QFile::exists(app("args.txt"));
                    },
                    1000));
            updater.kill(), updater.waitForFinished();
        }
        QVERIFY2(row.exitCode < 0
                || (updater.exitStatus() == QProcess::NormalExit
                    && updater.exitCode() == row.exitCode && pattern.match(log()).hasMatch()),
            tail().constData());
        QCOMPARE(TestSupport::readAll(app("version")), row.version);
        QCOMPARE(TestSupport::readAll(app("args.txt")), row.handedOn);
        // It ends after the product.
        QCOMPARE(QFile::exists(app("done.txt")), !row.handedOn.isEmpty());

        // A fresh log where it was started, in UTF-8 that Notepad reads on any code page, each
        // line stamped with the time; the worker's thread takes the check once and, when the
        // updater ends, stops.
        const QStringList messages = TestSupport::logMessages(workDir);
        // Only a recovery (a line, and one for a conflict) or a version file that cannot be opened
        // is logged before.
        QVERIFY2(messages.indexOf("版本检测") <= 2 && messages.count("版本检测") == 1
                && messages.count("版本检测线程：版本检测") == 1
                && (row.exitCode < 0 || messages.constLast() == "版本检测线程停止"),
            tail().constData());
        QCOMPARE(QFile::exists(app("updateLog.txt")), workDir == appDir);
        const QByteArray logBytes = TestSupport::readAll(workDir + "/updateLog.txt");
        const QDateTime first = QDateTime::fromString(logBytes.mid(3, 19), "dd.MM.yyyy hh:mm:ss");
        const QRegularExpression stamped(
            "^(\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d:  .*\n)+$");
        QVERIFY2(logBytes.startsWith("\xEF\xBB\xBF") && stamped.match(logBytes.mid(3)).hasMatch()
                && first >= started.addSecs(-1) && first <= QDateTime::currentDateTime(),
            logBytes.constData());

        // Each file as it was, or as served once asked for; a program stays one; a new version
        // only with all files.
        const QStringList asked = server->requests();
        Files after = TestSupport::snapshot(appDir);
        for (const QString& line :
            messages.filter(QRegularExpression("^文件冲突,已移至:\\S+/app/")))
            QCOMPARE(after.take(line.section("/app/", 1)), byHand);
        const QStringList runFiles {
            "updateLog.txt", "version", "args.txt", "done.txt", "updateStaging.lock"};
        const bool updated = !row.version.isEmpty() && row.version != "1.0.0\r\n";
        for (const QString& file : before.keys() + after.keys()) {
            // The staging folder is the only trace of an update that did not go through.
            if (after.value(file) == "folder" || runFiles.contains(file)
                || file.startsWith("updateStaging/"))
                continue;
            const bool fresh = updated && after.contains(file)
                && after.value(file) == served.value(file) && asked.contains(binPath + file);
            QVERIFY2(fresh
                    || (after.contains(file) == before.contains(file)
                        && after.value(file) == before.value(file)),
                qPrintable(file));
        }
        QVERIFY(!updated || !QFile::exists(app("updateStaging")));
        QVERIFY(!QFile::exists(app("updateStaging/journal.json")));
        QVERIFY(QFileInfo(app("bin/core.exe")).isExecutable());
        const auto writable = [this](const char* file) -> bool {
            return QFile::permissions(app(file)) & QFile::WriteOwner;
        };
        QVERIFY(!QFileInfo(app("version")).isFile() || writable("version") == !readOnly);
        QCOMPARE(writable("bin/core.exe"), !readOnly);
        for (auto it = served.cbegin(); updated && it != served.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
        for (const QString& path : unasked)
            QVERIFY2(!asked.contains(path), qPrintable(path));
        // Listed by both versions, fetched once.
        QVERIFY(row.exitCode != 0 || asked.count(binPath + "data/shared.txt") <= 1);
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
