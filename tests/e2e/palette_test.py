#!/usr/bin/env python3
"""Pictures into the game's colours: indexed pictures of every kind keep their indices, and with
--palette every picture is mapped exactly as a brute-force nearest-colour search says.

Usage: palette_test.py PATH_TO_DIVOVOD
Pictures come from Pillow, ImageMagick and netpbm; the expected indices from Pillow's decoding
and a plain search over the palette here. Needs Debian's /usr/bin/python3 (with Pillow): the
script starts itself again under it when the python3 running it has no Pillow.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

DEBIAN_PYTHON = "/usr/bin/python3"
try:
    from PIL import Image
except ImportError:
    if os.path.realpath(sys.executable) != os.path.realpath(DEBIAN_PYTHON):
        os.execv(DEBIAN_PYTHON, [DEBIAN_PYTHON] + sys.argv)
    raise

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import png_cases  # noqa: E402

PROGRAM = None
CONVERT = shutil.which("convert-im6.q16") or "/usr/bin/convert"
WIDTH, HEIGHT = 45, 31  # a width that is no multiple of 4
TIE = (100, 150, 200)   # a colour exactly between two palette colours
REPEATED = (10, 220, 30)  # a colour the game's palette holds at two indices


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def run(*args, cwd):
    return subprocess.run([PROGRAM, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120, start_new_session=True)


def game_palette():
    """256 colours: a fixed pseudo-random spread, a repeated colour (5 and 17) and a tie pair
    around TIE whose higher index comes first in the list order that a search might take."""
    state = 12345
    colours = []
    for _ in range(256):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        colours.append(((state >> 4) & 255, (state >> 12) & 255, (state >> 20) & 255))
    colours[5] = colours[17] = REPEATED
    colours[12] = (TIE[0] + 2, TIE[1], TIE[2])
    colours[40] = (TIE[0] - 2, TIE[1], TIE[2])
    return colours


def nearest(colour, palette, excluded=-1):
    best, chosen = None, None
    for index, entry in enumerate(palette):
        if index == excluded:
            continue
        d = sum((a - b) * (a - b) for a, b in zip(colour, entry))
        if best is None or d < best:
            best, chosen = d, index
    return chosen, best


def mapped(image, palette, transparent=-1):
    """The indices a picture must get: alpha 0 becomes the transparent index, every other pixel
    the nearest colour (lowest index on ties)."""
    memo = {}
    out = []
    for r, g, b, a in image.convert("RGBA").getdata():
        if a == 0 and transparent >= 0:
            out.append(transparent)
            continue
        if (r, g, b) not in memo:
            memo[(r, g, b)] = nearest((r, g, b), palette, transparent)[0]
        out.append(memo[(r, g, b)])
    return bytes(out)


def indices_of(path):
    """Pillow's palette indices of an indexed picture, top row first."""
    image = Image.open(path)
    if image.mode == "1":
        return bytes(1 if v else 0 for v in image.getdata())
    assert image.mode == "P", (path, image.mode)
    return bytes(image.getdata())


def streams(episode):
    at, pictures = 208, []
    for _ in range(3):
        size, = struct.unpack_from("<I", episode, at)
        pictures.append(zlib.decompress(episode[at + 4:at + 4 + size]))
        at += 4 + size
    return pictures


def base_picture():
    """Photo-like: smooth gradients with noise, the tie colour and the repeated colour in it."""
    image = Image.new("RGB", (WIDTH, HEIGHT))
    state = 99
    pixels = []
    for y in range(HEIGHT):
        for x in range(WIDTH):
            state = (state * 69069 + 1) & 0xFFFFFFFF
            noise = (state >> 24) % 23
            pixels.append(((x * 5 + noise) % 256, (y * 8 + noise) % 256, (x * y + 3 * noise) % 256))
    image.putdata(pixels)
    for x in range(0, WIDTH, 3):
        image.putpixel((x, 0), TIE)
        image.putpixel((x, HEIGHT - 1), REPEATED)
    return image


