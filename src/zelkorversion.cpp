#include "zelkorversion.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <set>
#include <utility>

#ifdef UPDATER_PUBLIC_KEY
#include <sodium.h>
#endif

#ifndef UPDATER_SERVER_URL
#define UPDATER_SERVER_URL "http://127.0.0.1"
#endif
#ifndef UPDATER_REQUEST_TIMEOUT_MS
#define UPDATER_REQUEST_TIMEOUT_MS 180000
#endif
#ifndef UPDATER_MAX_FILE_BYTES
#define UPDATER_MAX_FILE_BYTES (Q_INT64_C(2) << 30)
#endif

namespace {

const int updateListTimeoutMs = 10000;
// A manifest is a short list of paths; anything bigger is not one.
const qint64 maxManifestSize = 16 * 1024 * 1024;
// Ends a body that never ends, announced length or not.
const qint64 maxFileSize = UPDATER_MAX_FILE_BYTES;
const qint64 readBufferSize = 1024 * 1024;
const qint64 maxSignatureSize = 64 * 1024;
#ifdef UPDATER_PUBLIC_KEY
// Several while a key is being replaced.
const QList<QByteArray> publicKeys = QByteArrayLiteral(UPDATER_PUBLIC_KEY).split(' ');
#else
const QList<QByteArray> publicKeys; // unsigned updates, as ever
#endif

bool isSuccessStatus(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status <= 299;
}

// Streams one downloaded file into place. The installed file keeps its old
// content until the new one is complete; an uncommitted file is discarded.
class InstallFile
{
public:
    // With expected, the file is committed only when its size and hash match.
    InstallFile(ZelkorVersion& worker, const QString& localPath, const SignedFile* expected)
        : worker(worker)
        , localPath(localPath)
        , expected(expected)
    {
    }

    bool write(const QByteArray& chunk)
    {
        if (!file.isOpen() && !open())
            return false;
        if (file.write(chunk) != chunk.size()) {
            writeFailed();
            return false;
        }
        written += chunk.size();
        if (expected)
            hash.addData(chunk);
        return true;
    }

    bool commit()
    {
        if (!file.isOpen() && !open())
            return false;
        if (expected && written != expected->size)
            return mismatch(QStringLiteral("大小不符"));
        if (expected && hash.result().toHex() != expected->sha256)
            return mismatch(QStringLiteral("SHA-256不符"));
        if (!file.commit()) {
            writeFailed();
            return false;
        }
        return true;
    }

    qint64 size() const { return written; }

    bool mismatch(const QString& reason)
    {
        worker.writeLog(QStringLiteral("文件校验失败:") + localPath + QLatin1Char(' ') + reason);
        return false;
    }

private:
    bool open()
    {
        const QFileInfo info(localPath);
        const QString absolutePath = info.absoluteFilePath();
        if (!info.exists()) {
            worker.writeLog(QStringLiteral("创建目录：") + absolutePath);
            if (!QDir().mkpath(info.absolutePath())) {
                worker.writeLog(
                    QStringLiteral("创建目录：") + absolutePath + QStringLiteral(" 失败."));
                qDebug() << "mkpath failed!" << absolutePath;
                return false;
            }
        }
        file.setFileName(localPath);
        if (!file.open(QIODevice::WriteOnly)) {
            worker.writeLog(QStringLiteral("打开文件失败:") + localPath
                + QStringLiteral("失败原因:") + file.errorString());
            qDebug() << "open file faied!" << localPath << " " << file.errorString();
            return false;
        }
        return true;
    }

    void writeFailed()
    {
        worker.writeLog(QStringLiteral("写入文件失败:") + localPath + QStringLiteral("失败原因:")
            + file.errorString());
    }

    ZelkorVersion& worker;
    const QString localPath;
    const SignedFile* const expected;
    QSaveFile file;
    QCryptographicHash hash {QCryptographicHash::Sha256};
    qint64 written = 0;
};

} // namespace

