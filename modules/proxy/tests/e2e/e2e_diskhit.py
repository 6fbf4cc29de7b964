#!/usr/bin/env python3
"""Disk hits end to end: quorind laid out from a build (the end-to-end suite's Node) with the disk
cache and "X-Cache" on, MaxCacheBlockSize lowered to 4 KB so every body above it is served from
its cache file, one cache disk in the work folder, and one python origin (the memory-cache
script's fixture) whose log counts every request.

  e2e_diskhit.py --build DIR --source DIR --plugin FILE

Cases: whole bodies and ranges across the 262,144-byte slice edges of a 1 MiB object (sha256
against the origin), a chunked copy whole and with a Range (its framing kept, the whole 200), a
pipelined request behind a disk hit (never answered first), and one origin request per object.
A second origin (this script run with --origin, the upstream of "n.test") gzips when asked: its
gzip copies are decoded for clients without gzip, whole and under a Range; a coded copy above
1 MiB, or one that decodes past 1,064,959 bytes, is answered by the origin. Two URLs of one 3 MB
body share it. Clients that reset right after their request leave no descriptor behind. After a
SIGTERM and a new start every stored object is a disk hit with the origin's bytes, and a small
one, promoted at its first hit, comes from memory at its second.
Exit 0 when every case passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import argparse
import gzip
import hashlib
import http.server
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_cache as cache  # noqa: E402
import e2e_suite as suite  # noqa: E402

SKIP = 77
# curl's --max-time and any one wait: a bound, not a pause. A miss written to disk moves at about
# 200 KB/s on a loaded machine (sanitizer build): a 3 MB miss takes 15 s or more there.
SECONDS = 120
SLICE = 262144


def config(disk):
    return {"sql": "update wc_system set value='1' where name='AddXCacheToHeader';"
                   "update wc_system set value='0' where name='UnenableAccessLog';"
                   "update wc_system set value='1' where name='IsDiskCache';"
                   "update wc_system set value='1' where name='EnableDiskCacheForChunkedPage';"
                   "update wc_system set value='4' where name='MaxCacheBlockSize';"
                   "update wc_system set value='0' where name='MinDiskCacheContentSize';"
                   "update wc_system set value='0' where name='MinSizeForActivePageByDiskCache';"
                   # The rules store makes this table at its first start; the disk is given before.
                   "create table if not exists wc_diskno(num int not null, path text not null,"
                   " quota int default '0' not null, used int default '0' not null, full int default '0' not null,"
                   " ssd int default '0' not null, note text default \"\" not null);"
                   "insert into wc_diskno(num, path, quota, used, full, ssd, note) values(1, '%s', 0, 1, 0, 0, '');"
                   "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                   " values(1, '^a\\.test/obj/', 0, 1, 600, 3, 1, 0, 1, ''),"
                   " (2, '^n\\.test/g/', 0, 1, 600, 3, 1, 0, 1, '');"
                   % disk,
            "files": [("modules/zazudaza/access.ini",
                       "[access]\nlog__request_url_1=^a\\.test/obj/\nrecord__cache_status=1\n"
                       "log__flush_interval=0\n")]}


# --- the gzip origin -----------------------------------------------------------------------------

def gzip_body(name):
    """The plain body of /g/NAME: sizes and repeats chosen so every coded copy exceeds 4 KB."""
    sizes = {"600k": (600 * 1024, 600 * 1024), "2m": (2 << 20, 2 << 20), "wide": (1200000, 8192)}
    size, unique = sizes[name]
    block = hashlib.sha256(name.encode()).digest() * (unique // 32 + 1)
    block = bytes(b ^ (i * 7 & 0xFF) for i, b in enumerate(block[:unique]))
    return (block * (size // unique + 1))[:size]


class GzipOrigin(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        name = self.path.split("/")[-1]
        with open(self.server.log, "a") as log:
            log.write(json.dumps({"path": self.path, "accept": self.headers.get("Accept-Encoding", "")}) + "\n")
        body = gzip_body(name)
        coded = "gzip" in self.headers.get("Accept-Encoding", "")
        if coded:
            body = gzip.compress(body, mtime=0)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Cache-Control", "max-age=600")
        if coded:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Vary", "Accept-Encoding")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def run_origin(port, log):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), GzipOrigin)
    server.log = log
    server.serve_forever()


class DiskFixtures(cache.CacheFixtures):
    """The memory-cache script's origin for "a.test", this script's gzip origin for "n.test"."""

    def __init__(self, work, source):
        super().__init__(work, source)
        self.gzip_log = os.path.join(work, "gzip-origin.log")
        self.nginx = suite.free_port()
        self.spawn(["python3", os.path.abspath(__file__), "--origin", str(self.nginx), self.gzip_log], "gzip-origin")
        self.ready = self.ready and suite.wait_for(lambda: suite.listening(self.nginx))

    def gzip_requests(self, path):
        lines = suite.read(self.gzip_log).decode().splitlines()
        return [json.loads(line) for line in lines if json.loads(line)["path"] == path]


def indexed_records(node):
    """Records of the public index store as the sqlite3 tool reads them (the placeholder too)."""
    store = os.path.join(node.root, "config/dcindex/public.idx2")
    out = subprocess.run(["sqlite3", "-batch", store, "select count(*) from kv;"], capture_output=True,
                         timeout=SECONDS)
    try:
        return int(out.stdout.decode().strip() or "0")
    except ValueError:
        return 0


def fill(run, path, want, records):
    """A miss that leaves a cache file; waits until its index record is there."""
    first = run.get(path)
    run.status(path + " miss", first, 200) and run.cache(path + " miss", first, "MISS")
    run.body(path + " miss", first, want)
    # Polled gently: every look is a sqlite3 process reading the node's live store.
    return run.expect(suite.wait_for(lambda: indexed_records(run.node) >= records, seconds=SECONDS, step=0.2),
                      path + ": no index record after the miss")


def sha(data):
    return hashlib.sha256(data).hexdigest()


def whole_and_ranges(run):
    path, want = cache.obj("mib", 1 << 20)
    if not fill(run, path, want, 2):
        return
    whole = run.get(path)
    run.status("whole", whole, 200) and run.cache("whole", whole, "HIT")
    run.expect(sha(whole.body) == sha(want), "whole: sha256 differs from the origin's")
    run.headers("whole", whole, "Content-Length", [str(len(want))])
    for first, last in ((0, 99), (SLICE - 10, SLICE + 9), (2 * SLICE - 1, 3 * SLICE), (SLICE, 4 * SLICE - 1),
                        (len(want) - 5, len(want) - 1)):
        label = "range %d-%d" % (first, last)
        part = run.get(path, "-H", "Range: bytes=%d-%d" % (first, last))
        run.status(label, part, 206) and run.cache(label, part, "HIT")
        run.headers(label, part, "Content-Range", ["bytes %d-%d/%d" % (first, last, len(want))])
        run.expect(part.body == want[first:last + 1], label + ": bytes differ from the origin's")
    beyond = run.get(path, "-H", "Range: bytes=%d-" % (len(want) + 10))
    run.status("range past the end", beyond, 200)
    run.expect(sha(beyond.body) == sha(want), "range past the end: sha256 differs")
    run.count("1 MiB after the hits", path, 1)


def disk_bytes(run):
    total = 0
    for folder, _, files in os.walk(run.disk):
        total += sum(os.path.getsize(os.path.join(folder, name)) for name in files)
    return total


def shared_body(run):
    """Two URLs of one 3 MB body: the second file keeps its heads alone, its body read from the
    first's."""
    records = indexed_records(run.node)
    paths = []
    for copy in (1, 2):
        path, want = cache.obj("shared", 3000000, copy=copy)
        records += 1
        if not fill(run, path, want, records):
            return
        paths.append(path)
    run.expect(disk_bytes(run) < 2 * len(want), "shared: %d bytes on disk for two copies of %d"
               % (disk_bytes(run), len(want)))
    for path in paths:
        whole = run.get(path)
        run.status(path, whole, 200) and run.cache(path, whole, "HIT")
        run.expect(sha(whole.body) == sha(want), path + ": sha256 differs from the origin's")
        first, last = 3 * SLICE - 100, 5 * SLICE + 99
        part = run.get(path, "-H", "Range: bytes=%d-%d" % (first, last))
        run.status(path + " range", part, 206)
        run.expect(part.body == want[first:last + 1], path + " range: bytes differ from the origin's")
        run.count(path + " after the hits", path, 1)


