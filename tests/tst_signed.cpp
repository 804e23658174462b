// The signed build of update.exe end to end, with updateCurl.exe and a fake Tavrix.exe:
// release 1.1.0 over 1.0.0, signed by minisign at configure time or published by update-publish
// --sign-key, served with a row's changes.

#include "testsupport.h"

struct Signed
{
    QMap<QString, Reply> changes; // paths served otherwise than the tree says
    QString logged; // a pattern of the log, lines joined
    bool installs;
};
Q_DECLARE_METATYPE(Signed)

static const QString manifest = "/packages/version/1.1.0.json", signature = manifest + ".minisig",
                     core = "/packages/bin/bin/core.dll";
static const QString fixture = UPDATER_SIGNED_DIR;

class TestSigned : public QObject
{
    Q_OBJECT

    // One server for all rows: without SO_REUSEADDR, as on Windows, the last row's closed
    // connections may hold the port.
    const std::unique_ptr<HttpServer> server = std::make_unique<HttpServer>(UPDATER_TEST_PORT);
    QStringList routed; // paths the last row served

private slots:
    void update_data()
    {
        QTest::addColumn<bool>(
            "published"); // the tree update-publish writes, else the one made at configure time
        QTest::addColumn<Signed>("row");
        const QByteArray body = TestSupport::readAll(fixture + "/tree" + manifest),
                         evil = "bin/core.dll of 6.6.6\n";
        const QByteArray realHash = QCryptographicHash::hash(
            TestSupport::readAll(fixture + "/release/bin/core.dll"), QCryptographicHash::Sha256)
                                        .toHex();
        const auto sig = [](const QString& name) {
            return TestSupport::readAll(fixture + '/' + name + ".minisig");
        };
        const QString installed = "^写入更新文件$", refused = "^签名验证失败:\\S*/%1\\.json %2$";
        QTest::newRow("signed_update_installs") << false << Signed {{}, installed, true};
        QTest::newRow("published_with_sign_key_installs") << true << Signed {{}, installed, true};
        QTest::newRow("second_key_installs")
            << false << Signed {{{signature, {200, sig("next")}}}, installed, true};
        QTest::newRow("legacy_signature_installs")
            << false << Signed {{{signature, {200, sig("legacy")}}}, installed, true};
        QTest::newRow("tampered_file")
            << false
            << Signed {
                   {{core, {200, evil}}}, "^文件校验失败:\\S*/bin/core\\.dll SHA-256不符$", false};
        QTest::newRow("body_longer_than_signed_is_cut")
            << false
            << Signed {{{core, {200, evil, Reply::Endless}}},
                   "^文件校验失败:\\S*/bin/core\\.dll 大小不符$", false};
        QTest::newRow("tampered_manifest")
            << false
            << Signed {{{manifest,
                            {200,
                                QByteArray(body).replace(realHash,
                                    QCryptographicHash::hash(evil, QCryptographicHash::Sha256)
                                        .toHex())}},
                           {core, {200, evil}}},
                   refused.arg("1\\.1\\.0", "签名不匹配"), false};
        QTest::newRow("signed_by_another_key")
            << false
            << Signed {{{signature, {200, sig("other")}}}, refused.arg("1\\.1\\.0", "签名密钥不符"),
                   false};
        QTest::newRow("signature_missing")
            << false
            << Signed {{{signature, 404}}, refused.arg("1\\.1\\.0", "缺少签名,错误码:\\d+"), false};
        QTest::newRow("signature_unreadable")
            << false
            << Signed {{{signature, {200, "untrusted comment: x\nnot base64\n"}}},
                   refused.arg("1\\.1\\.0", "签名格式错误"), false};
        QTest::newRow("old_manifest_as_newer_version")
            << false
            << Signed {{{"/packages/update.json", {200, R"({"updateList":[{"version":"1.2.0"}]})"}},
                           {"/packages/version/1.2.0.json", {200, body}},
                           {"/packages/version/1.2.0.json.minisig",
                               {200, TestSupport::readAll(fixture + "/tree" + signature)}}},
                   refused.arg("1\\.2\\.0", "版本不符:1\\.1\\.0"), false};
    }

    void update()
    {
        QFETCH(bool, published);
        QFETCH(Signed, row);
        QVERIFY2(server->isListening(), "the end-to-end port is taken");
        QTemporaryDir root;
        const QString tree = published ? root.path() : fixture + "/tree";
        if (published) {
            if (QStandardPaths::findExecutable("minisign").isEmpty())
                QSKIP("minisign is not on the search path");
            QProcess publish;
            publish.start(UPDATE_PUBLISH_PATH,
                {"--root", tree, "--version", "1.1.0", "--sign-key", fixture + "/good.key",
                    fixture + "/release"});
            QVERIFY(publish.waitForFinished(60000) && publish.exitCode() == 0);
        }
        for (const QString& path : qAsConst(routed))
            server->route(path, Reply(404));
        const QMap<QString, QByteArray> served = TestSupport::snapshot(tree);
        QMap<QString, Reply> routes;
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            routes.insert('/' + it.key(), Reply(200, it.value()));
        routes.insert(row.changes);
        for (auto it = routes.cbegin(); it != routes.cend(); ++it)
            server->route(it.key(), it.value());
        routed = routes.keys();

        QTemporaryDir app; // the installation and the updater's working folder; the test's stays
                           // where Wine finds the build
        QVERIFY(TestSupport::writeFile(app.filePath("version"), "1.0.0")
            && TestSupport::writeFile(app.filePath("bin/core.dll"), "old core")
            && TestSupport::installFake(app.path(), "Tavrix.exe", {})
            && QFile::copy(UPDATER_SIGNED_BIN_DIR "/update.exe", app.filePath("update.exe"))
            && QFile::copy(
                UPDATER_TOOLS_BIN_DIR "/updateCurl.exe", app.filePath("updateCurl.exe")));
        const auto files = [&] {
            auto files = TestSupport::snapshot(app.path());
            files.remove("updateLog.txt");
            return files;
        };
        const QMap<QString, QByteArray> before = files();
        QProcess updater;
        updater.setWorkingDirectory(app.path());
        updater.start(app.filePath("update.exe"), QStringList());
        const QRegularExpression pattern(row.logged,
            QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
        const auto log = [&] { return TestSupport::logMessages(app.path()).join('\n'); };
        // Installed, it ends after the product; refused, it waits for the user with nothing
        // written, not even a temporary file.
        const auto done = [&] {
            return updater.state() == QProcess::NotRunning
                || (!row.installs && pattern.match(log()).hasMatch() && files() == before);
        };
        QVERIFY2(QTest::qWaitFor(done, 120000) && pattern.match(log()).hasMatch()
                && (updater.state() == QProcess::NotRunning) == row.installs
                && (!row.installs
                    || (updater.exitStatus() == QProcess::NormalExit && updater.exitCode() == 0)),
            qPrintable(log()));
        updater.kill(), updater.waitForFinished();
        const QMap<QString, QByteArray> after = files();
        for (const QString path : {"bin/core.dll", "data/theme.txt"})
            QCOMPARE(after.value(path),
                row.installs ? served.value("packages/bin/" + path) : before.value(path));
        QCOMPARE(after.value("version"), QByteArray(row.installs ? "1.1.0" : "1.0.0"));
    }
};

QTEST_GUILESS_MAIN(TestSigned)
#include "tst_signed.moc"