bool ZelkorVersionStru::parseVersion(const QString& text)
{
    const QStringList pieces = text.split(QLatin1Char('.'));
    if (pieces.size() != 3)
        return false;
    int* const fields[] = {&major, &minor, &patch};
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        *fields[i] = pieces.at(i).toInt(&ok, 10);
        if (!ok)
            return false;
    }
    return true;
}

bool ZelkorVersionStru::setVersion(QJsonObject entry)
{
    const QString version = entry.value(QStringLiteral("version")).toString();
    const int updateType = entry.value(QStringLiteral("updateType")).toInt();
    const QString entryReason = entry.value(QStringLiteral("reason")).toString();
    if (!parseVersion(version))
        return false;
    qDebug() << "reason:" << entryReason;
    reason = entryReason;
    enforce = updateType != 0;
    return true;
}

QString ZelkorVersionStru::versionString() const
{
    return QString::number(major) + QLatin1Char('.') + QString::number(minor) + QLatin1Char('.')
        + QString::number(patch);
}

bool operator<(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    if (a.major != b.major)
        return a.major < b.major;
    if (a.minor != b.minor)
        return a.minor < b.minor;
    return a.patch < b.patch;
}

bool operator>(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    return b < a;
}

bool operator==(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

QStringList manifestEntries(const QByteArray& body, bool* readable)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (readable)
        *readable = body.isEmpty() || error.error == QJsonParseError::NoError;
    const QJsonArray values = document.object().value(QStringLiteral("value")).toArray();
    QStringList entries;
    entries.reserve(values.size());
    for (const QJsonValue& value : values)
        entries << value.toString();
    return entries;
}

namespace {

// Names that Windows maps to devices in every folder, whatever the extension.
bool isDeviceName(const QString& segment)
{
    const QString base = segment.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList devices {QStringLiteral("CON"), QStringLiteral("PRN"),
        QStringLiteral("AUX"), QStringLiteral("NUL"), QStringLiteral("CONIN$"),
        QStringLiteral("CONOUT$")};
    if (devices.contains(base))
        return true;
    // Windows counts the superscripts one to three as digits here too.
    return base.size() == 4
        && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && QStringLiteral("0123456789\u00b9\u00b2\u00b3").contains(base.at(3));
}

} // namespace

QString fileKey(const QString& path)
{
#ifdef Q_OS_WIN
    return path.toCaseFolded();
#else
    return path;
#endif
}

QString linkAlong(const QString& dir, const QString& relativePath)
{
    QString path = dir;
    for (const QString& segment : relativePath.split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + segment;
        const QFileInfo info(path);
        // isSymLink() also holds for Windows shortcuts (.lnk).
        if (info.isSymLink() || info.isJunction())
            return path;
        if (!info.exists())
            break;
    }
    return QString();
}

bool isSafeRelativePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        // Windows drops trailing dots and blanks, so ".. " would climb out.
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return false;
        if (isDeviceName(segment))
            return false;
        for (const QChar c : segment) {
            const ushort u = c.unicode();
            if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || QStringLiteral("\\:*?\"<>|").contains(c))
                return false;
        }
    }
    return true;
}

