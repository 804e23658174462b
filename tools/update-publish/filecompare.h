#ifndef UPDATE_PUBLISH_FILECOMPARE_H
#define UPDATE_PUBLISH_FILECOMPARE_H

#include "folderscan.h"

#include <QList>
#include <QString>
#include <QStringList>

struct BinComparison
{
    QList<PublishFile> changed; // new or different, sorted by path
    QStringList conflicts;
    QStringList unreadable;
};

// Each file against what bin holds at its path.
BinComparison compareWithBin(const QList<PublishFile>& files, const QString& bin);

#endif // UPDATE_PUBLISH_FILECOMPARE_H
