#!/usr/bin/env bash
# Installs what the build and the tests need, then configures, builds and runs
# the whole test suite. Extra arguments go to CMake, e.g.
#   BUILD_DIR=build-asan ./test.sh -DUPDATER_SANITIZERS=address,undefined
set -euo pipefail
cd "$(dirname "$0")"

tools/ensure-packages.sh cmake make g++ qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev \
    nginx-light e2fsprogs libsodium-dev minisign

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900
