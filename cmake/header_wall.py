#!/usr/bin/env python3
"""Checks the wall between vorcore's public and internal headers.

A header in one of vorcore's folders is internal when its first include is "vor_internal.h",
public and C++ only when its first include is "vor_cxx_only.h", public C otherwise. The check
fails when
  - a marker is not the header's first include,
  - the public include folder the build made does not hold exactly the public headers,
  - a public header does not compile alone (as C11, unless C++ only, and as C++20) with the
    public include folder as vorcore's only folder on the include path,
  - a file outside vorcore's folders includes an internal header,
  - a file outside vorcore's folders (and its benchmarks) is compiled with one of vorcore's
    source folders on its include path, or as part of vorcore (the compile commands of a build).
"""
import argparse
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

INTERNAL_MARK = "vor_internal.h"
CXX_ONLY_MARK = "vor_cxx_only.h"
INCLUDE = re.compile(r'^\s*#\s*include\s*["<]([^">]+)[">]')
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp", ".inc")


def includes(path):
    """(line number, included name) of every #include line of a file."""
    found = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                found.append((number, m.group(1)))
    return found


class Header:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        names = [name for _, name in includes(path)]
        self.first = names[0] if names else None
        self.internal = self.name == INTERNAL_MARK or INTERNAL_MARK in names
        self.cxx_only = self.name == CXX_ONLY_MARK or CXX_ONLY_MARK in names

    def mark_problem(self):
        for mark, marked in ((INTERNAL_MARK, self.internal), (CXX_ONLY_MARK, self.cxx_only)):
            if marked and self.name != mark and self.first != mark:
                return f"{self.path}: \"{mark}\" must be its first include"
        if self.internal and self.cxx_only:
            return f"{self.path}: carries both marks"
        return None


def vorcore_headers(source, dirs):
    headers = []
    for d in dirs:
        folder = os.path.join(source, d)
        for name in sorted(os.listdir(folder)):
            if name.endswith(".h") and os.path.isfile(os.path.join(folder, name)):
                headers.append(Header(os.path.join(folder, name)))
    return headers


def check_public_folder(public, folder):
    expected = {h.name for h in public}
    present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
    problems = [f"{folder}: lacks public header {n} (re-run cmake)" for n in sorted(expected - present)]
    problems += [f"{folder}: holds {n}, which is not a public header (re-run cmake)"
                 for n in sorted(present - expected)]
    return problems


def compile_alone(header, language, compiler, folder, flags):
    std = "-std=c11" if language == "c" else "-std=c++20"
    with tempfile.TemporaryDirectory() as tmp:
        unit = os.path.join(tmp, "alone." + ("c" if language == "c" else "cpp"))
        with open(unit, "w") as f:
            # The typedef keeps a header of macros only from making an empty unit (pedantic C).
            f.write(f'#include "{header.name}"\ntypedef int header_alone;\n')
        run = subprocess.run([compiler, std, "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                              "-I", folder, *flags, unit], capture_output=True, text=True)
    if run.returncode == 0:
        return None
    return f"{header.name} does not compile alone as {language}:\n{run.stdout}{run.stderr}"


def compile_public(public, args):
    jobs = []
    for h in public:
        if not h.cxx_only:
            jobs.append((h, "c", args.cc))
        jobs.append((h, "c++", args.cxx))
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda j: compile_alone(j[0], j[1], j[2], args.public_include, args.flag), jobs)
        return [r for r in results if r]


def is_build_tree(path):
    return os.path.exists(os.path.join(path, "CMakeCache.txt"))


def outside_includes(source, dirs, internal_names):
    """Files outside vorcore's folders that include an internal header."""
    problems = []
    skip = {os.path.join(source, d) for d in dirs} | {os.path.join(source, ".git")}
    for root, subdirs, files in os.walk(source):
        subdirs[:] = sorted(s for s in subdirs if os.path.join(root, s) not in skip
                            and not is_build_tree(os.path.join(root, s)))
        for name in sorted(files):
            if not name.endswith(SOURCE_SUFFIXES):
                continue
            path = os.path.join(root, name)
            for number, included in includes(path):
                if os.path.basename(included) in internal_names:
                    rel = os.path.relpath(path, source)
                    problems.append(f"{rel}:{number}: includes \"{included}\", internal to vorcore")
    return problems


def inside(path, folders):
    return any(os.path.commonpath([path, f]) == f for f in folders)


def consumer_include_paths(source, dirs, own, compile_commands):
    """Translation units outside vorcore that are compiled with its private view."""
    private = [os.path.join(source, d) for d in dirs]
    exempt = private + [os.path.join(source, d) for d in own]
    if not os.path.isfile(compile_commands):
        return [f"{compile_commands}: missing (the build writes it with CMAKE_EXPORT_COMPILE_COMMANDS)"]
    problems = []
    with open(compile_commands) as f:
        entries = json.load(f)
    for entry in entries:
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        if not inside(path, [source]) or inside(path, exempt):
            continue
        args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        rel = os.path.relpath(path, source)
        for i, arg in enumerate(args):
            folder = None
            if arg in ("-I", "-isystem", "-iquote") and i + 1 < len(args):
                folder = args[i + 1]
            elif arg.startswith("-I"):
                folder = arg[2:]
            if folder and os.path.normpath(os.path.join(entry["directory"], folder)) in private:
                problems.append(f"{rel}: compiled with vorcore's private folder {folder} on its include path")
            if arg in ("-DVOR_BUILDING_VORCORE", "-DVOR_TESTING_VORCORE"):
                problems.append(f"{rel}: compiled with {arg}")
    return problems


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--source", required=True, help="the source tree")
    p.add_argument("--dirs", nargs="+", required=True, help="vorcore's folders in the source tree")
    p.add_argument("--public-include", required=True, help="the folder the build made for consumers")
    p.add_argument("--cc", default="cc")
    p.add_argument("--cxx", default="c++")
    p.add_argument("--flag", action="append", default=[], help="an extra compiler flag")
    p.add_argument("--jobs", type=int, default=3)
    p.add_argument("--compile-commands", help="a build's compile_commands.json to check")
    p.add_argument("--own", nargs="*", default=[],
                   help="folders outside vorcore's that may see its private view (its benchmarks)")
    args = p.parse_args(argv)

    headers = vorcore_headers(args.source, args.dirs)
    public = [h for h in headers if not h.internal]
    internal_names = {h.name for h in headers if h.internal}
    problems = [m for m in (h.mark_problem() for h in headers) if m]
    problems += check_public_folder(public, args.public_include)
    problems += compile_public(public, args)
    problems += outside_includes(args.source, args.dirs, internal_names)
    if args.compile_commands:
        problems += consumer_include_paths(args.source, args.dirs, args.own, args.compile_commands)
    for problem in problems:
        print(problem)
    print(f"{len(public)} public headers ({sum(h.cxx_only for h in public)} C++ only), "
          f"{len(internal_names)} internal; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
