#!/usr/bin/env bash
# windows-deps.sh [HOST]: prints a folder holding the static Windows prefixes NAME-HOST of qt5,
# curl, sodium, yajl and httplib (the tests' header), for HOST i686-w64-mingw32 (the default, 32-bit) or
# x86_64-w64-mingw32. With UPDATER_WINDOWS_DEPS naming a folder of archives laid out like
# ../shared/windows-deps, or one archive in it, Qt and curl come from the archive for HOST there;
# otherwise they are built from Debian's source packages by the recipe in that folder's README, as
# are the others. Cached outside the build folder, keyed by the archive's checksum or the source
# versions. Needs the packages test.sh --windows installs; sets the compilers to the posix thread
# model, which the prebuilt archives were built with.
set -euo pipefail
cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavrix-windows-deps
host=${1:-i686-w64-mingw32}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
log() { echo "== $*" >&2; }

# Source version of a Debian package, from the .dsc that apt-get source fetches.
version_of() {
    apt-get source --print-uris "$1" 2>/dev/null | awk '$2 ~ /\.dsc$/ {print $2; exit}' \
        | sed 's/^[^_]*_//; s/\.dsc$//'
}

ensure_deb_src() {
    [ -n "$(version_of curl)" ] && return
    log "adding Debian's source packages to apt"
    local apt=/etc/apt
    [ ! -f $apt/sources.list.d/debian.sources ] || sed 's/^Types: deb$/Types: deb-src/' \
        $apt/sources.list.d/debian.sources | $sudo tee $apt/sources.list.d/tavrix-src.sources >/dev/null
    [ ! -f $apt/sources.list ] || sed -n 's/^deb /deb-src /p' $apt/sources.list \
        | $sudo tee $apt/sources.list.d/tavrix-src.list >/dev/null
    # A mirror in the middle of a sync fails one index; the sources may still be there.
    $sudo apt-get update -q >&2 || echo "windows-deps.sh: apt-get update failed in part" >&2
}

# Unpacks a source package (Debian's patches applied) in the current folder.
fetch() {
    apt-get source -q "$1" >&2
    find . -maxdepth 1 -mindepth 1 -type d -name "$1*" | head -1
}

build_qt() {
    local src
    src=$(fetch qtbase-opensource-src)
    mkdir build-qt
    (cd build-qt && "../$src/configure" -xplatform win32-g++ \
        -device-option CROSS_COMPILE=$host- -prefix "$1/qt5-$host" -opensource \
        -confirm-license -release -static -static-runtime -optimize-size -nomake examples \
        -nomake tests -no-opengl -no-direct2d -no-feature-tabletevent -no-dbus -no-openssl \
        -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype -no-sql-sqlite \
        -no-sql-odbc -no-icu -no-fontconfig && make -j2 && make install) >&2
    strip "$1/qt5-$host"/bin/{moc,uic,rcc,qmake}
}

build_curl() {
    local src
    src=$(fetch curl)
    {
        cmake -S "$src" -B build-curl -DCMAKE_SYSTEM_NAME=Windows \
            -DCMAKE_C_COMPILER=$host-gcc-posix -DCMAKE_RC_COMPILER=$host-windres \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$1/curl-$host" \
            -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
            -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF -DUSE_LIBIDN2=OFF \
            -DUSE_NGHTTP2=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
            -DENABLE_UNICODE=ON -DCURL_DISABLE_LDAP=ON
        cmake --build build-curl -j2 && cmake --install build-curl
    } >&2
}

build_sodium() {
    local src
    src=$(fetch libsodium)
    (cd "$src" && autoreconf -fi && ./configure --host=$host --prefix="$1/sodium-$host" \
        --disable-shared --enable-static && make -j2 && make install) >&2
    sed -i 's|^prefix=.*|prefix=${pcfiledir}/../..|' "$1/sodium-$host/lib/pkgconfig/libsodium.pc"
}

