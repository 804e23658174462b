#include "transaction.h"

#include "filemoves.h"
#include "sha256.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// Test builds name a step and its file (UPDATER_KILL_AT=in:bin/a.dll) to end there as a kill
// would, or to fail it (UPDATER_FAIL_AT) as a file held open does.
bool failsHere(const char* step, const QString& path = QString())
{
#ifdef UPDATER_TEST_POINTS
    const QString here = QLatin1String(step) + QLatin1Char(':') + path;
    if (qEnvironmentVariable("UPDATER_KILL_AT") == here)
        std::_Exit(9);
    return qEnvironmentVariable("UPDATER_FAIL_AT") == here;
#else
    Q_UNUSED(step)
    Q_UNUSED(path)
    return false;
#endif
}

bool exists(const QString& path)
{
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

bool move(
    const QString& from, const QString& to, QString* error, const char* step, const QString& path)
{
    if (failsHere(step, path)) {
        *error = QStringLiteral("failed on purpose");
        return false;
    }
    return FileMoves::move(from, to, error);
}

} // namespace

UpdateTransaction::UpdateTransaction(const QString& installDir, UpdateLog& log)
    : installDir(installDir)
    , stagingDir(installDir + QLatin1Char('/') + QLatin1String(stagingFolderName))
    , log(log)
    , updateLock(installDir + QLatin1Char('/') + QLatin1String(updateLockName))
{
    updateLock.setStaleLockTime(0); // stale only when its process is gone
}

void UpdateTransaction::lock()
{
    if (!updateLock.tryLock(0) && updateLock.error() == QLockFile::LockFailedError) {
        log.write(QStringLiteral("等待另一个更新程序完成更新"));
        updateLock.lock();
    }
}

ZelkorVersionStru UpdateTransaction::installedVersion()
{
    ZelkorVersionStru installed;
    const QString path = installDir + QStringLiteral("/version");
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists() || !info.isReadable()) {
        qDebug() << path + QStringLiteral(" not exist");
    } else if (!file.open(QIODevice::ReadOnly)) {
        log.write(QStringLiteral("本地版本信息文件打开失败:") + path + QLatin1Char(' ')
            + file.errorString());
    } else {
        QByteArray bytes = file.readAll();
        const int nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        installed.parseVersion(QString::fromUtf8(bytes));
        qDebug() << "curr version:" << bytes;
    }
    return installed;
}

bool UpdateTransaction::begin(qint64 stagedBytes)
{
    const qint64 available = QStorageInfo(installDir).bytesAvailable();
    if (available >= 0 && stagedBytes > available) {
        log.write(
            QStringLiteral("磁盘空间不足:需要%1字节,可用%2字节").arg(stagedBytes).arg(available));
        return false;
    }
    if (QFileInfo::exists(journalPath())) {
        log.write(QStringLiteral("上次更新未能完成,不能开始新的更新:") + stagingDir);
        return false;
    }
    if (!QDir().mkpath(stagingDir)) {
        log.write(QStringLiteral("创建目录：") + stagingDir + QStringLiteral(" 失败."));
        return false;
    }
    log.write(QStringLiteral("暂存目录:") + stagingDir);
    return true;
}

QString UpdateTransaction::stagedPath(const QString& path) const
{
    return stagingDir + QStringLiteral("/new/") + path;
}

QString UpdateTransaction::installedPath(const Entry& entry) const
{
    return installDir + QLatin1Char('/') + entry.path;
}

QString UpdateTransaction::asidePath(const Journal& journal, const Entry& entry) const
{
    return stagingDir + QStringLiteral("/old-") + journal.id + QLatin1Char('/') + entry.path;
}

bool UpdateTransaction::commit(QVector<StagedFile> files, const QString& version)
{
    // Files are staged in any order; every run replaces them alike.
    std::sort(files.begin(), files.end(),
        [](const StagedFile& a, const StagedFile& b) { return fileKey(a.path) < fileKey(b.path); });
    Journal journal;
    journal.id = QString::number(QRandomGenerator::system()->generate64(), 16);
    journal.version = version;
    journal.entries = std::move(files);
    QStringList staged;
    for (Entry& entry : journal.entries) {
        const QString installed = installedPath(entry);
        entry.hadOld = exists(installed);
        staged << entry.path;
        // A program stays one.
        if (entry.hadOld)
            QFile::setPermissions(stagedPath(entry), QFile::permissions(installed));
    }
    QString error;
    // Nothing may name a staged file as ready before it is on the disk.
    if (!FileMoves::flush(installDir, stagingDir + QStringLiteral("/new"), staged, &error)
        || !writeJournal(journal, &error)) {
        log.write(QStringLiteral("写入暂存文件失败:") + error);
        return false;
    }
    for (int i = 0; i < journal.entries.size(); ++i) {
        if (!swapIn(journal, i, &error)) {
            log.write(QStringLiteral("替换文件失败:") + journal.entries.at(i).path
                + QLatin1Char(' ') + error);
            rollBack(journal, i);
            return false;
        }
    }
    FileMoves::flush(installDir, {}, {}, &error);
    if (failsHere("version") || !writeVersion(version, &error)) {
        log.write(QStringLiteral("写入更新文件失败：") + error);
        rollBack(journal, journal.entries.size() - 1);
        return false;
    }
    forget(journal);
    QDir(stagingDir).removeRecursively();
    return true;
}

