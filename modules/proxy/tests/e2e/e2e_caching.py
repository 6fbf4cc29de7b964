#!/usr/bin/env python3
"""What a shared cache must do with the origin's word, end to end: quorind laid out from a build
(the end-to-end suite's Node) with "X-Cache" on and no cache rule for the paths below (the answers'
own headers decide), once with the memory cache alone and once with the disk cache on. The origin
is a python server in this process that sets each path's headers per request and counts what it
receives; curl is the client and the sqlite3 tool reads the disk index.

  e2e_caching.py --build DIR --source DIR --plugin FILE

Rows: a successful POST, PUT or DELETE drops every stored copy of its URL (the next GET is a miss
the origin sees), also the copy of a GET still in flight; a 404 to a POST drops none; an origin's
X-RefreshCacheURL drops the copy it names; s-maxage decides a shared copy's lifetime before
max-age, and both read decimal whatever their leading zeros; a 304 to a revalidation updates the
stored head (memory and disk) and the lifetime it gives, and one that forbids sharing still
answers the request that asked. Exit 0 when every row passes, 1 otherwise,
77 when a tool it needs is missing.
"""
import email.utils
import hashlib
import http.server
import os
import re
import socketserver
import sys
import threading
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e_disk  # noqa: E402
import e2e_suite as suite  # noqa: E402

HOST = "a.test"  # the seeded upstream host of the suite's first origin
SECONDS = 10
# A max-age=1 copy is expired once the node's whole-second clock has moved past its expiry.
EXPIRY_WAIT = 2.2
SIZE = 20000  # above the disk cache's 16 KiB minimum, below the memory block limit


class Resource:
    """One path of the origin: the headers of its 200 and 304 answers, its body and its counts."""

    def __init__(self, headers, unsafe_status=200):
        self.headers = list(headers)
        self.etag = dict(headers).get("ETag")
        self.not_modified = None  # headers of a 304 to a matching If-None-Match; None: always 200
        self.unsafe_status = unsafe_status
        self.gate = None  # set: a GET sends half its body, then waits for the gate to open
        self.halfway = threading.Event()
        self.body = hashlib.sha256(repr(headers).encode()).digest() * (SIZE // 32) + b"x" * (SIZE % 32)
        self.counts = {}


class Origin(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.resources = {}
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def add(self, path, headers, unsafe_status=200):
        with self.lock:
            self.resources[path] = Resource(headers, unsafe_status)
        return self.resources[path]

    def count(self, path, method="GET"):
        with self.lock:
            return self.resources[path].counts.get(method, 0)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, method):
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            self.rfile.read(length)
        with self.server.lock:
            resource = self.server.resources.get(self.path)
            if resource:
                resource.counts[method] = resource.counts.get(method, 0) + 1
        if not resource:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if method in ("POST", "PUT", "DELETE"):
            self.send_response(resource.unsafe_status)
            self.send_header("Content-Length", "4")
            self.end_headers()
            self.wfile.write(b"done")
            return
        asked = self.headers.get("If-None-Match")
        if resource.not_modified is not None and asked and asked == resource.etag:
            self.send_response(304)
            for name, value in resource.not_modified:
                self.send_header(name, value)
            self.end_headers()
            return
        self.send_response(200)
        for name, value in resource.headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(resource.body)))
        self.end_headers()
        if method == "HEAD":
            return
        half = len(resource.body) // 2
        self.wfile.write(resource.body[:half])
        self.wfile.flush()
        if resource.gate:
            resource.halfway.set()
            resource.gate.wait(SECONDS)
        self.wfile.write(resource.body[half:])

    def do_GET(self):
        self.answer("GET")

    def do_HEAD(self):
        self.answer("HEAD")

    def do_POST(self):
        self.answer("POST")

    def do_PUT(self):
        self.answer("PUT")

    def do_DELETE(self):
        self.answer("DELETE")


class OriginFixtures(suite.Fixtures):
    """The in-process origin as the suite's first origin; the node's other upstreams stay closed."""

    def __init__(self, work):
        self.work = work
        self.procs = []
        self.origin = Origin()
        self.echo = [self.origin.server_address[1]]
        self.nginx = self.nginx_slow = self.dead = self.dns_port = suite.free_port()
        self.ready = True

    def stop(self):
        self.origin.shutdown()
        self.origin.server_close()


