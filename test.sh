#!/usr/bin/env bash
# Installs what the build and the tests need, then configures, builds and runs
# the whole test suite. Extra arguments go to CMake, e.g.
#   BUILD_DIR=build-asan ./test.sh -DUPDATER_SANITIZERS=address,undefined
# With --windows first: the same for Windows (MinGW-w64, static Qt and curl from
# tools/windows-deps.sh), the tests run under Wine; BUILD_DIR defaults to
# build-windows (the 64-bit build goes beside it, with 64 appended);
# --windows --win64 runs the suites in the 64-bit build even where 32-bit Wine
# starts; UPDATER_CTEST_EXCLUDE=REGEX leaves tests out.
#   UPDATER_WINDOWS_DEPS=../shared/windows-deps ./test.sh --windows
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

# Can this kernel start 32-bit x86 programs? A three-instruction program tells.
runs_32bit() {
    local dir
    dir=$(mktemp -d)
    printf '.globl _start\n_start:\nmovl $1,%%eax\nxorl %%ebx,%%ebx\nint $0x80\n' >"$dir/t.s"
    as --32 "$dir/t.s" -o "$dir/t.o" && ld -m elf_i386 "$dir/t.o" -o "$dir/t" && "$dir/t"
    local started=$?
    rm -rf "$dir"
    return $started
} 2>/dev/null

# build_windows HOST BUILD [CMAKE ARGS]: configures and builds for one Windows architecture; only
# the targets $targets names, when it names any.
build_windows() {
    local host=$1 build=$2 deps
    shift 2
    deps=$(tools/windows-deps.sh "$host")
    # What an earlier configure found in another dependencies folder is stale.
    grep -qsx "UPDATER_WINDOWS_DEPS_DIR:PATH=$deps" "$build/CMakeCache.txt" || rm -f "$build/CMakeCache.txt"
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$host.cmake" \
        -DUPDATER_WINDOWS_DEPS_DIR="$deps" -DCMAKE_BUILD_TYPE=Release \
        -DUPDATER_SERVER_URL=http://127.0.0.1 "$@"
    cmake --build "$build" -j2 ${targets:+--target $targets}
}

# run_windows_suites BUILD: every suite under Wine; fails when none ran.
run_windows_suites() {
    local log status=0
    log=$(mktemp)
    # Ends whatever the tests left running in the build's Wine prefix.
    trap "WINEPREFIX='$(cd "$1" && pwd)/wine' wineserver -k 2>/dev/null || true" EXIT
    (cd "$1" && ctest --output-on-failure --timeout 900 \
        ${UPDATER_CTEST_EXCLUDE:+-E "$UPDATER_CTEST_EXCLUDE"}) | tee "$log" || status=$?
    # A skipped suite is a failed suite: the Windows checks on the build host alone are not enough.
    if ! grep -Eq 'Test +#[0-9]+: (tst_[^ ]*) .* Passed' "$log"; then
        echo "test.sh: no suite ran under Wine" >&2
        status=1
    fi
    rm -f "$log"
    return "$status"
}

# --windows: the 32-bit build and its checks on the build host, then every suite under Wine: 32-bit
# where this kernel starts Wine's 32-bit loader, otherwise (or with --win64) a 64-bit build of the
# same sources under Wine's 64-bit loader.
if [ "${1:-}" = --windows ]; then
    shift
    win64=
    [ "${1:-}" = --win64 ] && { win64=1; shift; }
    tools/ensure-packages.sh binutils
    packages=(cmake make g++ perl dpkg-dev xz-utils autoconf automake libtool pkg-config
        gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix
        g++-mingw-w64-x86-64-posix wine wine64 fonts-dejavu-core minisign libyajl-dev nginx-light
        tinyproxy openssl)
    # The i386 packages only where they can run: elsewhere their index is a needless risk.
    runs_32bit && packages+=(wine32:i386 libgnutls30:i386)
    tools/ensure-packages.sh "${packages[@]}"
    gbk_locale
    build=${BUILD_DIR:-build-windows}
    if [ -z "$win64" ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        build_windows i686-w64-mingw32 "$build" "$@"
        run_windows_suites "$build"
        exit
    fi
    [ -n "$win64" ] || echo "test.sh: Wine's 32-bit loader cannot start on this machine;" \
        "the suites run in a 64-bit build under Wine's 64-bit loader" >&2
    # The 32-bit programs still build and pass the host checks; their suites would not run.
    targets="updater updater_signed updateCurl" build_windows i686-w64-mingw32 "$build" "$@"
    (cd "$build" && ctest --output-on-failure -R '^windows_')
    build_windows x86_64-w64-mingw32 "${build}64" "$@"
    run_windows_suites "${build}64"
    exit
fi

tools/ensure-packages.sh cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev \
    libcpp-httplib-dev e2fsprogs libsodium-dev libssl-dev minisign libyajl-dev nginx-light tinyproxy \
    openssl

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900
