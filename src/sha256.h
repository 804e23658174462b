#ifndef SHA256_H
#define SHA256_H

#include "updaterules.h"

#include <QByteArray>
#include <QString>

#include <memory>

class QIODevice;

// SHA-256 by the platform's own implementation where there is one (OpenSSL's libcrypto, Windows'
// CNG): several times Qt's speed, so that hashing keeps up with the disk.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void addData(const char* data, qint64 size);
    void addData(const QByteArray& data) { addData(data.constData(), data.size()); }
    // Reads device to its end, or limit bytes; false when it ends early or cannot be read.
    bool addData(QIODevice* device, qint64 limit = -1);
    // Ends the hash.
    Sha256Digest result();

private:
    struct State;
    std::unique_ptr<State> state;
};

// Whether path is a file of content's size and SHA-256. Sizes are compared first: a file of
// another size is never read.
bool hasContent(const QString& path, const SignedFile& content);

#endif // SHA256_H
