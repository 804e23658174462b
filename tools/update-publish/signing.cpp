#include "signing.h"

#include "quoting.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

bool findSigner(const QString& keyFile, QString* minisign, QString* reason)
{
    QFile key(keyFile);
    if (!key.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("cannot read the signing key %1: %2")
                      .arg(quoted(keyFile), key.errorString());
        return false;
    }
    *minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    if (minisign->isEmpty()) {
        *reason = QStringLiteral("--sign-key needs minisign on the search path");
        return false;
    }
    return true;
}

// minisign asks for the key's password on our terminal.
bool signManifest(const QString& minisign, const QString& keyFile, const QString& version,
    const QString& manifest, const QString& signature, QString* reason)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    const QString comment = QStringLiteral("timestamp:%1\tfile:%2.json")
                                .arg(QDateTime::currentSecsSinceEpoch())
                                .arg(version);
    process.start(minisign,
        {QStringLiteral("-S"), QStringLiteral("-s"), keyFile, QStringLiteral("-m"), manifest,
            QStringLiteral("-x"), signature, QStringLiteral("-t"), comment});
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0 || !QFileInfo(signature).isFile()) {
        *reason
            = QStringLiteral("minisign could not sign the manifest with %1").arg(quoted(keyFile));
        return false;
    }
    return true;
}