def chunked_copy(run):
    path, want = cache.obj("chunky", 20000, chunked=1)
    if not fill(run, path, want, indexed_records(run.node) + 1):
        return
    for label, options in (("chunked whole", ()), ("chunked range", ("-H", "Range: bytes=10-19"))):
        answer = run.get(path, *options)
        run.status(label, answer, 200) and run.cache(label, answer, "HIT")
        run.headers(label, answer, "Transfer-Encoding", ["chunked"])
        run.headers(label, answer, "Content-Length", [])
        run.headers(label, answer, "Content-Range", [])
        run.body(label, answer, want)
    run.count("chunked after the hits", path, 1)


HIT_LINE = re.compile(r'"GET (\S+) HTTP/1\.1" (\d{3}) (\d+) "HIT"$')


def hit_lines(run):
    """(path, status, bytes) of the access log's HIT lines, in order."""
    folder = os.path.join(run.node.root, "logs/access")
    out = []
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        for line in suite.read(os.path.join(folder, name)).decode("latin-1").split("\r\n"):
            match = HIT_LINE.search(line)
            if match:
                out.append((match.group(1), match.group(2), int(match.group(3))))
    return out


def access_lines(run):
    """Each disk hit logs the status and body bytes it answered with: ranges their 206 and
    length, a range past the end and a chunked copy asked for a range the whole 200."""
    mib = cache.obj("mib", 1 << 20)[0]
    chunky = cache.obj("chunky", 20000, chunked=1)[0]
    lines = hit_lines(run)
    got_mib = [(status, size) for path, status, size in lines if path == mib]
    want_mib = [("200", 1 << 20), ("206", 100), ("206", 20), ("206", SLICE + 2), ("206", 3 * SLICE),
                ("206", 5), ("200", 1 << 20)]
    run.expect(got_mib[:len(want_mib)] == want_mib, "1 MiB hits logged as %r, expected %r" % (got_mib, want_mib))
    got_chunky = [(status, size) for path, status, size in lines if path == chunky]
    run.expect(len(got_chunky) >= 2 and got_chunky[0] == got_chunky[1] and got_chunky[0][0] == "200",
               "chunked hits logged as %r: a range answered whole logs the whole 200" % got_chunky)


