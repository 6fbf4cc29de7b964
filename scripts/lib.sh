# Shared by scripts/test and scripts/run: package installation and the CMake build.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${VOR_JOBS:-$(nproc)}  # VOR_JOBS caps the build and test jobs on a shared machine

PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          clang libclang-rt-14-dev libssl-dev libpcre2-dev zlib1g-dev libsqlite3-dev
          curl openssl sqlite3 util-linux netcat-openbsd python3
          libjemalloc-dev libgoogle-perftools-dev libmimalloc-dev)

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

# configure_and_build DIR [cmake args...]
configure_and_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
