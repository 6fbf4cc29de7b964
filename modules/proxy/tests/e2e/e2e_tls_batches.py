#!/usr/bin/env python3
"""Request bytes of HTTPS clients in TLS records, cut at every record boundary, through the node
(the end-to-end suite's Node with an https_port): a python ssl client over memory BIOs writes each
piece as its own record and sends the records up to a cut point in ONE TCP write, the rest in a
second one. The proxy host of each cut carries its own certificate and goes to a plain upstream
(ssl_opt 0) whose name a fake name server answers after 200 ms, so the look-up is pending while
later records wait in TLS input. The origin (a thread of this script) logs every head and the
sha256 of every body.

Sequences: one POST (head, then its body in two records), and a GET with a POST and a last GET
pipelined behind it. The node ends a connection whose next request comes before the previous
answer is complete, so of pipelined requests the origin may see only a prefix.

Checks per cut: the origin sees the requests in order, each once, with its whole body (the single
POST always); the client's answers match what the origin saw; the node's count of requests for the
proxy host (its console line per count) rises once per request, and its access log has one line
per request served. Last, a strict TLS reader (suppress_ragged_eofs=False) reads a close-delimited
answer to a clean end.

  e2e_tls_batches.py --build DIR --source DIR --plugin FILE

Exit 0 when every check passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import hashlib
import os
import re
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_suite as suite  # noqa: E402
import e2e_tls  # noqa: E402

SECONDS = 10
DNS_DELAY = 0.2
BODY = bytes(range(256)) * 12  # 3,072 bytes, sent in two records
FIRST_PIECE = 1000


# --- the origin and the name server ---------------------------------------------------------------

class Origin(socketserver.ThreadingTCPServer):
    """Keep-alive HTTP/1.1: logs (request line, sha256 of the body) and answers "seen PATH"; a
    path ending in "/close" gets its answer without a length, ended by closing the connection."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        self.log = []
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), OriginHandler)

    def seen(self, prefix):
        with self.lock:
            return [entry for entry in self.log if entry[0].split()[1].startswith(prefix)]


class OriginHandler(socketserver.BaseRequestHandler):
    def handle(self):
        data = b""
        while True:
            while b"\r\n\r\n" not in data:
                more = self.request.recv(65536)
                if not more:
                    return
                data += more
            head, _, data = data.partition(b"\r\n\r\n")
            lines = head.decode("latin-1").split("\r\n")
            length = 0
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value.strip())
            while len(data) < length:
                more = self.request.recv(65536)
                if not more:
                    break
                data += more
            body, data = data[:length], data[length:]
            with self.server.lock:
                self.server.log.append((lines[0], hashlib.sha256(body).hexdigest()))
            path = lines[0].split()[1]
            answer = ("seen " + path).encode()
            if path.endswith("/close"):
                self.request.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + answer)
                return
            self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(answer), answer))