def rgba_picture(base):
    image = base.convert("RGBA")
    for y in range(HEIGHT):
        for x in range(WIDTH):
            r, g, b, _ = image.getpixel((x, y))
            alpha = 0 if x < 6 else (128 if x < 9 else 255)
            image.putpixel((x, y), (r, g, b, alpha))
    return image


class PaletteTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="divovod-palette-")
        cls.palette = game_palette()
        cls.make_pictures()
        cls.make_palettes()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def path(cls, name):
        return os.path.join(cls.folder, name)

    @classmethod
    def convert(cls, *args):
        subprocess.run([CONVERT, *args], cwd=cls.folder, check=True, timeout=60)

    @classmethod
    def netpbm(cls, commands, output):
        data = read(cls.path("base.ppm"))
        for command in commands:
            data = subprocess.run(command, input=data, capture_output=True, check=True,
                                  timeout=60).stdout
        write(cls.path(output), data)

    @classmethod
    def make_pictures(cls):
        base = base_picture()
        base.save(cls.path("base.png"))
        base.save(cls.path("base.ppm"))
        rgba = rgba_picture(base)
        # Indexed: Pillow picks 1, 2, 4 or 8 bits from the palette's size.
        cls.indexed = []
        for colours in (2, 4, 16, 200):
            name = f"pillow-{colours}.png"
            base.quantize(colours).save(cls.path(name))
            cls.indexed.append(name)
        base.quantize(200).save(cls.path("pillow-8.bmp"))
        cls.indexed.append("pillow-8.bmp")
        cls.convert("base.png", "-colors", "16", "-interlace", "PNG", "PNG8:im-interlaced.png")
        cls.convert("base.png", "-colors", "200", "-interlace", "PNG", "PNG8:im-interlaced-8.png")
        cls.convert("base.png", "-colors", "16", "-type", "Palette", "-compress", "none",
                    "BMP3:im-4.bmp")
        cls.indexed += ["im-interlaced.png", "im-interlaced-8.png", "im-4.bmp"]
        for colours, bits in ((2, 1), (12, 4)):
            name = f"netpbm-{bits}.bmp"
            cls.netpbm([["pnmquant", str(colours)], ["ppmtobmp", f"-bpp={bits}"]], name)
            cls.indexed.append(name)
        cls.netpbm([["pnmquant", "12"], ["ppmtobmp", "-os2", "-bpp=4"]], "netpbm-os2-4.bmp")
        cls.netpbm([["pnmquant", "3"], ["pnmtopng", "-interlace"]], "netpbm-interlaced-2.png")
        cls.netpbm([["pnmquant", "100"], ["pnmtopng"]], "netpbm-8.png")
        cls.indexed += ["netpbm-os2-4.bmp", "netpbm-interlaced-2.png", "netpbm-8.png"]
        # True colour, each with the picture Pillow sees in it.
        rgba.save(cls.path("pillow-rgba.png"))
        base.convert("L").save(cls.path("pillow-grey.png"))
        rgba.convert("LA").save(cls.path("pillow-grey-alpha.png"))
        base.save(cls.path("pillow-24.bmp"))
        rgba.save(cls.path("pillow-32.bmp"))
        cls.convert("base.png", "-depth", "16", "PNG48:im-16.png")
        cls.convert("pillow-rgba.png", "-depth", "16", "PNG64:im-rgba-16.png")
        cls.convert("pillow-grey.png", "-depth", "16", "PNG:im-grey-16.png")
        cls.convert("base.png", "-define", "bmp:subtype=RGB565", "BMP:im-565.bmp")
        cls.convert("pillow-rgba.png", "BMP:im-32-alpha.bmp")
        cls.netpbm([["pnmtopng", "-interlace"]], "netpbm-interlaced-rgb.png")
        cls.true_colour = {
            "base.png": base, "pillow-rgba.png": rgba, "pillow-grey.png": base.convert("L"),
            "pillow-grey-alpha.png": rgba.convert("LA"), "pillow-24.bmp": base,
            "pillow-32.bmp": Image.open(cls.path("pillow-32.bmp")).convert("RGB"),
            "im-16.png": base, "im-rgba-16.png": rgba, "im-grey-16.png": base.convert("L"),
            "im-565.bmp": Image.open(cls.path("im-565.bmp")),
            "im-32-alpha.bmp": Image.open(cls.path("im-32-alpha.bmp")),
            "netpbm-interlaced-rgb.png": base,
        }

    @classmethod
    def make_palettes(cls):
        colours = cls.palette
        write(cls.path("game.pal"), b"JASC-PAL\r\n0100\r\n256\r\n" +
              b"".join(b"%d %d %d\r\n" % c for c in colours))
        write(cls.path("game.gpl"), b"GIMP Palette\nName: The game\nColumns: 16\n#\n# comment\n" +
              b"".join(b"%3d\t%3d %3d\tColour %d\n" % (*c, i) for i, c in enumerate(colours)))
        table = bytes(v for c in colours for v in c)
        write(cls.path("game.act"), table)
        write(cls.path("counted.act"), table + struct.pack(">HH", 256, 0xFFFF))
        entries = b"".join(bytes(c) + b"\0" for c in colours)
        data = b"data" + struct.pack("<IHH", 4 + len(entries), 0x300, 256) + entries
        write(cls.path("riff.pal"), b"RIFF" + struct.pack("<I", 4 + len(data)) + b"PAL " + data)
        swatch = Image.new("P", (16, 16))
        swatch.putpalette(table)
        swatch.putdata(list(range(256)))
        swatch.save(cls.path("palette-picture.png"))
        swatch.save(cls.path("palette-picture.bmp"))
        # Text palettes as some editors save them: a UTF-8 byte order mark first, CRLF lines.
        mark = b"\xef\xbb\xbf"
        write(cls.path("marked.gpl"), mark + read(cls.path("game.gpl")).replace(b"\n", b"\r\n"))
        write(cls.path("marked.pal"), mark + read(cls.path("game.pal")))
        cls.forms = ["game.pal", "game.gpl", "game.act", "counted.act", "riff.pal",
                     "palette-picture.png", "palette-picture.bmp", "marked.gpl", "marked.pal"]

    def build(self, picture, output, *options, others=None):
        pictures = [picture] + (others or [picture, picture])
        return run("build", "-e", pictures[0], "-t", pictures[1], "-l", pictures[2], "-p", "1",
                   "-n", "Colours", "-s", "c1.lev", "-o", output, *options, cwd=self.folder)

    def built(self, picture, *options):
        output = "out.z4k"
        result = self.build(picture, output, *options)
        self.assertEqual(result.returncode, 0, (picture, options, result.stderr))
        data = read(self.path(output))
        os.remove(self.path(output))
        return data, result

    def test_indexed_pictures_keep_their_indices(self):
        for name in self.indexed:
            with self.subTest(name):
                episode, result = self.built(name)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(streams(episode)[0], indices_of(self.path(name)))
                # With their own palette as the game's, they are stored byte for byte the same.
                again, result = self.built(name, "--palette", name)
                self.assertEqual(again, episode, result.stderr)
                self.assertEqual(result.stderr, b"")

    def test_names_with_folders_spaces_and_other_letters(self):
        os.makedirs(self.path("art é"), exist_ok=True)
        os.makedirs(self.path("palettes ü"), exist_ok=True)
        shutil.copy(self.path("pillow-rgba.png"), self.path("art é/ciel ø.png"))
        shutil.copy(self.path("game.gpl"), self.path("palettes ü/jeu é.gpl"))
        moved, result = self.built("art é/ciel ø.png", "--palette", "palettes ü/jeu é.gpl")
        same, _ = self.built("pillow-rgba.png", "--palette", "game.gpl")
        self.assertEqual(moved, same)
        self.assertTrue(result.stderr.decode().startswith("divovod: art é/ciel ø.png: mapped"))

    def test_true_colour_needs_a_palette(self):
        for name in self.true_colour:
            with self.subTest(name):
                result = self.build(name, "out.z4k")
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout, b"")
                self.assertIn(b"give the game's palette with --palette", result.stderr)
                self.assertFalse(os.path.exists(self.path("out.z4k")))

    def test_every_picture_maps_to_the_brute_force_answer(self):
        pictures = dict(self.true_colour)
        for name in self.indexed:
            pictures[name] = Image.open(self.path(name))
        for name, image in pictures.items():
            with self.subTest(name):
                episode, result = self.built(name, "--palette", "game.gpl")
                expected = mapped(image, self.palette)
                self.assertEqual(streams(episode)[0], expected)
                changed, largest = 0, 0
                for colour in image.convert("RGB").getdata():
                    d = nearest(colour, self.palette)[1]
                    changed += d > 0
                    largest = max(largest, d)
                line = (f"divovod: {name}: mapped onto the palette: {changed} of "
                        f"{WIDTH * HEIGHT} pixels changed colour, largest distance "
                        f"{largest ** 0.5:.1f}")
                self.assertTrue(result.stderr.decode().startswith(line), result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 3)

    def test_ties_go_to_the_lowest_index_and_repeats_keep_their_own(self):
        episode, _ = self.built("base.png", "--palette", "game.pal")
        top, bottom = streams(episode)[0][:WIDTH], streams(episode)[0][-WIDTH:]
        self.assertEqual([top[x] for x in range(0, WIDTH, 3)], [12] * len(range(0, WIDTH, 3)))
        self.assertEqual([bottom[x] for x in range(0, WIDTH, 3)], [5] * len(range(0, WIDTH, 3)))
        # An indexed picture drawn with the game's palette keeps index 17, the second copy.
        drawn = Image.new("P", (7, 3))
        drawn.putpalette(bytes(v for c in self.palette for v in c))
        drawn.putdata([17, 5, 12, 40, 17, 255, 0] * 3)
        drawn.save(self.path("drawn.png"))
        episode, result = self.built("drawn.png", "--palette", "game.act")
        self.assertEqual(streams(episode)[0], bytes([17, 5, 12, 40, 17, 255, 0] * 3))
        self.assertEqual(result.stderr, b"")

    def test_every_palette_form_gives_the_same_episode(self):
        first = None
        for form in self.forms:
            with self.subTest(form):
                episode, result = self.built("pillow-rgba.png", "--palette", form)
                self.assertNotIn(b"6-bit", result.stderr)
                first = first or episode
                self.assertEqual(episode, first)
        # Raw 6-bit VGA values, scaled to 0..255 and said so.
        vga = [tuple(v // 4 for v in c) for c in self.palette]
        write(self.path("vga.pal"), bytes(v for c in vga for v in c))
        episode, result = self.built("base.png", "--palette", "vga.pal")
        scaled = [tuple((v * 255 + 31) // 63 for v in c) for c in vga]
        self.assertIn(b"vga.pal: read as 6-bit VGA values", result.stderr)
        self.assertEqual(streams(episode)[0], mapped(Image.open(self.path("base.png")), scaled))

    def test_transparent_index(self):
        for name in ("pillow-rgba.png", "im-rgba-16.png", "pillow-grey-alpha.png",
                     "im-32-alpha.bmp"):
            with self.subTest(name):
                episode, result = self.built(name, "--palette", "game.gpl",
                                             "--transparent-index", "7")
                image = self.true_colour[name]
                self.assertEqual(streams(episode)[0], mapped(image, self.palette, 7))
                self.assertIn(b"transparent pixels took the transparent index", result.stderr)
                self.assertIn(b"pixels of partial alpha were mapped by their colour", result.stderr)
        # An indexed PNG with a transparent entry (tRNS).
        drawn = Image.new("P", (5, 2))
        drawn.putpalette(bytes(v for c in self.palette for v in c))
        drawn.putdata([3, 7, 9, 3, 200] * 2)
        drawn.save(self.path("keyed.png"), transparency=3)
        episode, _ = self.built("keyed.png", "--palette", "game.pal", "--transparent-index", "9")
        picture = streams(episode)[0]
        self.assertEqual(picture[0], 9)
        self.assertEqual(picture[1], 7)
        self.assertNotEqual(picture[2], 9, "the transparent index is never chosen for a colour")
        self.assertEqual(picture[2], nearest(self.palette[9], self.palette, 9)[0])

    def test_exact_colours_and_dither(self):
        result = self.build("base.png", "out.z4k", "--palette", "game.pal", "--exact-colours")
        self.assertEqual(result.returncode, 1)
        # The first pixel, top left, is the tie colour, which the palette lacks.
        self.assertEqual(result.stderr.decode().splitlines()[0],
                         "divovod: base.png: the pixel at x 0, y 0 has colour #6496C8, which is "
                         "not in the palette (--exact-colours refuses any such colour)")
        shifted = Image.open(self.path("palette-picture.png")).convert("RGB")
        shifted.putpixel((9, 4), (1, 2, 3))
        shifted.save(self.path("one-off.png"))
        result = self.build("one-off.png", "out.z4k", "--palette", "game.pal", "--exact-colours")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"the pixel at x 9, y 4 has colour #010203", result.stderr)
        self.assertFalse(os.path.exists(self.path("out.z4k")))
        # A picture already in the game's colours passes, the same as without the option.
        exact, _ = self.built("palette-picture.png", "--palette", "game.pal", "--exact-colours")
        plain, _ = self.built("palette-picture.png", "--palette", "game.pal")
        self.assertEqual(exact, plain)
        dithered, result = self.built("pillow-24.bmp", "--palette", "game.pal", "--dither")
        nearest_only, _ = self.built("pillow-24.bmp", "--palette", "game.pal")
        self.assertNotEqual(streams(dithered)[0], streams(nearest_only)[0])
        self.assertEqual(len(streams(dithered)[0]), WIDTH * HEIGHT)
        # With nothing to diffuse, dithering is plain nearest colours.
        same, _ = self.built("palette-picture.png", "--palette", "game.pal", "--dither")
        self.assertEqual(same, plain)

    def test_bad_pngs_are_refused_by_name(self):
        for name, data in png_cases.bad_pngs().items():
            with self.subTest(name):
                write(self.path(name), data)
                result = self.build(name, "out.z4k", others=["pillow-4.png", "pillow-4.png"])
                self.assertEqual(result.returncode, 1)
                self.assertTrue(result.stderr.startswith(f"divovod: {name}: ".encode()),
                                result.stderr)
                self.assertEqual(result.stderr.count(b"\n"), 1)
                self.assertFalse(os.path.exists(self.path("out.z4k")))
        for name, (data, indices) in png_cases.good_pngs().items():
            with self.subTest(name):
                write(self.path(name), data)
                episode, _ = self.built(name)
                self.assertEqual(streams(episode)[0], bytes(v for row in indices for v in row))

    def refused_palette(self, name):
        """What extract says of the palette file `name`: it stops there, before the episode."""
        result = run("extract", "none.z4k", "--palette", name, cwd=self.folder)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stdout, b"")
        return result.stderr.decode()

    def test_hostile_palette_files_are_refused_at_once_in_words(self):
        jasc = b"JASC-PAL\r\n0100\r\n"
        with open(self.path("sparse.pal"), "wb") as out:
            out.write(jasc)
            out.truncate(1 << 30)
        write(self.path("2-mib.pal"), jasc.ljust(2 << 20, b" "))
        write(self.path("count.pal"), jasc + b"9999\r\n1 2 3\r\n")
        good, _ = png_cases.indexed_png(13, 9, 4)
        plte_at = good.index(b"PLTE") - 4
        plte_end = plte_at + 12 + 3 * 16
        write(self.path("plte-5.png"),
              good[:plte_at] + png_cases.chunk(b"PLTE", bytes(5)) + good[plte_end:])
        write(self.path("crowded.png"),
              good[:plte_end] + png_cases.chunk(b"teSt", b"") * 1_000_000 + good[plte_end:])
        cases = [("sparse.pal", "the palette file is 1024 MiB; a JASC-PAL palette is at most 1 MiB"),
                 ("2-mib.pal", "the palette file is 2 MiB; a JASC-PAL palette is at most 1 MiB"),
                 ("count.pal", "line 3: the colour count 9999 is not 1 to 256"),
                 ("plte-5.png", "the palette file is a damaged PNG, with a bad PNG structure: "
                                "chunks out of order, of a wrong size, or unknown critical ones")]
        for name, reason in cases:
            with self.subTest(name):
                began = time.monotonic()
                said = self.refused_palette(name)
                self.assertLess(time.monotonic() - began, 1.0, "seconds, the program's start too")
                self.assertEqual(said, f"divovod: {name}: {reason}\n")
        # A million empty chunks (12 MB) are walked once, as a picture's are: the palette is read.
        began = time.monotonic()
        said = self.refused_palette("crowded.png")
        self.assertLess(time.monotonic() - began, 5.0, "seconds")
        self.assertEqual(said, "divovod: none.z4k: cannot be opened (No such file or directory)\n")

    def test_a_png_refused_as_a_picture_is_refused_as_a_palette_file(self):
        # Claims past 4096 x 4096 pixels are refused from the header, before the checks.
        claims = {"huge-claim.png": (40000, 40000), "claim-past-32-bits.png": (100000, 100000)}
        for name, data in png_cases.bad_pngs().items():
            with self.subTest(name):
                write(self.path(name), data)
                picture = self.build(name, "out.z4k", others=["pillow-4.png", "pillow-4.png"])
                self.assertEqual(picture.returncode, 1)
                said = self.refused_palette(name)
                if name in claims:
                    width, height = claims[name]
                    self.assertEqual(said, f"divovod: {name}: the palette file is a picture of "
                                           f"{width} x {height} pixels; a PNG read for its palette "
                                           f"has at most 16777216 (4096 x 4096)\n")
                    continue
                # The picture's reason, in the same words, said of the palette file.
                reason = picture.stderr.decode().split(": ", 2)[2]
                self.assertTrue(said.startswith(f"divovod: {name}: the palette file "), said)
                self.assertTrue(said.endswith(reason), (said, reason))

    def test_bad_palettes_and_options(self):
        write(self.path("empty.gpl"), b"GIMP Palette\nName: none\n")
        write(self.path("bad-line.pal"), b"JASC-PAL\r\n0100\r\n2\r\n1 2 3\r\n1 2 300\r\n")
        write(self.path("notes.txt"), b"these are not colours\n")
        write(self.path("too-many.gpl"), b"GIMP Palette\n" + b"1 2 3\n" * 257)
        cases = [("empty.gpl", "a palette of 0 colours"),
                 ("bad-line.pal", "line 5 is not a colour"),
                 ("notes.txt", "not a palette"),
                 ("too-many.gpl", "a palette of 257 colours"),
                 ("pillow-24.bmp", "a bitmap of 24 bits per pixel has no palette"),
                 ("base.png", "a PNG without a palette (not an indexed picture)"),
                 ("missing.pal", "cannot be opened")]
        for name, reason in cases:
            with self.subTest(name):
                for command in (["build", "-e", "base.png", "-t", "base.png", "-l", "base.png",
                                 "-p", "1", "-n", "x", "-s", "y", "-o", "out.z4k"],
                                ["extract", "none.z4k"], []):
                    result = run(*command, "--palette", name, cwd=self.folder)
                    self.assertEqual(result.returncode, 1, (command, result.stderr))
                    self.assertTrue(result.stderr.decode().startswith(f"divovod: {name}: {reason}"),
                                    (command, result.stderr))
                    self.assertEqual(result.stdout, b"", "nothing drawn, nothing written")
        for options in (["--dither"], ["--palette", "game.pal", "--transparent-index", "256"],
                        ["--palette", "game.pal", "--transparent-index", "x"],
                        ["--palette", "game.pal", "stray"]):
            with self.subTest(options):
                result = run(*options, cwd=self.folder)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(b"usage:", result.stderr)
                self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
