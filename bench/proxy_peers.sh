#!/usr/bin/env bash
# bench/proxy_peers.sh pass: one nginx origin on 127.0.0.1 fronted by the node, by nginx
# (proxy_pass, upstream keepalive) and by Varnish (-s malloc, every request passed), side by side
# with wrk; beside them the same peers caching (nginx proxy_cache, Varnish's default), the figures a
# caching node aims at; then the node again with many rules loaded, and a perf profile of the node
# on 1 KB.
# bench/proxy_peers.sh hit: an origin whose answers may be kept an hour, and three warmed caches
# before it: the node (a force-cache rule for its host, X-Cache on), nginx proxy_cache (cache on
# tmpfs) and Varnish (-s malloc); wrk on 1 KB and 100 KB binaries and a 100 KB text with and
# without gzip, a perf profile of the node on 1 KB and 100 KB, and the in-process hit
# benchmark's allocation counts.
# Prints; asserts nothing; exits 0 when it cannot run.
MODE=${1:-pass}
source "$(dirname "$0")/proxy_tree.sh"
install_packages varnish linux-perf >/dev/null 2>&1
NODE_THREADS=$(nproc)  # the node's slave threads and nginx's workers
THREADS=$NODE_THREADS
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}

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

row() {  # row NAME URL CONNS [HOST]
  printf '  %-18s %s\n' "$1" "$(run_wrk "$2" "$3" -H 'Connection: keep-alive' ${4:+-H "Host: $4"})"
}

# ---- hit mode ----

# start_hit_origin PORT: nginx serving $work/www with answers that may be kept an hour: 1k and
# 100k (binary) and 100k.html (text).
start_hit_origin() {
  mkdir -p "$work/www"
  [ -s "$work/www/1k" ] || head -c 1024 /dev/urandom > "$work/www/1k"
  [ -s "$work/www/100k" ] || head -c 102400 /dev/urandom > "$work/www/100k"
  [ -s "$work/www/100k.html" ] || python3 - "$work/www/100k.html" <<'PY'
import sys
page, i = "<!DOCTYPE html><html><head><title>Catalogue</title></head><body>\n", 0
while len(page) < 102400:
    page += '<div class="item"><a href="/items/%d">Item %d</a><span class="price">%d.99</span></div>\n' % (i * 7919 % 100003, i, i % 97)
    i += 1
open(sys.argv[1], "w").write(page[:102400])
PY
  nginx_conf "$work/origin-hit" "$1" 65 "root $work/www; default_type application/octet-stream; types { text/html html; } add_header Cache-Control \"max-age=3600\";"
  nginx -p "$work/origin-hit" -c "$work/origin-hit/nginx.conf" -e "$work/origin-hit/error.log" || return 1
  wait_port "$1" && PIDS+=("$(cat "$work/origin-hit/nginx.pid")")
}

# cache_word URL [CURL ARGS]: HIT or MISS as the cache says it: X-Cache (the node, nginx) or
# Varnish's second transaction id, which only a hit carries.
cache_word() {
  curl -s -o /dev/null -D - --max-time 5 "$@" | tr -d '\r' |
    awk 'tolower($1) == "x-cache:" {print $2} tolower($1) == "x-varnish:" {print (NF > 2 ? "HIT" : "MISS")}'
}

# hit_figures URL [WRK ARGS]: requests/s, p99 and MB/s of one wrk run.
hit_figures() {
  local url=$1; shift
  wrk -t2 -c256 -d"${SECONDS_PER_RUN}s" --latency -H 'Connection: keep-alive' "$@" "$url" 2>&1 |
    awk 'function mb(v) { n = v + 0; if (v ~ /GB$/) n *= 1024; else if (v ~ /KB$/) n /= 1024; else if (v !~ /MB$/) n /= 1048576; return n }
         /Requests\/sec/ {r = $2} /Transfer\/sec/ {t = mb($2)} /^ +99%/ {p = $2} /Socket errors|Non-2xx/ {e = e " " $0}
         END {printf "%12s %10s %10.1f %s", r, p, t, e}'
}

# perf_node OBJECT: a flat profile of the node while wrk asks it for OBJECT.
perf_node() {
  echo "== perf: the node's hottest symbols on /$1 (flat, 5 s) =="
  command -v perf >/dev/null || { echo "  perf is not installed"; return; }
  perf record -g -o "$work/perf-$1.data" -p "$NODE_PID" -- sleep 5 >"$work/perf-$1.out" 2>&1 &
  local perf_pid=$!
  hit_figures "http://127.0.0.1:$node/$1" -H 'Host: a.test' >/dev/null
  wait "$perf_pid"
  [ -s "$work/perf-$1.data" ] || { echo "  perf record failed: $(tail -1 "$work/perf-$1.out")"; return; }
  perf report -i "$work/perf-$1.data" --stdio --no-children -g none --sort symbol 2>/dev/null |
    grep -v "^#" | grep "%" | sed "s/[[:space:]-]*$//" | head -20
}

