#!/usr/bin/env python3
"""Writes the project's own firmware image, byte for byte the same on every run.

The image is a test pattern for the upgrader, the simulated controller and the
benchmarks, not a program for the real controller:

  offset 0       16-byte ident "ORVA-TESTIMAGE01"
  offset 16      every byte value once, 0x00 to 0xff (the frame delimiters
                 0x02 and 0x03 among them, so payloads carry them unescaped)
  offset 272     pseudo-random bytes (xorshift32, fixed seed), with a 256-byte
                 run of 0xff every 16 KiB, like erased gaps in a real image
  last 4 bytes   CRC-32 (zlib's) of everything before it, little-endian

Usage: make-image.py OUTPUT [SIZE]   (SIZE defaults to 180036)
"""
import sys
import zlib

IDENT = b"ORVA-TESTIMAGE01"
SEED = 0x4F525641  # "ORVA"
GAP_EVERY = 16384
GAP_SIZE = 256


def xorshift32(state):
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state & 0xFF


def make_image(size):
    if size < len(IDENT) + 256 + 4:
        raise ValueError("image too small for its fixed parts")
    body = bytearray(IDENT)
    body += bytes(range(256))
    rnd = xorshift32(SEED)
    while len(body) < size - 4:
        offset = len(body)
        if offset % GAP_EVERY < GAP_SIZE and offset >= GAP_EVERY:
            body.append(0xFF)
        else:
            body.append(next(rnd))
    return bytes(body) + zlib.crc32(body).to_bytes(4, "little")


def main():
    if len(sys.argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    size = int(sys.argv[2], 0) if len(sys.argv) == 3 else 180036
    with open(sys.argv[1], "wb") as out:
        out.write(make_image(size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
