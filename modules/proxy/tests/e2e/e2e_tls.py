#!/usr/bin/env python3
"""TLS through the node end to end: quorind laid out from a build (the end-to-end suite's Node)
with an HTTPS port, in front of TLS origins on 127.0.0.1: nginx with its own prefix (one server
speaking TLS 1.2 only, one TLS 1.3 only, one closing kept-alive connections after 1 s, one plain
HTTP server), a python TLS origin taking uploads (tests/fixtures/relay_origin.py's /echo over TLS),
a python TLS origin that writes its whole answer and its close_notify in one send, and dnsmasq
answering two addresses for one upstream name, the first refusing connections. Certificates are
made with the openssl tool in the run's folder; proxy hosts and upstreams are added with sqlite3.

  e2e_tls.py --build DIR --source DIR --plugin FILE

Cases: sha256 of 1 MB and 200 MB downloads and of a 50 MB upload through TLS upstreams; the TLS
session resumed on the next upstream connection at TLS 1.2 and at TLS 1.3; the server name the
node sends is the client's host without its port; exactly one answer per request when the upstream
ends its connections with close_notify; the SSL-exception 502 from a plain-HTTP origin; a fresh
handshake on the retry connection after the first address refused; a proxy host carrying its
own certificate served on the HTTPS port after a restart, and clients' sessions resumed there.
Exit 0 when every case passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import hashlib
import os
import socket
import ssl
import subprocess
import sys
import threading

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_cache  # noqa: E402
import e2e_suite as suite  # noqa: E402
import relay_origin as origin  # noqa: E402

SECONDS = 120  # curl's --max-time and the raw sockets' patience
FILES = (("index.html", None), ("1k", 1024), ("1m", 1 << 20), ("200m", 200 << 20))
UPLOAD = 50 << 20
ONESHOT_SIZE = 100000
PAGE = b"<html><body>the plain origin's page</body></html>\n"
SUBJECT = "/CN=a.test/O=Quorin TLS E2E"
TWO_ADDRESSES = "two.e2e.test"  # answered 127.0.0.2 (nothing listens there) and 127.0.0.1
RETRY_OK = b"[pipe -> retry] connecting to (%s:" % TWO_ADDRESSES.encode()


def make_certificate(work, name, subject):
    """A self-signed RSA certificate and its key (PEM files in work)."""
    crt, key = os.path.join(work, name + ".crt"), os.path.join(work, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", subject,
                    "-keyout", key, "-out", crt], check=True, capture_output=True, timeout=suite.PATIENCE)
    return crt, key


class TlsFixtures(suite.Fixtures):
    """The TLS origins and the name server; the suite's node seeds upstreams for the suite's other
    peers, which do not run here (their ports stay closed)."""

    def __init__(self, work, source):
        self.work = work
        self.procs = []
        self.listeners = []
        self.www = os.path.join(work, "www")
        os.makedirs(self.www)
        for name, size in FILES:
            with open(os.path.join(self.www, name), "wb") as f:
                f.write(PAGE if size is None else os.urandom(size))
        self.crt, self.key = make_certificate(work, "origin", "/CN=origin.e2e.test")
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(self.crt, self.key)
        self.ports = {name: suite.free_port() for name in ("tls12", "tls13", "keepalive1s", "plain", "upload",
                                                           "oneshot")}
        self.nginx_prefix = os.path.join(work, "nginx")
        self.start_tls_nginx()
        self.upload_log = os.path.join(work, "upload-origin.log")
        self.serve_in_threads(self.ports["upload"], self.relay_over_tls)
        self.serve_in_threads(self.ports["oneshot"], self.answer_in_one_send)
        self.start_dnsmasq(["origin.e2e.test,127.0.0.1", TWO_ADDRESSES + ",127.0.0.2", TWO_ADDRESSES + ",127.0.0.1"])
        self.echo = [suite.free_port()]
        self.nginx = self.nginx_slow = self.dead = suite.free_port()
        self.ready = all(suite.wait_for(lambda p=p: suite.listening(p)) for p in self.ports.values())
        self.ready = self.ready and self.dns_ready()

    def start_tls_nginx(self):
        prefix, p = self.nginx_prefix, self.ports
        os.makedirs(os.path.join(prefix, "logs"))
        user = "user root;" if os.geteuid() == 0 else ""
        tls = "ssl_certificate %s; ssl_certificate_key %s;" % (self.crt, self.key)
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write("""%s
daemon off;
worker_processes 1;
pid %s/nginx.pid;
error_log %s/logs/error.log info;
events { worker_connections 1024; }
http {
  log_format tls '$server_port|$connection|$ssl_session_reused|$ssl_protocol|$ssl_server_name|$request_uri|$status';
  access_log %s/logs/access.log tls;
  keepalive_timeout 60;
  ssl_session_cache shared:tls:1m;
  client_body_temp_path %s/logs;
  proxy_temp_path %s/logs;
  root %s;
  server { listen 127.0.0.1:%d ssl; %s ssl_protocols TLSv1.2; }
  server { listen 127.0.0.1:%d ssl; %s ssl_protocols TLSv1.3; }
  server { listen 127.0.0.1:%d ssl; %s ssl_protocols TLSv1.2 TLSv1.3; keepalive_timeout 1s; }
  server { listen 127.0.0.1:%d; }
}
""" % (user, prefix, prefix, prefix, prefix, prefix, self.www, p["tls12"], tls, p["tls13"], tls,
                p["keepalive1s"], tls, p["plain"]))
        self.spawn(["nginx", "-p", prefix, "-c", os.path.join(prefix, "nginx.conf"), "-e",
                    os.path.join(prefix, "logs/error.log")], "nginx")

    def serve_in_threads(self, port, handler):
        """A listener on 127.0.0.1:port whose connections each get a thread running handler."""
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(64)
        self.listeners.append(listener)

        def accept():
            while True:
                try:
                    conn, _ = listener.accept()
                except OSError:
                    return
                conn.settimeout(SECONDS)
                threading.Thread(target=handler, args=(conn,), daemon=True).start()
        threading.Thread(target=accept, daemon=True).start()

    def relay_over_tls(self, conn):
        try:
            tls = self.context.wrap_socket(conn, server_side=True)
        except OSError:
            conn.close()
            return
        origin.serve(tls, self.upload_log, None)

    def answer_in_one_send(self, conn):
        """/len/N: N bytes with a Content-Length; /close/N: N bytes ended by the connection; both
        with "Connection: close" and written together with the close_notify in one send."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context.wrap_bio(incoming, outgoing, server_side=True)

        def step(call):
            while True:
                try:
                    return call()
                except ssl.SSLWantReadError:
                    conn.sendall(outgoing.read())
                    data = conn.recv(65536)
                    if not data:
                        raise ConnectionError("the node closed the connection")
                    incoming.write(data)
        try:
            step(tls.do_handshake)
            request = b""
            while b"\r\n\r\n" not in request:
                request += step(lambda: tls.read(65536))
            kind, size = request.split(b" ")[1].decode().strip("/").split("/")
            body = origin.pattern(int(size))
            length = b"Content-Length: %d\r\n" % len(body) if kind == "len" else b""
            data = memoryview(b"HTTP/1.1 200 OK\r\nConnection: close\r\n%s\r\n" % length + body)
            while data:
                data = data[tls.write(data):]
            try:
                tls.unwrap()
            except ssl.SSLWantReadError:
                pass  # the close_notify is written; the peer's is not awaited
            conn.sendall(outgoing.read())
            conn.recv(1)  # the node's close, or the time-out
        except (OSError, ValueError):
            pass
        finally:
            conn.close()

    def tls_log(self, uri):
        """nginx's log lines of a request URI: dicts of port, connection, reused, protocol, name, status."""
        keys = ("port", "connection", "reused", "protocol", "name", "uri", "status")
        text = suite.read(os.path.join(self.nginx_prefix, "logs/access.log")).decode("latin-1")
        return [entry for entry in (dict(zip(keys, line.split("|"))) for line in text.splitlines())
                if entry.get("uri") == uri]

    def stop(self):
        for listener in self.listeners:
            listener.close()
        suite.Fixtures.stop(self)


