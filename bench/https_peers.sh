#!/usr/bin/env bash
# HTTPS of the node beside nginx on 127.0.0.1, with one certificate (RSA 2048, made with openssl)
# for every TLS server:
# - handshakes/s of openssl s_time (-new: full handshakes; -reuse: resumed sessions, with the share
#   the server resumed), CLIENTS clients at once, and wrk over HTTPS on a 1 KiB object with
#   keep-alive, against the node's https_port (a proxy host carrying the certificate, in front of an
#   nginx origin), nginx ssl with ssl_ecdh_curve prime256v1 (the node's curve) and nginx ssl with its
#   default curves, both nginx passing every request to the same origin; and the same wrk over plain
#   HTTP (the node's proxy_port, nginx proxy_pass) for the share TLS takes;
# - MB/s and CPU seconds per GB of 1 GiB relayed from an nginx TLS origin through the node (an
#   upstream with ssl_opt 1) beside nginx proxy_pass https:// to the same origin.
# Prints a table with the node's ratios; asserts nothing; exits 0 when it cannot run.
source "$(dirname "$0")/proxy_tree.sh"
SECONDS_PER_RUN=${SECONDS_PER_RUN:-10}
CLIENTS=${CLIENTS:-4}
tls=$work/tls
mkdir -p "$tls"
[ -s "$tls/bench.crt" ] || openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=bench.test \
  -keyout "$tls/bench.key" -out "$tls/bench.crt" 2>/dev/null || { echo "https_peers: openssl req failed"; exit 0; }
CERT="ssl_certificate $tls/bench.crt; ssl_certificate_key $tls/bench.key;"
PASS='proxy_http_version 1.1; proxy_set_header Connection ""; proxy_buffering off;'

# start_nginx_ssl NAME PORT ORIGIN_PORT [DIRECTIVES]: nginx in $work/NAME taking HTTPS with the
# certificate and passing every request to the plain origin over kept-alive connections.
start_nginx_ssl() {
  nginx_conf "$work/$1" "$2 ssl" 65 "$CERT ${4:-} location / { proxy_pass http://origin; $PASS } } upstream origin { server 127.0.0.1:$3; keepalive 256;"
  launch_nginx "$work/$1" "$2"
}

# start_tls_origin PORT: nginx serving $work/www over TLS.
start_tls_origin() {
  nginx_conf "$work/tls-origin" "$1 ssl" 65 "$CERT root $work/www;"
  launch_nginx "$work/tls-origin" "$1"
}

# start_nginx_https_proxy PORT TLS_ORIGIN_PORT: nginx taking plain HTTP and passing every request to
# the TLS origin over kept-alive connections (sessions reused, nginx's default).
start_nginx_https_proxy() {
  nginx_conf "$work/nproxy-https" "$1" 65 "location / { proxy_pass https://tls_origin; $PASS } } upstream tls_origin { server 127.0.0.1:$2; keepalive 256;"
  launch_nginx "$work/nproxy-https" "$1"
}

# handshakes PORT S_TIME_OPTIONS...: "handshakes/s resumed-percent" of CLIENTS s_time clients at
# once; s_time marks each connection with 'r' when the server resumed its session.
handshakes() {
  local port=$1 i pids=() t0 t1
  shift
  t0=$(date +%s.%N)
  for i in $(seq "$CLIENTS"); do
    openssl s_time -connect "127.0.0.1:$port" "$@" -time "$SECONDS_PER_RUN" >"$work/s_time.$i" 2>&1 &
    pids+=($!)
  done
  wait "${pids[@]}"
  t1=$(date +%s.%N)
  cat "$work"/s_time.* | awk -v s="$(echo "$t0 $t1" | awk '{print $2 - $1}')" '
    /connections in [0-9]+ real seconds/ {n += $1}
    /^[r*t3]+$/ {marks += length($0); r += gsub(/r/, "")}
    END {printf "%.0f %.0f", n / s, marks ? 100 * r / marks : 0}'
  rm -f "$work"/s_time.*
}

# https_row PORT: "new-hs/s reuse-hs/s resumed-% req/s p99" of one HTTPS server. Full handshakes
# take the protocol s_time and the server agree on (TLS 1.3); resumed ones are TLS 1.2, as s_time
# reads nothing after a handshake and so never holds a TLS 1.3 ticket.
https_row() {
  local new reuse wrk_line
  new=$(handshakes "$1" -new)
  reuse=$(handshakes "$1" -reuse -tls1_2)
  wrk_line=$(run_wrk "https://127.0.0.1:$1/1k" 256 -H 'Connection: keep-alive' -H 'Host: a.test')
  echo "${new% *} $reuse $(echo "$wrk_line" | awk '{print $1, $5}')"
}

# ratio A B: A/B with two decimals, "-" when either is missing or B is 0.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else printf "-"}'; }

origin=$(free_port); tls_origin=$(free_port); node=$(free_port); https=$(free_port)
nginx_p256=$(free_port); nginx_default=$(free_port); nproxy_https=$(free_port); nproxy=$(free_port)
start_origin "$origin" && start_tls_origin "$tls_origin" && start_nginx_proxy "$nproxy" "$origin" &&
  start_nginx_ssl nginx-ssl-p256 "$nginx_p256" "$origin" "ssl_ecdh_curve prime256v1;" &&
  start_nginx_ssl nginx-ssl-default "$nginx_default" "$origin" &&
  start_nginx_https_proxy "$nproxy_https" "$tls_origin" ||
  { echo "https_peers: an nginx did not start, see $work"; exit 0; }
