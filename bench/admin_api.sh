#!/usr/bin/env bash
# admin_api: the admin API as consoles use it, one connection per command on 127.0.0.1:
# replies/s and p99 of a login, a 1,000-row "fcache" list and an add+del pair, beside a 1 KiB
# static file of the same admin server and the sqlite3 CLI's run of the list's SELECT; and the
# time the list's SELECT and row walk take in python's sqlite3 (what the API holds
# wc_sqlite_lock for, without the reply's JSON). Builds the release tree first (VOR_BENCH_BUILD
# names another build folder to lay out instead). Prints figures, never fails.
source "$(dirname "$0")/../scripts/lib.sh"
set +e
cd "$ROOT"
build=${VOR_BENCH_BUILD:-}
if [ -z "$build" ]; then
  install_packages
  build=build/release
  configure_and_build "$build" -DCMAKE_BUILD_TYPE=Release -DVOR_TESTS=OFF || exit 0
fi

work=$(mktemp -d)
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -INT "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
admin_port=$(free_port)
proxy_port=$(free_port)
https_port=$(free_port)

lay_out_dist "$build" "$work/dist"
sed -i -e "s/^admin_port=.*/admin_port=127.0.0.1:$admin_port/" -e "s/^proxy_port=.*/proxy_port=127.0.0.1:$proxy_port/" \
  -e "s/^https_port=.*/https_port=127.0.0.1:$https_port/" "$work/dist/config/quorind.ini"
sed -i 's/^display_console=1/display_console=0/' "$work/dist/modules/vuved.ini"
db=$work/dist/config/zazudaza.db
password=benchpw
sqlite3 -bail "$db" <dist/config/zazudaza.sql
sqlite3 -bail "$db" "insert into wc_user(username, password, lastlogtime) values('admin', '$(printf '%s' "$password" | md5sum | cut -d' ' -f1)', 0)"
sqlite3 -bail "$db" "with recursive n(i) as (select 1 union all select i + 1 from n where i < 1000)
  insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)
  select i, 'bench' || i || '.test/*', 0, 0, 60, 1, 1, 0, 1, 'row ' || i from n"
head -c 1024 /dev/urandom >"$work/dist/wwwroot/k1.bin"
(cd "$work/dist/bin" && exec ./quorind >"$work/quorind.out" 2>&1) &
daemon_pid=$!
for _ in $(seq 1 200); do
  curl -s -o /dev/null "http://127.0.0.1:$admin_port/k1.bin" && break
  sleep 0.1
done

python3 - "$admin_port" "$password" "$db" <<'PY'
import json, re, socket, sqlite3, subprocess, sys, time

port, password, db = int(sys.argv[1]), sys.argv[2], sys.argv[3]
SELECT = ("select wid, num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note "
          "from wc_fcache order by num limit 1000")

def request(path):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(("GET %s HTTP/1.1\r\nHost: a\r\n\r\n" % path).encode())
    data = b""
    while True:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            m = re.search(rb"Content-Length: (\d+)", data[:head_end])
            if m and len(data) - head_end - 4 >= int(m.group(1)):
                break
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return data[data.find(b"\r\n\r\n") + 4:].decode("utf-8", "replace")

def measure(name, run, seconds=3.0):
    times = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        run()
        times.append(time.monotonic() - t)
    times.sort()
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    rate = len(times) / sum(times)
    print("%-34s %10.0f /s   p99 %8.2f ms" % (name, rate, p99 * 1000))
    return rate

login = "/quorin/zazudaza.quo?type=sign&cmd=in&Username=admin&Password=" + password
sid = json.loads(request(login))["SessionID"]
rows = json.loads(request("/quorin/zazudaza.quo?type=fcache&cmd=list&SessionID=" + sid))["NumOfLists"]
print("admin_api: one connection per command, 127.0.0.1; the list has %s rows" % rows)

def add_del():
    added = json.loads(request("/quorin/zazudaza.quo?type=fcache&cmd=add&SessionID=%s"
                               "&Url=pair.test/*&Icase=0&Rules=0&Expire=1&Unit=1" % sid))
    request("/quorin/zazudaza.quo?type=fcache&cmd=del&SessionID=%s&Wid=%s" % (sid, added["Wid"]))

static = measure("static 1 KiB file (same server)", lambda: request("/k1.bin"))
measure("login", lambda: request(login))
api_list = measure("fcache list of 1,000 rows", lambda: request("/quorin/zazudaza.quo?type=fcache&cmd=list&SessionID=" + sid))
measure("fcache add + del pair", add_del)
cli = measure("sqlite3 CLI: that SELECT", lambda: subprocess.run(["sqlite3", db, SELECT], stdout=subprocess.DEVNULL))
print("ratio: list / static file %.3f, list / sqlite3 CLI %.2f" % (api_list / static, api_list / cli))
con = sqlite3.connect(db)
times = []
for _ in range(200):
    t = time.monotonic()
    con.execute(SELECT).fetchall()
    times.append(time.monotonic() - t)
times.sort()
print("list SELECT and row walk (python sqlite3, ~the wc_sqlite_lock hold): median %.2f ms, p99 %.2f ms"
      % (times[len(times) // 2] * 1000, times[int(len(times) * 0.99)] * 1000))
PY
exit 0
