#include "httpserver.h"
#include "testsupport.h"
#include "zelkorversion.h"

#include <QtTest>

#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
Q_DECLARE_METATYPE(TestHttpServer::Response)

static QString operator""_q(const char *text, size_t size) { return QString::fromUtf8(text, int(size)); }
static QByteArray manifest(const QJsonArray &paths)
{
    return QJsonDocument(QJsonObject{{"value"_q, paths}}).toJson();
}
static QString binPath(const QString &path) { return "/packages/bin/"_q + path; }
static QString manifestPath(const QString &version) { return "/packages/version/"_q + version + ".json"_q; }

class TestDownload : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
        appDir = dir->filePath("app"_q);
        QVERIFY(QDir().mkpath(appDir));
        QVERIFY(QFile::copy(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"_q, appFile("updateCurl.exe"_q)));
        QVERIFY(TestSupport::writeFile(appFile("version"_q), "1.0.0"));
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir->path()));
        server = std::make_unique<TestHttpServer>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
        texts.clear();
        percentages.clear();
        ok = false;
    }

    void cleanup()
    {
        worker.reset();
        QDir::setCurrent(previousDir);
        server.reset();
        for (QDirIterator it(appDir, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            TestSupport::chattr("-i"_q, it.next());
        dir.reset();
    }

    void sharedPathFetchedOnce()
    {
        publish({"1.1.0 a#b%41.txt lib/common.dll"_q, "1.2.0 lib/common.dll 数据/c.txt"_q});
        QVERIFY(runUpdate());
        QVERIFY(ok);
        QCOMPARE(server->hits(binPath("lib/common.dll"_q)), 1);
        QCOMPARE(server->hits(manifestPath("1.1.0"_q)), 1);
        QCOMPARE(server->hits(manifestPath("1.2.0"_q)), 1);
        for (const QString &path : {"a#b%41.txt"_q, "lib/common.dll"_q, "数据/c.txt"_q})
            QCOMPARE(TestSupport::readAll(appFile(path)), "new content of " + path.toUtf8());
        QCOMPARE(strayFiles().size(), 3);
        QCOMPARE(texts.constLast(), (QVariantList{"(2/3)"_q, 1}));
        QCOMPARE(worker->targetVersion(), "1.2.0"_q);
        QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
        // The installed version is written by the caller, never by the download.
        QCOMPARE(TestSupport::readAll(appFile("version"_q)), QByteArray("1.0.0"));
    }

    void countersAndPercentages_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("five") << 5 << QList<int>{0, 20, 40, 60, 80};
        QTest::newRow("three_truncated") << 3 << QList<int>{0, 33, 66};
    }

    void countersAndPercentages()
    {
        QFETCH(int, files);
        QFETCH(QList<int>, expected);
        QStringList paths;
        for (int i = 0; i < files; ++i)
            paths << "f%1.bin"_q.arg(i);
        publish({"2.0.0 "_q + paths.join(QLatin1Char(' '))});
        QVERIFY(runUpdate());
        QVERIFY(ok);
        QCOMPARE(percentages, expected);
        QCOMPARE(texts.size(), 2 * files);
        QStringList written;
        for (int i = 0; i < files; ++i) {
            QCOMPARE(texts.at(2 * i).at(1).toInt(), 0);
            written << texts.at(2 * i).first().toString();
            QCOMPARE(texts.at(2 * i + 1), (QVariantList{"(%1/%2)"_q.arg(i).arg(files), 1}));
        }
        written.sort();
        QCOMPARE(written, paths);
    }

    void emptyVersionListSucceedsWithoutRequests()
    {
        publish({});
        startWorker();
        QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
        QVERIFY(check.wait(30000));
        QCOMPARE(check.first().first().toInt(), 0);
        QVERIFY(begin());
        QVERIFY(ok);
        QCOMPARE(server->requests(), QStringList{"/packages/update.json"_q});
        QCOMPARE(logMessages().constLast(), "开始下载文件"_q);
    }

    void installDetails()
    {
        publish({"1.1.0 update.exe bin/update.exe bin/Update.exe Tavrix.exe moved.txt"_q});
        server->setRedirect(binPath("moved.txt"_q), "/elsewhere/moved.txt", 302);
        server->setRoute("/elsewhere/moved.txt"_q, QByteArray("the real file"));
        const QString program = appFile("Tavrix.exe"_q);
        QVERIFY(TestSupport::writeFile(program, "old program"));
        const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(program, mode));
        QVERIFY(runUpdate());
        QVERIFY(ok);
        // The skip is case-sensitive; a redirect's target is installed, not its body.
        QCOMPARE(strayFiles(), (QStringList{"Tavrix.exe"_q, "bin/Update.exe"_q, "moved.txt"_q}));
        QCOMPARE(server->hits(binPath("update.exe"_q)), 0);
        QCOMPARE(server->hits(binPath("bin/update.exe"_q)), 0);
        QCOMPARE(TestSupport::readAll(appFile("moved.txt"_q)), QByteArray("the real file"));
        // A replaced program stays executable.
        QCOMPARE(TestSupport::readAll(program), QByteArray("new content of Tavrix.exe"));
        QCOMPARE(QFile::permissions(program) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), mode);
    }

    void failedFileKeepsEverythingElse_data()
    {
        QTest::addColumn<Response>("failing");
        QTest::addColumn<int>("requestTimeoutMs");
        QTest::addColumn<QString>("reason");
        Response missing;
        missing.status = 404;
        missing.body = "<html>not found</html>";
        QTest::newRow("status_404") << missing << 0 << "错误码:203错误原因:";
        Response stalled;
        stalled.body = QByteArray(200000, 'n');
        stalled.fault = Fault::Stall;
        QTest::newRow("stalls_past_the_bound") << stalled << 700 << "no complete answer within 700 ms";
    }

    void failedFileKeepsEverythingElse()
    {
        QFETCH(Response, failing);
        QFETCH(int, requestTimeoutMs);
        QFETCH(QString, reason);
        const QStringList paths{"a.txt"_q, "b.txt"_q, "c/d.txt"_q, "e.txt"_q};
        publish({"1.1.0 "_q + paths.join(QLatin1Char(' '))});
        for (const QString &path : paths)
            QVERIFY(TestSupport::writeFile(appFile(path), "old " + path.toUtf8()));
        server->setRoute(binPath("c/d.txt"_q), failing);
        ok = true;
        QVERIFY(runUpdate(requestTimeoutMs));
        QVERIFY(!ok);

        // Files fetched before the failure are new, the rest untouched.
        const QStringList asked = server->requests();
        for (const QString &path : paths) {
            const bool before = asked.indexOf(binPath(path)) >= 0
                && asked.indexOf(binPath(path)) < asked.indexOf(binPath("c/d.txt"_q));
            const QByteArray expected = before ? "new content of " + path.toUtf8() : "old " + path.toUtf8();
            QCOMPARE(TestSupport::readAll(appFile(path)), expected);
        }
        QCOMPARE(asked.constLast(), binPath("c/d.txt"_q));
        QCOMPARE(strayFiles().size(), paths.size());
        const QString last = logMessages().constLast();
        QVERIFY2(last.startsWith("下载文件: 失败,错误码:"_q) && last.contains(reason), qPrintable(last));
        QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
        // Qt may retry a request whose connection broke, so count paths.
        QCOMPARE(texts.size(), 2 * (QSet<QString>(asked.begin(), asked.end()).size() - 3));
    }

    void secondManifest_data()
    {
        QTest::addColumn<QByteArray>("body"); // null: none published
        QTest::addColumn<QString>("logged");  // empty: the update succeeds
        QTest::newRow("not_json") << QByteArray("<html>not json</html>") << QString();
        QTest::newRow("no_value") << QByteArray(R"({"files":["a.txt"]})") << QString();
        QTest::newRow("empty_body") << QByteArray("") << QString();
        QTest::newRow("missing") << QByteArray() << "获取更新列表失败:"_q;
        for (const QString &path : {"../x"_q, "/etc/x"_q, "C:/x"_q, "a\\..\\x"_q, "./x"_q, "a//x"_q, "a/.. /x"_q, QString()})
            QTest::newRow(qPrintable("path_"_q + (path.isEmpty() ? "empty"_q : path)))
                << manifest(QJsonArray{"fine.txt"_q, path}) << "非法文件路径:"_q + path;
        QTest::newRow("non_string_entry") << manifest(QJsonArray{"fine.txt"_q, 5}) << "非法文件路径:"_q;
    }

    // A manifest without files is no error; a missing one or an unsafe path stops before any download.
    void secondManifest()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, logged);
        publish({"1.1.0 a.txt"_q, "1.2.0 b.txt"_q, "1.3.0 c.txt"_q});
        if (body.isNull())
            server->removeRoute(manifestPath("1.2.0"_q));
        else
            server->setRoute(manifestPath("1.2.0"_q), body);
        ok = !logged.isEmpty();
        QVERIFY(runUpdate());
        QCOMPARE(ok, logged.isEmpty());
        if (ok) {
            QCOMPARE(strayFiles(), (QStringList{"a.txt"_q, "c.txt"_q}));
            return;
        }
        for (const QString &asked : server->requests())
            QVERIFY2(!asked.startsWith("/packages/bin/"_q), qPrintable(asked));
        QCOMPARE(strayFiles(), QStringList());
        QCOMPARE(logMessages().constLast(), logged);
        QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
        if (!body.isNull())
            return;
        QCOMPARE(worker->cursor(), 2);
        QCOMPARE(server->hits(manifestPath("1.3.0"_q)), 0);
        // A new start begins again with the first version.
        server->setRoute(manifestPath("1.2.0"_q), manifest({"b.txt"_q}));
        QVERIFY(begin());
        QVERIFY(ok);
        QCOMPARE(server->hits(manifestPath("1.1.0"_q)), 2);
        QCOMPARE(strayFiles().size(), 3);
    }

    void localFailureKeepsOldContent_data()
    {
        QTest::addColumn<bool>("folderInTheWay");
        QTest::addColumn<QString>("logged");
        QTest::newRow("folder_where_the_file_should_be") << true << "打开文件失败:";
        QTest::newRow("file_cannot_be_replaced") << false << "";
    }

    void localFailureKeepsOldContent()
    {
        QFETCH(bool, folderInTheWay);
        QFETCH(QString, logged);
        publish({"1.1.0 plugins"_q});
        const QString target = appFile("plugins"_q);
        if (folderInTheWay) {
            QVERIFY(QDir().mkpath(target + "/keep"_q));
        } else {
            QVERIFY(TestSupport::writeFile(target, "old"));
            if (!TestSupport::chattr("+i"_q, target))
                QSKIP("chattr +i is not available here");
        }
        ok = true;
        QVERIFY(runUpdate());
        QVERIFY(!ok);
        if (folderInTheWay)
            QVERIFY(QFileInfo(target + "/keep"_q).isDir());
        else
            QCOMPARE(TestSupport::readAll(target), QByteArray("old"));
        const QStringList log = logMessages();
        const QString last = log.constLast();
        // Which step refuses an immutable file depends on the platform's checks.
        QVERIFY2(last.startsWith(logged.isEmpty() ? "写入文件失败:"_q : logged)
                     || (logged.isEmpty() && last.startsWith("打开文件失败:"_q)),
                 qPrintable(last));
        QVERIFY(last.contains(target));
        QVERIFY(!log.join(QLatin1Char('\n')).contains("创建目录："_q));
        QCOMPARE(strayFiles().size(), folderInTheWay ? 0 : 1);
    }

    void abort_data()
    {
        QTest::addColumn<bool>("beforeBegin");
        QTest::newRow("while_the_first_file_is_on_its_way") << false;
        QTest::newRow("before_the_update_begins") << true;
    }

    void abort()
    {
        QFETCH(bool, beforeBegin);
        publish({"1.1.0 a.txt b.txt c.txt"_q});
        startWorker();
        if (beforeBegin)
            worker->requestAbort();
        else
            connect(server.get(), &TestHttpServer::requestReceived, this, [this](const QString &path) {
                if (path.startsWith("/packages/bin/"_q))
                    worker->requestAbort();
            });
        ok = true;
        QVERIFY(runUpdate());
        QVERIFY(!ok);
        QTRY_VERIFY(worker->isFinished());
        int fetched = 0;
        for (const QString &asked : server->requests())
            fetched += asked.startsWith("/packages/bin/"_q);
        // The request under way was finished and installed.
        QCOMPARE(fetched, beforeBegin ? 0 : 1);
        QCOMPARE(strayFiles().size(), beforeBegin ? 0 : 1);
        if (beforeBegin) {
            QCOMPARE(server->requests(), QStringList{"/packages/update.json"_q});
            worker.reset();
            // An aborted thread ends without its closing line.
            QVERIFY(!logMessages().contains("版本检测线程停止"_q));
        }
    }