class Row:
    """One row's checks against one node; its failures are kept under the row's name."""

    def __init__(self, node, origin, disk, name):
        self.node, self.origin, self.disk, self.name = node, origin, disk, name
        self.errors = []

    def expect(self, ok, what):
        if not ok:
            self.errors.append(what)
        return ok

    def request(self, label, path, status, verdict=None, options=()):
        answer = suite.curl(self.node, HOST, path, list(options), seconds=SECONDS)
        self.expect(answer.status == status, "%s: status %d, expected %d" % (label, answer.status, status))
        if verdict:
            got = suite.header(answer.head, "X-Cache")
            self.expect(got == [verdict], "%s: X-Cache %r, expected %s" % (label, got, verdict))
        return answer

    def get(self, label, path, verdict, status=200):
        answer = self.request(label, path, status, verdict)
        resource = self.origin.resources[path]
        self.expect(answer.body == resource.body, "%s: %d body bytes differ from the origin's %d"
                    % (label, len(answer.body), len(resource.body)))
        return answer

    def header(self, label, answer, name, want):
        got = suite.header(answer.head, name)
        self.expect(got == want, "%s: %s %r, expected %r" % (label, name, got, want))

    def count(self, label, path, want, method="GET"):
        got = self.origin.count(path, method)
        self.expect(got == want, "%s: the origin saw %d %s of %s, expected %d" % (label, got, method, path, want))

    def record(self, path):
        return e2e_disk.index_record(self.node, HOST + path)

    def settled(self, label, path):
        """With the disk cache on, waits for the copy's index record (written once its file is)."""
        if self.disk:
            self.expect(suite.wait_for(lambda: self.record(path) is not None), "%s: no index record" % label)


def unique(name, disk):
    return "/%s/%s" % ("disk" if disk else "mem", name)


# --- invalidation by unsafe methods -----------------------------------------------------------------

# (method, curl options, the origin's status, whether the stored copies go)
UNSAFE = [
    ("POST", ["--data-binary", "a=1"], 200, True),
    ("PUT", ["-X", "PUT", "--data-binary", "a=1"], 201, True),
    ("DELETE", ["-X", "DELETE"], 204, True),
    ("POST", ["--data-binary", "a=1"], 404, False),
]


def invalidation(row, method, options, status, drops):
    path = unique("inv-%s-%d" % (method.lower(), status), row.disk)
    row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=600")], status)
    row.get("first GET", path, "MISS")
    row.settled("first GET", path)
    row.get("second GET", path, "HIT")
    row.request(method, path, status, options=options)
    row.count(method, path, 1, method)
    if row.disk:
        row.expect((row.record(path) is None) == drops, "%s: the index record %s" %
                   (method, "stays" if drops else "is gone"))
    row.get("GET after " + method, path, "MISS" if drops else "HIT")
    row.count("GET after " + method, path, 2 if drops else 1)
    if drops:
        row.settled("stored again", path)
        row.get("GET after the new copy", path, "HIT")
        row.count("GET after the new copy", path, 2)


def in_flight(row):
    """A GET whose answer is still arriving when a POST changes its URL: its copy is dropped once
    stored, so the next GET is a miss (memory and disk)."""
    path = unique("in-flight", row.disk)
    resource = row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=600")])
    resource.gate = threading.Event()
    slow = {}
    reader = threading.Thread(target=lambda: slow.update(answer=suite.curl(row.node, HOST, path, seconds=SECONDS)))
    reader.start()
    try:
        row.expect(resource.halfway.wait(SECONDS), "the slow GET never reached the origin")
        row.request("POST", path, 200, options=["--data-binary", "a=1"])
    finally:
        resource.gate.set()
        reader.join()
    resource.gate = None
    answer = slow.get("answer")
    row.expect(answer is not None and answer.status == 200 and answer.body == resource.body,
               "the slow GET: %r" % (answer.head[:200] if answer else None))
    if row.disk:
        # The dropped copy's file is abandoned (its writes may still be queued): once it is gone,
        # no index record of it may be there.
        file = e2e_disk.model_path(os.path.join(row.node.fixtures.work, "disk0"), HOST + path)
        row.expect(suite.wait_for(lambda: not os.path.exists(file)), "the in-flight copy's file stays: " + file)
        row.expect(row.record(path) is None, "the in-flight copy's index record: %r" % row.record(path))
    row.get("GET after the POST", path, "MISS")
    row.count("GET after the POST", path, 2)


def refresh_header(row):
    """An origin's X-RefreshCacheURL on another answer purges the named copy from memory too."""
    path = unique("refreshed", row.disk)
    row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=600")])
    purging = unique("purging", row.disk)
    row.origin.add(purging, [("Content-Type", "application/octet-stream"), ("X-RefreshCacheURL", HOST + path)])
    row.get("first GET", path, "MISS")
    row.settled("first GET", path)
    row.get("second GET", path, "HIT")
    row.get("the purging answer", purging, "MISS")
    row.get("GET after the purge", path, "MISS")
    row.count("GET after the purge", path, 2)