QString signatureProblem(
    const QByteArray& body, const QByteArray& signature, const QList<QByteArray>& publicKeys)
{
#ifdef UPDATER_PUBLIC_KEY
    const auto decode = [](const QByteArray& text, int size) {
        const auto result
            = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        return result && result.decoded.size() == size ? result.decoded : QByteArray();
    };
    const auto bytes = [](const QByteArray& data) {
        return reinterpret_cast<const unsigned char*>(data.constData());
    };
    QList<QByteArray> lines = signature.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray trusted("trusted comment: ");
    if (lines.size() < 4 || !lines.at(0).startsWith("untrusted comment:")
        || !lines.at(2).startsWith(trusted))
        return QStringLiteral("签名格式错误");
    const QByteArray sig = decode(lines.at(1), 74); // algorithm, key id, signature
    const QByteArray global = decode(lines.at(3), 64);
    if (global.isEmpty() || !(sig.startsWith("Ed") || sig.startsWith("ED")))
        return QStringLiteral("签名格式错误");
    QByteArray key;
    for (const QByteArray& candidate : publicKeys) {
        const QByteArray decoded = decode(candidate, 42); // "Ed", key id, Ed25519 key
        if (decoded.startsWith("Ed") && decoded.mid(2, 8) == sig.mid(2, 8))
            key = decoded;
    }
    if (key.isEmpty())
        return QStringLiteral("签名密钥不符");
    if (sodium_init() < 0)
        return QStringLiteral("libsodium不可用");
    QByteArray signedBytes = body;
    if (sig.startsWith("ED")) { // signed the BLAKE2b-512 hash
        signedBytes = QByteArray(crypto_generichash_BYTES_MAX, 0);
        crypto_generichash(reinterpret_cast<unsigned char*>(signedBytes.data()), signedBytes.size(),
            bytes(body), body.size(), nullptr, 0);
    }
    const QByteArray signatureBytes = sig.mid(10);
    const QByteArray comment = signatureBytes + lines.at(2).mid(trusted.size());
    if (crypto_sign_verify_detached(
            bytes(signatureBytes), bytes(signedBytes), signedBytes.size(), bytes(key) + 10)
        != 0)
        return QStringLiteral("签名不匹配");
    if (crypto_sign_verify_detached(bytes(global), bytes(comment), comment.size(), bytes(key) + 10)
        != 0)
        return QStringLiteral("可信注释签名不匹配");
    return QString();
#else
    Q_UNUSED(body)
    Q_UNUSED(signature)
    Q_UNUSED(publicKeys)
    return QStringLiteral("built without UPDATER_PUBLIC_KEY");
#endif
}

QString signedManifestProblem(const QByteArray& body, const QString& version,
    const QStringList& paths, QMap<QString, SignedFile>* files)
{
    const QJsonObject manifest = QJsonDocument::fromJson(body).object();
    const QString named = manifest.value(QStringLiteral("version")).toString();
    if (named != version)
        return QStringLiteral("版本不符:") + named;
    const QJsonObject listed = manifest.value(QStringLiteral("files")).toObject();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    for (const QString& path : paths) {
        const QJsonObject entry = listed.value(path).toObject();
        const QString sha256 = entry.value(QStringLiteral("sha256")).toString().toLower();
        const double size = entry.value(QStringLiteral("size")).toDouble(-1);
        if (!hex.match(sha256).hasMatch() || size < 0 || size > 9e15 || size != std::floor(size))
            return QStringLiteral("缺少文件校验值:") + path;
        files->insert(fileKey(path), SignedFile {sha256.toLatin1(), qint64(size)});
    }
    return QString();
}

