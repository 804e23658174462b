#!/usr/bin/env bash
# Installs what the build and the tests need, then configures, builds and runs
# the whole test suite. Extra arguments go to CMake, e.g.
#   BUILD_DIR=build-asan ./test.sh -DUPDATER_SANITIZERS=address,undefined
# With --windows first: the same for 32-bit Windows (MinGW-w64, static Qt and
# curl from tools/windows-deps.sh), the tests run under Wine; BUILD_DIR
# defaults to build-windows; UPDATER_CTEST_EXCLUDE=REGEX leaves tests out.
#   UPDATER_WINDOWS_DEPS=../shared/windows-deps/<archive> ./test.sh --windows
set -euo pipefail
cd "$(dirname "$0")"

# Under Wine the end-to-end rows run again under GBK, the code
# page of a Chinese Windows; Wine takes it from LC_ALL, which needs the locale.
gbk_locale() {
    tools/ensure-packages.sh locales
    locale -a | grep -qx zh_CN.gbk && return
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    grep -qx 'zh_CN.GBK GBK' /etc/locale.gen || echo 'zh_CN.GBK GBK' | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
}

if [ "${1:-}" = --windows ]; then
    shift
    tools/ensure-packages.sh cmake make g++ perl dpkg-dev xz-utils autoconf automake libtool \
        pkg-config gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix wine wine32:i386 \
        fonts-dejavu-core minisign
    gbk_locale
    deps=$(tools/windows-deps.sh)
    build=${BUILD_DIR:-build-windows}
    # What an earlier configure found in another dependencies folder is stale.
    grep -qsx "UPDATER_WINDOWS_DEPS_DIR:PATH=$deps" "$build/CMakeCache.txt" || rm -f "$build/CMakeCache.txt"
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" \
        -DUPDATER_WINDOWS_DEPS_DIR="$deps" -DCMAKE_BUILD_TYPE=Release \
        -DUPDATER_SERVER_URL=http://127.0.0.1 "$@"
    cmake --build "$build" -j2
    cd "$build"
    # Ends whatever the tests left running in the build's Wine prefix.
    trap 'WINEPREFIX="$PWD/wine" wineserver -k 2>/dev/null || true' EXIT
    # Wine's loader is a 32-bit Linux program: a kernel that cannot run those leaves only the checks
    # made on the build host (imports, manifest), which is said loudly rather than failed on.
    if ! wine_start=$(wine --version 2>&1); then
        echo "test.sh: this machine cannot start Wine ($wine_start);" \
            "only the Windows checks that need no Wine run" >&2
        exec ctest --output-on-failure -R '^windows_'
    fi
    ctest --output-on-failure --timeout 900 ${UPDATER_CTEST_EXCLUDE:+-E "$UPDATER_CTEST_EXCLUDE"}
    exit
fi

tools/ensure-packages.sh cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev \
    libcpp-httplib-dev e2fsprogs libsodium-dev libssl-dev minisign

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900
