#include "sha256.h"

#include "filemoves.h"

#include <QFile>

#include <algorithm>
#include <limits>

#if defined(Q_OS_WIN)
#include <windows.h>

#include <bcrypt.h>
#elif defined(UPDATER_SHA256_OPENSSL)
#include <openssl/evp.h>
#else
#include <QCryptographicHash>
#endif

#if defined(Q_OS_WIN)
struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    State()
    {
        if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0)
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    }
    ~State()
    {
        if (hash)
            BCryptDestroyHash(hash);
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    void add(const char* data, qint64 size) { BCryptHashData(hash, PUCHAR(data), ULONG(size), 0); }
    QByteArray result()
    {
        QByteArray digest(32, '\0');
        // A hash that could not be made yields no digest: it then matches nothing.
        if (!hash || BCryptFinishHash(hash, PUCHAR(digest.data()), 32, 0) != 0)
            return QByteArray();
        return digest;
    }
};
#elif defined(UPDATER_SHA256_OPENSSL)
struct Sha256::State
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    State() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
    ~State() { EVP_MD_CTX_free(context); }
    void add(const char* data, qint64 size) { EVP_DigestUpdate(context, data, size_t(size)); }
    QByteArray result()
    {
        QByteArray digest(32, '\0');
        unsigned int length = 0;
        if (!EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char*>(digest.data()), &length))
            return QByteArray();
        return digest;
    }
};
#else
struct Sha256::State
{
    QCryptographicHash hash {QCryptographicHash::Sha256};
    void add(const char* data, qint64 size) { hash.addData(data, int(size)); }
    QByteArray result() { return hash.result(); }
};
#endif

Sha256::Sha256()
    : state(std::make_unique<State>())
{
}

Sha256::~Sha256() = default;

void Sha256::addData(const char* data, qint64 size)
{
    state->add(data, size);
}

bool Sha256::addData(QIODevice* device, qint64 limit)
{
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 left = limit < 0 ? std::numeric_limits<qint64>::max() : limit;
    while (left > 0) {
        const qint64 read = device->read(buffer.data(), qMin<qint64>(buffer.size(), left));
        if (read < 0)
            return false;
        if (read == 0)
            return limit < 0;
        state->add(buffer.constData(), read);
        left -= read;
    }
    return true;
}

Sha256Digest Sha256::result()
{
    const QByteArray bytes = state->result();
    Sha256Digest digest;
    std::copy(bytes.cbegin(), bytes.cend(), digest.bytes.begin());
    return digest;
}

bool hasContent(const QString& path, const SignedFile& content)
{
    const FileMoves::Entry entry = FileMoves::entryAt(path);
    QFile file(path);
    // A link is never content: moved into place it would point elsewhere.
    if (!entry.isPlainFile() || entry.size != content.size || !file.open(QIODevice::ReadOnly))
        return false;
    Sha256 hash;
    return hash.addData(&file) && hash.result() == content.sha256;
}