def read_all(sock):
    data = b""
    deadline = time.monotonic() + SECONDS
    while time.monotonic() < deadline:
        try:
            piece = sock.recv(65536)
        except socket.timeout:
            break
        if not piece:
            break
        data += piece
    return data


def pipelined(run):
    """A second request sent with a disk hit: the disk answer comes whole first, or the connection
    ends; the second answer never comes before or inside it. The descriptors come back."""
    path, want = cache.obj("pipe", 300000)
    if not fill(run, path, want, indexed_records(run.node) + 1):
        return
    other, _ = cache.obj("pipe-other", 100)
    requests = ("GET %s HTTP/1.1\r\nHost: a.test\r\n\r\nGET %s HTTP/1.1\r\nHost: a.test\r\nConnection: close\r\n\r\n"
                % (path, other)).encode()
    baseline = run.node.descriptors()
    for _ in range(5):
        with socket.create_connection(("127.0.0.1", run.node.port), timeout=SECONDS) as sock:
            sock.sendall(requests)
            data = read_all(sock)
        check_pipelined(run, data, want)
    run.expect(suite.wait_for(lambda: run.node.descriptors() <= baseline, seconds=SECONDS),
               "pipelined: descriptors %d, %d before" % (run.node.descriptors(), baseline))


def check_pipelined(run, data, want):
    if not data:
        return  # the next request came while the read was in flight: the connection was closed
    end = data.find(b"\r\n\r\n")
    run.expect(end > 0 and data.startswith(b"HTTP/1.1 200"), "pipelined: the first answer is not a 200: %r"
               % data[:80])
    head = data[:end].decode("latin-1")
    run.expect("X-Cache: HIT" in head, "pipelined: the first answer is not the disk hit: %r" % head[:300])
    body = data[end + 4:end + 4 + len(want)]
    run.expect(body == want[:len(body)], "pipelined: the disk body is interleaved with another answer")
    rest = data[end + 4 + len(want):]
    run.expect(len(body) == len(want) or not rest, "pipelined: bytes follow a cut disk answer")
    run.expect(not rest or rest.startswith(b"HTTP/1.1 "), "pipelined: the second answer is garbled: %r" % rest[:80])


def coded_copies(run):
    f = run.fixtures
    records = indexed_records(run.node)
    # (name, whether the coded copy is served decoded from disk)
    for name, decoded in (("600k", True), ("2m", False), ("wide", False)):
        path = "/g/" + name
        plain = gzip_body(name)
        first = suite.curl(run.node, "n.test", path, ["-H", "Accept-Encoding: gzip"], seconds=SECONDS)
        run.status(name + " gzip miss", first, 200)
        run.headers(name + " gzip miss", first, "Content-Encoding", ["gzip"])
        records += 1
        if not run.expect(suite.wait_for(lambda: indexed_records(run.node) >= records, seconds=SECONDS, step=0.2),
                          name + ": no index record after the miss"):
            continue
        # A copy not decoded from disk sends its client upstream, whose plain answer replaces it.
        tries = ((name + " identity", []), (name + " identity range", ["-H", "Range: bytes=10-19"]))
        for label, options in tries if decoded else tries[:1]:
            answer = suite.curl(run.node, "n.test", path, options, seconds=SECONDS)
            run.status(label, answer, 200)
            run.headers(label, answer, "Content-Encoding", [])
            run.expect(sha(answer.body) == sha(plain), label + ": the body is not the origin's plain body")
            run.cache(label, answer, "HIT" if decoded else "MISS")
        if name == "wide":
            console = suite.read(run.node.out).decode("latin-1")
            run.expect("[Decoding -> DoUngzipError]" in console, "wide: no decoding tried from disk")
        want = 1 if decoded else 2
        seen = len(f.gzip_requests(path))
        run.expect(seen == want, "%s: the origin saw %d requests, expected %d" % (name, seen, want))


