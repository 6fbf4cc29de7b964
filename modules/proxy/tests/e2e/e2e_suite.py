#!/usr/bin/env python3
"""The node end to end: a runtime tree laid out from a build, its database seeded with sqlite3,
origins on free 127.0.0.1 ports (nginx with its own prefix, python echo origins, dnsmasq for
upstream names), and one table of curl cases through the node. Every server is ended by pid and
every wait is bounded.

  e2e_suite.py --build DIR --source DIR --plugin FILE           the table of curl cases
  e2e_suite.py --build DIR --source DIR --plugin FILE --soak    wrk on 1 KiB and 1 MiB objects

Exit 0 when every case passes, 1 when one fails, 77 when a tool it needs is missing.
"""
import argparse
import collections
import hashlib
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
PATIENCE = 60  # seconds, for any one wait: a bound that a loaded machine meets, not a pause
VIA = re.compile(r"^1\.1 \S+ \(random:\d+ Quorin/Zazudaza/3\.7\.9\)$")
FAR_FUTURE = 4000000000
WHITE_TABLE = ("create table wc_white(wid integer primary key autoincrement, low varchar(20) not null, "
               "high varchar(20) not null, expire unsigned int(4) not null, note text);")


STARTED = time.monotonic()


def stage(text):
    """One progress line with the seconds since the script started: a run that times out shows
    where its time went."""
    print("[%6.1f s] %s" % (time.monotonic() - STARTED, text), flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def wait_for(what, seconds=PATIENCE, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if what():
            return True
        time.sleep(step)
    return what()


def end_process(proc, seconds=PATIENCE):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(seconds)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def sha256_file(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# exit: curl's exit code (28: its time limit ended the transfer; 18: the answer ended short).
Answer = collections.namedtuple("Answer", "status head body raw exit", defaults=(0,))


def parse_answer(raw):
    """The last answer of curl -i output (interim 1xx heads skipped)."""
    rest = raw
    while True:
        head, sep, body = rest.partition(b"\r\n\r\n")
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        match = re.match(r"HTTP/1\.[01] (\d{3})", line)
        status = int(match.group(1)) if match else 0
        if 100 <= status < 200 and sep:
            rest = body
            continue
        return Answer(status, head.decode("latin-1") if match else "", body if match else raw, raw)


def header(head, name):
    values = [line.split(":", 1)[1].strip() for line in head.split("\r\n")[1:]
              if ":" in line and line.split(":", 1)[0].strip().lower() == name.lower()]
    return values


class Fixtures:
    """The origins and the name server every node of the run shares."""

    def __init__(self, work, source):
        self.work = work
        self.procs = []
        self.echo_log = os.path.join(work, "echo.log")
        self.echo = [free_port(), free_port()]
        for port in self.echo:
            self.spawn(["python3", os.path.join(source, "modules/proxy/tests/fixtures/relay_origin.py"),
                        str(port), self.echo_log], "echo-%d" % port)
        self.nginx_prefix = os.path.join(work, "nginx")
        self.www = os.path.join(work, "www")
        os.makedirs(self.www)
        for name, size in (("1k", 1024), ("1m", 1 << 20), ("slow", 4 << 20)):
            with open(os.path.join(self.www, name), "wb") as f:
                f.write(os.urandom(size))
        self.nginx, self.nginx_slow = free_port(), free_port()
        self.start_nginx()
        self.dead = free_port()  # nothing listens here
        self.start_dnsmasq(["origin.e2e.test,127.0.0.1"])
        self.ready = all(wait_for(lambda p=p: listening(p)) for p in self.echo + [self.nginx, self.nginx_slow])
        self.ready = self.ready and self.dns_ready()

    def start_dnsmasq(self, records):
        """dnsmasq on a free port answering the names below .test from its host records ("NAME,ADDRESS";
        one name given twice answers both addresses), logging every query."""
        self.dns_port = free_port()
        self.dns_log = os.path.join(self.work, "dns.log")
        self.spawn(["dnsmasq", "-k", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                    "--listen-address=127.0.0.1", "--bind-interfaces", "--port=%d" % self.dns_port, "--local=/test/"] +
                   ["--host-record=" + record for record in records] +
                   ["--log-queries", "--log-facility=" + self.dns_log, "--pid-file=",
                    "--user=" + pwd.getpwuid(os.getuid()).pw_name], "dnsmasq")

    def dns_ready(self):
        return wait_for(lambda: os.path.exists(self.dns_log) or listening(self.dns_port))

    def spawn(self, argv, name):
        out = open(os.path.join(self.work, name + ".out"), "wb")
        self.procs.append(subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL))

    def start_nginx(self):
        prefix = self.nginx_prefix
        os.makedirs(os.path.join(prefix, "logs"))
        user = "user root;" if os.geteuid() == 0 else ""
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write("""%s
daemon off;
worker_processes 2;
pid %s/nginx.pid;
error_log %s/logs/error.log;
events { worker_connections 4096; }
http {
  log_format conn '$connection $request_uri';
  access_log %s/logs/access.log conn;
  keepalive_requests 1000000;
  keepalive_timeout 60;
  client_body_temp_path %s/logs;
  proxy_temp_path %s/logs;
  fastcgi_temp_path %s/logs;
  server { listen 127.0.0.1:%d; root %s; }
  server { listen 127.0.0.1:%d; root %s; limit_rate 100k; }
}
""" % (user, prefix, prefix, prefix, prefix, prefix, prefix, self.nginx, self.www, self.nginx_slow, self.www))
        self.spawn(["nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"), "-e",
                    os.path.join(prefix, "logs/error.log")], "nginx")

    def echo_paths(self):
        """(listening port, peer port, method, path) per request the echo origins saw."""
        if not os.path.exists(self.echo_log):
            return []
        with open(self.echo_log) as f:
            return [tuple(line.split()) for line in f if line.strip()]

    def nginx_log(self):
        with open(os.path.join(self.nginx_prefix, "logs/access.log")) as f:
            return [line.split() for line in f if line.strip()]

    def dns_queries(self, name):
        if not os.path.exists(self.dns_log):
            return 0
        with open(self.dns_log) as f:
            return sum(1 for line in f if "query[" in line and "] %s from" % name in line)

    def stop(self):
        for proc in reversed(self.procs):
            end_process(proc)


class Node:
    """quorind in a runtime tree laid out from the build, with one set of settings: "sql" run on the
    seeded database, "ini" (file, key, value) edits, "files" (path, text) written into the tree and
    "system" lines added to the [system] group of quorind.ini."""

    def __init__(self, args, fixtures, name, config):
        self.port = free_port()
        self.root = os.path.join(fixtures.work, "node-" + name)
        self.fixtures = fixtures
        lay_out = subprocess.run(["bash", "-c", 'source "$1/scripts/lib.sh" && lay_out_dist "$2" "$3"', "-",
                                  args.source, args.build, self.root], capture_output=True, timeout=PATIENCE)
        if lay_out.returncode != 0:
            raise RuntimeError("lay_out_dist: " + lay_out.stderr.decode())
        with open(os.path.join(self.root, "config/quorind.ini"), "w") as f:
            f.write("[system]\nmax_network_threads=2\nmax_network_connections=20000\nproxy_port=127.0.0.1:%d\n%s"
                    "[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n" % (self.port, config.get("system", "")))
        # The cases read the trace lines, which the shipped settings leave off.
        edit_ini(os.path.join(self.root, "modules/zazudaza.ini"), "display_console", "1")
        for file, key, value in config.get("ini", []):
            edit_ini(os.path.join(self.root, "modules", file), key, value)
        for file, text in config.get("files", []):
            with open(os.path.join(self.root, file), "w") as f:
                f.write(text)
        shutil.copy(args.plugin, os.path.join(self.root, "plugins/e2e_refusing.so"))
        with open(os.path.join(self.root, "plugins/plugins.ini"), "w") as f:
            f.write("[plugins]\nplugin-0=e2e_refusing.so\n")
        db = os.path.join(self.root, "config/zazudaza.db")
        with open(os.path.join(args.source, "dist/config/zazudaza.sql")) as schema:
            subprocess.run(["sqlite3", "-bail", db], stdin=schema, check=True, timeout=PATIENCE)
        subprocess.run(["sqlite3", "-bail", db, self.seed(config.get("sql", ""))], check=True, timeout=PATIENCE)
        self.name = name
        self.runs = 0
        self.start()

    def start(self):
        """Starts quorind in the tree (again after a stop: the tree and its stores stay)."""
        env = dict(os.environ)
        env["NAMERES_SERVERS"] = "127.0.0.1:%d" % self.fixtures.dns_port
        suffix = "" if self.runs == 0 else "-%d" % self.runs
        self.runs += 1
        self.out = os.path.join(self.fixtures.work, "node-%s%s.out" % (self.name, suffix))
        self.err = os.path.join(self.fixtures.work, "node-%s%s.err" % (self.name, suffix))
        self.proc = subprocess.Popen(["./quorind"], cwd=os.path.join(self.root, "bin"), env=env,
                                     stdout=open(self.out, "wb"), stderr=open(self.err, "wb"),
                                     stdin=subprocess.DEVNULL)
        self.ready = wait_for(lambda: b"You Can Press Ctrl+C To Exit!" in read(self.out) or self.proc.poll() is not None)
        self.ready = self.ready and self.proc.poll() is None and wait_for(lambda: listening(self.port))
        return self.ready

    def seed(self, extra):
        f = self.fixtures
        hosts = [("a.test", 0, [f.echo[0]]), ("n.test", 0, [f.nginx]), ("slow.test", 0, [f.nginx_slow]),
                 ("loop.test", 0, [self.port]), ("bal0.test", 0, f.echo), ("bal1.test", 1, f.echo),
                 ("dead.test", 0, [f.dead])]
        sql = []
        for wid, (host, balance, ports) in enumerate(hosts, 1):
            sql.append("insert into upfetch(wid, host, balance, note) values(%d, '%s', %d, '');" % (wid, host, balance))
            for port in ports:
                sql.append("insert into wc_upstream(wid, host, weight, note) values(%d, '127.0.0.1:%d', 1, '');"
                           % (wid, port))
        wid = len(hosts) + 1
        for host, upstream in (("dns.test", "origin.e2e.test:%d" % f.echo[0]), ("nxdns.test", "missing.e2e.test:80")):
            sql.append("insert into upfetch(wid, host, balance, note) values(%d, '%s', 0, '');" % (wid, host))
            sql.append("insert into wc_upstream(wid, host, weight, note) values(%d, '%s', 1, '');" % (wid, upstream))
            wid += 1
        sql.append("insert into wc_rewrite(num, src, dst, icase, flag, note) values"
                   "(1, '^a.test/old$', 'http://a.test/new', 0, 1, ''), (2, '^a.test/inplace$', 'a.test/echo', 0, 0, ''),"
                   " (3, '^a.test/empty$', '', 0, 0, '');")
        sql.append("insert into wc_protect(pturl, lcurl, icase, note) values"
                   "('^a.test/protected/(.*)$', 'http://a.test/denied', 0, '');")
        # The shipped 8 KB receive buffer is below the loopback's segment size: every window update
        # of an upload would wait for the persist timer.
        sql.append("update wc_system set value='128' where name='MaxClientRecvBuffer';")
        return "".join(sql) + extra

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def descriptors(self):
        try:
            return len(os.listdir("/proc/%d/fd" % self.proc.pid))
        except OSError:
            return -1

    def stop(self):
        """Ends the node; the faults its standard error reports (sanitizers), if any."""
        end_process(self.proc)
        text = read(self.err).decode("latin-1", "replace")
        faults = [line for line in text.splitlines()
                  if "Sanitizer" in line or "runtime error:" in line or "WARNING: ThreadSanitizer" in line]
        if self.proc.returncode not in (0, None) and not faults:
            faults.append("quorind ended with %d" % self.proc.returncode)
        return faults


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def edit_ini(path, key, value):
    with open(path) as f:
        lines = f.read().split("\n")
    lines = [key + "=" + value if line.startswith(key + "=") else line for line in lines]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def curl(node, host, path, options=(), stdin_file=None, seconds=20):
    # Options follow the URL so that output options and --next segments apply after it.
    argv = ["curl", "-s", "-i", "--max-time", str(seconds), "-H", "Host: " + host, node.url(path)] + list(options)
    stdin = open(stdin_file, "rb") if stdin_file else subprocess.DEVNULL
    done = subprocess.run(argv, stdin=stdin, capture_output=True, timeout=seconds + 10)
    return parse_answer(done.stdout)._replace(exit=done.returncode)


# --- the checks the table uses ----------------------------------------------------------------

def status_is(code, *texts):
    def check(ctx, answer):
        if answer.status != code:
            return "status %d, expected %d" % (answer.status, code)
        for text in texts:
            if text.encode() not in answer.raw:
                return "missing %r" % text
        return None
    return check


def all_of(*checks):
    def check(ctx, answer):
        for one in checks:
            error = one(ctx, answer)
            if error:
                return error
        return None
    return check


def never_reached(path):
    def check(ctx, answer):
        seen = [p for p in ctx.fixtures.echo_paths() if p[3] == path]
        seen += [line for line in ctx.fixtures.nginx_log() if line[1] == path]
        return "the origin saw %s" % (seen,) if seen else None
    return check


def one_answer(ctx, answer):
    count = answer.raw.count(b"HTTP/1.1 ")
    return None if count == 1 else "%d answers" % count


def body_sha_of(name):
    def check(ctx, answer):
        want = sha256_file(os.path.join(ctx.fixtures.www, name))
        got = hashlib.sha256(answer.body).hexdigest()
        return None if got == want else "body sha256 %s, origin's %s" % (got, want)
    return check


def via_token(ctx, answer):
    via = header(answer.head, "X-Via")
    if len(via) != 1 or not VIA.match(via[0]):
        return "X-Via %r" % via
    ctx.token = via[0]
    return None


def head_answer(ctx, answer):
    length = header(answer.head, "Content-Length")
    if answer.status != 200 or length != [str(1 << 20)] or answer.body:
        return "HEAD: %d %r, %d body bytes" % (answer.status, length, len(answer.body))
    return None


def echo_saw(*lines, absent=()):
    """The echo origin's copy of the request head holds each line (and none of absent)."""
    def check(ctx, answer):
        echoed = answer.body.decode("latin-1").split("\r\n")
        for line in lines:
            if callable(line):
                line = line(ctx)
            if line not in echoed:
                return "the origin did not see %r in %r" % (line, echoed)
        for name in absent:
            if any(e.lower().startswith(name.lower() + ":") for e in echoed):
                return "the origin saw %s" % name
        return None
    return check


def echo_header_count(name, count):
    def check(ctx, answer):
        echoed = answer.body.decode("latin-1").split("\r\n")
        n = sum(1 for e in echoed if e.lower().startswith(name.lower() + ":"))
        return None if n == count else "%d %s headers at the origin" % (n, name)
    return check


def stamped_with_token(ctx, answer):
    quorin = [e for e in answer.body.decode("latin-1").split("\r\n") if e.startswith("X-Quorin:")]
    if len(quorin) != 1 or not re.search(r"Quorin/Zazudaza/3\.7\.9\)$", quorin[0]):
        return "X-Quorin at the origin: %r" % quorin
    return None


def posted(size):
    def check(ctx, answer):
        want = hashlib.sha256(bytes(size)).hexdigest()
        if ("body-length: %d\r\nbody-sha256: %s" % (size, want)).encode() not in answer.body:
            return "the origin got another body: %r" % answer.body[-120:]
        return None
    return check


def redirect_to(code, location):
    def check(ctx, answer):
        if answer.status != code or header(answer.head, "Location") != [location]:
            return "%d to %r, expected %d to %s" % (answer.status, header(answer.head, "Location"), code, location)
        return None
    return check


def served(ctx, answer):
    """Notes which echo origin served the answer (the last logged request of its path)."""
    if answer.status != 200:
        return "status %d" % answer.status
    ctx.served.append([p[0] for p in ctx.fixtures.echo_paths() if p[3] == ctx.path][-1])
    return None


def alternating(ctx):
    turns = ctx.served
    if len(set(turns)) != 2 or any(turns[i] == turns[i + 1] for i in range(len(turns) - 1)):
        return "balance 0 served by %r" % turns
    return None


def sticky(ctx):
    return None if len(set(ctx.served)) == 1 else "balance 1 served by %r" % ctx.served


def looked_up_asynchronously(name):
    """dnsmasq was asked for the name while the request waited for the answer."""
    def check(ctx, answer):
        if ctx.fixtures.dns_queries(name) < 1:
            return "dnsmasq was not asked for " + name
        started = ("start asyn-dns-request (%s:" % name).encode()  # the upstream text, port included
        return None if started in read(ctx.node.out) else "the node did not wait for a look-up of " + name
    return check


def nginx_connections(ctx, answer):
    ids = [line[0] for line in ctx.fixtures.nginx_log() if line[1] in ("/1k?ka1", "/1k?ka2")]
    return None if len(ids) == 2 and ids[0] == ids[1] else "nginx connections %r" % ids


def upstream_closed(ctx, answer):
    def established():
        out = subprocess.run(["ss", "-Htn", "state", "established", "( sport = :%d )" % ctx.fixtures.nginx_slow],
                             capture_output=True, timeout=PATIENCE).stdout
        return len(out.splitlines())
    return None if wait_for(lambda: established() == 0) else "%d upstream connections stay" % established()


def refused_chunked(ctx, answer):
    return None if 400 <= answer.status or answer.status == 0 else "status %d" % answer.status


# --- the table ------------------------------------------------------------------------------------

# Node settings by name: SQL run on the seeded database and (file, key, value) ini edits.
CONFIGS = {
    "base": {"sql": "insert into wc_black(low, high, expire, note) values('10.0.0.1', '10.0.0.9', %d, '');"
                    % FAR_FUTURE},
    "black": {"sql": "insert into wc_black(low, high, expire, note) values('127.0.0.1', '127.0.0.1', %d, '');"
                     % FAR_FUTURE},
    "white-without": {"sql": WHITE_TABLE + "insert into wc_white(low, high, expire, note) values"
                             "('10.0.0.0', '10.0.0.255', %d, '');"
                             "update wc_system set value='1' where name='EnableWhiteList';" % FAR_FUTURE},
    "white-with": {"sql": WHITE_TABLE + "insert into wc_white(low, high, expire, note) values"
                          "('127.0.0.0', '127.0.0.255', %d, '');"
                          "update wc_system set value='1' where name='EnableWhiteList';" % FAR_FUTURE},
    "open-proxy": {"ini": [("zazudaza/proxy.ini", "IsOpenProxy", "1")]},
    "redirect-302": {"ini": [("zazudaza.ini", "redirect_status_code", "302")]},
    "upstream-limit": {"sql": "update wc_system set value='0' where name='MaxUpstreamConnections';"},
    "connection-limit": {"sql": "update wc_system set value='1' where name='MaxConnections';"},
}

Case = collections.namedtuple("Case", "name config host path options check")

ZEROS = 300000  # bytes of the uploads
BLACK_PAGE = "Forbidden - By BlackList(127.0.0.1)"

CASES = [
    Case("get-sha256", "base", "n.test", "/1m", (), all_of(status_is(200), body_sha_of("1m"), via_token)),
    Case("head", "base", "n.test", "/1m", ("-I",), all_of(head_answer, via_token)),
    Case("origin-sees-normalised-head", "base", "A.Test", "/echo",
         ("-H", "X-Forwarded-For: 10.9.9.9", "-H", "Accept-Encoding: gzip, br"),
         all_of(status_is(200), echo_saw("Host: a.test", "X-Forwarded-For: 10.9.9.9, 127.0.0.1",
                                         "Accept-Encoding: gzip"),
                echo_header_count("X-Forwarded-For", 1), stamped_with_token)),
    Case("post", "base", "a.test", "/echo", ("-H", "Expect:", "--data-binary", "@-"), all_of(status_is(200), posted(ZEROS))),
    Case("post-expect-100", "base", "a.test", "/echo", ("-H", "Expect: 100-continue", "--data-binary", "@-"),
         all_of(status_is(200), posted(ZEROS))),
    Case("chunked-request-refused", "base", "a.test", "/echo-chunked",
         ("-H", "Transfer-Encoding: chunked", "-H", "Expect:", "--data-binary", "@-"),
         all_of(refused_chunked, never_reached("/echo-chunked"))),
    Case("black-list-elsewhere", "base", "a.test", "/bytes/5", (), status_is(200)),
    Case("black-list-holds-client", "black", "a.test", "/bytes/15", (),
         all_of(status_is(403, BLACK_PAGE), never_reached("/bytes/15"))),
    Case("white-list-without-client", "white-without", "a.test", "/bytes/6", (),
         all_of(status_is(403, "Forbidden - By WhiteList"), never_reached("/bytes/6"))),
    Case("white-list-holds-client", "white-with", "a.test", "/bytes/5", (), status_is(200)),
    Case("loop", "base", "loop.test", "/looped", (), all_of(status_is(200, "Welcome To Quorin!"), never_reached("/looped"))),
    Case("loop-with-client-x-quorin", "base", "loop.test", "/looped",
         ("-H", "X-Quorin: 1.1 elsewhere (random:1 Other/1.0)"), status_is(200, "Welcome To Quorin!")),
    Case("own-token-in-x-quorin", "base", "a.test", "/own-token", ("-H", "X-Quorin: {token}"),
         all_of(status_is(200, "Welcome To Quorin!"), never_reached("/own-token"))),
    Case("unknown-host", "base", "nowhere.test", "/x", (), status_is(400, "Bad Request - Invalid Host")),
    Case("unknown-host-open-proxy", "open-proxy", "127.0.0.1:{echo0}", "/echo", (),
         all_of(status_is(200), echo_saw(lambda ctx: "Host: 127.0.0.1:%d" % ctx.fixtures.echo[0]))),
    Case("rewrite-redirect", "base", "a.test", "/old", (), redirect_to(301, "http://a.test/new")),
    Case("rewrite-redirect-302", "redirect-302", "a.test", "/old", (), redirect_to(302, "http://a.test/new")),
    Case("rewrite-in-place", "base", "a.test", "/inplace", (), all_of(status_is(200), echo_saw("GET /echo HTTP/1.1"))),
    Case("rewrite-to-nothing", "base", "a.test", "/empty", (), status_is(400, "Bad Request - By Rewriting Rules")),
    Case("protection-foreign-referer", "base", "a.test", "/protected/p.png", ("-H", "Referer: http://evil.example/"),
         redirect_to(301, "http://a.test/denied")),
    Case("protection-own-host", "base", "a.test", "/protected/p.png", ("-H", "Referer: http://a.test/page"),
         status_is(404)),  # passed to the origin, which knows no such path
    Case("protection-host-prefix-site", "base", "a.test", "/protected/p.png",
         ("-H", "Referer: http://a.test.evil.example/page"), redirect_to(301, "http://a.test/denied")),
    Case("protection-short-host", "base", "a.test", "/protected/p.png", ("-H", "Referer: http://a.te/page"),
         redirect_to(301, "http://a.test/denied")),
    Case("plugin-refusal", "base", "a.test", "/plugin-refused", (),
         all_of(status_is(403, "Forbidden - By Fixture Plugin"), never_reached("/plugin-refused"))),
    Case("balance-0", "base", "bal0.test", "/bytes/21", (), served),
    Case("balance-0", "base", "bal0.test", "/bytes/21", (), served),
    Case("balance-0", "base", "bal0.test", "/bytes/21", (), served),
    Case("balance-0", "base", "bal0.test", "/bytes/21", (), served),
    Case("balance-1", "base", "bal1.test", "/bytes/22", (), served),
    Case("balance-1", "base", "bal1.test", "/bytes/22", (), served),
    Case("balance-1", "base", "bal1.test", "/bytes/22", (), served),
    Case("balance-1", "base", "bal1.test", "/bytes/22", (), served),
    Case("dns-answered", "base", "dns.test", "/echo", (), all_of(status_is(200), looked_up_asynchronously("origin.e2e.test"))),
    Case("dns-refused", "base", "nxdns.test", "/x", (),
         all_of(status_is(502, "Bad Gateway - DNS Resolving Fail For Upstream Server"), one_answer)),
    Case("upstream-limit", "upstream-limit", "a.test", "/bytes/7", (),
         all_of(status_is(503, "Reach To Maximum Upstream Connections Setting"), never_reached("/bytes/7"))),
    Case("upstream-down", "base", "dead.test", "/x", (),
         all_of(status_is(502, "Bad Gateway - Cann't Connect To Upstream Server"), one_answer)),
    Case("connection-limit", "connection-limit", "a.test", "/bytes/8", (),
         all_of(status_is(503, "Reach To Maximum Quorin Connections Setting"), one_answer, never_reached("/bytes/8"))),
    Case("keep-alive-reuse", "base", "n.test", "/1k?ka1",
         ("-o", "/dev/null", "--next", "-s", "-i", "-H", "Host: n.test", "{url}/1k?ka2"),
         all_of(status_is(200), nginx_connections)),
    Case("client-abort-closes-upstream", "base", "slow.test", "/slow", ("--max-time", "1", "-o", "/dev/null"),
         upstream_closed),
]

# Checks over several rows: (case name, check of the context).
AFTER = [("balance-0", alternating), ("balance-1", sticky)]


class Context:
    def __init__(self, fixtures):
        self.fixtures = fixtures
        self.token = ""
        self.node = None
        self.served = []
        self.path = ""


def expand(text, ctx, node):
    return (text.replace("{token}", ctx.token).replace("{echo0}", str(ctx.fixtures.echo[0]))
            .replace("{url}", "http://127.0.0.1:%d" % node.port))


def run_table(args, fixtures, work):
    upload = os.path.join(work, "zeros")
    with open(upload, "wb") as f:
        f.write(bytes(ZEROS))
    failures = []
    ctx = Context(fixtures)
    by_config = collections.OrderedDict()
    for case in CASES:
        by_config.setdefault(case.config, []).append(case)
    served = collections.defaultdict(list)
    for config, cases in by_config.items():
        node = Node(args, fixtures, config, CONFIGS[config])
        if not node.ready:
            failures.append("%s: the node did not start: %s" % (config, read(node.out)[-2000:].decode("latin-1")))
            node.stop()
            continue
        ctx.node = node
        for case in cases:
            ctx.served = served[case.name]
            ctx.path = case.path
            options = [expand(o, ctx, node) for o in case.options]
            stdin_file = upload if "@-" in options else None
            answer = curl(node, expand(case.host, ctx, node), case.path, options, stdin_file)
            error = case.check(ctx, answer)
            print("%-4s %-30s %3d %s" % ("ok" if not error else "FAIL", case.name, answer.status, error or ""),
                  flush=True)
            if error:
                failures.append("%s: %s\n  answer: %r" % (case.name, error, answer.raw[:600]))
        for fault in node.stop():
            failures.append("%s: %s" % (config, fault))
    for name, check in AFTER:
        ctx.served = served[name]
        error = check(ctx)
        print("%-4s %-32s %s" % ("ok" if not error else "FAIL", name + " (all rows)", error or ""), flush=True)
        if error:
            failures.append("%s: %s" % (name, error))
    return failures


def settled_descriptors(node):
    """The node's descriptor count once it has stayed the same for half a second (at most 10 s)."""
    counts = [node.descriptors()]
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        time.sleep(0.5)
        counts.append(node.descriptors())
        if counts[-1] == counts[-2]:
            break
    return counts[-1]


def node_sockets(node):
    """The node's TCP sockets as ss lists them, to tell a leaked connection from a slow one."""
    out = subprocess.run(["ss", "-Htanp"], capture_output=True, timeout=PATIENCE).stdout.decode("latin-1")
    return "\n".join(line for line in out.splitlines() if "pid=%d," % node.proc.pid in line)


# The health-check thread starts at the first upstream marked down (on a loaded machine an origin
# slow to accept is enough) and keeps its event loop, an epoll and an eventfd descriptor, for the
# life of the process.
CHECK_LOOP = collections.Counter(["anon_inode:[eventpoll]", "anon_inode:[eventfd]"])


def descriptor_kinds(node):
    """How many descriptors of each kind the node holds: sockets, pipes, event loops, each file."""
    folder = "/proc/%d/fd" % node.proc.pid
    kinds = collections.Counter()
    for name in os.listdir(folder) if os.path.isdir(folder) else []:
        try:
            target = os.readlink(os.path.join(folder, name))
        except OSError:
            continue  # closed while listed
        kinds[re.sub(r":\[\d+\]$", "", target)] += 1
    return kinds


def extra_descriptors(node, before):
    """The node's descriptors beyond those it held before, by kind; once the console says an
    upstream went down, the health-check loop's are not counted."""
    extra = descriptor_kinds(node) - before
    if b"upstream is down!" in read(node.out):
        extra -= CHECK_LOOP
    return extra


def run_soak(args, fixtures, seconds):
    node = Node(args, fixtures, "soak", CONFIGS["base"])
    if not node.ready:
        node.stop()
        return ["the node did not start"]
    failures = []
    warm = curl(node, "n.test", "/1k")
    if warm.status != 200:
        failures.append("warm-up: status %d" % warm.status)
    settled_descriptors(node)
    before = descriptor_kinds(node)
    for name in ("1k", "1m"):
        argv = ["wrk", "-t4", "-c256", "-d%ds" % seconds, "--timeout", "30s", "-H", "Host: n.test", node.url("/" + name)]
        done = subprocess.run(argv, capture_output=True, timeout=seconds + 60)
        out = done.stdout.decode("latin-1")
        print(out, flush=True)
        if "requests in" not in out or "Socket errors" in out or "Non-2xx" in out:
            failures.append("wrk on %s: %s" % (name, out + done.stderr.decode("latin-1")))
    # On a loaded machine the origin can fall behind far enough for the upstream to be marked down:
    # its health checks then open connections of their own for a while. Each ends, so the count
    # comes back to what it was at some moment; a leak never does.
    back = wait_for(lambda: not extra_descriptors(node, before))
    print("descriptors of the node: %d before the soak, %d after" % (sum(before.values()), node.descriptors()),
          flush=True)
    if not back:
        failures.append("descriptors beyond those before the soak: %r; the node's sockets:\n%s"
                        % (dict(extra_descriptors(node, before)), node_sockets(node)))
    after = curl(node, "n.test", "/1k")
    if after.status != 200:
        failures.append("after the soak: status %d" % after.status)
    failures += ["soak: " + fault for fault in node.stop()]
    return failures


def disk_rows(paths, first=0):
    """SQL adding used hard-disk cache disks numbered from first, with the table the rules store
    makes at its first start (a fresh database has none yet)."""
    sql = ["create table if not exists wc_diskno(num int not null, path text not null, "
           "quota int default '0' not null, used int default '0' not null, full int default '0' not null, "
           "ssd int default '0' not null, note text default '' not null);"]
    for n, path in enumerate(paths, first):
        sql.append("insert into wc_diskno(num, path, quota, used, full, ssd, note) values(%d, '%s', 0, 1, 0, 0, '');"
                   % (n, path))
    return "".join(sql)


def script_main(prefix, tools, body):
    """The frame of a script on the suite's node: its arguments (--build, --source, --plugin), 77
    when a tool is missing, a work folder, body(args, work) -> failures, and the report."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--plugin", required=True)
    args = parser.parse_args()
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print("skipped: missing " + " ".join(missing))
        return 77
    work = tempfile.mkdtemp(prefix=prefix)
    return report(body(args, work), work)


def report(failures, work):
    """Prints the failures and answers the exit code; the run's files stay only when one failed."""
    if failures:
        print("\n%d failure(s); the run's files are in %s" % (len(failures), work))
        for failure in failures:
            print("  " + failure)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--soak", action="store_true")
    parser.add_argument("--soak-seconds", type=int, default=10)
    args = parser.parse_args()
    tools = ["curl", "sqlite3", "nginx", "dnsmasq", "ss"] + (["wrk"] if args.soak else [])
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print("skipped: missing " + " ".join(missing))
        return SKIP
    work = tempfile.mkdtemp(prefix="quorin-e2e-")
    fixtures = Fixtures(work, args.source)
    try:
        if not fixtures.ready:
            print("the origins did not start; see " + work)
            return 1
        failures = run_soak(args, fixtures, args.soak_seconds) if args.soak else run_table(args, fixtures, work)
    finally:
        fixtures.stop()
    return report(failures, work)


if __name__ == "__main__":
    sys.exit(main())
