#include "installfile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

// The first existing component of relativePath below dir that is a symbolic
// link, a junction or a shortcut; empty when there is none.
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

} // namespace

InstallFile::InstallFile(const QString& localPath, const SignedFile* expected, UpdateLog& log)
    : localPath(localPath)
    , expected(expected)
    , log(log)
{
}

bool InstallFile::write(const QByteArray& chunk)
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

bool InstallFile::commit()
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

bool InstallFile::mismatch(const QString& reason)
{
    log.write(QStringLiteral("文件校验失败:") + localPath + QLatin1Char(' ') + reason);
    return false;
}

bool InstallFile::open()
{
    const QFileInfo info(localPath);
    const QString absolutePath = info.absoluteFilePath();
    if (!info.exists()) {
        log.write(QStringLiteral("创建目录：") + absolutePath);
        if (!QDir().mkpath(info.absolutePath())) {
            log.write(QStringLiteral("创建目录：") + absolutePath + QStringLiteral(" 失败."));
            qDebug() << "mkpath failed!" << absolutePath;
            return false;
        }
    }
    file.setFileName(localPath);
    if (!file.open(QIODevice::WriteOnly)) {
        log.write(QStringLiteral("打开文件失败:") + localPath + QStringLiteral("失败原因:")
            + file.errorString());
        qDebug() << "open file faied!" << localPath << " " << file.errorString();
        return false;
    }
    return true;
}

void InstallFile::writeFailed()
{
    log.write(QStringLiteral("写入文件失败:") + localPath + QStringLiteral("失败原因:")
        + file.errorString());
}

QString installRefusal(const QString& dir, const QString& path)
{
    if (!isSafeRelativePath(path))
        return QStringLiteral("非法文件路径:") + path;
    const QString link = linkAlong(dir, path);
    return link.isEmpty() ? QString() : QStringLiteral("路径经过链接,拒绝写入:") + link;
}
