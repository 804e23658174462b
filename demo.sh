#!/usr/bin/env bash
# Shows the updater at work in one command: builds it for a loopback server,
# publishes two sample releases (1.1.0, and 1.2.0 enforced) over an installed
# 1.0.0, serves them with Python's http.server, runs update.exe, and prints
# the update log, the new installed version and the sample product's output.
# DEMO_PORT (default 18950) is the loopback port compiled into this build.
set -euo pipefail
cd "$(dirname "$0")"
repo=$(pwd)
port=${DEMO_PORT:-18950}
build=$repo/build-demo
work=$repo/.demo

tools/ensure-packages.sh cmake make g++ qtbase5-dev qtbase5-dev-tools libcurl4-openssl-dev \
    python3

echo "== building a Release for http://127.0.0.1:$port"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
      -DUPDATER_SERVER_URL="http://127.0.0.1:$port" > "$build.log" 2>&1 \
    || { cat "$build.log"; exit 1; }
cmake --build "$build" -j2 >> "$build.log" 2>&1 || { tail -40 "$build.log"; exit 1; }

rm -rf "$work"
mkdir -p "$work/server"

echo "== publishing 1.0.0 (what is installed), 1.1.0 and 1.2.0 (enforced)"
publish() { "$build/bin/update-publish" --root "$work/server" "$@"; }
publish --version 1.0.0 --reason "first release" demo/releases/1.0.0 > /dev/null
publish --version 1.1.0 --reason "new greeting and shortcuts" demo/releases/1.1.0
publish --version 1.2.0 --enforce --reason "security fix" demo/releases/1.2.0

echo "== staging an installation of 1.0.0 in $work/install"
mkdir -p "$work/install"
cp -R demo/releases/1.0.0/. "$work/install/"
cp "$build/bin/update.exe" "$build/bin/updateCurl.exe" "$work/install/"
printf '1.0.0' > "$work/install/version"

echo "== serving $work/server on http://127.0.0.1:$port"
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/server" \
    > "$work/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    python3 - "$port" <<'PY' && break
import socket, sys
try:
    socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=0.2).close()
except OSError:
    sys.exit(1)
PY
    sleep 0.1
done
kill -0 $server 2>/dev/null || { echo "the server did not start:"; cat "$work/server.log"; exit 1; }

platform=offscreen
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && platform=""
echo "== running update.exe${platform:+ (no display: offscreen)}"
status=0
(cd "$work/install" && QT_QPA_PLATFORM=${platform:-${QT_QPA_PLATFORM:-}} ./update.exe --from-demo \
    > "$work/product.out" 2> "$work/updater.err") || status=$?
kill $server 2>/dev/null || true

echo
echo "== update log ($work/install/updateLog.txt)"
cat "$work/install/updateLog.txt"
echo
echo "== installed version: $(cat "$work/install/version")"
echo
echo "== output of the sample product the updater started"
cat "$work/product.out"

if [ "$status" -eq 0 ] && [ "$(cat "$work/install/version")" = "1.2.0" ]; then
    echo
    echo "The update went through: 1.0.0 -> 1.2.0."
    exit 0
fi
echo
echo "The update did not go through (updater exit code $status); its debug output:"
tail -20 "$work/updater.err"
exit 1