QString urlPath(const QString& relativePath)
{
    QStringList segments = relativePath.split(QLatin1Char('/'));
    for (QString& segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return segments.join(QLatin1Char('/'));
}

ZelkorVersion::ZelkorVersion(QObject* parent, const Options& options)
    : QThread(parent)
    , options(options)
    , server(options.serverUrl.isEmpty() ? QStringLiteral(UPDATER_SERVER_URL) : options.serverUrl)
    , requestTimeoutMs(
          options.requestTimeoutMs > 0 ? options.requestTimeoutMs : UPDATER_REQUEST_TIMEOUT_MS)
{
    connect(&fetcher, &getUrl::getEnd, this, &ZelkorVersion::getEnd);
    logFile.setFileName(QStringLiteral("updateLog.txt"));
    // UTF-8 with a byte-order mark reads right in Notepad on every code page.
    if (!logFile.open(QIODevice::WriteOnly | QIODevice::Text))
        qDebug() << "cannot open" << logFile.fileName() << logFile.errorString();
    else
        logFile.write("\xEF\xBB\xBF");
}

ZelkorVersion::~ZelkorVersion()
{
    qDebug() << "ZelkorVersion::~ZelkorVersion()";
    {
        QMutexLocker locker(&stateMutex);
        running = false;
        stateChanged.wakeAll();
    }
    wait();
    delete networkManager;
    logFile.close();
}

void ZelkorVersion::init()
{
    qDebug() << "ZelkorVersion::ZelkorVersion";
    isTimeout = false;
    newVersion.clear();
    {
        QMutexLocker locker(&stateMutex);
        running = true;
        workState = Idle;
    }
    // The executable's real folder, even when started through the search path.
    appDir = options.appDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                      : QDir(options.appDir).absolutePath();
    fetcher.setProgramDir(appDir);

    const QString path = appDir + QStringLiteral("/version");
    const QFileInfo info(path);
    if (info.exists() && info.isReadable()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray bytes = file.readAll();
            const int nul = bytes.indexOf('\0');
            if (nul >= 0)
                bytes.truncate(nul);
            const QString text = QString::fromUtf8(bytes);
            file.close();
            currVersion.parseVersion(text);
            start();
            getUpdateList();
            qDebug() << "curr version:" << text;
        } else {
            writeLog(QStringLiteral("本地版本信息文件打开失败:") + path + QLatin1Char(' ')
                + file.errorString());
            qDebug() << path + QStringLiteral(" open failed!");
            currVersion.parseVersion(QStringLiteral("0.0.0"));
            start();
            getUpdateList();
        }
    } else {
        qDebug() << path + QStringLiteral(" not exist");
        start();
        getUpdateList();
    }
}

bool ZelkorVersion::getUpdateList()
{
    qDebug() << "ZelkorVersion::getUpdateList()";
    const QString url = server + QStringLiteral("/packages/update.json");
    qDebug() << QStringLiteral("Qt get url: ") + url;
    fetcher.get(url, updateListTimeoutMs);
    return true;
}

void ZelkorVersion::doCheckVersion()
{
    writeLog(QStringLiteral("版本检测"));
    qDebug() << "ZelkorVersion::doCheckVersion()";
    setState(CheckRequested);
    qDebug() << "ZelkorVersion::doCheckVersion() end";
}

void ZelkorVersion::doBeginUpdate()
{
    writeLog(QStringLiteral("开始更新"));
    qDebug() << "ZelkorVersion::doBeginUpdate()";
    QMutexLocker locker(&stateMutex);
    fileSet.clear();
    // A check the thread has not finished stays; the update follows it.
    updateAfterCheck = workState == CheckRequested;
    if (!updateAfterCheck)
        workState = FetchManifests;
    currentIndex = 0;
    stateChanged.wakeAll();
}

void ZelkorVersion::requestAbort()
{
    abortRequested = true;
    QMutexLocker locker(&stateMutex);
    stateChanged.wakeAll();
}

void ZelkorVersion::writeLog(QString message)
{
    QMutexLocker locker(&logMutex);
    if (!logFile.isOpen())
        return;
    QTextStream stream(&logFile);
    stream.setCodec("UTF-8");
    stream << QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss:  "))
           << message << '\n';
}

bool ZelkorVersion::writeVersion()
{
    writeLog(QStringLiteral("写入更新文件"));
    if (newVersion.isEmpty())
        return true;
    QSaveFile file(appDir + QStringLiteral("/version"));
    const QByteArray bytes = newVersion.toLocal8Bit();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        writeLog(QStringLiteral("写入更新文件失败：") + file.errorString());
        qDebug() << "fopen faied!" << file.errorString();
        return false;
    }
    return true;
}

int ZelkorVersion::state() const
{
    QMutexLocker locker(&stateMutex);
    return workState;
}

int ZelkorVersion::cursor() const
{
    QMutexLocker locker(&stateMutex);
    return currentIndex;
}

void ZelkorVersion::downloadProgress(qint64, qint64) { }

void ZelkorVersion::requestTimeout()
{
    isTimeout = true;
}

