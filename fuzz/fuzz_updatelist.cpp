// Update-list evaluation: any answer from the server ends in exactly one
// report, and the versions it keeps are newer than the installed one, unique
// and ascending.
#include "zelkorversion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) { }

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    // The worker logs every evaluation; keep millions of lines off the disk.
    QDir::setCurrent(dir.path());
    QFile::link(QStringLiteral("/dev/null"), QStringLiteral("updateLog.txt"));
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ZelkorVersion worker;
    int reports = 0;
    int code = -1;
    QObject::connect(&worker, &ZelkorVersion::sigMsgInfoCheck, [&](int c) {
        ++reports;
        code = c;
    });
    QObject::connect(&worker, &ZelkorVersion::sigMsgUpdateEnd, [&](bool) { ++reports; });
    const QByteArray answer(reinterpret_cast<const char*>(data), int(size));
    const bool evaluated = worker.getEnd(true, answer);

    if (reports != 1 || evaluated != (code >= 0) || code > 2)
        abort();
    const QList<ZelkorVersionStru> versions = worker.pendingVersions();
    if ((code > 0) != !versions.isEmpty())
        abort();
    for (int i = 0; i < versions.size(); ++i) {
        if (!(versions.at(i) > ZelkorVersionStru())
            || (i > 0 && !(versions.at(i - 1) < versions.at(i))))
            abort();
    }
    if (!versions.isEmpty() && worker.targetVersion() != versions.constLast().versionString())
        abort();
    return 0;
}
