#!/usr/bin/env python3
"""The disk cache across restarts and under load: quorind laid out from a build (the end-to-end
suite's Node) with the disk cache and "X-Cache" on, two cache disks, MaxCacheBlockSize lowered to
4 KB so bodies above it are served from their cache files, and one python origin
(tests/fixtures/relay_origin.py) whose log counts every request.

  e2e_disk_load.py --case restart|load --build DIR --source DIR --plugin FILE

restart: 20 objects of 20 KiB to 8 MiB are fetched through the node until the sqlite3 tool reads
  their index records; after a SIGTERM and a new start, then after a SIGKILL and a new start,
  every GET is "X-Cache: HIT" with the origin's sha256, the console traces a disk hit for it, and
  the origin sees no new request.
load: 50 versioned objects read by python clients (every body checked) and by wrk (pressure only,
  when it is installed) while a driver moves objects to their next version at the origin and
  purges them through origin answers carrying X-RefreshCacheURL (exact URLs and "a.test/obj/*"),
  and while the public index store, seeded beyond its buckets before the start, is being
  cleaned. Every answer must be one whole version of its object; after a last prefix purge every
  object answers its latest version.
Exit 0 when every check passes, 1 otherwise, 77 when a tool it needs is missing.
"""
import hashlib
import http.client
import os
import random
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "fixtures"))
import e2e_cache as cache  # noqa: E402
import e2e_suite as suite  # noqa: E402
import relay_origin as origin  # noqa: E402

HOST = "a.test"
# Any one wait or request: a bound, not a pause. A miss written to disk moves at about 200 KB/s
# on a loaded machine (sanitizer build): the 8 MiB miss takes 40 s or more there.
SECONDS = 120
LOAD_SECONDS = 12
# Above the public store's buckets: its index cache, 0.82% of 30% of MaxUsableMemSize (200 MB), is 49 MiB
# and gives 200,704.
SEEDED_RECORDS = 205000
RESTART_SIZES = [int(20480 * (8 * 1024 * 1024 / 20480) ** (n / 19)) for n in range(20)]
LOAD_SIZES = [5000, 20000, 70000, 200000, 300000]
CLEAN_TRACE = b"[IndexClean] "  # one console line per record the cleaning drops


def config(work):
    return {"sql": "update wc_system set value='1' where name in ('IsDiskCache', 'AddXCacheToHeader');"
                   "update wc_system set value='4' where name='MaxCacheBlockSize';"
                   "update wc_system set value='0' where name in ('MinDiskCacheContentSize',"
                   " 'MinSizeForActivePageByDiskCache');" +
                   suite.disk_rows([os.path.join(work, "disk%d" % n) for n in (0, 1)]) +
                   "insert into wc_fcache(num, url, icase, rules, expire, unit, icookie, olimit, isdiskcache, note)"
                   " values(1, '^a\\.test/obj/', 0, 1, 600, 3, 1, 0, 1, '');"}


def sha(data):
    return hashlib.sha256(data).hexdigest()


def store_path(node):
    return os.path.join(node.root, "config/dcindex/public.idx2")


def indexed(node, keys):
    """Whether the sqlite3 tool reads an index record for every key."""
    names = ",".join("x'%s'" % hashlib.md5(k.encode()).hexdigest().encode().hex() for k in keys)
    done = subprocess.run(["sqlite3", "-batch", store_path(node), "select count(*) from kv where k in (%s);" % names],
                          capture_output=True, timeout=SECONDS)
    return (done.stdout.decode().strip() or "0") == str(len(keys))


