// Manifest reading with the path check: no accepted path may lead outside the
// installation folder, whatever the server sends.
#include "manifestreader.h"

#include <QDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString root = QStringLiteral("/install/root");
    ManifestReader reader;
    reader.feed(reinterpret_cast<const char*>(data), size);
    reader.finish();
    for (const QString& path : reader.entries()) {
        if (!isSafeRelativePath(path))
            continue;
        const QString local = QDir::cleanPath(root + QLatin1Char('/') + path);
        if (!local.startsWith(root + QLatin1Char('/')) || local.contains(QLatin1String("/../"))
            || path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':')))
            abort();
    }
    return 0;
}
