#!/usr/bin/env bash
# bench/proxy_peers.sh pass: one nginx origin on 127.0.0.1 fronted by the node, by nginx
# (proxy_pass, upstream keepalive) and by Varnish (-s malloc, every request passed), side by side
# with wrk; beside them the same peers caching (nginx proxy_cache, Varnish's default), the figures a
# caching node aims at; then the node again with many rules loaded, and a perf profile of the node
# on 1 KB.
# Prints; asserts nothing; exits 0 when it cannot run.
MODE=${1:-pass}
source "$(dirname "$0")/proxy_tree.sh"
install_packages varnish linux-perf >/dev/null 2>&1
NODE_THREADS=$(nproc)  # the node's slave threads and nginx's workers
THREADS=$NODE_THREADS
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
[ "$MODE" = pass ] || { echo "proxy_peers: only 'pass' is measured so far"; exit 0; }
origin=$(free_port); node=$(free_port); nproxy=$(free_port); varnish=$(free_port)
ncache=$(free_port); vcache=$(free_port)
start_origin "$origin" && start_nginx_proxy "$nproxy" "$origin" && start_node "$node" "$origin" ||
  { echo "proxy_peers: a server did not start"; exit 0; }

# start_varnish NAME PORT [VCL_RECV]: Varnish in $work/NAME before the origin, with the vcl_recv
# given (none: Varnish's default, which caches).
start_varnish() {
  command -v varnishd >/dev/null || return 1
  local dir=$work/$1 recv=""
  [ -n "${3:-}" ] && recv="sub vcl_recv { $3 }"
  mkdir -p "$dir"
  cat > "$dir/main.vcl" <<VCL
vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "$origin"; }
$recv
VCL
  varnishd -a "127.0.0.1:$2" -f "$dir/main.vcl" -s malloc,256m -n "$dir" -P "$dir/varnishd.pid" >"$dir/varnishd.out" 2>&1 ||
    { echo "proxy_peers: varnish ($1) did not start, see $dir/varnishd.out"; return 1; }
  wait_port "$2" && PIDS+=("$(cat "$dir/varnishd.pid")")
}
start_varnish varnish "$varnish" "return (pass);" || varnish=""
start_varnish varnish-cache "$vcache" || vcache=""

# nginx keeping the origin's answers in a cache of its own (memory-sized zone, files under $work).
start_nginx_cache() {
  mkdir -p "$work/ncache/cache"
  nginx_conf "$work/ncache" "$1" 65 "location / { proxy_pass http://origin; proxy_http_version 1.1; proxy_set_header Connection \"\"; proxy_cache hot; proxy_cache_valid 200 10m; } } proxy_cache_path $work/ncache/cache keys_zone=hot:16m max_size=1g; upstream origin { server 127.0.0.1:$2; keepalive 256;"
  nginx -p "$work/ncache" -c "$work/ncache/nginx.conf" -e "$work/ncache/error.log" || return 1
  wait_port "$1" && PIDS+=("$(cat "$work/ncache/nginx.pid")")
}
start_nginx_cache "$ncache" "$origin" || ncache=""

row() {  # row NAME URL CONNS [HOST]
  printf '  %-18s %s\n' "$1" "$(run_wrk "$2" "$3" -H 'Connection: keep-alive' ${4:+-H "Host: $4"})"
}

table() {
  local size conns
  for size in 1k 100k; do
    for conns in 256 1000; do
      echo "== $size, wrk -t$THREADS -c$conns -d${SECONDS_PER_RUN}s =="
      row origin "http://127.0.0.1:$origin/$size" "$conns"
      row node "http://127.0.0.1:$node/$size" "$conns" a.test
      row "nginx proxy_pass" "http://127.0.0.1:$nproxy/$size" "$conns"
      [ -n "$varnish" ] && row "varnish pass" "http://127.0.0.1:$varnish/$size" "$conns"
      [ -n "$ncache" ] && row "nginx proxy_cache" "http://127.0.0.1:$ncache/$size" "$conns"
      [ -n "$vcache" ] && row "varnish cache" "http://127.0.0.1:$vcache/$size" "$conns"
    done
  done
}
THREADS=2  # wrk's threads from here on
table
# An empty row of the node's means wrk got no answer; its output is kept for a look.
cp "$work/node.out" "$work/node-table.out"
kill -0 "$NODE_PID" 2>/dev/null || echo "proxy_peers: the node ended during the table, see $work/node-table.out"

# The node again with 1,000 black-list ranges, 100 rewrite rules and 20 protection rules.
stop_node
rules=$(python3 - <<'PY'
rows = []
for i in range(1000):
    rows.append("insert into wc_black(low, high, expire, note) values('10.%d.%d.1', '10.%d.%d.9', 4000000000, '');" % (i // 250, i % 250, i // 250, i % 250))
for i in range(100):
    rows.append("insert into wc_rewrite(num, src, dst, icase, flag, note) values(%d, '^a.test/old%d$', 'a.test/new%d', 0, 0, '');" % (i + 1, i, i))
for i in range(20):
    rows.append("insert into wc_protect(pturl, lcurl, icase, note) values('\\\\.png%d$', 'http://a.test/denied', 0, '');" % i)
print("".join(rows))
PY
)
start_node "$node" "$origin" "$rules"
echo "== 1k, -c256, the node with 1,000 black ranges, 100 rewrite and 20 protection rules =="
row "node + rules" "http://127.0.0.1:$node/1k" 256 a.test

if command -v perf >/dev/null; then
  perf record -g -o "$work/perf.data" -p "$NODE_PID" -- sleep 5 >/dev/null 2>&1 &
  perf_pid=$!
  run_wrk "http://127.0.0.1:$node/1k" 256 -H 'Host: a.test' >/dev/null
  wait "$perf_pid"
  echo "== perf: the node's hottest symbols on 1k =="
  perf report -i "$work/perf.data" --stdio --no-children -g none --sort symbol 2>/dev/null | grep -v "^#" | grep "%" | sed "s/[[:space:]-]*$//" | head -15
fi
exit 0
