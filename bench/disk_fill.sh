#!/usr/bin/env bash
# bench/disk_fill.sh: caches filling their disks. An nginx origin on 127.0.0.1 answers every
# /f/<size>-<n>?v=<i> with one of 16 files of that size (100k or 4m, different bytes each) that may
# be kept an hour; the node (the disk cache on one folder, a force-cache rule for a.test, bodies
# never shared) and nginx proxy_cache (files on the same file system) are filled side by side by
# wrk over distinct URLs, so every request is a miss written to disk. Per cache and size: misses/s,
# MB/s written to the cache folder, the cache's CPU seconds per GB written, and how many of the
# answers were kept (a cache may refuse files while its writes lag).
# Prints; asserts nothing; exits 0 when it cannot run.
source "$(dirname "$0")/proxy_tree.sh"
NODE_THREADS=$(nproc)
THREADS=$NODE_THREADS
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
CONNS=${CONNS:-32}

# start_fill_origin PORT: nginx serving the 16 files of each size under any ?v= query.
start_fill_origin() {
  mkdir -p "$work/fill-www/f"
  local n
  for n in $(seq 0 15); do
    [ -s "$work/fill-www/f/100k-$n" ] || head -c 102400 /dev/urandom > "$work/fill-www/f/100k-$n"
    [ -s "$work/fill-www/f/4m-$n" ] || head -c 4194304 /dev/urandom > "$work/fill-www/f/4m-$n"
  done
  nginx_conf "$work/fill-origin" "$1" 65 "root $work/fill-www; default_type application/octet-stream; add_header Cache-Control \"max-age=3600\";"
  nginx -p "$work/fill-origin" -c "$work/fill-origin/nginx.conf" -e "$work/fill-origin/error.log" || return 1
  wait_port "$1" && PIDS+=("$(cat "$work/fill-origin/nginx.pid")")
}

# The wrk script: every request a URL not asked before.
write_lua() {
  cat > "$work/fill.lua" <<LUA
local n = 0
threads = 0
function setup(thread) threads = threads + 1; thread:set("tag", threads) end
function request()
  n = n + 1
  return wrk.format("GET", "/f/$1-" .. (n % 16) .. "?v=" .. tag .. "-" .. n)
end
LUA
}

# fill NAME PORT DIR SIZE PIDS...: one wrk run against a cache; its figures.
fill() {
  local name=$1 port=$2 dir=$3 size=$4; shift 4
  write_lua "$size"
  local before_kb cpu_before out cpu_after after_kb files_before files_after
  before_kb=$(du -sk "$dir" 2>/dev/null | cut -f1)
  files_before=$(find "$dir" -type f | wc -l)
  cpu_before=$(cpu_seconds "$@")
  out=$(wrk -t2 -c"$CONNS" -d"${SECONDS_PER_RUN}s" -s "$work/fill.lua" -H "Host: a.test" "http://127.0.0.1:$port" 2>&1)
  sleep 2  # writes still queued reach the disk
  cpu_after=$(cpu_seconds "$@")
  after_kb=$(du -sk "$dir" 2>/dev/null | cut -f1)
  files_after=$(find "$dir" -type f | wc -l)
  awk -v name="$name" -v size="$size" -v secs="$SECONDS_PER_RUN" -v kb=$((after_kb - before_kb)) \
      -v files=$((files_after - files_before)) \
      -v cpu="$(awk -v a="$cpu_after" -v b="$cpu_before" 'BEGIN {print a - b}')" '
    /Requests\/sec/ {r = $2} /requests in/ {n = $1} /Non-2xx|Socket errors/ {e = e " " $0}
    END {gb = kb / 1048576; printf "  %-18s %-5s %10s misses/s %9.1f MB/s written %8.2f CPU s/GB  %s of %s kept %s\n",
         name, size, r, kb / 1024 / secs, (gb > 0 ? cpu / gb : 0), files, n, e}' <<<"$out"
}

main() {
  command -v wrk >/dev/null && command -v nginx >/dev/null || { echo "disk_fill: wrk or nginx missing"; return; }
  local origin node ncache ndisk=$work/fill-node-disk ncdir=$work/fill-nginx-cache
  rm -rf "$ndisk" "$ncdir"
  mkdir -p "$ndisk" "$ncdir"
  origin=$(free_port); node=$(free_port); ncache=$(free_port)
  start_fill_origin "$origin" || { echo "disk_fill: the origin did not start, see $work/fill-origin/error.log"; return; }
  start_node "$node" "$origin" "$(disk_cache_sql "$ndisk")
    update wc_system set value='4194303' where name='MinSizeForRSCPByDiskCache';
    update wc_system set value='1' where name='MaxCacheBlockSize';" ||
    { echo "disk_fill: the node did not start, see $work/node.out"; return; }
  start_nginx_cache "$ncache" "$origin" "$ncdir" 100g || { echo "disk_fill: nginx proxy_cache did not start"; ncache=""; }
  echo "== disk_fill: distinct URLs, every request a miss kept on disk; wrk -t2 -c$CONNS ${SECONDS_PER_RUN}s, $THREADS threads/workers =="
  local size
  for size in 100k 4m; do
    fill node "$node" "$ndisk" "$size" "$NODE_PID"
    # shellcheck disable=SC2046
    [ -n "$ncache" ] && fill "nginx proxy_cache" "$ncache" "$ncdir" "$size" "$(cat "$work/ncache/nginx.pid")" $(nginx_workers "$work/ncache")
  done
  echo "  files: node $(find "$ndisk" -type f | wc -l), nginx $(find "$ncdir" -type f | wc -l)"
}

main
exit 0
