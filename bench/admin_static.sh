#!/usr/bin/env bash
# admin_static: the admin web server serving static files under load, beside nginx serving the
# same folder. wrk -t2 -c64 (keep-alive) on a 1 KiB and a 1 MiB web-root file; prints req/s
# and MB/s of each. Builds the release tree first. Prints figures, never fails.
source "$(dirname "$0")/../scripts/lib.sh"
set +e
install_packages
cd "$ROOT"
configure_and_build build/release -DCMAKE_BUILD_TYPE=Release -DVOR_TESTS=OFF || exit 0

work=$(mktemp -d)
chmod 755 "$work"  # nginx's workers run as another user
daemon_pid="" nginx_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -INT "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
admin_port=$(free_port)
nginx_port=$(free_port)

lay_out_dist build/release "$work/dist"
sed -i "s/^admin_port=.*/admin_port=127.0.0.1:$admin_port/" "$work/dist/config/quorind.ini"
head -c 1024 /dev/urandom >"$work/dist/wwwroot/k1.bin"
head -c 1048576 /dev/urandom >"$work/dist/wwwroot/m1.bin"
(cd "$work/dist/bin" && exec ./quorind >"$work/quorind.out" 2>&1) &
daemon_pid=$!

mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/dist/wwwroot;
  }
}
CONF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
nginx_pid=$!

for port in "$admin_port" "$nginx_port"; do
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/k1.bin" && break
    sleep 0.1
  done
done

measure() {  # server port file
  local out
  out=$(wrk -t2 -c64 -d5s -H 'Connection: keep-alive' "http://127.0.0.1:$2/$3" 2>&1)
  printf '%-8s %-7s %12s req/s %10s/s  non-2xx: %s\n' "$1" "$3" "$(awk '/Requests\/sec/ {print $2}' <<<"$out")" \
    "$(awk '/Transfer\/sec/ {print $2}' <<<"$out")" "$(awk '/Non-2xx/ {n=$NF} END {print n+0}' <<<"$out")"
}
echo "admin_static: wrk -t2 -c64 -d5s, keep-alive"
for file in k1.bin m1.bin; do
  measure vuved "$admin_port" "$file"
  measure nginx "$nginx_port" "$file"
done
exit 0
