#include "getUrl.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextCodec>
#include <QTimer>

#include <cstdio>

namespace {

// JSON is UTF-8, and Notepad starts it with a byte-order mark; a list stored
// in the local code page (GBK, say) still reads.
QByteArray asUtf8(QByteArray bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QTextCodec::ConverterState state;
    QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return bytes;
    return QString::fromLocal8Bit(bytes).toUtf8();
}

} // namespace

QString findProgram(const QString& name, const QString& dir)
{
    const QString local
        = QDir(dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir).absoluteFilePath(name);
    const QFileInfo info(local);
    if (info.isFile() && info.isExecutable())
        return local;
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? name : found;
}

getUrl::getUrl(QObject* parent)
    : QObject(parent)
    , process(new QProcess(this))
    , timer(new QTimer(this))
{
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
        &getUrl::finished);
    connect(process, &QProcess::readyRead, this, &getUrl::readReady);
    connect(process, &QProcess::errorOccurred, this, &getUrl::startFailed, Qt::QueuedConnection);
    connect(timer, &QTimer::timeout, this, &getUrl::timeout);
    connect(process, &QProcess::readyReadStandardError, this, &getUrl::takeErrors);
}

getUrl::~getUrl()
{
    // A tool still running is ended here; its end reports to nobody.
    process->disconnect(this);
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(1000);
    }
    delete process;
    if (resultMutex.tryLock())
        resultMutex.unlock();
}

void getUrl::get(QString url, int timeoutMs)
{
    qDebug() << "getUrl::get" << url << timeoutMs;
    output.clear();
    errors.clear();
    reason.clear();
    pending = true;
    process->start(
        findProgram(QStringLiteral("updateCurl.exe"), programDir), {url}, QIODevice::ReadWrite);
    if (timeoutMs > 0)
        timer->start(timeoutMs);
}

void getUrl::readReady()
{
    output += process->readAll();
}

void getUrl::finished(int, QProcess::ExitStatus)
{
    qDebug() << "getUrl finished!!!";
    takeErrors();
    report(true);
}

void getUrl::timeout()
{
    qDebug() << "getUrl timeout!!!";
    if (process->isOpen())
        qDebug() << "timeout getUrl is opend!!!";
    else
        qDebug() << "timeout getUrl is not opend!!!";
    if (pending)
        reason = QStringLiteral("no answer within %1 ms").arg(timer->interval());
    report(false);
}

void getUrl::startFailed(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    qDebug() << "getUrl cannot start" << process->program() << process->errorString();
    if (pending)
        reason = process->errorString();
    // Nothing will ever finish: report now rather than at the time-out.
    report(false);
}

void getUrl::report(bool ok)
{
    // One report per fetch: a tool killed after the time-out has had its say.
    if (!pending || !resultMutex.tryLock())
        return;
    pending = false;
    timer->stop();
    if (ok) {
        output = asUtf8(output);
        emit getEnd(true, output);
    } else {
        process->kill();
        emit getEnd(false, QByteArray());
    }
    resultMutex.unlock();
}

void getUrl::takeErrors()
{
    // The tool's one-line reason for a failure goes on to our own standard error too.
    const QByteArray text = process->readAllStandardError();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    errors += text;
}

QString getUrl::failureReason() const
{
    if (!reason.isEmpty())
        return reason;
    const QList<QByteArray> lines = errors.trimmed().split('\n');
    return QString::fromLocal8Bit(lines.constLast().trimmed());
}
