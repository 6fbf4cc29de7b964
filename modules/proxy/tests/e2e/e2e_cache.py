#!/usr/bin/env python3
"""The node's memory cache end to end: quorind laid out from a build (the end-to-end suite's Node)
with "X-Cache" on, one python origin (tests/fixtures/relay_origin.py) whose versioned objects
carry validators and whose log holds every request head, and curl or a raw socket as the client.

  e2e_cache.py --build DIR --source DIR --plugin FILE

Cases: a miss then hits of binary, gzip-stored and chunked objects for clients with and without
gzip, ranges and If-Range on a stored copy, 304 heads from the stored validators, expired copies
revalidated with the origin (confirmed by a 304 or replaced by a 200), and member and visitor
copies of one URL. The copies that must expire live 1 second; the cases that use them run after
one shared wait. Exit 0 when every case passes (a case marked as a known node fault must fail),
1 otherwise, 77 when a tool it needs is missing.
"""
import email.utils
import gzip
import json
import os
import re
import socket
import subprocess
import sys
import time
import urllib.request

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_suite as suite  # noqa: E402
import relay_origin as origin  # noqa: E402

SECONDS = 10  # curl's --max-time and the raw socket's patience
# Seconds from the last store of a max-age=1 copy to its use: the node's clock is read in whole
# seconds and moves once a second, so a copy is expired after the clock's next move.
EXPIRY_WAIT = 2.2
HOST = "a.test"  # the seeded upstream host of the first origin
DATE = re.compile(r"^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                  r"\d{4} \d\d:\d\d:\d\d GMT$")
VIA_LINE = re.compile(suite.VIA.pattern.replace("^", "^X-Via: ", 1))

# Session rules: the login URL teaches the cookie "sid"; /sess/page has a member copy (class 1)
# and a visitor copy (class 2), each kept 60 seconds (unit 3: seconds), Set-Cookie stripped.
CONFIG = {"sql": "update wc_system set value='1' where name='AddXCacheToHeader';"
                 "insert into wc_scache(num, url, icase, rules, expire, sessionid, note) values"
                 "(1, '^a\\.test/sess/login', 0, 1, 600, 'sid', '');"
                 "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                 " values"
                 "(1, '^a\\.test/sess/page', 0, 1, 60, 3, 1, 1, 0, ''),"
                 "(2, '^a\\.test/sess/page', 0, 1, 60, 3, 1, 2, 0, '');"
                 "update wc_system set value='0' where name='UnenableAccessLog';",
          # Access-log lines for the logged objects only, every field, written through at once.
          "files": [("modules/zazudaza/access.ini",
                     "[access]\nlog__request_url_3=^a\\.test/obj/logged\nrecord__host=1\nrecord__referer=1\n"
                     "record__user_agent=1\nrecord__cache_status=1\nlog__flush_interval=0\n")]}

# Cases that fail because of a known node fault: name -> the fault. Such a case must fail; when it
# passes, the mark is out of date and the run fails.
KNOWN_FAULTS = {}


class CacheFixtures(suite.Fixtures):
    """One python origin with a head log; the suite's node seeds upstreams for the other peers of
    the suite, which do not run here (their ports stay closed)."""

    def __init__(self, work, source):
        self.work = work
        self.procs = []
        self.echo_log = os.path.join(work, "origin.log")
        self.head_log = os.path.join(work, "origin-heads.log")
        self.echo = [suite.free_port()]
        self.spawn(["python3", os.path.join(source, "modules/proxy/tests/fixtures/relay_origin.py"),
                    str(self.echo[0]), self.echo_log, self.head_log], "origin")
        self.nginx = self.nginx_slow = self.dead = self.dns_port = suite.free_port()
        self.ready = suite.wait_for(lambda: suite.listening(self.echo[0]))

    def requests(self, path):
        """The origin's logged requests of a path: (method, {lower-case header: value})."""
        out = []
        for line in suite.read(self.head_log).decode("latin-1").splitlines():
            entry = json.loads(line)
            if entry["path"] == path:
                out.append((entry["method"], entry["head"]))
        return out


class Run:
    """The node, the origin and the outcome of the case being run."""

    def __init__(self, node, fixtures, seconds=SECONDS):
        self.node = node
        self.fixtures = fixtures
        self.seconds = seconds  # curl's --max-time
        self.errors = []

    def expect(self, ok, what):
        if not ok:
            self.errors.append(what)
        return ok

    def get(self, path, *options, host=HOST):
        return suite.curl(self.node, host, path, list(options), seconds=self.seconds)

    def origin_count(self, path):
        return len(self.fixtures.requests(path))

    def last_origin_head(self, path):
        seen = self.fixtures.requests(path)
        return seen[-1][1] if seen else {}

    def bump(self, name):
        """The origin's next answers for /obj/<name> carry a new version (asked directly)."""
        url = "http://127.0.0.1:%d/bump/%s" % (self.fixtures.echo[0], name)
        with urllib.request.urlopen(url, timeout=SECONDS) as answer:
            answer.read()

    # The checks of one answer, each recorded under a label.
    def status(self, label, answer, code):
        return self.expect(answer.status == code, "%s: status %d, expected %d" % (label, answer.status, code))

    def cache(self, label, answer, verdict):
        got = suite.header(answer.head, "X-Cache")
        return self.expect(got == [verdict], "%s: X-Cache %r, expected %s" % (label, got, verdict))

    def body(self, label, answer, want):
        return self.expect(answer.body == want, "%s: body of %d bytes differs from the origin's %d bytes (%r...)%s"
                           % (label, len(answer.body), len(want), answer.body[:60], curl_verdict(answer)))

    def headers(self, label, answer, name, want):
        got = suite.header(answer.head, name)
        return self.expect(got == want, "%s: %s %r, expected %r" % (label, name, got, want))

    def count(self, label, path, want):
        got = self.origin_count(path)
        return self.expect(got == want, "%s: the origin saw %d requests of %s, expected %d" % (label, got, path, want))


def curl_verdict(answer):
    """Why curl's transfer ended early, when it did: its own time limit or the node's cut."""
    return {0: "", 28: "; curl's time limit ended the transfer",
            18: "; the node ended the answer short"}.get(answer.exit, "; curl exit %d" % answer.exit)


def obj(name, size, kind="bin", **query):
    """The node path of an origin object and its body (version 0)."""
    params = "&".join(["size=%d" % size, "type=" + kind] + ["%s=%s" % item for item in sorted(query.items())])
    return "/obj/%s?%s" % (name, params), origin.object_body(name, size, kind, 0)


def last_modified(version=0):
    return email.utils.formatdate(origin.MODIFIED_BASE + 1000 * version, usegmt=True)


# --- a miss, then hits --------------------------------------------------------------------------

# (object name, size, type, sent chunked, the coding of the stored copy): a text copy of 512 bytes
# or more is stored gzipped (de-chunked); a binary one as it came, a chunked one with its framing.
MISS_HIT = [
    ("bin", 5000, "bin", False, None),
    ("text", 4000, "text", False, "gzip"),
    ("chunked-text", 5000, "text", True, "gzip"),
    ("chunked-bin", 5000, "bin", True, None),
]


def check_framing(run, label, answer, want, chunked_copy):
    """A copy stored with its chunked framing goes out chunked; any other with its length."""
    if chunked_copy:
        run.headers(label, answer, "Transfer-Encoding", ["chunked"])
        run.headers(label, answer, "Content-Length", [])
    else:
        run.headers(label, answer, "Transfer-Encoding", [])
        run.headers(label, answer, "Content-Length", [str(len(want))])


def miss_then_hits(run):
    for name, size, kind, chunked, coding in MISS_HIT:
        path, want = obj(name, size, kind, **({"chunked": 1} if chunked else {}))
        first = run.get(path)
        run.status(name + " miss", first, 200) and run.cache(name + " miss", first, "MISS")
        run.body(name + " miss", first, want)
        decoded = run.get(path, "--compressed")
        label = name + " hit --compressed"
        run.status(label, decoded, 200) and run.cache(label, decoded, "HIT")
        run.headers(label, decoded, "Content-Encoding", [coding] if coding else [])
        run.body(label, decoded, want)
        identity = run.get(path)
        label = name + " hit identity"
        run.status(label, identity, 200) and run.cache(label, identity, "HIT")
        run.headers(label, identity, "Content-Encoding", [])
        check_framing(run, label, identity, want, chunked and not coding)
        run.body(label, identity, want)
        raw = run.get(path, "-H", "Accept-Encoding: gzip")
        label = name + " hit raw gzip"
        run.status(label, raw, 200) and run.cache(label, raw, "HIT")
        if not coding:
            run.headers(label, raw, "Content-Encoding", [])
            run.body(label, raw, want)
        elif run.headers(label, raw, "Content-Encoding", [coding]):
            check_framing(run, label, raw, raw.body, False)
            tested = subprocess.run(["gzip", "-t"], input=raw.body, capture_output=True, timeout=SECONDS)
            if run.expect(tested.returncode == 0, "%s: gzip -t: %r" % (label, tested.stderr)):
                run.expect(gzip.decompress(raw.body) == want, label + ": the decoded body differs from the origin's")
        run.count(name + " after the hits", path, 1)


def gzip_from_512_bytes(run):
    for size, coding in ((511, []), (512, ["gzip"])):
        path, want = obj("text%d" % size, size, "text")
        run.get(path)
        answer = run.get(path, "-H", "Accept-Encoding: gzip")
        label = "%d bytes" % size
        run.cache(label, answer, "HIT")
        if run.headers(label, answer, "Content-Encoding", coding):
            body = gzip.decompress(answer.body) if coding else answer.body
            run.expect(body == want, label + ": the body differs from the origin's")


def hop_headers_stay_behind(run):
    """A copy keeps none of the headers of one client or one hop that its first answer carried."""
    path, want = obj("noisy", 2000, noise=1)
    first = run.get(path)
    run.status("miss", first, 200) and run.cache("miss", first, "MISS")
    run.headers("miss", first, "Set-Cookie", ["track=one-client; Path=/"])
    hit = run.get(path)
    run.status("hit", hit, 200) and run.cache("hit", hit, "HIT") and run.body("hit", hit, want)
    for name in ("Set-Cookie", "Via", "X-Powered-By", "Keep-Alive", "Age"):
        run.headers("hit", hit, name, [])


# --- ranges ----------------------------------------------------------------------------------------

RANGE_OBJECT = obj("ranged", 1000)
RANGE_TAG = '"ranged-v0"'
# (label, curl options, the expected part [from, to) or None for the whole 200)
RANGES = [
    ("bytes=100-199", ["-H", "Range: bytes=100-199"], (100, 200)),
    ("bytes=100-", ["-H", "Range: bytes=100-"], (100, 1000)),
    ("bytes=-10", ["-H", "Range: bytes=-10"], (990, 1000)),
    ("bytes=500-100 (reversed)", ["-H", "Range: bytes=500-100"], None),
    ("bytes=1000- (past the end)", ["-H", "Range: bytes=1000-"], None),
    ("bytes=0- (the whole)", ["-H", "Range: bytes=0-"], None),
    ("33-bit start", ["-H", "Range: bytes=%d-" % (1 << 33)], None),
    ("If-Range the strong ETag", ["-H", "Range: bytes=100-199", "-H", "If-Range: " + RANGE_TAG], (100, 200)),
    ("If-Range stale", ["-H", "Range: bytes=100-199", "-H", 'If-Range: "ranged-v7"'], None),
    ("If-Range the weak form of the ETag", ["-H", "Range: bytes=100-199", "-H", "If-Range: W/" + RANGE_TAG], None),
    ("If-Range the Last-Modified", ["-H", "Range: bytes=100-199", "-H", "If-Range: " + last_modified()],
     (100, 200)),
]


def ranges(run):
    path, want = RANGE_OBJECT
    first = run.get(path)
    run.status("miss", first, 200) and run.cache("miss", first, "MISS")
    for label, options, part in RANGES:
        answer = run.get(path, *options)
        run.cache(label, answer, "HIT")
        if part is None:
            run.status(label, answer, 200)
            run.headers(label, answer, "Content-Range", [])
            run.headers(label, answer, "Content-Length", ["1000"])
            run.body(label, answer, want)
            continue
        start, end = part
        run.status(label, answer, 206)
        run.headers(label, answer, "Content-Range", ["bytes %d-%d/1000" % (start, end - 1)])
        run.headers(label, answer, "Content-Length", [str(end - start)])
        run.body(label, answer, want[start:end])
    run.count("after the ranges", path, 1)


def stored_404_with_range(run):
    path, want = obj("gone", 300, status=404)
    first = run.get(path)
    run.status("miss", first, 404) and run.cache("miss", first, "MISS")
    answer = run.get(path, "-H", "Range: bytes=10-19")
    run.status("hit", answer, 404) and run.cache("hit", answer, "HIT")
    run.headers("hit", answer, "Content-Range", [])
    run.body("hit", answer, want)
    run.count("after the hit", path, 1)


EXPIRED_RANGE = obj("short", 1000, age=1)


def expired_range_prime(run):
    path, _ = EXPIRED_RANGE
    first = run.get(path)
    run.status("miss", first, 200) and run.cache("miss", first, "MISS")


def expired_range_check(run):
    path, want = EXPIRED_RANGE
    answer = run.get(path, "-H", "Range: bytes=0-99")
    run.status("expired, ranged", answer, 206) and run.cache("expired, ranged", answer, "HIT")
    run.headers("expired, ranged", answer, "Content-Range", ["bytes 0-99/1000"])
    run.body("expired, ranged", answer, want[:100])
    run.count("expired, ranged", path, 1)
    # The copy had expired: a whole request goes to the origin.
    run.get(path)
    run.count("expired, whole", path, 2)


# --- 304 heads from the stored validators --------------------------------------------------------

class RawClient:
    """One connection to the node, driven by hand: requests written as given, answers framed by
    their Content-Length (a 304 has none and no body)."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=SECONDS)
        self.buffered = b""

    def close(self):
        self.sock.close()

    def request(self, path, lines):
        self.sock.sendall(("\r\n".join(["GET %s HTTP/1.1" % path, "Host: " + HOST] + lines + ["", ""])).encode())

    def fill(self, size):
        while len(self.buffered) < size:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("the node closed the connection after %r" % self.buffered[-200:])
            self.buffered += chunk

    def answer(self):
        """(head text, body) of the next answer."""
        while b"\r\n\r\n" not in self.buffered:
            self.fill(len(self.buffered) + 1)
        head, _, self.buffered = self.buffered.partition(b"\r\n\r\n")
        text = head.decode("latin-1")
        length = suite.header(text, "Content-Length")
        size = 0 if text.startswith("HTTP/1.1 304") or not length else int(length[0])
        self.fill(size)
        body, self.buffered = self.buffered[:size], self.buffered[size:]
        return text, body

    def closed_within(self, seconds):
        """True when the node closes the connection within the time and sends nothing more."""
        self.sock.settimeout(seconds)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return not self.buffered
                self.buffered += chunk
        except socket.timeout:
            return False


def head_mismatch(head, expected):
    """The first line of the head that differs from the expected texts or patterns; None when equal."""
    lines = head.split("\r\n")
    for n in range(max(len(lines), len(expected))):
        got = lines[n] if n < len(lines) else "(none)"
        want = expected[n] if n < len(expected) else "(none)"
        ok = want.match(got) if hasattr(want, "match") else got == want
        if not ok:
            return "line %d: %r, expected %r" % (n, got, getattr(want, "pattern", want))
    return None


def not_modified_heads(run):
    path, want = obj("cond", 2000)
    tag = '"cond-v0"'
    rfc850 = time.strftime("%A, %d-%b-%y %H:%M:%S GMT", time.gmtime(origin.MODIFIED_BASE))
    first = run.get(path)
    run.status("miss", first, 200) and run.cache("miss", first, "MISS")
    start = ["HTTP/1.1 304 Not Modified", "Accept-Ranges: bytes", "Connection: close", "Server: relay-origin", DATE]
    end = ["Content-Type: application/octet-stream", VIA_LINE, "X-Cache: HIT"]
    rows = [
        ("If-None-Match", ["If-None-Match: " + tag], ["Etag: " + tag]),
        ("If-Modified-Since in RFC 850 form", ["If-Modified-Since: " + rfc850], ["Last-Modified: " + rfc850]),
        ("both", ["If-None-Match: " + tag, "If-Modified-Since: " + rfc850],
         ["Last-Modified: " + rfc850, "Etag: " + tag]),
    ]
    for label, conditions, validators in rows:
        client = RawClient(run.node.port)
        try:
            client.request(path, conditions + ["Connection: close"])
            head, _ = client.answer()
            mismatch = head_mismatch(head, start + validators + end)
            run.expect(mismatch is None, "%s: %s\n    head: %r" % (label, mismatch, head))
            run.expect(client.closed_within(SECONDS), "%s: bytes after the 304 head, or no close: %r"
                       % (label, client.buffered[:100]))
        finally:
            client.close()
    # On a kept connection the next answer follows the 304 head directly.
    client = RawClient(run.node.port)
    try:
        client.request(path, ["If-None-Match: " + tag, "Connection: keep-alive"])
        head, _ = client.answer()
        kept = [line.replace("close", "keep-alive") if line == "Connection: close" else line for line in start]
        mismatch = head_mismatch(head, kept + ["Etag: " + tag] + end)
        run.expect(mismatch is None, "kept connection: %s\n    head: %r" % (mismatch, head))
        client.request(path, ["Connection: close"])
        head, body = client.answer()
        run.expect(head.startswith("HTTP/1.1 200 "), "the answer after the 304: %r" % head[:200])
        run.expect(body == want, "the answer after the 304: its body differs from the origin's")
    finally:
        client.close()
    other = run.get(path, "-H", 'If-None-Match: "cond-v9"')
    run.status("If-None-Match mismatch", other, 200) and run.cache("If-None-Match mismatch", other, "HIT")
    run.body("If-None-Match mismatch", other, want)
    run.count("after the conditionals", path, 1)


# --- revalidation of expired copies ---------------------------------------------------------------

CONFIRMED = [obj("confirmed-bin", 3000, age=1), obj("confirmed-text", 3000, "text", age=1)]
RENEWED = obj("renewed", 3000, age=1)


def store_all(run, objects):
    for path, _ in objects:
        first = run.get(path)
        run.status("miss " + path, first, 200) and run.cache("miss " + path, first, "MISS")


def origin_saw_validators(run, path, tag, modified):
    head = run.last_origin_head(path)
    run.expect(head.get("if-none-match") == tag, "the origin's If-None-Match %r, expected %r"
               % (head.get("if-none-match"), tag))
    run.expect(head.get("if-modified-since") == modified, "the origin's If-Modified-Since %r, expected %r"
               % (head.get("if-modified-since"), modified))


def revalidated_by_304_prime(run):
    store_all(run, CONFIRMED)


def revalidated_by_304_check(run):
    for path, want in CONFIRMED:
        name = path.split("/")[2].split("?")[0]
        answer = run.get(path)
        run.status(name + " revalidated", answer, 200) and run.body(name + " revalidated", answer, want)
        run.count(name + " revalidated", path, 2)
        origin_saw_validators(run, path, '"%s-v0"' % name, last_modified(0))
        again = run.get(path)
        run.status(name + " next", again, 200) and run.cache(name + " next", again, "HIT")
        run.body(name + " next", again, want)
        run.count(name + " next", path, 2)


def replaced_by_200_prime(run):
    store_all(run, [RENEWED])
    run.bump("renewed")


def replaced_by_200_check(run):
    path, _ = RENEWED
    newer = origin.object_body("renewed", 3000, "bin", 1)
    answer = run.get(path)
    run.status("revalidated", answer, 200) and run.body("revalidated", answer, newer)
    run.count("revalidated", path, 2)
    origin_saw_validators(run, path, '"renewed-v0"', last_modified(0))
    again = run.get(path)
    run.status("next", again, 200) and run.cache("next", again, "HIT")
    run.body("next", again, newer)
    run.count("next", path, 2)


OWN_CONDITIONAL = obj("own", 3000, age=1)


def client_conditional_prime(run):
    store_all(run, [OWN_CONDITIONAL])


def client_conditional_check(run):
    """A client's own conditional for an expired copy goes upstream as it is; the origin's 304
    reaches the client and renews the copy all the same."""
    path, want = OWN_CONDITIONAL
    answer = run.get(path, "-H", 'If-None-Match: "own-v0"')
    run.status("conditional", answer, 304)
    run.expect(answer.body == b"", "conditional: %d body bytes" % len(answer.body))
    run.count("conditional", path, 2)
    head = run.last_origin_head(path)
    run.expect(head.get("if-none-match") == '"own-v0"' and "if-modified-since" not in head,
               "conditional: the origin got If-None-Match %r, If-Modified-Since %r"
               % (head.get("if-none-match"), head.get("if-modified-since")))
    again = run.get(path)
    run.status("next", again, 200) and run.cache("next", again, "HIT")
    run.body("next", again, want)
    run.count("next", path, 2)


KEPT = obj("kept", 3000, age=1)
AFTER_KEPT = obj("after-kept", 1000)


def kept_connection_prime(run):
    store_all(run, [KEPT])


def kept_connection_check(run):
    """The validators added for a revalidation stay off the next request of the connection."""
    client = RawClient(run.node.port)
    try:
        for path, want in (KEPT, AFTER_KEPT):
            client.request(path, ["Connection: keep-alive"])
            head, body = client.answer()
            run.expect(head.startswith("HTTP/1.1 200 ") and body == want,
                       "%s: %r and %d body bytes" % (path, head[:200], len(body)))
    finally:
        client.close()
    run.count("revalidated", KEPT[0], 2)
    head = run.last_origin_head(AFTER_KEPT[0])
    run.expect(head and "if-none-match" not in head and "if-modified-since" not in head,
               "the next request reached the origin as %r" % head)


CLOSING_CONFIRMED = obj("closing-confirmed", 3000, age=1)
CLOSING_REPLACED = obj("closing-replaced", 3000, age=1)


def close_after_revalidation_prime(run):
    store_all(run, [CLOSING_CONFIRMED, CLOSING_REPLACED])
    run.bump("closing-replaced")


def close_after_revalidation_check(run):
    """A client that asked to close gets its answer and the close, whatever the origin said to
    the revalidation (304 or a new 200)."""
    for path, _ in (CLOSING_CONFIRMED, CLOSING_REPLACED):
        client = RawClient(run.node.port)
        try:
            client.request(path, ["Connection: close"])
            head, body = client.answer()
            run.expect(head.startswith("HTTP/1.1 200 ") and len(body) == 3000,
                       "%s: %r and %d body bytes" % (path, head[:200], len(body)))
            connection = suite.header(head, "Connection")
            run.expect(connection in ([], ["close"]), "%s: Connection %r in the answer to a close" % (path, connection))
            run.expect(client.closed_within(2), "%s: the connection is still open 2 s after the answer" % path)
        finally:
            client.close()


# --- member and visitor copies ----------------------------------------------------------------------

def sessions(run):
    login = run.get("/sess/login", "--data-binary", "user=u", "-H", "Cookie: sid=stale0000001; lang=en")
    run.status("login", login, 200)
    cookie = run.last_origin_head("/sess/login").get("cookie")
    run.expect(cookie == "lang=en", "login: the origin got Cookie %r, expected the session cookie stripped" % cookie)
    run.expect(any(c.startswith("sid=%s;" % origin.SESSION_VALUE) for c in suite.header(login.head, "Set-Cookie")),
               "login: Set-Cookie %r" % suite.header(login.head, "Set-Cookie"))
    page = "/sess/page"
    visitor = run.get(page, "-H", "Cookie: sid=forged00000001; theme=dark")
    run.status("visitor", visitor, 200) and run.cache("visitor", visitor, "MISS")
    run.body("visitor", visitor, b"visitor")
    cookie = run.last_origin_head(page).get("cookie")
    run.expect(cookie == "theme=dark", "visitor: the origin got Cookie %r, expected the session cookie stripped"
               % cookie)
    member_cookie = "Cookie: sid=" + origin.SESSION_VALUE
    member = run.get(page, "-H", member_cookie)
    run.status("member", member, 200) and run.cache("member", member, "MISS")
    run.body("member", member, b"member " + origin.SESSION_VALUE.encode())
    cookie = run.last_origin_head(page).get("cookie")
    run.expect(cookie == "sid=" + origin.SESSION_VALUE, "member: the origin got Cookie %r" % cookie)
    again = run.get(page, "-H", member_cookie)
    run.status("member again", again, 200) and run.cache("member again", again, "HIT")
    run.body("member again", again, b"member " + origin.SESSION_VALUE.encode())
    plain = run.get(page)
    run.status("visitor again", plain, 200) and run.cache("visitor again", plain, "HIT")
    run.body("visitor again", plain, b"visitor")
    run.count("after the hits", page, 2)


# --- the access log ---------------------------------------------------------------------------------

ACCESS_LINE = re.compile(r'^127\.0\.0\.1 - - \[(\d\d/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}'
                         r':\d\d:\d\d:\d\d) ([+-]\d{4})\] (.*)$')


def access_log(run):
    """A miss and a hit of a logged object each leave a line in the file of the local day, with
    the real local offset; an object no rule names leaves none."""
    path, want = obj("logged", 3000)
    run.get("/obj/unlogged?size=10&type=bin")
    for verdict in ("MISS", "HIT"):
        answer = run.get(path, "-e", 'http://ref.test/"x', "-A", "agent\x01")
        run.cache(verdict, answer, verdict) and run.body(verdict, answer, want)
    folder = os.path.join(run.node.root, "logs/access")
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    if not run.expect(names == ["access-%s.log" % time.strftime("%Y-%m-%d")], "access-log files %r" % names):
        return
    lines = suite.read(os.path.join(folder, names[0])).decode("latin-1").split("\r\n")
    run.expect(len(lines) == 3 and lines[2] == "", "access log: %r" % lines)
    for verdict, line in zip(("MISS", "HIT"), lines):
        match = ACCESS_LINE.match(line)
        if not run.expect(match is not None, "%s: access-log line %r" % (verdict, line)):
            continue
        run.expect(match.group(3) == time.strftime("%z"), "%s: offset %s, expected %s"
                   % (verdict, match.group(3), time.strftime("%z")))
        tail = '"a.test" "GET %s HTTP/1.1" 200 3000 "http://ref.test/\\x22x" "agent\\x01" "%s"' % (path, verdict)
        run.expect(match.group(4) == tail, "%s: access-log fields %r, expected %r" % (verdict, match.group(4), tail))


# --- the run ---------------------------------------------------------------------------------------

# (name, the part run before the wait or None, the part run after it or the whole case)
CASES = [
    ("miss-then-hits", None, miss_then_hits),
    ("gzip-from-512-bytes", None, gzip_from_512_bytes),
    ("hop-headers-stay-behind", None, hop_headers_stay_behind),
    ("ranges", None, ranges),
    ("stored-404-with-range", None, stored_404_with_range),
    ("not-modified-heads", None, not_modified_heads),
    ("sessions", None, sessions),
    ("access-log", None, access_log),
    ("expired-copy-serves-ranges", expired_range_prime, expired_range_check),
    ("revalidated-by-304", revalidated_by_304_prime, revalidated_by_304_check),
    ("replaced-by-200", replaced_by_200_prime, replaced_by_200_check),
    ("client-conditional-on-expired-copy", client_conditional_prime, client_conditional_check),
    ("kept-connection-after-revalidation", kept_connection_prime, kept_connection_check),
    ("close-after-revalidation", close_after_revalidation_prime, close_after_revalidation_check),
]


def run_part(run, part):
    try:
        part(run)
    except Exception as error:  # a broken answer must fail its case, not the run
        run.errors.append("%s: %s" % (type(error).__name__, error))


def run_cases(node, fixtures):
    runs = {name: Run(node, fixtures) for name, _, _ in CASES}
    for name, prime, _ in CASES:
        if prime:
            run_part(runs[name], prime)
    primed = time.monotonic()
    for name, prime, check in CASES:
        if not prime:
            run_part(runs[name], check)
    time.sleep(max(0.0, primed + EXPIRY_WAIT - time.monotonic()))
    for name, prime, check in CASES:
        if prime:
            run_part(runs[name], check)
    failures = []
    for name, _, _ in CASES:
        errors = runs[name].errors
        fault = KNOWN_FAULTS.get(name)
        if fault and errors:
            verdict = "xfail"
        elif fault:
            verdict = "XPASS"
            failures.append("%s: passes although marked as a node fault (%s)" % (name, fault))
        else:
            verdict = "FAIL" if errors else "ok"
            failures += ["%s: %s" % (name, e) for e in errors]
        print("%-5s %s" % (verdict, name), flush=True)
        for error in errors:
            print("        " + error, flush=True)
    return failures


def body(args, work):
    fixtures = CacheFixtures(work, args.source)
    try:
        if not fixtures.ready:
            return ["the origin did not start"]
        node = suite.Node(args, fixtures, "cache", CONFIG)
        if not node.ready:
            failures = ["the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1")]
        else:
            failures = run_cases(node, fixtures)
        return failures + ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-cache-", ("curl", "sqlite3", "gzip"), body))
