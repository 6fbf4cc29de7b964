#!/usr/bin/env bash
# Pipelined keep-alive requests: wrk with a script that writes DEPTH requests (8 by default) at a
# time, against the node and nginx proxy_cache, both answering warmed 1 KiB hits from one nginx
# origin on 127.0.0.1, beside the same clients without pipelining and the origin itself.
# Prints; asserts nothing; exits 0 when it cannot run.
source "$(dirname "$0")/proxy_tree.sh"
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
DEPTH=${DEPTH:-8}
NODE_THREADS=$(nproc)
THREADS=2  # wrk's threads
command -v wrk >/dev/null || { echo "pipelined_peers: wrk is not installed"; exit 0; }

script=$work/pipeline.lua
cat > "$script" <<LUA
-- $DEPTH requests in one write; wrk counts their answers one by one.
init = function(args)
  local r = {}
  for i = 1, $DEPTH do r[i] = wrk.format() end
  req = table.concat(r)
end
request = function() return req end
LUA

origin=$(free_port); node=$(free_port); ncache=$(free_port)
start_origin "$origin" || { echo "pipelined_peers: the origin did not start"; exit 0; }
start_node "$node" "$origin" "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)
    values(1, 'a.test/*', 0, 0, 1, 1, 0, 0, 0, '');
  update wc_system set value='1' where name='AddXCacheToHeader';" ||
  { echo "pipelined_peers: the node did not start, see $work/node.out"; exit 0; }
start_nginx_cache "$ncache" "$origin" || { echo "pipelined_peers: nginx proxy_cache did not start"; exit 0; }
for _ in 1 2 3; do
  curl -s -o /dev/null --max-time 5 -H 'Host: a.test' "http://127.0.0.1:$node/1k"
  curl -s -o /dev/null --max-time 5 "http://127.0.0.1:$ncache/1k"
done

echo "== 1 KiB warmed hits, keep-alive, wrk -t$THREADS -d${SECONDS_PER_RUN}s; the node with $NODE_THREADS threads =="
for conns in 64 256; do
  for depth in 1 "$DEPTH"; do
    lua=()
    [ "$depth" = 1 ] || lua=(-s "$script")
    printf '  %-18s -c%-4s depth %-2s %s\n' node "$conns" "$depth" \
      "$(run_wrk "http://127.0.0.1:$node/1k" "$conns" -H 'Connection: keep-alive' -H 'Host: a.test' "${lua[@]}")"
    printf '  %-18s -c%-4s depth %-2s %s\n' "nginx proxy_cache" "$conns" "$depth" \
      "$(run_wrk "http://127.0.0.1:$ncache/1k" "$conns" -H 'Connection: keep-alive' "${lua[@]}")"
    printf '  %-18s -c%-4s depth %-2s %s\n' origin "$conns" "$depth" \
      "$(run_wrk "http://127.0.0.1:$origin/1k" "$conns" -H 'Connection: keep-alive' "${lua[@]}")"
  done
done
echo "  (depth $DEPTH: each connection writes $DEPTH requests at once and reads their $DEPTH answers)"
