#!/usr/bin/env python3
"""Raw TCP for the whole-program tests.

  rawtcp.py send HOST PORT HEX [TIMEOUT]  sends the bytes, half-closes, prints
                                          the answer as hex (empty when none);
                                          HEX "-" reads the hex from stdin
  rawtcp.py hold PORT SECONDS             listens on PORT for a while
"""
import socket
import sys
import time


def send(host, port, data, timeout):
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        answer = b""
        while True:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                break
            if not chunk:
                break
            answer += chunk
        print(answer.hex())


def hold(port, seconds):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", port))
    s.listen(5)
    time.sleep(seconds)


if __name__ == "__main__":
    if sys.argv[1] == "send":
        hexdata = sys.stdin.read().strip() if sys.argv[4] == "-" else sys.argv[4]
        send(sys.argv[2], int(sys.argv[3]), bytes.fromhex(hexdata),
             float(sys.argv[5]) if len(sys.argv) > 5 else 5.0)
    elif sys.argv[1] == "hold":
        hold(int(sys.argv[2]), float(sys.argv[3]))
