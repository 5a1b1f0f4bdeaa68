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


class Bits:
    """Deflate's bits: values least significant bit first, Huffman codes most significant first."""

    def __init__(self):
        self.bits = []

    def value(self, v, count):
        self.bits += [(v >> i) & 1 for i in range(count)]

    def code(self, c, length):
        self.bits += [(c >> i) & 1 for i in reversed(range(length))]

    def bytes(self):
        bits = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(sum(bits[i + j] << j for j in range(8)) for i in range(0, len(bits), 8))


def incomplete_code_block(literals):
    """A last block with its own codes carrying literals 0, 1 and 7; its one distance code has two
    bits, an incomplete code, which zlib refuses and faster inflaters may read on through."""
    out = Bits()
    out.value(1, 1)
    out.value(2, 2)
    out.value(0, 5)   # 257 literal/length codes
    out.value(0, 5)   # 1 distance code
    out.value(12, 4)  # 16 code length codes: 2 -> "0", 17 -> "10", 18 -> "11"
    for symbol in (16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2):
        out.value({2: 1, 17: 2, 18: 2}.get(symbol, 0), 3)
    out.code(0, 1)    # 0 and 1: two bits
    out.code(0, 1)
    out.code(2, 2)    # 2 to 6: none
    out.value(2, 3)
    out.code(0, 1)    # 7: two bits
    out.code(3, 2)    # 8 to 255: none
    out.value(127, 7)
    out.code(3, 2)
    out.value(99, 7)
    out.code(0, 1)    # 256, the end of the block: two bits
    out.code(0, 1)    # the one distance code: two bits
    for literal in literals:
        out.code({0: 0, 1: 1, 7: 2}[literal], 2)
    out.code(3, 2)
    return out.bytes()


def with_incomplete_code(ihdr, plte, stored, literals):
    """Image data of `stored` bytes in a stored block, then `literals` in a block zlib refuses."""
    stream = b"\x78\x01\x00" + struct.pack("<HH", len(stored), len(stored) ^ 0xFFFF) + stored
    stream += incomplete_code_block(literals)
    stream += struct.pack(">I", zlib.adler32(stored + bytes(literals)))
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
    if plte:
        data += chunk(b"PLTE", palette(16))
    return data + chunk(b"IDAT", stream) + chunk(b"IEND", b"")


SIDE_CHUNK_LIMIT = 1 << 20  # what one text or profile chunk may inflate to (8 MiB all of them)


def side_chunk(kind, inflated):
    """A zTXt, compressed iTXt or iCCP chunk whose body inflates to `inflated` bytes."""
    body = zlib.compress(b"a" * inflated, 9)
    fields = {b"zTXt": b"Comment\0\0", b"iTXt": b"Comment\0\1\0\0\0", b"iCCP": b"profile\0\0"}
    return chunk(kind, fields[kind] + body)


def with_side_chunks(png, chunks):
    """The PNG with the chunks put after its header (IHDR ends at byte 33)."""
    return png[:33] + b"".join(chunks) + png[33:]


def bad_pngs():
    """name -> bytes; each is refused in the same words on every platform."""
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
    # A block whose Huffman code is incomplete: after every row, before a row with a bad filter
    # byte, before rows that never come; and in a grey picture, refused without a palette.
    indexed = header(13, 9, 4, 3)
    last_row_at = len(rows) - 8
    cases.update({
        "bad-incomplete-code-at-the-end.png": with_incomplete_code(indexed, True, rows, []),
        "bad-incomplete-code-then-bad-filter.png":
            with_incomplete_code(indexed, True, rows[:last_row_at], [7] + [0] * 7),
        "bad-incomplete-code-then-rows-missing.png":
            with_incomplete_code(indexed, True, rows[:last_row_at], []),
        "bad-incomplete-code-grey.png": with_incomplete_code(
            header(5, 3, 8, 0), False, bytes([0, 0, 1, 0, 1, 1] * 3), []),
    })
    # Text and profile chunks a byte past their bound, and nine at it, past the bound of all:
    # refused alike whether the decoder reads such chunks or not.
    cases.update({
        f"bad-{kind.decode().lower()}-past-its-bound.png":
            with_side_chunks(good, [side_chunk(kind, SIDE_CHUNK_LIMIT + 1)])
        for kind in (b"zTXt", b"iTXt", b"iCCP")})
    cases["bad-side-chunks-past-their-bound.png"] = with_side_chunks(
        good, [side_chunk(b"zTXt", SIDE_CHUNK_LIMIT)] * 9)
    return cases


def good_pngs():
    """name -> (bytes, indices top row first), indexed at every depth, widths not a multiple of 4."""
    pngs = {f"good-{depth}-bits.png": indexed_png(width, 7, depth)
            for depth, width in ((1, 13), (2, 6), (4, 9), (8, 21))}
    # Each kind of compressed side chunk at its bound, eight of them in all: read.
    data, indices = indexed_png(9, 7, 4)
    pngs["good-side-chunks-at-their-bound.png"] = (with_side_chunks(
        data, [side_chunk(b"iCCP", SIDE_CHUNK_LIMIT), side_chunk(b"iTXt", SIDE_CHUNK_LIMIT)] +
        [side_chunk(b"zTXt", SIDE_CHUNK_LIMIT)] * 6), indices)
    return pngs


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
