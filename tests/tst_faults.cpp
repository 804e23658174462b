// Faults around a running update, with the real update.exe and updateCurl.exe
// against the loopback server: the updater killed part-way, bodies that stall
// or never end, and an installation that cannot be written.

#include "httpserver.h"
#include "testsupport.h"

#include <QtTest>

#include <algorithm>
#include <limits>
#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
using Files = QMap<QString, QByteArray>;
using OpenFiles = QMap<QString, qint64>;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

QString operator""_q(const char *text, size_t size) { return QString::fromUtf8(text, int(size)); }

const QString fileFailed = "下载文件: 失败,错误码:"_q;
const QString versionWritten = "写入更新文件"_q;
const qint64 MiB = 1024 * 1024;
// Sanitizer builds hold freed memory back on purpose (ASan's quarantine is
// 256 MiB), so there the peak is only printed.
#ifdef UPDATER_SANITIZED
const qint64 flatMemoryKiB = std::numeric_limits<qint64>::max();
#else
const qint64 flatMemoryKiB = 64 * 1024;
#endif

// Pseudo-random bytes: a file cut short or mixed with another never compares equal.
QByteArray noise(qint64 size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (char &c : bytes)
        c = char((seed = seed * 1103515245u + 12345u) >> 24);
    return bytes;
}

// Every file below root but the log, with its bytes.
Files snapshot(const QString &root)
{
    Files files;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        if (const QString path = it.next(); it.fileName() != "updateLog.txt"_q)
            files.insert(QDir(root).relativeFilePath(path), TestSupport::readAll(path));
    return files;
}

