#!/usr/bin/env python3
"""The real divovod run from scripts: build, show and extract, with pictures from real encoders.

Usage: command_line_test.py PATH_TO_DIVOVOD
Needs ImageMagick's convert, netpbm (pnmquant, ppmtobmp) and Pillow under Debian's /usr/bin/python3.
Every run has no terminal (its own session, standard input from /dev/null) and a time limit.
"""
import json
import re
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

PROGRAM = None
CONVERT = shutil.which("convert-im6.q16") or "/usr/bin/convert"
DEBIAN_PYTHON = "/usr/bin/python3"  # the python3 that has Pillow


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def run(*args, cwd):
    """The program with no terminal at all, as make or CI would run it."""
    return subprocess.run([PROGRAM, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60, start_new_session=True)


# --- pictures from three encoders -------------------------------------------------------------

# How a picture is stored: rows as they are with the 40-byte header, RLE8-compressed, or rows as
# they are with the 12-byte OS/2 core header (16-bit sizes, 3-byte palette entries).
PLAIN, RLE8, OS2 = "plain", "rle8", "os2"


def imagemagick(folder, name, width, height, seed, kind=PLAIN):
    subprocess.run([CONVERT, "-seed", str(seed), "-size", f"{width}x{height}", "plasma:fractal",
                    "-colors", "200", "-type", "Palette",
                    "-compress", "RLE" if kind == RLE8 else "none",
                    f"{'BMP2' if kind == OS2 else 'BMP3'}:{name}"],
                   cwd=folder, check=True, timeout=60)


def netpbm(folder, name, width, height, seed, kind=PLAIN):
    """A PPM pattern written here, cut to 180 colours by pnmquant, an 8-bit BMP by ppmtobmp."""
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            pixels += bytes(((x * 7 + seed) % 256, (y * 11) % 256, ((x ^ y) * 5) % 256))
    ppm = b"P6\n%d %d\n255\n" % (width, height) + bytes(pixels)
    quantized = subprocess.run(["pnmquant", "180"], input=ppm, capture_output=True, check=True,
                               timeout=60).stdout
    bmp = subprocess.run(["ppmtobmp", "-os2" if kind == OS2 else "-windows", "-bpp=8"],
                         input=quantized, capture_output=True, check=True, timeout=60).stdout
    write(os.path.join(folder, name), bmp)


def pillow(folder, name, width, height, seed, kind=PLAIN):
    assert kind == PLAIN, "Pillow writes neither RLE8 nor OS/2 bitmaps"
    script = (
        "import sys\nfrom PIL import Image\n"
        "w, h, seed, path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]\n"
        "image = Image.new('P', (w, h))\n"
        "image.putpalette([(i * 3 + c * 40) % 256 for i in range(256) for c in range(3)])\n"
        "image.putdata([(x * 13 + y * 7 + seed + (x * y) % 5) % 256 "
        "for y in range(h) for x in range(w)])\n"
        "image.save(path, 'BMP')\n")
    subprocess.run([DEBIAN_PYTHON, "-c", script, str(width), str(height), str(seed),
                    os.path.join(folder, name)], check=True, timeout=60)


def bmp_fields(data):
    offset, info = struct.unpack_from("<II", data, 10)
    if info == 12:
        width, height, planes, bits = struct.unpack_from("<HHHH", data, 18)
        return offset, info, width, height, bits, 0
    info, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", data, 14)
    return offset, info, width, height, bits, compression


def palette_of(data):
    """The palette entries an 8-bit bitmap lists, as 4-byte entries."""
    offset, info, *_ = bmp_fields(data)
    if info == 12:
        core = data[26:offset]
        return b"".join(core[i:i + 3] + b"\0" for i in range(0, len(core) - 2, 3))
    colours, = struct.unpack_from("<I", data, 46)
    colours = colours or 256
    return data[14 + info: 14 + info + 4 * colours]


def pillow_indices(path):
    """Palette indices, top row first, as Pillow (an independent reader) sees them."""
    script = ("import sys\nfrom PIL import Image\nimage = Image.open(sys.argv[1])\n"
              # a grey-ramp palette is opened as greys, whose values are then the indices
              "assert image.mode in ('P', 'L'), image.mode\n"
              "sys.stdout.buffer.write(image.tobytes())\n")
    return subprocess.run([DEBIAN_PYTHON, "-c", script, path], capture_output=True, check=True,
                          timeout=60).stdout


def png_chunk(data, kind):
    """The content of the first chunk of that kind in a PNG file."""
    at = 8
    while at + 8 <= len(data):
        length, = struct.unpack_from(">I", data, at)
        if data[at + 4:at + 8] == kind:
            return data[at + 8:at + 8 + length]
        at += 12 + length
    return None


def pillow_png(path):
    """(width, height, indices top row first, palette as 768 RGB bytes) as Pillow reads it."""
    script = ("import sys\nfrom PIL import Image\nimage = Image.open(sys.argv[1])\n"
              "assert image.mode == 'P', image.mode\n"
              "palette = bytes(image.getpalette())\n"
              "sys.stdout.buffer.write(b'%d %d %d ' % (image.width, image.height, len(palette)))\n"
              "sys.stdout.buffer.write(palette + image.tobytes())\n")
    out = subprocess.run([DEBIAN_PYTHON, "-c", script, path], capture_output=True, check=True,
                         timeout=60).stdout
    width, height, colours, rest = out.split(b" ", 3)
    return int(width), int(height), rest[int(colours):], rest[:int(colours)]


# (maker, width, height, kind): every width mod 4 for each encoder and header kind, RLE8 among
# them, and RLE8 pictures one pixel wide.
PICTURE_SETS = {
    "imagemagick plain": [(imagemagick, 37, 23, PLAIN), (imagemagick, 38, 40, PLAIN),
                          (imagemagick, 39, 7, PLAIN)],
    "imagemagick rle8": [(imagemagick, 64, 40, RLE8), (imagemagick, 40, 9, RLE8),
                         (imagemagick, 100, 3, RLE8)],
    "imagemagick rle8 odd widths": [(imagemagick, 37, 23, RLE8), (imagemagick, 38, 40, RLE8),
                                    (imagemagick, 39, 7, RLE8)],
    "imagemagick rle8 one wide": [(imagemagick, 1, 30, RLE8), (imagemagick, 1, 1, RLE8),
                                  (imagemagick, 3, 17, RLE8)],
    "imagemagick mixed": [(imagemagick, 36, 5, PLAIN), (imagemagick, 52, 30, RLE8),
                          (imagemagick, 47, 11, PLAIN)],
    "netpbm": [(netpbm, 31, 12, PLAIN), (netpbm, 50, 20, PLAIN), (netpbm, 33, 3, PLAIN)],
    "pillow": [(pillow, 33, 17, PLAIN), (pillow, 66, 2, PLAIN), (pillow, 100, 25, PLAIN)],
    "os2 core": [(imagemagick, 37, 23, OS2), (netpbm, 38, 12, OS2), (netpbm, 39, 5, OS2)],
    "os2 mixed": [(netpbm, 32, 3, OS2), (imagemagick, 50, 30, RLE8), (netpbm, 1, 9, OS2)],
}


class PictureFolder(unittest.TestCase):
    """A scratch folder, sets of pictures made in it and the build of an episode from them."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def make_set(self, pictures, subfolder):
        os.makedirs(self.path(subfolder), exist_ok=True)
        names = []
        for number, (maker, width, height, kind) in enumerate(pictures):
            name = os.path.join(subfolder, f"picture {number}.bmp")
            maker(self.folder, name, width, height, number + 5, kind)
            offset, info, *fields = bmp_fields(read(self.path(name)))
            self.assertEqual((info == 12, fields[0], abs(fields[1]), fields[2], fields[3]),
                             (kind == OS2, width, height, 8, 1 if kind == RLE8 else 0), name)
            names.append(name)
        return names

    def build(self, names, output, name="Deep Caves", position="-4", level="cave1.lev"):
        return run("build", "--episode-image", names[0], "--title-image", names[1],
                   "--lowtitle-image", names[2], "--position", position, "--name", name,
                   "--start-level", level, "--output", output, cwd=self.folder)

    def assert_done(self, result, lines=1):
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stdout.decode().count("\n"), lines, result.stdout)
        self.assertNotIn(b"\x1b", result.stdout + result.stderr, "escape sequences")


class RoundTripTest(PictureFolder):
    def test_round_trip_is_byte_identical(self):
        for label, pictures in PICTURE_SETS.items():
            with self.subTest(label):
                names = self.make_set(pictures, label)
                first = os.path.join(label, "first.z4k")
                self.assert_done(self.build(names, first))
                title_w, title_h = pictures[1][1], pictures[1][2]
                out = os.path.join(label, "extracted", "ü")  # made by extract, parents too
                self.assert_done(run("extract", first, "--output-dir", out, "--palette", names[0],
                                     "--title-size", f"{title_w}x{title_h}", cwd=self.folder))
                extracted = [os.path.join(out, f"{picture}.bmp")
                             for picture in ("episode", "title", "lowtitle")]
                second = os.path.join(label, "second.z4k")
                self.assert_done(self.build(extracted, second))
                self.assertEqual(read(self.path(first)), read(self.path(second)))
                self.check_extracted(names, extracted, read(self.path(names[0])))

    def test_png_holds_the_stored_indices_and_the_palette(self):
        for label in ("imagemagick plain", "imagemagick rle8 odd widths", "pillow", "os2 core",
                      "imagemagick rle8 one wide"):
            with self.subTest(label):
                pictures = PICTURE_SETS[label]
                names = self.make_set(pictures, label)
                first = os.path.join(label, "first.z4k")
                self.assert_done(self.build(names, first))
                out = os.path.join(label, "png é")
                title_w, title_h = pictures[1][1], pictures[1][2]
                self.assert_done(run("extract", first, "-d", out, "--format", "png", "--palette",
                                     names[0], "--title-size", f"{title_w}x{title_h}",
                                     cwd=self.folder))
                extracted = [os.path.join(out, f"{p}.png") for p in ("episode", "title", "lowtitle")]
                entries = palette_of(read(self.path(names[0])))
                wanted = b"".join(entries[i + 2:i + 3] + entries[i + 1:i + 2] + entries[i:i + 1]
                                  for i in range(0, len(entries), 4)).ljust(768, b"\0")
                for original, picture, (_, width, height, _) in zip(names, extracted, pictures):
                    data = read(self.path(picture))
                    self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
                    self.assertEqual(png_chunk(data, b"IHDR")[8:10], b"\x08\x03",
                                     "8 bits, indexed")
                    self.assertEqual(png_chunk(data, b"PLTE"), wanted, "256 entries, the palette")
                    self.assertEqual(pillow_png(self.path(picture)),
                                     (width, height, pillow_indices(self.path(original)), wanted))
                # Back to an episode file: the same bytes.
                second = os.path.join(label, "second.z4k")
                self.assert_done(self.build(extracted, second))
                self.assertEqual(read(self.path(first)), read(self.path(second)))

    def check_extracted(self, originals, extracted, palette_source):
        """Plain 8-bit bitmaps that an independent reader takes to the original indices."""
        for original, picture in zip(originals, extracted):
            data = read(self.path(picture))
            offset, info, width, height, bits, compression = bmp_fields(data)
            self.assertEqual((offset, info, bits, compression), (1078, 40, 8, 0), picture)
            self.assertGreater(height, 0, "bottom-up rows")
            self.assertEqual(len(data), 1078 + (width + 3) // 4 * 4 * height)
            wanted = palette_of(palette_source)
            self.assertEqual(data[54:54 + len(wanted)], wanted, "the palette given")
            self.assertEqual(pillow_indices(self.path(picture)),
                             pillow_indices(self.path(original)), picture)

    def test_title_size_from_a_matching_picture_and_grey_ramp(self):
        names = self.make_set([(imagemagick, 20, 10, PLAIN), (pillow, 30, 4, PLAIN),
                               (netpbm, 30, 4, PLAIN)], "pics")
        self.assert_done(self.build(names, "e.z4k"))
        self.assert_done(run("extract", "e.z4k", cwd=self.folder))
        title = read(self.path("title.bmp"))
        self.assertEqual(bmp_fields(title)[2:4], (30, 4), "the lowtitle's size")
        self.assertEqual(title[54:54 + 8], bytes([0, 0, 0, 0, 1, 1, 1, 0]), "a grey ramp")
        self.assertEqual(pillow_indices(self.path("title.bmp")),
                         pillow_indices(self.path(names[1])))

        # Existing files stay unless --force; with it they are replaced.
        before = read(self.path("episode.bmp"))
        write(self.path("episode.bmp"), b"keep me")
        result = run("extract", "e.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"episode.bmp: already exists", result.stderr)
        self.assertEqual(read(self.path("episode.bmp")), b"keep me")
        self.assert_done(run("extract", "e.z4k", "--force", cwd=self.folder))
        self.assertEqual(read(self.path("episode.bmp")), before)

        # An output folder that cannot be made: said, and nothing written.
        result = run("extract", "e.z4k", "-d", "episode.bmp/inside", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"episode.bmp/inside: cannot make this folder", result.stderr)

    def test_title_of_no_stored_size_needs_title_size(self):
        names = self.make_set([(imagemagick, 20, 10, PLAIN), (imagemagick, 13, 7, PLAIN),
                               (imagemagick, 8, 8, PLAIN)], "pics")
        self.assert_done(self.build(names, "e.z4k"))
        result = run("extract", "e.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        # 91 pixels: no common screen shape, so the squarest sizes first, wide before tall.
        self.assertEqual(result.stderr, b"divovod: e.z4k: the title's size is not stored, and its "
                         b"91 pixels match neither stored size; give --title-size WxH, one of "
                         b"13x7, 7x13, 91x1, 1x91; nothing written\n")
        self.assertFalse(os.path.exists(self.path("episode.bmp")), "all or nothing")
        names = self.make_set([(imagemagick, 20, 10, PLAIN), (imagemagick, 320, 200, PLAIN),
                               (imagemagick, 8, 8, PLAIN)], "wide")
        self.assert_done(self.build(names, "w.z4k"))
        result = run("extract", "w.z4k", cwd=self.folder)
        self.assertIn(b"64000 pixels match neither stored size; give --title-size WxH, one of "
                      b"320x200, 256x250, 250x256, 200x320, 400x160, 160x400 (40 in all)",
                      result.stderr)
        result = run("extract", "e.z4k", "--title-size", "7x12", "-d", "other", cwd=self.folder)
        self.assertEqual(result.returncode, 1, "7x12 has 84 pixels, the title 91")
        self.assertIn(b"--title-size", result.stderr)


class CommandLineTest(PictureFolder):
    def test_names_with_folders_spaces_and_other_letters(self):
        names = self.make_set(PICTURE_SETS["pillow"], "mes images/été")
        os.makedirs(self.path("sortie à"))
        output = os.path.join("sortie à", "Ålandsö 1.z4k")
        name = "Château d'Ÿ"
        result = self.build(names, output, name=name, level="niveau1.lev")
        self.assert_done(result)
        data = read(self.path(output))
        self.assertEqual(data[16:144], name.encode().ljust(128, b"\0"))
        shown = run("show", "--json", output, cwd=self.folder)
        self.assertEqual(shown.returncode, 0)
        report = json.loads(shown.stdout)
        self.assertEqual(report["header"]["name"], name)
        self.assertEqual(report["file"], output)

    def test_fields_past_their_width_are_refused_not_cut(self):
        names = self.make_set(PICTURE_SETS["imagemagick plain"], "pics")
        level36 = "the-start-level-of-keep-number1.lev"
        for name, level, message in [
                ("n" * 128, "k.lev", b"--name is 128 bytes long; the episode file keeps at most 127"),
                ("Keep", level36 + "x",
                 b"--start-level is 36 bytes long; the episode file keeps at most 31"),
                ("\u00e9" * 64, "k.lev", b"--name is 128 bytes long")]:
            with self.subTest(name=name, level=level):
                result = self.build(names, "cut.z4k", name=name, level=level)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.path("cut.z4k")), "nothing is written")
        # At the limits, everything is stored.
        self.assert_done(self.build(names, "full.z4k", name="n" * 127, level="l" * 31))
        data = read(self.path("full.z4k"))
        self.assertEqual(data[16:144], b"n" * 127 + b"\0")
        self.assertEqual(data[144:176], b"l" * 31 + b"\0")

    def test_show_reports_header_and_pictures(self):
        names = self.make_set(PICTURE_SETS["imagemagick rle8"], "pics")
        self.assert_done(self.build(names, "e.z4k", position="12"))
        data = read(self.path("e.z4k"))
        text = run("show", "e.z4k", cwd=self.folder)
        self.assertEqual(text.returncode, 0)
        for expected in ["position        12", "name            Deep Caves",
                         "start level     cave1.lev", "episode size    64 x 40",
                         "lowtitle size   100 x 3", "fixed values    usual",
                         "verdict         intact"]:
            self.assertIn(expected, text.stdout.decode())
        report = json.loads(run("show", "e.z4k", "--json", cwd=self.folder).stdout)
        sizes = [struct.unpack_from("<i", data, 208)[0]]
        sizes.append(struct.unpack_from("<i", data, 212 + sizes[0])[0])
        self.assertEqual(report["size"], len(data))
        self.assertTrue(report["intact"])
        self.assertEqual(report["problems"], [])
        self.assertEqual(report["header"]["position"], 12)
        self.assertEqual(report["header"]["episode_image"], {"width": 64, "height": 40})
        self.assertTrue(report["header"]["usual_fixed_values"])
        self.assertEqual([p["pixels"] for p in report["pictures"]], [64 * 40, 40 * 9, 100 * 3])
        self.assertEqual([p["stream_size"] for p in report["pictures"]][:2], sizes)
        self.assertEqual(report["pictures"][1]["offset"], 212 + sizes[0])
        self.assertEqual(report["bytes_after_last_picture"], 0)

    def test_build_refuses_pictures_with_the_precise_reason(self):
        names = self.make_set(PICTURE_SETS["imagemagick plain"], "pics")
        subprocess.run([CONVERT, "-size", "8x8", "gradient:", "-type", "TrueColor",
                        "BMP3:true.bmp"], cwd=self.folder, check=True, timeout=60)
        good = read(self.path(names[1]))
        write(self.path("bitfields.bmp"), good[:30] + struct.pack("<I", 3) + good[34:])
        write(self.path("short.bmp"), good[:len(good) - 100])
        write(self.path("text.bmp"), b"hello, not a picture\n" * 4)
        # Other kinds of picture, named by their first bytes; the QOI header and the TGA of the
        # second version (with its footer) written here, since ImageMagick here writes neither.
        for kind in ("jpg", "gif", "tif", "webp", "pcx"):
            subprocess.run([CONVERT, "-size", "8x8", "xc:red", f"other.{kind}"], cwd=self.folder,
                           check=True, timeout=60)
        write(self.path("other.qoi"), b"qoif" + struct.pack(">II", 8, 8) + b"\x03\x00" +
              b"\x00" * 20)
        write(self.path("other.tga"), bytes([0, 0, 2] + [0] * 9) + struct.pack("<HH", 1, 1) +
              bytes([24, 0, 0, 0, 255]) + b"\0" * 8 + b"TRUEVISION-XFILE.\0")
        subprocess.run([CONVERT, "-size", "8x8", "gradient:", "-colorspace", "Gray", "-depth", "8",
                        "-type", "Grayscale", "PNG:grey.png"], cwd=self.folder, check=True,
                       timeout=60)
        cases = [
            ("grey.png", "grey.png: a grey picture (8 bits per pixel) has no palette indices: "
             "give the game's palette with --palette FILE to map its shades"),
            ("other.jpg", "other.jpg: a JPEG picture, which divovod does not read: export it as "
             "PNG or BMP"),
            ("other.gif", "other.gif: a GIF picture, which divovod does not read"),
            ("other.tif", "other.tif: a TIFF picture, which divovod does not read"),
            ("other.webp", "other.webp: a WebP picture, which divovod does not read"),
            ("other.pcx", "other.pcx: a PCX picture, which divovod does not read"),
            ("other.qoi", "other.qoi: a QOI picture, which divovod does not read"),
            ("other.tga", "other.tga: a TGA picture, which divovod does not read"),
            ("true.bmp", "true.bmp: a true-colour picture (24 bits per pixel) has no palette "
             "indices: give the game's palette with --palette FILE"),
            ("bitfields.bmp", "bitfields.bmp: compression 3 is not supported"),
            ("short.bmp", "short.bmp: the header promises more pixels than the file holds"),
            ("text.bmp", "text.bmp: neither a bitmap (the letters BM) nor a PNG picture: export it "
             "as PNG or BMP"),
            ("missing.bmp", "missing.bmp: cannot be opened (No such file or directory)"),
        ]
        for title, reason in cases:
            with self.subTest(title):
                result = self.build([names[0], title, names[2]], "out.z4k")
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertTrue(result.stderr.decode().startswith(f"divovod: {reason}"))
                self.assertEqual(result.stderr.count(b"\n"), 1)
                self.assertFalse(os.path.exists(self.path("out.z4k")))

    def test_build_never_writes_over_a_picture_and_says_why_a_write_failed(self):
        names = self.make_set(PICTURE_SETS["imagemagick rle8"], "pics")
        pictures = {name: read(self.path(name)) for name in names}
        os.symlink(os.path.basename(names[2]), self.path("pics", "low link.bmp"))
        os.makedirs(self.path("a folder.z4k"))
        cases = [
            (names[1],
             f"is one of the pictures (the title image {names[1]}); it is never written over"),
            (os.path.join("pics", ".", "picture 0.bmp"),
             f"is one of the pictures (the episode image {names[0]})"),
            (os.path.join("pics", "low link.bmp"),
             f"is one of the pictures (the lowtitle image {names[2]})"),
            ("a folder.z4k", "is a folder"),
            (os.path.join("no such folder", "out.z4k"), "the folder no such folder does not exist"),
            (os.path.join(names[0], "out.z4k"), f"{names[0]} is not a folder"),
        ]
        for output, reason in cases:
            with self.subTest(output):
                result = self.build(names, output)
                self.assertEqual((result.returncode, result.stdout), (1, b""))
                self.assertTrue(result.stderr.decode().startswith(f"divovod: {output}: {reason}"),
                                result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1)
                for name, data in pictures.items():
                    self.assertEqual(read(self.path(name)), data, name)
        self.assertEqual(sorted(os.listdir(self.path("pics"))),
                         sorted([os.path.basename(n) for n in names] + ["low link.bmp"]))

    def test_the_palette_file_is_never_written_over_by_any_name(self):
        names = self.make_set(PICTURE_SETS["imagemagick rle8"], "pics")
        game = [((i * 37) % 256, (i * 91 + 7) % 256, (i * 13) % 256) for i in range(256)]
        palette_text = ("JASC-PAL\r\n0100\r\n256\r\n" +
                        "".join("%d %d %d\r\n" % c for c in game)).encode()
        write(self.path("game.pal"), palette_text)
        os.symlink("game.pal", self.path("game link.pal"))
        self.assert_done(self.build(names, "caves.z4k"))
        # The palette file as the file extract writes: a bitmap with the game's colours.
        _, _, width, height, *_ = bmp_fields(read(self.path(names[1])))
        title_size = "%dx%d" % (width, abs(height))
        extracted = run("extract", "caves.z4k", "-d", "out", "--format", "bmp", "--title-size",
                        title_size, cwd=self.folder)
        self.assertEqual(extracted.returncode, 0, extracted.stderr)
        manifest = ('palette = "game.pal"\noutput = "game link.pal"\nposition = 1\n'
                    'name = "N"\nstart_level = "n.lev"\n'
                    f'episode_image = "{names[0]}"\ntitle_image = "{names[1]}"\n'
                    f'lowtitle_image = "{names[2]}"\n')
        write(self.path("project.toml"), manifest.encode())
        pictures = ["--episode-image", names[0], "--title-image", names[1],
                    "--lowtitle-image", names[2], "--position", "1", "--name", "N",
                    "--start-level", "n.lev"]
        said = "is the palette file (%s); it is never written over"
        cases = [
            ("build -o the palette", ["build", *pictures, "-o", "game.pal", "--palette", "game.pal"],
             "divovod: game.pal: " + said % "game.pal"),
            ("build through a link", ["build", *pictures, "-o", "game link.pal", "--palette",
                                      "game.pal"], "divovod: game link.pal: " + said % "game.pal"),
            ("a manifest's output", ["build", "project.toml"],
             "output game link.pal " + said % "game.pal" + "; nothing built"),
            ("edit -o the palette", ["edit", "caves.z4k", "--title-image", names[1], "--palette",
                                     "game link.pal", "-o", "game.pal"],
             "divovod: game.pal: " + said % "game link.pal"),
            ("extract over the palette", ["extract", "caves.z4k", "-d", "out", "--format", "bmp",
                                          "--title-size", title_size, "--force", "--palette",
                                          os.path.join("out", "episode.bmp")],
             "divovod: %s: " % os.path.join("out", "episode.bmp") +
             said % os.path.join("out", "episode.bmp")),
        ]
        kept = {name: read(self.path(name)) for name in ("game.pal", os.path.join("out", "episode.bmp"))}
        for label, arguments, reason in cases:
            with self.subTest(label):
                result = run(*arguments, cwd=self.folder)
                # A manifest's clash is found before anything is built, as a manifest problem.
                self.assertEqual(result.returncode, 2 if arguments[1] == "project.toml" else 1,
                                 result.stderr)
                self.assertIn(reason, result.stderr.decode())
                for name, data in kept.items():
                    self.assertEqual(read(self.path(name)), data, name)
                self.assertTrue(os.path.islink(self.path("game link.pal")))


# --- damaged files ------------------------------------------------------------------------------

def blocks_of(data):
    """(offset of the size field, stream size) of the three picture blocks of an intact file."""
    at, blocks = 208, []
    for _ in range(3):
        size, = struct.unpack_from("<i", data, at)
        blocks.append((at, size))
        at += 4 + size
    return blocks


def patched(data, at, value):
    return data[:at] + struct.pack("<i", value) + data[at + 4:]


def damaged_files(good):
    """(label, bytes, words that must appear in the report)."""
    (ep_at, ep_size), (title_at, title_size), (low_at, low_size) = blocks_of(good)
    title_stream = good[title_at + 4: title_at + 4 + title_size]
    endless = zlib.compressobj(9)
    unfinished = endless.compress(zlib.decompress(title_stream)) + endless.flush(zlib.Z_SYNC_FLUSH)
    flipped_check = bytearray(good)
    flipped_check[title_at + 4 + title_size - 1] ^= 0xFF
    no_name_end = good[:16] + b"n" * 128 + good[144:]
    return [
        ("empty", b"", "shorter than the 208-byte header"),
        ("cut in the header", good[:100], "shorter than the 208-byte header"),
        ("cut before the first size", good[:208], "ends before its size field at offset 208"),
        ("cut inside the first size", good[:210], "ends before its size field"),
        ("cut inside the episode stream", good[:ep_at + 10], "runs past the end of the file"),
        ("cut before the title size", good[:title_at], "title image: the file ends before"),
        ("cut one byte short", good[:-1], "lowtitle image: its stream size"),
        ("not an episode file", patched(good, 0, 205), "not 204: not an episode file"),
        ("text file", b"just some text\n" * 20, "not an episode file"),
        ("negative width", patched(good, 176, -37), "is negative or too large"),
        ("absurd lowtitle size", patched(patched(good, 192, 70000), 196, 70000),
         "lowtitle image size 70000 x 70000 is negative or too large"),
        ("negative stream size", patched(good, title_at, -5), "title image: its stream size -5 is negative"),
        ("absurd stream size", patched(good, ep_at, 0x7FFFFFFF), "runs past the end"),
        ("zero stream size", good[:title_at] + struct.pack("<i", 0) + good[title_at + 4 + title_size:],
         "title image: its stream is cut short"),
        ("wrong checksum", bytes(flipped_check), "incorrect data check"),
        ("not zlib", patched(good, ep_at + 4, 0x01020304), "its stream is corrupt"),
        ("stream that never ends", good[:title_at] + struct.pack("<i", len(unfinished)) +
         unfinished + good[title_at + 4 + title_size:], "title image: its stream is cut short"),
        ("more pixels than the header", patched(good, 180, 1), "inflates past the"),
        ("fewer pixels than the header", patched(good, 196, 8), "lowtitle image: its stream holds"),
        ("bytes after the stream in its block",
         good[:low_at] + struct.pack("<i", low_size + 3) + good[low_at + 4:] + b"abc",
         "bytes after the end of its stream"),
        ("bytes after the last picture", good + b"\0", "1 bytes follow the end of the last picture"),
        ("name with no end", no_name_end, "name field has no terminating zero byte"),
    ]


class DamagedFileTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def good_file(self):
        for number, (width, height) in enumerate([(37, 23), (20, 10), (101, 7)]):
            imagemagick(self.folder, f"{number}.bmp", width, height, number)
        result = run("build", "-e", "0.bmp", "-t", "1.bmp", "-l", "2.bmp", "-p", "1", "-n", "N",
                     "-s", "s.lev", "-o", "good.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read(os.path.join(self.folder, "good.z4k"))

    def test_show_and_extract_verdicts(self):
        good = self.good_file()
        for label, data, words in damaged_files(good):
            with self.subTest(label):
                write(os.path.join(self.folder, "bad.z4k"), data)
                shown = run("show", "bad.z4k", cwd=self.folder)
                self.assertEqual(shown.returncode, 1)
                self.assertIn("verdict         damaged", shown.stdout.decode())
                self.assertIn(words, shown.stdout.decode())
                report = json.loads(run("show", "--json", "bad.z4k", cwd=self.folder).stdout)
                self.assertFalse(report["intact"])
                self.assertTrue(any(words in problem for problem in report["problems"]),
                                report["problems"])
                out = os.path.join(self.folder, label)
                os.makedirs(out)
                extracted = run("extract", "bad.z4k", "-d", out, "--title-size", "20x10",
                                cwd=self.folder)
                self.assertEqual(extracted.returncode, 1)
                self.assertIn(words, extracted.stderr.decode())
                self.assertEqual(extracted.stdout, b"")
                self.assertEqual(os.listdir(out), [], "nothing written from a damaged file")
                self.assertNotIn(b"\x1b", shown.stdout + extracted.stderr)

    def test_unusual_fixed_values_are_shown_but_not_damage(self):
        good = self.good_file()
        write(os.path.join(self.folder, "odd.z4k"), patched(good, 184, 0))
        shown = run("show", "odd.z4k", cwd=self.folder)
        self.assertEqual(shown.returncode, 0)
        self.assertIn("fixed values    unusual", shown.stdout.decode())
        report = json.loads(run("show", "--json", "odd.z4k", cwd=self.folder).stdout)
        self.assertFalse(report["header"]["usual_fixed_values"])
        self.assertTrue(report["intact"])

    def test_a_size_its_stream_cannot_hold_is_never_inflated(self):
        # 4,000,000 pixels from a stream of a few bytes: more than deflate's 1032 a byte.
        claim = bytearray(episode_file([(1, 1), (1, 1)]))
        struct.pack_into("<ii", claim, 176, 2000, 2000)
        write(os.path.join(self.folder, "claim.z4k"), bytes(claim))
        shown = run("show", "claim.z4k", cwd=self.folder).stdout.decode()
        self.assertRegex(shown, r"episode image   block at offset 208, stream of \d+ bytes, "
                                r"damaged\n")
        self.assertRegex(shown, r"episode image: its \d+-byte stream cannot hold the 4000000 "
                                r"pixels its size in the header gives \(at most \d+\); it was "
                                r"not inflated")
        report = json.loads(run("show", "--json", "claim.z4k", cwd=self.folder).stdout)
        self.assertEqual([p["pixels"] for p in report["pictures"]], [None, 1, 1])

    def test_missing_file(self):
        for command in (["show"], ["show", "--json"], ["extract"]):
            result = run(*command, "nowhere.z4k", cwd=self.folder)
            self.assertEqual(result.returncode, 1, command)
            self.assertIn(b"nowhere.z4k: cannot be opened", result.stderr)
        os.makedirs(os.path.join(self.folder, "folder.z4k"))
        result = run("show", "folder.z4k", cwd=self.folder)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertIn(b"folder.z4k: is a folder, not an episode file; nothing was read from it",
                      result.stderr)


# --- extract against hostile files and faults, show of several files, the preview -------------

def run_env(*args, cwd, env=None, preexec=None):
    """run(), with extra environment variables and a hook run in the child before it starts."""
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.run([PROGRAM, *args], cwd=cwd, stdin=subprocess.DEVNULL, env=full,
                          capture_output=True, timeout=120, start_new_session=True,
                          preexec_fn=preexec)


# Runs a command as its child and prints the child's peak memory (kB) and processor seconds. A
# child's peak counts what its parent held when it forked, so the measured program is started
# from this small process, not from the test's, which may hold hundreds of megabytes by then.
MEASURE = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss, usage.ru_utime + usage.ru_stime)
"""


def run_measured(*args, cwd):
    """(exit status, peak kB resident, processor seconds, standard error) of the program."""
    result = subprocess.run([sys.executable, "-c", MEASURE, PROGRAM, *args], cwd=cwd,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                            start_new_session=True)
    status, peak, seconds = result.stdout.split()
    return int(status), int(peak), float(seconds), result.stderr


def zlib_of_zeros(count):
    """One zlib stream of `count` zero bytes. After a full flush the compressor starts afresh, so
    every further block of zeros comes out as the same bytes: they are made once and repeated,
    which gives a stream of gigabytes in a moment. The checksum is then the one of the whole."""
    block = 1 << 20
    whole, rest = divmod(count, block)
    packer = zlib.compressobj(9)
    parts = []
    if whole > 0:
        parts.append(packer.compress(bytes(block)) + packer.flush(zlib.Z_FULL_FLUSH))
    if whole > 1:
        again = packer.compress(bytes(block)) + packer.flush(zlib.Z_FULL_FLUSH)
        parts.append(again * (whole - 1))
    parts.append(packer.compress(bytes(rest)) + packer.flush())
    stream = b"".join(parts)
    # Adler-32 of zeros: the sum of the bytes stays 1, the sum of the sums grows by 1 a byte.
    return stream[:-4] + struct.pack(">I", ((count % 65521) << 16) | 1)


def episode_file(sizes, title_pixels=None, streams=None):
    """An episode file of the given (width, height) episode and lowtitle sizes, all pixels 0."""
    (ew, eh), (lw, lh) = sizes
    header = struct.pack("<iiii", 204, 1, 1, 0) + b"Big".ljust(128, b"\0") + \
        b"big.lev".ljust(32, b"\0") + struct.pack("<iiiiiiii", ew, eh, 0x00670098, 0x00770860,
                                                   lw, lh, 0x006BB0CC, 0x00706100)
    counts = [ew * eh, ew * eh if title_pixels is None else title_pixels, lw * lh]
    made = {}
    body = b""
    for count in counts:
        if count not in made:
            made[count] = zlib_of_zeros(count)
        body += struct.pack("<i", len(made[count])) + made[count]
    return header + body


class StandardInputTest(unittest.TestCase):
    """- is standard input for show, extract and diff, and a pipe's name is read like it."""

    setUp = DamagedFileTest.setUp
    tearDown = DamagedFileTest.tearDown
    good_file = DamagedFileTest.good_file

    def feed(self, data, *args):
        return subprocess.run([PROGRAM, *args], cwd=self.folder, input=data, capture_output=True,
                              timeout=60, start_new_session=True)

    def test_standard_input_and_pipes_read_whole(self):
        good = self.good_file()
        by_name = run("show", "--json", "good.z4k", cwd=self.folder)
        for name in ("-", "/dev/stdin"):
            with self.subTest(name):
                result = self.feed(good, "show", "--json", name)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(json.loads(result.stdout)["intact"], True)
                self.assertEqual(json.loads(result.stdout)["pictures"],
                                 json.loads(by_name.stdout)["pictures"])
        result = self.feed(good, "extract", "-", "-d", "out", "--title-size", "20x10")
        self.assertEqual(result.returncode, 0, result.stderr)
        result = run("build", os.path.join("out", "episode.toml"), cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(os.path.join(self.folder, "out", "episode.z4k")), good,
                         "standard input has no name: its manifest builds episode.z4k")
        changed = bytearray(good)
        changed[4] = 9  # the position
        result = self.feed(bytes(changed), "diff", "good.z4k", "-")
        self.assertEqual((result.returncode, result.stdout), (1, b"position: 1 -> 9\n"
                         b"episode image: same\ntitle image: same\nlowtitle image: same\n"))
        self.assertEqual(self.feed(good, "diff", "-", "-").returncode, 2)

    def test_standard_input_is_bounded(self):
        result = self.feed(b"\0" * (256 * 1024 * 1024 + 1), "show", "-")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"divovod: -: holds more than 268435456 bytes, the most "
                                        b"read from standard input or a pipe; give the file "
                                        b"itself\n")


    def test_devices_and_folders_are_refused_before_they_are_read(self):
        # Devices of the scratch folder's own, made like /dev/zero (bytes without end) and
        # /dev/null (none), and gone with the folder.
        good = self.good_file()
        os.mkdir(os.path.join(self.folder, "folder.z4k"))
        for name, minor in (("zero", 5), ("null", 3)):
            try:
                os.mknod(os.path.join(self.folder, name), 0o600 | stat.S_IFCHR,
                         os.makedev(1, minor))
            except PermissionError:
                self.skipTest("no right to make a device here")
        cases = [
            (["show", "zero"], 1, "zero", "a character device"),
            (["show", "--json", "folder.z4k"], 1, "folder.z4k", "a folder"),
            (["extract", "zero", "-d", "out"], 1, "zero", "a character device"),
            (["diff", "good.z4k", "null"], 2, "null", "a character device"),
            (["edit", "zero", "-n", "x", "-o", "out.z4k"], 1, "zero", "a character device"),
            (["edit", "folder.z4k", "-n", "x"], 1, "folder.z4k", "a folder"),
        ]
        for command, status, name, what in cases:
            with self.subTest(" ".join(command)):
                result = run(*command, cwd=self.folder)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stderr, f"divovod: {name}: is {what}, not an episode file; "
                                 f"nothing was read from it\n".encode())
        self.assertEqual(sorted(os.listdir(self.folder)), ["0.bmp", "1.bmp", "2.bmp", "folder.z4k",
                                                           "good.z4k", "null", "zero"],
                         "nothing written")
        self.assertEqual(read(os.path.join(self.folder, "good.z4k")), good)
        with open(os.path.join(self.folder, "null"), "rb") as nothing:
            result = subprocess.run([PROGRAM, "show", "-"], cwd=self.folder, stdin=nothing,
                                    capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr),
                         (1, b"divovod: -: standard input is a character device, not an episode "
                             b"file; nothing was read from it\n"))

class HostileExtractTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def good_file(self, name="keep.z4k", low=(64, 40)):
        for number, (width, height) in enumerate([(21, 9), (21, 9), low]):
            imagemagick(self.folder, f"{number}.bmp", width, height, number)
        result = run("build", "-e", "0.bmp", "-t", "1.bmp", "-l", "2.bmp", "-p", "1", "-n", "N",
                     "-s", "s.lev", "-o", name, cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read(self.path(name))

    def test_never_writes_over_the_file_it_reads_by_any_name(self):
        good = self.good_file()

        def copy_named(name):
            write(self.path(name), good)
            return name

        def symlink(name):
            os.symlink("keep.z4k", self.path(name))
            return "keep.z4k"

        def hard_link(name):
            os.link(self.path("keep.z4k"), self.path(name))
            return "keep.z4k"

        for make, name in [(copy_named, "episode.bmp"), (symlink, "title.bmp"),
                           (hard_link, "lowtitle.bmp"), (copy_named, "lowtitle.bmp")]:
            with self.subTest(f"{make.__name__} {name}"):
                source = make(name)
                result = run("extract", source, "--force", cwd=self.folder)
                self.assertEqual((result.returncode, result.stdout), (1, b""), result.stderr)
                self.assertIn(f"{name}: is the episode file being read ({source}); it is never "
                              "written over".encode(), result.stderr)
                self.assertIn(b"nothing written", result.stderr)
                self.assertEqual(read(self.path(source)), good)
                self.assertEqual(read(self.path(name)), good)
                others = {"episode.bmp", "title.bmp", "lowtitle.bmp"} - {name}
                self.assertFalse(any(os.path.lexists(self.path(o)) for o in others))
                os.remove(self.path(name))

    def test_every_target_is_checked_before_any_is_written(self):
        self.good_file()
        write(self.path("episode.bmp"), b"old episode")
        os.makedirs(self.path("lowtitle.bmp"))
        result = run("extract", "keep.z4k", "--force", cwd=self.folder)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertIn(b"lowtitle.bmp: is a folder", result.stderr)
        self.assertEqual(read(self.path("episode.bmp")), b"old episode", "replaced for nothing")
        self.assertFalse(os.path.exists(self.path("title.bmp")))
        os.rmdir(self.path("lowtitle.bmp"))

        # Two names for one file, even through a link to a file not yet there.
        os.remove(self.path("episode.bmp"))
        os.symlink("episode.bmp", self.path("title.bmp"))
        result = run("extract", "keep.z4k", "--force", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"title.bmp: leads to the same file as episode.bmp", result.stderr)
        self.assertFalse(os.path.exists(self.path("episode.bmp")))
        os.remove(self.path("title.bmp"))

        # A FIFO as a target is refused, never opened (which would wait for a reader).
        os.mkfifo(self.path("title.bmp"))
        result = run("extract", "keep.z4k", "--force", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"title.bmp: is not a regular file", result.stderr)
        self.assertFalse(os.path.exists(self.path("episode.bmp")))

    def test_a_write_that_still_fails_says_which_files_are_written(self):
        import resource
        import signal
        self.good_file(low=(64, 40))  # 1294-byte bitmaps, then one of 3638 bytes

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))

        result = run_env("extract", "keep.z4k", cwd=self.folder, preexec=small_files)
        self.assertEqual((result.returncode, result.stdout), (1, b""), result.stderr)
        lines = result.stderr.decode().splitlines()
        self.assertTrue(lines[0].startswith("divovod: lowtitle.bmp: cannot be written"), lines)
        self.assertEqual(lines[1], "divovod: already written: episode.bmp (21x9), "
                                   "title.bmp (21x9); not tried: episode.toml")
        self.assertEqual(sorted(n for n in os.listdir(self.folder) if n.endswith("e.bmp")),
                         ["episode.bmp", "title.bmp"], "no half-written lowtitle")

    def test_the_episode_file_as_a_pipe(self):
        """A pipe's name is read to its end, as its writer gives it."""
        good = self.good_file()
        os.mkfifo(self.path("pipe.z4k"))
        for command in (["show", "pipe.z4k"], ["extract", "pipe.z4k", "-d", "from pipe"]):
            with self.subTest(command[0]):
                writer = subprocess.Popen(["sh", "-c", "cat keep.z4k > pipe.z4k"],
                                          cwd=self.folder)
                result = run(*command, cwd=self.folder)
                writer.wait(timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                if command[0] == "show":
                    self.assertIn(b"verdict         intact", result.stdout)
        # A pipe has no name to build to: its manifest names episode.z4k.
        result = run("build", os.path.join("from pipe", "episode.toml"), cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(read(self.path("from pipe", "episode.z4k")), good)

    def test_a_picture_past_the_bitmap_limit_is_never_inflated(self):
        # 1 x 1.1 billion: 4 bytes a row once padded, past 4 GB; the lowtitle small.
        write(self.path("huge.z4k"), episode_file([(1, 1_100_000_000), (3, 2)],
                                                   title_pixels=6))
        status, peak, _, stderr = run_measured("extract", "huge.z4k", "-d", "out", cwd=self.folder)
        self.assertEqual(status, 1)
        self.assertIn(b"out/episode.bmp not written: a 1x1100000000 picture needs a 4400001078-"
                      b"byte bitmap, past the format's limit of 4 GB", stderr)
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["lowtitle.bmp", "title.bmp"])
        self.assertLess(peak, 300_000, "kB resident at most")

        # When nothing at all can be written, no folder is made for it.
        write(self.path("all huge.z4k"), episode_file([(1, 1_100_000_000), (1, 1_100_000_000)]))
        result = run("extract", "all huge.z4k", "-d", "empty", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.count(b"past the format's limit"), 3)
        self.assertFalse(os.path.exists(self.path("empty")))

    def test_a_title_stream_past_the_largest_picture_is_called_so(self):
        # The title's size is not stored; its stream inflates past the most pixels the import
        # can store (a 32-bit count of room for the stream) before it ends.
        write(self.path("long.z4k"), episode_file([(1, 1), (1, 1)], title_pixels=2200 << 20))
        result = run("show", "long.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"its stream inflates past 2126221421 pixels, more than any picture divovod "
                      b"stores holds", result.stdout + result.stderr)

    def test_a_tall_narrow_picture_is_written_in_blocks(self):
        # 1 x 16,777,216: once two writes a row; seconds now.
        write(self.path("tall.z4k"), episode_file([(1, 1 << 24), (1, 1)], title_pixels=1))
        result = run("extract", "tall.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.path.getsize(self.path("episode.bmp")), 1078 + 4 * (1 << 24))

    def test_title_size_of_the_wrong_count_says_the_real_one(self):
        self.good_file()
        result = run("extract", "keep.z4k", "--title-size", "10x10", cwd=self.folder)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertEqual(result.stderr, b"divovod: --title-size 10x10 is 100 pixels, but the title "
                                        b"picture holds 189; nothing written\n")
        self.assertFalse(os.path.exists(self.path("episode.bmp")))


def png_with_side_chunks(inflated):
    """A 4 x 3 indexed PNG whose colour profile, compressed text and international text each
    inflate to `inflated` bytes."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + \
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    body = zlib_of_zeros(inflated)
    rows = b"".join(b"\0" + bytes([y, 1, 2, 3]) for y in range(3))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 3, 8, 3, 0, 0, 0)) +
            chunk(b"iCCP", b"profile\0\0" + body) + chunk(b"PLTE", bytes(range(12))) +
            chunk(b"zTXt", b"Comment\0\0" + body) + chunk(b"iTXt", b"Comment\0\1\0\0\0" + body) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


class HostilePngTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_side_chunks_of_a_gigabyte_are_refused_at_once(self):
        # Each chunk a few hundred kilobytes in the file and 1 GiB inflated: libspng stops at the
        # bound, so the refusal costs what a small picture costs.
        with open(os.path.join(self.folder, "side.png"), "wb") as out:
            out.write(png_with_side_chunks(1 << 30))
        status, peak, seconds, stderr = run_measured(
            "build", "-e", "side.png", "-t", "side.png", "-l", "side.png", "-p", "1", "-n", "N",
            "-s", "n.lev", "-o", "out.z4k", cwd=self.folder)
        self.assertEqual(status, 1, stderr)
        # Under 7 MB in a release build, about 45 MB with the sanitizers; inflated whole, 3 GB.
        self.assertLess(peak, 200_000, "kB resident at most")
        self.assertLess(seconds, 5, "seconds of processor at most")
        self.assertIn(b"side.png: a PNG text or colour profile chunk inflates past 1 MiB (or all "
                      b"of them past 8 MiB)", stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "out.z4k")))


class ShowManyTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")
        for number, (width, height) in enumerate([(21, 9), (13, 7), (21, 9)]):
            imagemagick(self.folder, f"{number}.bmp", width, height, number)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def build(self, output, name="N"):
        result = run("build", "-e", "0.bmp", "-t", "1.bmp", "-l", "2.bmp", "-p", "1", "-n", name,
                     "-s", "s.lev", "-o", output, cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_several_files_text_and_one_json_value(self):
        self.build("a.z4k")
        self.build("b.z4k")
        write(self.path("junk.z4k"), b"GIF89a" + bytes(300))
        names = ["a.z4k", "junk.z4k", "missing.z4k", "b.z4k"]
        text = run("show", *names, cwd=self.folder)
        self.assertEqual(text.returncode, 1)
        out = text.stdout.decode()
        self.assertEqual(out.count("verdict "), 3)
        self.assertEqual(text.stderr, b"divovod: missing.z4k: cannot be opened (No such file or "
                                      b"directory)\n")
        junk = out[out.index("file            junk.z4k"):]
        junk = junk[:junk.index("\n\n")]
        self.assertEqual(junk.splitlines()[:3], ["file            junk.z4k", "size            306 bytes",
                                                 "kind            not an episode file"])
        self.assertNotIn("position", junk, "no header fields of a file that is none")

        report = json.loads(run("show", "--json", *names, cwd=self.folder).stdout)
        self.assertIsInstance(report, list)
        self.assertEqual([r["file"] for r in report], names)
        self.assertEqual([r["intact"] for r in report], [True, False, False, True])
        self.assertEqual(report[2], {"file": "missing.z4k", "intact": False,
                                     "error": "cannot be opened (No such file or directory)"})
        self.assertIn("not an episode file", report[1]["problems"][0])
        self.assertEqual(run("show", "a.z4k", "b.z4k", cwd=self.folder).returncode, 0)
        one = json.loads(run("show", "--json", "missing.z4k", cwd=self.folder).stdout)
        self.assertEqual(one["error"], "cannot be opened (No such file or directory)")

    def test_bytes_that_are_not_utf8_are_escaped(self):
        self.build("cp.z4k", name="Ch\u00e2teau")
        data = bytearray(read(self.path("cp.z4k")))
        data[16:144] = b"Ch\xe2teau \x9b2J".ljust(128, b"\0")  # code page 1252, and a C1 CSI
        odd_name = os.fsencode(self.folder) + b"/caf\xe9.z4k"
        write(odd_name, bytes(data))
        text = subprocess.run([PROGRAM, "show", odd_name], capture_output=True, timeout=60,
                              stdin=subprocess.DEVNULL)
        self.assertIn(b"name            Ch\\xE2teau \\x9B2J\n", text.stdout)
        self.assertIn(b"caf\\xE9.z4k", text.stdout)
        self.assertNotIn(b"\x9b", text.stdout)
        report = json.loads(subprocess.run([PROGRAM, "show", "--json", odd_name],
                                           capture_output=True, timeout=60,
                                           stdin=subprocess.DEVNULL).stdout)
        self.assertEqual(report["header"]["name"], "Ch\\xE2teau \\x9B2J")
        self.assertTrue(report["file"].endswith("/caf\\xE9.z4k"), report["file"])
        self.assertNotIn("\ufffd", json.dumps(report, ensure_ascii=False))


def preview_cells(text):
    """The drawn lines of a preview: lists of (SGR parameters, cell text); each line ends with
    the reset."""
    import re
    lines = []
    for line in text.split("\n"):
        if not line.startswith("\x1b["):
            continue
        assert line.endswith("\x1b[0m"), repr(line)
        lines.append(re.findall("\x1b\\[([0-9;]*)m(\u2580|  )", line[:-4]))
    return lines


class PreviewTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-cli-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_preview_of_pictures_from_a_real_encoder(self):
        # 9 x 5 episode (odd height), a 4 x 2 title of the lowtitle's size.
        for number, (width, height) in enumerate([(9, 5), (4, 2), (4, 2)]):
            pillow(self.folder, f"{number}.bmp", width, height, number)
        result = run("build", "-e", "0.bmp", "-t", "1.bmp", "-l", "2.bmp", "-p", "1", "-n", "N",
                     "-s", "s", "-o", "p.z4k", cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        indices = [pillow_indices(os.path.join(self.folder, f"{n}.bmp")) for n in range(3)]
        palette = palette_of(read(os.path.join(self.folder, "0.bmp")))

        def rgb(index):
            b, g, r = palette[4 * index: 4 * index + 3]
            return f"{r};{g};{b}"

        utf8 = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "COLORTERM": "truecolor"}
        shown = run_env("show", "--preview", "--palette", "0.bmp", "p.z4k", cwd=self.folder,
                        env=utf8)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        out = shown.stdout.decode()
        self.assertNotIn("grey ramp", out)
        lines = preview_cells(out)
        self.assertEqual([len(line) for line in lines], [9, 9, 9, 4, 4])
        episode = indices[0]
        for y in range(3):
            for x in range(9):
                lower = (f"48;2;{rgb(episode[(2 * y + 1) * 9 + x])}" if 2 * y + 1 < 5 else "49")
                self.assertEqual(lines[y][x], (f"38;2;{rgb(episode[2 * y * 9 + x])};{lower}",
                                               "\u2580"), (x, y))

        # The 256-colour form, fitted into 5 columns (every 2nd pixel), and its grey ramp line.
        shown = run_env("show", "--preview", "--width", "5", "p.z4k", cwd=self.folder,
                        env={"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "COLORTERM": ""})
        out = shown.stdout.decode()
        self.assertIn("colours         a grey ramp", out)
        self.assertIn("episode image, 9 x 5, drawn 1 pixel in 2 each way", out)
        lines = preview_cells(out)
        self.assertEqual([len(line) for line in lines][:2], [5, 5])
        self.assertTrue(all(c[0].startswith("38;5;") for c in lines[0]))

        # Outside UTF-8: two spaces a pixel, a line a row, width from COLUMNS when not a terminal.
        shown = run_env("show", "--preview", "p.z4k", cwd=self.folder,
                        env={"LANG": "C", "LC_ALL": "C", "COLORTERM": "24bit", "COLUMNS": "10"})
        lines = preview_cells(shown.stdout.decode())
        self.assertEqual([len(line) for line in lines][:3], [5, 5, 5], "18 columns > 10: step 2")
        self.assertTrue(all(cell[1] == "  " and cell[0].startswith("48;2;") for cell in lines[0]))

        # A damaged picture is named, not drawn; the others still are.
        data = bytearray(read(os.path.join(self.folder, "p.z4k")))
        (_, _), (title_at, title_size), _ = blocks_of(bytes(data))
        data[title_at + 4 + title_size - 1] ^= 0xFF
        write(os.path.join(self.folder, "bad.z4k"), bytes(data))
        shown = run_env("show", "--preview", "bad.z4k", cwd=self.folder, env=utf8)
        self.assertEqual(shown.returncode, 1)
        self.assertIn("preview         title image not drawn: it is damaged", shown.stdout.decode())
        self.assertEqual([len(line) for line in preview_cells(shown.stdout.decode())], [9, 9, 9, 4])

    def test_preview_usage(self):
        for arguments, message in [
                (["show", "--palette", "p.bmp", "x.z4k"], "--palette goes with --preview"),
                (["show", "--preview", "--json", "x.z4k"], "--preview draws pictures"),
                (["show", "--preview", "--width", "0", "x.z4k"], "--width needs a number")]:
            result = run(*arguments, cwd=self.folder)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertTrue(result.stderr.decode().startswith(f"divovod: {message}"), result.stderr)


# --- usage ----------------------------------------------------------------------------------

USAGE_ERRORS = [
    ([], None),  # no arguments is the interactive program: not run here
    (["frobnicate"], "unknown command frobnicate"),
    (["--frobnicate"], "unknown option --frobnicate"),
    (["build"], "build needs --episode-image"),
    (["build", "-e", "a", "-t", "b", "-l", "c", "-p", "1", "-n", "n", "-s", "s"],
     "build needs --output"),
    (["build", "-e", "a", "-t", "b", "-l", "c", "-p", "x1", "-n", "n", "-s", "s", "-o", "o"],
     "--position needs a whole number"),
    (["build", "-e", "a", "-t", "b", "-l", "c", "-p", "2147483648", "-n", "n", "-s", "s",
      "-o", "o"], "--position needs a whole number"),
    (["build", "--name"], "--name needs a value"),
    (["build", "--name", "a", "--name=b"], "--name is given twice"),
    (["build", "--colour", "red"], "unknown option --colour"),
    (["build", "m.toml", "--dither"], "--dither is set in the manifest"),
    (["build", "m.toml", "-o", "x.z4k"], "--output belongs to the build of one episode"),
    (["build", "--always", "-o", "x.z4k"], "--always goes with manifests"),
    (["build", "-j", "0", "m.toml"], "--jobs needs a number of episodes from 1 to 1024"),
    (["build", "m.toml", "--palette", "p.pal", "--no-palette"],
     "--palette and --no-palette cannot both be given"),
    (["edit", "a.z4k"], "edit needs something to change"),
    (["edit", "a.z4k", "--dither", "--name", "x"], "--dither goes with a new picture"),
    (["edit", "a.z4k", "b.z4k", "--name", "x"], "edit needs exactly one episode file"),
    (["diff", "a.z4k"], "diff needs two episode files"),
    (["config", "x"], "config takes nothing more: x"),
    (["show"], "show needs at least one file"),
    (["help", "frobnicate"], "no help on frobnicate"),
    (["help", "build", "show"], "help takes one command name"),
    (["show", "--json=yes", "a.z4k"], "--json takes no value"),
    (["show", "-x", "a.z4k"], "unknown option -x"),
    (["extract"], "extract needs exactly one episode file"),
    (["extract", "a.z4k", "--title-size", "12"], "--title-size needs WIDTHxHEIGHT"),
    (["extract", "a.z4k", "--title-size", "-3x4"], "--title-size needs WIDTHxHEIGHT"),
    (["extract", "a.z4k", "--title-size", "70000x70000"], "--title-size needs WIDTHxHEIGHT"),
    (["extract", "a.z4k", "--palette"], "--palette needs a value"),
    (["extract", "a.z4k", "--force=1"], "--force takes no value"),
    (["extract", "a.z4k", "--format", "gif"], "--format needs png or bmp, not 'gif'"),
]


class UsageTest(unittest.TestCase):
    def test_a_usage_error_shows_the_commands_own_usage(self):
        folder = tempfile.mkdtemp(prefix="divovod-cli-")
        try:
            cases = [
                (["show", "-x"], ["divovod show", "divovod show --preview"]),
                (["build"], ["divovod build --episode-image", "divovod build [-j N]"]),
                (["diff", "a"], ["divovod diff"]),
                (["frobnicate"], None),  # no command of that name: the whole usage
            ]
            for arguments, entries in cases:
                with self.subTest(" ".join(arguments)):
                    result = run(*arguments, cwd=folder)
                    self.assertEqual(result.returncode, 2)
                    usage = result.stderr.decode().split("\n", 1)[1]
                    named = re.findall(r"^(?:usage: |       )(divovod[^\n]*)", usage, re.M)
                    if entries is None:
                        self.assertGreater(len(named), 8, usage)
                        continue
                    self.assertEqual([line[:len(entry)] for line, entry in zip(named, entries)],
                                     entries)
                    self.assertEqual(len(named), len(entries), usage)
                    self.assertIn(f"(divovod help {arguments[0]} describes every option)", usage)
            result = run("build", cwd=folder)
            self.assertTrue(result.stderr.decode().startswith(
                "divovod: build needs --episode-image, --title-image, --lowtitle-image, "
                "--position, --name, --start-level and --output (or a manifest)\n"))
        finally:
            shutil.rmtree(folder)

    def test_version_and_help_after_any_command_and_help_on_help(self):
        version = run("--version", cwd=tempfile.gettempdir()).stdout
        self.assertTrue(version.startswith(b"divovod "), version)
        for arguments in (["build", "-V"], ["extract", "--version"], ["show", "x.z4k", "-V"],
                          ["diff", "-V"], ["config", "--version"]):
            with self.subTest(" ".join(arguments)):
                result = run(*arguments, cwd=tempfile.gettempdir())
                self.assertEqual((result.returncode, result.stdout, result.stderr),
                                 (0, version, b""))
        result = run("help", "help", cwd=tempfile.gettempdir())
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith(b"usage: divovod help [COMMAND]"))

    def test_usage_errors_exit_2_with_a_usage_line(self):
        folder = tempfile.mkdtemp(prefix="divovod-cli-")
        try:
            for arguments, message in USAGE_ERRORS:
                if message is None:
                    continue
                with self.subTest(" ".join(arguments)):
                    result = run(*arguments, cwd=folder)
                    self.assertEqual(result.returncode, 2)
                    self.assertEqual(result.stdout, b"")
                    err = result.stderr.decode()
                    self.assertTrue(err.startswith(f"divovod: {message}"), err)
                    self.assertIn("\nusage: divovod", err)
            self.assertEqual(os.listdir(folder), [], "a usage error writes nothing")
        finally:
            shutil.rmtree(folder)

    def test_help_and_version(self):
        folder = tempfile.mkdtemp(prefix="divovod-cli-")
        try:
            general = run("--help", cwd=folder).stdout
            for arguments in (["--help"], ["-h"], ["help"]):
                result = run(*arguments, cwd=folder)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, general, b""))
            self.assertIn(b"Exit status", general)
            for command, words in [("build", b"--episode-image FILE"), ("show", b"--preview"),
                                   ("extract", b"--title-size WxH")]:
                with self.subTest(command):
                    asked = [run(command, "--help", cwd=folder), run(command, "-h", cwd=folder),
                             run("help", command, cwd=folder)]
                    for result in asked:
                        self.assertEqual((result.returncode, result.stderr), (0, b""))
                        self.assertEqual(result.stdout, asked[0].stdout)
                    text = asked[0].stdout
                    self.assertTrue(text.startswith(b"usage: divovod " + command.encode()), text)
                    self.assertNotEqual(text, general)
                    for part in (words, b"Example", b"Exit status", b"writes"):
                        self.assertIn(part.lower(), text.lower())
            # The project's version, with the checkout's revision when built from one.
            for flag in ("--version", "-V"):
                result = run(flag, cwd=folder)
                self.assertEqual(result.returncode, 0)
                self.assertRegex(result.stdout.decode(), r"^divovod \d+\.\d+\.\d+( \(\S+\))?\n$")
            self.assertEqual(os.listdir(folder), [], "help and version write nothing")
        finally:
            shutil.rmtree(folder)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
