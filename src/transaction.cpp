#include "transaction.h"

#include "filemoves.h"
#include "sha256.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStorageInfo>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// Test builds name a step and its file (UPDATER_KILL_AT=in:bin/a.dll) to end there as a kill
// would, to fail it (UPDATER_FAIL_AT) as a file held open does, or to lose the file there
// (UPDATER_LOSE_AT) as a virus scanner's quarantine does.
bool failsHere([[maybe_unused]] const char* step, [[maybe_unused]] const QString& path = QString(),
    [[maybe_unused]] const QString& lost = QString())
{
#ifdef UPDATER_TEST_POINTS
    const QString here = QLatin1String(step) + QLatin1Char(':') + path;
    if (qEnvironmentVariable("UPDATER_KILL_AT") == here)
        std::_Exit(9);
    if (qEnvironmentVariable("UPDATER_LOSE_AT") == here)
        QFile::remove(lost);
    return qEnvironmentVariable("UPDATER_FAIL_AT") == here;
#else
    return false;
#endif
}

bool exists(const QString& path)
{
    return FileMoves::entryAt(path).exists;
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

QString uniqueId()
{
    return QString::number(QRandomGenerator::system()->generate64(), 16);
}

} // namespace

UpdateTransaction::UpdateTransaction(const QString& installDir, UpdateLog& log)
    : installDir(installDir)
    , stagingDir(installDir + QLatin1Char('/') + QLatin1String(stagingFolderName))
    , log(log)
    , updateLock(installDir + QLatin1Char('/') + QLatin1String(updateLockName))
{
}

UpdateLock::Result UpdateTransaction::lock(const Tell& tell, const std::function<bool()>& stopped)
{
    UpdateLock::Result result = updateLock.tryLock();
    if (result == UpdateLock::Held) {
        const QString waiting = QStringLiteral("等待另一个更新程序完成更新");
        log.write(waiting);
        tell(waiting);
        result = updateLock.lock(stopped);
    }
    if (result == UpdateLock::Held)
        log.write(QStringLiteral("等待其他更新程序时窗口被关闭"));
    else if (result == UpdateLock::Failed)
        log.write(QStringLiteral("无法锁定更新:") + installDir + QLatin1Char('/')
            + QLatin1String(updateLockName) + QLatin1Char(' ') + updateLock.error());
    return result;
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
    if (exists(journalPath())) {
        log.write(QStringLiteral("上次更新未能完成,不能开始新的更新:") + stagingDir);
        return false;
    }
    dropLinks();
    if (!QDir().mkpath(stagingDir)) {
        log.write(QStringLiteral("创建目录：") + stagingDir + QStringLiteral(" 失败."));
        return false;
    }
    log.write(QStringLiteral("暂存目录:") + stagingDir);
    return true;
}

void UpdateTransaction::dropLinks() const
{
    // Nothing an update writes or deletes there may lead elsewhere: a link is only ever planted.
    for (const QString& link : FileMoves::removeLinks(stagingDir))
        log.write(QStringLiteral("删除暂存目录中的链接:") + link);
}

QString UpdateTransaction::stagedPath(const QString& path) const
{
    return stagingDir + QStringLiteral("/new/") + path;
}

