#!/usr/bin/env python3
"""A DNS server on 127.0.0.1 that answers every A query with 10.3.3.3 (TTL 300), DELAY seconds late.

slow_dns.py DELAY  prints its port on the first line, then serves until stdin closes.
"""
import socket
import struct
import sys
import threading
import time


def answer(sock, query, peer, delay):
    time.sleep(delay)
    end = 12
    while query[end] != 0:
        end += query[end] + 1
    question = query[12:end + 5]
    head = struct.pack(">HHHHHH", struct.unpack(">H", query[:2])[0], 0x8180, 1, 1, 0, 0)
    record = struct.pack(">HHHIH", 0xC00C, 1, 1, 300, 4) + socket.inet_aton("10.3.3.3")
    sock.sendto(head + question + record, peer)


def main():
    delay = float(sys.argv[1])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    print(sock.getsockname()[1], flush=True)

    def serve():
        while True:
            query, peer = sock.recvfrom(512)
            threading.Thread(target=answer, args=(sock, query, peer, delay), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    sys.stdin.read()


if __name__ == "__main__":
    main()
