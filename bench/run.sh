#!/usr/bin/env bash
# Measures the updater against curl on loopback and prints the ratios:
#   (a) installing one 256 MiB file, (b) installing 1,000 files of 16 KiB,
#   (c) a run with nothing to update, from start to the product's start,
# the updater's peak resident memory in (a), and (d) how the time grows with
# the number of versions and of paths; then, each with its goal beside it:
#   (e) the files of (b) from a server that delays every answer by 50 ms, against curl with six
#       connections and against a build that fetches one file at a time (in build-bench-serial),
#   (f) a 256 MiB file cut short at 90% on its first request: how much a second run fetches,
#   (g) 256 MiB with the hash and size listed against without (not with BENCH_SIGN),
#   (h) 300 files of 20 KB against one curl command on one connection.
# Needs: curl, time (GNU /usr/bin/time), nginx, which serves the trees on loopback with the
# documented site (docs/nginx-updates.conf), and python3 for bench/slowserver.py ((e), (f)).
# BENCH_RUNS (default 3) runs of each; the median is reported. BENCH_SIGN=1: the
# same with a build given a public key (in build-bench-signed) and signed manifests.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
port=${BENCH_PORT:-18931}
runs=${BENCH_RUNS:-3}
sign=${BENCH_SIGN:-}
build=${BENCH_BUILD_DIR:-$root/build-bench${sign:+-signed}}
serial=$build-serial
server_url="http://127.0.0.1:$port"

"$root/tools/ensure-packages.sh" curl time nginx-light python3 ${sign:+minisign libsodium-dev}

work=$(mktemp -d)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

[ -z "$sign" ] || minisign -G -W -p "$work/bench.pub" -s "$work/bench.key" >/dev/null
for connections in 6 1; do
    dir=$build; [ "$connections" = 6 ] || dir=$serial
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DUPDATER_SERVER_URL="$server_url" \
        -DUPDATER_BUILD_TESTS=OFF -DUPDATER_PUBLIC_KEY="$([ -z "$sign" ] || sed -n 2p "$work/bench.pub")" \
        -DUPDATER_DOWNLOAD_CONNECTIONS="$connections" >/dev/null
    cmake --build "$dir" -j2 --target updater updateCurl >/dev/null
done

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

serve() {
    [ -n "$server_pid" ] && kill "$server_pid" && wait "$server_pid" 2>/dev/null || true
    mkdir -p "$work/nginx"
    rm -f "$work/nginx/nginx.pid"
    # The documented site, with the bench's port and tree.
    { printf 'daemon off;\nmaster_process off;\npid %s/nginx.pid;\nerror_log %s/error.log;\nevents {}\nhttp {\naccess_log off;\n' \
          "$work/nginx" "$work/nginx"
      sed -e "s|listen 80;|listen 127.0.0.1:$port;|" -e "s|root /srv/tavrix-updates;|root $1;|" \
          "$root/docs/nginx-updates.conf"
      printf '}\n'; } > "$work/nginx/nginx.conf"
    "$(command -v nginx || echo /usr/sbin/nginx)" -p "$work/nginx" -e "$work/nginx/error.log" \
        -c "$work/nginx/nginx.conf" &
    server_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/nginx/nginx.pid" ] && return
        sleep 0.05
    done
    echo "bench: nginx did not start" >&2
    cat "$work/nginx/error.log" >&2
    exit 1
}

# Serves TREE with bench/slowserver.py: DELAY_MS before every answer, the first file cut after
# the fraction CUT_AT of its body (0: never); the bytes of each answer go to $work/count.
slow_serve() { # slow_serve TREE DELAY_MS CUT_AT
    if [ -n "$server_pid" ]; then kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; fi
    : > "$work/count"
    /usr/bin/python3 "$root/bench/slowserver.py" --root "$1" --port "$port" --delay-ms "$2" \
        --cut-at "$3" --count "$work/count" &
    server_pid=$!
    for _ in $(seq 100); do
        (: > "/dev/tcp/127.0.0.1/$port") 2>/dev/null && return
        sleep 0.05
    done
    echo "bench: slowserver.py did not start" >&2
    exit 1
}

# The manifest of VERSION in TREE listing the given files (already below bin/);
# with BENCH_SIGN or hashes=1, with their hashes and sizes and the version it follows ($follows,
# JSON; a signed build requires it); with BENCH_SIGN, signed.
hashes=""
follows=null
manifest() {
    local tree=$1 version=$2 path
    local file=$tree/packages/version/$version.json
    shift 2
    mkdir -p "$tree/packages/version"
    { printf '{"value":['; printf '"%s",' "$@" | sed 's/,$//'; printf ']'
      if [ -n "$sign$hashes" ]; then
          printf ',"version":"%s","follows":%s,"files":{' "$version" "$follows"
          for path in "$@"; do
              printf '"%s":{"sha256":"%s","size":%s},' "$path" \
                  "$(sha256sum < "$tree/packages/bin/$path" | cut -c1-64)" "$(stat -c %s "$tree/packages/bin/$path")"
          done | sed 's/,$//'
          printf '}'
      fi
      printf '}'; } > "$file"
    [ -z "$sign" ] || minisign -S -s "$work/bench.key" -m "$file" >/dev/null
}