bool ZelkorVersion::getEnd(bool success, QByteArray data)
{
    qDebug() << "timeout = " << isTimeout;
    if (!success)
        isTimeout = true;
    if (isTimeout || data.isEmpty()) {
        const QString text = QStringLiteral("请求服务器超时：");
        writeLog(text);
        emit sigMsgInfoError(text);
        emit sigMsgUpdateEnd(false);
        return false;
    }
    qDebug() << "getEnd:" << success << QString::fromLocal8Bit(data);

    const QJsonArray list
        = QJsonDocument::fromJson(data).object().value(QStringLiteral("updateList")).toArray();
    if (list.isEmpty()) {
        writeLog(QStringLiteral("无需更新：更新列表为空"));
        emit sigMsgInfoCheck(0);
        return true;
    }

    std::set<ZelkorVersionStru> newer; // first entry of a version wins
    for (int i = 0; i < list.size(); ++i) {
        ZelkorVersionStru record;
        if (record.setVersion(list.at(i).toObject()) && record > currVersion)
            newer.insert(record);
    }
    if (newer.empty()) {
        writeLog(QStringLiteral("无需更新：当前版本为最新"));
        emit sigMsgInfoCheck(0);
        return true;
    }

    bool enforce = false;
    for (const ZelkorVersionStru& record : newer) {
        versionList.append(record);
        enforce = enforce || record.enforce;
        newVersion = record.versionString();
    }
    qDebug() << "enforce" << enforce;
    writeLog(QStringLiteral("发现新版本:")
        + (enforce ? QStringLiteral("强制更新") : QStringLiteral("不强制更新")));
    emit sigMsgInfoCheck(enforce ? 2 : 1);
    return true;
}

void ZelkorVersion::run()
{
    qDebug() << "ZelkorVersion::run()";
    networkManager = new QNetworkAccessManager;
    // 3xx bodies must never be installed; follow redirects that stay as safe.
    networkManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);

    QMutexLocker locker(&stateMutex);
    while (running) {
        const int state = workState;
        // Whatever the state, an abort ends the run: the window waits for this report.
        if (abortRequested) {
            locker.unlock();
            emit sigMsgUpdateEnd(false);
            return;
        }
        if (state == Idle) {
            // The idle poll; a command, an abort or the destructor wakes it at once.
            stateChanged.wait(&stateMutex, 100);
            continue;
        }
        locker.unlock();
        if (options.onCommand)
            options.onCommand(state);
        switch (state) {
        case CheckRequested:
            writeLog(QStringLiteral("版本检测线程：版本检测"));
            advance(CheckRequested, Idle);
            break;
        case FetchManifests:
            fetchManifestStep();
            break;
        case FetchFiles:
            fetchFileStep();
            break;
        default:
            advance(state, Idle);
            break;
        }
        locker.relock();
    }
    writeLog(QStringLiteral("版本检测线程停止"));
    qDebug() << "version run failed!";
}

void ZelkorVersion::setState(int state)
{
    QMutexLocker locker(&stateMutex);
    workState = state;
    stateChanged.wakeAll();
}

void ZelkorVersion::advance(int from, int to)
{
    // A command that arrived since this pass read the state is kept.
    QMutexLocker locker(&stateMutex);
    if (workState != from)
        return;
    workState = std::exchange(updateAfterCheck, false) ? FetchManifests : to;
    stateChanged.wakeAll();
}

void ZelkorVersion::failUpdate(int from)
{
    advance(from, Idle);
    emit sigMsgUpdateEnd(false);
}

bool ZelkorVersion::stopRequested() const
{
    QMutexLocker locker(&stateMutex);
    return abortRequested || !running;
}

QNetworkReply* ZelkorVersion::startGet(const QUrl& url)
{
    QNetworkReply* reply = networkManager->get(QNetworkRequest(url));
    // Hold the network back while the disk catches up: memory stays flat.
    reply->setReadBufferSize(readBufferSize);
    // The slot does nothing; a direct call keeps progress off the GUI thread's queue.
    connect(reply, &QNetworkReply::downloadProgress, this, &ZelkorVersion::downloadProgress,
        Qt::DirectConnection);
    return reply;
}

