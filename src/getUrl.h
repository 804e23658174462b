#ifndef GETURL_H
#define GETURL_H

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

// Where a program started by bare name is found: the given folder first, as
// Windows does for the updater's own folder, then the platform's search path.
QString findProgram(const QString& name, const QString& dir);

// Fetches one URL by running the fetch tool "updateCurl.exe" and reports once
// through getEnd: true with the tool's output, or false after the time-out.
class getUrl : public QObject
{
    Q_OBJECT

public:
    explicit getUrl(QObject* parent = nullptr);
    ~getUrl() override;

    void get(QString url, int timeoutMs);
    // Why the last fetch failed: the tool's last line of standard error, the time-out, or why the
    // tool could not start; empty when nothing was said.
    QString failureReason() const;
    // Folder searched first for the fetch tool; empty means the updater's own.
    void setProgramDir(const QString& dir) { programDir = dir; }

signals:
    void getEnd(bool, QByteArray);

public slots:
    void finished(int, QProcess::ExitStatus);
    void readReady();
    void timeout();

private:
    void startFailed(QProcess::ProcessError error);
    void report(bool ok);
    void takeErrors();

    QProcess* process;
    QTimer* timer;
    QByteArray output;
    QByteArray errors;
    QString reason;
    QMutex resultMutex;
    QString programDir;
    bool pending = false;
};

#endif // GETURL_H
