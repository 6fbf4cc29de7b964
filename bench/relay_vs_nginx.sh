#!/usr/bin/env bash
# The relay beside nginx proxy_pass (upstream keepalive), both in front of one nginx origin on
# 127.0.0.1: MB/s and CPU seconds per GB of a 1 GB download and upload, and wrk on 1 KiB.
# Prints; asserts nothing.
source "$(dirname "$0")/proxy_tree.sh"
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
origin=$(free_port); node=$(free_port); nproxy=$(free_port)
start_origin "$origin" && start_nginx_proxy "$nproxy" "$origin" && start_node "$node" "$origin" ||
  { echo "relay_vs_nginx: a server did not start"; exit 0; }

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
