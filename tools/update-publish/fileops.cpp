#include "fileops.h"

#include "quoting.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

namespace {

std::filesystem::path nativePath(const QString& path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

} // namespace

bool pathExists(const QFileInfo& info)
{
    return info.exists() || info.isSymLink();
}

bool isInside(const QString& path, const QString& folder)
{
    if (path == folder)
        return true;
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

bool replaceFile(const QString& from, const QString& to, QString* reason)
{
    std::error_code ec;
    std::filesystem::rename(nativePath(from), nativePath(to), ec);
    if (ec)
        *reason = QString::fromLocal8Bit(ec.message().c_str());
    return !ec;
}

bool copyFile(const QString& from, const QString& to, QString* reason, QCryptographicHash* hash)
{
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read %1: %2").arg(quoted(from), in.errorString());
        return false;
    }
    QSaveFile out(to);
    if (!out.open(QIODevice::WriteOnly)) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
        return false;
    }
    for (;;) {
        const QByteArray chunk = in.read(fileChunkSize);
        if (in.error() != QFileDevice::NoError) {
            *reason = QStringLiteral("cannot read %1: %2").arg(quoted(from), in.errorString());
            return false;
        }
        if (chunk.isEmpty())
            break;
        if (hash)
            hash->addData(chunk);
        if (out.write(chunk) != chunk.size()) {
            *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
            return false;
        }
    }
    if (!out.commit()) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(to), out.errorString());
        return false;
    }
    return true;
}

bool linkOrCopyFile(const QString& from, const QString& to, QString* reason)
{
    std::error_code ec;
    std::filesystem::create_hard_link(nativePath(from), nativePath(to), ec);
    // Not every file system links, and an immutable file refuses.
    return !ec || copyFile(from, to, reason);
}

bool writeBytes(const QString& path, const QByteArray& bytes, QString* reason)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        *reason = QStringLiteral("cannot write %1: %2").arg(quoted(path), out.errorString());
        return false;
    }
    return true;
}
