#include "signature.h"

#ifdef UPDATER_PUBLIC_KEY
#include <sodium.h>
#endif

const QList<QByteArray>& trustedKeys()
{
#ifdef UPDATER_PUBLIC_KEY
    static const QList<QByteArray> keys = QByteArrayLiteral(UPDATER_PUBLIC_KEY).split(' ');
#else
    static const QList<QByteArray> keys;
#endif
    return keys;
}

QString signatureProblem(
    const QByteArray& body, const QByteArray& signature, const QList<QByteArray>& publicKeys)
{
#ifdef UPDATER_PUBLIC_KEY
    const auto decode = [](const QByteArray& text, int size) {
        const auto result
            = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        return result && result.decoded.size() == size ? result.decoded : QByteArray();
    };
    const auto bytes = [](const QByteArray& data) {
        return reinterpret_cast<const unsigned char*>(data.constData());
    };
    QList<QByteArray> lines = signature.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray trusted("trusted comment: ");
    if (lines.size() < 4 || !lines.at(0).startsWith("untrusted comment:")
        || !lines.at(2).startsWith(trusted))
        return QStringLiteral("签名格式错误");
    const QByteArray sig = decode(lines.at(1), 74); // algorithm, key id, signature
    const QByteArray global = decode(lines.at(3), 64);
    if (global.isEmpty() || !(sig.startsWith("Ed") || sig.startsWith("ED")))
        return QStringLiteral("签名格式错误");
    QByteArray key;
    for (const QByteArray& candidate : publicKeys) {
        const QByteArray decoded = decode(candidate, 42); // "Ed", key id, Ed25519 key
        if (decoded.startsWith("Ed") && decoded.mid(2, 8) == sig.mid(2, 8))
            key = decoded;
    }
    if (key.isEmpty())
        return QStringLiteral("签名密钥不符");
    if (sodium_init() < 0)
        return QStringLiteral("libsodium不可用");
    QByteArray signedBytes = body;
    if (sig.startsWith("ED")) { // signed the BLAKE2b-512 hash
        signedBytes = QByteArray(crypto_generichash_BYTES_MAX, 0);
        crypto_generichash(reinterpret_cast<unsigned char*>(signedBytes.data()), signedBytes.size(),
            bytes(body), body.size(), nullptr, 0);
    }
    const QByteArray signatureBytes = sig.mid(10);
    const QByteArray comment = signatureBytes + lines.at(2).mid(trusted.size());
    if (crypto_sign_verify_detached(
            bytes(signatureBytes), bytes(signedBytes), signedBytes.size(), bytes(key) + 10)
        != 0)
        return QStringLiteral("签名不匹配");
    if (crypto_sign_verify_detached(bytes(global), bytes(comment), comment.size(), bytes(key) + 10)
        != 0)
        return QStringLiteral("可信注释签名不匹配");
    return QString();
#else
    Q_UNUSED(body)
    Q_UNUSED(signature)
    Q_UNUSED(publicKeys)
    return QStringLiteral("built without UPDATER_PUBLIC_KEY");
#endif
}
