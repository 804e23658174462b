#ifndef UPDATERULES_H
#define UPDATERULES_H

// The rules the updater and update-publish share: versions, the entries of the update list and of
// a manifest, and which paths may be installed. Nothing here touches a file or the network.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>

// One version a.b.c, with what an update-list entry says about it.
struct ZelkorVersionStru
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    bool enforce = false;
    QString reason;

    // True when all three numbers were taken; on failure the numbers before
    // the failing piece (and that piece, as 0) are already stored.
    bool parseVersion(const QString& text);
    // True when the entry's "version" parsed; only then change enforce and reason.
    bool setVersion(QJsonObject entry);
    QString versionString() const;
};

bool operator<(const ZelkorVersionStru& a, const ZelkorVersionStru& b);
bool operator>(const ZelkorVersionStru& a, const ZelkorVersionStru& b);
bool operator==(const ZelkorVersionStru& a, const ZelkorVersionStru& b);

// The entries of an update list newer than installed, ascending; of entries naming one version
// the first counts, and entries that do not parse are dropped.
QList<ZelkorVersionStru> newerVersions(const QJsonArray& list, const ZelkorVersionStru& installed);

// A SHA-256 digest, held inline: an update may list 100,000 files. All zero when none is known;
// no file has that digest.
struct Sha256Digest
{
    std::array<unsigned char, 32> bytes {};

    // Zero unless text is 64 hex digits.
    static Sha256Digest fromHex(const QString& text);
    QByteArray toHex() const; // lower case
    bool operator==(const Sha256Digest& other) const { return bytes == other.bytes; }
    bool operator!=(const Sha256Digest& other) const { return bytes != other.bytes; }
};

// What a manifest's "files" says of one path.
struct SignedFile
{
    Sha256Digest sha256;
    qint64 size = -1;
};

// A manifest path may only name a file below the installation folder, on
// Windows too.
bool isSafeRelativePath(const QString& path);

// How the installation's file system compares names: on Windows by ntfsKey().
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity pathCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity pathCase = Qt::CaseSensitive;
#endif

// A name as NTFS compares it: each UTF-16 unit in its simple upper case, so "\u0131" is "I" and
// the Kelvin sign stays apart from "k". Names with the same key are one file on Windows.
QString ntfsKey(const QString& name);

// Paths with the same key name one file.
QString fileKey(const QString& path);

// Where an update is staged, and the lock a running update holds, in the installation folder.
inline constexpr char stagingFolderName[] = "updateStaging";
inline constexpr char updateLockName[] = "updateStaging.lock";

// A manifest path the updater keeps for itself and never installs: one containing "update.exe"
// (its own program), or "version", "updateLog.txt", the staging folder or the lock at the top. With
// Qt::CaseInsensitive, compared by ntfsKey(), the rule of a Windows installation.
bool isUpdaterOwnedPath(const QString& path, Qt::CaseSensitivity cs = pathCase);

// A relative path as it goes into an address: every segment percent-encoded,
// so that "#", "?" and "%" in a file name stay part of it.
QString urlPath(const QString& relativePath);

#endif // UPDATERULES_H
