#!/usr/bin/env python3
"""The docs' examples run: every `sh` block of the README and the user guide, in a scratch folder
with pictures and palettes made here, each document's blocks in order as a reader would type
them. A comment line before a block says what to check:

    <!-- doc-test: exit=1 writes=a.z4k,dir/b.bmp colours=a.z4k:photo.png -->

exit: the block's exit status (0 unless given); writes: files it must leave (an episode file
among them must be intact for `divovod show`); colours: an episode file whose episode picture
must hold, pixel for pixel, the game palette's nearest colour to the source picture's (worked out
here by brute force). `<!-- doc-test: file=PATH -->` before a `toml` block writes it to PATH.

Usage: docs_test.py PATH_TO_DIVOVOD SOURCE_DIR
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

PROGRAM = None
SOURCE = None
DOCUMENTS = ["README.md", os.path.join("docs", "user-guide.md")]


# --- pictures and palettes, written byte by byte so that every pixel is known here -----------

def game_palette():
    """256 distinct colours, as a game's palette might be: ramps of hues and a grey ramp."""
    colours = []
    for i in range(256):
        if i < 192:
            hue, level = divmod(i, 32)
            base = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (1, 1, 0), (0, 1, 1), (1, 0, 1)][hue]
            colours.append(tuple(min(255, c * (level * 8 + 7)) for c in base))
        else:
            grey = (i - 192) * 4 + 2
            colours.append((grey, grey, grey))
    return colours


def png(path, width, height, pixel, alpha=False):
    """A true-colour PNG (RGB, or RGBA) whose pixel (x, y) is pixel(x, y)."""
    channels = 4 if alpha else 3
    rows = b"".join(b"\0" + b"".join(bytes(pixel(x, y)[:channels]) for x in range(width))
                    for y in range(height))

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha else 2, 0, 0, 0)
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                   chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bmp(path, width, height, index, palette):
    """An 8-bit bitmap with the palette given, bottom row first, rows padded to 4 bytes."""
    stride = (width + 3) & ~3
    pixels = b"".join(bytes(index(x, y) for x in range(width)).ljust(stride, b"\0")
                      for y in reversed(range(height)))
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    offset = 14 + 40 + len(table)
    with open(path, "wb") as file:
        file.write(b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) +
                   struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 2835,
                               2835, 256, 0) + table + pixels)


def photo_pixel(x, y):
    return ((x * 37 + y * 11) % 256, (x * 5 + y * 23) % 256, (x * y * 3 + 40) % 256, 255)