class SlowNameServer:
    """Answers A queries for names under "origin.test" with 127.0.0.1 (TTL 0), others empty, each
    after DNS_DELAY seconds."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.queries = []
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                packet, peer = self.sock.recvfrom(4096)
            except OSError:
                return
            name, qtype, end = self.question(packet)
            self.queries.append((name, qtype))
            threading.Timer(DNS_DELAY, self.answer, (packet, peer, name, qtype, end)).start()

    @staticmethod
    def question(packet):
        labels, at = [], 12
        while packet[at]:
            labels.append(packet[at + 1:at + 1 + packet[at]].decode("latin-1"))
            at += 1 + packet[at]
        qtype = struct.unpack("!H", packet[at + 1:at + 3])[0]
        return ".".join(labels).lower(), qtype, at + 5

    def answer(self, packet, peer, name, qtype, end):
        found = qtype == 1 and name.endswith("origin.test")
        reply = packet[:2] + struct.pack("!HHHHH", 0x8180, 1, 1 if found else 0, 0, 0) + packet[12:end]
        if found:
            reply += struct.pack("!HHHIH", 0xC00C, 1, 1, 0, 4) + socket.inet_aton("127.0.0.1")
        try:
            self.sock.sendto(reply, peer)
        except OSError:
            pass


class Fixtures(suite.Fixtures):
    """The origin and the name server; the suite's node seeds upstreams for the other peers of the
    suite, which do not run here (their ports stay closed)."""

    def __init__(self, work):
        self.work = work
        self.procs = []
        self.origin = Origin()
        threading.Thread(target=self.origin.serve_forever, daemon=True).start()
        self.names = SlowNameServer()
        self.dns_port = self.names.port
        self.echo = [suite.free_port()]
        self.nginx = self.nginx_slow = self.dead = suite.free_port()
        self.ready = True

    def stop(self):
        self.origin.shutdown()
        self.names.sock.close()


# --- the client ------------------------------------------------------------------------------------

def client_context():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def post(host, prefix, close):
    """A POST whose head and two body pieces are records of their own."""
    head = "POST %spost HTTP/1.1\r\nHost: %s\r\nContent-Length: %d\r\n%s\r\n" % (
        prefix, host, len(BODY), "Connection: close\r\n" if close else "")
    return [head.encode(), BODY[:FIRST_PIECE], BODY[FIRST_PIECE:]]


def single(host, prefix):
    """One request: its head and its body in three records."""
    return post(host, prefix, True)


def pipelined(host, prefix):
    """A GET, then a POST (three records) and a last GET sent behind it."""
    return ([("GET %sfirst HTTP/1.1\r\nHost: %s\r\n\r\n" % (prefix, host)).encode()] + post(host, prefix, False)
            + [("GET %slast HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (prefix, host)).encode()])


# (name, the records, the paths in the order sent)
SEQUENCES = [("single", single, ["post"]), ("pipelined", pipelined, ["first", "post", "last"])]


def handshake(sock, tls, inc, out):
    while True:
        try:
            tls.do_handshake()
            return True
        except ssl.SSLWantReadError:
            data = out.read()
            if data:
                sock.sendall(data)
            more = sock.recv(65536)
            if not more:
                return False
            inc.write(more)


def read_to_end(sock, tls, inc):
    """Everything decrypted up to the end, and how it ended: "clean" (close_notify), "ragged" or
    "timeout"."""
    got = b""
    while True:
        try:
            data = tls.read(65536)
            if not data:
                return got, "clean"
            got += data
        except ssl.SSLZeroReturnError:
            return got, "clean"
        except ssl.SSLWantReadError:
            try:
                more = sock.recv(65536)
            except socket.timeout:
                return got, "timeout"
            except ConnectionError:
                return got, "ragged"
            if not more:
                return got, "ragged"
            inc.write(more)


def send_cut(port, name, records_of, cut):
    """One connection: the records before the cut in one TCP write, the rest in a second one."""
    with socket.create_connection(("127.0.0.1", port), timeout=SECONDS) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = client_context().wrap_bio(inc, out, server_hostname=name)
        if not handshake(sock, tls, inc, out):
            return b"", "handshake"
        data = out.read()
        if data:
            sock.sendall(data)
        records = []
        for piece in records_of:
            tls.write(piece)
            records.append(out.read())
        sock.sendall(b"".join(records[:cut]))
        if records[cut:]:
            time.sleep(0.05)
            sock.sendall(b"".join(records[cut:]))
        return read_to_end(sock, tls, inc)


def answers(data):
    """The bodies of the answers in the bytes, in order (a cut answer ends the list)."""
    out = []
    while data:
        head, sep, rest = data.partition(b"\r\n\r\n")
        match = re.search(rb"\r\nContent-Length: (\d+)", head, re.I)
        if not sep or not head.startswith(b"HTTP/1.1 200") or not match:
            out.append(b"? " + head[:80])
            break
        length = int(match.group(1))
        out.append(rest[:length])
        data = rest[length:]
    return out


def strict_reader(port, name):
    """A socket-wrapped client with suppress_ragged_eofs=False reading a close-delimited answer:
    its bytes, and "clean" when close_notify ended it, "ragged" when the connection just ended."""
    raw = socket.create_connection(("127.0.0.1", port), timeout=SECONDS)
    with client_context().wrap_socket(raw, server_hostname=name, suppress_ragged_eofs=False) as tls:
        request = "GET /strict/close HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (name, port)
        tls.sendall(request.encode())
        chunks = []
        try:
            for data in iter(lambda: tls.recv(65536), b""):
                chunks.append(data)
        except ssl.SSLEOFError:
            return b"".join(chunks), "ragged"
        return b"".join(chunks), "clean"


# --- the run ---------------------------------------------------------------------------------------

def access_lines(node):
    folder = os.path.join(node.root, "logs/access")
    text = b"".join(suite.read(os.path.join(folder, name)) for name in sorted(os.listdir(folder))) \
        if os.path.isdir(folder) else b""
    return re.findall(r'"(?:GET|POST) (\S+) HTTP/1\.1"', text.decode("latin-1"))


def proxy_hits(node, host):
    """How often the node counted a request for the proxy host (its console line per count)."""
    return suite.read(node.out).decode("latin-1").count("[ProxyHit: ProxyHost -> UpstreamHost] %s -> " % host)


def check_cut(fixtures, node, label, host, prefix, sent, data, ending):
    """The errors of one cut. The node ends a connection whose next request comes before the
    answer of the previous one is complete, so of pipelined requests the origin may see only a
    prefix, and the client may get fewer answers; a request the origin sees must be whole."""
    errors = []
    seen = fixtures.origin.seen(prefix)
    names = [line.split()[1][len(prefix):] for line, _ in seen]
    if names != sent[:len(names)] or (len(sent) == 1 and names != sent):
        errors.append("%s: the origin saw %r of %r" % (label, names, sent))
    for (line, sha), name in zip(seen, names):
        want = hashlib.sha256(BODY if name == "post" else b"").hexdigest()
        if sha != want:
            errors.append("%s: the origin got a body with sha256 %s for %s" % (label, sha, line))
    got = answers(data)
    want = [("seen " + prefix + name).encode() for name in names]
    if got != want[:len(got)] or (len(sent) == 1 and got != want):
        errors.append("%s: answers %r for the origin's %r" % (label, got, names))
    if ending == "timeout":
        errors.append("%s: the connection neither ended nor answered within %d s" % (label, SECONDS))
    counted = lambda: [path for path in access_lines(node) if path.startswith(prefix)]  # noqa: E731
    suite.wait_for(lambda: len(counted()) >= len(names), seconds=2)
    if counted() != [prefix + name for name in names]:
        errors.append("%s: the node logged %r for the origin's %r" % (label, counted(), names))
    hits = proxy_hits(node, host)
    if hits < len(names) or hits > len(sent) or (len(sent) == 1 and hits != 1):
        errors.append("%s: %d requests counted for %d sent, %d reaching the origin" % (label, hits, len(sent), len(names)))
    print("%-4s %s: origin %r, answers %d, counted %d, end %s"
          % ("ok" if not errors else "FAIL", label, names, len(got), hits, ending), flush=True)
    return errors


def config(origin_port, https_port, certificate, hosts):
    """One proxy host per cut (<sequence><cut>.tls.test with the HTTPS port, as a client on that
    port names it) carrying the certificate, whose plain upstream (ssl_opt 0) has a name of its
    own, so every cut waits for a look-up; the access log keeps these hosts."""
    sql = ["update wc_system set value='0' where name='UnenableAccessLog';"]
    for wid, name in enumerate(hosts, 100):
        sql.append(e2e_tls.proxy_sql(wid, "%s.tls.test:%d" % (name, https_port),
                                     "%s.origin.test:%d" % (name, origin_port), 0, certificate))
    return {"sql": "".join(sql), "system": "https_port=127.0.0.1:%d\n" % https_port,
            "files": [("modules/zazudaza/access.ini",
                       "[access]\nlog__request_url_3=^[a-z]+\\d+\\.tls\\.test:\nrecord__host=1\nlog__flush_interval=0\n")]}


def cuts():
    """(sequence name, its records' maker, its paths, cut point) for every record boundary."""
    for name, make, sent in SEQUENCES:
        for cut in range(1, len(make("h", "/")) + 1):
            yield name, make, sent, cut


def body(args, work):
    fixtures = Fixtures(work)
    try:
        e2e_tls.make_certificate(work, "proxy", "/CN=tls.test")
        https_port = suite.free_port()
        hosts = ["%s%d" % (name, cut) for name, _, _, cut in cuts()]
        settings = config(fixtures.origin.server_address[1], https_port, os.path.join(work, "proxy"), hosts)
        node = suite.Node(args, fixtures, "tls", settings)
        if not node.ready or not suite.wait_for(lambda: suite.listening(https_port)):
            return ["the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1")] + node.stop()
        errors = []
        for name, make, sent, cut in cuts():
            label = "%s cut %d" % (name, cut)
            server_name, prefix = "%s%d.tls.test" % (name, cut), "/%s%d/" % (name, cut)
            host = "%s:%d" % (server_name, https_port)
            data, ending = send_cut(https_port, server_name, make(host, prefix), cut)
            errors += check_cut(fixtures, node, label, host, prefix, sent, data, ending)
            if not any(q[0] == "%s%d.origin.test" % (name, cut) for q in fixtures.names.queries):
                errors.append("%s: the node did not ask the name server" % label)
        got, ending = strict_reader(https_port, "single1.tls.test")
        if ending != "clean" or not got.endswith(b"\r\n\r\nseen /strict/close"):
            errors.append("strict reader: %s end, %r" % (ending, got[-200:]))
        print("%-4s strict reader: %s end" % ("ok" if ending == "clean" else "FAIL", ending), flush=True)
        return errors + ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-tls-batches-", ("sqlite3", "openssl"), body))