# --- shared-cache freshness -------------------------------------------------------------------------

# (name, Cache-Control, fresh after the wait)
FRESHNESS = [
    ("shorter-s-maxage", "max-age=3600, s-maxage=1", False),
    ("longer-s-maxage", "max-age=1, s-maxage=3600", True),
    ("max-age-leading-zeros", "max-age=0600", True),  # "max-age=0" as text: refused before
]


def freshness_prime(row, name, cache_control, fresh):
    path = unique(name, row.disk)
    row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", cache_control)])
    row.get("first GET", path, "MISS")
    if fresh:  # a 1-second copy may be spent already on a loaded machine
        row.get("second GET", path, "HIT")
        row.count("second GET", path, 1)


def freshness_check(row, name, _cache_control, fresh):
    path = unique(name, row.disk)
    row.get("GET after %.1f s" % EXPIRY_WAIT, path, "HIT" if fresh else "MISS")
    row.count("GET after the wait", path, 1 if fresh else 2)


# --- 304 updates of the stored head -------------------------------------------------------------------

OLD_HEAD = [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=1"), ("ETag", '"u1"'),
            ("X-Custom", "old")]
NEW_FIELDS = [("Content-Type", "image/png"), ("Expires", email.utils.formatdate(time.time() + 7200, usegmt=True)),
              ("ETag", '"u2"'), ("X-Custom", "new"), ("Cache-Control", "max-age=600")]


def check_new_fields(row, label, answer):
    for name, value in NEW_FIELDS:
        if name != "Cache-Control":
            row.header(label, answer, name, [value])
    # A hit's Cache-Control carries the lifetime left of the 600 seconds.
    left = suite.header(answer.head, "Cache-Control")
    row.expect(len(left) == 1 and re.fullmatch(r"max-age=(\d+)", left[0]) and
               500 <= int(left[0].split("=")[1]) <= 600, "%s: Cache-Control %r, expected max-age=600 or a bit less"
               % (label, left))
    row.header(label, answer, "Content-Length", [str(SIZE)])


def updated_prime(row):
    path = unique("updated", row.disk)
    row.origin.add(path, OLD_HEAD)
    row.get("first GET", path, "MISS")
    row.settled("first GET", path)
    resource = row.origin.resources[path]
    resource.not_modified = NEW_FIELDS
    resource.headers = NEW_FIELDS  # a full answer from now on carries them too


def updated_check(row):
    """The revalidation's 304 reaches the stored head: served at once and on the next hit."""
    path = unique("updated", row.disk)
    answer = row.get("revalidated GET", path, "HIT")
    check_new_fields(row, "revalidated GET", answer)
    row.count("revalidated GET", path, 2)
    again = row.get("next GET", path, "HIT")
    check_new_fields(row, "next GET", again)
    row.count("next GET", path, 2)
    if row.disk:
        # The file's head is no longer the stored head: the disk copy went.
        row.expect(row.record(path) is None, "the disk copy of another head stays: %r" % row.record(path))


def updated_later(row):
    """After a restart (memory empty) the copy is fetched whole and stored with the new head."""
    path = unique("updated", row.disk)
    answer = row.get("GET after the restart", path, "MISS")
    check_new_fields(row, "GET after the restart", answer)
    row.settled("stored again", path)
    record = row.record(path) or {}
    row.expect(record.get("et") == '"u2"', "the index record's et: %r" % record.get("et"))
    row.get("GET from the disk", path, "HIT")
    row.count("GET from the disk", path, 3)


def dated_prime(row):
    """A copy 599 seconds old of a 600-second answer: fresh for 1 second, and for 600 once a 304
    (without Age) confirms it."""
    path = unique("dated", row.disk)
    row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=600"),
                          ("Age", "599"), ("ETag", '"u1"'), ("X-Custom", "old")])
    row.get("first GET", path, "MISS")
    row.settled("first GET", path)
    row.origin.resources[path].not_modified = [("ETag", '"u1"')]


def dated_check(row):
    """A 304 that changes nothing but the Date renews the disk copy in place."""
    path = unique("dated", row.disk)
    row.get("revalidated GET", path, "HIT")
    row.count("revalidated GET", path, 2)
    record = row.record(path) or {}
    expiry = int(record.get("ep", "0"), 16)
    row.expect(expiry >= time.time() + 500, "the index record's ep %d, expected about now + 600" % expiry)


