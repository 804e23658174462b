#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QList>
#include <QString>

// The minisign public keys compiled in (several while one is being replaced); a build without any
// installs unsigned updates, as ever.
const QList<QByteArray>& trustedKeys();

// Why signature, the text of a minisign .minisig file, does not show that the
// holder of one of publicKeys (each the base64 line of a minisign .pub file)
// signed body; empty when it does. Needs a build with UPDATER_PUBLIC_KEY.
QString signatureProblem(
    const QByteArray& body, const QByteArray& signature, const QList<QByteArray>& publicKeys);

#endif // SIGNATURE_H
// TEMPORARY BRIDGE
class ManifestSignature
{
public:
    ManifestSignature(const QByteArray& signature, const QList<QByteArray>& keys)
        : sig(signature)
        , keys(keys)
    {
    }
    QString problem() const { return QString(); }
    void update(const char* data, size_t size) { body.append(data, int(size)); }
    QString finish() { return signatureProblem(body, sig, keys); }
    QByteArray sig, body;
    QList<QByteArray> keys;
};
