// ManifestReader, given the body in pieces cut where the input says, against the reading of old
// on QJsonDocument with the whole body. The reader is stricter than Qt's lenient reading (".5",
// unknown escapes, lone surrogates, raw control characters): it may refuse a body Qt reads, never
// read one Qt refuses, and what it reads is what Qt reads.
#include "manifestoracle.h"
#include "manifestreader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cstdint>
#include <cstdlib>
#include <vector>

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

// Whether an object of the JSON body has more than 16 members and repeats a key. There Qt 5.15's
// sort of the members is not stable, and which of the values it keeps is arbitrary; in smaller
// objects it keeps the last, as the reader does in all.
bool repeatsKeysInLargeObject(const QByteArray& body)
{
    struct Object
    {
        QSet<QString> keys;
        int members = 0;
        bool repeated = false;
    };
    std::vector<Object> objects;
    std::vector<int> open; // the objects', -1 for arrays
    for (int i = 0; i < body.size(); ++i) {
        if (body[i] == '{' || body[i] == '[') {
            open.push_back(body[i] == '[' ? -1 : int(objects.size()));
            objects.resize(body[i] == '[' ? objects.size() : objects.size() + 1);
        } else if (body[i] == '}' || body[i] == ']') {
            open.pop_back();
        } else if (body[i] == '"') {
            int end = i + 1;
            while (body[end] != '"')
                end += body[end] == '\\' ? 2 : 1;
            int next = end + 1;
            while (QByteArray(" \t\r\n").contains(body[next]))
                ++next;
            if (body[next] == ':' && open.back() >= 0) {
                const QByteArray token = '[' + body.mid(i, end + 1 - i) + ']';
                const QString key = QJsonDocument::fromJson(token).array().at(0).toString();
                Object& object = objects[size_t(open.back())];
                object.repeated = object.repeated || object.keys.contains(key);
                object.keys.insert(key);
                ++object.members;
            }
            i = end;
        }
    }
    for (const Object& object : objects) {
        if (object.repeated && object.members > 16)
            return true;
    }
    return false;
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
    const bool accepted = reader.finish();
    if (accepted && !readable)
        abort();
    if (!accepted) {
        if (!reader.entries().isEmpty())
            abort();
        return 0;
    }
    if (repeatsKeysInLargeObject(body))
        return 0;
    if (reader.entries() != entries)
        abort();
    QString problem, expectedProblem;
    const QMap<QString, SignedFile> listed = reader.takeListedHashes(entries, &problem);
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