hit_mode() {
  local origin node ncache vcache shm=/dev/shm/vor-proxy-peers-ncache
  [ -d /dev/shm ] || shm=$work/ncache/cache
  rm -rf "$shm"
  origin=$(free_port); node=$(free_port); ncache=$(free_port); vcache=$(free_port)
  start_hit_origin "$origin" || { echo "proxy_peers: the origin did not start, see $work/origin-hit/error.log"; return; }
  start_node "$node" "$origin" "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)
      values(1, 'a.test/*', 0, 0, 1, 1, 0, 0, 0, '');
    update wc_system set value='1' where name='AddXCacheToHeader';" ||
    { echo "proxy_peers: the node did not start, see $work/node.out"; return; }
  start_nginx_cache "$ncache" "$origin" "$shm" || { echo "proxy_peers: nginx proxy_cache did not start"; ncache=""; }
  start_varnish varnish-cache "$vcache" || vcache=""
  [ -n "$vcache" ] || echo "proxy_peers: no Varnish row (varnishd missing or not started)"

  local caches=("node|$node|a.test")
  [ -n "$ncache" ] && caches+=("nginx proxy_cache|$ncache|")
  [ -n "$vcache" ] && caches+=("varnish -s malloc|$vcache|")
  local objects=(1k 100k 100k.html) entry name port host object gz
  # Warm every cache on every object, identity and gzip, then ask each whether it hits.
  for entry in "${caches[@]}"; do
    IFS='|' read -r name port host <<<"$entry"
    for object in "${objects[@]}"; do
      for _ in 1 2 3; do
        curl -s -o /dev/null --max-time 5 ${host:+-H "Host: $host"} "http://127.0.0.1:$port/$object"
        curl -s -o /dev/null --max-time 5 ${host:+-H "Host: $host"} -H 'Accept-Encoding: gzip' "http://127.0.0.1:$port/$object"
      done
      printf '  %-18s /%-9s %s\n' "$name" "$object" \
        "$(cache_word ${host:+-H "Host: $host"} "http://127.0.0.1:$port/$object")"
    done
  done
  if [ "$(cache_word -H 'Host: a.test' "http://127.0.0.1:$node/1k")" != HIT ]; then
    echo "proxy_peers: the node answers X-Cache: MISS: its memory-cache hit path is not in this build,"
    echo "             so the node's rows below measure misses fetched from the origin"
  fi

  echo "== warmed hits, wrk -t2 -c256 -d${SECONDS_PER_RUN}s, keep-alive; caches with N=$NODE_THREADS threads/workers =="
  printf '  %-18s %-16s %12s %10s %10s\n' cache object 'req/s' p99 'MB/s'
  for object in 1k 100k 100k.html 100k.html+gzip; do
    gz=""
    [ "${object%+gzip}" != "$object" ] && gz="Accept-Encoding: gzip"
    for entry in "${caches[@]}"; do
      IFS='|' read -r name port host <<<"$entry"
      printf '  %-18s %-16s %s\n' "$name" "$object" \
        "$(hit_figures "http://127.0.0.1:$port/${object%+gzip}" ${host:+-H "Host: $host"} ${gz:+-H "$gz"})"
    done
  done
  echo "  (nginx and Varnish keep the origin's identity copy of the text and send it to both clients;"
  echo "   the node keeps it gzip-encoded and decodes it for a client without gzip)"
  cp "$work/node.out" "$work/node-hit.out"
  kill -0 "$NODE_PID" 2>/dev/null || { echo "proxy_peers: the node ended during the table, see $work/node-hit.out"; return; }

  perf_node 1k
  perf_node 100k

  echo "== in-process: reqgate_hit_bench (per hit: allocator calls, pool allocations, cache-lock takes) =="
  if [ -x build/release/bench/reqgate_hit_bench ]; then
    build/release/bench/reqgate_hit_bench --benchmark_out="$work/hit_bench.json" --benchmark_out_format=json \
      >"$work/hit_bench.out" 2>&1 || { echo "  the benchmark failed, see $work/hit_bench.out"; return; }
    python3 - "$work/hit_bench.json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
print("  %-50s %10s %7s %7s %5s %6s %6s %10s %10s" % ("case (threads)", "hits/s", "malloc", "free", "new",
      "pool", "locks", "1-lock@1t", "1-lock@8t"))
for r in runs:
    name = r["name"].replace("/iterations:10000/real_time/threads:", " (") + ")"
    if r.get("error_occurred"):
        print("  %-50s %s" % (name, r.get("error_message")))
        continue
    pools = ", ".join("%s %.2f" % (k[5:-5], v) for k, v in r.items() if k.startswith("pool[") and v)
    print("  %-50s %10.0f %7.2f %7.2f %5.2f %6.2f %6.2f %10.3g %10.3g %s" % (name, r["hits/s"], r["cu_malloc/hit"],
          r["cu_free/hit"], r["new/hit"], r["pool_allocs/hit"], r["cache_locks/hit"], r["single_lock_hits/s@1t"],
          r["single_lock_hits/s@8t"], pools))
print("  per hit: malloc/free = calls into the process allocator, new = C++ allocations, pool = cu_xmem")
print("  allocations (by pool after them), locks = the memory cache's lock takes; 1-lock@Nt = hits/s a")
print("  single-lock allocator (15.8 / 1.0 M allocations + frees per second at 1 / 8 threads) would allow")
PY
  else
    echo "  build/release/bench/reqgate_hit_bench was not built"
  fi
  rm -rf "$shm"
}

[ "$MODE" = hit ] && { hit_mode; exit 0; }
[ "$MODE" = pass ] || { echo "proxy_peers: modes are 'pass' and 'hit'"; exit 0; }
origin=$(free_port); node=$(free_port); nproxy=$(free_port); varnish=$(free_port)
ncache=$(free_port); vcache=$(free_port)
start_origin "$origin" && start_nginx_proxy "$nproxy" "$origin" && start_node "$node" "$origin" ||
  { echo "proxy_peers: a server did not start"; exit 0; }

start_varnish varnish "$varnish" "return (pass);" || varnish=""
start_varnish varnish-cache "$vcache" || vcache=""

start_nginx_cache "$ncache" "$origin" || ncache=""

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
