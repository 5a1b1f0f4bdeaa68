#!/usr/bin/python3
"""Writes the real-encoder pictures of the import tests, each beside the indices it must give.

Run with Debian's /usr/bin/python3 (it has Pillow); needs ImageMagick's convert and netpbm.
For every NAME.bmp it writes NAME.indices: the palette indices, top row first, as Pillow reads
them, checked against a second reading: ImageMagick's own uncompressed copy of the same picture.
Pictures with RLE8 moves or an early end are not made here (encoders do not write them); the
tests build those byte by byte.
"""
import os
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
CONVERT = "/usr/bin/convert"


def run(*args, **kwargs):
    subprocess.run(args, cwd=HERE, check=True, **kwargs)


def plain_indices(path):
    """Indices of an uncompressed 8-bit bitmap with a 40-byte header, top row first."""
    with open(path, "rb") as file:
        data = file.read()
    offset, info = struct.unpack_from("<II", data, 10)
    width, height, _, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    assert info == 40 and bits == 8 and compression == 0, path
    stride = (width + 3) // 4 * 4
    rows = [data[offset + r * stride: offset + r * stride + width] for r in range(abs(height))]
    if height > 0:
        rows.reverse()
    return b"".join(rows)


def header_of(path):
    with open(os.path.join(HERE, path), "rb") as file:
        data = file.read(34)
    info, = struct.unpack_from("<I", data, 14)
    if info == 12:
        return info, data[24], 0
    return info, data[28], struct.unpack_from("<I", data, 30)[0]


def make(name, source, expected_header, writer="BMP3"):
    """Writes NAME.bmp from `source` (convert arguments) and NAME.indices beside it.

    The picture is first written uncompressed, and the tested one is made from that copy, so the
    indices have two independent readings that must agree: Pillow's reading of the tested file
    and the plain rows of the uncompressed one.
    """
    path = os.path.join(HERE, name + ".bmp")
    plain = os.path.join(HERE, name + ".plain.tmp")
    try:
        run(CONVERT, *source, "-type", "Palette", "-compress", "none", "BMP3:" + plain)
        run(CONVERT, plain, "-type", "Palette", f"{writer}:{path}")
        expected = plain_indices(plain)
    finally:
        if os.path.exists(plain):
            os.remove(plain)
    write_indices(name, expected_header, expected)


def write_indices(name, expected_header, expected):
    path = os.path.join(HERE, name + ".bmp")
    assert header_of(path) == expected_header, (name, header_of(path))
    image = Image.open(path)
    assert image.mode == "P", name
    assert image.tobytes() == expected, name + ": the two readings differ"
    with open(os.path.join(HERE, name + ".indices"), "wb") as out:
        out.write(expected)
    print(f"{name}: {image.size[0]} x {image.size[1]}")


def main():
    rle8 = (40, 8, 1)
    # ImageMagick writes RLE8 by default for an 8-bit BMP3; each row is coded out to its padded
    # width, so every width that is not a multiple of 4 has runs past the row's end.
    for seed, width in enumerate([1, 2, 3, 5, 6, 7, 9], start=11):
        make(f"rle8-width-{width}", ["-seed", str(seed), "-size", f"{width}x24", "plasma:fractal",
                                     "-colors", "256"], rle8)
    # A photograph (70 x 46), and long flat rows that need more than one run each.
    make("rle8-photo-70x46", ["rose:", "-colors", "256"], rle8)
    make("rle8-flat-rows-259x40", ["-size", "259x40", "gradient:navy-orange", "-colors", "256"],
         rle8)
    # OS/2 core headers (12 bytes, 3-byte palette entries) from both writers that make them.
    os2 = (12, 8, 0)
    make("os2-core-imagemagick", ["rose:", "-colors", "256"], os2, writer="BMP2")
    ppm = subprocess.run([CONVERT, "-seed", "5", "-size", "37x13", "plasma:fractal", "-colors",
                          "200", "ppm:-"], check=True, capture_output=True).stdout
    with open(os.path.join(HERE, "os2-core-netpbm.bmp"), "wb") as out:
        out.write(subprocess.run(["ppmtobmp", "-os2", "-bpp", "8"], input=ppm, check=True,
                                 capture_output=True).stdout)
    # netpbm orders the palette its own way, so Pillow's is the only reading of this one.
    netpbm = Image.open(os.path.join(HERE, "os2-core-netpbm.bmp"))
    write_indices("os2-core-netpbm", os2, netpbm.tobytes())
    return 0


if __name__ == "__main__":
    sys.exit(main())
