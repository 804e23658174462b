#include "folderscan.h"

#include "quoting.h"

#include <QDir>
#include <QFileInfo>

namespace {

void walkFolder(const QString& folder, const QString& prefix, QStringList& chain, FolderScan& scan)
{
    const QString shown = prefix.isEmpty() ? QStringLiteral(".") : prefix;
    const QFileInfo info(folder);
#ifdef Q_OS_UNIX
    const bool listable = info.isReadable() && info.isExecutable();
#else
    const bool listable = info.isReadable();
#endif
    // QDir lists an unreadable folder as empty.
    if (!listable) {
        scan.problems << quoted(shown) + QStringLiteral(" (folder cannot be read)");
        return;
    }
    const QString canonical = info.canonicalFilePath();
    if (chain.contains(canonical)) {
        scan.problems << quoted(shown) + QStringLiteral(" (link loop)");
        return;
    }
    chain << canonical;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString path
            = prefix.isEmpty() ? entry.fileName() : prefix + QLatin1Char('/') + entry.fileName();
        if (entry.isDir())
            walkFolder(entry.absoluteFilePath(), path, chain, scan);
        else if (entry.isFile())
            scan.files.append({path, entry.absoluteFilePath()});
        else
            scan.problems << quoted(path)
                    + QStringLiteral(
                        " (broken link, special file or name not in the local encoding)");
    }
    chain.removeLast();
}

} // namespace

FolderScan scanFolder(const QString& folder)
{
    FolderScan scan;
    QStringList chain;
    walkFolder(folder, QString(), chain, scan);
    return scan;
}
