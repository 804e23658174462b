// Version parsing: a parsed version prints back to text that parses to the
// same numbers, and a failed parse leaves the numbers it had not reached.
#include "updaterules.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    ZelkorVersionStru version;
    version.major = 11;
    version.minor = 22;
    version.patch = 33;
    const bool ok = version.parseVersion(text);
    if (ok) {
        ZelkorVersionStru again;
        if (!again.parseVersion(version.versionString()) || !(again == version))
            abort();
    } else if (text.split(QLatin1Char('.')).size() != 3
        && (version.major != 11 || version.minor != 22 || version.patch != 33)) {
        abort();
    }
    return 0;
}
