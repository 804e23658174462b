// Faults around a running update, with the real update.exe and updateCurl.exe
// against the loopback server: the updater killed part-way, bodies that stall
// or never end, an installation that cannot be written, and long lists.

#include "httpserver.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

#include <algorithm>
#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

const QString listPath = QStringLiteral("/packages/update.json");
const QString fileFailed = QStringLiteral("下载文件: 失败,错误码:");
const qint64 MiB = 1024 * 1024;
// Bound on the updater's peak resident memory. Sanitizer builds hold freed
// memory back on purpose (ASan's quarantine alone is 256 MiB), so there the
// figure is only printed.
#ifdef UPDATER_SANITIZED
const qint64 flatMemoryKiB = std::numeric_limits<qint64>::max();
#else
const qint64 flatMemoryKiB = 64 * 1024;
#endif
// What stage() puts into every installation folder.
const QStringList staged{QStringLiteral("update.exe"), QStringLiteral("updateCurl.exe"),
                         QStringLiteral("Tavrix.exe"), QStringLiteral("Tavrix.exe.fake"),
                         QStringLiteral("version")};
// A QSaveFile temporary that was neither committed nor cancelled.
const QRegularExpression tempName(QStringLiteral("^(.+)\\.[A-Za-z0-9]{6}$"));

QString manifestPath(const QString &version)
{
    return QStringLiteral("/packages/version/%1.json").arg(version);
}

QString binPath(const QString &path)
{
    return QStringLiteral("/packages/bin/") + path;
}

QByteArray manifest(const QStringList &paths)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("value"), QJsonArray::fromStringList(paths)}})
        .toJson();
}

QByteArray updateList(const QStringList &versions)
{
    QJsonArray list;
    for (const QString &version : versions)
        list.append(QJsonObject{{QStringLiteral("version"), version},
                                {QStringLiteral("updateType"), 1},
                                {QStringLiteral("reason"), QStringLiteral("修复")}});
    return QJsonDocument(QJsonObject{{QStringLiteral("updateList"), list}}).toJson();
}

// Pseudo-random bytes: a file cut short or mixed with another never compares equal.
QByteArray noise(qint64 size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (char &c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    return bytes;
}

// Every file below root with its bytes; the log changes on every run and is left out.
Files snapshot(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName() != QLatin1String("updateLog.txt"))
            files.insert(QDir(root).relativeFilePath(path), TestSupport::readAll(path));
    }
    return files;
}

QStringList strays(const Files &files, const QStringList &known)
{
    QStringList names;
    for (const QString &name : files.keys())
        if (!known.contains(name))
            names << name;
    return names;
}

// Files below dir that process pid holds open, the log left out, with their
// sizes. Qt's temporaries show up even while they have no name (O_TMPFILE:
// "#inode (deleted)").
QMap<QString, qint64> openFiles(qint64 pid, const QString &dir)
{
    QMap<QString, qint64> files;
    const QString real = QFileInfo(dir).canonicalFilePath(); // as /proc shows it
    const QFileInfoList fds = QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                  .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &fd : fds) {
        const QString target = fd.symLinkTarget();
        if (target.startsWith(real + QLatin1Char('/')) && !target.endsWith(QLatin1String("/updateLog.txt")))
            files.insert(target.mid(real.size() + 1), fd.size());
    }
    return files;
}

qint64 largestOpenFile(qint64 pid, const QString &dir)
{
    const QList<qint64> sizes = openFiles(pid, dir).values();
    return sizes.isEmpty() ? -1 : *std::max_element(sizes.cbegin(), sizes.cend());
}

// VmHWM of a running process, or -1.
qint64 peakRssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Only called while no updater runs, so blocking the event loop is harmless.
bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); } // for QSignalSpy
    void init();
    void cleanup();
    void killedMidway_data();
    void killedMidway();
    void bodyPastTheBound_data();
    void bodyPastTheBound();
    void unwritableInstallation_data();
    void unwritableInstallation();
    void scale_data();
    void scale();

