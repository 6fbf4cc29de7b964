# Shared by scripts/test and scripts/run: package installation and the CMake build.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${VOR_JOBS:-$(nproc)}  # VOR_JOBS caps the build and test jobs on a shared machine

PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev libssl-dev libpcre2-dev zlib1g-dev libsqlite3-dev
          curl openssl sqlite3 util-linux netcat-openbsd python3 libc-ares-dev dnsmasq-base
          libjemalloc-dev libgoogle-perftools-dev libmimalloc-dev nginx-light wrk chromium iproute2)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# configure_build_folder DIR [cmake args...]
configure_build_folder() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}

# configure_and_build DIR [cmake args...]
configure_and_build() {
  configure_build_folder "$@"
  cmake --build "$1" -j "$JOBS"
}

# lay_out_dist BUILD DIST: the runtime tree from a build. The programs and libvorcore.so go to
# bin/; every library delivered beside vorcore goes where the build's manifest puts its kind
# (modules in modules/, plug-ins in plugins/; fixtures are for tests and stay in the build);
# then the shipped defaults, keeping files already in DIST (edited settings).
lay_out_dist() {
  local build=$1 dist=$2 kind file soname link folder
  mkdir -p "$dist"/{bin,config,logs,modules,plugins,wwwroot}
  cp -a "$build"/libvorcore.so* "$build/quorind" "$build/quorinctl" "$dist/bin/"
  while read -r kind file soname link; do
    case $kind in
      module) folder=modules ;;
      plugin) folder=plugins ;;
      *) continue ;;
    esac
    cp -a "$build/$file" "$build/$soname" "$build/$link" "$dist/$folder/"
  done <"$build/deliverables.txt"
  cp -rn "$ROOT/dist/." "$dist/"
  add_shipped_admin_modules "$ROOT/dist/modules/vuved.ini" "$dist/modules/vuved.ini"
}

# add_shipped_admin_modules SHIPPED KEPT: a vuved.ini kept from an earlier lay-out gains the
# module-N/export-N pairs of admin modules shipped since (a library it names in no module line),
# each at its shipped index or else the next free one; everything else in it stays as edited.
add_shipped_admin_modules() {
  [ -f "$1" ] && [ -f "$2" ] || return 0
  python3 - "$1" "$2" <<'PY'
import re, sys

def pairs(lines):
    found, exports = {}, {}
    for line in lines:
        m = re.match(r"\s*(module|export)-(\d+)\s*=\s*(.*?)\s*$", line)
        if m:
            (found if m.group(1) == "module" else exports)[int(m.group(2))] = m.group(3)
    return found, exports

shipped = open(sys.argv[1]).read().splitlines()
kept = open(sys.argv[2]).read().splitlines()
shipped_modules, shipped_exports = pairs(shipped)
kept_modules, _ = pairs(kept)
added = []
for shipped_index, library in sorted(shipped_modules.items()):
    if library in kept_modules.values() or shipped_index not in shipped_exports:
        continue
    index = shipped_index
    while index in kept_modules:
        index += 1
    kept_modules[index] = library
    added += ["module-%d=%s" % (index, library), "export-%d=%s" % (index, shipped_exports[shipped_index])]
if added:
    at = next((i for i, line in enumerate(kept) if line.strip() == "[modules]"), None)
    if at is None:
        kept += ["", "[modules]"] + added
    else:
        end = at + 1
        while end < len(kept) and not kept[end].strip().startswith("["):
            end += 1
        while end > at + 1 and not kept[end - 1].strip():
            end -= 1
        kept[end:end] = added
    open(sys.argv[2], "w").write("\n".join(kept) + "\n")
PY
}
