#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QFile>
#include <QMutex>
#include <QString>

// The update log: started afresh at every run, one time-stamped line per step, written from
// either thread.
class UpdateLog
{
public:
    explicit UpdateLog(const QString& fileName);
    void write(const QString& message);

private:
    QFile file;
    QMutex mutex;
};

#endif // UPDATELOG_H
