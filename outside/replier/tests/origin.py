#!/usr/bin/env python3
"""Origins for the upstream-connection tests, on 127.0.0.1.

origin.py MODE  prints its port on the first line, then serves until stdin closes:
  echo   sends back every byte it receives
  stall  accepts and never reads
  close  accepts and closes at once
  sink   reads slowly and, when a peer ends, prints "<bytes> <sha256>" on a line
"""
import hashlib
import socket
import sys
import threading
import time


def echo(conn):
    with conn:
        try:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)
        except OSError:
            return  # reset by a peer that closed without reading


def stall(conn, held):
    held.append(conn)


def sink(conn):
    total = 0
    digest = hashlib.sha256()
    with conn:
        try:
            while True:
                data = conn.recv(16384)
                if not data:
                    break
                total += len(data)
                digest.update(data)
                time.sleep(0.001)
        except OSError:
            pass
    print(f"{total} {digest.hexdigest()}", flush=True)


def main():
    mode = sys.argv[1]
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(512)
    print(srv.getsockname()[1], flush=True)
    held = []

    def serve():
        while True:
            conn, _ = srv.accept()
            if mode == "close":
                conn.close()
            elif mode == "stall":
                stall(conn, held)
            else:
                target = echo if mode == "echo" else sink
                threading.Thread(target=target, args=(conn,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    sys.stdin.read()


if __name__ == "__main__":
    main()