# A server tree with one release 1.1.0 listing the given files (already below bin/).
publish() {
    local tree=$1; shift
    manifest "$tree" 1.1.0 "$@"
    printf '{"updateList":[{"version":"1.1.0","updateType":0,"updateTime":"","reason":"bench"}]}' \
        > "$tree/packages/update.json"
}

# An installation at 1.0.0 (of BUILD, by default the bench's) whose product records when it started.
stage() {
    local dir=$1 from=${2:-$build}
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$from/bin/update.exe" "$from/bin/updateCurl.exe" "$dir/"
    printf '#!/bin/sh\ndate +%%s.%%N > "$(dirname "$0")/started"\n' > "$dir/Tavrix.exe"
    chmod +x "$dir/Tavrix.exe"
    printf '1.0.0' > "$dir/version"
}

# Prints "seconds peak_kib" of one updater run (of BUILD); checks that it installed.
run_updater() {
    local dir=$1 expect=$2
    stage "$dir" "${3:-$build}"
    # A failed update waits for the user: the timeout ends it, and the log below tells why.
    (cd "$dir" && QT_QPA_PLATFORM=offscreen timeout 600 /usr/bin/time -f '%e %M' -o "$work/time" \
        ./update.exe >/dev/null 2>&1) || true
    if [ "$(cat "$dir/version")" != "$expect" ]; then
        echo "bench: the update did not go through; log:" >&2
        cat "$dir/updateLog.txt" >&2
        exit 1
    fi
    cat "$work/time"
}

