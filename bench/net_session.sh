#!/usr/bin/env bash
# Runs inside netns-run (a private network namespace): serves the image with
# the local update server, then fetches it RUNS times with curl and with the
# updater's download, alternating, each fetch a process of its own under
# /usr/bin/time -v, and curl once more into memory (/dev/shm), as the updater
# keeps the image. Leaves one result file per fetch in OUT.
#   net_session.sh BUILD_DIR WWW_DIR OUT_DIR RUNS HOST PATH SIZE
set -euo pipefail
build=$1 www=$2 out=$3 runs=$4 host=$5 path=$6 size=$7

server_log="$out/server.log"
ready="$out/server.ready"
rm -f "$ready"
"$build/tests/support/server/lumora-fake-server" --root "$www" --port 80 \
    --log "$server_log" --ready-file "$ready" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "$ready" ] && break
    kill -0 "$server" 2>/dev/null || { echo "net_session: server failed to start" >&2; exit 1; }
    sleep 0.05
done
[ -e "$ready" ] || { echo "net_session: server not ready" >&2; exit 1; }

for i in $(seq "$runs"); do
    /usr/bin/time -v -o "$out/curl-$i.time" \
        curl -sS --fail -o /dev/null -w 'bytes=%{size_download} seconds=%{time_total}\n' \
        "http://$host$path" > "$out/curl-$i.txt"
    /usr/bin/time -v -o "$out/download-$i.time" \
        "$build/bench/lumora-bench-download" "$host" "$path" "$size" > "$out/download-$i.txt"
    # curl again, keeping the image in memory as the updater does.
    curl -sS --fail -o /dev/shm/lumora-bench-image -w 'bytes=%{size_download} seconds=%{time_total}\n' \
        "http://$host$path" > "$out/curl-memory-$i.txt"
    rm -f /dev/shm/lumora-bench-image
done

# When strace is there, one more fetch of each under strace -c counts the
# system calls behind the figures (not timed).
if command -v strace >/dev/null 2>&1; then
    strace -f -c -o "$out/curl.strace" \
        curl -sS --fail -o /dev/null "http://$host$path"
    strace -f -c -o "$out/download.strace" \
        "$build/bench/lumora-bench-download" "$host" "$path" "$size" >/dev/null
fi