// Files below dir that pid holds open, the log left out, with their sizes;
// Qt's unnamed temporaries show up as "#inode (deleted)".
OpenFiles openFiles(qint64 pid, const QString &dir)
{
    OpenFiles files;
    const QString real = QFileInfo(dir).canonicalFilePath() + u'/';
    for (const QFileInfo &fd : QDir("/proc/%1/fd"_q.arg(pid)).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (const QString target = fd.symLinkTarget(); target.startsWith(real) && !target.endsWith("/updateLog.txt"_q))
            files.insert(target.mid(real.size()), fd.size());
    return files;
}

// VmHWM of a running process, or -1.
qint64 peakRssKiB(qint64 pid)
{
    const auto match = QRegularExpression("VmHWM:\\s*(\\d+)"_q)
                           .match(QString::fromLatin1(TestSupport::readAll("/proc/%1/status"_q.arg(pid))));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>(); // for QSignalSpy
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("no_proxy", "127.0.0.1,localhost");
    }
    void init()
    {
        appDir = (tmp = std::make_unique<QTemporaryDir>())->filePath("app"_q);
        server = std::make_unique<TestHttpServer>();
        QVERIFY2(server->listen(UPDATER_TEST_PORT), qPrintable(server->errorString()));
    }
    void cleanup()
    {
        if (updater)
            updater->kill(), ended(30000);
        if (!frozen.isEmpty() && !TestSupport::chattr("-i"_q, frozen))
            qWarning("cannot clear the immutable flag of %s", qPrintable(frozen));
        frozen.clear(), server.reset();
    }
    void killedMidDownload();
    void failureKeepsInstallation_data();
    void failureKeepsInstallation();

private:
    // Installs 1.0.0 with three old files, a lingering product and a log, and serves 1.1.0 listing paths.
    bool stage(const QStringList &paths)
    {
        const Files files{{"core.dll"_q, "old core"}, {"other.dll"_q, "old other"}, {"keep.txt"_q, "never listed"},
                          {"version"_q, "1.0.0"}, {"updateLog.txt"_q, {}}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!TestSupport::writeFile(app(it.key()), it.value()))
                return false;
        for (const QString &program : {QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"),
                                       QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe")})
            if (!QFile::copy(program, app(QFileInfo(program).fileName())))
                return false;
        server->setRoute("/packages/update.json"_q, R"({"updateList":[{"version":"1.1.0","updateType":1}]})");
        server->setRoute("/packages/version/1.1.0.json"_q,
                         QJsonDocument(QJsonObject{{"value"_q, QJsonArray::fromStringList(paths)}}).toJson());
        return TestSupport::installFakeProgram(appDir, "Tavrix.exe"_q, {"record args.txt"_q, "sleep 3000"_q});
    }
    bool run()
    {
        updater = std::make_unique<QProcess>();
        updater->setWorkingDirectory(appDir);
        // Never read: a full pipe would stall the updater.
        updater->setStandardOutputFile(QProcess::nullDevice());
        updater->setStandardErrorFile(QProcess::nullDevice());
        updater->start(app("update.exe"_q), QStringList());
        return updater->waitForStarted(30000);
    }
    // Never pauses the event loop as qWaitFor does, so the server keeps full speed.
    bool ended(int timeoutMs) const
    {
        QSignalSpy finished(updater.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        return updater->state() == QProcess::NotRunning || finished.wait(timeoutMs);
    }
    QStringList log() const { return TestSupport::logMessages(appDir); }
    QString logDump() const { return log().join(u'\n'); }
    QString app(const QString &path) const { return appDir + u'/' + path; }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QProcess> updater;
    QString appDir, frozen;
};

void TestFaults::killedMidDownload()
{
    const QStringList paths{"core.dll"_q, "other.dll"_q, "sub/b.txt"_q};
    const Files newFiles{{"core.dll"_q, noise(64 * MiB, 1)}, {"other.dll"_q, noise(3000, 2)}, {"sub/b.txt"_q, noise(5000, 3)}};
    for (const QString &path : paths)
        QVERIFY(TestSupport::writeFile(tmp->filePath("server/packages/bin/"_q + path), newFiles.value(path)));
    QVERIFY(stage(paths));
    server->setRoot(tmp->filePath("server"_q));
    server->setRootBytesPerSecond(2 * MiB);
    const Files before = snapshot(appDir);

    QVERIFY(run());
    // Only core.dll gets this big; it must still be growing when the kill comes.
    const auto largest = [&] {
        const QList<qint64> sizes = openFiles(updater->processId(), appDir).values();
        return sizes.isEmpty() ? -1 : *std::max_element(sizes.cbegin(), sizes.cend());
    };
    qint64 partial = -1;
    QVERIFY2(QTest::qWaitFor([&] { return (partial = largest()) >= MiB / 2; }, 60000), qPrintable(logDump()));
    QVERIFY2(QTest::qWaitFor([&] { return largest() > partial; }, 30000), "the partial file does not grow");
    updater->kill();
    QVERIFY(ended(30000));
    QVERIFY2(log().filter(fileFailed).isEmpty() && !log().contains(versionWritten), qPrintable(logDump()));

    // Each file is whole, old or new; the version and the rest untouched; strays only temporaries of listed files.
    Files after = snapshot(appDir);
    const QRegularExpression tempName("^(.+)\\.[A-Za-z0-9]{6}$"_q);
    for (const QString &name : before.keys() + after.keys())
        QVERIFY2((after.value(name) == before.value(name) && before.contains(name) == after.contains(name))
                     || (paths.contains(name) && after.value(name) == newFiles.value(name))
                     || (!before.contains(name) && paths.contains(tempName.match(name).captured(1))),
                 qPrintable(name));

    // Fixed server, second run: it finishes the job.
    server->setRootBytesPerSecond(0);
    QVERIFY(run());
    QFileSystemWatcher watcher({appDir});
    QSignalSpy changed(&watcher, &QFileSystemWatcher::directoryChanged);
    for (QDeadlineTimer deadline(120000); !QFileInfo::exists(app("args.txt"_q)) && !deadline.hasExpired();)
        changed.wait(1000);
    QVERIFY2(QFileInfo::exists(app("args.txt"_q)), qPrintable(logDump()));
    // The product lingers, so this is the updater's peak after the update.
    const qint64 peak = peakRssKiB(updater->processId());
    qInfo("rerun: VmHWM %lld KiB", peak);
    QVERIFY2(peak > 0 && peak < flatMemoryKiB, qPrintable(QString::number(peak)));
    QVERIFY(ended(60000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
    after = snapshot(appDir);
    Files expected = newFiles;
    expected.insert({{"version"_q, "1.1.0"}, {"args.txt"_q, "argc=0\n--\n"}, {"keep.txt"_q, "never listed"}});
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));
}

void TestFaults::failureKeepsInstallation_data()
{
    QTest::addColumn<Response>("answer"); // for core.dll; the others come whole
    QTest::addColumn<QString>("frozenName"); // made immutable; "." is the folder itself
    QTest::addColumn<QStringList>("listed");
    const auto answer = [](const QByteArray &body, Fault fault = Fault::None, qint64 after = -1, qint64 pace = 0) {
        Response response;
        return response.body = body, response.fault = fault, response.faultAfter = after, response.bytesPerSecond = pace, response;
    };
    const Response whole = answer("new core.dll");
    const QStringList core{"core.dll"_q};
    QTest::newRow("stalls_mid_body") << answer(noise(2 * MiB, 7), Fault::Stall, MiB) << QString() << core;
    // Paced: at full speed it would write gigabytes before the bound.
    QTest::newRow("endless_body") << answer("0123456789abcdef", Fault::Endless, -1, 4 * MiB) << QString() << core;
    QTest::newRow("read_only_folder") << whole << "."_q << QStringList{"core.dll"_q, "fresh.dll"_q};
    QTest::newRow("file_cannot_be_replaced")
        << whole << "core.dll"_q << QStringList{"core.dll"_q, "other.dll"_q, "data/fresh.txt"_q};
}

void TestFaults::failureKeepsInstallation()
{
    QFETCH(Response, answer);
    QFETCH(QString, frozenName);
    QFETCH(QStringList, listed);
    // stage() writes the log, which must exist before the folder is frozen.
    QVERIFY(stage(listed));
    for (const QString &path : listed)
        server->setRoute("/packages/bin/"_q + path, "new " + path.toUtf8());
    server->setRoute("/packages/bin/core.dll"_q, answer);
    // The file's clock starts once the manifest is back, so this one is never behind it.
    QElapsedTimer sinceAsked;
    QObject context;
    connect(server.get(), &TestHttpServer::requestReceived, &context,
            [&](const QString &path) { if (path.endsWith("/1.1.0.json"_q)) sinceAsked.start(); });
    const Files before = snapshot(appDir);
    if (!frozenName.isEmpty() && !TestSupport::chattr("+i"_q, QDir(appDir).absoluteFilePath(frozenName)))
        QSKIP("chattr +i failed: this filesystem or this user cannot make files immutable");
    frozen = frozenName.isEmpty() ? QString() : QDir(appDir).absoluteFilePath(frozenName);

    QVERIFY(run());
    const qint64 pid = updater->processId();
    const QRegularExpression failure(frozenName.isEmpty() ? u'^' + fileFailed : "^(打开|写入)文件失败:(.+)失败原因:"_q);
    const int timeoutMs = frozenName.isEmpty() ? UPDATER_TEST_REQUEST_TIMEOUT_MS + 30000 : 30000;
    QVERIFY2(QTest::qWaitFor([&] { return !log().filter(failure).isEmpty(); }, timeoutMs), qPrintable(logDump()));
    const qint64 elapsed = sinceAsked.isValid() ? sinceAsked.elapsed() : -1;
    const QString logged = log().filter(failure).first();
    if (frozenName.isEmpty()) {
        QVERIFY2(logged.endsWith("no complete answer within %1 ms"_q.arg(UPDATER_TEST_REQUEST_TIMEOUT_MS)),
                 qPrintable(logged));
        QVERIFY2(elapsed >= UPDATER_TEST_REQUEST_TIMEOUT_MS, qPrintable(QString::number(elapsed)));
    } else {
        const QString named = failure.match(logged).captured(2);
        QVERIFY2(named == app(listed.at(0)) || (frozenName == "."_q && named == app(listed.at(1))), qPrintable(named));
    }

    // It waits for the user, with flat memory and nothing of a body kept.
    QVERIFY(!ended(1000));
    const qint64 peak = peakRssKiB(pid);
    qInfo("%s: VmHWM %lld KiB", QTest::currentDataTag(), peak);
    QVERIFY2(peak > 0 && peak < flatMemoryKiB, qPrintable(QString::number(peak)));
    QCOMPARE(openFiles(pid, appDir), OpenFiles());
    QVERIFY(!log().contains(versionWritten));
    // Only files written whole before an unwritable one may be new; none is partial, lost or a stray.
    const Files after = snapshot(appDir);
    if (frozenName != "core.dll"_q)
        QVERIFY(after == before);
    for (const QString &name : before.keys() + after.keys())
        QVERIFY2((before.contains(name) && after.value(name) == before.value(name))
                     || (listed.contains(name) && name != frozenName && after.value(name) == "new " + name.toUtf8()),
                 qPrintable(name));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