def make_fixtures(folder):
    colours = game_palette()
    with open(os.path.join(folder, "game.pal"), "w", newline="\r\n") as file:
        file.write("JASC-PAL\n0100\n256\n" + "".join("%d %d %d\n" % c for c in colours))
    with open(os.path.join(folder, "game.gpl"), "w") as file:
        file.write("GIMP Palette\nName: game\nColumns: 16\n#\n" +
                   "".join("%3d %3d %3d\tc%d\n" % (*c, i) for i, c in enumerate(colours)))
    with open(os.path.join(folder, "game.act"), "wb") as file:
        file.write(b"".join(bytes(c) for c in colours))
    bmp(os.path.join(folder, "game.bmp"), 16, 16, lambda x, y: y * 16 + x, colours)
    sizes = {"episode": (64, 40), "title": (320, 200), "lowtitle": (64, 10), "low": (64, 10)}
    for name, (width, height) in sizes.items():
        png(os.path.join(folder, name + ".png"), width, height,
            lambda x, y, w=width: ((x * 255) // w, (y * 97) % 256, 128, 255))
        bmp(os.path.join(folder, name + ".bmp"), width, height,
            lambda x, y: (x + 3 * y) % 256, colours)
    png(os.path.join(folder, "photo.png"), 64, 40, photo_pixel)
    png(os.path.join(folder, "art.png"), 64, 40,
        lambda x, y: photo_pixel(x, y)[:3] + ((0,) if x < 8 and y < 8 else (255,)), alpha=True)
    art = os.path.join(folder, "mod", "art")
    os.makedirs(art)
    for name, (width, height) in {"episode": (64, 40), "title": (320, 200),
                                  "low": (64, 10)}.items():
        png(os.path.join(art, f"caves-{name}.png"), width, height,
            lambda x, y: ((x * 3) % 256, (y * 5) % 256, (x + y) % 256, 255))
        bmp(os.path.join(art, f"hills-{name}.bmp"), width, height,
            lambda x, y: (x * y) % 256, colours)


# --- what a block must leave -----------------------------------------------------------------

def nearest(colours, colour):
    best = min(range(len(colours)),
               key=lambda i: (sum((a - b) ** 2 for a, b in zip(colours[i], colour)), i))
    return best


def episode_indices(data):
    """The episode picture's indices (top row first) and its width of an episode file."""
    width, height = struct.unpack_from("<ii", data, 176)
    size = struct.unpack_from("<i", data, 208)[0]
    return zlib.decompress(data[212:212 + size]), width, height


def block_checks(comment):
    checks = {"exit": "0", "writes": "", "colours": "", "file": ""}
    for key, value in re.findall(r"(\w+)=(\S+)", comment or ""):
        checks[key] = value
    return checks


def blocks_of(text):
    """Every fenced block: (its info string, its text, the doc-test comment before it, line)."""
    lines = text.split("\n")
    found, i = [], 0
    while i < len(lines):
        fence = re.match(r"^```(\S*)\s*$", lines[i])
        if not fence:
            i += 1
            continue
        comment = lines[i - 1] if i > 0 and lines[i - 1].startswith("<!-- doc-test:") else None
        start = i
        i += 1
        body = []
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        found.append((fence.group(1), "\n".join(body) + "\n", comment, start + 1))
        i += 1
    return found


class DocsTest(unittest.TestCase):
    def run_document(self, document):
        folder = tempfile.mkdtemp(prefix="divovod-docs-")
        try:
            scratch = os.path.join(folder, "work")
            os.makedirs(scratch)
            binaries = os.path.join(folder, "bin")
            os.makedirs(binaries)
            os.symlink(PROGRAM, os.path.join(binaries, "divovod"))
            make_fixtures(scratch)
            env = {key: value for key, value in os.environ.items()
                   if key not in ("DIVOVOD_PALETTE", "XDG_CONFIG_HOME")}
            env.update(PATH=binaries + os.pathsep + env.get("PATH", "/usr/bin:/bin"),
                       HOME=os.path.join(folder, "home"), COLUMNS="80", LC_ALL="C.UTF-8")
            with open(os.path.join(SOURCE, document), encoding="utf-8") as file:
                blocks = blocks_of(file.read())
            ran = 0
            for info, body, comment, line in blocks:
                checks = block_checks(comment)
                if info == "toml" and checks["file"]:
                    target = os.path.join(scratch, checks["file"])
                    os.makedirs(os.path.dirname(target), exist_ok=True)
                    with open(target, "w", encoding="utf-8") as file:
                        file.write(body)
                    continue
                if info != "sh":
                    continue
                ran += 1
                with self.subTest(f"{document}:{line}"):
                    self.run_block(scratch, env, body, checks)
            self.assertGreater(ran, 0, f"{document} has no sh block")
        finally:
            shutil.rmtree(folder)

    def run_block(self, scratch, env, body, checks):
        result = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", body], cwd=scratch,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=120, start_new_session=True)
        said = (result.stdout + result.stderr).decode(errors="replace")[-3000:]
        self.assertEqual(result.returncode, int(checks["exit"]), f"{body}\n{said}")
        for path in filter(None, checks["writes"].split(",")):
            full = os.path.join(scratch, path)
            self.assertTrue(os.path.isfile(full) and os.path.getsize(full) > 0,
                            f"{path} not written by:\n{body}\n{said}")
            if path.endswith(".z4k"):
                shown = subprocess.run([PROGRAM, "show", full], capture_output=True, timeout=60)
                self.assertEqual(shown.returncode, 0, shown.stdout.decode())
        if checks["colours"]:
            episode, source = checks["colours"].split(":")
            self.check_colours(scratch, episode, source)

    def check_colours(self, scratch, episode, source):
        with open(os.path.join(scratch, episode), "rb") as file:
            indices, width, height = episode_indices(file.read())
        self.assertEqual(source, "photo.png", "the sources' pixels are known here by name")
        colours = game_palette()
        memo = {}
        wrong = 0
        for y in range(height):
            for x in range(width):
                colour = photo_pixel(x, y)[:3]
                if colour not in memo:
                    memo[colour] = nearest(colours, colour)
                wrong += indices[y * width + x] != memo[colour]
        self.assertEqual(wrong, 0, f"{episode}: {wrong} pixels are not the nearest colour")

    def test_readme(self):
        self.run_document(DOCUMENTS[0])

    def test_user_guide(self):
        self.run_document(DOCUMENTS[1])


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
