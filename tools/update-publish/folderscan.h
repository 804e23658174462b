#ifndef UPDATE_PUBLISH_FOLDERSCAN_H
#define UPDATE_PUBLISH_FOLDERSCAN_H

#include <QList>
#include <QString>
#include <QStringList>

struct PublishFile
{
    QString path; // relative to the installation folder, "/"-separated
    QString source;
};

struct FolderScan
{
    QList<PublishFile> files;
    QStringList problems; // quoted paths, each with what is wrong with it
};

// Files only, following links; anything else is a problem, never dropped quietly.
FolderScan scanFolder(const QString& folder);

#endif // UPDATE_PUBLISH_FOLDERSCAN_H
