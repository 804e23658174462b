#include "installfile.h"

#include "filemoves.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <functional>
#include <system_error>
#include <utility>

namespace {

// Runs job on a thread of its own; where no thread can be had, here and now.
std::future<bool> aside(std::function<bool()> job)
{
    try {
        return std::async(std::launch::async, job);
    } catch (const std::system_error&) {
        std::promise<bool> done;
        done.set_value(job());
        return done.get_future();
    }
}

bool isBusy(const std::future<bool>& job)
{
    return job.valid() && job.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

// Why relativePath below dir cannot take a file: a symbolic link or a junction on the way, a file
// where a folder goes, a folder where the file goes; empty when it can.
QString pathProblem(const QString& dir, const QString& relativePath)
{
    QString path = dir;
    const QStringList segments = relativePath.split(QLatin1Char('/'));
    for (int i = 0; i < segments.size(); ++i) {
        path += QLatin1Char('/') + segments.at(i);
        // A shortcut is a file like any other, whatever it points to.
        const FileMoves::Entry entry = FileMoves::entryAt(path);
        if (entry.isLink)
            return QStringLiteral("路径经过链接,拒绝写入:") + path;
        if (!entry.exists)
            break;
        if (entry.isDir == (i == segments.size() - 1))
            return QStringLiteral("路径与已安装的文件或目录冲突:") + path;
    }
    return QString();
}

} // namespace

InstallFile::InstallFile(
    const QString& localPath, const QString& stagedPath, const SignedFile* expected, UpdateLog& log)
    : localPath(localPath)
    , expected(expected)
    , log(log)
    , file(stagedPath)
    , reader(stagedPath)
{
}

bool InstallFile::resume(qint64 offset)
{
    if (!open(QIODevice::ReadWrite))
        return false;
    if (!hash.addData(&file, offset) || !file.resize(offset)) {
        writeFailed();
        return false;
    }
    written = hashedTo = offset;
    return true;
}

bool InstallFile::write(const QByteArray& chunk)
{
    if (!file.isOpen() && !open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(chunk) != chunk.size()) {
        writeFailed();
        return false;
    }
    written += chunk.size();
    // The start of a file is hashed as it comes; a large file's rest is read back and hashed a
    // step behind on a thread of its own, which leaves this one to the transfers.
    if (written <= step) {
        hash.addData(chunk);
        hashedTo = written;
    } else if (written - hashedTo >= step && !hashBehind()) {
        return false;
    }
    // It goes to the disk while it comes too: the commit's flush then waits only for its last part.
    if (written - flushedAt >= step && !isBusy(flushing) && file.flush()) {
        flushedAt = written;
        flushing = aside([fd = file.handle()] { return FileMoves::flushOpenFile(fd); });
    }
    return true;
}

bool InstallFile::commit()
{
    if (!file.isOpen() && !open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (!(hashedTo < written ? hashBehind() : pushWrites()))
        return false;
    if (hashing.valid() && !hashing.get())
        return readFailed();
    reader.close(); // Windows renames no file that is open
    sha256 = hash.result();
    if (expected && written != expected->size)
        return mismatch(QStringLiteral("大小不符"));
    if (expected && sha256 != expected->sha256)
        return mismatch(QStringLiteral("SHA-256不符"));
    if (flushing.valid())
        flushing.wait();
    file.close();
    return true;
}

bool InstallFile::mismatch(const QString& reason)
{
    log.write(QStringLiteral("文件校验失败:") + localPath + QLatin1Char(' ') + reason);
    return false;
}

bool InstallFile::open(QIODevice::OpenMode mode)
{
    const QFileInfo info(localPath);
    const QString absolutePath = info.absoluteFilePath();
    if (!info.exists())
        log.write(QStringLiteral("创建目录：") + absolutePath);
    const QString stagedFolder = QFileInfo(file.fileName()).absolutePath();
    // Files come folder by folder: the folder just made needs no second look. (Not thread_local:
    // MinGW's runs its destructor after the thread's storage is gone.)
    static QMutex made;
    static QString madeFolder;
    QMutexLocker locker(&made);
    if (stagedFolder != madeFolder && !QDir().mkpath(stagedFolder)) {
        log.write(QStringLiteral("创建目录：") + stagedFolder + QStringLiteral(" 失败."));
        qDebug() << "mkpath failed!" << stagedFolder;
        return false;
    }
    madeFolder = stagedFolder;
    // What an earlier run left there is written over, never through.
    if (FileMoves::entryAt(file.fileName()).isLink)
        QFile::remove(file.fileName());
    if (!file.open(mode)) {
        log.write(QStringLiteral("打开文件失败:") + file.fileName() + QStringLiteral("失败原因:")
            + file.errorString());
        qDebug() << "open file faied!" << file.fileName() << " " << file.errorString();
        return false;
    }
    return true;
}

bool InstallFile::hashBehind()
{
    if (hashing.valid() && !hashing.get())
        return readFailed();
    if (!pushWrites())
        return false;
    if (!reader.isOpen() && !reader.open(QIODevice::ReadOnly))
        return readFailed();
    const qint64 from = std::exchange(hashedTo, written);
    const qint64 length = written - from;
    hashing = aside(
        [this, from, length] { return reader.seek(from) && hash.addData(&reader, length); });
    return true;
}

bool InstallFile::pushWrites()
{
    if (file.flush())
        return true;
    writeFailed();
    return false;
}

bool InstallFile::readFailed()
{
    log.write(QStringLiteral("读取文件失败:") + reader.fileName() + QStringLiteral("失败原因:")
        + reader.errorString());
    return false;
}

void InstallFile::writeFailed()
{
    log.write(QStringLiteral("写入文件失败:") + file.fileName() + QStringLiteral("失败原因:")
        + file.errorString());
}

QString installRefusal(const QString& dir, const QString& path)
{
    return isSafeRelativePath(path) ? pathProblem(dir, path)
                                    : QStringLiteral("非法文件路径:") + path;
}