def dated_later(row):
    path = unique("dated", row.disk)
    answer = row.get("GET from the disk after the restart", path, "HIT")
    row.header("GET from the disk", answer, "X-Custom", ["old"])
    row.count("GET from the disk", path, 2)


def unshared_prime(row):
    path = unique("unshared", row.disk)
    row.origin.add(path, [("Content-Type", "application/octet-stream"), ("Cache-Control", "max-age=1"),
                          ("ETag", '"p1"')])
    row.get("first GET", path, "MISS")
    row.settled("first GET", path)
    row.origin.resources[path].not_modified = [("ETag", '"p1"'), ("Vary", "Cookie")]


def unshared_check(row):
    """A 304 whose fields forbid sharing the copy still confirms it for the request that asked:
    the client (who sent no validator) gets the whole copy; the next request finds none."""
    path = unique("unshared", row.disk)
    answer = row.get("revalidated GET", path, "HIT")
    row.header("revalidated GET", answer, "Vary", ["Cookie"])
    row.count("revalidated GET", path, 2)
    row.get("next GET", path, "MISS")
    row.count("next GET", path, 3)


# --- the run ----------------------------------------------------------------------------------------

def rows_for(node, origin, disk):
    """(row, the part run before the shared wait or None, the part run after it or the whole row,
    the part run after a restart of the disk node or None)"""
    rows = []
    for method, options, status, drops in UNSAFE:
        name = "%s %d %s" % (method, status, "drops the copies" if drops else "keeps the copies")
        rows.append((Row(node, origin, disk, name), None,
                     lambda row, a=(method, options, status, drops): invalidation(row, *a), None))
    rows.append((Row(node, origin, disk, "POST while a GET is in flight"), None, in_flight, None))
    rows.append((Row(node, origin, disk, "X-RefreshCacheURL purges"), None, refresh_header, None))
    for entry in FRESHNESS:
        rows.append((Row(node, origin, disk, entry[0] + " (%s)" % entry[1]),
                     lambda row, e=entry: freshness_prime(row, *e), lambda row, e=entry: freshness_check(row, *e),
                     None))
    rows.append((Row(node, origin, disk, "304 updates the stored head"), updated_prime, updated_check,
                 updated_later if disk else None))
    rows.append((Row(node, origin, disk, "304 that forbids sharing"), unshared_prime, unshared_check, None))
    if disk:
        rows.append((Row(node, origin, disk, "304 with a new Date renews the disk copy"), dated_prime, dated_check,
                     dated_later))
    return rows


def run_part(row, part):
    try:
        part(row)
    except Exception as error:  # a broken answer fails its row, not the run
        row.errors.append("%s: %s" % (type(error).__name__, error))


def run_rows(node, origin, disk):
    rows = rows_for(node, origin, disk)
    for row, prime, _, _ in rows:
        if prime:
            run_part(row, prime)
    primed = time.monotonic()
    for row, prime, check, _ in rows:
        if not prime:
            run_part(row, check)
    time.sleep(max(0.0, primed + EXPIRY_WAIT - time.monotonic()))
    for row, prime, check, _ in rows:
        if prime:
            run_part(row, check)
    if any(later for _, _, _, later in rows):
        # The memory copies go with the process; the disk and its index stay.
        suite.end_process(node.proc)
        if not node.start():
            return ["the node did not start again: " + suite.read(node.out)[-2000:].decode("latin-1")]
        for row, _, _, later in rows:
            if later:
                run_part(row, later)
    failures = []
    for row, _, _, _ in rows:
        label = "%s: %s" % ("disk" if disk else "memory", row.name)
        print("%-5s %s" % ("FAIL" if row.errors else "ok", label), flush=True)
        for error in row.errors:
            print("        " + error, flush=True)
        failures += ["%s: %s" % (label, e) for e in row.errors]
    return failures


def config(work, disk):
    sql = "update wc_system set value='1' where name='AddXCacheToHeader';"
    if disk:
        sql += ("update wc_system set value='1' where name='IsDiskCache';" +
                suite.disk_rows([os.path.join(work, "disk0")]))
    return {"sql": sql}


def body(args, work):
    fixtures = OriginFixtures(work)
    failures = []
    try:
        for disk in (False, True):
            node = suite.Node(args, fixtures, "disk" if disk else "memory", config(work, disk))
            if not node.ready:
                failures.append("the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1"))
            else:
                failures += run_rows(node, fixtures.origin, disk)
            failures += ["node: " + fault for fault in node.stop()]
        return failures
    finally:
        fixtures.stop()


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-caching-", ("curl", "sqlite3"), body))
