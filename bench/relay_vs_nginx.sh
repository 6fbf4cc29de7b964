#!/usr/bin/env bash
# The relay beside nginx proxy_pass (upstream keepalive), both in front of one nginx origin on
# 127.0.0.1: MB/s and CPU seconds per GB of a 1 GB download and upload, and wrk on 1 KiB.
# Prints; asserts nothing.
source "$(dirname "$0")/proxy_tree.sh"
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
origin=$(free_port); node=$(free_port); nproxy=$(free_port)
start_origin "$origin" && start_nginx_proxy "$nproxy" "$origin" && start_node "$node" "$origin" ||
  { echo "relay_vs_nginx: a server did not start"; exit 0; }

# transfer NAME URL CPU_PIDS... : MB/s and CPU s/GB of a 1 GiB download or upload (UPLOAD=1).
transfer() {
  local name=$1 url=$2; shift 2
  local before after t0 t1 secs
  before=$(cpu_seconds "$@"); t0=$(date +%s.%N)
  if [ "${UPLOAD:-0}" = 1 ]; then
    curl -s -o /dev/null -H 'Host: a.test' -H 'Expect:' -T "$work/www/1g" "$url/upload"
  else
    curl -s -o /dev/null -H 'Host: a.test' "$url/1g"
  fi
  t1=$(date +%s.%N); after=$(cpu_seconds "$@")
  echo "$t0 $t1 $before $after" | awk -v n="$name" '{s=$2-$1; printf "  %-28s %8.0f MB/s  %6.2f CPU s/GB\n", n, 1073.741824/s, ($4-$3)}'
}

echo "== 1 GiB through each proxy =="
transfer "node download" "http://127.0.0.1:$node" "$NODE_PID"
transfer "nginx proxy_pass download" "http://127.0.0.1:$nproxy" $(nginx_workers "$work/nproxy")
UPLOAD=1 transfer "node upload" "http://127.0.0.1:$node" "$NODE_PID"
UPLOAD=1 transfer "nginx proxy_pass upload" "http://127.0.0.1:$nproxy" $(nginx_workers "$work/nproxy")
echo "== wrk -t4 -c256 -d${SECONDS_PER_RUN}s, 1 KiB, keep-alive =="
THREADS=4
printf '  %-10s %s\n' origin "$(run_wrk "http://127.0.0.1:$origin/1k" 256 -H 'Connection: keep-alive')"
printf '  %-10s %s\n' node "$(run_wrk "http://127.0.0.1:$node/1k" 256 -H 'Connection: keep-alive' -H 'Host: a.test')"
printf '  %-10s %s\n' nginx "$(run_wrk "http://127.0.0.1:$nproxy/1k" 256 -H 'Connection: keep-alive')"
