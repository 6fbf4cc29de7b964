#!/usr/bin/env bash
# bench/disk_hits.sh: warmed caches answering from their disks. An nginx origin on 127.0.0.1 (its
# access log on, so every request it gets is counted) serves 1,000 files of 16 KiB, 1,000 of
# 100 KiB, 200 of 1 MiB and one of 64 MiB, each kept an hour. Side by side: the node (N slave
# threads, one cache disk, a force-cache rule for a.test, MaxCacheBlockSize 4 KB so no body is
# held in memory and every hit is read from its cache file) and nginx proxy_cache (N workers,
# cache files on the same file system, sendfile on). Both are warmed (every URL fetched once,
# then the node restarted so its memory holds nothing); then wrk -t4 at -c64 and -c256, keep-alive,
# cycles through each URL list, through 1 MiB ranges of the 64 MiB object, and 20 curl clients
# download the 64 MiB object at once. Per cache and case: requests/s, p99, MB/s, CPU seconds per
# GB sent, and how many requests reached the origin during the run (0 when every answer was a
# hit). Last, a 5 s perf profile of the node on 100 KiB.
# N=threads/workers (default 4: wrk takes the other cores), SECONDS_PER_RUN (default 8).
# Prints; asserts nothing; exits 0 when it cannot run.
source "$(dirname "$0")/proxy_tree.sh"
N=${N:-4}
NODE_THREADS=$N
THREADS=$N  # nginx_conf's worker_processes
SECONDS_PER_RUN=${SECONDS_PER_RUN:-8}
CASES=(16k 100k 1m range)

# make_objects DIR: the origin's files (made once, kept for later runs).
make_objects() {
  mkdir -p "$1/o"
  python3 - "$1/o" <<'PY'
import os, sys
folder = sys.argv[1]
for kind, size, count in (("16k", 16384, 1000), ("100k", 102400, 1000), ("1m", 1048576, 200), ("64m", 67108864, 1)):
    for n in range(count):
        path = os.path.join(folder, "%s-%d" % (kind, n))
        if os.path.exists(path) and os.path.getsize(path) == size:
            continue
        with open(path, "wb") as out:
            out.write(os.urandom(size))
PY
}

# start_hits_origin PORT: nginx serving the objects, logging each request.
start_hits_origin() {
  make_objects "$work/hits-www"
  nginx_conf "$work/hits-origin" "$1" 65 "root $work/hits-www; access_log $work/hits-origin/access.log; default_type application/octet-stream; add_header Cache-Control \"max-age=3600\";"
  : > "$work/hits-origin/access.log"
  nginx -p "$work/hits-origin" -c "$work/hits-origin/nginx.conf" -e "$work/hits-origin/error.log" || return 1
  wait_port "$1" && PIDS+=("$(cat "$work/hits-origin/nginx.pid")")
}

origin_requests() { wc -l < "$work/hits-origin/access.log"; }

# url_list: every path the caches are warmed on.
url_list() {
  local n
  for n in $(seq 0 999); do echo "/o/16k-$n"; echo "/o/100k-$n"; done
  for n in $(seq 0 199); do echo "/o/1m-$n"; done
  echo /o/64m-0
}

# write_lua CASE: the wrk script for a case; each wrk thread starts at its own place in the list.
# The headers given to wrk.format replace wrk's -H ones, so keep-alive is asked for here.
write_lua() {
  local file=$work/hits-$1.lua n
  {
    echo "local paths = {"
    case $1 in
      16k | 100k) for n in $(seq 0 999); do echo "\"/o/$1-$n\","; done ;;
      1m) for n in $(seq 0 199); do echo "\"/o/1m-$n\","; done ;;
      range) for n in $(seq 0 62); do echo "\"bytes=$((n * 1048576 + 12345))-$(((n + 1) * 1048576 + 12344))\","; done ;;
    esac
    echo "}"
    cat <<'LUA'
local started = 0
function setup(thread) started = started + 1; thread:set("id", started) end
local i = 0
function init(args) i = (id or 1) * 97 % #paths end
function request()
  i = i % #paths + 1
LUA
    if [ "$1" = range ]; then
      echo '  return wrk.format("GET", "/o/64m-0", {Host = "a.test", Connection = "keep-alive", Range = paths[i]})'
    else
      echo '  return wrk.format("GET", paths[i], {Host = "a.test", Connection = "keep-alive"})'
    fi
    echo "end"
  } > "$file"
  echo "$file"
}

# warm PORT: every URL fetched once through the cache at PORT.
warm() {
  url_list | sed "s|^|http://127.0.0.1:$1|" |
    xargs -P 8 -n 50 curl -s --max-time 120 -H 'Host: a.test' >/dev/null
}

