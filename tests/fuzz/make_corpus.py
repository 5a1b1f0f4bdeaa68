#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets, byte by byte: corpus/bitmap, corpus/keys,
corpus/png, corpus/palette and corpus/inflate.

Run it again after changing a seed here; it rewrites the folders. Inputs found by fuzzing
(found-*) and pictures written by real encoders (real-*) are added by hand and kept.
"""
import os
import random
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import png_cases  # noqa: E402


def bitmap(width, height, pixels=b"", bits=8, info=40, palette=256, compression=0, offset=None):
    """A bitmap file: 14-byte file header, info header, palette, then `pixels` as they stand.

    An info size of 12 makes the OS/2 core header (16-bit sizes, 3-byte palette entries); other
    sizes below 40 keep the 40-byte header's fields as far as they reach."""
    headers = 14 + info
    entry = 3 if info == 12 else 4
    start = headers + entry * palette
    full = bytearray(max(54, start))
    full[0:2] = b"BM"
    struct.pack_into("<I", full, 2, start + len(pixels))
    struct.pack_into("<I", full, 10, start if offset is None else offset)
    if info == 12:
        struct.pack_into("<IHHHH", full, 14, info, width, height, 1, bits)
    else:
        struct.pack_into("<IiiHHI", full, 14, info, width, height, 1, bits, compression)
        struct.pack_into("<I", full, 46, palette)
    data = bytearray(start)
    data[:min(headers, 54)] = full[:min(headers, 54)]
    for i in range(palette):  # a grey ramp: the importer never reads it
        data[headers + entry * i: headers + entry * i + 3] = bytes([i % 256] * 3)
    return bytes(data) + bytes(pixels)


def real_picture(name):
    """A picture that a real encoder wrote, kept with the importer's tests."""
    with open(os.path.join(HERE, "..", "picture", "pictures", name + ".bmp"), "rb") as file:
        return file.read()


def rows(width, height, seed):
    """Plain rows padded to 4 bytes, each pixel a different-looking index."""
    pick = random.Random(seed)
    stride = (width + 3) // 4 * 4
    out = bytearray()
    for _ in range(height):
        out += bytes(pick.randrange(256) for _ in range(width))
        out += b"\xee" * (stride - width)
    return bytes(out)


def rle(width, height, codes, palette=4):
    return bitmap(width, height, bytes(codes), compression=1, palette=palette)


def with_byte(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1:]


FOUR_BY_TWO = bytes([1, 2, 3, 4, 5, 6, 7, 8])

