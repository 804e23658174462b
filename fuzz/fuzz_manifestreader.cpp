// ManifestReader, given the body in pieces cut where the input says, against the reading of old
// on QJsonDocument with the whole body.
#include "manifestoracle.h"
#include "manifestreader.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool same(const QMap<QString, SignedFile>& a, const QMap<QString, SignedFile>& b)
{
    if (a.keys() != b.keys())
        return false;
    for (auto i = a.cbegin(), j = b.cbegin(); i != a.cend(); ++i, ++j) {
        if (i->sha256 != j->sha256 || i->size != j->size)
            return false;
    }
    return true;
}

} // namespace

// Qt 5.15's fromJson() leaks on duplicate keys; fuzz_manifest watches the reader for leaks.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    ManifestReader reader;
    for (size_t at = 0; at < size;) {
        const size_t piece = std::min<size_t>(size - at, 1 + data[(at * 7 + 3) % size] % 23);
        reader.feed(body.constData() + at, piece);
        at += piece;
    }
    bool readable = false;
    const QStringList entries = oracle::manifestEntries(body, &readable);
    if (reader.finish() != readable || reader.entries() != entries)
        abort();
    QString problem, expectedProblem;
    const QMap<QString, SignedFile> listed = reader.listedHashes(entries, &problem);
    if (!same(listed, oracle::listedHashes(body, entries, &expectedProblem))
        || problem != expectedProblem)
        abort();
    QList<ZelkorVersionStru> newer {{}, {}};
    ZelkorVersionStru installed;
    installed.parseVersion(QStringLiteral("1.0.0"));
    newer[0].parseVersion(QStringLiteral("1.1.0"));
    newer[1].parseVersion(QStringLiteral("1.2.0"));
    for (int index = 0; index < 2; ++index) {
        for (const bool required : {false, true}) {
            if (reader.chainProblem(newer, index, installed, required)
                != oracle::chainProblem(body, newer, index, installed, required))
                abort();
        }
    }
    if (reader.signedManifestProblem(QStringLiteral("1.2.0"), entries, listed)
        != oracle::signedManifestProblem(body, QStringLiteral("1.2.0"), entries, listed))
        abort();
    return 0;
}
