#include "testsupport.h"
#include "zelkorversion.h"

#include <QtTest>

#include <memory>

class TestWorker : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
        QVERIFY(QDir().mkpath(appDir()));
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir->path()));
    }

    void cleanup()
    {
        QDir::setCurrent(previousDir);
        TestSupport::chattr(QStringLiteral("-i"), versionFile());
        dir.reset();
    }

    void installedVersion_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no version file
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << QByteArray() << "0.0.0";
        QTest::newRow("crlf_at_end") << QByteArray("1.2.3\r\n") << "1.2.3";
        QTest::newRow("empty") << QByteArray("") << "0.0.0";
        QTest::newRow("partly_parsed") << QByteArray("2.x.1") << "2.0.0";
        QTest::newRow("four_numbers") << QByteArray("1.2.3.4") << "0.0.0";
        QTest::newRow("ends_at_nul") << QByteArray("3.4.5\0garbage", 13) << "3.4.5";
        QTest::newRow("utf8_bom_skipped") << QByteArray("\xEF\xBB\xBF" "1.2.3") << "1.2.3";
    }

    void installedVersion()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        if (!content.isNull())
            QVERIFY(TestSupport::writeFile(versionFile(), content));
        auto worker = startWorker();
        QVERIFY(worker);
        QCOMPARE(worker->installedVersion().versionString(), expected);
        QCOMPARE(worker->installDir(), appDir());
        // Reading the version file never writes to the log.
        QCOMPARE(TestSupport::logMessages(dir->path()), QStringList());
    }

    void checkCommandRunsOnTheWorkerThread()
    {
        // A folder where the version file should be cannot be opened.
        QVERIFY(QDir().mkpath(versionFile()));
        auto worker = startWorker();
        QVERIFY(worker);
        QCOMPARE(worker->installedVersion().versionString(), QStringLiteral("0.0.0"));
        worker->doCheckVersion();
        QTRY_COMPARE(TestSupport::logMessages(dir->path()).size(), 3);
        const QStringList messages = TestSupport::logMessages(dir->path());
        QVERIFY2(messages.at(0).startsWith(QStringLiteral("本地版本信息文件打开失败:") + versionFile() + QLatin1Char(' ')),
                 qPrintable(messages.at(0)));
        QVERIFY(messages.at(0).size() > appDir().size() + 22);
        QCOMPARE(messages.at(1), QStringLiteral("版本检测"));
        QCOMPARE(messages.at(2), QStringLiteral("版本检测线程：版本检测"));
        QTRY_COMPARE(worker->state(), int(ZelkorVersion::Idle));
        QVERIFY(worker->isRunning());
        QElapsedTimer timer;
        timer.start();
        worker.reset();
        // One idle pause is 100 ms; a generous bound for a busy machine.
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(TestSupport::logMessages(dir->path()).constLast(), QStringLiteral("版本检测线程停止"));
    }

    void evaluation_data()
    {
        QTest::addColumn<QByteArray>("installed"); // empty: no version file
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("versions"); // pending, in order; the last is the target
        QTest::addColumn<QString>("logLine");
        const QString optional = QStringLiteral("发现新版本:不强制更新");
        const auto list = [](const char *entries) { return QByteArray(R"({"updateList":[)") + entries + "]}"; };
        QTest::newRow("not_json") << QByteArray("1.0.0") << QByteArray("<html>oops</html>") << 0 << ""
                                  << QStringLiteral("无需更新：更新列表为空");
        QTest::newRow("nothing_newer") << QByteArray("1.2.3") << list(R"({"version":"1.2.3","updateType":1},{"version":"1.0.0"})")
                                       << 0 << "" << QStringLiteral("无需更新：当前版本为最新");
        QTest::newRow("ascending_and_enforced") << QByteArray("1.2.3") << list(
            R"({"version":"1.3.0","updateType":0},{"version":"2.0.0","updateType":0},{"version":"1.2.4","updateType":1})")
            << 2 << "1.2.4 1.3.0 2.0.0" << QStringLiteral("发现新版本:强制更新");
        QTest::newRow("duplicate_first_wins") << QByteArray("1.0.0") << list(
            R"({"version":"2.0.0","updateType":0},{"version":"2.0.0","updateType":1})") << 1 << "2.0.0" << optional;
        QTest::newRow("old_enforced_entry_does_not_count") << QByteArray("2.0.0") << list(
            R"({"version":"1.0.0","updateType":1},{"version":"3.0.0","updateType":0})") << 1 << "3.0.0" << optional;
        QTest::newRow("bad_entries_dropped") << QByteArray("1.0.0") << list(
            R"({"version":"1.5"},{"version":1.5},5,"2.0.0",{"version":"x.1.1","updateType":1},{"version":"1.10.0"})")
            << 1 << "1.10.0" << optional;
        QTest::newRow("no_version_file") << QByteArray()
                                         << list(R"({"version":"0.0.1"},{"version":"-1.0.0"})") << 1 << "0.0.1" << optional;
    }

    void evaluation()
    {
        QFETCH(QByteArray, installed);
        QFETCH(QByteArray, list);
        QFETCH(int, code);
        QFETCH(QString, versions);
        QFETCH(QString, logLine);
        const QStringList expected = versions.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!installed.isEmpty())
            QVERIFY(TestSupport::writeFile(versionFile(), installed));
        auto worker = startWorker(list);
        QVERIFY(worker);
        QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
        QSignalSpy end(worker.get(), &ZelkorVersion::sigMsgUpdateEnd);
        QSignalSpy error(worker.get(), &ZelkorVersion::sigMsgInfoError);
        QTRY_VERIFY(check.count() + end.count() > 0);
        QCOMPARE(check.count(), 1);
        QCOMPARE(check.first().first().toInt(), code);
        QCOMPARE(end.count(), 0);
        QCOMPARE(error.count(), 0);
        QCOMPARE(TestSupport::logMessages(dir->path()), QStringList{logLine});
        QStringList pending;
        for (const ZelkorVersionStru &v : worker->pendingVersions())
            pending << v.versionString();
        QCOMPARE(pending, expected);
        QCOMPARE(worker->targetVersion(), expected.isEmpty() ? QString() : expected.constLast());
    }

    void resultAfterFailureCountsAsFailed()
    {
        QVERIFY(TestSupport::writeFile(versionFile(), "1.0.0"));
        // The tool prints nothing: an empty answer is a failed check.
        auto worker = startWorker("");
        QVERIFY(worker);
        QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
        QSignalSpy end(worker.get(), &ZelkorVersion::sigMsgUpdateEnd);
        QSignalSpy error(worker.get(), &ZelkorVersion::sigMsgInfoError);
        QTRY_COMPARE(end.count(), 1);
        QCOMPARE(end.first().first().toBool(), false);
        QCOMPARE(error.count(), 1);
        QCOMPARE(error.first().first().toString(), QStringLiteral("请求服务器超时："));
        // A time-out, then a late good result: both take the failure path.
        QCOMPARE(worker->getEnd(false, QByteArray()), false);
        QCOMPARE(worker->getEnd(true, R"({"updateList":[{"version":"2.0.0"}]})"), false);
        QCOMPARE(check.count(), 0);
        QCOMPARE(end.count(), 3);
        QCOMPARE(worker->pendingVersions().size(), 0);
        QCOMPARE(worker->targetVersion(), QString());
        const QString failed = QStringLiteral("请求服务器超时：");
        QCOMPARE(TestSupport::logMessages(dir->path()), (QStringList{failed, failed, failed}));
    }

    void writeVersion_data()
    {
        QTest::addColumn<QByteArray>("before"); // empty: no version file
        QTest::addColumn<QString>("versions");  // published
        QTest::addColumn<bool>("immutable");
        QTest::addColumn<QByteArray>("after"); // empty: no version file
        QTest::newRow("nothing_newer_leaves_file") << QByteArray("3.0.0\n") << "1.0.0" << false << QByteArray("3.0.0\n");
        QTest::newRow("nothing_newer_creates_nothing") << QByteArray() << "" << false << QByteArray();
        QTest::newRow("exact_bytes_over_longer_content")
            << QByteArray("10.10.10\r\n") << "20.0.0 020.000.000" << false << QByteArray("20.0.0");
        QTest::newRow("new_file") << QByteArray() << "1.10.0" << false << QByteArray("1.10.0");
        QTest::newRow("unreplaceable_file_kept") << QByteArray("1.0.0") << "2.0.0" << true << QByteArray("1.0.0");
    }

    void writeVersion()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, versions);
        QFETCH(bool, immutable);
        QFETCH(QByteArray, after);
        if (!before.isEmpty())
            QVERIFY(TestSupport::writeFile(versionFile(), before));
        QJsonArray list;
        for (const QString &version : versions.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            list.append(QJsonObject{{QStringLiteral("version"), version}});
        auto worker = startWorker(QJsonDocument(QJsonObject{{QStringLiteral("updateList"), list}}).toJson());
        QVERIFY(worker);
        QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
        QVERIFY(check.wait());
        if (immutable && !TestSupport::chattr(QStringLiteral("+i"), versionFile()))
            QSKIP("chattr +i is not available here");
        QCOMPARE(worker->writeVersion(), !immutable);
        QCOMPARE(QFileInfo::exists(versionFile()), !after.isEmpty());
        if (!after.isEmpty())
            QCOMPARE(TestSupport::readAll(versionFile()), after);
        const QStringList messages = TestSupport::logMessages(dir->path());
        QCOMPARE(messages.at(messages.size() - 1 - immutable), QStringLiteral("写入更新文件"));
        if (immutable) {
            QVERIFY2(messages.constLast().startsWith(QStringLiteral("写入更新文件失败：")),
                     qPrintable(messages.constLast()));
            QVERIFY(messages.constLast().size() > 9);
        }
    }

private:
    // The fetch tool prints list; for a null list it hangs, so no result arrives.
    std::unique_ptr<ZelkorVersion> startWorker(const QByteArray &list = QByteArray())
    {
        const QStringList script{list.isNull() ? QStringLiteral("sleep 60000") : QStringLiteral("print-file list.json")};
        if (!TestSupport::writeFile(appDir() + QStringLiteral("/list.json"), list)
            || !TestSupport::installFakeProgram(appDir(), QStringLiteral("updateCurl.exe"), script))
            return nullptr;
        ZelkorVersion::Options options;
        options.appDir = appDir();
        options.serverUrl = QStringLiteral("http://127.0.0.1:9");
        auto worker = std::make_unique<ZelkorVersion>(nullptr, options);
        worker->init();
        return worker;
    }

    QString appDir() const { return dir->path() + QStringLiteral("/app"); }
    QString versionFile() const { return appDir() + QStringLiteral("/version"); }

    std::unique_ptr<QTemporaryDir> dir;
    QString previousDir;
};

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
