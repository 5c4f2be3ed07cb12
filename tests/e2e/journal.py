#!/usr/bin/env python3
"""The journal of received messages, read and written as the program keeps it.

  journal.py count FILE          the number of items not done
  journal.py texts FILE          their texts (text messages), one per line
  journal.py write FILE N        a journal of N text messages "запись I"
  journal.py burst PORT N TAG    N messages "TAG I" to 127.0.0.1:PORT, one
                                 connection each, as fast as they go
"""
import socket
import struct
import sys
import zlib


def records(data):
    if not data.startswith(b"TVJ1"):
        return
    at = 4
    while len(data) - at >= 9:
        kind, length = data[at], struct.unpack_from("<I", data, at + 1)[0]
        if at + 9 + length > len(data):
            return
        body = data[at:at + 5 + length]
        if zlib.crc32(body) != struct.unpack_from("<I", data, at + 5 + length)[0]:
            return
        yield kind, data[at + 5:at + 5 + length]
        at += 9 + length


def pending(path):
    items = {}
    with open(path, "rb") as f:
        for kind, payload in records(f.read()):
            ident = struct.unpack_from("<Q", payload)[0]
            if kind == 1:
                size = struct.unpack_from("<H", payload, 8)[0]
                items.setdefault(ident, (payload[10:10 + size].decode(), payload[10 + size:]))
            elif kind == 2:
                items.pop(ident, None)
    return list(items.values())  # in the order written


def item(ident, text):
    data = text.encode("utf-16-le")
    payload = struct.pack("<QH", ident, 7) + b"message" + data
    body = struct.pack("<BI", 1, len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


if __name__ == "__main__":
    command = sys.argv[1]
    if command == "count":
        print(len(pending(sys.argv[2])))
    elif command == "texts":
        for kind, data in pending(sys.argv[2]):
            if kind == "message":
                print(data.decode("utf-16-le").replace("\r\n", " "))
    elif command == "write":
        with open(sys.argv[2], "wb") as f:
            f.write(b"TVJ1" + b"".join(item(i + 1, "запись %d" % (i + 1))
                                       for i in range(int(sys.argv[3]))))
    elif command == "burst":
        for i in range(int(sys.argv[3])):
            with socket.create_connection(("127.0.0.1", int(sys.argv[2])), timeout=5) as s:
                s.sendall(("%s %d" % (sys.argv[4], i + 1)).encode("cp1251"))