# Proxy hosts of this run (wid from 100): host, upstream host, the upstream's ssl_opt.
def proxy_hosts(f):
    p = f.ports
    return [("tls12.test", "127.0.0.1:%d" % p["tls12"], 1), ("tls13.test", "127.0.0.1:%d" % p["tls13"], 1),
            ("sni.test:8080", "127.0.0.1:%d" % p["tls13"], 1),
            ("keepalive1s.test", "127.0.0.1:%d" % p["keepalive1s"], 1),
            ("upload.test", "127.0.0.1:%d" % p["upload"], 1), ("oneshot.test", "127.0.0.1:%d" % p["oneshot"], 1),
            ("plain.test", "127.0.0.1:%d" % p["plain"], 1), ("retry.test", "%s:%d" % (TWO_ADDRESSES, p["tls12"]), 1)]


def proxy_sql(wid, host, upstream, ssl_opt, certificate=""):
    """Rows of one proxy host and its upstream; certificate: the base name of PEM files whose texts
    the proxy host carries (read by sqlite3's readfile())."""
    texts = "0, NULL, NULL"
    if certificate:
        texts = "1, readfile('%s.crt'), readfile('%s.key')" % (certificate, certificate)
    return ("insert into upfetch(wid, host, balance, note, ssl_opt, ssl_crt_content, ssl_key_content) "
            "values(%d, '%s', 0, '', %s);"
            "insert into wc_upstream(wid, host, weight, note, ssl_opt) values(%d, '%s', 1, '', %d);"
            % (wid, host, texts, wid, upstream, ssl_opt))


