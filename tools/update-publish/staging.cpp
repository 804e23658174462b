#include "staging.h"

#include "fileops.h"
#include "quoting.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <algorithm>

Staging::Staging(const QString& folder)
    : dir(folder + QStringLiteral("/.update-publish-XXXXXX"))
{
}

bool Staging::add(const QString& staged, const QString& target, QString* reason)
{
    Move move {staged, target, QString(), false};
    const QFileInfo info(target);
    if (pathExists(info)) {
        move.replaces = true;
        move.backup = staged + QStringLiteral(".old");
        if (!linkOrCopyFile(target, move.backup, reason))
            return false;
        if (info.isFile())
            QFile::setPermissions(staged, info.permissions());
    }
    moves << move;
    return true;
}

void Staging::addNew(const QString& staged, const QString& target)
{
    moves << Move {staged, target, QString(), false};
}

bool Staging::moveIntoPlace(QString* reason)
{
    // Missing folders, parents first.
    QSet<QString> missing;
    for (const Move& move : qAsConst(moves)) {
        for (QString folder = QFileInfo(move.target).path(); !QFileInfo(folder).isDir();
             folder = QFileInfo(folder).path())
            missing << folder;
    }
    QStringList toCreate = missing.values();
    std::sort(toCreate.begin(), toCreate.end(),
        [](const QString& a, const QString& b) { return a.size() < b.size(); });
    QStringList created;

    QStringList notRestored;
    const auto rollBack = [&](int moved) {
        for (int i = moved - 1; i >= 0; --i) {
            const Move& move = moves.at(i);
            QString ignored;
            const bool restored = move.replaces ? replaceFile(move.backup, move.target, &ignored)
                                                : QFile::remove(move.target);
            if (!restored)
                notRestored << move.target;
        }
        for (int i = created.size() - 1; i >= 0; --i) {
            if (!QDir().rmdir(created.at(i)))
                notRestored << created.at(i);
        }
    };
    const auto rolledBack = [&] {
        return notRestored.isEmpty()
            ? QStringLiteral("; the server tree is as it was")
            : QStringLiteral("; could not put back %1").arg(quotedList(notRestored));
    };

    for (const QString& folder : qAsConst(toCreate)) {
        if (!QDir().mkdir(folder)) {
            rollBack(0);
            *reason = QStringLiteral("cannot create folder %1").arg(quoted(folder)) + rolledBack();
            return false;
        }
        created << folder;
    }
    for (int i = 0; i < moves.size(); ++i) {
        QString why;
        if (!replaceFile(moves.at(i).staged, moves.at(i).target, &why)) {
            const QString message
                = QStringLiteral("cannot replace %1: %2").arg(quoted(moves.at(i).target), why);
            rollBack(i);
            *reason = message + rolledBack();
            return false;
        }
    }
    return true;
}
