#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstddef>
#include <memory>

// The minisign public keys compiled in (several while one is being replaced); a build without any
// installs unsigned updates, as ever.
const QList<QByteArray>& trustedKeys();

// Whether the holder of one of publicKeys (each the base64 line of a minisign .pub file) signed a
// body, checked as the body arrives. Only minisign's prehashed signatures (BLAKE2b-512 of the
// body, its default) are taken. Needs a build with UPDATER_PUBLIC_KEY.
class ManifestSignature
{
public:
    // The .minisig text; problem() is non-empty at once when it cannot be used.
    ManifestSignature(const QByteArray& signature, const QList<QByteArray>& publicKeys);
    ~ManifestSignature();
    ManifestSignature(const ManifestSignature&) = delete;
    ManifestSignature& operator=(const ManifestSignature&) = delete;

    QString problem() const { return failure; }
    // Each piece of the body.
    void update(const char* data, size_t size);
    // Empty when the holder of a trusted key signed exactly these bytes.
    QString finish();

private:
    struct Hash;
    std::unique_ptr<Hash> hash;
    QString failure;
    QByteArray key, signatureBytes, comment, global;
    bool finished = false;
};

#endif // SIGNATURE_H
