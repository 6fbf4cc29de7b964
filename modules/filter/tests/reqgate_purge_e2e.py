#!/usr/bin/env python3
"""Purges an origin names in X-RefreshCacheURL, end to end: quorind laid out from a build (the
end-to-end suite's Node) with the disk cache on one disk, a python origin on 127.0.0.1, curl as
the client and the sqlite3 tool reading the public index store after the node stops.

  reqgate_purge_e2e.py --build DIR --source DIR --plugin FILE

The origin's /obj/NAME answers 20,000 bytes kept 600 s; /refresh?url=U answers with
"X-RefreshCacheURL: U". Objects are fetched until their cache files are indexed, then one answer
purges an exact URL and another a "/*" path: the exact entry loses its record and its file, the
entries under the path keep theirs with an expiry in the past, the others stay as they were.
Exit 0 when every check passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import glob
import hashlib
import http.server
import os
import subprocess
import sys
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "proxy", "tests", "e2e"))
import e2e_suite as suite  # noqa: E402

HOST = "a.test"  # the suite's node sends this host to its first origin
SIZE = 20000


class Origin(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = urllib.parse.urlparse(self.path)
        if path.path.startswith("/obj/"):
            body = (path.path.encode() * (SIZE // len(path.path) + 1))[:SIZE]
            extra = [("Cache-Control", "max-age=600")]
        elif path.path == "/refresh":
            body = b"ok"
            extra = [("X-RefreshCacheURL", urllib.parse.parse_qs(path.query)["url"][0]),
                     ("Cache-Control", "no-store")]
        else:
            body, extra = b"missing", []
        self.send_response(200 if extra else 404)
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class PurgeFixtures:
    """The one origin, in this process; the suite's node seeds upstreams for peers that do not run
    here (their ports stay closed)."""

    def __init__(self, work, suite):
        self.work = work
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.echo = [self.server.server_address[1]]
        self.nginx = self.nginx_slow = self.dead = self.dns_port = suite.free_port()

    def stop(self):
        self.server.shutdown()


def name_of(key):
    return hashlib.md5(key.encode()).hexdigest()


def records(db):
    """name -> record text of an index store, read with the sqlite3 tool."""
    done = subprocess.run(["sqlite3", "-batch", db, "select hex(k), hex(v) from kv;"], capture_output=True,
                          text=True, timeout=30)
    out = {}
    for line in done.stdout.splitlines():
        key, _, value = line.partition("|")
        out[bytes.fromhex(key).decode("latin-1")] = bytes.fromhex(value).split(b"\0")[0].decode("latin-1")
    return out


def pair(record, key):
    for item in record.split("&"):
        if item.startswith(key + "="):
            return item[len(key) + 1:]
    return None


def expired(record):
    return record is not None and int(pair(record, "ep") or "0", 16) <= int(time.time())


def run(node, disk, errors):
    keys = ["%s/obj/%s" % (HOST, n) for n in ("exact", "keep", "dir/one", "dir/sub/two")]
    db = os.path.join(node.root, "config/dcindex/public.idx2")
    for key in keys:
        answer = suite.curl(node, HOST, key[len(HOST):])
        if answer.status != 200:
            errors.append("GET %s: status %s" % (key, answer.status))
    indexed = suite.wait_for(lambda: all(name_of(k) in records(db) for k in keys))
    if not indexed:
        errors.append("the cache files were not indexed: %r" % sorted(records(db)))
        return
    files = {k: glob.glob(os.path.join(disk, "public", "**", name_of(k)), recursive=True) for k in keys}
    for key in keys:
        if len(files[key]) != 1:
            errors.append("%s: cache files %r" % (key, files[key]))
    before = int(time.time())
    for url in ("http://%s/obj/exact" % HOST, "%s/obj/dir/*" % HOST):
        answer = suite.curl(node, HOST, "/refresh?url=" + urllib.parse.quote(url, safe=""))
        if answer.status != 200:
            errors.append("refresh %s: status %s" % (url, answer.status))
    suite.wait_for(lambda: not os.path.exists(files[keys[0]][0]) if files[keys[0]] else True)
    # The prefix scan runs on a thread of its own, and stopping the node ends it: wait until it
    # has marked every record under the prefix.
    under = [k for k in keys if "/dir/" in k]
    suite.wait_for(lambda: all(expired(records(db).get(name_of(k))) for k in under))
    errors.extend("node: " + fault for fault in node.stop())
    after = records(db)
    if name_of(keys[0]) in after:
        errors.append("the purged record is still there: %s" % after[name_of(keys[0])])
    if files[keys[0]] and os.path.exists(files[keys[0]][0]):
        errors.append("the purged file is still there")
    for key in keys[1:]:
        record = after.get(name_of(key))
        if record is None:
            errors.append("%s: record gone" % key)
            continue
        expiry = int(pair(record, "ep") or "0", 16)
        if key in under and not expired(record):
            errors.append("%s: ep %x is not in the past (%s)" % (key, expiry, record))
        if key not in under and expiry < before + 500:
            errors.append("%s: ep %x was changed (%s)" % (key, expiry, record))
        if not files[key] or not os.path.exists(files[key][0]):
            errors.append("%s: cache file gone" % key)


def body(args, work):
    disk = os.path.join(work, "disk1")
    os.makedirs(disk)
    config = {"sql": "update wc_system set value='1' where name='IsDiskCache';"
                     "update wc_system set value='1024' where name='MinDiskCacheContentSize';"
                     "update wc_system set value='1024' where name='MinSizeForActivePageByDiskCache';" +
                     suite.disk_rows([disk], first=1) +
                     "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                     " values(1, '^a\\.test/obj/', 0, 1, 600, 3, 1, 0, 1, '');"}
    fixtures = PurgeFixtures(work, suite)
    errors = []
    try:
        node = suite.Node(args, fixtures, "purge", config)
        if not node.ready:
            errors.append("the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1"))
            node.stop()
        else:
            run(node, disk, errors)
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        errors.append("the node could not be set up: %s" % error)
    finally:
        fixtures.stop()
    return errors


if __name__ == "__main__":
    sys.exit(suite.script_main("quorin-e2e-purge-", ("curl", "sqlite3"), body))