def get(port, path):
    """One GET of the node with a fresh connection: (status, {lower-case header: value}, body)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=SECONDS)
    try:
        conn.request("GET", path, headers={"Host": HOST})
        answer = conn.getresponse()
        return answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read()
    finally:
        conn.close()


# --- restart -------------------------------------------------------------------------------------

def restart_objects():
    return [cache.obj("r%02d" % n, size) for n, size in enumerate(RESTART_SIZES)]


def all_hits(node, fixtures, objects, when):
    errors = []
    console_wait = []
    for path, want in objects:
        status, head, body = get(node.port, path)
        if status != 200 or head.get("x-cache") != "HIT" or sha(body) != sha(want):
            errors.append("%s %s: status %d, X-Cache %s, %d bytes, sha256 %s" % (
                when, path, status, head.get("x-cache"), len(body), "ok" if sha(body) == sha(want) else "differs"))
        seen = len(fixtures.requests(path))
        if seen != 1:
            errors.append("%s %s: the origin saw %d requests" % (when, path, seen))
        console_wait.append("[HitPublicDiskCache: Status -> 200|206|301|302] %s%s" % (HOST, path))
    console = suite.read(node.out).decode("latin-1")
    errors += ["%s: no disk hit on the console: %s" % (when, line) for line in console_wait if line not in console]
    return errors


def run_restart(node, fixtures):
    objects = restart_objects()
    errors = []
    suite.stage("filling %d objects" % len(objects))
    for path, want in objects:
        status, _, body = get(node.port, path)
        if status != 200 or sha(body) != sha(want):
            errors.append("fill %s: status %d, %d bytes" % (path, status, len(body)))
    keys = [HOST + path for path, _ in objects]
    suite.stage("waiting for the index records")
    if not suite.wait_for(lambda: indexed(node, keys), seconds=SECONDS, step=0.3):
        return errors + ["the index records of the 20 objects did not all appear"]
    suite.stage("SIGTERM")
    errors += ["before the SIGTERM: " + fault for fault in node.stop()]
    suite.stage("starting again")
    if not node.start():
        return errors + ["the node did not start after the SIGTERM"]
    suite.stage("reading after the SIGTERM")
    errors += all_hits(node, fixtures, objects, "after SIGTERM")
    if not indexed(node, keys):
        errors.append("the sqlite3 tool misses records before the SIGKILL")
    suite.stage("SIGKILL and starting again")
    node.proc.kill()
    node.proc.wait()
    if not node.start():
        return errors + ["the node did not start after the SIGKILL"]
    suite.stage("reading after the SIGKILL")
    return errors + all_hits(node, fixtures, objects, "after SIGKILL")


# --- load ----------------------------------------------------------------------------------------

class Load:
    """The objects, the versions the driver moved them to and what the checkers found."""

    def __init__(self, node, fixtures):
        self.node = node
        self.origin_port = fixtures.echo[0]
        self.objects = [("l%02d" % n, LOAD_SIZES[n % len(LOAD_SIZES)]) for n in range(50)]
        self.bumps = {name: 0 for name, _ in self.objects}  # raised before the origin moves
        self.errors = []
        self.answers = 0
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def path(self, name, size):
        return "/obj/%s?size=%d&type=bin" % (name, size)

    def fault(self, text):
        with self.lock:
            if len(self.errors) < 20:
                self.errors.append(text)

    def check(self, name, size, status, body, latest=False):
        """The body is one whole version the origin has served (the latest when asked)."""
        top = self.bumps[name]
        version = body[0] if body else -1
        whole = 0 <= version <= top and body == origin.object_body(name, size, "bin", version)
        if status != 200 or not whole or (latest and version != top):
            self.fault("%s: status %d, %d bytes, first byte %d, versions 0..%d%s" % (
                self.path(name, size), status, len(body), version, top, " (latest wanted)" if latest else ""))
            return False
        return True

    def reader(self, seed):
        pick = random.Random(seed)
        while not self.stop.is_set():
            name, size = pick.choice(self.objects)
            try:
                status, _, body = get(self.node.port, self.path(name, size))
            except (OSError, http.client.HTTPException) as error:
                self.fault("%s: %s" % (self.path(name, size), error))
                continue
            self.check(name, size, status, body)
            with self.lock:
                self.answers += 1

    def purge(self, url):
        status, _, body = get(self.node.port, "/refresh?url=" + urllib.parse.quote(url, safe=""))
        if status != 200 or body != b"ok":
            self.fault("purge %s: status %d" % (url, status))

    def driver(self):
        pick = random.Random(7)
        turn = 0
        while not self.stop.is_set():
            name, size = pick.choice(self.objects)
            self.bumps[name] += 1
            urllib.request.urlopen("http://127.0.0.1:%d/bump/%s" % (self.origin_port, name), timeout=SECONDS).read()
            try:
                self.purge("http://%s%s" % (HOST, self.path(name, size)))
                turn += 1
                if turn % 5 == 0:
                    self.purge(HOST + "/obj/*")
            except (OSError, http.client.HTTPException) as error:
                self.fault("purge: %s" % error)
            time.sleep(0.05)


def seed_store(node):
    """Records above the store's buckets, added while the node is stopped: pointers to files that
    do not exist, so the cleaning that starts at a later put only drops records. A page cache
    that holds the whole store halves the time the random keys take on a loaded machine."""
    value = "vs=371&dn=0&pt=1&r1=10&r2=10&cl=10&ep=1&cc=0&up=x"
    sql = ("pragma cache_size=-262144; with recursive n(i) as (select 1 union all select i + 1 from n where i < %d) "
           "insert or ignore into kv(k, v) select cast(lower(hex(randomblob(16))) as blob), "
           "cast('%s' as blob) || zeroblob(%d) from n;" % (SEEDED_RECORDS, value, 170 - len(value)))
    subprocess.run(["sqlite3", "-bail", store_path(node), sql], check=True, timeout=5 * SECONDS)


def wrk_pressure(load, work):
    """wrk over the 50 paths for the load's length, or None when wrk is missing."""
    if not shutil.which("wrk"):
        return None
    script = os.path.join(work, "paths.lua")
    with open(script, "w") as f:
        f.write("local paths = {%s}\nlocal i = 0\nrequest = function()\n  i = i + 1\n"
                "  return wrk.format('GET', paths[i %% #paths + 1], {Host = '%s'})\nend\n"
                % (", ".join("'%s'" % load.path(n, s) for n, s in load.objects), HOST))
    return subprocess.Popen(["wrk", "-t2", "-c16", "-d%ds" % LOAD_SECONDS, "--timeout", "20s", "-s", script,
                             load.node.url("/")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)


def run_load(node, fixtures, work):
    load = Load(node, fixtures)
    suite.stage("filling %d objects" % len(load.objects))
    for name, size in load.objects:
        status, _, body = get(node.port, load.path(name, size))
        load.check(name, size, status, body)
    keys = [HOST + load.path(n, s) for n, s in load.objects]
    suite.stage("waiting for the index records")
    if not suite.wait_for(lambda: indexed(node, keys), seconds=SECONDS, step=0.3):
        return load.errors + ["the index records of the 50 objects did not all appear"]
    suite.stage("stopping, seeding the store")
    errors = ["before the seeding: " + fault for fault in node.stop()]
    seed_store(node)
    suite.stage("starting with the seeded store")
    if not node.start():
        return errors + ["the node did not start with the seeded store"]
    suite.stage("load")
    pressure = wrk_pressure(load, work)
    threads = [threading.Thread(target=load.reader, args=(n,)) for n in range(6)]
    threads.append(threading.Thread(target=load.driver))
    for thread in threads:
        thread.start()
    time.sleep(LOAD_SECONDS)
    # The cleaning starts at a put and runs beside the load: on a slow machine the load goes on
    # until the cleaning has dropped a record.
    suite.wait_for(lambda: CLEAN_TRACE in suite.read(node.out), seconds=SECONDS, step=0.5)
    load.stop.set()
    for thread in threads:
        thread.join(2 * SECONDS)  # each turn of a thread ends within its request's bound
        if thread.is_alive():
            errors.append("a load thread still runs after the load")
    if pressure:
        out = pressure.communicate(timeout=SECONDS)[0].decode("latin-1")
        print(out, flush=True)
        if "requests in" not in out:
            errors.append("wrk: " + out)
    print("checked answers: %d; versions moved: %d" % (load.answers, sum(load.bumps.values())), flush=True)
    cleaned = suite.read(node.out).count(CLEAN_TRACE)
    print("records dropped by the index cleaning during the load: %d" % cleaned, flush=True)
    if not cleaned:
        errors.append("the index cleaning did not run")
    # A last prefix purge: every object then answers its latest version.
    suite.stage("last purge and latest versions")
    load.purge(HOST + "/obj/*")
    patience = SECONDS / 4
    for name, size in load.objects:
        if not suite.wait_for(lambda: get(node.port, load.path(name, size))[2][:1] == bytes([load.bumps[name] & 0xff]),
                              seconds=patience, step=0.2):
            patience = 0  # the fault is found: the other objects are read once each
        status, _, body = get(node.port, load.path(name, size))
        load.check(name, size, status, body, latest=True)
    return errors + load.errors


def body(args, work, case):
    fixtures = cache.CacheFixtures(work, args.source)
    try:
        if not fixtures.ready:
            return ["the origin did not start"]
        suite.stage("laying out and starting the node")
        node = suite.Node(args, fixtures, case, config(work))
        if not node.ready:
            failures = ["the node did not start: " + suite.read(node.out)[-2000:].decode("latin-1")]
        else:
            failures = run_restart(node, fixtures) if case == "restart" else run_load(node, fixtures, work)
        suite.stage("stopping")
        return failures + ["node: " + fault for fault in node.stop()]
    finally:
        fixtures.stop()


def main():
    case = "restart"
    if "--case" in sys.argv:
        at = sys.argv.index("--case")
        case = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    return suite.script_main("quorin-e2e-disk-%s-" % case, ("curl", "sqlite3"),
                             lambda args, work: body(args, work, case))


if __name__ == "__main__":
    sys.exit(main())
