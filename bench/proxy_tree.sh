# Shared by bench/relay_vs_nginx.sh and bench/proxy_peers.sh: an nginx origin, the node laid out
# from the release build with one proxy host "a.test" in front of it, and nginx as a proxy beside
# it. Sourced, not run; every server runs under $work and is ended by pid.
source "$(dirname "${BASH_SOURCE[0]}")/edge_tree.sh"
work=$ROOT/build/bench-proxy
mkdir -p "$work"
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done' EXIT

# launch_nginx DIR PORT: nginx from DIR/nginx.conf (nginx_conf), once it listens on PORT.
launch_nginx() {
  nginx -p "$1" -c "$1/nginx.conf" -e "$1/error.log" || return 1
  wait_port "$2" && PIDS+=("$(cat "$1/nginx.pid")")
}

# start_origin PORT: nginx serving $work/www (1k, 100k, 1g) and swallowing uploads at /upload.
start_origin() {
  mkdir -p "$work/www" "$work/origin"
  [ -s "$work/www/1k" ] || head -c 1024 /dev/urandom > "$work/www/1k"
  [ -s "$work/www/100k" ] || head -c 102400 /dev/urandom > "$work/www/100k"
  [ -s "$work/www/1g" ] || head -c 1073741824 /dev/zero > "$work/www/1g"
  nginx_conf "$work/origin" "$1" 65 "root $work/www; client_max_body_size 0; location = /upload { client_body_buffer_size 1m; client_body_temp_path $work/origin; return 200 ok; }"
  launch_nginx "$work/origin" "$1"
}

# start_nginx_proxy PORT ORIGIN_PORT: nginx passing every request to the origin over kept-alive
# upstream connections.
start_nginx_proxy() {
  nginx_conf "$work/nproxy" "$1" 65 "client_max_body_size 0; location / { proxy_pass http://origin; proxy_http_version 1.1; proxy_set_header Connection \"\"; proxy_request_buffering off; proxy_buffering off; } } upstream origin { server 127.0.0.1:$2; keepalive 256;"
  launch_nginx "$work/nproxy" "$1"
}

# start_nginx_cache PORT ORIGIN_PORT [CACHE_DIR [MAX_SIZE]]: nginx keeping the origin's answers in a
# cache of its own (memory-sized zone, files under CACHE_DIR, else under $work, at most MAX_SIZE,
# 1g by default), saying in X-Cache whether it hit.
start_nginx_cache() {
  local cache=${3:-$work/ncache/cache}
  mkdir -p "$cache"
  nginx_conf "$work/ncache" "$1" 65 "location / { proxy_pass http://origin; proxy_http_version 1.1; proxy_set_header Connection \"\"; proxy_cache hot; proxy_cache_valid 200 10m; add_header X-Cache \$upstream_cache_status; } } proxy_cache_path $cache keys_zone=hot:64m max_size=${4:-1g}; upstream origin { server 127.0.0.1:$2; keepalive 256;"
  launch_nginx "$work/ncache" "$1"
}

# start_node PORT ORIGIN_PORT [SQL]: the node with NODE_THREADS (else THREADS) slave threads and
# proxy host a.test; HTTPS on 127.0.0.1:NODE_HTTPS_PORT when that is set.
start_node() {
  local tree=$work/node
  rm -rf "$tree"
  lay_out_dist build/release "$tree" >/dev/null
  sed -i "s/^proxy_port=.*/proxy_port=127.0.0.1:$1/; s/^https_port=.*/${NODE_HTTPS_PORT:+https_port=127.0.0.1:$NODE_HTTPS_PORT}/; s/^admin_port=.*//" "$tree/config/quorind.ini"
  sed -i "s/^max_network_threads=.*/max_network_threads=${NODE_THREADS:-$THREADS}/; s/^max_network_connections=.*/max_network_connections=30000/" "$tree/config/quorind.ini"
  sed -i 's/^display_console=.*/display_console=0/; s/^network_refresh=.*/network_refresh=0/' "$tree/modules/zazudaza.ini"
  sqlite3 "$tree/config/zazudaza.db" < dist/config/zazudaza.sql
  sqlite3 "$tree/config/zazudaza.db" "insert into upfetch(wid, host, balance, note) values(1, 'a.test', 0, '');
    insert into wc_upstream(wid, host, weight, note) values(1, '127.0.0.1:$2', 1, '');
    update wc_system set value='128' where name in ('MaxClientRecvBuffer', 'MaxClientSendBuffer');
    update wc_system set value='60000' where name in ('MaxConnections', 'MaxUpstreamConnections');
    update wc_system set value='0' where name='ClientRequestTimeOut'; ${3:-}"
  (cd "$tree/bin" && exec ./quorind >"$work/node.out" 2>&1) &
  NODE_PID=$!
  PIDS+=("$NODE_PID")
  wait_port "$1"
}

# disk_cache_sql DIR: SQL for start_node keeping every answer for a.test on one cache disk in DIR
# (a force-cache rule kept an hour, the disk table the rules store would make, the disk cache on).
disk_cache_sql() {
  echo "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)
      values(1, 'a.test/*', 0, 0, 1, 1, 0, 0, 1, '');
    create table if not exists wc_diskno(num int not null, path text not null, quota int default '0' not null,
      used int default '0' not null, full int default '0' not null, ssd int default '0' not null,
      note text default '' not null);
    insert into wc_diskno(num, path, quota, used, full, ssd, note) values(0, '$1', 0, 1, 0, 0, '');
    update wc_system set value='1' where name='IsDiskCache';"
}

stop_node() { kill "$NODE_PID" 2>/dev/null; wait "$NODE_PID" 2>/dev/null; }

# Worker pids of an nginx prefix.
nginx_workers() { pgrep -P "$(cat "$1/nginx.pid")" | tr '\n' ' '; }

# transfer_figures URL CPU_PIDS... : "MB/s CPU-s/GB bytes" of a 1 GiB download of URL/1g or upload to
# URL/upload (UPLOAD=1), with the Host TRANSFER_HOST (a.test by default); bytes: those carried.
transfer_figures() {
  local url=$1; shift
  local before after t0 t1 bytes host=${TRANSFER_HOST:-a.test}
  before=$(cpu_seconds "$@"); t0=$(date +%s.%N)
  if [ "${UPLOAD:-0}" = 1 ]; then
    bytes=$(curl -s -o /dev/null -w '%{size_upload}' -H "Host: $host" -H 'Expect:' -T "$work/www/1g" "$url/upload")
  else
    bytes=$(curl -s -o /dev/null -w '%{size_download}' -H "Host: $host" "$url/1g")
  fi
  t1=$(date +%s.%N); after=$(cpu_seconds "$@")
  echo "$t0 $t1 $before $after $bytes" | awk '{printf "%.0f %.2f %d", 1073.741824/($2-$1), $4-$3, $5}'
}

# transfer NAME URL CPU_PIDS... : the figures of transfer_figures as a row.
transfer() {
  local name=$1; shift
  transfer_figures "$@" | awk -v n="$name" '{printf "  %-28s %8.0f MB/s  %6.2f CPU s/GB%s\n", n, $1, $2,
    ($3 == 1073741824 ? "" : sprintf("  (%d bytes carried)", $3))}'
}
