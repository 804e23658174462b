#include "updatelog.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>

UpdateLog::UpdateLog(const QString& fileName)
    : file(fileName)
{
    // UTF-8 with a byte-order mark reads right in Notepad on every code page.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        qDebug() << "cannot open" << file.fileName() << file.errorString();
    else
        file.write("\xEF\xBB\xBF");
}

UpdateLog::~UpdateLog()
{
    QMutexLocker locker(&mutex);
    flush();
}

void UpdateLog::write(const QString& message)
{
    QMutexLocker locker(&mutex);
    if (!file.isOpen())
        return;
    // The local time is looked up once a second, not once a line: each lookup reads the zone.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now / 1000 != stampSecond) {
        stampSecond = now / 1000;
        stamp = QDateTime::fromMSecsSinceEpoch(stampSecond * 1000)
                    .toString(QStringLiteral("dd.MM.yyyy hh:mm:ss:  "))
                    .toUtf8();
    }
    if (pending.isEmpty())
        pendingSince.start();
    pending += stamp + message.toUtf8() + '\n';
    if (!held || pending.size() >= 64 * 1024)
        flush();
}

void UpdateLog::hold(bool on)
{
    QMutexLocker locker(&mutex);
    held = on;
    if (!held)
        flush();
}

void UpdateLog::flushDue()
{
    QMutexLocker locker(&mutex);
    if (!pending.isEmpty() && pendingSince.elapsed() >= 100)
        flush();
}

void UpdateLog::flush()
{
    if (!pending.isEmpty() && file.isOpen()) {
        file.write(pending);
        file.flush();
    }
    pending.clear();
}
