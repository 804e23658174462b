#!/usr/bin/env bash
# Measures the updater against curl and prints each figure with its goal beside it:
#   (l) 1,000 x 16 KiB through a link with 50 ms round trips (../shared/bench/link.py) to nginx:
#       over https (HTTP/2 where offered) against curl --parallel-max 100 and against curl
#       --http1.1 --parallel-max 6; over http against curl --http1.1 --parallel-max 6,
#   (p) the cost of 300 files of 20 KB on loopback over the cost of nothing newer, against the
#       same for curl + sync on one connection (-K list: 300 files less 1),
#   (s) 10,000 x 1 KiB on loopback against curl + sync (-K list, one connection),
#   (a) 256 MiB on loopback, http and https, against curl + sync,
#   (m) peak resident memory: 100,000 files of one byte, and 256 MiB,
#   (c) nothing newer, from start to the product's start, against the fetch tool plus the product,
#   (f) 256 MiB cut short at 90% on its first request: what is fetched after the cut,
#   (g) 256 MiB with hashes and sizes listed against without.
# The updater is timed from start to exit; curl fetches the same files (not the list nor the
# manifest). Each figure is the median of BENCH_RUNS (default 3) rounds, the commands of a figure
# taking turns within a round; ratios are of medians. Manifests list hashes and sizes, as
# update-publish writes them, except in (g)'s "without".
#
# BENCH_SOURCE (default: this checkout) is the source tree whose updater is measured, built in
# BENCH_BUILD_DIR (default BENCH_SOURCE/build-bench) as http/ and https/, one per compiled-in
# server. Ports BENCH_PORT (default 18980) to BENCH_PORT+3. A test authority is trusted through
# the system store while the bench runs (root or sudo). BENCH_ACCESS_LOG=FILE keeps nginx's access
# log with the protocol and each request's time. BENCH_ONLY="l p" runs only those figures.
# To look into a figure: BENCH_WRAP="strace -c -f -o FILE" runs each updater under that command,
# BENCH_KEEP=PREFIX keeps each run's updateLog.txt as PREFIX.KEY.log.
# Needs: curl, GNU time, nginx-light, openssl, python3, ca-certificates.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source_dir=$(cd "${BENCH_SOURCE:-$root}" && pwd)
build=${BENCH_BUILD_DIR:-$source_dir/build-bench}
runs=${BENCH_RUNS:-3}
only=${BENCH_ONLY:-l p s a m c f g}
base=${BENCH_PORT:-18980}
tls_port=$base plain_port=$((base + 1)) tls_back=$((base + 2)) plain_back=$((base + 3))
https_url="https://localhost:$tls_port"
http_url="http://127.0.0.1:$plain_port"
link=${BENCH_LINK:-$root/../shared/bench/link.py}
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo

"$root/tools/ensure-packages.sh" curl time nginx-light openssl python3 ca-certificates
[ -f "$link" ] || { echo "bench: no link relay at $link (BENCH_LINK)" >&2; exit 1; }