private:
    bool stage(const Files &oldFiles, const QStringList &productScript);
    bool run();
    // These two never pause the event loop as qWaitFor does, so the server keeps full speed.
    bool ended(int timeoutMs) const
    {
        QSignalSpy finished(updater.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        return updater->state() == QProcess::NotRunning || finished.wait(timeoutMs);
    }
    bool appears(const QString &path, int timeoutMs) const;
    QStringList log() const;
    QString logDump() const { return log().join(QLatin1Char('\n')); }
    // The first message starting with prefix, or a null string.
    QString findLog(const QString &prefix) const
    {
        for (const QString &message : log())
            if (message.startsWith(prefix))
                return message;
        return QString();
    }
    QString appFile(const QString &path) const { return appDir + QLatin1Char('/') + path; }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QProcess> updater;
    QString appDir;
    QStringList immutable;
};

void TestFaults::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY2(tmp->isValid(), qPrintable(tmp->errorString()));
    appDir = tmp->filePath(QStringLiteral("app"));
    server = std::make_unique<TestHttpServer>();
    if (!server->listen(UPDATER_TEST_PORT))
        QFAIL(qPrintable(QStringLiteral("port %1 is busy (another suite?): ").arg(UPDATER_TEST_PORT)
                         + server->errorString()));
}

void TestFaults::cleanup()
{
    if (updater && updater->state() != QProcess::NotRunning) {
        updater->kill();
        ended(30000);
    }
    updater.reset();
    for (const QString &path : qAsConst(immutable))
        if (!chattr(QStringLiteral("-i"), path))
            qWarning("cannot clear the immutable flag of %s", qPrintable(path));
    immutable.clear();
    server.reset();
    tmp.reset();
}

bool TestFaults::stage(const Files &oldFiles, const QStringList &productScript)
{
    if (!QDir().mkpath(appDir))
        return false;
    for (const QString &program : {QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"),
                                   QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe")}) {
        const QString target = appFile(QFileInfo(program).fileName());
        if (!QFile::copy(program, target) || !QFileInfo(target).isExecutable()) {
            qWarning("cannot install %s as an executable", qPrintable(program));
            return false;
        }
    }
    if (!TestSupport::installFakeProgram(appDir, QStringLiteral("Tavrix.exe"), productScript))
        return false;
    for (auto it = oldFiles.cbegin(); it != oldFiles.cend(); ++it)
        if (!TestSupport::writeFile(appFile(it.key()), it.value()))
            return false;
    return TestSupport::writeFile(appFile(QStringLiteral("version")), "1.0.0");
}

bool TestFaults::run()
{
    updater = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("no_proxy"), QStringLiteral("127.0.0.1,localhost"));
    updater->setProcessEnvironment(env);
    updater->setWorkingDirectory(appDir);
    // Never read: a full pipe would stall the updater.
    updater->setStandardOutputFile(QProcess::nullDevice());
    updater->setStandardErrorFile(QProcess::nullDevice());
    updater->start(appFile(QStringLiteral("update.exe")), QStringList());
    if (!QTest::qWaitFor([this] { return updater->state() != QProcess::Starting; }, 30000)
        || updater->error() == QProcess::FailedToStart) {
        qWarning("update.exe did not start: %s", qPrintable(updater->errorString()));
        return false;
    }
    return true;
}

bool TestFaults::appears(const QString &path, int timeoutMs) const
{
    QFileSystemWatcher watcher({QFileInfo(path).absolutePath()});
    QSignalSpy changed(&watcher, &QFileSystemWatcher::directoryChanged);
    const QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(path) && !deadline.hasExpired()
           && updater->state() != QProcess::NotRunning)
        changed.wait(int(qBound<qint64>(1, deadline.remainingTime(), 1000)));
    return QFileInfo::exists(path);
}

