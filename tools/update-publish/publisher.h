#ifndef UPDATE_PUBLISH_PUBLISHER_H
#define UPDATE_PUBLISH_PUBLISHER_H

#include "folderscan.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

struct PublishRequest
{
    QString rootDir;
    QString version;
    bool enforce = false;
    QString reason;
    QString releaseDir;
    QString signKey; // a minisign secret key: sign the manifest with it
};

struct PublishWarning
{
    QString headline;
    QStringList paths;
};

// Adds one release to an update server tree. prepare() reads and checks
// everything and writes nothing; publish() then changes the tree, and puts
// it back as it was if it cannot finish.
class Publisher
{
public:
    explicit Publisher(const PublishRequest& request);

    bool prepare();
    bool publish();

    QString errorString() const { return error; }
    QList<PublishWarning> warnings() const { return warningList; }
    QStringList changedPaths() const { return changed; }

private:
    bool fail(const QString& message);
    bool checkVersion();
    bool checkTreeLayout();
    bool readUpdateList();
    bool checkManifestAbsent();
    bool scanRelease();
    bool checkWindowsNames();
    bool compareWithServer();
    bool checkWritable();
    bool checkSigning();
    void collectWarnings();
    bool stageAndMove(const QString& packages);
    QByteArray updateListWithNewEntry() const;

    QString packagesDir() const;
    QString binDir() const;
    QString versionDir() const;
    QString updateListPath() const;
    QString manifestPath() const;

    PublishRequest request;
    QString error;
    QList<PublishWarning> warningList;
    QJsonObject updateList;
    QJsonValue follows; // the newest version listed before this one, or null
    QList<PublishFile> releaseFiles; // everything found, skipped ones too
    QList<PublishFile> listedFiles;
    QStringList skipped;
    QList<PublishFile> changedFiles;
    QStringList changed;
    QString minisign;
};

#endif // UPDATE_PUBLISH_PUBLISHER_H
