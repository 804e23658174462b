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

#ifdef UPDATER_PUBLIC_KEY

struct ManifestSignature::Hash
{
    crypto_generichash_state state;
};

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

} // namespace

ManifestSignature::ManifestSignature(
    const QByteArray& signature, const QList<QByteArray>& publicKeys)
{
    const auto decode = [](const QByteArray& text, int size) {
        const auto result
            = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
        return result && result.decoded.size() == size ? result.decoded : QByteArray();
    };
    QList<QByteArray> lines = signature.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QByteArray trusted("trusted comment: ");
    if (lines.size() < 4 || !lines.at(0).startsWith("untrusted comment:")
        || !lines.at(2).startsWith(trusted)) {
        failure = QStringLiteral("签名格式错误");
        return;
    }
    const QByteArray sig = decode(lines.at(1), 74); // algorithm, key id, signature
    global = decode(lines.at(3), 64);
    if (global.isEmpty() || !(sig.startsWith("Ed") || sig.startsWith("ED"))) {
        failure = QStringLiteral("签名格式错误");
        return;
    }
    // The legacy form signs the body itself, which would have to be held whole.
    if (sig.startsWith("Ed")) {
        failure = QStringLiteral("不支持旧式签名(未预哈希)");
        return;
    }
    for (const QByteArray& candidate : publicKeys) {
        const QByteArray decoded = decode(candidate, 42); // "Ed", key id, Ed25519 key
        if (decoded.startsWith("Ed") && decoded.mid(2, 8) == sig.mid(2, 8))
            key = decoded;
    }
    if (key.isEmpty()) {
        failure = QStringLiteral("签名密钥不符");
        return;
    }
    if (sodium_init() < 0) {
        failure = QStringLiteral("libsodium不可用");
        return;
    }
    signatureBytes = sig.mid(10);
    comment = signatureBytes + lines.at(2).mid(trusted.size());
    hash.reset(new Hash);
    crypto_generichash_init(&hash->state, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void ManifestSignature::update(const char* data, size_t size)
{
    if (hash && !finished)
        crypto_generichash_update(&hash->state, reinterpret_cast<const unsigned char*>(data), size);
}

QString ManifestSignature::finish()
{
    if (!failure.isEmpty() || finished)
        return failure;
    finished = true;
    unsigned char digest[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&hash->state, digest, sizeof digest);
    if (crypto_sign_verify_detached(bytes(signatureBytes), digest, sizeof digest, bytes(key) + 10)
        != 0)
        failure = QStringLiteral("签名不匹配");
    else if (crypto_sign_verify_detached(
                 bytes(global), bytes(comment), comment.size(), bytes(key) + 10)
        != 0)
        failure = QStringLiteral("可信注释签名不匹配");
    return failure;
}

#else

struct ManifestSignature::Hash
{
};

ManifestSignature::ManifestSignature(const QByteArray&, const QList<QByteArray>&)
    : failure(QStringLiteral("built without UPDATER_PUBLIC_KEY"))
{
}

void ManifestSignature::update(const char*, size_t) { }

QString ManifestSignature::finish()
{
    finished = true;
    return failure;
}

#endif

ManifestSignature::~ManifestSignature() = default;
