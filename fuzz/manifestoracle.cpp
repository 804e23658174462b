#include "manifestoracle.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace oracle {

QStringList manifestEntries(const QByteArray& body, bool* readable)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (readable)
        *readable = body.isEmpty() || error.error == QJsonParseError::NoError;
    const QJsonArray values = document.object().value(QStringLiteral("value")).toArray();
    QStringList entries;
    entries.reserve(values.size());
    for (const QJsonValue& value : values)
        entries << value.toString();
    return entries;
}

QMap<QString, SignedFile> listedHashes(
    const QByteArray& body, const QStringList& paths, QString* problem)
{
    const QJsonObject listed
        = QJsonDocument::fromJson(body).object().value(QStringLiteral("files")).toObject();
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{64}$"));
    QMap<QString, SignedFile> files;
    for (const QString& path : paths) {
        const QJsonObject entry = listed.value(path).toObject();
        const QString sha256 = entry.value(QStringLiteral("sha256")).toString().toLower();
        const double size = entry.value(QStringLiteral("size")).toDouble(-1);
        if (hex.match(sha256).hasMatch() && size >= 0 && size <= 9e15 && size == std::floor(size))
            files.insert(fileKey(path), SignedFile {Sha256Digest::fromHex(sha256), qint64(size)});
        else if (problem && listed.contains(path) && problem->isEmpty())
            *problem = QStringLiteral("文件校验值格式错误:") + path;
    }
    return files;
}

QString chainProblem(const QByteArray& body, const QList<ZelkorVersionStru>& newer, int index,
    const ZelkorVersionStru& installed, bool recordRequired)
{
    const QJsonObject top = QJsonDocument::fromJson(body).object();
    const QJsonValue follows = top.value(QStringLiteral("follows"));
    ZelkorVersionStru named;
    const bool parsed = follows.isString() && named.parseVersion(follows.toString());
    const bool unbroken = index > 0 ? parsed && named == newer.at(index - 1)
                                    : follows.isNull() || (parsed && !(named > installed));
    if (follows.isUndefined() ? !recordRequired : unbroken)
        return QString();
    const ZelkorVersionStru& before = index > 0 ? newer.at(index - 1) : installed;
    return QStringLiteral("版本链断开:") + newer.at(index).versionString() + QStringLiteral(" 接续")
        + (follows.isString() ? follows.toString() : QStringLiteral("?"))
        + (index > 0 ? QStringLiteral(",应为") : QStringLiteral(",已安装"))
        + before.versionString();
}

QString signedManifestProblem(const QByteArray& body, const QString& version,
    const QStringList& paths, const QMap<QString, SignedFile>& files)
{
    const QString named
        = QJsonDocument::fromJson(body).object().value(QStringLiteral("version")).toString();
    if (named != version)
        return QStringLiteral("版本不符:") + named;
    for (const QString& path : paths) {
        if (!files.contains(fileKey(path)))
            return QStringLiteral("缺少文件校验值:") + path;
    }
    return QString();
}

} // namespace oracle
