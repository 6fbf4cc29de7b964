#!/usr/bin/env bash
# bench/unsafe_mix.sh: a mixed workload on URLs whose answers may be kept ten minutes, 90% GET and
# 10% POST to the same URLs, where each POST changes its URL's page (a python origin on 127.0.0.1
# numbers the versions and counts every request it gets). Side by side: the node (no cache rule:
# the answers' own Cache-Control decides, X-Cache on), nginx proxy_cache and Varnish in their
# default set-ups (neither drops a copy on POST). One client runs the same seeded sequence through
# each, one request at a time, and knows every URL's current version: per cache, the hit rate of
# the GETs, the requests that reached the origin and the stale answers (a GET answered with a
# version older than the last POST made).
# REQUESTS (default 5000), URLS (default 50). Prints; asserts nothing; exits 0 when it cannot run.
source "$(dirname "$0")/proxy_tree.sh"
install_packages varnish >/dev/null 2>&1
THREADS=2
NODE_THREADS=2
REQUESTS=${REQUESTS:-5000}
URLS=${URLS:-50}

# start_mix_origin PORT: the versioned origin; GET /count answers how many requests it has had.
start_mix_origin() {
  python3 - "$1" >"$work/mix-origin.out" 2>&1 <<'PY' &
import http.server, socketserver, sys, threading
versions, lock, seen = {}, threading.Lock(), [0]
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def send(self, body, cache_control):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Cache-Control", cache_control)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        if self.path == "/count":
            return self.send(str(seen[0]).encode(), "no-store")
        with lock:
            seen[0] += 1
            version = versions.get(self.path, 0)
        self.send(b"v%d " % version + b"x" * 2000, "max-age=600")
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        with lock:
            seen[0] += 1
            versions[self.path] = versions.get(self.path, 0) + 1
        self.send(b"done", "no-store")
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
Server(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
PY
  PIDS+=("$!")
  wait_port "$1"
}

# start_mix_varnish PORT ORIGIN_PORT: Varnish with its default VCL before the origin.
start_mix_varnish() {
  command -v varnishd >/dev/null || return 1
  local dir=$work/mix-varnish
  mkdir -p "$dir"
  printf 'vcl 4.1;\nbackend origin { .host = "127.0.0.1"; .port = "%s"; }\n' "$2" > "$dir/main.vcl"
  varnishd -a "127.0.0.1:$1" -f "$dir/main.vcl" -s malloc,256m -n "$dir" -P "$dir/varnishd.pid" \
    >"$dir/varnishd.out" 2>&1 || return 1
  wait_port "$1" && PIDS+=("$(cat "$dir/varnishd.pid")")
}

# run_mix NAME PORT ORIGIN_PORT: the seeded sequence through one cache; one line of figures.
run_mix() {
  python3 - "$@" "$REQUESTS" "$URLS" <<'PY'
import http.client, random, sys
name, port, origin, requests, urls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
def ask(conn, method, path, body=None):
    conn.request(method, path, body=body, headers={"Host": "a.test"})
    answer = conn.getresponse()
    return answer, answer.read()
def origin_count():
    conn = http.client.HTTPConnection("127.0.0.1", origin, timeout=10)
    return int(ask(conn, "GET", "/count")[1])
rng = random.Random(41)
prefix = "/%s/" % name
current = {}
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
before = origin_count()
gets = hits = stale = 0
for _ in range(requests):
    path = prefix + str(rng.randrange(urls))
    if rng.random() < 0.1:
        ask(conn, "POST", path, b"a=1")
        current[path] = current.get(path, 0) + 1
        continue
    answer, body = ask(conn, "GET", path)
    gets += 1
    verdict = (answer.getheader("X-Cache") or "").upper()
    hits += "HIT" in verdict or len((answer.getheader("X-Varnish") or "").split()) > 1
    stale += int(body.split()[0][1:]) < current.get(path, 0)
print("  %-18s GET hit rate %5.1f%%   origin requests %5d   stale answers %5d of %d GETs"
      % (name, 100.0 * hits / gets, origin_count() - before, stale, gets))
PY
}

if [ ! -x build/release/quorind ]; then
  echo "unsafe_mix: no release build (scripts/run makes one)"
  exit 0
fi
origin=$(free_port) node=$(free_port) ncache=$(free_port) varnish=$(free_port)
start_mix_origin "$origin" || { echo "unsafe_mix: the origin did not start"; exit 0; }
start_node "$node" "$origin" "update wc_system set value='1' where name='AddXCacheToHeader';" ||
  { echo "unsafe_mix: the node did not start"; exit 0; }
start_nginx_cache "$ncache" "$origin"
echo "unsafe_mix: $REQUESTS requests (90% GET, 10% POST) on $URLS URLs kept 600 s, one client"
run_mix node "$node" "$origin"
run_mix nginx-proxy_cache "$ncache" "$origin"
if start_mix_varnish "$varnish" "$origin"; then
  run_mix varnish "$varnish" "$origin"
else
  echo "  varnish            not started (see $work/mix-varnish)"
fi
