#ifndef TESTSUPPORT_TESTSUPPORT_H
#define TESTSUPPORT_TESTSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace TestSupport {

// Copies fakeprogram to dir/name (executable) and writes its script
// dir/name + ".fake", one instruction per entry.
bool installFakeProgram(const QString &dir, const QString &name, const QStringList &instructions,
                        QString *error = nullptr);

// Replaces the script of a fake program already installed as dir/name.
bool setFakeInstructions(const QString &dir, const QString &name, const QStringList &instructions,
                         QString *error = nullptr);

// Whole content of a file; empty, with *ok false and a warning, if it can't be read.
QByteArray readAll(const QString &path, bool *ok = nullptr);

// Writes data to path, replacing it and creating missing parent folders.
bool writeFile(const QString &path, const QByteArray &data, QString *error = nullptr);

// The messages of dir/updateLog.txt, without their time stamps.
QStringList logMessages(const QString &dir);

// Sets or clears a file attribute ("+i", "-i"); false where chattr cannot.
bool chattr(const QString &flag, const QString &path);

} // namespace TestSupport

#endif // TESTSUPPORT_TESTSUPPORT_H
