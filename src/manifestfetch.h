#ifndef MANIFESTFETCH_H
#define MANIFESTFETCH_H

#include "transport.h"
#include "updaterules.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// Fetches url, handing its body on piece by piece; the worker's request and wait.
using BodyFetch = std::function<transport::Outcome(
    const QString& url, qint64 maxBytes, const std::function<bool(const char*, size_t)>& body)>;

// What one manifest lists, read and checked.
struct ListedFiles
{
    QStringList paths;
    QMap<QString, SignedFile> hashes; // by fileKey()
};

// Fetches the manifest of newer[index] from server, and its signature when keys are given, reading
// the manifest as it arrives: it is never held whole, and nothing it says counts before its
// signature matches. Returns the log line that refuses it, or nothing with *files filled;
// *stopped says that the run was stopped meanwhile.
QString fetchManifest(const BodyFetch& fetch, const QString& server,
    const QList<ZelkorVersionStru>& newer, int index, const ZelkorVersionStru& installed,
    const QList<QByteArray>& keys, ListedFiles* files, bool* stopped);

#endif // MANIFESTFETCH_H
