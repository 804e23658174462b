#include "manifestfetch.h"

#include "manifestreader.h"
#include "signature.h"

#include <QDebug>

#include <memory>

namespace {

// Read as it arrives, never held whole: room for a release of some million files.
const qint64 maxManifestSize = Q_INT64_C(256) << 20;
const qint64 maxSignatureSize = 64 * 1024;

} // namespace

QString fetchManifest(const BodyFetch& fetch, const QString& server,
    const QList<ZelkorVersionStru>& newer, int index, const ZelkorVersionStru& installed,
    const QList<QByteArray>& keys, ListedFiles* files, bool* stopped)
{
    const QString version = newer.at(index).versionString();
    const QString url
        = server + QStringLiteral("/packages/version/") + version + QStringLiteral(".json");
    const auto badSignature = [&url](const QString& problem) {
        return QStringLiteral("签名验证失败:") + url + QLatin1Char(' ') + problem;
    };
    *stopped = false;
    // The signature first, so that each piece of the manifest is hashed as it comes.
    std::unique_ptr<ManifestSignature> signature;
    if (!keys.isEmpty()) {
        QByteArray text;
        const transport::Outcome fetched = fetch(url + QStringLiteral(".minisig"), maxSignatureSize,
            [&text](const char* data, size_t size) {
                text.append(data, int(size));
                return true;
            });
        if ((*stopped = fetched.stopped))
            return QString();
        signature = std::make_unique<ManifestSignature>(text, keys);
        const QString problem = fetched.ok
            ? signature->problem()
            : QStringLiteral("缺少签名,错误码:") + QString::number(fetched.code);
        if (!problem.isEmpty())
            return badSignature(problem);
    }
    ManifestReader reader;
    const transport::Outcome outcome
        = fetch(url, maxManifestSize, [&](const char* data, size_t size) {
              if (signature)
                  signature->update(data, size);
              reader.feed(data, size);
              return true;
          });
    if ((*stopped = outcome.stopped))
        return QString();
    if (outcome.ok && signature) {
        const QString problem = signature->finish();
        if (!problem.isEmpty())
            return badSignature(problem);
    }
    if (!outcome.ok || !reader.finish()) {
        qDebug() << "get" << url << "failed!"
                 << (outcome.ok ? QStringLiteral("not JSON")
                                : QString::fromStdString(outcome.reason));
        return QStringLiteral("获取更新列表失败:");
    }
    files->paths = reader.entries();
    // A signed build needs every hash; an unsigned one checks those the manifest gives.
    QString malformed;
    files->hashes = reader.takeListedHashes(files->paths, &malformed);
    if (signature) {
        const QString problem = reader.signedManifestProblem(version, files->paths, files->hashes);
        if (!problem.isEmpty())
            return badSignature(problem);
    }
    if (malformed.isEmpty())
        malformed = reader.chainProblem(newer, index, installed, signature != nullptr);
    return malformed.isEmpty() ? QString() : malformed + QLatin1Char(' ') + url;
}