private:
    // Publishes versions over an installed 1.0.0; each entry is "version file...".
    void publish(const QStringList &versions)
    {
        QJsonArray list;
        for (const QString &entry : versions) {
            QStringList paths = entry.split(QLatin1Char(' '));
            const QString version = paths.takeFirst();
            list.append(QJsonObject{{"version"_q, version}, {"updateType"_q, 0}});
            server->setRoute(manifestPath(version), manifest(QJsonArray::fromStringList(paths)));
            for (const QString &path : paths)
                server->setRoute(binPath(path), "new content of " + path.toUtf8());
        }
        server->setRoute("/packages/update.json"_q, QJsonDocument(QJsonObject{{"updateList"_q, list}}).toJson());
    }

    void startWorker(int requestTimeoutMs = 0)
    {
        ZelkorVersion::Options options;
        options.appDir = appDir;
        options.serverUrl = server->baseUrl();
        options.requestTimeoutMs = requestTimeoutMs;
        worker = std::make_unique<ZelkorVersion>(nullptr, options);
        connect(worker.get(), &ZelkorVersion::sigSetText, this,
                [this](const QString &text, int which) { texts.append({text, which}); });
        connect(worker.get(), &ZelkorVersion::sigUpdateProcess, this,
                [this](int percent) { percentages.append(percent); });
        worker->init();
    }

    // Waits for the check, begins the update as the window does, waits for its end
    // and leaves the outcome in ok.
    bool runUpdate(int requestTimeoutMs = 0)
    {
        if (!worker)
            startWorker(requestTimeoutMs);
        int code = -1;
        QObject context;
        connect(worker.get(), &ZelkorVersion::sigMsgInfoCheck, &context, [&code](int c) { code = c; });
        return QTest::qWaitFor([&code] { return code >= 0; }, 30000) && code != 0 && begin();
    }

    bool begin()
    {
        // Collected on this thread: the worker thread's reports arrive queued.
        QList<bool> ends;
        QObject context;
        connect(worker.get(), &ZelkorVersion::sigMsgUpdateEnd, &context, [&ends](bool b) { ends << b; });
        worker->doBeginUpdate();
        if (!QTest::qWaitFor([&ends] { return !ends.isEmpty(); }, 60000))
            return false;
        ok = ends.first();
        // Exactly one report per update.
        return !QTest::qWaitFor([&ends] { return ends.size() > 1; }, 300);
    }

    QStringList logMessages() const { return TestSupport::logMessages(dir->path()); }
    QString appFile(const QString &path) const { return appDir + QLatin1Char('/') + path; }
    // Files below appDir other than the ones the test put there itself.
    QStringList strayFiles() const
    {
        QStringList found;
        for (QDirIterator it(appDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
            const QString name = QDir(appDir).relativeFilePath(it.next());
            if (name != QLatin1String("updateCurl.exe") && name != QLatin1String("version"))
                found << name;
        }
        found.sort();
        return found;
    }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<ZelkorVersion> worker;
    bool ok = false;
    QString appDir;
    QString previousDir;
    QList<QVariantList> texts;
    QList<int> percentages;
};

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
