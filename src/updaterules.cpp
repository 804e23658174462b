#include "updaterules.h"

#include <QDebug>
#include <QJsonArray>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <set>

bool ZelkorVersionStru::parseVersion(const QString& text)
{
    const QStringList pieces = text.split(QLatin1Char('.'));
    if (pieces.size() != 3)
        return false;
    int* const fields[] = {&major, &minor, &patch};
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        *fields[i] = pieces.at(i).toInt(&ok, 10);
        if (!ok)
            return false;
    }
    return true;
}

bool ZelkorVersionStru::setVersion(QJsonObject entry)
{
    const QString version = entry.value(QStringLiteral("version")).toString();
    const int updateType = entry.value(QStringLiteral("updateType")).toInt();
    const QString entryReason = entry.value(QStringLiteral("reason")).toString();
    if (!parseVersion(version))
        return false;
    qDebug() << "reason:" << entryReason;
    reason = entryReason;
    enforce = updateType != 0;
    return true;
}

QString ZelkorVersionStru::versionString() const
{
    return QString::number(major) + QLatin1Char('.') + QString::number(minor) + QLatin1Char('.')
        + QString::number(patch);
}

bool operator<(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    if (a.major != b.major)
        return a.major < b.major;
    if (a.minor != b.minor)
        return a.minor < b.minor;
    return a.patch < b.patch;
}

bool operator>(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    return b < a;
}

bool operator==(const ZelkorVersionStru& a, const ZelkorVersionStru& b)
{
    return a.major == b.major && a.minor == b.minor && a.patch == b.patch;
}

QList<ZelkorVersionStru> newerVersions(const QJsonArray& list, const ZelkorVersionStru& installed)
{
    std::set<ZelkorVersionStru> newer; // first entry of a version wins
    for (int i = 0; i < list.size(); ++i) {
        ZelkorVersionStru record;
        if (record.setVersion(list.at(i).toObject()) && record > installed)
            newer.insert(record);
    }
    return QList<ZelkorVersionStru>(newer.cbegin(), newer.cend());
}

namespace {

// Names that Windows maps to devices in every folder, whatever the extension.
bool isDeviceName(const QString& segment)
{
    const QString base = ntfsKey(segment.section(QLatin1Char('.'), 0, 0).trimmed());
    static const QStringList devices {QStringLiteral("CON"), QStringLiteral("PRN"),
        QStringLiteral("AUX"), QStringLiteral("NUL"), QStringLiteral("CONIN$"),
        QStringLiteral("CONOUT$")};
    if (devices.contains(base))
        return true;
    // Windows counts the superscripts one to three as digits here too.
    return base.size() == 4
        && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))
        && QStringLiteral("0123456789\u00b9\u00b2\u00b3").contains(base.at(3));
}

} // namespace

QString ntfsKey(const QString& name)
{
    // Unit by unit: QString::toUpper() maps surrogate pairs and "ß" to "SS", and case folding
    // parts "ı" from "I" but joins the Kelvin sign with "k"; NTFS does none of that.
    QString key = name;
    for (QChar& unit : key)
        unit = unit.toUpper();
    return key;
}

QString fileKey(const QString& path)
{
    return pathCase == Qt::CaseInsensitive ? ntfsKey(path) : path;
}

bool isUpdaterOwnedPath(const QString& path, Qt::CaseSensitivity cs)
{
    const auto key
        = [cs](const QString& name) { return cs == Qt::CaseInsensitive ? ntfsKey(name) : name; };
    const QString name = key(path), top = name.section(QLatin1Char('/'), 0, 0);
    // The short name Windows gives "updateStaging", "updateLog.txt" and the lock.
    static const QRegularExpression shortName(QStringLiteral("^UPDATE~[0-9]+(\\.|$)"));
    return (cs == Qt::CaseInsensitive && shortName.match(top).hasMatch())
        || name.contains(key(QStringLiteral("update.exe")))
        || name == key(QStringLiteral("version")) || name == key(QStringLiteral("updateLog.txt"))
        || top == key(QLatin1String(stagingFolderName))
        || name == key(QLatin1String(updateLockName));
}

bool isSafeRelativePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString& segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
        // Windows drops trailing dots and blanks, so ".. " would climb out.
        if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            return false;
        if (isDeviceName(segment))
            return false;
        for (const QChar c : segment) {
            const ushort u = c.unicode();
            if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || QStringLiteral("\\:*?\"<>|").contains(c))
                return false;
        }
    }
    return true;
}

Sha256Digest Sha256Digest::fromHex(const QString& text)
{
    Sha256Digest digest;
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    if (bytes.size() == int(digest.bytes.size()) && hex.match(text).hasMatch())
        std::copy(bytes.cbegin(), bytes.cend(), digest.bytes.begin());
    return digest;
}

QByteArray Sha256Digest::toHex() const
{
    return QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()))
        .toHex();
}

QString urlPath(const QString& relativePath)
{
    QStringList segments = relativePath.split(QLatin1Char('/'));
    for (QString& segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return segments.join(QLatin1Char('/'));
}
