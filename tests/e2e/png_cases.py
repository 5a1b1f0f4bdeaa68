#!/usr/bin/env python3
"""PNG files written byte by byte: sound ones to damage, and the damaged ones every platform
must refuse in the same way. Only the standard library, so windows-check can use it too.

Usage: png_cases.py FOLDER   writes good-*.png and bad-*.png there.
"""
import os
import struct
import sys
import zlib


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def header(width, height, depth, colour_type, interlace=0):
    return struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, interlace)


def indexed_rows(width, height, depth, seed=3):
    """Rows of packed indices (1, 2, 4 or 8 bits), each after filter byte 0, and the indices."""
    most = 1 << depth
    indices = [[(x * 7 + y * 3 + seed + (x * y) % 5) % most for x in range(width)]
               for y in range(height)]
    raw = bytearray()
    for row in indices:
        raw.append(0)
        bits = 0
        count = 0
        for index in row:
            bits = bits << depth | index
            count += depth
            if count == 8:
                raw.append(bits)
                bits = count = 0
        if count:
            raw.append(bits << (8 - count))
    return bytes(raw), indices


def palette(entries):
    return bytes((i * 37 + c * 91) % 256 for i in range(entries) for c in range(3))


def indexed_png(width, height, depth, plte=True, raw=None, ihdr=None):
    rows, indices = indexed_rows(width, height, depth)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr or header(width, height, depth, 3))
    if plte:
        data += chunk(b"PLTE", palette(1 << depth))
    data += chunk(b"IDAT", zlib.compress(rows if raw is None else raw, 9)) + chunk(b"IEND", b"")
    return data, indices


def with_byte(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1:]


def bad_pngs():
    """name -> bytes; each is refused before any decoder sees it."""
    good, _ = indexed_png(13, 9, 4)
    rows, _ = indexed_rows(13, 9, 4)
    idat_at = good.index(b"IDAT") - 4
    cases = {
        "bad-crc.png": with_byte(good, 30, good[30] ^ 0x01),  # a byte of IHDR's checksum
        "bad-crc-in-image-data.png": with_byte(good, idat_at + 12, good[idat_at + 12] ^ 0x40),
        "cut.png": good[:len(good) - 20],
        "cut-before-end-chunk.png": good[:len(good) - 12],
        "short-image-data.png": indexed_png(13, 9, 4, raw=rows[:len(rows) - 8])[0],
        "huge-claim.png": indexed_png(13, 9, 4, ihdr=header(40000, 40000, 8, 3))[0],
        "claim-past-32-bits.png": indexed_png(13, 9, 4, ihdr=header(100000, 100000, 8, 3))[0],
        "zero-width.png": indexed_png(13, 9, 4, ihdr=header(0, 9, 4, 3))[0],
        "indexed-without-palette.png": indexed_png(13, 9, 4, plte=False)[0],
        "bad-filter-byte.png": indexed_png(13, 9, 4, raw=bytes([7]) + rows[1:])[0],
        "bit-depth-3.png": indexed_png(13, 9, 4, ihdr=header(13, 9, 3, 3))[0],
        "rgb-of-4-bits.png": indexed_png(13, 9, 4, ihdr=header(13, 9, 4, 2))[0],
        "not-deflate.png": good[:idat_at] + chunk(b"IDAT", b"\x78\x9c\xff\xff\xff\xff") +
                           chunk(b"IEND", b""),
    }
    return cases


def good_pngs():
    """name -> (bytes, indices top row first), indexed at every depth, widths not a multiple of 4."""
    return {f"good-{depth}-bits.png": indexed_png(width, 7, depth)
            for depth, width in ((1, 13), (2, 6), (4, 9), (8, 21))}


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in bad_pngs().items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    for name, (data, _) in good_pngs().items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
