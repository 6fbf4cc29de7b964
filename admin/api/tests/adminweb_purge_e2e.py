#!/usr/bin/env python3
"""The cache purges of the admin API end to end: quorind laid out from a build with the edge
server and the admin server, one python origin (modules/proxy/tests/fixtures/relay_origin.py)
whose /cached/N objects the node keeps, and curl as client and console.

  adminweb_purge_e2e.py --build DIR --source DIR

A cached object comes from the origin again after "thiscache" names it, after "allcache", and
after an origin's answer carries "X-RefreshCacheURL" naming it. Exit 0 when every step passes,
1 otherwise, 77 when a tool it needs is missing.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    for tool in ("curl", "sqlite3"):
        if not shutil.which(tool):
            print("missing: " + tool)
            return 77
    sys.path.insert(0, os.path.join(args.source, "modules/proxy/tests/e2e"))
    import e2e_suite as suite  # the suite's ports, waits and process ends

    work = tempfile.mkdtemp()
    procs = []
    try:
        origin_port, proxy_port, admin_port = suite.free_port(), suite.free_port(), suite.free_port()
        origin_log = os.path.join(work, "origin.log")
        procs.append(subprocess.Popen(["python3", os.path.join(args.source, "modules/proxy/tests/fixtures/relay_origin.py"),
                                       str(origin_port), origin_log], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT))
        root = os.path.join(work, "node")
        subprocess.run(["bash", "-c", 'source "$1/scripts/lib.sh" && lay_out_dist "$2" "$3"', "-", args.source,
                        args.build, root], check=True, capture_output=True, timeout=suite.PATIENCE)
        with open(os.path.join(root, "config/quorind.ini"), "w") as f:
            f.write("[system]\nmax_network_threads=2\nmax_network_connections=1000\nproxy_port=127.0.0.1:%d\n"
                    "admin_port=127.0.0.1:%d\n[modules]\nmodule-0=libedgeserv.so\nexport-0=edgeserv\n"
                    "module-1=libpanelhttp.so\nexport-1=panelhttp\n" % (proxy_port, admin_port))
        password = "e2epw"
        db = os.path.join(root, "config/zazudaza.db")
        with open(os.path.join(args.source, "dist/config/zazudaza.sql")) as schema:
            subprocess.run(["sqlite3", "-bail", db], stdin=schema, check=True, timeout=suite.PATIENCE)
        subprocess.run(["sqlite3", "-bail", db,
                        "insert into wc_user(username, password, lastlogtime) values('admin', '%s', 0);"
                        "insert into upfetch(wid, host, balance, note) values(1, 'a.test', 0, '');"
                        "insert into wc_upstream(wid, host, weight, note) values(1, '127.0.0.1:%d', 1, '');"
                        % (hashlib.md5(password.encode()).hexdigest(), origin_port)], check=True)
        out = os.path.join(work, "node.out")
        node = subprocess.Popen(["./quorind"], cwd=os.path.join(root, "bin"), stdout=open(out, "wb"),
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        procs.append(node)
        if not (suite.wait_for(lambda: suite.listening(proxy_port)) and suite.wait_for(lambda: suite.listening(admin_port))
                and suite.wait_for(lambda: suite.listening(origin_port))):
            print("the node or the origin did not start:\n" + suite.read(out).decode("latin-1"))
            return 1

        def fetch(path):
            subprocess.run(["curl", "-s", "-o", "/dev/null", "--max-time", "10", "-H", "Host: a.test",
                            "http://127.0.0.1:%d%s" % (proxy_port, path)], check=False)

        def origin_count(path):
            if not os.path.exists(origin_log):
                return 0
            with open(origin_log) as f:
                return sum(1 for line in f if line.split()[-1:] == [path])

        def api(query):
            done = subprocess.run(["curl", "-s", "--max-time", "10",
                                   "http://127.0.0.1:%d/quorin/zazudaza.quo?%s" % (admin_port, query)],
                                  capture_output=True, check=False)
            return json.loads(done.stdout.decode())

        session = api("type=sign&cmd=in&Username=admin&Password=" + password)["SessionID"]
        path = "/cached/3000"
        failures = []

        def purged_by(name, purge):
            fetch(path)  # stored, if it was not
            before = origin_count(path)
            fetch(path)
            if origin_count(path) != before:
                failures.append("%s: the object was not served from the cache before the purge" % name)
                return
            purge()
            fetch(path)
            if not suite.wait_for(lambda: origin_count(path) == before + 1, seconds=10):
                failures.append("%s: the object did not come from the origin again (%d requests, expected %d)"
                                % (name, origin_count(path), before + 1))

        purged_by("thiscache", lambda: api("type=thiscache&cmd=cleancache&Url=http://a.test%s&Icase=0&Rules=2&SessionID=%s"
                                           % (path, session)))
        purged_by("allcache", lambda: api("type=allcache&cmd=cleancache&SessionID=" + session))
        purged_by("X-RefreshCacheURL", lambda: fetch("/refresh?url=a.test" + path))
        for failure in failures:
            print("FAIL " + failure)
        print("adminweb purge e2e: %s" % ("ok" if not failures else "%d failed" % len(failures)))
        return 1 if failures else 0
    finally:
        for proc in reversed(procs):
            suite.end_process(proc)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