# yajl's sources compiled into a static library; its CMake build wants more than it is worth.
build_yajl() {
    local src prefix=$1/yajl-$host part file version=()
    src=$(fetch yajl)
    mkdir -p "$prefix/include/yajl" "$prefix/lib" objects
    cp "$src"/src/api/*.h "$prefix/include/yajl/"
    for part in MAJOR MINOR MICRO; do
        version+=(-e "s/\${YAJL_$part}/$(sed -n "s/^SET (YAJL_$part \([0-9]*\))$/\1/p" "$src/CMakeLists.txt")/")
    done
    sed "${version[@]}" "$src/src/api/yajl_version.h.cmake" > "$prefix/include/yajl/yajl_version.h"
    for file in "$src"/src/*.c; do
        $host-gcc-posix -O2 -DNDEBUG -I"$prefix/include" -c "$file" \
            -o "objects/$(basename "$file" .c).o" >&2
    done
    $host-ar rcs "$prefix/lib/libyajl_s.a" objects/*.o
}

# The tests' loopback server: the single header, which Debian builds into a
# library, with a pkg-config file like Debian's.
build_httplib() {
    local src prefix=$1/httplib-$host
    src=$(fetch cpp-httplib)
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp "$src/httplib.h" "$prefix/include/"
    printf '%s\n' 'prefix=${pcfiledir}/../..' 'Name: cpp-httplib' 'Description: HTTP library' \
        "Version: ${src##*httplib-}" 'Cflags: -I${prefix}/include' 'Libs: -lws2_32' \
        > "$prefix/lib/pkgconfig/cpp-httplib.pc"
}

# Runs "$@" in a scratch folder and moves the result into place only when done,
# so an interrupted build is never taken for a cached one.
cached() {
    local dir=$1
    shift
    [ -d "$dir" ] && return
    log "building $dir"
    rm -rf "$dir.work" "$dir.part"
    mkdir -p "$dir.work" "$dir.part"
    (cd "$dir.work" && "$@" "$dir.part")
    rm -rf "$dir.work"
    mv "$dir.part" "$dir"
}

# Qt's recipe calls the compilers by their plain names.
for tool in gcc g++; do
    posix=$(readlink -f /usr/bin/$host-$tool-posix)
    [ "$(readlink -f /usr/bin/$host-$tool)" = "$posix" ] \
        || $sudo update-alternatives --set $host-$tool /usr/bin/$host-$tool-posix >&2
done
ensure_deb_src
# The archive for host in the folder given, or beside the archive given; one with HTTP/2 first.
find_archive() {
    local given folder=$1 each
    given=$(realpath "$1")
    [ -d "$given" ] || folder=$(dirname "$given")
    if [ -f "$given" ] && [[ $(basename "$given") == *-$host-static.tar.xz ]]; then
        echo "$given"
        return
    fi
    for each in "$folder"/*nghttp2*-$host-static.tar.xz "$folder"/*-$host-static.tar.xz; do
        [ -f "$each" ] && { realpath "$each"; return; }
    done
    echo "windows-deps.sh: no archive for $host in $folder" >&2
    exit 1
}

if [ -n "${UPDATER_WINDOWS_DEPS:-}" ]; then
    archive=$(find_archive "$UPDATER_WINDOWS_DEPS")
    dir=$cache/$(basename "$archive" .tar.xz)-$(sha256sum "$archive" | cut -c1-12)
    unpack() { tar -xJf "$archive" -C "$1"; }
    cached "$dir" unpack
else
    dir=$cache/qt-$(version_of qtbase-opensource-src)-curl-$(version_of curl)
    both() { build_qt "$1"; build_curl "$1"; }
    cached "$dir" both
fi
for name in sodium:libsodium yajl:yajl httplib:cpp-httplib; do
    extra=$cache/${name%%:*}-$(version_of ${name#*:})-$host
    if [ ! -d "$dir/${name%%:*}-$host" ] || [ -L "$dir/${name%%:*}-$host" ]; then
        cached "$extra" build_${name%%:*}
        ln -sfn "$extra/${name%%:*}-$host" "$dir/${name%%:*}-$host"
    fi
done
echo "$dir"
