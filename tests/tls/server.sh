#!/usr/bin/env bash
# server.sh start|stop DIR NGINX TINYPROXY: the https test server and its proxy, configured in DIR
# (tests/tls.cmake). Both run as the invoking user and leave their logs in DIR.
set -u
action=$1 dir=$2 nginx=$3 tinyproxy=$4

stop() {
    local name pid
    for name in nginx tinyproxy; do
        pid=$(cat "$dir/$name.pid" 2>/dev/null) || continue
        rm -f "$dir/$name.pid"
        # A stale file may name another process by now.
        tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "$dir" || continue
        kill "$pid" 2>/dev/null
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    done
}

listening() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# One left by a run that was killed is replaced.
stop
[ "$action" = stop ] && exit 0
mkdir -p "$dir/tmp" "$dir/www"
: >"$dir/access.log"
: >"$dir/tinyproxy.log"
# Workers of an nginx started by root would otherwise run as nobody.
user=()
[ "$(id -u)" -eq 0 ] && user=(-g "user root;")
"$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" "${user[@]}" || exit 1
"$tinyproxy" -c "$dir/tinyproxy.conf" || { stop; exit 1; }
port=$(sed -n 's/^Port //p' "$dir/tinyproxy.conf")
for _ in $(seq 100); do
    listening "$port" && exit 0
    sleep 0.1
done
echo "server.sh: tinyproxy does not listen on $port" >&2
cat "$dir/tinyproxy.log" >&2
stop
exit 1
