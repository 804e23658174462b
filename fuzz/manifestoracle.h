#ifndef MANIFESTORACLE_H
#define MANIFESTORACLE_H

// The manifest reading of old, on QJsonDocument with the whole body: what ManifestReader must give.

#include "updaterules.h"

namespace oracle {

// The entries of a package manifest's "value" array, in order; an entry that
// is not a string reads as empty text. Anything else gives no entries;
// *readable is false only for a body that is not empty and not JSON.
QStringList manifestEntries(const QByteArray& body, bool* readable = nullptr);

// The hash and size a manifest body gives for each of paths that has them, by fileKey(). An entry
// given for one of paths that is not a hash and a size sets *problem to the log line's reason.
QMap<QString, SignedFile> listedHashes(
    const QByteArray& body, const QStringList& paths, QString* problem = nullptr);

// Why the manifest body of newer[index] does not continue the chain of versions: each newer
// version's manifest names the one before it as "follows", the first one names a version not newer
// than installed, or none (null). Empty when it does; a manifest without the record only breaks
// the chain when recordRequired.
QString chainProblem(const QByteArray& body, const QList<ZelkorVersionStru>& newer, int index,
    const ZelkorVersionStru& installed, bool recordRequired);

// Why a signed manifest body is not the one of version, or lists (files, from listedHashes()) no
// hash and size for one of paths; empty when all is there.
QString signedManifestProblem(const QByteArray& body, const QString& version,
    const QStringList& paths, const QMap<QString, SignedFile>& files);

} // namespace oracle

#endif // MANIFESTORACLE_H