qint64 UpdateTransaction::stagedSize(const QString& path) const
{
    const FileMoves::Entry staged = FileMoves::entryAt(stagedPath(path));
    return staged.isPlainFile() ? staged.size : 0;
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
    journal.id = uniqueId();
    journal.version = version;
    journal.entries = std::move(files);
    QStringList staged;
    for (Entry& entry : journal.entries) {
        entry.hadOld = exists(installedPath(entry));
        staged << entry.path;
    }
    QString error;
    // Nothing may name a staged file as ready before it is whole and on the disk.
    if (!checkStaged(journal, &error)
        || !FileMoves::flush(installDir, stagingDir + QStringLiteral("/new"), staged, &error)) {
        log.write(QStringLiteral("写入暂存文件失败:") + error);
        return false;
    }
    // A staged copy is a program already, never read-only: a lost journal leaves no old copy.
    for (const Entry& entry : qAsConst(journal.entries)) {
        if (entry.hadOld)
            takeMode(stagedPath(entry), installedPath(entry), QFile::WriteOwner);
    }
    if (!writeJournal(journal, &error)) {
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
    // "version" is the commit point: from when it names the new version, only forward.
    if (!FileMoves::flush(installDir, {}, {}, &error) || failsHere("version")
        || !writeVersion(version, &error)) {
        log.write(QStringLiteral("写入更新文件失败：") + error);
        rollBack(journal, journal.entries.size() - 1);
        return false;
    }
    if (forget(journal))
        FileMoves::removeTree(stagingDir);
    return true;
}

bool UpdateTransaction::checkStaged(const Journal& journal, QString* error) const
{
    for (const Entry& entry : journal.entries) {
        const QString staged = stagedPath(entry);
        failsHere("stage", entry.path, staged);
        const FileMoves::Entry found = FileMoves::entryAt(staged);
        // This run hashed what it wrote as it wrote it; an earlier run's copy may have changed.
        if (!found.isPlainFile() || found.size != entry.content.size
            || (entry.earlierRun && !hasContent(staged, entry.content))) {
            *error = QStringLiteral("缺少新文件:") + entry.path;
            return false;
        }
    }
    return true;
}

bool UpdateTransaction::swapIn(const Journal& journal, int index, QString* error) const
{
    const Entry& entry = journal.entries.at(index);
    const QString installed = installedPath(entry), aside = asidePath(journal, entry);
    return (!entry.hadOld || move(installed, aside, error, "aside", entry.path))
        && moveIn(entry, aside, error);
}

bool UpdateTransaction::moveIn(const Entry& entry, const QString& aside, QString* error) const
{
    const QString installed = installedPath(entry);
    if (!move(stagedPath(entry), installed, error, "in", entry.path))
        return false;
    if (!FileMoves::inheritPermissions(installed))
        log.write(QStringLiteral("无法继承目录权限:") + installed);
    takeMode(installed, aside);
    return true;
}

void UpdateTransaction::takeMode(const QString& file, const QString& old, QFile::Permissions add)
{
    // A program stays one, a read-only file read-only; but never a staged copy, which a later run
    // could then neither write nor flush.
    if (exists(old))
        QFile::setPermissions(file, FileMoves::permissionsOf(old) | add);
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
    return forget(journal);
}

bool UpdateTransaction::undo(const Journal& journal, int index, QString* error) const
{
    const Entry& entry = journal.entries.at(index);
    const QString installed = installedPath(entry), aside = asidePath(journal, entry),
                  staged = stagedPath(entry);
    const bool setAsideCopy = exists(aside);
    if (entry.hadOld && !setAsideCopy)
        return true; // never moved
    // The new copy goes back to staging, writable, over what is left there: forward stays possible.
    if (exists(installed)
        && (!FileMoves::removeTree(staged) || !FileMoves::makeWritable(installed)
            || !move(installed, staged, error, "back", entry.path)))
        return false;
    return !setAsideCopy || move(aside, installed, error, "back", entry.path);
}

void UpdateTransaction::recover(const Tell& tell)
{
    if (!exists(journalPath()))
        return;
    tell(QStringLiteral("正在完成上次未完成的更新"));
    const QString found = QStringLiteral("恢复未完成的更新:");
    Journal journal;
    if (!readJournal(&journal)) {
        // Nothing can be finished from it; the update that follows installs every newer file.
        const QString kept = stagingDir + QStringLiteral("/journal-unreadable-") + uniqueId();
        QString error;
        const bool moved = FileMoves::move(journalPath(), kept, &error);
        log.write(found + QStringLiteral("记录无法读取,已移至 ") + (moved ? kept : error));
        return;
    }
    dropLinks();
    QString error;
    if (versionNames(journal.version) || goForward(journal, &error)) {
        if (forget(journal))
            FileMoves::removeTree(stagingDir);
        log.write(found + journal.version + QStringLiteral(" 已完成"));
    } else if (rollBack(journal, journal.entries.size() - 1)) {
        log.write(found + journal.version + QStringLiteral(" 已撤销 ") + error);
    }
}

bool UpdateTransaction::versionNames(const QString& version) const
{
    QFile file(installDir + QStringLiteral("/version"));
    ZelkorVersionStru installed, journaled;
    return file.open(QIODevice::ReadOnly)
        && installed.parseVersion(QString::fromUtf8(file.readAll()))
        && journaled.parseVersion(version) && installed == journaled;
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
        // One moved in may have been cut off before it took the old copy's mode.
        if (done.at(i))
            takeMode(installed, aside);
        else if ((exists(installed) && !setAside(installed, aside, error))
            || !moveIn(entry, aside, error))
            return false;
    }
    return FileMoves::flush(installDir, {}, {}, error) && writeVersion(journal.version, error);
}

bool UpdateTransaction::setAside(const QString& path, const QString& aside, QString* error) const
{
    if (!exists(aside))
        return move(path, aside, error, "aside", path.mid(installDir.size() + 1));
    // The old copy and another file where it was: the new copy wins, the other stays beside it.
    const QString other = path + QStringLiteral(".conflict-") + uniqueId();
    if (!FileMoves::move(path, other, error))
        return false;
    log.write(QStringLiteral("文件冲突,已移至:") + other);
    return true;
}

bool UpdateTransaction::writeVersion(const QString& version, QString* error) const
{
    const QString path = installDir + QStringLiteral("/version");
    // A read-only "version" is replaced too, and the new one is read-only again.
    const FileMoves::Entry old = FileMoves::entryAt(path);
    const QFile::Permissions permissions = FileMoves::permissionsOf(path);
    if (old.readOnly && old.isPlainFile())
        QFile::setPermissions(path, permissions | QFile::WriteOwner);
    QSaveFile file(path);
    const QByteArray bytes = version.toLocal8Bit();
    const bool written
        = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
    if (!written)
        *error = file.errorString();
    if (old.readOnly && old.isPlainFile())
        QFile::setPermissions(path, permissions);
    return written;
}

bool UpdateTransaction::forget(const Journal& journal) const
{
    failsHere("forget");
    // The set-aside copies go only once the journal's removal is on the disk: until then the next
    // start may need them.
    if (!QFile::remove(journalPath())) {
        log.write(QStringLiteral("无法删除更新记录:") + journalPath());
        return false;
    }
    if (!FileMoves::flushFolder(stagingDir))
        return false;
    // An old copy still running (on Windows) stays until a later start.
    FileMoves::removeTree(stagingDir + QStringLiteral("/old-") + journal.id);
    return true;
}

bool UpdateTransaction::writeJournal(const Journal& journal, QString* error) const
{
    const QString temporary = journalPath() + QStringLiteral(".tmp");
    // Written whole and on the disk before it appears under its name.
    if (!writeJournalFile(temporary, journal, installDir, error) || failsHere("journal")
        || !FileMoves::move(temporary, journalPath(), error))
        return false;
    if (!FileMoves::flushFolder(stagingDir)) {
        *error = stagingDir + QStringLiteral(" cannot be flushed");
        return false;
    }
    return true;
}

bool UpdateTransaction::readJournal(Journal* journal) const
{
    return readJournalFile(journalPath(), journal);
}
