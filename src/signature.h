#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QList>
#include <QString>

// The minisign public keys compiled in (several while one is being replaced); a build without any
// installs unsigned updates, as ever.
const QList<QByteArray>& trustedKeys();

// Why signature, the text of a minisign .minisig file, does not show that the
// holder of one of publicKeys (each the base64 line of a minisign .pub file)
// signed body; empty when it does. Needs a build with UPDATER_PUBLIC_KEY.
QString signatureProblem(
    const QByteArray& body, const QByteArray& signature, const QList<QByteArray>& publicKeys);

#endif // SIGNATURE_H
