#ifndef JOURNAL_H
#define JOURNAL_H

#include "updaterules.h"

#include <QString>
#include <QVector>

// One file of an update as staged: its path as listed, its size and SHA-256.
struct StagedFile
{
    QString path;
    SignedFile content;
    bool hadOld = false; // found by the commit: an installed copy goes aside
    bool earlierRun = false; // staged by an earlier run: hashed again before the commit
};

// What the next start needs to finish a commit cut off: the transaction's id (which names where
// old copies are set aside), the version it installs, and each file.
struct UpdateJournal
{
    QString id;
    QString version;
    QVector<StagedFile> entries;
};

// Writes journal to path, entry by entry, and puts it on the disk of installDir.
bool writeJournalFile(
    const QString& path, const UpdateJournal& journal, const QString& installDir, QString* error);
// False when path holds no whole journal with safe paths.
bool readJournalFile(const QString& path, UpdateJournal* journal);

#endif // JOURNAL_H
