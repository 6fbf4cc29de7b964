#!/usr/bin/env bash
# Upstream-connection figures: connect-request-close cycles per second through replier against a
# local nginx, beside wrk with "Connection: close" against the same nginx, and the MB/s of a
# 1 GB body read through replier. Prints figures; never fails a run.
source "$(dirname "$0")/../scripts/lib.sh"
install_packages nginx-light wrk
cd "$ROOT"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOR_TESTS=OFF -DVOR_BENCH=ON >/dev/null &&
  cmake --build build/bench -j "$JOBS" --target replier_bench >/dev/null || { echo "build failed"; exit 0; }

work="$ROOT/build/bench/nginx"
mkdir -p "$work/www" "$work/logs"
echo ok > "$work/www/index.html"
[ -f "$work/www/big.bin" ] || truncate -s 1G "$work/www/big.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
worker_processes 4;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 8192; }
http {
  access_log off;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null' EXIT
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

seconds=${BENCH_SECONDS:-5}
echo "wrk, Connection: close, 4 threads x 64 connections, ${seconds}s:"
wrk -t4 -c64 -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$port/" | grep -E 'Requests/sec|requests in|errors' || true
build/bench/bench/replier_bench "$port" "$seconds" 16 || true
