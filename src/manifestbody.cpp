#include "manifestreader.h"
#include "updaterules.h"

namespace {

struct WholeBody
{
    ManifestReader reader;
    bool readable;

    explicit WholeBody(const QByteArray& body)
    {
        reader.feed(body.constData(), size_t(body.size()));
        readable = reader.finish();
    }
};

} // namespace

QStringList manifestEntries(const QByteArray& body, bool* readable)
{
    const WholeBody whole(body);
    if (readable)
        *readable = whole.readable;
    return whole.reader.entries();
}

QMap<QString, SignedFile> listedHashes(
    const QByteArray& body, const QStringList& paths, QString* problem)
{
    return WholeBody(body).reader.listedHashes(paths, problem);
}

QString chainProblem(const QByteArray& body, const QList<ZelkorVersionStru>& newer, int index,
    const ZelkorVersionStru& installed, bool recordRequired)
{
    return WholeBody(body).reader.chainProblem(newer, index, installed, recordRequired);
}

QString signedManifestProblem(const QByteArray& body, const QString& version,
    const QStringList& paths, const QMap<QString, SignedFile>& files)
{
    return WholeBody(body).reader.signedManifestProblem(version, paths, files);
}