BITMAPS = {
    # Accepted
    "plain-4x2.bmp": bitmap(4, 2, FOUR_BY_TWO),
    "plain-33x17-random.bmp": bitmap(33, 17, rows(33, 17, 1), palette=16),
    "padded-rows-3x2.bmp": bitmap(3, 2, bytes([1, 2, 3, 0xEE, 4, 5, 6, 0xEE]), palette=4),
    "padded-last-row-unpadded-3x2.bmp": bitmap(3, 2, bytes([1, 2, 3, 0xEE, 4, 5, 6]), palette=4),
    "top-down-4x2.bmp": bitmap(4, -2, FOUR_BY_TWO, palette=4),
    "top-down-5x3.bmp": bitmap(5, -3, rows(5, 3, 2), palette=2),
    "palette-16.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=16),
    "palette-none.bmp": bitmap(2, 2, bytes([9, 8, 0, 0, 7, 6, 0, 0]), palette=0),
    "header-108.bmp": bitmap(4, 2, FOUR_BY_TWO, info=108, palette=4),
    "header-124.bmp": bitmap(4, 2, FOUR_BY_TWO, info=124, palette=4),
    "gap-before-pixels.bmp": bitmap(4, 2, b"\x09\x09\x09" + FOUR_BY_TWO, palette=4,
                                    offset=14 + 40 + 16 + 3),
    "width-zero.bmp": bitmap(0, 5, palette=2),
    "height-zero.bmp": bitmap(7, 0, palette=2),
    "one-pixel.bmp": bitmap(1, 1, b"\x2a", palette=2),
    "byte-after-bit-count-set.bmp": with_byte(bitmap(4, 2, FOUR_BY_TWO, palette=4), 29, 0x7F),
    # Bottom row: run 2 x 7, odd literal 1 2 3 and its pad, end of line. Next: move right 1,
    # run 1 x 9, even literal 4 5 6 7 ... end of line; top row untouched; end of picture.
    "rle8-runs-literals-moves.bmp": rle(8, 3, [2, 7, 0, 3, 1, 2, 3, 0xAA, 0, 0,
                                               0, 2, 1, 0, 1, 9, 0, 4, 4, 5, 6, 7, 0, 0,
                                               0, 1]),
    "rle8-move-across-rows.bmp": rle(6, 4, [3, 1, 0, 2, 2, 2, 1, 5, 0, 0, 6, 3, 0, 1]),
    "rle8-no-end-mark.bmp": rle(4, 2, [4, 5, 0, 0, 2, 6]),
    "rle8-cut-in-literal.bmp": rle(6, 2, [0, 5, 1, 2]),
    "rle8-cut-in-move.bmp": rle(6, 2, [2, 1, 0, 2, 1]),
    "rle8-end-of-lines-past-top.bmp": rle(2, 2, [0, 0, 0, 0, 0, 0, 0, 0, 0, 1]),
    "rle8-at-claim-bound.bmp": rle(256, 258, [0, 1], palette=0),  # 65536 + 256 x 2 pixels
    # Lenient RLE8: what falls outside the picture is dropped.
    "rle8-run-past-row.bmp": rle(2, 2, [3, 1, 0, 1]),
    "rle8-run-past-row-after-run.bmp": rle(4, 2, [3, 1, 2, 1, 0, 1]),
    "rle8-literal-past-row.bmp": rle(2, 2, [0, 3, 1, 2, 3, 0, 0, 0, 2, 4, 0, 1]),
    "rle8-move-past-row.bmp": rle(2, 2, [0, 2, 3, 0, 0, 1]),
    "rle8-move-to-row-end.bmp": rle(2, 2, [1, 5, 0, 2, 1, 0, 1, 6, 0, 0, 1, 7, 0, 1]),
    "rle8-move-past-picture.bmp": rle(2, 2, [0, 2, 0, 2, 0, 1]),
    "rle8-run-past-picture.bmp": rle(2, 2, [0, 0, 0, 0, 1, 1, 0, 1]),
    "rle8-literal-past-picture.bmp": rle(4, 1, [0, 0, 0, 3, 1, 2, 3, 0, 0, 1]),
    # ImageMagick's RLE8, every row coded out to its padded width.
    **{f"rle8-imagemagick-width-{w}.bmp": real_picture(f"rle8-width-{w}")
       for w in (1, 2, 3, 5, 6, 7, 9)},
    "rle8-imagemagick-flat-rows.bmp": real_picture("rle8-flat-rows-259x40"),
    # OS/2 headers: the 12-byte core header from real writers and by hand, and 2.x headers.
    "os2-core-imagemagick.bmp": real_picture("os2-core-imagemagick"),
    "os2-core-netpbm.bmp": real_picture("os2-core-netpbm"),
    "os2-core-3x2.bmp": bitmap(3, 2, bytes([1, 2, 3, 0xEE, 4, 5, 6, 0xEE]), info=12, palette=4),
    "os2-core-wide.bmp": bitmap(258, 1, bytes(range(256)) + b"\x01\x02\xee\xee", info=12,
                                palette=2),
    "os2-v2-header-16.bmp": bitmap(4, 2, FOUR_BY_TWO, info=16, palette=4),
    "os2-v2-header-24.bmp": bitmap(4, 2, FOUR_BY_TWO, info=24, palette=4),
    "os2-v2-header-64-rle8.bmp": bitmap(4, 2, bytes([4, 1, 0, 0, 2, 2, 2, 3, 0, 1]), info=64,
                                        palette=4, compression=1),
    "rle8-width-zero.bmp": rle(0, 3, [3, 1, 0, 3, 1, 2, 3, 0, 0, 2, 1, 0, 2, 1]),
    "rle8-long-runs.bmp": rle(255, 3, [255, 1, 0, 0, 200, 2, 55, 3, 0, 0, 255, 4, 0, 1], 2),
    # Refused
    "refused-empty.bmp": b"",
    "refused-only-type.bmp": b"BM",
    "refused-not-bm.bmp": with_byte(bitmap(4, 2, FOUR_BY_TWO, palette=4), 1, ord("A")),
    "refused-24-bits.bmp": bitmap(4, 2, FOUR_BY_TWO * 3, bits=24, palette=0),
    "four-bits-8x2.bmp": bitmap(8, 2, FOUR_BY_TWO, bits=4, palette=16),
    "one-bit-9x2.bmp": bitmap(9, 2, b"\xAA\x80\0\0\x55\x00\0\0", bits=1, palette=2),
    "rle4-runs-literals-moves.bmp": bitmap(
        5, 3, bytes([3, 0x12, 0, 3, 0x45, 0x60, 0, 0, 4, 0x9A, 0, 2, 1, 1, 2, 0xFF, 0, 1]),
        bits=4, palette=16, compression=2),
    "rle4-odd-literal-past-row.bmp": bitmap(
        3, 2, bytes([0, 5, 0x12, 0x34, 0x50, 0, 0, 0, 7, 0xAB, 0, 0]), bits=4, palette=16,
        compression=2),
    "refused-rle4-at-8-bits.bmp": bitmap(4, 2, bytes([4, 1, 0, 1]), compression=2),
    "refused-2-bits.bmp": bitmap(16, 2, FOUR_BY_TWO, bits=2, palette=4),
    "refused-short-before-bit-count.bmp": bitmap(4, 2, FOUR_BY_TWO)[:28],
    "refused-short-header.bmp": bitmap(4, 2, FOUR_BY_TWO)[:50],
    "refused-info-header-11.bmp": with_byte(bitmap(4, 2, FOUR_BY_TWO, palette=4), 14, 11),
    "refused-info-header-15.bmp": with_byte(bitmap(4, 2, FOUR_BY_TWO, palette=4), 14, 15),
    "os2-core-four-bits-8x2.bmp": bitmap(8, 2, FOUR_BY_TWO, bits=4, info=12, palette=16),
    "refused-os2-core-16-bits.bmp": bitmap(4, 2, FOUR_BY_TWO, bits=16, info=12, palette=0),
    "refused-os2-core-short.bmp": bitmap(4, 2, FOUR_BY_TWO, info=12, palette=4)[:24],
    "refused-os2-v2-short.bmp": bitmap(4, 2, FOUR_BY_TWO, info=24, palette=4)[:34],
    "refused-compression-2.bmp": bitmap(4, 2, FOUR_BY_TWO, compression=2, palette=4),
    "refused-compression-3.bmp": bitmap(4, 2, FOUR_BY_TWO, compression=3, palette=4),
    "refused-short-pixel-area.bmp": bitmap(4, 2, FOUR_BY_TWO[:7], palette=4),
    "refused-short-padded-area.bmp": bitmap(3, 2, bytes([1, 2, 3, 0xEE, 4, 5]), palette=4),
    "refused-huge-in-tiny-file.bmp": bitmap(100000, 100000, bytes(64), palette=0),
    "refused-tall-in-tiny-file.bmp": bitmap(1, 1000000000, bytes(16), palette=0),
    "refused-width-x-height-past-32-bits.bmp": bitmap(65536, 65536, FOUR_BY_TWO, palette=0),
    "refused-capacity-past-32-bits.bmp": bitmap(2126221422, 1, FOUR_BY_TWO, palette=0),
    "refused-negative-width.bmp": bitmap(-4, 2, FOUR_BY_TWO, palette=4),
    "refused-smallest-height.bmp": bitmap(4, -2147483648, FOUR_BY_TWO, palette=0),
    "refused-offset-inside-file-header.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=4, offset=10),
    "refused-offset-inside-info-header.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=4, offset=50),
    "refused-offset-inside-header-124.bmp": bitmap(4, 2, FOUR_BY_TWO, info=124, palette=0,
                                                   offset=100),
    "refused-offset-past-end.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=4, offset=5000),
    "refused-offset-far-past-end.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=4, offset=0xFFFFFFFF),
    "refused-rle8-top-down.bmp": rle(2, -2, [2, 1, 0, 1]),
    "refused-rle8-huge-in-tiny-file.bmp": rle(46000, 46000, [0, 1]),
    "refused-rle8-past-claim-bound.bmp": rle(256, 259, [0, 1], palette=0),
    # A megabyte of ends of line claiming 46000 x 46000 pixels.
    "refused-rle8-bomb-46000x46000.bmp": rle(46000, 46000, bytes(1100000), palette=0),
    "refused-no-pixels-offset-past-end.bmp": bitmap(0, 2, palette=256, offset=1079),
    "refused-huge-in-small-file-32-bits.bmp": bitmap(30000, 30000, bytes(900), palette=0),
}

