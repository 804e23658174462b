#ifndef MANIFESTREADER_H
#define MANIFESTREADER_H
// TEMPORARY BRIDGE
#include "updaterules.h"
class ManifestReader
{
public:
    bool feed(const char* data, size_t size)
    {
        body.append(data, int(size));
        return true;
    }
    bool finish()
    {
        bool r = false;
        manifestEntries(body, &r);
        return r;
    }
    QStringList entries() const { return manifestEntries(body); }
    QMap<QString, SignedFile> listedHashes(
        const QStringList& paths, QString* problem = nullptr) const
    {
        return ::listedHashes(body, paths, problem);
    }
    QString chainProblem(const QList<ZelkorVersionStru>& newer, int index,
        const ZelkorVersionStru& installed, bool recordRequired) const
    {
        return ::chainProblem(body, newer, index, installed, recordRequired);
    }
    QString signedManifestProblem(const QString& version, const QStringList& paths,
        const QMap<QString, SignedFile>& files) const
    {
        return ::signedManifestProblem(body, version, paths, files);
    }
    QByteArray body;
};
#endif
