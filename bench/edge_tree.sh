# Shared by bench/edge_pages and bench/edge_files: builds the release tree, lays out a runtime
# tree under $tree with the edge server and the edge_out sub-module, and starts the daemon with
# the given [system] lines of quorind.ini. Sourced, not run.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
set +e
install_packages nginx-light wrk
cd "$ROOT"
configure_and_build build/release -DCMAKE_BUILD_TYPE=Release -DVOR_TESTS=OFF >/dev/null
ulimit -n "$(ulimit -Hn)" 2>/dev/null
THREADS=${THREADS:-4}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do nc -z 127.0.0.1 "$1" 2>/dev/null && return 0; sleep 0.1; done; return 1; }

# lay_out_edge TREE PORT: the runtime tree with edge_out as the one sub-module.
lay_out_edge() {
  local tree=$1 port=$2
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,config,logs,modules,nginx}
  cp -a build/release/libvorcore.so* build/release/quorind "$tree/bin/"
  cp build/release/libedgeserv.so.1.0.0 "$tree/modules/libedgeserv.so"
  cp build/release/libvoraux.so.1.0.0 "$tree/modules/libvoraux.so.1"
  cp build/release/bench/libedge_out_module.so.1.0.0 "$tree/modules/libedge_out.so"
  printf '[system]\nmax_network_threads=%s\nmax_network_connections=30000\nproxy_port=127.0.0.1:%s\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n' \
    "$THREADS" "$port" > "$tree/config/quorind.ini"
  printf '[system]\ndisplay_console=0\nnetwork_refresh=0\n[modules]\nmodule-0=libedge_out.so\nexport-0=edge_out\n' \
    > "$tree/modules/zazudaza.ini"
}

# nginx_conf DIR PORT KEEPALIVE_TIMEOUT BODY: DIR/nginx.conf, its pid and log in DIR.
nginx_conf() {
  mkdir -p "$1"
  cat > "$1/nginx.conf" <<CONF
worker_processes $THREADS;
worker_rlimit_nofile 40000;
pid $1/nginx.pid;
error_log $1/error.log;
events { worker_connections 30000; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  keepalive_timeout $3;
  server { listen 127.0.0.1:$2; $4 }
}
CONF
}

# wrk's requests per second, transfer per second and 99th percentile latency.
run_wrk() {
  local url=$1 conns=$2; shift 2
  wrk -t"$THREADS" -c"$conns" -d"${SECONDS_PER_RUN}s" --latency "$@" "$url" 2>&1 |
    awk '/Requests\/sec/ {r=$2} /Transfer\/sec/ {t=$2} /^ +99%/ {p=$2} /Socket errors/ {e=$0} END {printf "%12s req/s %10s/s  p99 %8s  %s", r, t, p, e}'
}

# CPU seconds (user + system) of the processes given, from /proc.
cpu_seconds() {
  local hz total=0 p
  hz=$(getconf CLK_TCK)
  for p in "$@"; do total=$((total + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0))); done
  echo "$total $hz" | awk '{printf "%.2f", $1 / $2}'
}
