#include "updatelog.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>
#include <QTextStream>

UpdateLog::UpdateLog(const QString& fileName)
    : file(fileName)
{
    // UTF-8 with a byte-order mark reads right in Notepad on every code page.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        qDebug() << "cannot open" << file.fileName() << file.errorString();
    else
        file.write("\xEF\xBB\xBF");
}

void UpdateLog::write(const QString& message)
{
    QMutexLocker locker(&mutex);
    if (!file.isOpen())
        return;
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << QDateTime::currentDateTime().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss:  "))
           << message << '\n';
}
