// Manifest reading with the path check: no accepted path may lead outside the
// installation folder, whatever the server sends.
#include "updaterules.h"

#include <QDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString root = QStringLiteral("/install/root");
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    for (const QString& path : manifestEntries(body)) {
        if (!isSafeRelativePath(path))
            continue;
        const QString local = QDir::cleanPath(root + QLatin1Char('/') + path);
        if (!local.startsWith(root + QLatin1Char('/')) || local.contains(QLatin1String("/../"))
            || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':')))
            abort();
    }
    return 0;
}
