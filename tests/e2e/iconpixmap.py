#!/usr/bin/env python3
"""Reads a StatusNotifierItem's IconPixmap property, as `busctl --json=short
get-property` prints it, on stdin and writes the picture of the size given
as the first argument (or the closest one) as a PAM image (RGB with alpha)
on stdout: what the item gives its host to draw.
"""
import json
import sys


def main():
    want = int(sys.argv[1])
    pixmaps = json.load(sys.stdin)["data"]
    if not pixmaps:
        sys.exit(1)
    width, height, argb = min(pixmaps, key=lambda p: abs(p[0] - want))
    out = sys.stdout.buffer
    out.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
              % (width, height))
    # Network byte order ARGB, one pixel after the other.
    rgba = bytearray(len(argb))
    rgba[0::4], rgba[1::4], rgba[2::4], rgba[3::4] = argb[1::4], argb[2::4], argb[3::4], argb[0::4]
    out.write(rgba)


if __name__ == "__main__":
    main()