bool UpdateTransaction::swapIn(const Journal& journal, int index, QString* error) const
{
    const Entry& entry = journal.entries.at(index);
    const QString installed = installedPath(entry);
    return (!entry.hadOld || move(installed, asidePath(journal, entry), error, "aside", entry.path))
        && move(stagedPath(entry), installed, error, "in", entry.path);
}

bool UpdateTransaction::rollBack(const Journal& journal, int last)
{
    QString error;
    for (int i = last; i >= 0; --i) {
        if (!undo(journal, i, &error)) {
            // The journal stays: the next start finishes this, forward or back.
            log.write(QStringLiteral("撤销替换失败:") + journal.entries.at(i).path
                + QLatin1Char(' ') + error);
            return false;
        }
    }
    forget(journal);
    return true;
}

bool UpdateTransaction::undo(const Journal& journal, int index, QString* error) const
{
    const Entry& entry = journal.entries.at(index);
    const QString installed = installedPath(entry), aside = asidePath(journal, entry);
    if (entry.hadOld && !exists(aside))
        return true; // never moved
    // The new copy goes back to staging: forward stays possible from every instant.
    if (exists(installed) && !move(installed, stagedPath(entry), error, "back", entry.path))
        return false;
    return !entry.hadOld || move(aside, installed, error, "back", entry.path);
}

void UpdateTransaction::recover()
{
    Journal journal;
    if (!QFileInfo::exists(journalPath()))
        return;
    const QString found = QStringLiteral("恢复未完成的更新:");
    if (!readJournal(&journal)) {
        log.write(found + QStringLiteral("记录无法读取,未做改动 ") + stagingDir);
        return;
    }
    QString error;
    if (goForward(journal, &error)) {
        forget(journal);
        QDir(stagingDir).removeRecursively();
        log.write(found + journal.version + QStringLiteral(" 已完成"));
    } else if (rollBack(journal, journal.entries.size() - 1)) {
        log.write(found + journal.version + QStringLiteral(" 已撤销 ") + error);
    }
}

bool UpdateTransaction::goForward(const Journal& journal, QString* error) const
{
    QList<bool> done;
    for (const Entry& entry : journal.entries) {
        done << hasContent(installedPath(entry), entry.content);
        if (!done.last() && !hasContent(stagedPath(entry), entry.content)) {
            *error = QStringLiteral("缺少新文件:") + entry.path;
            return false;
        }
    }
    for (int i = 0; i < journal.entries.size(); ++i) {
        const Entry& entry = journal.entries.at(i);
        const QString installed = installedPath(entry), aside = asidePath(journal, entry);
        if (done.at(i))
            continue;
        if (exists(installed)
            && (exists(aside) || !move(installed, aside, error, "aside", entry.path)))
            return false;
        if (!move(stagedPath(entry), installed, error, "in", entry.path))
            return false;
    }
    FileMoves::flush(installDir, {}, {}, error);
    return writeVersion(journal.version, error);
}

bool UpdateTransaction::writeVersion(const QString& version, QString* error) const
{
    QSaveFile file(installDir + QStringLiteral("/version"));
    const QByteArray bytes = version.toLocal8Bit();
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *error = file.errorString();
    return false;
}

void UpdateTransaction::forget(const Journal& journal) const
{
    failsHere("forget");
    QFile::remove(journalPath());
    FileMoves::flushFolder(stagingDir);
    // An old copy still running (on Windows) stays until a later start.
    QDir(stagingDir + QStringLiteral("/old-") + journal.id).removeRecursively();
}

bool UpdateTransaction::writeJournal(const Journal& journal, QString* error) const
{
    const QString path = journalPath();
    const QString temporary = path + QStringLiteral(".tmp");
    QFile file(temporary);
    QFile::remove(temporary);
    // Entry by entry: an update of 100,000 files never holds its whole journal in memory.
    QByteArray head = QJsonDocument(QJsonObject {{QStringLiteral("id"), journal.id},
                                        {QStringLiteral("version"), journal.version}})
                          .toJson(QJsonDocument::Compact);
    head.chop(1); // the closing brace comes after the files
    bool ok = file.open(QIODevice::WriteOnly) && file.write(head + ",\"files\":[") > 0;
    for (int i = 0; ok && i < journal.entries.size(); ++i) {
        const Entry& entry = journal.entries.at(i);
        const QByteArray text = QJsonDocument(
            QJsonObject {{QStringLiteral("path"), entry.path},
                {QStringLiteral("size"), double(entry.content.size)},
                {QStringLiteral("sha256"), QString::fromLatin1(entry.content.sha256.toHex())},
                {QStringLiteral("old"),
                    entry.hadOld}}).toJson(QJsonDocument::Compact);
        ok = file.write(i ? "," + text : text) == text.size() + (i ? 1 : 0);
    }
    ok = ok && file.write("]}") == 2;
    if (!ok) {
        *error = file.errorString();
        return false;
    }
    file.close();
    // Written whole and on the disk before it appears under its name.
    if (!FileMoves::flush(installDir, stagingDir, {QFileInfo(temporary).fileName()}, error)
        || failsHere("journal") || !FileMoves::move(temporary, path, error)) {
        return false;
    }
    FileMoves::flushFolder(stagingDir);
    return true;
}

bool UpdateTransaction::readJournal(Journal* journal) const
{
    QFile file(journalPath());
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
        Entry entry;
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