def node_config(fixtures, https_port):
    sql = "".join(proxy_sql(wid, *row) for wid, row in enumerate(proxy_hosts(fixtures), 100))
    return {"sql": sql, "system": "https_port=127.0.0.1:%d\n" % https_port}


class Run(e2e_cache.Run):
    """The node, the origins, the HTTPS port and the outcome of the case being run."""

    def __init__(self, node, fixtures, https_port):
        e2e_cache.Run.__init__(self, node, fixtures)
        self.https_port = https_port

    def file_sha(self, name):
        return suite.sha256_file(os.path.join(self.fixtures.www, name))

    def fetched_over_tls(self, label, uri, host, protocol=None):
        """nginx logged the URI once, on a TLS connection that named the host without its port."""
        seen = self.fixtures.tls_log(uri)
        if not self.expect(len(seen) == 1, "%s: nginx logged %s %d times" % (label, uri, len(seen))):
            return None
        entry = seen[0]
        self.expect(entry["name"] == host.split(":")[0],
                    "%s: nginx saw the server name %r for the host %s" % (label, entry["name"], host))
        if protocol:
            self.expect(entry["protocol"] == protocol, "%s: %s, expected %s" % (label, entry["protocol"], protocol))
        return entry


def curl_to_file(node, host, path, out):
    """A download through the node into a file: the status of curl's last answer."""
    done = subprocess.run(["curl", "-s", "-o", out, "-w", "%{http_code}", "--max-time", str(SECONDS),
                           "-H", "Host: " + host, node.url(path)], capture_output=True, timeout=SECONDS + 10)
    return int(done.stdout or b"0")