# settle DIR WANT: waits (at most 60 s) until DIR holds WANT files or their count stops growing.
settle() {
  local last=-1 count
  for _ in $(seq 60); do
    count=$(find "$1" -type f | wc -l)
    [ "$count" -ge "$2" ] || [ "$count" = "$last" ] && break
    last=$count
    sleep 1
  done
  find "$1" -type f | wc -l
}

# restart_node PORT: the node stopped and started again on its tree, its cache disk and index kept.
restart_node() {
  stop_node
  (cd "$work/node/bin" && exec ./quorind >>"$work/node.out" 2>&1) &
  NODE_PID=$!
  PIDS+=("$NODE_PID")
  wait_port "$1"
}

x_cache() {
  curl -s -o /dev/null -D - --max-time 30 -H 'Host: a.test' "http://127.0.0.1:$1$2" | tr -d '\r' |
    awk 'tolower($1) == "x-cache:" {x = $2} NR == 1 {s = $2} END {printf "%s %s", s, (x == "" ? "-" : x)}'
}

# row NAME CASE_LABEL CPU_BEFORE CPU_AFTER ORIGIN_BEFORE ORIGIN_AFTER REQ_S P99 MB_S GB EXTRA
row() {
  awk -v name="$1" -v label="$2" -v cpu="$(awk -v a="$4" -v b="$3" 'BEGIN {print a - b}')" \
      -v origin=$(($6 - $5)) -v r="$7" -v p="$8" -v mbs="$9" -v gb="${10}" -v extra="${11}" \
    'BEGIN {printf "  %-18s %-12s %10s %9s %9.1f %9.2f %7d %s\n", name, label, r, p, mbs, (gb > 0 ? cpu / gb : 0), origin, extra}'
}

