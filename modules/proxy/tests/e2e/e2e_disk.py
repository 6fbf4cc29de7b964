#!/usr/bin/env python3
"""The node's disk cache end to end: quorind laid out from a build (the end-to-end suite's Node)
with the disk cache on, two cache disks seeded with sqlite3, a force-cache rule and one python
origin (tests/fixtures/relay_origin.py). Objects of 20 KiB, 1 MiB and a chunked one are fetched
through the node; each must land in the cache file a small model of the path rule names (one of
the two disks), holding the stored heads and the body as the origin sent it, with an index record
the sqlite3 tool reads; files and records must survive kill -9 and a restart.

  e2e_disk.py --build DIR --source DIR --plugin FILE

Exit 0 when every check passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_cache  # noqa: E402
import e2e_suite as suite  # noqa: E402
import relay_origin as origin  # noqa: E402

SKIP = 77
HOST = "a.test"
DEPTH = 4  # the shipped DiskCacheDirectoryDepth: 10,000 folders
# name, size, chunked
OBJECTS = [("d20k", 20480, False), ("d1m", 1048576, False), ("dchunk", 300000, True)]


def config(root):
    """Two cache disks under the run's folder and one rule keeping /obj/d... on disk for 600 s."""
    disks = "".join("insert into wc_diskno(num, path, quota, used, full, ssd, note) values(%d, '%s', 0, 1, 0, 0, '');"
                    % (n, os.path.join(root, "disk%d" % n)) for n in (0, 1))
    return {"sql": "update wc_system set value='1' where name in ('IsDiskCache', 'AddXCacheToHeader', "
                   "'EnableDiskCacheForChunkedPage');"
                   "create table if not exists wc_diskno(num int not null, path text not null, "
                   "quota int default '0' not null, used int default '0' not null, full int default '0' not null, "
                   "ssd int default '0' not null, note text default \"\" not null);" + disks +
                   "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                   " values(1, '^a\\.test/obj/d', 0, 1, 600, 3, 1, 0, 1, '');"}


def folder_digits(key):
    """The folder levels of a cache key: a 31-multiplier hash of its bytes (signed) modulo 10^DEPTH."""
    h = 0
    for c in key.encode():
        h = (h * 31 + (c - 256 if c > 127 else c)) & 0xffffffff
    signed = h - (1 << 32) if h >= 0x80000000 else h
    return str(abs(signed) % 10 ** DEPTH)


def model_path(disk, key):
    return os.path.join(disk, "public", *folder_digits(key), hashlib.md5(key.encode()).hexdigest())


def sent_body(name, size, chunked):
    """The body bytes as the origin sends them (a chunked one with its framing)."""
    body = origin.object_body(name, size, "bin", 0)
    if not chunked:
        return body
    pieces = [b"%x\r\n%s\r\n" % (len(body[at:at + 1000]), body[at:at + 1000]) for at in range(0, len(body), 1000)]
    return b"".join(pieces) + b"0\r\n\r\n"


def index_record(node, key):
    """The class store's record of a key as the sqlite3 tool reads it: {name: value}, or None."""
    store = os.path.join(node.root, "config/dcindex/public.idx2")
    name = hashlib.md5(key.encode()).hexdigest()
    done = subprocess.run(["sqlite3", "-batch", store, "select hex(v) from kv where k = x'%s';" % name.encode().hex()],
                          capture_output=True, timeout=suite.PATIENCE)
    value = bytes.fromhex(done.stdout.decode().strip() or "")
    text = value.split(b"\0")[0].split(b" ")[0].decode("latin-1")
    if not text:
        return None
    return dict(pair.split("=", 1) for pair in text.split("&") if "=" in pair)


def check_entry(node, disks, name, size, chunked):
    """Errors of one object's file and record against the model."""
    key = "%s/obj/%s?size=%d%s" % (HOST, name, size, "&chunked=1" if chunked else "")
    body = sent_body(name, size, chunked)
    found = [(n, model_path(d, key)) for n, d in enumerate(disks) if os.path.exists(model_path(d, key))]
    if len(found) != 1:
        return ["%s: %d files where the model puts one (%s)" % (name, len(found), model_path(disks[0], key))]
    disk_no, path = found[0]
    record = index_record(node, key)
    if record is None:
        return ["%s: no index record" % name]
    errors = []
    with open(path, "rb") as f:
        data = f.read()
    r1, r2, cl = (int(record.get(k, "-1"), 16) for k in ("r1", "r2", "cl"))
    if (r1 + r2 + cl, cl) != (len(data), len(body)):
        errors.append("%s: r1 %d + r2 %d + cl %d against a file of %d and a body of %d" %
                      (name, r1, r2, cl, len(data), len(body)))
    if data[r1 + r2:] != body:
        errors.append("%s: the stored body differs from the origin's" % name)
    heads = data[:r1 + r2].decode("latin-1")
    if not heads.startswith("GET /obj/%s" % name) or "\r\n\r\nHTTP/1.1 200 OK\r\n" not in heads:
        errors.append("%s: stored heads %r" % (name, heads[:200]))
    if int(record.get("dn", "-1"), 16) != disk_no or record.get("pt") != folder_digits(key):
        errors.append("%s: record %r for disk %d, folder %s" % (name, record, disk_no, folder_digits(key)))
    return errors


def fetch_all(node):
    errors = []
    for name, size, chunked in OBJECTS:
        path = "/obj/%s?size=%d%s" % (name, size, "&chunked=1" if chunked else "")
        answer = suite.curl(node, HOST, path)
        want = origin.object_body(name, size, "bin", 0)
        if answer.status != 200 or answer.body != want:
            errors.append("%s: status %d, %d body bytes" % (name, answer.status, len(answer.body or b"")))
    return errors


def run(node, fixtures):
    disks = [os.path.join(fixtures.work, "disk%d" % n) for n in (0, 1)]
    errors = fetch_all(node)
    settled = suite.wait_for(lambda: all(index_record(node, "%s/obj/%s?size=%d%s" % (
        HOST, name, size, "&chunked=1" if chunked else "")) for name, size, chunked in OBJECTS))
    if not settled:
        errors.append("the index records did not all appear")
    for entry in OBJECTS:
        errors += check_entry(node, disks, *entry)
    # Killed without a chance to close its stores, then started again: files and records stay.
    node.proc.kill()
    node.proc.wait()
    if not node.start():
        return errors + ["the node did not start again: " + suite.read(node.out)[-2000:].decode("latin-1")]
    for entry in OBJECTS:
        errors += ["after kill -9 and a restart: " + e for e in check_entry(node, disks, *entry)]
    return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--plugin", required=True)
    args = parser.parse_args()
    missing = [tool for tool in ("curl", "sqlite3") if not shutil.which(tool)]
    if missing:
        print("skipped: missing " + " ".join(missing))
        return SKIP
    work = tempfile.mkdtemp(prefix="quorin-e2e-disk-")
    fixtures = e2e_cache.CacheFixtures(work, args.source)
    try:
        if not fixtures.ready:
            print("the origin did not start; see " + work)
            return 1
        node = suite.Node(args, fixtures, "disk", config(work))
        if not node.ready:
            failures = ["the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1")]
        else:
            failures = run(node, fixtures)
        failures += ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()
    return suite.report(failures, work)


if __name__ == "__main__":
    sys.exit(main())
