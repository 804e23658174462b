#ifndef UPDATE_PUBLISH_STAGING_H
#define UPDATE_PUBLISH_STAGING_H

#include <QList>
#include <QString>
#include <QTemporaryDir>

// Files are written to a staging folder beside their targets and then renamed
// into place, in the order they were added: a rename on one file system needs
// no space and cannot leave a half-written file. If a move fails, the files
// already moved and the folders created are put back.
class Staging
{
public:
    explicit Staging(const QString& folder);

    bool isValid() const { return dir.isValid(); }
    QString errorString() const { return dir.errorString(); }
    QString filePath(const QString& name) const { return dir.filePath(name); }

    // Whatever target holds now is kept for putting it back.
    bool add(const QString& staged, const QString& target, QString* reason);
    // Putting back removes target.
    void addNew(const QString& staged, const QString& target);
    bool moveIntoPlace(QString* reason);

private:
    struct Move
    {
        QString staged;
        QString target;
        QString backup;
        bool replaces = false;
    };

    QTemporaryDir dir;
    QList<Move> moves;
};

#endif // UPDATE_PUBLISH_STAGING_H