class RawClient:
    """One client connection to a port of the node, read answer by answer; over TLS with a client
    context (the server name given, and a session to resume when one is given)."""

    def __init__(self, port, context=None, name=None, session=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=SECONDS)
        if context:
            self.sock = context.wrap_socket(self.sock, server_hostname=name, session=session)
        self.buffered = b""

    def get(self, host, path):
        self.sock.sendall(b"GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (path.encode(), host.encode()))
        return self.answer()

    def fill(self):
        data = self.sock.recv(65536)
        self.buffered += data
        return bool(data)

    def answer(self):
        """(status, head, body) of the next answer; a body without length or chunks ends at close."""
        while b"\r\n\r\n" not in self.buffered:
            if not self.fill():
                return 0, "", self.buffered
        head, self.buffered = self.buffered.split(b"\r\n\r\n", 1)
        head = head.decode("latin-1")
        status = int(head.split(" ")[1]) if head.startswith("HTTP/1.") else 0
        length = suite.header(head + "\r\n", "Content-Length")
        if length:
            while len(self.buffered) < int(length[0]) and self.fill():
                pass
            body, self.buffered = self.buffered[:int(length[0])], self.buffered[int(length[0]):]
        elif "chunked" in ",".join(suite.header(head + "\r\n", "Transfer-Encoding")).lower():
            body = self.chunks()
        else:
            while self.fill():
                pass
            body, self.buffered = self.buffered, b""
        return status, head, body

    def chunks(self):
        body = b""
        while True:
            while b"\r\n" not in self.buffered and self.fill():
                pass
            line, _, self.buffered = self.buffered.partition(b"\r\n")
            size = int(line.split(b";")[0] or b"0", 16)
            while len(self.buffered) < size + 2 and self.fill():
                pass
            body, self.buffered = body + self.buffered[:size], self.buffered[size + 2:]
            if size == 0:
                return body

    def more(self, seconds):
        """Bytes that arrive within seconds after the answers read, and whether the node closed."""
        self.sock.settimeout(seconds)
        try:
            while self.fill():
                pass
            closed = True
        except socket.timeout:
            closed = False
        finally:
            self.sock.settimeout(SECONDS)
        extra, self.buffered = self.buffered, b""
        return extra, closed

    def close(self):
        self.sock.close()


# --- the cases ------------------------------------------------------------------------------------

def downloads(run):
    """1 MB over TLS 1.2 and 1.3 upstreams and 200 MB over TLS 1.3 arrive with the file's sha256."""
    for host, name in (("tls12.test", "1m"), ("tls13.test", "1m"), ("tls13.test", "200m")):
        label, uri = "%s %s" % (host, name), "/%s?%s" % (name, host)
        out = os.path.join(run.fixtures.work, "got-%s-%s" % (host, name))
        status = curl_to_file(run.node, host, uri, out)
        run.expect(status == 200, "%s: status %d" % (label, status))
        run.expect(os.path.exists(out) and suite.sha256_file(out) == run.file_sha(name),
                   "%s: %d bytes, not the file's" % (label, os.path.getsize(out) if os.path.exists(out) else -1))
        if os.path.exists(out):
            os.remove(out)
        run.fetched_over_tls(label, uri, host)


def upload(run):
    """A 50 MB body reaches the TLS origin whole (it answers the length and sha256 it received)."""
    path = os.path.join(run.fixtures.work, "upload")
    with open(path, "wb") as f:
        f.write(os.urandom(UPLOAD))
    answer = suite.curl(run.node, "upload.test", "/echo", ["-X", "POST", "-H", "Expect:", "-T", path],
                        seconds=SECONDS)
    want = "body-length: %d\r\nbody-sha256: %s" % (UPLOAD, suite.sha256_file(path))
    run.expect(answer.status == 200 and want.encode() in answer.body,
               "status %d, the origin got %r" % (answer.status, answer.body[-120:]))


def resumed(host, protocol):
    """Two client connections give two upstream connections; the second resumes the session."""
    def case(run):
        entries = []
        for n in (1, 2):
            uri = "/1k?resume-%s-%d" % (host, n)
            answer = suite.curl(run.node, host, uri, seconds=SECONDS)
            run.expect(answer.status == 200, "request %d: status %d" % (n, answer.status))
            entries.append(run.fetched_over_tls("request %d" % n, uri, host, protocol))
        if None in entries:
            return
        run.expect(entries[0]["connection"] != entries[1]["connection"],
                   "both requests came on nginx connection %s" % entries[0]["connection"])
        run.expect(entries[1]["reused"] == "r", "the second upstream connection's session reused: %r"
                   % entries[1]["reused"])
    return case


def server_name_without_port(run):
    """The client's Host a.b:8080 is sent as the server name a.b."""
    answer = suite.curl(run.node, "sni.test:8080", "/1k?sni", seconds=SECONDS)
    run.expect(answer.status == 200, "status %d" % answer.status)
    run.fetched_over_tls("sni.test:8080", "/1k?sni", "sni.test:8080")


def upstream_keepalive_ends(run):
    """nginx ends kept-alive connections after 1 s with close_notify: two requests 2 s apart from one
    client get one answer each, and nothing comes after either of them. The node ends the idle
    client connection with its upstream's, as it does for a plain upstream; the second request then
    goes on a new client connection."""
    want = suite.read(os.path.join(run.fixtures.www, "1k"))
    client = RawClient(run.node.port)
    try:
        for n in (1, 2):
            status, head, body = client.get("keepalive1s.test", "/1k?keepalive-%d" % n)
            run.expect(status == 200 and body == want, "request %d: status %d, %d body bytes" % (n, status, len(body)))
            extra, closed = client.more(2.0)
            run.expect(not extra, "after answer %d came %r" % (n, extra[:200]))
            if closed:
                client.close()
                client = RawClient(run.node.port)
    finally:
        client.close()
    first, second = (run.fixtures.tls_log("/1k?keepalive-%d" % n) for n in (1, 2))
    run.expect(len(first) == 1 and len(second) == 1 and first[0]["connection"] != second[0]["connection"],
               "nginx logged %r and %r, expected two connections" % (first, second))


def close_notify_in_one_send(run):
    """An answer with a length and one ended by the connection, each sent together with the
    origin's close_notify: exactly the origin's answer, whole."""
    want = origin.pattern(ONESHOT_SIZE)
    for kind in ("len", "close"):
        client = RawClient(run.node.port)
        try:
            status, head, body = client.get("oneshot.test", "/%s/%d" % (kind, ONESHOT_SIZE))
            extra, _ = client.more(1.5)
        finally:
            client.close()
        run.expect(status == 200 and body == want, "%s: status %d, %d body bytes%s" % (
            kind, status, len(body), "" if body == want else ", ending %r" % body[-200:]))
        run.expect(not extra, "%s: after the answer came %r" % (kind, extra[:200]))


def plain_origin(run):
    """The upstream's port speaks plain HTTP: one 502 naming the TLS exception."""
    answer = suite.curl(run.node, "plain.test", "/1k?plain", seconds=SECONDS)
    run.expect(answer.status == 502 and b"Bad Gateway - Cann't Connect To Upstream Server By SSL Exception"
               in answer.body, "status %d, %r" % (answer.status, answer.raw[:300]))
    count = answer.raw.count(b"HTTP/1.1 ")
    run.expect(count == 1, "%d answers: %r" % (count, answer.raw[:600]))


def retry_second_address(run):
    """The upstream name answers a refusing address and a listening one: each new pipe either
    reaches the listening one or retries there, with a handshake of its own; both requests end
    with the file, and at least one of them went through the retry."""
    want = run.file_sha("1k")
    for n in (1, 2):
        uri = "/1k?retry-%d" % n
        answer = suite.curl(run.node, "retry.test", uri, seconds=SECONDS)
        run.expect(answer.status == 200 and hashlib.sha256(answer.body).hexdigest() == want,
                   "request %d: status %d, %r" % (n, answer.status, answer.raw[:300]))
        run.fetched_over_tls("request %d" % n, uri, "retry.test")
    run.expect(RETRY_OK in suite.read(run.node.out), "the node's console has no retry to %s" % TWO_ADDRESSES)


def own_certificate_after_restart(run):
    """A proxy host a.test:PORT whose certificate and key are put in with sqlite3 serves its
    origin's page on the HTTPS port after a restart (TLS 1.2 or 1.3 and TLS 1.3 only), and a
    client naming a.test sees that certificate's subject."""
    f, node, port = run.fixtures, run.node, run.https_port
    host = "a.test:%d" % port
    make_certificate(f.work, "a.test", SUBJECT)
    sql = proxy_sql(200, host, "127.0.0.1:%d" % f.ports["plain"], 0, os.path.join(f.work, "a.test"))
    subprocess.run(["sqlite3", "-bail", os.path.join(node.root, "config/zazudaza.db"), sql], check=True,
                   timeout=suite.PATIENCE)
    run.errors += ["before the restart: " + fault for fault in node.stop()]
    if not run.expect(node.start(), "the node did not start again: %r" % suite.read(node.out)[-600:]):
        return
    for options in ([], ["--tlsv1.3"]):
        done = subprocess.run(["curl", "-k", "-s", "-i", "--max-time", "20", "--resolve", host + ":127.0.0.1",
                               "https://%s/" % host] + options, capture_output=True, timeout=40)
        answer = suite.parse_answer(done.stdout)
        run.expect(answer.status == 200 and answer.body == PAGE, "curl %s: exit %d, status %d, %r" % (
            " ".join(options), done.returncode, answer.status, answer.raw[:300]))
    subject = subprocess.run(["openssl", "x509", "-noout", "-subject", "-in", os.path.join(f.work, "a.test.crt")],
                             capture_output=True, timeout=suite.PATIENCE).stdout.decode().strip()
    seen = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-servername", "a.test"],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=suite.PATIENCE).stdout.decode()
    run.expect(subject and subject in seen.splitlines(), "s_client saw %r, expected %r" % (
        [line for line in seen.splitlines() if line.startswith("subject=")], subject))


def client_sessions_resumed(run):
    """A client's second connection to the HTTPS port resumes the session of its first, at TLS 1.2
    (session id or ticket) and at TLS 1.3 (the ticket read with the first answer)."""
    host = "a.test:%d" % run.https_port
    for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.minimum_version = context.maximum_version = version
        session = None
        for n in (1, 2):
            client = RawClient(run.https_port, context, "a.test", session)
            try:
                status, _, body = client.get(host, "/")
                reused, session = client.sock.session_reused, client.sock.session
            finally:
                client.close()
            label = "%s connection %d" % (version.name, n)
            run.expect(status == 200 and body == PAGE, "%s: status %d, %r" % (label, status, body[:200]))
            run.expect(reused == (n == 2), "%s: session reused %s" % (label, reused))


# (name, case); the restart comes after the cases that need no HTTPS proxy host.
CASES = [
    ("downloads", downloads),
    ("upload", upload),
    ("session-resumed-tls1.2", resumed("tls12.test", "TLSv1.2")),
    ("session-resumed-tls1.3", resumed("tls13.test", "TLSv1.3")),
    ("server-name-without-port", server_name_without_port),
    ("upstream-keepalive-ends", upstream_keepalive_ends),
    ("close-notify-in-one-send", close_notify_in_one_send),
    ("plain-origin", plain_origin),
    ("retry-second-address", retry_second_address),
    ("own-certificate-after-restart", own_certificate_after_restart),
    ("client-sessions-resumed", client_sessions_resumed),
]


def run_cases(node, fixtures, https_port):
    failures = []
    for name, case in CASES:
        run = Run(node, fixtures, https_port)
        try:
            case(run)
        except Exception as error:  # a broken answer must fail its case, not the run
            run.errors.append("%s: %s" % (type(error).__name__, error))
        print("%-5s %s" % ("FAIL" if run.errors else "ok", name), flush=True)
        for error in run.errors:
            print("        " + error, flush=True)
        failures += ["%s: %s" % (name, error) for error in run.errors]
    return failures


def body(args, work):
    fixtures = TlsFixtures(work, args.source)
    try:
        if not fixtures.ready:
            return ["the origins did not start; see " + work]
        https_port = suite.free_port()
        node = suite.Node(args, fixtures, "tls", node_config(fixtures, https_port))
        if not node.ready:
            failures = ["the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1")]
        else:
            failures = run_cases(node, fixtures, https_port)
        return failures + ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-tls-", ("curl", "sqlite3", "nginx", "dnsmasq", "openssl"), body))