QStringList TestFaults::log() const
{
    QFile file(appFile(QStringLiteral("updateLog.txt")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        messages << line.mid(22); // after "dd.MM.yyyy hh:mm:ss:  "
    return messages;
}

void TestFaults::killedMidway_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<int>("preexisting"); // the first ones have an old version installed
    QTest::addColumn<qint64>("bytesPerSecond");
    QTest::addColumn<QString>("killAt"); // a log message; empty: while paths[0] is being written

    QTest::newRow("during_large_download")
        << QStringList{QStringLiteral("big.bin"), QStringLiteral("a.txt"), QStringLiteral("sub/b.txt")}
        << QList<int>{int(64 * MiB), 3000, 5000} << 2 << 2 * MiB << QString();
    QStringList six;
    for (int i = 1; i <= 6; ++i)
        six << QStringLiteral("lib/f%1.dll").arg(i);
    QTest::newRow("during_file_phase")
        << six << QVector<int>(6, int(MiB)).toList() << 4 << MiB << QStringLiteral("(2/6)");
}

void TestFaults::killedMidway()
{
    QFETCH(QStringList, paths);
    QFETCH(QList<int>, sizes);
    QFETCH(int, preexisting);
    QFETCH(qint64, bytesPerSecond);
    QFETCH(QString, killAt);

    Files oldFiles{{QStringLiteral("keep.txt"), "never listed"}};
    Files newFiles;
    const QString root = tmp->filePath(QStringLiteral("server"));
    for (int i = 0; i < paths.size(); ++i) {
        newFiles.insert(paths.at(i), noise(sizes.at(i), quint32(i + 1)));
        QVERIFY(TestSupport::writeFile(root + binPath(paths.at(i)), newFiles.value(paths.at(i))));
        if (i < preexisting)
            oldFiles.insert(paths.at(i), "old " + paths.at(i).toUtf8());
    }
    // The product lingers so the updater's peak memory can be read after the update.
    QVERIFY(stage(oldFiles, {QStringLiteral("record args.txt"), QStringLiteral("sleep 3000")}));
    server->setRoute(listPath, updateList({QStringLiteral("1.0.0"), QStringLiteral("1.1.0")}));
    server->setRoute(manifestPath(QStringLiteral("1.1.0")), manifest(paths));
    server->setRoot(root);
    server->setRootBytesPerSecond(bytesPerSecond);

    QVERIFY(run());
    const qint64 pid = updater->processId();
    if (killAt.isEmpty()) {
        // Only paths[0] gets this big; it must still be growing when the kill comes.
        qint64 partial = -1;
        QVERIFY2(QTest::qWaitFor([&] { return (partial = largestOpenFile(pid, appDir)) >= MiB / 2; }, 60000),
                 qPrintable(logDump()));
        QVERIFY2(QTest::qWaitFor([&] { return largestOpenFile(pid, appDir) > partial; }, 30000),
                 "the partial file does not grow");
        QVERIFY(!findLog(QStringLiteral("下载文件:")).isNull());
        qInfo("partial file before SIGKILL: %s", qPrintable(openFiles(pid, appDir).keys().join(QLatin1Char(' '))));
    } else {
        QVERIFY2(QTest::qWaitFor([&] { return !findLog(killAt).isNull(); }, 60000), qPrintable(logDump()));
    }
    qInfo("killed: VmHWM %lld KiB", peakRssKiB(pid));
    updater->kill();
    QVERIFY(ended(30000));
    const QStringList killedLog = log();
    QVERIFY2(findLog(fileFailed).isNull() && !killedLog.contains(QStringLiteral("写入更新文件")),
             qPrintable(logDump()));

    // Each file is whole: old, new, or absent if it never was there.
    Files after = snapshot(appDir);
    for (const QString &path : paths) {
        const QByteArray now = after.value(path);
        QVERIFY2(now == newFiles.value(path)
                     || (oldFiles.contains(path) ? now == oldFiles.value(path) : !after.contains(path)),
                 qPrintable(path + QStringLiteral(": %1 bytes").arg(now.size())));
        // A path is logged once its file is in place.
        if (killedLog.contains(path))
            QVERIFY2(now == newFiles.value(path), qPrintable(path));
    }
    QCOMPARE(after.value(QStringLiteral("keep.txt")), QByteArray("never listed"));
    QCOMPARE(after.value(QStringLiteral("version")), QByteArray("1.0.0"));
    QVERIFY(!after.contains(QStringLiteral("args.txt")));
    QStringList known = staged + oldFiles.keys() + paths;
    QStringList stale;
    for (const QString &name : strays(after, known)) {
        // Only temporaries of listed files; an installed file's name always holds a whole file.
        const QRegularExpressionMatch match = tempName.match(name);
        QVERIFY2(match.hasMatch() && paths.contains(match.captured(1)), qPrintable(name));
        stale << QStringLiteral("%1 (%2 bytes)").arg(name).arg(after.value(name).size());
    }
    qInfo("left after SIGKILL: %s", stale.isEmpty() ? "nothing" : qPrintable(stale.join(QStringLiteral(", "))));

    // Fixed server, second run: it finishes the job.
    server->setRootBytesPerSecond(0);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(run());
    QVERIFY2(appears(appFile(QStringLiteral("args.txt")), 120000), qPrintable(logDump()));
    const qint64 peak = peakRssKiB(updater->processId());
    qInfo("rerun: %lld ms to the product; VmHWM %lld KiB", clock.elapsed(), peak);
    QVERIFY2(peak > 0 && peak < flatMemoryKiB, qPrintable(QString::number(peak)));
    QVERIFY(ended(60000));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
    after = snapshot(appDir);
    for (const QString &path : paths)
        QVERIFY2(after.value(path) == newFiles.value(path), qPrintable(path));
    QCOMPARE(after.value(QStringLiteral("version")), QByteArray("1.1.0"));
    QCOMPARE(after.value(QStringLiteral("args.txt")), QByteArray("argc=0\n--\n"));
    QCOMPARE(after.value(QStringLiteral("keep.txt")), QByteArray("never listed"));
    known << QStringLiteral("args.txt");
    qInfo("left after the rerun: %s", qPrintable(strays(after, known).join(QStringLiteral(", "))));
}

void TestFaults::bodyPastTheBound_data()
{
    QTest::addColumn<Response>("answer");

    Response stall;
    stall.body = noise(2 * MiB, 7);
    stall.fault = Fault::Stall;
    stall.faultAfter = MiB;
    QTest::newRow("stalls_mid_body") << stall;
    // Paced: at full speed it would write gigabytes before the bound.
    Response endless;
    endless.body = "0123456789abcdef";
    endless.fault = Fault::Endless;
    endless.bytesPerSecond = 4 * MiB;
    QTest::newRow("endless_body") << endless;
    Response silent;
    silent.fault = Fault::NoAnswer;
    QTest::newRow("never_answers") << silent;
}

void TestFaults::bodyPastTheBound()
{
    QFETCH(Response, answer);

    const QString target = QStringLiteral("bin/core.dll");
    QVERIFY(stage({{target, "old core"}, {QStringLiteral("bin/other.dll"), "old other"}},
                  {QStringLiteral("record args.txt")}));
    server->setRoute(listPath, updateList({QStringLiteral("1.1.0")}));
    server->setRoute(manifestPath(QStringLiteral("1.1.0")), manifest({target}));
    server->setRoute(binPath(target), answer);
    // The updater starts the file's clock only once the manifest is back, so a
    // clock started when the manifest is asked for is never behind it.
    QElapsedTimer sinceAsked;
    QObject context;
    connect(server.get(), &TestHttpServer::requestReceived, &context, [&](const QString &path) {
        if (path == manifestPath(QStringLiteral("1.1.0")))
            sinceAsked.start();
    });
    const Files before = snapshot(appDir);

    QVERIFY(run());
    const qint64 pid = updater->processId();
    qint64 largestPartial = 0;
    const bool failed = QTest::qWaitFor(
        [&] {
            largestPartial = qMax(largestPartial, largestOpenFile(pid, appDir));
            return !findLog(fileFailed).isNull();
        },
        UPDATER_TEST_REQUEST_TIMEOUT_MS + 30000);
    const qint64 elapsed = sinceAsked.isValid() ? sinceAsked.elapsed() : -1;
    QVERIFY2(failed, qPrintable(logDump()));
    QVERIFY2(findLog(fileFailed).endsWith(
                 QStringLiteral("no complete answer within %1 ms").arg(UPDATER_TEST_REQUEST_TIMEOUT_MS)),
             qPrintable(findLog(fileFailed)));

    // It waits for the user, with flat memory and nothing of the body kept.
    QVERIFY(!ended(1000));
    const qint64 peak = peakRssKiB(pid);
    qInfo("%s: gave up %lld ms after the manifest was asked for; largest partial file %lld bytes; "
          "VmHWM %lld KiB",
          QTest::currentDataTag(), elapsed, largestPartial, peak);
    QVERIFY2(peak > 0 && peak < flatMemoryKiB, qPrintable(QString::number(peak)));
    QCOMPARE(openFiles(pid, appDir), (QMap<QString, qint64>()));
    const Files after = snapshot(appDir);
    QCOMPARE(after.keys(), before.keys());
    QVERIFY(after == before);
    QVERIFY(!log().contains(QStringLiteral("写入更新文件")));
    QVERIFY2(elapsed >= UPDATER_TEST_REQUEST_TIMEOUT_MS,
             qPrintable(QStringLiteral("gave up after %1 ms, before the %2 ms bound")
                            .arg(elapsed)
                            .arg(UPDATER_TEST_REQUEST_TIMEOUT_MS)));
}

void TestFaults::unwritableInstallation_data()
{
    QTest::addColumn<QString>("frozen"); // made immutable; "." is the folder itself
    QTest::addColumn<QStringList>("listed");

    QTest::newRow("read_only_folder")
        << QStringLiteral(".") << QStringList{QStringLiteral("core.dll"), QStringLiteral("fresh.dll")};
    QTest::newRow("file_cannot_be_replaced")
        << QStringLiteral("core.dll")
        << QStringList{QStringLiteral("core.dll"), QStringLiteral("other.dll"), QStringLiteral("data/fresh.txt")};
}

void TestFaults::unwritableInstallation()
{
    QFETCH(QString, frozen);
    QFETCH(QStringList, listed);

    QVERIFY(stage({{QStringLiteral("core.dll"), "old core"},
                   {QStringLiteral("other.dll"), "old other"},
                   {QStringLiteral("keep.txt"), "never listed"}},
                  {QStringLiteral("record args.txt")}));
    // The log lives in the folder: it must exist before the folder is frozen.
    QVERIFY(TestSupport::writeFile(appFile(QStringLiteral("updateLog.txt")), QByteArray()));
    server->setRoute(listPath, updateList({QStringLiteral("1.1.0")}));
    server->setRoute(manifestPath(QStringLiteral("1.1.0")), manifest(listed));
    for (const QString &path : listed)
        server->setRoute(binPath(path), "new " + path.toUtf8());
    const Files before = snapshot(appDir);
    const bool wholeFolder = frozen == QLatin1String(".");

    const QString frozenPath = QDir(appDir).absoluteFilePath(frozen);
    if (!chattr(QStringLiteral("+i"), frozenPath))
        QSKIP("chattr +i failed: this filesystem or this user cannot make files immutable");
    immutable << frozenPath;

    QVERIFY(run());
    const QRegularExpression failure(QStringLiteral("^(打开|写入)文件失败:(.+)失败原因:"));
    QVERIFY2(QTest::qWaitFor([&] { return !log().filter(failure).isEmpty(); }, 30000), qPrintable(logDump()));
    const QString logged = log().filter(failure).first();
    qInfo("%s: %s", QTest::currentDataTag(), qPrintable(logged));
    const QString named = failure.match(logged).captured(2);
    if (wholeFolder)
        QVERIFY2(named == appFile(listed.at(0)) || named == appFile(listed.at(1)), qPrintable(named));
    else
        QCOMPARE(named, appFile(frozen));
    QVERIFY(!ended(1000));
    QVERIFY(!log().contains(QStringLiteral("写入更新文件")));
    QCOMPARE(openFiles(updater->processId(), appDir), (QMap<QString, qint64>()));

    // Files handled before the failure may be new; none is partial, lost or a stray.
    const Files after = snapshot(appDir);
    for (const QString &name : before.keys() + strays(after, before.keys())) {
        const QByteArray now = after.value(name);
        QVERIFY2((before.contains(name) && now == before.value(name))
                     || (listed.contains(name) && name != frozen && now == "new " + name.toUtf8()),
                 qPrintable(name));
    }
    if (wholeFolder)
        QVERIFY(after == before);
    QCOMPARE(after.value(QStringLiteral("version")), QByteArray("1.0.0"));
}

void TestFaults::scale_data()
{
    QTest::addColumn<bool>("manyVersions"); // else one version listing many paths
    QTest::addColumn<int>("smaller");
    QTest::addColumn<int>("larger");

    QTest::newRow("versions") << true << 300 << 600;
    QTest::newRow("paths") << false << 2000 << 4000;
}

void TestFaults::scale()
{
    QFETCH(bool, manyVersions);
    QFETCH(int, smaller);
    QFETCH(int, larger);

    qint64 took[2] = {};
    for (int round = 0; round < 2; ++round) {
        const int count = round == 0 ? smaller : larger;
        appDir = tmp->filePath(QStringLiteral("app%1").arg(count));
        QVERIFY(stage({}, {QStringLiteral("record args.txt")}));
        server->clearRoutes();
        QStringList versions;
        QSet<QString> paths;
        for (int i = 1; i <= count; ++i) {
            QStringList listed;
            if (manyVersions) {
                // Each version brings a file, lists the one before again and a shared one.
                versions << QStringLiteral("1.0.%1").arg(i);
                listed << QStringLiteral("v/f%1.txt").arg(i) << QStringLiteral("v/f%1.txt").arg(qMax(1, i - 1))
                       << QStringLiteral("shared/s%1.txt").arg(i % 10);
                server->setRoute(manifestPath(versions.last()), manifest(listed));
            } else {
                listed << QStringLiteral("d%1/f%2.txt").arg(i % 20).arg(i);
            }
            for (const QString &path : qAsConst(listed))
                paths.insert(path);
        }
        if (!manyVersions) {
            versions << QStringLiteral("1.1.0");
            server->setRoute(manifestPath(versions.last()), manifest(paths.values()));
        }
        server->setRoute(listPath, updateList(versions));
        for (const QString &path : qAsConst(paths))
            server->setRoute(binPath(path), "file " + path.toUtf8());

        QElapsedTimer clock;
        clock.start();
        QVERIFY(run());
        QVERIFY2(ended(280000), qPrintable(log().mid(log().size() - 5).join(QLatin1Char('\n'))));
        took[round] = clock.elapsed();
        QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater->exitCode(), 0);
        const Files after = snapshot(appDir);
        for (const QString &path : qAsConst(paths))
            QVERIFY2(after.value(path) == "file " + path.toUtf8(), qPrintable(path));
        QCOMPARE(after.size(), paths.size() + staged.size() + 1);
        QCOMPARE(after.value(QStringLiteral("version")), versions.last().toUtf8());
        QCOMPARE(after.value(QStringLiteral("args.txt")), QByteArray("argc=0\n--\n"));
    }
    const char *unit = manyVersions ? "versions" : "paths";
    qInfo("scale: %d %s: %lld ms; %d %s: %lld ms; ratio %.2f", smaller, unit, took[0], larger, unit,
          took[1], double(took[1]) / double(qMax<qint64>(1, took[0])));
    // Twice the work should take about twice as long; the bound allows for a busy machine.
    QVERIFY2(took[1] < 4 * took[0] + 5000, qPrintable(QString::number(took[1])));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