ESC = b"\x1b"


def silence(ms):
    """A pause of ms between bytes (255: as long as an int allows)."""
    return bytes([0xFE, ms])


def literal(byte):
    return bytes([0xFF, byte])


def csi(text):
    return ESC + b"[" + text


KEYS = {
    "arrows": csi(b"A") + csi(b"B") + csi(b"C") + csi(b"D"),
    "arrows-application-mode": ESC + b"OA" + ESC + b"OB" + ESC + b"OC" + ESC + b"OD",
    "home-end": csi(b"H") + csi(b"F") + ESC + b"OH" + ESC + b"OF" + csi(b"1~") + csi(b"4~")
    + csi(b"7~") + csi(b"8~"),
    "editing-keys": csi(b"2~") + csi(b"3~") + csi(b"5~") + csi(b"6~"),
    "f1-f12": ESC + b"OP" + ESC + b"OQ" + ESC + b"OR" + ESC + b"OS" + csi(b"15~") + csi(b"17~")
    + csi(b"18~") + csi(b"19~") + csi(b"20~") + csi(b"21~") + csi(b"23~") + csi(b"24~"),
    "f1-f5-linux-console": csi(b"[A") + csi(b"[B") + csi(b"[C") + csi(b"[D") + csi(b"[E"),
    "f1-f4-vt220": csi(b"11~") + csi(b"12~") + csi(b"13~") + csi(b"14~"),
    "unused-tilde-numbers": csi(b"16~") + csi(b"22~") + csi(b"99~") + csi(b"~") + csi(b"9999999~"),
    "modified-keys": csi(b"1;5A") + csi(b"5;5~") + csi(b"1;2H") + csi(b";5A"),
    "keypad-enter": ESC + b"OM",
    "lone-esc": ESC + silence(50) + b"a",
    "esc-silences-adding-up": ESC + silence(30) + silence(19) + silence(1) + b"b",
    "esc-silence-one-short": ESC + silence(49) + b"[A",
    "esc-longest-silence": ESC + silence(255) + ESC + b"[" + silence(255),
    "typed-esc-bracket": ESC + b"[" + silence(60) + ESC + b"O" + silence(60) + b"x",
    "split-sequence": ESC + silence(20) + b"[" + silence(20) + b"1" + silence(20) + b"~",
    "sequence-cut-by-silence": csi(b"12") + silence(50) + b"~",
    "esc-esc": ESC + ESC + b"[A" + ESC + ESC + silence(50),
    "over-long-csi": csi(b"1" * 40 + b"~") + b"z",
    "over-long-csi-cut-by-enter": csi(b"2" * 20) + b"\r" + b"q",
    "at-parameter-cap": csi(b"1" * 15 + b"~") + csi(b"1" * 16 + b"~") + csi(b"1" * 17 + b"~"),
    "csi-cut-by-enter": csi(b"1") + b"\r" + csi(b"") + b"\n" + ESC + b"O\r",
    "csi-cut-by-control-bytes": csi(b"3") + b"\x7f" + csi(b"") + b"\x00" + ESC + b"O\x08",
    "csi-intermediate-bytes": csi(b"1 q") + csi(b"!p") + b"k",
    "terminal-replies": csi(b"?1;2c") + csi(b"12;40R") + csi(b">0;136;0c") + csi(b"<0;5;5M"),
    "linux-console-oddities": csi(b"[F") + csi(b"[") + b"\r" + csi(b"[") + silence(50),
    "utf8": "é ü € ☃ 😀 à".encode("utf-8") + b"\r",
    "utf8-inside-sequences": ESC + "é".encode() + csi(b"1") + "€".encode() + ESC + b"O\xe0\xa4",
    "raw-prefix-bytes": b"\x00a\xe0b" + literal(0xFE) + literal(0xFF) + b"\xe0",
    "plain-text-and-enter": b"Episode 1\r\n\t\b\x7f",
    "esc-at-end": b"abc" + ESC,
    "silence-marks-at-end": b"a\xfe",
}


