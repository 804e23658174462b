#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>

namespace TestSupport {

namespace {

bool failWith(QString *error, const QString &message)
{
    if (error)
        *error = message;
    qWarning("%s", qPrintable(message));
    return false;
}

} // namespace

bool setFakeInstructions(const QString &dir, const QString &name, const QStringList &instructions,
                         QString *error)
{
    QByteArray script;
    for (const QString &instruction : instructions)
        script += instruction.toUtf8() + '\n';
    return writeFile(QDir(dir).filePath(name + QStringLiteral(".fake")), script, error);
}

bool installFakeProgram(const QString &dir, const QString &name, const QStringList &instructions,
                        QString *error)
{
    if (!QDir().mkpath(dir))
        return failWith(error, QStringLiteral("cannot create folder %1").arg(dir));
    const QString target = QDir(dir).filePath(name);
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return failWith(error, QStringLiteral("cannot replace %1").arg(target));
    QFile source(QStringLiteral(TESTSUPPORT_FAKEPROGRAM_PATH));
    if (!source.copy(target)) {
        return failWith(error, QStringLiteral("cannot copy %1 to %2: %3")
                                   .arg(source.fileName(), target, source.errorString()));
    }
    if (!QFile::setPermissions(target, QFile::permissions(target) | QFile::ReadOwner | QFile::ExeOwner))
        return failWith(error, QStringLiteral("cannot make %1 executable").arg(target));
    return setFakeInstructions(dir, name, instructions, error);
}

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("cannot open %s: %s", qPrintable(path), qPrintable(file.errorString()));
        if (ok)
            *ok = false;
        return QByteArray();
    }
    const QByteArray data = file.readAll();
    if (ok)
        *ok = file.error() == QFileDevice::NoError;
    return data;
}

bool writeFile(const QString &path, const QByteArray &data, QString *error)
{
    const QString parent = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(parent))
        return failWith(error, QStringLiteral("cannot create folder %1").arg(parent));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failWith(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    if (file.write(data) != data.size() || !file.commit())
        return failWith(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

QStringList logMessages(const QString &dir)
{
    QFile file(dir + QStringLiteral("/updateLog.txt"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    QTextStream stream(&file);
    while (!stream.atEnd())
        messages << stream.readLine().mid(22);
    return messages;
}

bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

} // namespace TestSupport
