#!/usr/bin/env python3
"""The node as an HTTP/1.1 intermediary end to end: quorind laid out from a build (the end-to-end
suite's Node) with "X-Cache" on, one recording origin (tests/fixtures/recording_origin.py) that
logs the bytes of every request head it reads, and raw sockets as clients.

  e2e_http11.py --build DIR --source DIR --plugin FILE

One table of raw exchanges: each row writes its bytes on one connection, reads the answers by
their own framing, and checks the bytes the client got, whether the connection stays, and the
heads the origin saw. Rows: hop-by-hop fields in both directions; HTTP/1.0 and HTTP/1.1 clients
against chunked, length and close-delimited answers and memory hits; a delayed close taken back
by the next request; one answer for a request answered while its body still arrives; pipelined
requests (1, 2 and 10 in one write, hits, misses, a body, a look-up) answered in order, the close
rule still ending the connection, and a client that pipelines and leaves early.
Exit 0 when every row passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import collections
import json
import os
import shutil
import socket
import subprocess
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_suite as suite  # noqa: E402
from recording_origin import body_of  # noqa: E402

PATIENCE = suite.PATIENCE
CONFIG = {"sql": "update wc_system set value='1' where name='AddXCacheToHeader';"}


def disk_config(disk):
    """Answers below /d/ kept on one cache disk (the memory keeps none above 4 KB)."""
    return {"sql": CONFIG["sql"] + "update wc_system set value='1' where name='IsDiskCache';"
                   "update wc_system set value='1' where name='EnableDiskCacheForChunkedPage';"
                   "update wc_system set value='4' where name='MaxCacheBlockSize';"
                   "update wc_system set value='0' where name='MinDiskCacheContentSize';"
                   "update wc_system set value='0' where name='MinSizeForActivePageByDiskCache';" +
                   suite.disk_rows([disk], 1) +
                   "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                   " values(1, '^a\\.test/d/', 0, 1, 600, 3, 1, 0, 1, '');"}


class RecordingFixtures(suite.Fixtures):
    """The recording origin as the upstream of a.test; the suite's other upstreams do not run."""

    def __init__(self, work, source):
        self.work = work
        self.procs = []
        self.log = os.path.join(work, "origin.log")
        origin = subprocess.Popen(["python3", os.path.join(source, "modules/proxy/tests/fixtures/recording_origin.py"),
                                   self.log], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.procs.append(origin)
        line = origin.stdout.readline().strip()
        self.echo = [int(line)] if line.isdigit() else [0]
        self.nginx = self.nginx_slow = self.dead = self.dns_port = suite.free_port()
        self.ready = self.echo[0] > 0 and suite.wait_for(lambda: suite.listening(self.echo[0]))
        # "dns.test" names its upstream "origin.e2e.test": the first request for it waits on a look-up.
        self.dns = shutil.which("dnsmasq") is not None
        if self.dns:
            self.start_dnsmasq(["origin.e2e.test,127.0.0.1"])
            self.ready = self.ready and self.dns_ready()

    def seen(self, prefix):
        """The origin's logged requests whose target starts with prefix."""
        entries = [json.loads(line) for line in suite.read(self.log).decode("latin-1").splitlines() if line]
        return [e for e in entries if e["path"].startswith(prefix)]


Answer = collections.namedtuple("Answer", "status head body framing")


class Connection:
    """One client connection: bytes written as given, answers read by their own framing."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=PATIENCE)
        self.buffered = b""
        self.got = b""  # every byte the node sent

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def more(self):
        data = self.sock.recv(65536)
        self.got += data
        self.buffered += data
        return bool(data)

    def take(self, size):
        while len(self.buffered) < size:
            if not self.more():
                raise EOFError("closed %d bytes short of %d" % (size - len(self.buffered), size))
        data, self.buffered = self.buffered[:size], self.buffered[size:]
        return data

    def line(self):
        while b"\r\n" not in self.buffered:
            if not self.more():
                raise EOFError("closed inside a line")
        data, _, self.buffered = self.buffered.partition(b"\r\n")
        return data

    def answer(self):
        while b"\r\n\r\n" not in self.buffered:
            if not self.more():
                raise EOFError("closed before a whole head (%r)" % self.buffered[:200])
        head, _, self.buffered = self.buffered.partition(b"\r\n\r\n")
        text = head.decode("latin-1")
        status = int(text.split(" ")[1])
        length = suite.header(text, "Content-Length")
        if status in (204, 304) or 100 <= status < 200:
            return Answer(status, text, b"", "none")
        if [v.lower() for v in suite.header(text, "Transfer-Encoding")] == ["chunked"]:
            body = b""
            while True:
                size = int(self.line().split(b";")[0], 16)
                if size == 0:
                    while self.line():
                        pass
                    return Answer(status, text, body, "chunked")
                body += self.take(size)
                if self.take(2) != b"\r\n":
                    raise ValueError("no CRLF after chunk data")
        if length:
            return Answer(status, text, self.take(int(length[0])), "length")
        while self.more():
            pass
        body, self.buffered = self.buffered, b""
        return Answer(status, text, body, "close")

    def closed(self):
        """True when the node closes the connection and sends nothing more."""
        while self.more():
            pass
        return not self.buffered


# --- the table --------------------------------------------------------------------------------

def request(target, version="1.1", lines=(), method="GET", host="a.test"):
    head = ["%s %s HTTP/%s" % (method, target, version), "Host: " + host] + list(lines)
    return ("\r\n".join(head) + "\r\n\r\n").encode()


KEEP = ("Connection: keep-alive",)
CLOSE = ("Connection: close",)
# What a row expects of one answer: status, framing, the body (None: any), headers that must be
# there ((name, value)) and headers that must not.
Expect = collections.namedtuple("Expect", "status framing body has lacks")


def expect(status=200, framing="length", body=None, has=(), lacks=()):
    return Expect(status, framing, body, tuple(has), tuple(lacks))


def same_body(target, size):
    return body_of(target, size)


# One row: its name, its steps (bytes written, then the answers expected to them), how the
# connection ends ("open": a later request is still answered; "closed": the node closes it and
# sends nothing more), and checks of what the origin saw of its targets (/r/NAME...).
Row = collections.namedtuple("Row", "name steps end origin")


def t(name, query):
    return "/r/%s?%s" % (name, query)


def origin_lacks(*names):
    def check(seen):
        for entry in seen:
            for name in names:
                if suite.header(entry["head"], name):
                    return "the origin saw %s in %r" % (name, entry["head"])
        return None
    return check


def origin_has(*lines):
    def check(seen):
        for entry in seen:
            for line in lines:
                if line not in entry["head"].split("\r\n"):
                    return "the origin did not see %r in %r" % (line, entry["head"])
        return None
    return check


def origin_count(n):
    def check(seen):
        return None if len(seen) == n else "the origin saw %d requests, expected %d" % (len(seen), n)
    return check


def all_of(*checks):
    def check(seen):
        for one in checks:
            error = one(seen)
            if error:
                return error
        return None
    return check


def simple(name, query, version="1.1", lines=KEEP, answer=None, end="open", origin=None):
    target = t(name, query)
    return Row(name, [(request(target, version, lines), [answer(target)])], end, origin)


def got(framing, size, has=(), lacks=(), hit=None):
    def make(target):
        extra = (("X-Cache", hit),) if hit else ()
        return expect(200, framing, same_body(target, size), tuple(has) + extra, lacks)
    return make


HOP_LINES = ("Connection: keep-alive, X-Cli-Hop", "Keep-Alive: 300", "TE: trailers", "X-Cli-Hop: one hop",
             "Upgrade: websocket", "X-End: kept")
CHUNKED_COPY = t("chunked-copy", "mode=chunked&size=3000&age=60")
LENGTH_COPY = t("length-copy", "size=3000&age=60")
SLOW_AFTER_HIT = t("hit-then-slow-miss", "size=100&wait=8")
UPLOAD = 200000


def hit_of(target, version, lines, framing, hit="HIT", has=(), lacks=()):
    return (request(target, version, lines), [expect(200, framing, same_body(target, 3000),
                                                     (("X-Cache", hit),) + tuple(has), lacks)])


def post_head(target, lines=KEEP):
    return request(target, "1.1", list(lines) + ["Content-Length: %d" % UPLOAD], "POST")


# The body's first bytes look like a request: an upstream that got them would log it.
SMUGGLED = request("/r/smuggled?size=1", "1.1", KEEP)
POST_START = SMUGGLED + b"x" * (1000 - len(SMUGGLED))
POST_REST = b"x" * (UPLOAD - len(POST_START))

ROWS = [
    # Hop-by-hop fields stay on their own hop, both ways; end-to-end fields pass.
    simple("request-hop-by-hop", "size=10", lines=HOP_LINES, answer=got("length", 10),
           origin=all_of(origin_lacks("Keep-Alive", "TE", "X-Cli-Hop", "Upgrade"), origin_has("X-End: kept"))),
    simple("response-hop-by-hop", "size=10&hop=1",
           answer=got("length", 10, has=(("X-End", "kept"),), lacks=("Keep-Alive", "X-Up-Hop", "Upgrade"))),
    # HTTP/1.1 clients: the upstream's framing as it came.
    simple("1.1-chunked", "mode=chunked&size=2500", answer=got("chunked", 2500)),
    simple("1.1-length", "size=2500", answer=got("length", 2500)),
    simple("1.1-close-delimited", "mode=close&size=2500", answer=got("close", 2500), end="closed"),
    # HTTP/1.0 clients never get chunked framing; they keep the connection only on keep-alive.
    simple("1.0-chunked", "mode=chunked&size=2500", "1.0", (), got("close", 2500, lacks=("Transfer-Encoding",)),
           "closed"),
    simple("1.0-keep-alive-chunked", "mode=chunked&size=2500", "1.0", KEEP,
           got("close", 2500, has=(("Connection", "close"),), lacks=("Transfer-Encoding",)), "closed"),
    simple("1.0-keep-alive-length", "size=2500", "1.0", KEEP,
           got("length", 2500, has=(("Connection", "keep-alive"),))),
    simple("1.0-length", "size=2500", "1.0", (), got("length", 2500), "closed"),
    simple("1.0-keep-alive-close-delimited", "mode=close&size=2500", "1.0", KEEP, got("close", 2500), "closed"),
    # Memory hits: a chunked copy answers a 1.0 client with its length, a 1.1 client as stored.
    Row("1.0-keep-alive-hit-of-chunked-copy", [hit_of(CHUNKED_COPY, "1.0", KEEP, "length", lacks=("Transfer-Encoding",))],
        "open", None),
    Row("1.0-hit-of-chunked-copy", [hit_of(CHUNKED_COPY, "1.0", (), "length", lacks=("Transfer-Encoding",))],
        "closed", None),
    Row("1.1-hit-of-chunked-copy", [hit_of(CHUNKED_COPY, "1.1", KEEP, "chunked")], "open", None),
    Row("1.0-keep-alive-hit-of-length-copy", [hit_of(LENGTH_COPY, "1.0", KEEP, "length")], "open", None),
    Row("1.0-hit-of-length-copy", [hit_of(LENGTH_COPY, "1.0", (), "length")], "closed", None),
    # The close a kept-alive hit queues behind itself does not end the next request's slow miss.
    Row("hit-then-slow-miss", [hit_of(LENGTH_COPY, "1.1", KEEP, "length"),
                               (request(SLOW_AFTER_HIT, "1.1", KEEP), [expect(200, "length",
                                                                               same_body(SLOW_AFTER_HIT, 100))])],
        "open", None),
    # A redirect while the POST body still arrives is the only answer; the body reaches no upstream,
    # not even the pipe an earlier request of the connection left open.
    Row("redirect-during-post-body", [(post_head("/old") + POST_START, [expect(301, "length")]), (POST_REST, [])],
        "closed", None),
    Row("redirect-during-post-body-after-a-miss",
        [(request(t("redirect-during-post-body-after-a-miss", "size=5"), "1.1", KEEP), [expect(200, "length")]),
         (post_head("/old") + POST_START, [expect(301, "length")]), (POST_REST, [])],
        "closed", None),
]


def pipelined(name, requests, end="open"):
    """One write of several requests ((target, lines, expectation maker) each; a target of
    "HIT:<copy>" is a hit of a stored copy) and their answers in order."""
    data = b""
    answers = []
    for target, lines, make in requests:
        data += request(target, "1.1", lines) if isinstance(target, str) else target
        answers.append(make(target))
    return Row(name, [(data, answers)], end, None)


def hit_answer(framing):
    return lambda target: expect(200, framing, same_body(target, 3000), (("X-Cache", "HIT"),))


def miss_answer(size, framing="length"):
    return lambda target: expect(200, framing, same_body(target, size), (("X-Cache", "MISS"),))


def posted(target, size):
    return request(target, "1.1", KEEP + ("Content-Length: %d" % size,), "POST") + b"p" * size


MIXED = [(LENGTH_COPY, KEEP, hit_answer("length")),
         (t("pipeline-10-mixed", "n=1&size=700"), KEEP, miss_answer(700)),
         (CHUNKED_COPY, KEEP, hit_answer("chunked")),
         (t("pipeline-10-mixed", "n=2&size=2500&mode=chunked"), KEEP, miss_answer(2500, "chunked")),
         (t("pipeline-10-mixed", "n=3&size=10&wait=0.5"), KEEP, miss_answer(10)),
         (LENGTH_COPY, KEEP, hit_answer("length")),
         (posted(t("pipeline-10-mixed", "n=4&size=5"), 3000),
          (), lambda _: expect(200, "length", same_body(t("pipeline-10-mixed", "n=4&size=5"), 5))),
         (t("pipeline-10-mixed", "n=5&size=0"), KEEP, miss_answer(0)),
         (CHUNKED_COPY, KEEP, hit_answer("chunked")),
         (t("pipeline-10-mixed", "n=6&size=70000"), CLOSE, miss_answer(70000))]

PIPELINE_ROWS = [
    pipelined("pipeline-1", [(LENGTH_COPY, KEEP, hit_answer("length"))]),
    pipelined("pipeline-2-memory-hits", [(LENGTH_COPY, KEEP, hit_answer("length")),
                                         (CHUNKED_COPY, KEEP, hit_answer("chunked"))]),
    pipelined("pipeline-2-misses", [(t("pipeline-2-misses", "n=1&size=100&wait=0.5"), KEEP, miss_answer(100)),
                                    (t("pipeline-2-misses", "n=2&size=200"), KEEP, miss_answer(200))]),
    pipelined("pipeline-10-mixed", MIXED, "closed"),
    # The close rule still ends the connection: nothing behind a "Connection: close" request is read.
    Row("pipeline-close-ends-it", [(request(LENGTH_COPY, "1.1", KEEP) + request(t("pipeline-close-ends-it", "n=1&size=9"),
                                                                               "1.1", CLOSE) +
                                    request(t("pipeline-close-ends-it", "n=2&size=9"), "1.1", KEEP),
                                    [hit_answer("length")(LENGTH_COPY),
                                     miss_answer(9)(t("pipeline-close-ends-it", "n=1&size=9"))])],
        "closed", lambda seen: None if [e["path"] for e in seen] == [t("pipeline-close-ends-it", "n=1&size=9")]
        else "the origin saw %r" % [e["path"] for e in seen]),
]

# Disk hits: copies of 20,000 bytes under /d/, stored as they came (a chunked one with its framing).
DISK_LENGTH = "/d/length?size=20000&age=600"
DISK_CHUNKED = "/d/chunked?mode=chunked&size=20000&age=600"


def disk_hit(framing):
    return lambda target: expect(200, framing, same_body(target, 20000), (("X-Cache", "HIT"),))


DISK_ROWS = [
    Row("1.1-disk-hit", [(request(DISK_LENGTH, "1.1", KEEP), [disk_hit("length")(DISK_LENGTH)])], "open", None),
    Row("1.1-disk-hit-of-chunked-copy", [(request(DISK_CHUNKED, "1.1", KEEP), [disk_hit("chunked")(DISK_CHUNKED)])],
        "open", None),
    Row("1.0-keep-alive-disk-hit", [(request(DISK_LENGTH, "1.0", KEEP), [disk_hit("length")(DISK_LENGTH)])], "open",
        None),
    # A chunked copy on disk is not read to such a client: the origin's answer reaches it de-chunked.
    Row("1.0-keep-alive-disk-copy-chunked", [(request(DISK_CHUNKED, "1.0", KEEP),
                                              [expect(200, "close", same_body(DISK_CHUNKED, 20000),
                                                      (("X-Cache", "MISS"),), ("Transfer-Encoding",))])],
        "closed", None),
    pipelined("pipeline-disk-hits", [(DISK_LENGTH, KEEP, disk_hit("length")),
                                     (t("pipeline-disk-hits", "size=300"), KEEP, miss_answer(300)),
                                     (DISK_CHUNKED, KEEP, disk_hit("chunked")),
                                     (DISK_LENGTH, KEEP, disk_hit("length"))]),
]


def stored_on_disk(node, target):
    """Asks for the target until the disk answers it (a copy is indexed once written whole)."""
    def hit():
        conn = Connection(node.port)
        try:
            conn.send(request(target, "1.1", CLOSE))
            return suite.header(conn.answer().head, "X-Cache") == ["HIT"]
        except (OSError, EOFError, ValueError):
            return False
        finally:
            conn.close()
    return suite.wait_for(hit, step=0.2)


DNS_TARGET = "/r/pipeline-behind-dns?size=40"
DNS_ROW = Row("pipeline-behind-dns", [(request(DNS_TARGET, "1.1", KEEP, host="dns.test") +
                                       request(LENGTH_COPY, "1.1", KEEP),
                                       [expect(200, "length", same_body(DNS_TARGET, 40)),
                                        hit_answer("length")(LENGTH_COPY)])], "open", None)


# Copies the rows answer from, stored before the table runs.
PRIMES = [CHUNKED_COPY, LENGTH_COPY]
AFTER_PRIME = request("/r/after?size=3", "1.1", CLOSE)


def check_answer(answer, want):
    if answer.status != want.status:
        return "status %d, expected %d" % (answer.status, want.status)
    if answer.framing != want.framing:
        return "framing %s, expected %s" % (answer.framing, want.framing)
    if want.body is not None and answer.body != want.body:
        return "a body of %d bytes that differs from the origin's %d" % (len(answer.body), len(want.body))
    for name, value in want.has:
        if value not in suite.header(answer.head, name):
            return "%s %r, expected %r" % (name, suite.header(answer.head, name), value)
    for name in want.lacks:
        if suite.header(answer.head, name):
            return "carries %s" % name
    return None


def run_row(node, fixtures, row):
    conn = Connection(node.port)
    try:
        for data, answers in row.steps:
            conn.send(data)
            for want in answers:
                error = check_answer(conn.answer(), want)
                if error:
                    return error, conn.got
        if row.end == "closed" and not conn.closed():
            return "the connection stayed open or carried more bytes (%r)" % conn.buffered[:200], conn.got
        if row.end == "open":
            conn.send(AFTER_PRIME)
            if conn.answer().status != 200:
                return "the connection did not stay for a later request", conn.got
            if not conn.closed():
                return "more bytes followed the answers (%r)" % conn.buffered[:200], conn.got
    except (OSError, EOFError, ValueError) as error:
        return "%s: %s" % (type(error).__name__, error), conn.got
    finally:
        conn.close()
    if row.origin:
        return row.origin(fixtures.seen("/r/" + row.name)), conn.got
    return None, conn.got


def smuggled(fixtures):
    seen = fixtures.seen("/r/smuggled") + fixtures.seen("/old")
    return "the origin saw %r" % [e["head"] for e in seen] if seen else None


def early_close(node):
    """A client that pipelines and closes before its answers leaves no descriptor behind."""
    baseline = suite.settled_descriptors(node)
    conn = Connection(node.port)
    conn.send(request(t("early-close", "n=0&size=10&wait=1"), "1.1", KEEP) +
              b"".join(request(LENGTH_COPY if n % 2 else t("early-close", "n=%d&size=10" % n), "1.1", KEEP)
                       for n in range(1, 10)))
    conn.close()
    if not suite.wait_for(lambda: node.descriptors() <= baseline):
        return "%d descriptors, %d before" % (node.descriptors(), baseline)
    after = Connection(node.port)
    try:
        after.send(AFTER_PRIME)
        return None if after.answer().status == 200 else "the node did not answer after it"
    finally:
        after.close()


def run_rows(node, fixtures, rows):
    failures = []
    for row in rows:
        error, client_got = run_row(node, fixtures, row)
        print("%-4s %s" % ("ok" if not error else "FAIL", row.name), flush=True)
        if error:
            seen = fixtures.seen("/r/" + row.name)
            failures.append("%s: %s\n    client got: %r\n    origin saw: %r" % (
                row.name, error, client_got[:1500], [e["head"] for e in seen]))
    return failures


def run_disk_table(node, fixtures):
    for target in (DISK_LENGTH, DISK_CHUNKED):
        if not stored_on_disk(node, target):
            return ["%s never came from the disk" % target]
    return run_rows(node, fixtures, DISK_ROWS)


def run_table(node, fixtures):
    failures = []
    for target in PRIMES:
        conn = Connection(node.port)
        conn.send(request(target, "1.1", CLOSE))
        answer = conn.answer()
        conn.close()
        if answer.status != 200:
            failures.append("storing %s: status %d" % (target, answer.status))
    failures += run_rows(node, fixtures, ([DNS_ROW] if fixtures.dns else []) + ROWS + PIPELINE_ROWS)
    error = early_close(node)
    print("%-4s %s" % ("ok" if not error else "FAIL", "pipelined-then-closed-early"), flush=True)
    if error:
        failures.append("pipelined-then-closed-early: " + error)
    error = smuggled(fixtures)
    print("%-4s %s" % ("ok" if not error else "FAIL", "no request body reached the origin as a request"), flush=True)
    if error:
        failures.append(error)
    return failures


def body(args, work):
    fixtures = RecordingFixtures(work, args.source)
    try:
        if not fixtures.ready:
            return ["the origin did not start"]
        failures = []
        disk = os.path.join(work, "disk1")
        os.makedirs(disk)
        for name, config, table in (("http11", CONFIG, run_table), ("http11-disk", disk_config(disk), run_disk_table)):
            node = suite.Node(args, fixtures, name, config)
            if not node.ready:
                failures.append("%s: the node did not start: %s" % (name, suite.read(node.out)[-2000:].decode("latin-1")))
            else:
                failures += table(node, fixtures)
            failures += ["%s: %s" % (name, fault) for fault in node.stop()]
        return failures
    finally:
        fixtures.stop()


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-http11-", ("sqlite3",), body))