ZelkorVersion::Outcome ZelkorVersion::fetchBody(const QUrl& url, qint64 maxBytes, QByteArray* body)
{
    QNetworkReply* reply = startGet(url);
    const Outcome outcome = waitFor(reply, maxBytes, [body](const QByteArray& chunk) {
        *body += chunk;
        return true;
    });
    delete reply;
    return outcome;
}

ZelkorVersion::Outcome ZelkorVersion::waitFor(
    QNetworkReply* reply, qint64 maxBytes, const Sink& sink)
{
    Outcome outcome;
    qint64 received = 0;
    QEventLoop loop;
    // The bound is on silence, not on the whole transfer: a large file on a
    // slow line installs as long as bytes keep coming.
    QTimer silence;
    silence.setSingleShot(true);
    silence.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5% early
    connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto drain = [&] {
        silence.start(requestTimeoutMs);
        if (outcome.sinkFailed || outcome.tooLarge)
            return;
        const QByteArray chunk = reply->readAll();
        received += chunk.size();
        if (received > maxBytes) {
            outcome.tooLarge = true;
            reply->abort();
            return;
        }
        // An error page is never handed on.
        if (chunk.isEmpty() || !isSuccessStatus(reply))
            return;
        if (!sink(chunk)) {
            outcome.sinkFailed = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::readyRead, &loop, drain);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer watch;
    connect(&watch, &QTimer::timeout, &loop, [&] {
        if (stopRequested())
            loop.quit();
    });
    watch.start(100);
    silence.start(requestTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    const bool unfinished = !reply->isFinished();
    if (unfinished)
        reply->abort();
    else
        drain();
    qDebug() << "replay->error = " << int(reply->error());

    if (outcome.sinkFailed)
        return outcome;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (unfinished && stopRequested()) {
        outcome.stopped = true;
    } else if (unfinished) {
        outcome.code = QNetworkReply::TimeoutError;
        outcome.reason = QStringLiteral("no byte for %1 ms").arg(requestTimeoutMs);
    } else if (outcome.tooLarge) {
        outcome.code = QNetworkReply::UnknownContentError;
        outcome.reason = QStringLiteral("body larger than %1 bytes").arg(maxBytes);
    } else if (reply->error() != QNetworkReply::NoError) {
        outcome.code = reply->error();
        outcome.reason = reply->errorString();
    } else if (!isSuccessStatus(reply)) {
        outcome.code = status;
        outcome.reason
            = QStringLiteral("HTTP %1 %2")
                  .arg(status)
                  .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    } else if (length.isValid() && length.toLongLong() != received
        && reply->url()
            == reply->request().url()) { // after a redirect Qt may keep the first length
        outcome.code = QNetworkReply::RemoteHostClosedError;
        outcome.reason = QStringLiteral("body cut short: %1 of %2 bytes")
                             .arg(received)
                             .arg(length.toLongLong());
    } else {
        outcome.ok = true;
    }
    return outcome;
}

void ZelkorVersion::fetchManifestStep()
{
    const int count = versionList.size();
    if (currentIndex < count) {
        const QString version = versionList.at(currentIndex).versionString();
        ++currentIndex;
        const QUrl url(
            server + QStringLiteral("/packages/version/") + version + QStringLiteral(".json"),
            QUrl::TolerantMode);
        QByteArray body;
        const Outcome outcome = fetchBody(url, maxManifestSize, &body);
        if (outcome.stopped)
            return;
        bool readable = false;
        const QStringList paths = manifestEntries(body, &readable);
        if (!outcome.ok || !readable) {
            writeLog(QStringLiteral("获取更新列表失败:"));
            qDebug() << "get" << url << "failed!"
                     << (outcome.ok ? QStringLiteral("not JSON") : outcome.reason);
            failUpdate(FetchManifests);
            return;
        }
        QMap<QString, SignedFile> signedAs;
        if (!publicKeys.isEmpty()) {
            QByteArray signature;
            const Outcome fetched = fetchBody(
                QUrl(url.toString() + QStringLiteral(".minisig")), maxSignatureSize, &signature);
            if (fetched.stopped)
                return;
            QString problem = fetched.ok
                ? signatureProblem(body, signature, publicKeys)
                : QStringLiteral("缺少签名,错误码:") + QString::number(fetched.code);
            if (problem.isEmpty())
                problem = signedManifestProblem(body, version, paths, &signedAs);
            if (!problem.isEmpty()) {
                writeLog(
                    QStringLiteral("签名验证失败:") + url.toString() + QLatin1Char(' ') + problem);
                failUpdate(FetchManifests);
                return;
            }
        }
        for (const QString& path : paths) {
            qDebug() << path;
            if (fileKey(path).contains(fileKey(QStringLiteral("update.exe"))))
                continue;
            if (!isSafeRelativePath(path)) {
                writeLog(QStringLiteral("非法文件路径:") + path);
                failUpdate(FetchManifests);
                return;
            }
            const QString link = linkAlong(appDir, path);
            if (!link.isEmpty()) {
                writeLog(QStringLiteral("路径经过链接,拒绝写入:") + link);
                failUpdate(FetchManifests);
                return;
            }
            // A later version's spelling and hash win.
            fileSet.insert(fileKey(path), {path, signedAs.value(fileKey(path))});
        }
    }
    if (currentIndex == count) {
        writeLog(QStringLiteral("开始下载文件"));
        advance(FetchManifests, FetchFiles);
        fileList.clear(); // ordered by key: every run installs alike
        for (const ListedFile& file : qAsConst(fileSet))
            fileList << file.path;
        currentIndex = 0;
    }
}

void ZelkorVersion::fetchFileStep()
{
    const int total = fileList.size();
    if (currentIndex >= total) {
        advance(FetchFiles, Idle);
        emit sigMsgUpdateEnd(true);
        return;
    }

    const QString relativePath = fileList.at(currentIndex);
    const QUrl url(
        server + QStringLiteral("/packages/bin/") + urlPath(relativePath), QUrl::TolerantMode);
    qDebug() << "url:" << url;
    const QString localPath = appDir + QLatin1Char('/') + relativePath;
    // Every path of a signed build has an entry: its manifest was refused otherwise.
    const SignedFile* expected
        = publicKeys.isEmpty() ? nullptr : &fileSet[fileKey(relativePath)].signedAs;
    InstallFile target(*this, localPath, expected);

    QNetworkReply* reply = startGet(url);
    writeLog(QStringLiteral("下载文件:"));
    const Outcome outcome
        = waitFor(reply, expected ? qMin(expected->size, maxFileSize) : maxFileSize,
            [&target](const QByteArray& chunk) { return target.write(chunk); });
    delete reply;
    if (outcome.stopped)
        return; // the uncommitted file is discarded
    if (!outcome.ok) {
        // A local failure has been logged where it happened.
        if (expected && outcome.tooLarge) {
            target.mismatch(QStringLiteral("大小不符"));
        } else if (!outcome.sinkFailed) {
            writeLog(QStringLiteral("下载文件:") + QStringLiteral(" 失败,错误码:")
                + QString::number(outcome.code) + QStringLiteral("错误原因:") + outcome.reason);
            qDebug() << url << " get failed!";
        }
        failUpdate(FetchFiles);
        return;
    }
    if (!target.commit()) {
        failUpdate(FetchFiles);
        return;
    }

    qDebug() << "filePath = " << localPath;
    qDebug() << relativePath;
    emit sigSetText(relativePath, 0);
    writeLog(relativePath);
    const QString counter = QStringLiteral("(%1/%2)").arg(currentIndex).arg(total);
    emit sigSetText(counter, 1);
    writeLog(counter);
    writeLog(QStringLiteral("写入文件成功:写入文件大小") + QString::number(target.size()));
    emit sigUpdateProcess(int(double(currentIndex) / double(total) * 100.0));
    ++currentIndex;
    if (currentIndex == total) {
        advance(FetchFiles, Idle);
        emit sigMsgUpdateEnd(true);
    }
}