# s_time sends no server name: the node looks its certificate up by the address reached,
# 127.0.0.1:PORT. tls.test's upstream is the TLS origin.
NODE_HTTPS_PORT=$https start_node "$node" "$origin" "
  insert into upfetch(wid, host, balance, note, ssl_opt, ssl_crt_content, ssl_key_content)
    values(2, '127.0.0.1:$https', 0, '', 1, readfile('$tls/bench.crt'), readfile('$tls/bench.key'));
  insert into wc_upstream(wid, host, weight, note) values(2, '127.0.0.1:$origin', 1, '');
  insert into upfetch(wid, host, balance, note) values(3, 'tls.test', 0, '');
  insert into wc_upstream(wid, host, weight, note, ssl_opt) values(3, '127.0.0.1:$tls_origin', 1, '', 1);" &&
  wait_port "$https" || { echo "https_peers: the node did not start, see $work/node.out"; exit 0; }

for check in "https://127.0.0.1:$https/1k|a.test" "http://127.0.0.1:$node/1k|tls.test"; do
  code=$(curl -k -s -o /dev/null -w '%{http_code}' --max-time 10 -H "Host: ${check#*|}" "${check%|*}")
  [ "$code" = 200 ] || echo "https_peers: the node answers $code to ${check%|*} for ${check#*|}; its rows measure that"
done

echo "== HTTPS on 127.0.0.1: $CLIENTS s_time clients for ${SECONDS_PER_RUN}s each; wrk -t$THREADS -c256 -d${SECONDS_PER_RUN}s, 1 KiB, keep-alive =="
read -r node_new node_reuse node_resumed node_rps node_p99 <<<"$(https_row "$https")"
read -r p256_new p256_reuse p256_resumed p256_rps p256_p99 <<<"$(https_row "$nginx_p256")"
read -r def_new def_reuse def_resumed def_rps def_p99 <<<"$(https_row "$nginx_default")"
printf '  %-30s %10s %18s %12s %10s\n' server 'new hs/s' 'reuse 1.2 (res.)' 'wrk req/s' 'wrk p99'
printf '  %-30s %10s %11s (%3s%%) %12s %10s\n' "node https_port" "$node_new" "$node_reuse" "$node_resumed" "$node_rps" "$node_p99"
printf '  %-30s %10s %11s (%3s%%) %12s %10s\n' "nginx ssl, prime256v1" "$p256_new" "$p256_reuse" "$p256_resumed" "$p256_rps" "$p256_p99"
printf '  %-30s %10s %11s (%3s%%) %12s %10s\n' "nginx ssl, default curves" "$def_new" "$def_reuse" "$def_resumed" "$def_rps" "$def_p99"
printf '  %-30s %10s %18s %12s\n' "node / nginx prime256v1" "$(ratio "$node_new" "$p256_new")" \
  "$(ratio "$node_reuse" "$p256_reuse")" "$(ratio "$node_rps" "$p256_rps")"
printf '  %-30s %10s %18s %12s\n' "node / nginx default curves" "$(ratio "$node_new" "$def_new")" \
  "$(ratio "$node_reuse" "$def_reuse")" "$(ratio "$node_rps" "$def_rps")"
echo "  the same wrk over plain HTTP, for the share TLS takes:"
node_plain=$(run_wrk "http://127.0.0.1:$node/1k" 256 -H 'Connection: keep-alive' -H 'Host: a.test' | awk '{print $1}')
nginx_plain=$(run_wrk "http://127.0.0.1:$nproxy/1k" 256 -H 'Connection: keep-alive' | awk '{print $1}')
printf '  %-30s %12s %12s %12s\n' '' 'node' 'nginx' 'node/nginx'
printf '  %-30s %12s %12s %12s\n' 'wrk req/s, plain HTTP' "$node_plain" "$nginx_plain" "$(ratio "$node_plain" "$nginx_plain")"
printf '  %-30s %12s %12s %12s\n' 'HTTPS / plain HTTP' "$(ratio "$node_rps" "$node_plain")" "$(ratio "$p256_rps" "$nginx_plain")" ''
kill -0 "$NODE_PID" 2>/dev/null || { echo "https_peers: the node ended, see $work/node.out"; exit 0; }

echo "== 1 GiB relayed from an nginx TLS origin (plain HTTP client side) =="
read -r node_mbs node_cpu node_bytes <<<"$(TRANSFER_HOST=tls.test transfer_figures "http://127.0.0.1:$node" "$NODE_PID")"
read -r nginx_mbs nginx_cpu nginx_bytes <<<"$(transfer_figures "http://127.0.0.1:$nproxy_https" $(nginx_workers "$work/nproxy-https"))"
printf '  %-30s %8s %10s %12s\n' proxy 'MB/s' 'CPU s/GB' 'bytes'
printf '  %-30s %8s %10s %12s\n' "node, upstream ssl_opt 1" "$node_mbs" "$node_cpu" "$node_bytes"
printf '  %-30s %8s %10s %12s\n' "nginx proxy_pass https://" "$nginx_mbs" "$nginx_cpu" "$nginx_bytes"
printf '  %-30s %8s %10s\n' "node / nginx" "$(ratio "$node_mbs" "$nginx_mbs")" "$(ratio "$node_cpu" "$nginx_cpu")"
exit 0
