#include "journal.h"

#include "filemoves.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

bool writeJournalFile(
    const QString& path, const UpdateJournal& journal, const QString& installDir, QString* error)
{
    QFile file(path);
    QFile::remove(path);
    // Entry by entry: an update of 100,000 files never holds its whole journal in memory.
    QByteArray head = QJsonDocument(QJsonObject {{QStringLiteral("id"), journal.id},
                                        {QStringLiteral("version"), journal.version}})
                          .toJson(QJsonDocument::Compact);
    head.chop(1); // the closing brace comes after the files
    bool ok = file.open(QIODevice::WriteOnly) && file.write(head + ",\"files\":[") > 0;
    for (int i = 0; ok && i < journal.entries.size(); ++i) {
        const StagedFile& entry = journal.entries.at(i);
        const QByteArray text = QJsonDocument(
            QJsonObject {{QStringLiteral("path"), entry.path},
                {QStringLiteral("size"), double(entry.content.size)},
                {QStringLiteral("sha256"), QString::fromLatin1(entry.content.sha256.toHex())},
                {QStringLiteral("old"),
                    entry.hadOld}}).toJson(QJsonDocument::Compact);
        ok = file.write(i ? "," + text : text) == text.size() + (i ? 1 : 0);
    }
    ok = ok && file.write("]}") == 2 && file.flush();
    if (!ok) {
        *error = file.errorString();
        return false;
    }
    file.close();
    const QFileInfo info(path);
    return FileMoves::flush(installDir, info.absolutePath(), {info.fileName()}, error);
}

bool readJournalFile(const QString& path, UpdateJournal* journal)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject top = QJsonDocument::fromJson(file.readAll()).object();
    journal->id = top.value(QStringLiteral("id")).toString();
    journal->version = top.value(QStringLiteral("version")).toString();
    const QJsonArray entries = top.value(QStringLiteral("files")).toArray();
    static const QRegularExpression id(QStringLiteral("^[0-9a-f]{1,16}$"));
    if (!id.match(journal->id).hasMatch() || journal->version.isEmpty())
        return false;
    for (const QJsonValue& value : entries) {
        const QJsonObject object = value.toObject();
        StagedFile entry;
        entry.path = object.value(QStringLiteral("path")).toString();
        entry.content.size = qint64(object.value(QStringLiteral("size")).toDouble(-1));
        entry.content.sha256
            = Sha256Digest::fromHex(object.value(QStringLiteral("sha256")).toString());
        entry.hadOld = object.value(QStringLiteral("old")).toBool();
        if (!isSafeRelativePath(entry.path) || entry.content.size < 0)
            return false;
        journal->entries << entry;
    }
    return true;
}
