#!/usr/bin/env bash
# Resolver figures: nameres cache hits per second (1 and 8 threads), and 10,000 names through
# nameres_AddRequest beside getaddrinfo from 8 threads, both against one dnsmasq on 127.0.0.1.
# Prints figures; never fails a run.
source "$(dirname "$0")/../scripts/lib.sh"
install_packages
cd "$ROOT"
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOR_TESTS=OFF -DVOR_BENCH=ON >/dev/null &&
  cmake --build build/bench -j "$JOBS" --target nameres_bench >/dev/null || { echo "build failed"; exit 0; }

work="$ROOT/build/bench/dnsmasq"  # absolute: dnsmasq changes to /
mkdir -p "$work"
# A port free for both protocols: dnsmasq listens on UDP and TCP.
port=$(python3 - <<'PY'
import socket
for _ in range(100):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind(("127.0.0.1", 0))
    p = u.getsockname()[1]
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        t.bind(("127.0.0.1", p))
        print(p)
        break
    except OSError:
        pass
    finally:
        t.close()
        u.close()
PY
)
dnsmasq -k --conf-file=/dev/null --no-resolv --no-hosts --listen-address=127.0.0.1 --bind-interfaces \
  --port="$port" --local=/test/ --address=/wild.test/10.1.1.1 --local-ttl=300 --pid-file= \
  --user="$(id -un)" --log-facility="$work/dnsmasq.log" &
dns=$!
trap 'kill $dns 2>/dev/null; wait $dns 2>/dev/null' EXIT
sleep 0.5
NAMERES_SERVERS="127.0.0.1:$port" build/bench/bench/nameres_bench --benchmark_min_time=0.5 || true