def write_folder(name, files):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        if old not in files and not old.startswith(("found-", "real-")):
            os.remove(os.path.join(folder, old))
    for file_name, data in files.items():
        with open(os.path.join(folder, file_name), "wb") as out:
            out.write(data)


def pngs():
    files = dict(png_cases.bad_pngs())
    files.update({name: data for name, (data, _) in png_cases.good_pngs().items()})
    rows = b"".join(b"\0" + bytes((x * 9 + y * 4 + c) % 256 for x in range(5) for c in range(4))
                    for y in range(3))
    files["rgba-5x3.png"] = (b"\x89PNG\r\n\x1a\n" +
                             png_cases.chunk(b"IHDR", png_cases.header(5, 3, 8, 6)) +
                             png_cases.chunk(b"IDAT", zlib.compress(rows)) +
                             png_cases.chunk(b"IEND", b""))
    # Each compressed side chunk, small, so that the fuzzer starts inside their measuring.
    small = png_cases.good_pngs()["good-4-bits.png"][0]
    files["side-chunks.png"] = png_cases.with_side_chunks(
        small, [png_cases.side_chunk(kind, 300) for kind in (b"zTXt", b"iTXt", b"iCCP")])
    return files


def inflate_streams():
    """The first byte picks the size of the pieces the rest is given in."""
    rows = b"".join(bytes([y % 5]) + bytes((x * 7 + y * 3 + (x * y) % 11) % 256 for x in range(97))
                    for y in range(60))

    def stream(data, level, window=15):
        packer = zlib.compressobj(level, zlib.DEFLATED, window)
        return packer.compress(data) + packer.flush()

    good = stream(rows, 9)
    return {
        "rows-level-9-whole": bytes([7]) + good,
        "rows-level-9-bytes": bytes([0]) + good,
        "rows-stored": bytes([4]) + stream(rows, 0),
        "rows-level-1-window-512": bytes([5]) + stream(rows, 1, 9),
        "flat-run": bytes([6]) + stream(bytes(100000), 9),
        "empty": bytes([1]) + stream(b"", 9),
        "cut": bytes([3]) + good[:len(good) // 2],
        "bad-adler": bytes([7]) + good[:-1] + bytes([good[-1] ^ 1]),
        "dictionary-asked": bytes([2]) + b"\x78\x3f" + good[2:],
        "dynamic-header-cut": bytes([7]) + b"\x78\x9c\x24\x01\x00\x00\x02\x9c",
    }


def png_indexed_with_side_chunks():
    data, _ = png_cases.indexed_png(5, 3, 8)
    plte_end = data.index(b"PLTE") - 4 + 12 + 3 * 256
    return (data[:plte_end] + png_cases.chunk(b"tRNS", bytes([0, 128])) +
            png_cases.chunk(b"tEXt", b"Title\0seed") + data[plte_end:])


def palettes():
    colours = [((i * 37) % 256, (i * 91) % 256, (i * 13) % 256) for i in range(16)]
    table = bytes(v for c in colours for v in c) + bytes(768 - 48)
    entries = b"".join(bytes(c) + b"\0" for c in colours)
    data = b"data" + struct.pack("<IHH", 4 + len(entries), 0x300, 16) + entries
    return {
        "jasc-crlf.pal": b"JASC-PAL\r\n0100\r\n16\r\n" +
                         b"".join(b"%d %d %d\r\n" % c for c in colours),
        "gimp-names.gpl": b"GIMP Palette\nName: seeds\nColumns: 4\n# a comment\n" +
                          b"".join(b"%3d\t%3d %3d\tcolour %d\n" % (*c, i)
                                   for i, c in enumerate(colours)),
        "table.act": table,
        "table-counted.act": table + struct.pack(">HH", 16, 0xFFFF),
        "vga-6-bit.pal": bytes(v % 64 for v in table),
        "riff.pal": b"RIFF" + struct.pack("<I", 4 + len(data)) + b"PAL " + data,
        "bitmap-16-colours.bmp": bitmap(4, 2, FOUR_BY_TWO, palette=16),
        "png-indexed.png": png_cases.good_pngs()["good-4-bits.png"][0],
        # An 8-bit indexed PNG with a transparency chunk and a text chunk before its image data.
        "png-indexed-8-side-chunks.png": png_indexed_with_side_chunks(),
        "gimp-marked-crlf.gpl": b"\xef\xbb\xbfGIMP Palette\r\nName: marked\r\n" +
                                b"".join(b"%d %d %d\r\n" % c for c in colours[:4]),
        "refused-empty.gpl": b"GIMP Palette\n",
        "refused-jasc-count.pal": b"JASC-PAL\r\n0100\r\n9999\r\n1 2 3\r\n",
        "refused-jasc-300.pal": b"JASC-PAL\r\n0100\r\n1\r\n1 2 300\r\n",
        "refused-text.txt": b"no colours here\n",
    }


def main():
    write_folder("bitmap", BITMAPS)
    write_folder("keys", KEYS)
    write_folder("png", pngs())
    write_folder("palette", palettes())
    write_folder("inflate", inflate_streams())
    print(f"{len(BITMAPS)} bitmaps, {len(KEYS)} key streams, PNG and palette seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
