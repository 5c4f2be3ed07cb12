#!/usr/bin/env python3
"""Raw TCP for the whole-program tests.

  rawtcp.py send HOST PORT HEX [TIMEOUT]  sends the bytes, half-closes, prints
                                          the answer as hex (empty when none);
                                          HEX "-" reads the hex from stdin
  rawtcp.py hold PORT SECONDS             listens on PORT for a while
  rawtcp.py trickle HOST PORT SECONDS     sends one byte every 0.2 s for that
                                          long, printing "sent N" after each;
                                          stops when the peer closes
  rawtcp.py sound SENDER SECONDS [HZ S]   prints, as hex, a data header of
                                          a sound message from SENDER and
                                          that many seconds of a 440 Hz tone,
                                          then S seconds of a closing tone
  rawtcp.py offer HOST PORT SENDER NAME MB MB_PER_S
                                          offers file NAME of MB MiB from
                                          SENDER, sends it at that rate once
                                          accepted, prints "refused" or
                                          "accepted", "sent SHA256" and then
                                          "closed" when the receiver closes in
                                          order
"""
import hashlib
import random
import math
import socket
import struct
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


def trickle(host, port, seconds):
    with socket.create_connection((host, port), timeout=5) as s:
        end = time.monotonic() + seconds
        n = 0
        while time.monotonic() < end:
            try:
                s.sendall(b"\x01")
            except OSError:
                break
            n += 1
            print("sent", n, flush=True)
            time.sleep(0.2)


def hold(port, seconds):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", port))
    s.listen(5)
    time.sleep(seconds)


def sound(sender, seconds, closing_hz=0.0, closing_seconds=0.0):
    rate = 11025
    tones = [(440, int(rate * seconds)), (closing_hz, int(rate * closing_seconds))]
    samples = b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * hz * i / rate)))
                       for hz, count in tones for i in range(count))
    header = bytearray(696)
    struct.pack_into("<II", header, 0, 1, 2)  # marker, kind: sound
    name = sender.encode("utf-16-le")[:254]
    header[528:528 + len(name)] = name
    struct.pack_into("<I", header, 656, len(samples))
    print((bytes(header) + samples).hex())


def offer(host, port, sender, name, mib, rate):
    header = bytearray(696)
    struct.pack_into("<II", header, 0, 1, 1)  # marker, kind: file
    header[8:8 + 2 * len(name)] = name.encode("utf-16-le")
    header[528:528 + 2 * len(sender)] = sender.encode("utf-16-le")
    struct.pack_into("<I", header, 656, (mib << 20) & 0xFFFFFFFF)
    block = random.Random(mib).randbytes(1 << 20)
    with socket.create_connection((host, port), timeout=120) as s:
        s.sendall(header)
        answer = s.recv(4)
        if len(answer) < 4 or answer == bytes(4):
            print("refused", flush=True)
            return
        print("accepted", flush=True)
        digest = hashlib.sha256()
        start = time.monotonic()
        for i in range(mib):
            s.sendall(block)
            digest.update(block)
            ahead = (i + 1) / rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
        print("sent", digest.hexdigest(), flush=True)
        s.shutdown(socket.SHUT_WR)
        if s.recv(1) == b"":
            print("closed", flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "send":
        hexdata = sys.stdin.read().strip() if sys.argv[4] == "-" else sys.argv[4]
        send(sys.argv[2], int(sys.argv[3]), bytes.fromhex(hexdata),
             float(sys.argv[5]) if len(sys.argv) > 5 else 5.0)
    elif sys.argv[1] == "sound":
        sound(sys.argv[2], *map(float, sys.argv[3:6]))
    elif sys.argv[1] == "trickle":
        trickle(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
    elif sys.argv[1] == "offer":
        offer(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5], int(sys.argv[6]),
              float(sys.argv[7]))
    elif sys.argv[1] == "hold":
        hold(int(sys.argv[2]), float(sys.argv[3]))
