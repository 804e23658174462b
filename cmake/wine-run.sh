#!/bin/sh
# CTest's runner for the Windows programs: wine-run.sh PREFIX LOADER PROGRAM [ARGS], where LOADER is
# wine (32-bit) or /usr/lib/wine/wine64: Debian's wine picks the 32-bit loader whenever wine32 is
# installed, so a 64-bit run names its loader, which Wine's own tools find through WINELOADER.
# Wine drops the QT_* variables it is given and hands on WINEQT_* as QT_*;
# Qt Test writes to Windows' debug channel unless told to use stderr.
export WINEPREFIX="$1" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
loader=$2
shift 2
[ "$loader" = wine ] || export WINELOADER="$loader"
export QT_FORCE_STDERR_LOGGING=1
# The offscreen platform reads its fonts from a folder; Wine's prefix has none.
export QT_QPA_FONTDIR="${QT_QPA_FONTDIR:-Z:/usr/share/fonts/truetype/dejavu}"
for var in $(env | sed -n 's/^\(QT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    export "WINE$var=$(printenv "$var")"
done
[ -f "$WINEPREFIX/system.reg" ] || { "$loader" wineboot -i && wineserver -w; } >/dev/null 2>&1
exec "$loader" "$@"