# Seconds for curl fetching the list, the manifest and every file, one after another.
run_curl() {
    local dir=$1; shift
    rm -rf "$dir"; mkdir -p "$dir"
    local start end i=0
    start=$(now)
    curl -sf -o "$dir/update.json" "$server_url/packages/update.json"
    curl -sf -o "$dir/1.1.0.json" "$server_url/packages/version/1.1.0.json"
    for path in "$@"; do
        i=$((i + 1))
        curl -sf -o "$dir/$i" "$server_url/packages/bin/$path"
    done
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

# Seconds for one curl command fetching the list, the manifest and every file, over one connection
# or, with a number above 1, as many at once.
run_curl_once() {
    local dir=$1 connections=$2 i=0 path start end
    shift 2
    rm -rf "$dir"; mkdir -p "$dir"
    local get=(-o "$dir/update.json" "$server_url/packages/update.json"
        -o "$dir/1.1.0.json" "$server_url/packages/version/1.1.0.json")
    for path in "$@"; do
        i=$((i + 1))
        get+=(-o "$dir/$i" "$server_url/packages/bin/$path")
    done
    [ "$connections" -le 1 ] || get=(--parallel --parallel-max "$connections" "${get[@]}")
    start=$(now)
    curl -sf --no-progress-meter "${get[@]}" || { echo "bench: curl failed" >&2; exit 1; }
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

# "goal <= LIMIT[UNIT]", marked when VALUE misses it.
goal() {
    awk -v v="$1" -v g="$2" -v u="${3:-}" 'BEGIN { printf "goal <= %s%s%s", g, u, (v > g ? "  NOT MET" : "") }'
}

# Runs the updater in DIR as it is, without staging it; when its log shows a failure (it then waits
# for the user), ends it.
updater_in() {
    local dir=$1 pid
    rm -f "$dir/updateLog.txt"  # the last run's failure is not this one's
    (cd "$dir" && QT_QPA_PLATFORM=offscreen exec ./update.exe >/dev/null 2>&1) &
    pid=$!
    for _ in $(seq 3000); do
        kill -0 "$pid" 2>/dev/null || break
        if grep -q '失败' "$dir/updateLog.txt" 2>/dev/null; then
            sleep 0.5  # lets it close what it staged
            kill "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

compare() {
    local name=$1 expect=$2; shift 2
    local u=() c=() m=()
    for _ in $(seq "$runs"); do
        read -r seconds kib < <(run_updater "$work/install" "$expect")
        u+=("$seconds"); m+=("$kib")
        c+=("$(run_curl "$work/curl" "$@")")
    done
    local us cs ms
    us=$(printf '%s\n' "${u[@]}" | median)
    cs=$(printf '%s\n' "${c[@]}" | median)
    ms=$(printf '%s\n' "${m[@]}" | median)
    printf '%-32s updater %7.3f s   curl %7.3f s   ratio %s   updater peak %d MiB\n' \
        "$name" "$us" "$cs" "$(ratio "$us" "$cs")" $((ms / 1024))
    last_peak_mib=$((ms / 1024))
    last_ratio=$(ratio "$us" "$cs")
}

# A tree publishing COUNT random files of SIZE bytes below many/, named in $files.
small_files() { # small_files TREE COUNT SIZE
    local tree=$1 i
    mkdir -p "$tree/packages/bin/many"
    files=()
    for i in $(seq -w 1 "$2"); do
        head -c "$3" /dev/urandom > "$tree/packages/bin/many/f$i.bin"
        files+=("many/f$i.bin")
    done
    publish "$tree" "${files[@]}"
}

echo "runs per figure: $runs (median)"

# (a) one large file
tree_a=$work/tree-a
mkdir -p "$tree_a/packages/bin"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tree_a/packages/bin/big.bin"
publish "$tree_a" big.bin
cat "$tree_a/packages/bin/big.bin" > /dev/null  # same warm page cache for both
serve "$tree_a"
compare "(a) one 256 MiB file" 1.1.0 big.bin
ratio_a=$last_ratio; peak_a=$last_peak_mib
rm -rf "$tree_a"

# (b) many small files
tree_b=$work/tree-b
small_files "$tree_b" 1000 16384
serve "$tree_b"
compare "(b) 1,000 files of 16 KiB" 1.1.0 "${files[@]}"
ratio_b=$last_ratio

# (c) nothing to update: start to the product's start
tree_c=$work/tree-c
mkdir -p "$tree_c/packages"
printf '{"updateList":[{"version":"1.0.0","updateType":0}]}' > "$tree_c/packages/update.json"
serve "$tree_c"
u=(); d=()
for _ in $(seq $((runs * 3))); do
    stage "$work/install"
    start=$(now)
    (cd "$work/install" && QT_QPA_PLATFORM=offscreen ./update.exe >/dev/null 2>&1)
    u+=("$(awk -v a="$start" -v b="$(cat "$work/install/started")" 'BEGIN { printf "%.4f", b - a }')")
    stage "$work/install"
    start=$(now)
    (cd "$work/install" && ./updateCurl.exe "$server_url/packages/update.json" >/dev/null && ./Tavrix.exe)
    d+=("$(awk -v a="$start" -v b="$(cat "$work/install/started")" 'BEGIN { printf "%.4f", b - a }')")
done
uc=$(printf '%s\n' "${u[@]}" | median)
dc=$(printf '%s\n' "${d[@]}" | median)
ratio_c=$(ratio "$uc" "$dc")
printf '%-32s updater %7.4f s   fetch tool + product %7.4f s   ratio %s\n' \
    "(c) nothing to update" "$uc" "$dc" "$ratio_c"

# (d) growth: many versions, and one manifest with many paths
scale_tree() { # scale_tree DIR VERSIONS PATHS_PER_VERSION
    local tree=$1 versions=$2 per=$3 v p list="" previous=null
    local files=$(( versions > 1 ? versions * per / 2 : per ))  # versions overlap by half
    rm -rf "$tree"; mkdir -p "$tree/packages/bin/s"
    for p in $(seq 0 $((files - 1))); do printf 'x' > "$tree/packages/bin/s/f$p.txt"; done
    for v in $(seq 1 "$versions"); do
        list="$list{\"version\":\"1.1.$v\",\"updateType\":0},"
        follows=$previous manifest "$tree" "1.1.$v" $(for p in $(seq 1 "$per"); do echo "s/f$(( (v * per + p) % files )).txt"; done)
        previous="\"1.1.$v\""
    done
    printf '{"updateList":[%s]}' "${list%,}" > "$tree/packages/update.json"
}
scale() { # scale NAME VERSIONS PER
    scale_tree "$work/tree-d" "$2" "$3"
    serve "$work/tree-d"
    read -r seconds _ < <(run_updater "$work/install" "1.1.$2")
    printf '%-32s %7.3f s\n' "$1" "$seconds"
    last_seconds=$seconds
}
scale "(d) 300 versions x 4 paths" 300 4;  v300=$last_seconds
scale "(d) 600 versions x 4 paths" 600 4;  v600=$last_seconds
scale "(d) 1 version x 2,000 paths" 1 2000; p2000=$last_seconds
scale "(d) 1 version x 4,000 paths" 1 4000; p4000=$last_seconds
echo "(d) growth when doubled: versions x$(ratio "$v600" "$v300"), paths x$(ratio "$p4000" "$p2000") (linear: about 2)"

# (e) the files of (b) from a server that answers each request 50 ms late
slow_serve "$tree_b" 50 0
u=(); c=(); m=()
for _ in $(seq "$runs"); do
    read -r seconds kib < <(run_updater "$work/install" 1.1.0)
    u+=("$seconds"); m+=("$kib")
    c+=("$(run_curl_once "$work/curl" 6 "${files[@]}")")
done
us=$(printf '%s\n' "${u[@]}" | median)
cs=$(printf '%s\n' "${c[@]}" | median)
ms=$(printf '%s\n' "${m[@]}" | median)
ratio_e=$(ratio "$us" "$cs")
printf '%-32s updater %7.3f s   curl, 6 at once %7.3f s   ratio %s   %s   updater peak %d MiB\n' \
    "(e) 1,000 x 16 KiB, 50 ms late" "$us" "$cs" "$ratio_e" "$(goal "$ratio_e" 1.25)" $((ms / 1024))
# One run: at 50 ms a file it takes about a minute.
read -r one _ < <(run_updater "$work/install" 1.1.0 "$serial")
ratio_e1=$(ratio "$us" "$one")
printf '%-32s updater %7.3f s   1 file at a time %7.3f s (1 run)   ratio %s   %s\n' \
    "(e) the same, against serial" "$us" "$one" "$ratio_e1" "$(goal "$ratio_e1" 0.25)"
rm -rf "$tree_b"

# (f) a large file cut short on its first request, then a second run on the same folder
tree_f=$work/tree-f
mkdir -p "$tree_f/packages/bin"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$tree_f/packages/bin/big.bin"
size_f=$(stat -c %s "$tree_f/packages/bin/big.bin")
hashes=1 publish "$tree_f" big.bin
slow_serve "$tree_f" 0 0.9
stage "$work/install"
updater_in "$work/install"
first=$(awk '$3 == "/packages/bin/big.bin" { s += $2 } END { print s + 0 }' "$work/count")
: > "$work/count"
if [ "$(cat "$work/install/version")" = 1.1.0 ]; then
    echo "(f) the first run installed 1.1.0 although its download was cut short" >&2
fi
updater_in "$work/install"
second=$(awk '$3 == "/packages/bin/big.bin" { s += $2 } END { print s + 0 }' "$work/count")
share_f=$(awk -v a="$second" -v b="$size_f" 'BEGIN { printf "%.1f", 100 * a / b }')
if [ "$(cat "$work/install/version")" = 1.1.0 ]; then
    printf '%-32s first run cut after %d MiB   the second fetched %s %% of the file   %s\n' \
        "(f) 256 MiB, resumed" $((first / 1048576)) "$share_f" "$(goal "$share_f" 15 " %")"
else
    printf '%-32s the second run did not install 1.1.0 (it fetched %s %% of the file); log:\n' \
        "(f) 256 MiB, resumed" "$share_f"
    cat "$work/install/updateLog.txt"
fi

# (g) the same file with its hash and size listed, against without
if [ -z "$sign" ]; then
    serve "$tree_f"
    cat "$tree_f/packages/bin/big.bin" > /dev/null
    h=(); p=()
    for _ in $(seq "$runs"); do
        hashes=1 publish "$tree_f" big.bin
        read -r seconds _ < <(run_updater "$work/install" 1.1.0)
        h+=("$seconds")
        publish "$tree_f" big.bin
        read -r seconds _ < <(run_updater "$work/install" 1.1.0)
        p+=("$seconds")
    done
    hs=$(printf '%s\n' "${h[@]}" | median)
    ps=$(printf '%s\n' "${p[@]}" | median)
    ratio_g=$(ratio "$hs" "$ps")
    printf '%-32s hashes listed %7.3f s   none %7.3f s   ratio %s   %s\n' \
        "(g) 256 MiB, checking the hash" "$hs" "$ps" "$ratio_g" "$(goal "$ratio_g" 1.15)"
else
    echo "(g) skipped: a signed build needs every hash listed"
fi
rm -rf "$tree_f"

# (h) many small files against one curl command on one connection
tree_h=$work/tree-h
small_files "$tree_h" 300 20000
serve "$tree_h"
u=(); c=()
for _ in $(seq "$runs"); do
    read -r seconds _ < <(run_updater "$work/install" 1.1.0)
    u+=("$seconds")
    c+=("$(run_curl_once "$work/curl" 1 "${files[@]}")")
done
us=$(printf '%s\n' "${u[@]}" | median)
cs=$(printf '%s\n' "${c[@]}" | median)
ratio_h=$(ratio "$us" "$cs")
printf '%-32s updater %7.3f s   curl, 1 connection %7.3f s   ratio %s   %s\n' \
    "(h) 300 files of 20 KB" "$us" "$cs" "$ratio_h" "$(goal "$ratio_h" 1.2)"

echo
echo "goals: (a) <= 1.10 got $ratio_a   (b) <= 0.80 got $ratio_b   (c) <= 1.50 got $ratio_c   peak (a) < 64 MiB got $peak_a MiB"
