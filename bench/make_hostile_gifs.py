#!/usr/bin/env python3
"""Writes the GIFs the reader benchmark reads: files whose headers declare far more pixels than
their data holds, and an honest file of the same pixel data for reference.

usage: make_hostile_gifs.py OUT_DIR
  sparse_16384.gif   8 frames declared 16384x16384, three pixels of data each (transparent 0)
  sparse_honest.gif  the same 8 frames as the 3x1 pictures their data makes
  many_256.gif       32766 frames declared 256x256, three pixels of data each
  many_honest.gif    the same 32766 frames as 3x1 pictures
  many_32767.gif     32767 frames of 1x1
"""
import os
import struct
import sys

# LZW for min code size 2: clear(4), 1, 2, 3, end(5) at 3 bits each -> 15 bits.
THREE_PIXELS = bytes([2, 2, 0x8C, 0x56, 0])
ONE_PIXEL = bytes([2, 2, 0x4C, 0x01, 0])


def header(width, height):
    palette = bytes([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])
    return b"GIF89a" + struct.pack("<HHBBB", width, height, 0x81, 0, 0) + palette


def frame(width, height, data, transparent):
    out = b""
    if transparent:
        out += b"\x21\xF9\x04\x01\x00\x00\x00\x00"
    return out + b"\x2C" + struct.pack("<HHHHB", 0, 0, width, height, 0) + data


def write(path, width, height, count, fwidth, fheight, data, transparent=False):
    with open(path, "wb") as f:
        f.write(header(width, height))
        f.write(frame(fwidth, fheight, data, transparent) * count)
        f.write(b"\x3B")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "sparse_16384.gif"), 16384, 16384, 8, 16384, 16384, THREE_PIXELS, True)
    write(os.path.join(out, "sparse_honest.gif"), 3, 1, 8, 3, 1, THREE_PIXELS, True)
    write(os.path.join(out, "many_256.gif"), 256, 256, 32766, 256, 256, THREE_PIXELS)
    write(os.path.join(out, "many_honest.gif"), 3, 1, 32766, 3, 1, THREE_PIXELS)
    write(os.path.join(out, "many_32767.gif"), 1, 1, 32767, 1, 1, ONE_PIXEL)


if __name__ == "__main__":
    main()
