#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QString>

// The update log: started afresh at every run, one time-stamped line per step, written from
// either thread. While held, lines gather and reach the file when flushDue() finds the oldest a
// tenth of a second old: thousands of small files would otherwise cost several writes each.
class UpdateLog
{
public:
    explicit UpdateLog(const QString& fileName);
    ~UpdateLog();
    void write(const QString& message);
    void hold(bool on);
    void flushDue();

private:
    void flush();

    QFile file;
    QMutex mutex;
    QByteArray pending;
    QElapsedTimer pendingSince;
    bool held = false;
    qint64 stampSecond = -1;
    QByteArray stamp;
};

#endif // UPDATELOG_H
