#ifndef FILEMOVES_H
#define FILEMOVES_H

#include <QString>
#include <QStringList>

// What an update's commit rests on, each done the platform's own way: renames that never copy,
// and flushes that put files and folders on the disk before anything names them as ready.
namespace FileMoves {

// Renames from to to, which must not exist, making to's folder first. While Windows reports the
// file in use (a virus scanner, a second program) it is tried again for up to retryMs.
bool move(const QString& from, const QString& to, QString* error, int retryMs = 5000);

// Puts every one of paths below folder, and what the folders holding them list, on the disk.
// Paths rather than whole names: an update of 100,000 files names each once.
bool flush(
    const QString& installDir, const QString& folder, const QStringList& paths, QString* error);

// The entries of folder on the disk (a no-op on Windows, whose file system journals renames).
void flushFolder(const QString& folder);

} // namespace FileMoves

#endif // FILEMOVES_H