def clients_gone(run):
    """Clients that reset their connection right after a disk-hit request: the node keeps no
    descriptor and still serves the object."""
    path, want = cache.obj("mib", 1 << 20)
    baseline = run.node.descriptors()
    request = ("GET %s HTTP/1.1\r\nHost: a.test\r\n\r\n" % path).encode()
    for turn in range(40):
        sock = socket.create_connection(("127.0.0.1", run.node.port), timeout=SECONDS)
        sock.sendall(request)
        if turn % 2:
            time.sleep(0.002)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    run.expect(suite.wait_for(lambda: run.node.descriptors() <= baseline, seconds=SECONDS),
               "clients gone: descriptors %d, %d before" % (run.node.descriptors(), baseline))
    answer = run.get(path)
    run.cache("after the resets", answer, "HIT")
    run.expect(sha(answer.body) == sha(want), "after the resets: sha256 differs")
    run.count("after the resets", path, 1)


def restart(node):
    """SIGTERM, then quorind again in the same runtime tree; the faults of the first run."""
    faults = node.stop()
    node.start()
    return faults


def after_restart(run):
    """Every stored object is a disk hit after a restart; a small one is promoted to memory."""
    small, small_want = cache.obj("small", 3000)
    fill(run, small, small_want, indexed_records(run.node) + 1)
    run.faults = restart(run.node)
    if not run.expect(run.node.ready, "the node did not start again"):
        return
    for path, want in (cache.obj("mib", 1 << 20), cache.obj("chunky", 20000, chunked=1),
                       cache.obj("shared", 3000000, copy=2)):
        answer = run.get(path)
        run.status(path + " after the restart", answer, 200) and run.cache(path + " after the restart", answer, "HIT")
        run.expect(sha(answer.body) == sha(want), path + " after the restart: sha256 differs")
        run.count(path + " after the restart", path, 1)
    promoted = re.compile(r"\[AddPublicMemCacheFromDiskCache: F -> \d+s\] a\.test" + re.escape(small))
    for turn in ("disk", "memory"):
        answer = run.get(small)
        run.cache("small from " + turn, answer, "HIT") and run.body("small from " + turn, answer, small_want)
        # The copy to memory follows the disk answer's last byte: the next request waits for it.
        run.expect(suite.wait_for(lambda: promoted.search(suite.read(run.node.out).decode("latin-1")), seconds=SECONDS),
                   "small: no copy to memory after its disk hit")
    console = suite.read(run.node.out).decode("latin-1")
    run.expect(console.count("[HitPublicDiskCache: Status -> 200|206|301|302] a.test" + small) == 1,
               "small: not one disk hit on the console")
    run.expect(console.count("[HitPublicMemCache: Status -> 200|206|301|302] a.test" + small) == 1,
               "small: its second hit did not come from memory")
    run.count("small after the restart", small, 1)


CASES = [("whole-and-ranges", whole_and_ranges), ("shared-body", shared_body), ("chunked-copy", chunked_copy),
         ("access-lines", access_lines),
         ("pipelined", pipelined), ("coded-copies", coded_copies), ("clients-gone", clients_gone),
         ("after-restart", after_restart)]


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--origin":
        run_origin(int(sys.argv[2]), sys.argv[3])
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--plugin", required=True)
    args = parser.parse_args()
    missing = [tool for tool in ("curl", "sqlite3") if not shutil.which(tool)]
    if missing:
        print("skipped: missing " + " ".join(missing))
        return SKIP
    work = tempfile.mkdtemp(prefix="quorin-e2e-diskhit-")
    disk = os.path.join(work, "disk1")
    os.makedirs(disk)
    fixtures = DiskFixtures(work, args.source)
    failures = []
    try:
        if not fixtures.ready:
            print("the origin did not start; see " + work)
            return 1
        node = suite.Node(args, fixtures, "diskhit", config(disk))
        if not node.ready:
            failures.append("the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1"))
        else:
            for name, case in CASES:
                suite.stage(name)
                run = cache.Run(node, fixtures, SECONDS)
                run.disk = disk
                cache.run_part(run, case)
                print("%-5s %s" % ("FAIL" if run.errors else "ok", name), flush=True)
                for error in run.errors:
                    print("        " + error, flush=True)
                failures += ["%s: %s" % (name, e) for e in run.errors]
                failures += ["node before the restart: " + fault for fault in getattr(run, "faults", [])]
        failures += ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()
    return suite.report(failures, work)


if __name__ == "__main__":
    sys.exit(main())