work=$(mktemp -d)
pids=()
trusted=/usr/local/share/ca-certificates/updater-bench-$$.crt
stop_servers() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
    pids=()
}
cleanup() {
    stop_servers || true
    if [ -f "$trusted" ]; then
        # update-ca-certificates leaves the links of a removed local authority behind.
        $sudo rm -f "$trusted"
        $sudo find /etc/ssl/certs -maxdepth 1 -lname "*updater-bench-$$.*" -delete
        $sudo update-ca-certificates >/dev/null 2>&1
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A test authority and a certificate for localhost signed by it, trusted system-wide meanwhile.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=updater-bench-ca \
    -keyout "$work/ca.key" -out "$work/ca.crt" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$work/server.key" \
    -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > "$work/san"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/san" -out "$work/server.crt" 2>/dev/null
$sudo cp "$work/ca.crt" "$trusted"
$sudo update-ca-certificates >/dev/null 2>&1

for scheme in http https; do
    url=$http_url; [ "$scheme" = http ] || url=$https_url
    cmake -S "$source_dir" -B "$build/$scheme" -DCMAKE_BUILD_TYPE=Release -DUPDATER_SERVER_URL="$url" \
        -DUPDATER_BUILD_TESTS=OFF -DUPDATER_PUBLIC_KEY= >/dev/null
    cmake --build "$build/$scheme" -j2 --target updater updateCurl >/dev/null
done

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.4f\n", b - a }'; }
wanted() { [[ " $only " == *" $1 "* ]]; }
wait_port() {
    for _ in $(seq 200); do
        (: > "/dev/tcp/127.0.0.1/$1") 2>/dev/null && return
        sleep 0.05
    done
    echo "bench: nothing listens on $1" >&2; exit 1
}

# Serves TREE with nginx and the documented site, on loopback or (link) behind the 50 ms link.
serve() { # serve TREE [link]
    local tls=$tls_port plain=$plain_port log="access_log off;"
    stop_servers
    if [ "${2:-}" = link ]; then tls=$tls_back plain=$plain_back; fi
    [ -z "${BENCH_ACCESS_LOG:-}" ] || log="log_format timed '\$server_protocol \$request_time \$status \$body_bytes_sent \$request_uri';
access_log ${BENCH_ACCESS_LOG} timed;"
    mkdir -p "$work/nginx"; rm -f "$work/nginx/nginx.pid"
    { printf 'daemon off;\nmaster_process off;\npid %s/nginx.pid;\nerror_log %s/error.log;\n' \
          "$work/nginx" "$work/nginx"
      printf 'events { worker_connections 1024; }\nhttp {\nkeepalive_requests 10000;\n%s\n' "$log"
      sed -e "s|listen 80;|listen 127.0.0.1:$plain;|" -e "s|root /srv/tavrix-updates;|root $1;|" \
          "$root/docs/nginx-updates.conf"
      sed -e "s|listen 80;|listen 127.0.0.1:$tls ssl http2;\n    ssl_certificate $work/server.crt;\n    ssl_certificate_key $work/server.key;|" \
          -e "s|root /srv/tavrix-updates;|root $1;|" "$root/docs/nginx-updates.conf"
      printf '}\n'; } > "$work/nginx/nginx.conf"
    "$(command -v nginx || echo /usr/sbin/nginx)" -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
    pids+=($!)
    wait_port "$tls"; wait_port "$plain"
    if [ "${2:-}" = link ]; then
        python3 "$link" --listen "127.0.0.1:$tls_port" --to "127.0.0.1:$tls_back" --rtt-ms 50 --max-s 3000 &
        pids+=($!)
        python3 "$link" --listen "127.0.0.1:$plain_port" --to "127.0.0.1:$plain_back" --rtt-ms 50 --max-s 3000 &
        pids+=($!)
        wait_port "$tls_port"; wait_port "$plain_port"
    fi
}

# Serves TREE with bench/slowserver.py (plain port), the first file cut after the fraction CUT_AT.
slow_serve() { # slow_serve TREE CUT_AT
    stop_servers
    : > "$work/count"
    python3 "$root/bench/slowserver.py" --root "$1" --port "$plain_port" --cut-at "$2" --count "$work/count" &
    pids+=($!)
    wait_port "$plain_port"
}

# An installation at 1.0.0 of SCHEME's build whose product records when it started.
stage() { # stage DIR SCHEME
    rm -rf "$1"; mkdir -p "$1"
    cp "$build/$2/bin/update.exe" "$build/$2/bin/updateCurl.exe" "$1/"
    printf '#!/bin/sh\ndate +%%s.%%N > "$(dirname "$0")/started"\n' > "$1/Tavrix.exe"
    chmod +x "$1/Tavrix.exe"
    printf '1.0.0' > "$1/version"
}

# One updater run of SCHEME's build from start to exit: seconds to $work/t.KEY, peak KiB to
# $work/m.KEY; stops the bench unless the installation ends at EXPECT.
updater() { # updater KEY SCHEME EXPECT
    local dir=$work/install start
    stage "$dir" "$2"
    sync
    start=$(now)
    # A failed update waits for the user: the timeout ends it, and the log tells why.
    (cd "$dir" && QT_QPA_PLATFORM=offscreen timeout 900 /usr/bin/time -f %M -o "$work/peak" \
        ${BENCH_WRAP:-} ./update.exe >/dev/null 2>&1) || true
    [ -z "${BENCH_KEEP:-}" ] || cp "$dir/updateLog.txt" "$BENCH_KEEP.$1.log"
    since "$start" >> "$work/t.$1"
    cat "$work/peak" >> "$work/m.$1"
    if [ "$(cat "$dir/version")" != "$3" ]; then
        echo "bench: $1: the update did not reach $3; log:" >&2
        cat "$dir/updateLog.txt" >&2
        exit 1
    fi
}

# A curl config fetching the listed files of TREE (FIRST of them, default all) from URL into DIR.
curl_list() { # curl_list TREE URL DIR [FIRST]
    head -n "${4:-1000000}" "$1/paths" \
        | awk -v u="$2/packages/bin/" -v d="$3" '{ printf "url = \"%s%s\"\noutput = \"%s/%d\"\n", u, $0, d, NR }'
}

# One timed curl command (arguments after KEY) fetching into $work/curl: seconds to $work/t.KEY.
# With sync=1, the time includes sync -f of that folder.
curl_run() { # curl_run KEY CURL-ARGUMENTS...
    local key=$1 start; shift
    rm -rf "$work/curl"; mkdir -p "$work/curl"
    sync
    start=$(now)
    curl -sSf --no-progress-meter "$@" || { echo "bench: $key: curl failed" >&2; exit 1; }
    [ -z "${sync_after:-}" ] || sync -f "$work/curl"
    since "$start" >> "$work/t.$key"
}

med() { median < "$work/$1.$2"; } # med t|m KEY
results=()
# Prints and keeps one row: NAME VALUE_A VALUE_B RATIO LIMIT [NOTE]
row() {
    local mark=met
    awk -v r="$4" -v g="$5" 'BEGIN { exit !(r > g) }' && mark="NOT MET"
    printf '%-44s %9.3f s %9.3f s  ratio %5s  goal <= %-5s %s%s\n' "$1" "$2" "$3" "$4" "$5" "$mark" "${6:+  $6}"
    results+=("$1|$4|$5|$mark")
}

echo "source: $source_dir ($(git -C "$source_dir" rev-parse --short HEAD 2>/dev/null || echo ?))  runs: $runs (median)  load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %11s %11s\n' "" "updater" "reference"

# (l) 1,000 x 16 KiB through the 50 ms link
if wanted l; then
    tree=$work/tree-l
    python3 "$root/bench/trees.py" "$tree" 1000 16384
    curl_list "$tree" "$https_url" "$work/curl" > "$work/list-https"
    curl_list "$tree" "$http_url" "$work/curl" > "$work/list-http"
    serve "$tree" link
    for _ in $(seq "$runs"); do
        updater l-https https 1.1.0
        curl_run l-h2 --parallel --parallel-max 100 --cacert "$work/ca.crt" -K "$work/list-https"
        curl_run l-h1s --http1.1 --parallel --parallel-max 6 --cacert "$work/ca.crt" -K "$work/list-https"
        updater l-http http 1.1.0
        curl_run l-h1 --http1.1 --parallel --parallel-max 6 -K "$work/list-http"
    done
    row "(l) https vs curl h2 --parallel-max 100" "$(med t l-https)" "$(med t l-h2)" \
        "$(ratio "$(med t l-https)" "$(med t l-h2)")" 1.5
    row "(l) https vs curl --http1.1 --parallel-max 6" "$(med t l-https)" "$(med t l-h1s)" \
        "$(ratio "$(med t l-https)" "$(med t l-h1s)")" 0.15
    row "(l) http vs curl --http1.1 --parallel-max 6" "$(med t l-http)" "$(med t l-h1)" \
        "$(ratio "$(med t l-http)" "$(med t l-h1)")" 1.1
    rm -rf "$tree"
fi

# Nothing newer: the list names only the installed version.
tree_none=$work/tree-none
mkdir -p "$tree_none/packages"
printf '{"updateList":[{"version":"1.0.0","updateType":0}]}' > "$tree_none/packages/update.json"

# (p) per-file cost: 300 files against nothing newer, for both
if wanted p; then
    tree=$work/tree-p
    python3 "$root/bench/trees.py" "$tree" 300 20000
    curl_list "$tree" "$http_url" "$work/curl" > "$work/list-300"
    curl_list "$tree" "$http_url" "$work/curl" 1 > "$work/list-1"
    cp "$tree/packages/update.json" "$tree/new.json"
    serve "$tree"
    for _ in $(seq "$runs"); do
        updater p-300 http 1.1.0
        sync_after=1 curl_run p-c300 -K "$work/list-300"
        cp "$tree_none/packages/update.json" "$tree/packages/update.json"
        updater p-0 http 1.0.0
        cp "$tree/new.json" "$tree/packages/update.json"
        sync_after=1 curl_run p-c1 -K "$work/list-1"
    done
    u=$(awk -v a="$(med t p-300)" -v b="$(med t p-0)" 'BEGIN { print a - b }')
    c=$(awk -v a="$(med t p-c300)" -v b="$(med t p-c1)" 'BEGIN { print a - b }')
    row "(p) 300 x 20 KB: (300 - none) vs (300 - 1)" "$u" "$c" "$(ratio "$u" "$c")" 1.5 \
        "updater $(med t p-300) - $(med t p-0) s, curl $(med t p-c300) - $(med t p-c1) s"
    rm -rf "$tree"
fi

# (s) 10,000 x 1 KiB on loopback
if wanted s; then
    tree=$work/tree-s
    python3 "$root/bench/trees.py" "$tree" 10000 1024
    curl_list "$tree" "$http_url" "$work/curl" > "$work/list-s"
    serve "$tree"
    for _ in $(seq "$runs"); do
        updater s http 1.1.0
        sync_after=1 curl_run s-c -K "$work/list-s"
    done
    row "(s) 10,000 x 1 KiB vs curl + sync" "$(med t s)" "$(med t s-c)" "$(ratio "$(med t s)" "$(med t s-c)")" 1.2 \
        "updater peak $(( $(med m s) / 1024 )) MiB"
    rm -rf "$tree"
fi

# (a) 256 MiB on loopback, and (g) the same with and without hashes listed
if wanted a || wanted g || wanted f; then
    tree_a=$work/tree-a
    python3 "$root/bench/trees.py" "$tree_a" 1 $((256 * 1024 * 1024)) --layout big
    cat "$tree_a/packages/bin/big.bin" > /dev/null  # the same warm page cache for all
fi
if wanted a; then
    serve "$tree_a"
    for _ in $(seq "$runs"); do
        updater a-http http 1.1.0
        sync_after=1 curl_run a-c-http -o "$work/curl/1" "$http_url/packages/bin/big.bin"
        updater a-https https 1.1.0
        sync_after=1 curl_run a-c-https --cacert "$work/ca.crt" -o "$work/curl/1" "$https_url/packages/bin/big.bin"
    done
    for scheme in http https; do
        row "(a) 256 MiB, $scheme, vs curl + sync" "$(med t "a-$scheme")" "$(med t "a-c-$scheme")" \
            "$(ratio "$(med t "a-$scheme")" "$(med t "a-c-$scheme")")" 1.1
    done
fi

# (m) peak memory: 100,000 listed files of one byte, all new (one run: it takes a while); 256 MiB
if wanted m; then
    tree=$work/tree-m
    python3 "$root/bench/trees.py" "$tree" 100000 1 --layout deep
    serve "$tree"
    updater m http 1.1.0
    peaks="100,000 x 1 byte: $(( $(med m m) / 1024 )) MiB in $(med t m) s"
    [ ! -f "$work/m.a-http" ] || peaks="$peaks;  256 MiB: http $(( $(med m a-http) / 1024 )) MiB, https $(( $(med m a-https) / 1024 )) MiB"
    printf '%-44s %s  goal < 64 MiB each\n' "(m) updater peak memory" "$peaks"
    results+=("(m) peak, 100,000 files (MiB)|$(( $(med m m) / 1024 ))|64|$([ $(( $(med m m) / 1024 )) -lt 64 ] && echo met || echo "NOT MET")")
    [ ! -f "$work/m.a-http" ] || results+=("(m) peak, 256 MiB http (MiB)|$(( $(med m a-http) / 1024 ))|64|$([ $(( $(med m a-http) / 1024 )) -lt 64 ] && echo met || echo "NOT MET")")
    rm -rf "$tree"
fi

# (c) nothing newer: start to the product's start, against the fetch tool plus the product
if wanted c; then
    serve "$tree_none"
    for _ in $(seq $((runs * 3))); do
        stage "$work/install" http; sync
        start=$(now)
        (cd "$work/install" && QT_QPA_PLATFORM=offscreen ./update.exe >/dev/null 2>&1)
        awk -v a="$start" -v b="$(cat "$work/install/started")" 'BEGIN { printf "%.4f\n", b - a }' >> "$work/t.c"
        stage "$work/install" http; sync
        start=$(now)
        (cd "$work/install" && ./updateCurl.exe "$http_url/packages/update.json" >/dev/null && ./Tavrix.exe)
        awk -v a="$start" -v b="$(cat "$work/install/started")" 'BEGIN { printf "%.4f\n", b - a }' >> "$work/t.c-tool"
    done
    row "(c) nothing newer vs fetch tool + product" "$(med t c)" "$(med t c-tool)" \
        "$(ratio "$(med t c)" "$(med t c-tool)")" 1.5 "$((runs * 3)) rounds"
fi

# Runs the updater in DIR as it is; when its log shows a failure (it then waits for the user),
# ends it.
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

# (f) 256 MiB cut short at 90% on its first request, then a second run on the same folder: what
# was fetched after the cut, by a retry within the first run or by the second
if wanted f; then
    slow_serve "$tree_a" 0.9
    stage "$work/install" http
    updater_in "$work/install"
    [ "$(cat "$work/install/version")" = 1.1.0 ] || updater_in "$work/install"
    again=$(awk '$3 == "/packages/bin/big.bin" && n++ { s += $2 } END { print s + 0 }' "$work/count")
    share=$(awk -v a="$again" 'BEGIN { printf "%.1f", 100 * a / (256 * 1048576) }')
    if [ "$(cat "$work/install/version")" = 1.1.0 ]; then
        mark=met; awk -v s="$share" 'BEGIN { exit !(s > 15) }' && mark="NOT MET"
        printf '%-44s fetched after the cut: %s %% of the file  goal <= 15 %%  %s\n' "(f) 256 MiB cut at 90%, resumed" "$share" "$mark"
        results+=("(f) resumed: % fetched again|$share|15|$mark")
    else
        printf '%-44s the second run did not install 1.1.0 (fetched %s %%); log:\n' "(f) 256 MiB cut at 90%" "$share"
        cat "$work/install/updateLog.txt"
        results+=("(f) resumed: % fetched again|$share|15|NOT MET (not installed)")
    fi
fi

# (g) hashes and sizes listed against none
if wanted g; then
    serve "$tree_a"
    for _ in $(seq "$runs"); do
        cp "$tree_a/listed.json" "$tree_a/packages/version/1.1.0.json"
        updater g-listed http 1.1.0
        cp "$tree_a/bare.json" "$tree_a/packages/version/1.1.0.json"
        updater g-bare http 1.1.0
    done
    row "(g) 256 MiB, hashes listed vs none" "$(med t g-listed)" "$(med t g-bare)" \
        "$(ratio "$(med t g-listed)" "$(med t g-bare)")" 1.15
fi

echo
echo "summary (figure | got | goal | met):"
printf '  %s\n' "${results[@]}"
