#ifndef UPDATE_PUBLISH_SIGNING_H
#define UPDATE_PUBLISH_SIGNING_H

#include <QString>

// Checks that keyFile can be read and finds minisign on the search path.
bool findSigner(const QString& keyFile, QString* minisign, QString* reason);

// Writes minisign's signature of the manifest of version to signature.
bool signManifest(const QString& minisign, const QString& keyFile, const QString& version,
    const QString& manifest, const QString& signature, QString* reason);

#endif // UPDATE_PUBLISH_SIGNING_H
