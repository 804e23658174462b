#ifndef MANIFESTREADER_H
#define MANIFESTREADER_H

// A package manifest read as it arrives: a manifest may list 100,000 files and is never held whole.
// It reads every body as QJsonDocument::fromJson() of Qt 5.15 does, keeping only "value", "files",
// "version" and "follows".

#include "updaterules.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>

class ManifestReader
{
public:
    ManifestReader();
    ~ManifestReader();
    ManifestReader(const ManifestReader&) = delete;
    ManifestReader& operator=(const ManifestReader&) = delete;

    // Each piece of the body as it arrives; false once the body can no longer be JSON.
    bool feed(const char* data, size_t size);
    // After the last piece: whether the body was JSON (an empty body is, with nothing in it).
    bool finish();

    // The entries of the "value" array, in order; an entry that is not a string reads as empty
    // text. Anything else gives no entries, as does a body that is not JSON.
    QStringList entries() const;
    // The hash and size "files" gives for each of paths that has them, by fileKey(). An entry given
    // for one of paths that is not a hash and a size sets *problem to the log line's reason. Takes
    // them: what the reader held goes as the map fills, so that both are never held whole at once.
    QMap<QString, SignedFile> takeListedHashes(
        const QStringList& paths, QString* problem = nullptr);
    // Why this manifest of newer[index] does not continue the chain of versions: each newer
    // version's manifest names the one before it as "follows", the first one names a version not
    // newer than installed, or none (null). Empty when it does; a manifest without the record only
    // breaks the chain when recordRequired.
    QString chainProblem(const QList<ZelkorVersionStru>& newer, int index,
        const ZelkorVersionStru& installed, bool recordRequired) const;
    // Why this signed manifest is not the one of version, or lists (files, from takeListedHashes())
    // no hash and size for one of paths; empty when all is there.
    QString signedManifestProblem(const QString& version, const QStringList& paths,
        const QMap<QString, SignedFile>& files) const;

private:
    struct Parser;
    std::unique_ptr<Parser> parser;
};

#endif // MANIFESTREADER_H