# wrk_case NAME PORT CASE CONNS PIDS...: one wrk run and its row.
wrk_case() {
  local name=$1 port=$2 kind=$3 conns=$4; shift 4
  local lua cpu_before cpu_after o_before o_after out figures
  lua=$(write_lua "$kind")
  o_before=$(origin_requests)
  cpu_before=$(cpu_seconds "$@")
  out=$(wrk -t4 -c"$conns" -d"${SECONDS_PER_RUN}s" --latency -s "$lua" "http://127.0.0.1:$port" 2>&1)
  cpu_after=$(cpu_seconds "$@")
  o_after=$(origin_requests)
  figures=$(awk 'function mb(v) { n = v + 0; if (v ~ /GB$/) n *= 1024; else if (v ~ /KB$/) n /= 1024; else if (v !~ /MB$/) n /= 1048576; return n }
      /Requests\/sec/ {r = $2} /Transfer\/sec/ {t = mb($2)} /^ +99%/ {p = $2} / requests in / {gb = mb($5) / 1024}
      /Socket errors|Non-2xx/ {sub(/^ +/, ""); e = e " [" $0 "]"}
      END {printf "%s|%s|%s|%s|%s", (r == "" ? "-" : r), (p == "" ? "-" : p), t + 0, gb + 0, e}' <<<"$out")
  IFS='|' read -r r p mbs gb extra <<<"$figures"
  [ "$r" = - ] && extra="wrk: $(tail -1 <<<"$out")"
  row "$name" "$kind -c$conns" "$cpu_before" "$cpu_after" "$o_before" "$o_after" "$r" "$p" "$mbs" "$gb" "$extra"
}

# downloads NAME PORT PIDS...: 20 curl clients fetching the 64 MiB object at once.
downloads() {
  local name=$1 port=$2; shift 2
  local cpu_before cpu_after o_before o_after start end n results=$work/hits-downloads.txt clients=()
  : > "$results"
  o_before=$(origin_requests)
  cpu_before=$(cpu_seconds "$@")
  start=$(date +%s.%N)
  for n in $(seq 20); do
    curl -s -o /dev/null --max-time 120 -H 'Host: a.test' -w '%{time_total} %{size_download} %{http_code}\n' \
      "http://127.0.0.1:$port/o/64m-0" >>"$results" &
    clients+=($!)
  done
  wait "${clients[@]}"
  end=$(date +%s.%N)
  cpu_after=$(cpu_seconds "$@")
  o_after=$(origin_requests)
  local figures r p mbs gb extra
  figures=$(sort -n "$results" | awk -v secs="$(awk -v a="$end" -v b="$start" 'BEGIN {print a - b}')" '
      {n++; bytes += $2; last = $1; if ($3 != 200 || $2 != 67108864) bad++}
      END {printf "%.2f|%.2fs|%.1f|%.4f|%s", n / secs, last, bytes / 1048576 / secs, bytes / 1073741824,
           (bad ? bad " answers not a whole 200" : "") " (" n " done in " sprintf("%.2f", secs) " s)"}')
  IFS='|' read -r r p mbs gb extra <<<"$figures"
  row "$name" "64m x20 curl" "$cpu_before" "$cpu_after" "$o_before" "$o_after" "$r" "$p" "$mbs" "$gb" "$extra"
}

# perf_node PORT: a flat profile of the node while wrk asks it for 100 KiB objects.
perf_node() {
  echo "== perf: the node's hottest symbols on 100k -c256 (flat, 5 s) =="
  command -v perf >/dev/null || { echo "  perf is not installed"; return; }
  perf record -g -o "$work/hits-perf.data" -p "$NODE_PID" -- sleep 5 >"$work/hits-perf.out" 2>&1 &
  local perf_pid=$!
  wrk -t4 -c256 -d6s -s "$(write_lua 100k)" "http://127.0.0.1:$1" >/dev/null 2>&1
  wait "$perf_pid"
  [ -s "$work/hits-perf.data" ] || { echo "  perf record failed: $(tail -1 "$work/hits-perf.out")"; return; }
  perf report -i "$work/hits-perf.data" --stdio --no-children -g none --sort dso,symbol 2>/dev/null |
    grep -v "^#" | grep "%" | sed "s/[[:space:]-]*$//" | head -25
}

main() {
  command -v wrk >/dev/null && command -v nginx >/dev/null || { echo "disk_hits: wrk or nginx missing"; return; }
  local origin node ncache ndisk=$work/hits-node-disk ncdir=$work/hits-nginx-cache want
  rm -rf "$ndisk" "$ncdir"
  mkdir -p "$ndisk" "$ncdir"
  want=$(url_list | wc -l)
  origin=$(free_port); node=$(free_port); ncache=$(free_port)
  start_hits_origin "$origin" || { echo "disk_hits: the origin did not start, see $work/hits-origin/error.log"; return; }
  start_node "$node" "$origin" "$(disk_cache_sql "$ndisk")
    update wc_system set value='1' where name='AddXCacheToHeader';
    update wc_system set value='0' where name in ('MinDiskCacheContentSize', 'MinSizeForActivePageByDiskCache');
    update wc_system set value='4194303' where name='MinSizeForRSCPByDiskCache';
    update wc_system set value='4' where name='MaxCacheBlockSize';" ||
    { echo "disk_hits: the node did not start, see $work/node.out"; return; }
  start_nginx_cache "$ncache" "$origin" "$ncdir" 100g || { echo "disk_hits: nginx proxy_cache did not start"; ncache=""; }

  echo "== warming: $want URLs through each cache =="
  warm "$node"
  echo "  node: $(settle "$ndisk" "$want") cache files after the first pass"
  [ "$(find "$ndisk" -type f | wc -l)" -ge "$want" ] || { warm "$node"; echo "  node: $(settle "$ndisk" "$want") cache files after a second pass"; }
  if [ -n "$ncache" ]; then
    warm "$ncache"
    echo "  nginx: $(settle "$ncdir" "$want") cache files"
  fi
  restart_node "$node" || { echo "disk_hits: the node did not start again, see $work/node.out"; return; }
  local path
  for path in /o/16k-0 /o/100k-0 /o/1m-0 /o/64m-0; do
    printf '  %-10s node %-12s nginx %s\n' "$path" "$(x_cache "$node" "$path")" "${ncache:+$(x_cache "$ncache" "$path")}"
  done

  echo "== warmed disk hits: wrk -t4 ${SECONDS_PER_RUN}s keep-alive, URL lists cycled; $N threads/workers; origin = its requests during the run =="
  printf '  %-18s %-12s %10s %9s %9s %9s %7s\n' cache case 'req/s' p99 'MB/s' 'CPU s/GB' origin
  local kind conns
  for kind in "${CASES[@]}"; do
    for conns in 64 256; do
      wrk_case node "$node" "$kind" "$conns" "$NODE_PID"
      # shellcheck disable=SC2046
      [ -n "$ncache" ] && wrk_case "nginx proxy_cache" "$ncache" "$kind" "$conns" "$(cat "$work/ncache/nginx.pid")" $(nginx_workers "$work/ncache")
    done
  done
  downloads node "$node" "$NODE_PID"
  # shellcheck disable=SC2046
  [ -n "$ncache" ] && downloads "nginx proxy_cache" "$ncache" "$(cat "$work/ncache/nginx.pid")" $(nginx_workers "$work/ncache")
  echo "  (range: 1 MiB ranges of the 64 MiB object, 63 offsets not on a MiB edge; CPU s/GB: the cache's"
  echo "   user+system seconds per GB wrk or curl read; 64m x20: req/s = 20 / wall time, p99 = the slowest download)"
  kill -0 "$NODE_PID" 2>/dev/null || { echo "disk_hits: the node ended during the table, see $work/node.out"; return; }
  perf_node "$node"
}

main
exit 0
