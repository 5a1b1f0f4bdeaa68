#!/usr/bin/env python3
"""Episode projects: manifests built side by side and only when something changed, extract's
manifest building the very same file again, edit and diff of episode files, and the game's palette
set once (the config file, DIVOVOD_PALETTE) in its order of precedence.

Usage: project_test.py PATH_TO_DIVOVOD
Needs ImageMagick's convert. Every run has no terminal, a scratch HOME and XDG_CONFIG_HOME, and
no DIVOVOD_PALETTE unless a case sets one.
"""
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

PROGRAM = None
CONVERT = shutil.which("convert-im6.q16") or "/usr/bin/convert"
HEADER = struct.Struct("<iiii128s32siiiiiiii")


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def episode_parts(data):
    """The header's fields and the three stored streams of an episode file."""
    fields = HEADER.unpack_from(data, 0)
    streams, at = [], HEADER.size
    for _ in range(3):
        size = struct.unpack_from("<i", data, at)[0]
        streams.append(data[at + 4:at + 4 + size])
        at += 4 + size
    assert at == len(data), "nothing follows the last picture"
    return fields, streams


def jasc(colours):
    lines = ["JASC-PAL", "0100", str(len(colours))] + ["%d %d %d" % c for c in colours]
    return ("\r\n".join(lines) + "\r\n").encode()


def palette(shift):
    """256 distinct colours, a different set for each shift."""
    return [((i * 37 + shift) % 256, (i * 91 + 3 * shift) % 256, i) for i in range(256)]


class Project(unittest.TestCase):
    """A scratch folder with a mod in a folder whose name has a space and a letter beyond ASCII,
    pictures from ImageMagick and four palettes."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="divovod-project-")
        self.mod = os.path.join(self.root, "mod čudo")
        os.makedirs(os.path.join(self.mod, "art"))
        art = os.path.join(self.mod, "art")
        convert = lambda *args: subprocess.run([CONVERT, *args], cwd=art, check=True, timeout=60)
        convert("-seed", "4", "-size", "37x21", "plasma:fractal", "-colors", "200", "-type",
                "Palette", "BMP3:ep.bmp")
        convert("-seed", "5", "-size", "30x20", "plasma:fractal", "-colors", "90", "-type",
                "Palette", "BMP3:title.bmp")
        convert("-size", "19x7", "gradient:red-blue", "-colors", "50", "-type", "Palette",
                "BMP3:low.bmp")
        convert("-seed", "6", "-size", "30x20", "plasma:fractal", "-type", "TrueColor",
                "PNG24:photo.png")
        for shift in range(4):
            write(os.path.join(self.mod, f"p{shift}.pal"), jasc(palette(shift * 50)))
        self.env = {key: value for key, value in os.environ.items()
                    if key not in ("DIVOVOD_PALETTE", "XDG_CONFIG_HOME")}
        self.env["HOME"] = os.path.join(self.root, "home")
        self.env["XDG_CONFIG_HOME"] = os.path.join(self.root, "config")

    def tearDown(self):
        shutil.rmtree(self.root)

    def run_program(self, *args, cwd=None, env=None):
        return subprocess.run([PROGRAM, *args], cwd=cwd or self.root, env=env or self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                              start_new_session=True)

    def path(self, *names):
        return os.path.join(self.mod, *names)

    def manifest(self, text, name="episodes.toml"):
        with open(self.path(name), "w", encoding="utf-8") as file:
            file.write(text)
        return self.path(name)

    def build_options(self, output, position, name, level, pictures, *extra):
        result = self.run_program("build", "-o", output, "-p", str(position), "-n", name, "-s",
                                  level, "-e", pictures[0], "-t", pictures[1], "-l", pictures[2],
                                  *extra)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return read(output)

    def leftovers(self):
        return [name for folder, _, names in os.walk(self.root) for name in names
                if name.endswith(".tmp")]


THREE = """\
palette = "p0.pal"
start_level = "l1.lev"
episode_image = "art/ep.bmp"
lowtitle_image = "art/low.bmp"

[[episode]]
output = "out/one.z4k"
position = 1
name = "One"
title_image = "art/photo.png"

[[episode]]
output = "two.z4k"
position = 2
name = "Two – č"
title_image = "art/title.bmp"
palette = ""

[[episode]]
output = "three.z4k"
position = -3
name = "Three"
title_image = "art/photo.png"
palette = "p1.pal"
dither = true
transparent_index = 0
"""


class ManifestBuildTest(Project):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("out"))
        self.file = self.manifest(THREE)
        self.outputs = [self.path("out", "one.z4k"), self.path("two.z4k"),
                        self.path("three.z4k")]

    def expected(self):
        """Each episode as the option form builds it."""
        art = lambda name: self.path("art", name)
        scratch = os.path.join(self.root, "expected.z4k")
        return [
            self.build_options(scratch, 1, "One", "l1.lev",
                               [art("ep.bmp"), art("photo.png"), art("low.bmp")],
                               "--palette", self.path("p0.pal")),
            self.build_options(scratch, 2, "Two – č", "l1.lev",
                               [art("ep.bmp"), art("title.bmp"), art("low.bmp")]),
            self.build_options(scratch, -3, "Three", "l1.lev",
                               [art("ep.bmp"), art("photo.png"), art("low.bmp")],
                               "--palette", self.path("p1.pal"), "--dither",
                               "--transparent-index", "0"),
        ]

    def test_every_episode_as_the_options_build_it_on_one_or_two_threads(self):
        expected = self.expected()
        elsewhere = os.path.join(self.root, "elsewhere")
        os.mkdir(elsewhere)
        for jobs in ("1", "2"):
            with self.subTest(jobs=jobs):
                for output in self.outputs:
                    if os.path.exists(output):
                        os.remove(output)
                result = self.run_program("build", "-j", jobs, self.file, cwd=elsewhere)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                lines = result.stdout.decode().splitlines()
                self.assertEqual([line.split(" (")[0] for line in lines],
                                 [f"divovod: wrote {output}" for output in self.outputs])
                self.assertIn(f"palette {self.path('p0.pal')}, from the manifest {self.file}",
                              lines[0])
                self.assertNotIn("palette", lines[1])
                self.assertEqual([read(output) for output in self.outputs], expected)
        self.assertEqual(os.listdir(elsewhere), [], "paths come from the manifest's folder")

    def test_only_what_changed_is_built_again(self):
        result = self.run_program("build", self.file)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        inputs = [self.file, self.path("p0.pal"), self.path("p1.pal")] + [
            self.path("art", name) for name in ("ep.bmp", "title.bmp", "low.bmp", "photo.png")]
        then = time.time() - 10000

        def touch(*names):
            return lambda: os.utime(self.path(*names), (then + 20, then + 20))

        cases = [
            ("nothing changed", lambda: None, []),
            ("a picture of one episode", touch("art", "title.bmp"), [1]),
            ("the palette of one", touch("p1.pal"), [2]),
            ("a picture of all three", touch("art", "low.bmp"), [0, 1, 2]),
            ("an output deleted", lambda: os.remove(self.outputs[0]), [0]),
            ("the manifest", touch("episodes.toml"), [0, 1, 2]),
        ]
        for what, change, rebuilt in cases:
            with self.subTest(what):
                # Everything made at one time and every output after it; then one change.
                for path in inputs:
                    os.utime(path, (then, then))
                for output in self.outputs:
                    os.utime(output, (then + 10, then + 10))
                change()
                result = self.run_program("build", self.file)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                lines = result.stdout.decode().splitlines()
                said = [line.startswith(f"divovod: wrote {output} (") if i in rebuilt else
                        line == f"divovod: {output} is up to date"
                        for i, (line, output) in enumerate(zip(lines, self.outputs))]
                self.assertEqual(said, [True] * 3, lines)
        result = self.run_program("build", "--always", self.file)
        self.assertEqual(result.stdout.decode().count("divovod: wrote "), 3)

    def test_a_failed_episode_stops_no_other_and_leaves_nothing(self):
        broken = THREE.replace('title_image = "art/title.bmp"', 'title_image = "art/none.bmp"')
        broken = broken.replace('palette = "p1.pal"\n', 'palette = ""\n')
        broken = broken.replace("dither = true\ntransparent_index = 0\n", "")
        self.manifest(broken)
        result = self.run_program("build", "-j", "2", self.file)
        self.assertEqual(result.returncode, 1)
        err = result.stderr.decode().splitlines()
        self.assertEqual(len(err), 2, err)
        self.assertTrue(err[0].startswith(f"divovod: {self.outputs[1]} failed: "
                                          f"{self.path('art', 'none.bmp')}: "), err)
        self.assertTrue(err[1].startswith(f"divovod: {self.outputs[2]} failed: "
                                          f"{self.path('art', 'photo.png')}: a true-colour"), err)
        self.assertTrue(os.path.exists(self.outputs[0]))
        self.assertFalse(os.path.exists(self.outputs[1]) or os.path.exists(self.outputs[2]))
        self.assertEqual(self.leftovers(), [])

    def test_an_index_past_the_palette_is_the_manifests_fault_at_its_place(self):
        write(self.path("small.pal"), jasc(palette(0)[:16]))
        manifest = self.manifest(THREE.replace('palette = "p1.pal"', 'palette = "small.pal"')
                                 .replace("transparent_index = 0", "transparent_index = 16"))
        result = self.run_program("build", manifest)
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (2, f"divovod: {manifest}:26:21: transparent_index = 16: the palette has "
                             f"only 16 colours (0 to 15) in {self.path('small.pal')}\n"))
        self.assertFalse(any(os.path.exists(output) for output in self.outputs))

    def test_a_wrong_manifest_builds_nothing(self):
        other = self.manifest(THREE.split("[[episode]]")[0] + 'title_image = "art/title.bmp"\n'
                              'name = "Other"\nposition = 9\noutput = "./two.z4k"\n',
                              name="other.toml")
        cases = [
            ([self.file, other], 2, "other.toml:9:10: output "),
            ([self.file, os.path.join(self.root, "missing.toml")], 2, "missing.toml: cannot be "),
            ([self.manifest(THREE.replace("position = 2\n", "position = 2\nlevel = 1\n"),
                            name="typo.toml")], 2, "typo.toml:15:1: unknown key 'level'"),
            ([self.manifest(THREE.replace('"p1.pal"', '"nowhere.pal"'), name="pal.toml")], 1,
             "nowhere.pal: cannot be opened"),
        ]
        for arguments, status, message in cases:
            with self.subTest(message):
                result = self.run_program("build", *arguments)
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertIn(message, result.stderr.decode())
                self.assertFalse(any(os.path.exists(output) for output in self.outputs))


class ThreadsThatCannotStartTest(Project):
    def test_the_episodes_are_built_by_the_threads_there_are(self):
        """Address space for few threads, or none: the build does with what it gets."""
        with open(PROGRAM, "rb") as program:
            if b"__asan_init" in program.read():
                self.skipTest("the sanitizers need far more address space than any limit here")
        text = ('palette = ""\nstart_level = "l"\nepisode_image = "art/ep.bmp"\n'
                'title_image = "art/title.bmp"\nlowtitle_image = "art/low.bmp"\nposition = 1\n'
                'name = "A"\n') + "".join(f'[[episode]]\noutput = "e{i}.z4k"\n' for i in range(40))
        manifest = self.manifest(text)
        for megabytes in (30, 10):  # room for two worker threads' stacks; for none
            with self.subTest(megabytes=megabytes):
                limit = megabytes << 20
                result = subprocess.run(
                    [PROGRAM, "build", "-j", "40", "--always", manifest], env=self.env,
                    stdin=subprocess.DEVNULL, capture_output=True, timeout=120,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(result.stdout.decode().count("divovod: wrote "), 40)
                self.assertEqual(len({read(self.path(f"e{i}.z4k")) for i in range(40)}), 1)


class NothingNotMadeIsLostTest(Project):
    """A build writes over no file it reads, by any name, and over no other kind of file unless
    told to; each refusal comes before anything is written."""

    TWO = ('palette = ""\nstart_level = "l"\nepisode_image = "art/ep.bmp"\n'
           'lowtitle_image = "art/low.bmp"\n\n'
           '[[episode]]\noutput = "{first}"\nposition = 1\nname = "A"\n'
           'title_image = "art/low.bmp"\n\n'
           '[[episode]]\noutput = "b.z4k"\nposition = 2\nname = "B"\n'
           'title_image = "art/title.bmp"\n')

    def test_an_output_that_is_an_input_stops_the_run(self):
        other = self.manifest(self.TWO.format(first="c.z4k").replace("b.z4k", "d.z4k"),
                              name="other.toml")
        os.symlink("other.toml", self.path("other link.toml"))
        config = os.path.join(self.root, "config", "divovod", "config.toml")
        os.makedirs(os.path.dirname(config))
        write(config, b"# nothing set\n")
        os.link(config, self.path("config hard link.toml"))
        art = lambda name: self.path("art", name)
        cases = [
            ("the manifest itself", "episodes.toml", [],
             f"is the manifest {self.path('episodes.toml')}"),
            ("another manifest, through a link", "other link.toml", [other],
             f"is the manifest {other}"),
            ("a picture of the other episode", "art/title.bmp", [],
             f"is the title image of the episode at {self.path('episodes.toml')}:13:10"),
            ("the config file, by a hard link", "config hard link.toml", [],
             f"is the config file {config}"),
            ("a picture not drawn yet", "art/new.bmp", [],
             f"is the title image of the episode at {self.path('episodes.toml')}:13:10"),
        ]
        kept = {name: read(name) for name in (other, config, art("title.bmp"), art("ep.bmp"))}
        for what, first, more, said in cases:
            with self.subTest(what):
                text = self.TWO.format(first=first)
                if first == "art/new.bmp":  # the second episode's title, which is missing
                    text = text.replace('title_image = "art/title.bmp"',
                                        'title_image = "art/new.bmp"')
                manifest = self.manifest(text)
                kept[manifest] = read(manifest)
                result = self.run_program("build", "--always", "--force", manifest, *more)
                self.assertEqual(result.returncode, 2, result.stderr.decode())
                self.assertEqual(result.stderr.decode(),
                                 f"divovod: {manifest}:7:10: output {self.path(first)} {said}; "
                                 "it is never written over; nothing built\n")
                self.assertEqual(result.stdout, b"")
                for name, data in kept.items():
                    self.assertEqual(read(name), data, name)
                self.assertFalse(os.path.exists(self.path("b.z4k")), "nothing is built")
        result = self.run_program("build", "-o", config, "-p", "1", "-n", "A", "-s", "l", "-e",
                                  art("ep.bmp"), "-t", art("title.bmp"), "-l", art("low.bmp"),
                                  "--force")
        self.assertEqual((result.returncode, result.stderr.decode()),
                         (1, f"divovod: {config}: is the config file {config}; "
                             "it is never written over\n"))
        self.assertEqual(read(config), kept[config])

    def test_a_file_of_another_kind_is_replaced_only_with_force_by_options_too(self):
        art = lambda name: self.path("art", name)
        target = self.path("picture.png")
        picture = read(art("photo.png"))
        episode = self.path("episode.z4k")
        self.build_options(episode, 1, "A", "l", [art("ep.bmp"), art("title.bmp"), art("low.bmp")])
        build = ["build", "-o", target, "-p", "1", "-n", "A", "-s", "l", "-e", art("ep.bmp"),
                 "-t", art("title.bmp"), "-l", art("low.bmp")]
        edit = ["edit", episode, "--name", "B", "-o", target]
        for what, arguments in (("build", build), ("edit", edit)):
            with self.subTest(what):
                write(target, picture)
                result = self.run_program(*arguments)
                self.assertEqual((result.returncode, result.stderr.decode()),
                                 (1, f"divovod: {target}: is a PNG picture, not an episode file: "
                                     "it is replaced only with --force; nothing written\n"))
                self.assertEqual(read(target), picture)
                result = self.run_program(*arguments, "--force")
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(read(target)[:4], b"\xcc\0\0\0")

    def test_a_file_of_another_kind_is_replaced_only_with_force(self):
        manifest = self.manifest(self.TWO.format(first="notes.txt"))
        write(self.path("notes.txt"), b"my notes\n")
        picture = read(self.path("art", "photo.png"))
        write(self.path("b.z4k"), picture)
        future = time.time() + 1000  # newer than every input: no date makes them up to date
        for name in ("notes.txt", "b.z4k"):
            os.utime(self.path(name), (future, future))
        result = self.run_program("build", manifest)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines(), [
            f"divovod: {self.path('notes.txt')} failed: is a text file, not an episode file: "
            "it is replaced only with --force",
            f"divovod: {self.path('b.z4k')} failed: is a PNG picture, not an episode file: "
            "it is replaced only with --force"])
        self.assertEqual(read(self.path("notes.txt")), b"my notes\n")
        self.assertEqual(read(self.path("b.z4k")), picture)
        result = self.run_program("build", "--force", manifest)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(read(self.path("b.z4k"))[:4], b"\xcc\0\0\0")
        # An episode file, even one cut short, is what a build replaces without being told.
        write(self.path("b.z4k"), read(self.path("b.z4k"))[:100])
        result = self.run_program("build", "--always", manifest)
        self.assertEqual(result.returncode, 0, result.stderr.decode())

    def test_mapping_wishes_and_the_config_files_palette_decide_each_episode(self):
        art = lambda name: self.path("art", name)
        pictures = [art("ep.bmp"), art("photo.png"), art("low.bmp")]
        plain = self.build_options(os.path.join(self.root, "plain.z4k"), 1, "A", "l", pictures,
                                   "--palette", self.path("p0.pal"))
        used = sorted(set(zlib.decompress(episode_parts(plain)[1][1])))
        # Two episodes alike but for the index kept out of the mapping, each a used one.
        text = ('palette = "p0.pal"\nstart_level = "l"\nepisode_image = "art/ep.bmp"\n'
                'title_image = "art/photo.png"\nlowtitle_image = "art/low.bmp"\nposition = 1\n'
                'name = "A"\n')
        text += "".join(f'[[episode]]\noutput = "t{index}.z4k"\ntransparent_index = {index}\n'
                        for index in used[:2])
        result = self.run_program("build", self.manifest(text))
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        for index in used[:2]:
            expected = self.build_options(os.path.join(self.root, "x.z4k"), 1, "A", "l",
                                          pictures, "--palette", self.path("p0.pal"),
                                          "--transparent-index", str(index))
            self.assertEqual(read(self.path(f"t{index}.z4k")), expected, index)

        # The config file names the palette; it then names another, older than the output.
        config = os.path.join(self.root, "config", "divovod", "config.toml")
        os.makedirs(os.path.dirname(config))
        manifest = self.manifest(text.replace('palette = "p0.pal"\n', "").split("[[")[0] +
                                 'output = "c.z4k"\n', name="config.toml")
        long_ago = time.time() - 10000
        for shift in (0, 1):
            write(config, f'palette = "../../mod čudo/p{shift}.pal"\n'.encode())
            os.utime(self.path(f"p{shift}.pal"), (long_ago, long_ago))
            result = self.run_program("build", manifest)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertIn("wrote", result.stdout.decode())
            expected = self.build_options(os.path.join(self.root, "x.z4k"), 1, "A", "l",
                                          pictures, "--palette", self.path(f"p{shift}.pal"))
            self.assertEqual(read(self.path("c.z4k")), expected, shift)


class ExtractRoundTripTest(Project):
    def test_the_manifest_builds_the_very_same_file(self):
        art = lambda name: self.path("art", name)
        original = self.path("caves.z4k")
        cases = [
            ("bmp", "a palette", ["--palette", self.path("p2.pal")], "photo.png", "30x20"),
            ("png", "a palette", ["--palette", self.path("p2.pal")], "photo.png", "30x20"),
            ("bmp", "no palette", [], "title.bmp", "20x30"),
            ("png", "no palette", [], "title.bmp", "600x1"),
        ]
        for form, what, palette_options, title, size in cases:
            with self.subTest(form=form, palette=what, title_size=size):
                data = self.build_options(original, 7, "Caves", "caves1.lev",
                                          [art("ep.bmp"), art(title), art("low.bmp")],
                                          *palette_options)
                folder = os.path.join(self.root, "x", f"{form} {what} {size}")
                result = self.run_program("extract", original, "-d", folder, "--format", form,
                                          "--title-size", size, *palette_options)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertTrue(result.stdout.decode().endswith(
                    os.path.join(folder, "episode.toml") + "\n"), result.stdout)
                # A palette set elsewhere does not recolour what the manifest keeps.
                result = self.run_program("build", os.path.join(folder, "episode.toml"),
                                          env=dict(self.env, DIVOVOD_PALETTE=self.path("p3.pal")))
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(read(os.path.join(folder, "caves.z4k")), data)

    def test_the_manifest_is_a_target_like_the_pictures(self):
        original = self.path("caves.z4k")
        art = lambda name: self.path("art", name)
        self.build_options(original, 7, "Caves", "l", [art("ep.bmp"), art("title.bmp"),
                                                         art("low.bmp")])
        folder = os.path.join(self.root, "x")
        os.mkdir(folder)
        write(os.path.join(folder, "episode.toml"), b"# mine\n")
        result = self.run_program("extract", original, "-d", folder, "--title-size", "30x20")
        self.assertEqual(result.returncode, 1)
        self.assertIn("episode.toml: already exists (--force replaces it)",
                      result.stderr.decode())
        self.assertEqual(sorted(os.listdir(folder)), ["episode.toml"], "nothing written")
        result = self.run_program("extract", original, "-d", folder, "--title-size", "30x20",
                                  "--no-manifest")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(read(os.path.join(folder, "episode.toml")), b"# mine\n")
        # An unknown title size writes nothing at all, the manifest included.
        shutil.rmtree(folder)
        result = self.run_program("extract", original, "-d", folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn("nothing written", result.stderr.decode())
        self.assertFalse(os.path.exists(folder))


    def test_a_name_no_manifest_can_hold_leaves_the_manifest_out_alone(self):
        art = lambda name: self.path("art", name)
        # Bytes that are not UTF-8, and a control character, which a manifest refuses.
        for name in ("Ch\udce2teau", "Tab\tbed"):
            with self.subTest(name):
                original = self.path("latin.z4k")
                self.build_options(original, 7, name, "l",
                                   [art("ep.bmp"), art("title.bmp"), art("low.bmp")])
                folder = os.path.join(self.root, "x")
                shutil.rmtree(folder, ignore_errors=True)
                result = self.run_program("extract", original, "-d", folder, "--title-size",
                                          "30x20")
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(result.stderr.decode().splitlines(), [
                    "divovod: the pictures have a grey ramp for colours: the episode file stores "
                    "no palette (--palette FILE gives the game's)",
                    f"divovod: {folder}/episode.toml not written: the name is not text a "
                    "manifest can hold"])
                self.assertEqual(sorted(os.listdir(folder)),
                                 ["episode.bmp", "lowtitle.bmp", "title.bmp"])


    def test_any_name_the_manifest_holds_builds_the_same_file(self):
        # Every name below goes into the manifest: the episode file's as its output, the
        # palette's as a path. The folder holds ESC, which no line may print raw.
        art = lambda name: self.path("art", name)
        names = ["a b.z4k", "č ü.z4k", 'q"uote\\.z4k', "line\ndither = true\n.z4k",
                 "\x7f\x01.z4k"]
        for i, name in enumerate(names):
            with self.subTest(name=name):
                palette_file = self.path(f"{name}.pal")
                shutil.copy(self.path("p2.pal"), palette_file)
                original = self.path(name)
                data = self.build_options(original, 3, "N", "l", [art("ep.bmp"), art("photo.png"),
                                                                  art("low.bmp")],
                                          "--palette", palette_file)
                folder = os.path.join(self.root, f"x\x1b[1m{i}")
                extracted = self.run_program("extract", original, "-d", folder, "--palette",
                                             palette_file, "--title-size", "30x20")
                self.assertEqual(extracted.returncode, 0, extracted.stderr.decode())
                os.remove(original)
                built = self.run_program("build", os.path.join(folder, "episode.toml"))
                self.assertEqual(built.returncode, 0, built.stderr.decode())
                self.assertEqual(read(os.path.join(folder, name)), data)
                self.assertNotIn(b"\x1b", extracted.stdout + built.stdout)
                self.assertIn(f"x\\x1B[1m{i}/episode.toml".encode(), extracted.stdout)

    def test_a_name_no_toml_string_holds_writes_nothing(self):
        art = lambda name: self.path("art", name)
        root = self.root.encode()
        good = os.path.join(root, b"good.z4k")
        cases = [(os.path.join(root, b"\xff.z4k"), self.path("p2.pal").encode(), b"\\xFF.z4k"),
                 (good, os.path.join(root, b"p\xfe.pal"), b"p\\xFE.pal")]
        shutil.copy(self.path("p2.pal"), os.path.join(root, b"p\xfe.pal"))
        for episode, palette_file, shown in cases:
            with self.subTest(episode=episode, palette=palette_file):
                self.build_options(episode, 3, "N", "l", [art("ep.bmp"), art("title.bmp"),
                                                          art("low.bmp")])
                folder = os.path.join(self.root, "x")
                result = self.run_program("extract", episode, "-d", folder, "--palette",
                                          palette_file, "--title-size", "30x20")
                self.assertEqual(result.returncode, 1)
                self.assertIn(shown + b": the name is not UTF-8 text", result.stderr)
                self.assertTrue(result.stderr.endswith(b"; nothing written\n"), result.stderr)
                self.assertFalse(os.path.exists(folder))

    def test_indices_past_a_small_palette_are_kept_by_naming_none(self):
        # 16 colours: pictures whose indices reach past them would be mapped by a build with that
        # palette, so the manifest must name none; within them, it names the palette.
        small = self.path("small.pal")
        write(small, jasc(palette(0)[:16]))
        for low, high, named in ((200, 250, False), (15, 16, False), (3, 15, True)):
            with self.subTest(highest=high):
                pixels = bytes(low if (x + y) % 3 else high for y in range(16) for x in range(16))
                header = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + 1024 + 256, 0, 0,
                                     54 + 1024, 40, 16, 16, 1, 8, 0, 256, 2835, 2835, 256, 0)
                colours = bytes(c for i in range(256) for c in (i, 255 - i, i // 2, 0))
                write(self.path("indices.bmp"), header + colours + pixels)
                original = self.path("small.z4k")
                data = self.build_options(original, 1, "S", "l", [self.path("indices.bmp")] * 3,
                                          "--no-palette")
                folder = os.path.join(self.root, "x")
                shutil.rmtree(folder, ignore_errors=True)
                result = self.run_program("extract", original, "-d", folder, "--palette", small)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                said = f"the pictures use index {high}, past the palette's 16 colours"
                manifest = read(os.path.join(folder, "episode.toml")).decode()
                if named:
                    self.assertNotIn("past the palette", result.stderr.decode())
                    self.assertIn('palette = "', manifest)
                    self.assertNotIn('palette = ""', manifest)
                else:
                    self.assertIn(said, result.stderr.decode())
                    self.assertIn('palette = ""\n', manifest)
                result = self.run_program("build", os.path.join(folder, "episode.toml"))
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(read(os.path.join(folder, "small.z4k")), data)

    def test_no_file_read_or_naming_the_palette_is_written_over_even_with_force(self):
        art = lambda name: self.path("art", name)
        original = self.path("caves.z4k")
        self.build_options(original, 7, "C", "l", [art("ep.bmp"), art("title.bmp"),
                                                   art("low.bmp")])
        config_folder = os.path.join(self.root, "config", "divovod")
        os.makedirs(config_folder)
        config_file = os.path.join(config_folder, "config.toml")
        config_text = b'palette = "../../mod \xc4\x8dudo/p0.pal"\n'
        write(config_file, config_text)
        folder = os.path.join(self.root, "x")
        os.mkdir(folder)
        target = os.path.join(folder, "title.bmp")
        # what the target leads to, how, the options, and the role the refusal names
        cases = [
            (self.path("p1.pal"), os.symlink, ["--no-palette"],
             f"the palette file ({self.path('p1.pal')}, from DIVOVOD_PALETTE)"),
            (self.path("p0.pal"), os.link, [],
             f"the palette file ({config_folder}/../../mod čudo/p0.pal, from the config file "
             f"{config_file})"),
            (config_file, os.symlink, ["--no-palette"], f"the config file ({config_file})"),
        ]
        for protected, make_link, options, role in cases:
            with self.subTest(role=role):
                for name in os.listdir(folder):
                    os.remove(os.path.join(folder, name))
                env = dict(self.env)
                if "DIVOVOD_PALETTE" in role:
                    env["DIVOVOD_PALETTE"] = self.path("p1.pal")
                before = read(protected)
                make_link(protected, target)
                result = self.run_program("extract", original, "-d", folder, "--force",
                                          "--title-size", "30x20", *options, env=env)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode(),
                                 f"divovod: {target}: is {role}; it is never written over\n"
                                 "divovod: nothing written\n")
                self.assertEqual(read(protected), before)
                self.assertEqual(os.listdir(folder), ["title.bmp"])
        self.assertEqual(read(config_file), config_text)


class EditTest(Project):
    def setUp(self):
        super().setUp()
        art = lambda name: self.path("art", name)
        self.file = self.path("caves.z4k")
        self.original = self.build_options(self.file, 7, "Caves", "caves1.lev",
                                           [art("ep.bmp"), art("title.bmp"), art("low.bmp")])

    def test_each_field_and_picture_and_the_rest_unchanged(self):
        art = lambda name: self.path("art", name)
        fields, streams = episode_parts(self.original)
        # field index in the header record, new value; picture index, new picture
        cases = [
            (["--position", "-12"], {1: -12}, {}),
            (["--name", "Čudne jame"], {4: "Čudne jame".encode().ljust(128, b"\0")}, {}),
            (["--start-level", "x" * 31], {5: b"x" * 31 + b"\0"}, {}),
            (["--episode-image", art("title.bmp")], {6: 30, 7: 20}, {0: art("title.bmp")}),
            (["--title-image", art("low.bmp")], {}, {1: art("low.bmp")}),
            (["--lowtitle-image", art("photo.png"), "--palette", self.path("p0.pal")],
             {10: 30, 11: 20}, {2: art("photo.png")}),
        ]
        for options, changed_fields, changed_pictures in cases:
            with self.subTest(" ".join(options[:1])):
                output = os.path.join(self.root, "edited.z4k")
                result = self.run_program("edit", self.file, *options, "-o", output)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(read(self.file), self.original, "-o leaves the file alone")
                new_fields, new_streams = episode_parts(read(output))
                expected = list(fields)
                for index, value in changed_fields.items():
                    expected[index] = value
                self.assertEqual(list(new_fields), expected)
                for i in range(3):
                    if i not in changed_pictures:
                        self.assertEqual(new_streams[i], streams[i], "copied byte for byte")
                        continue
                    extra = ["--palette", self.path("p0.pal")] if i == 2 else []
                    one = os.path.join(self.root, "one.z4k")
                    pictures = [art("ep.bmp"), art("title.bmp"), art("low.bmp")]
                    pictures[i] = changed_pictures[i]
                    rebuilt = self.build_options(one, 7, "Caves", "caves1.lev", pictures, *extra)
                    self.assertEqual(new_streams[i], episode_parts(rebuilt)[1][i])

    def test_in_place_and_refusals(self):
        result = self.run_program("edit", self.file, "--name", "New")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stdout.decode(),
                         f"divovod: wrote {self.file} ({len(self.original)} bytes; changed: name)\n")
        self.assertEqual(episode_parts(read(self.file))[0][4], b"New".ljust(128, b"\0"))
        edited = read(self.file)
        cut = os.path.join(self.root, "cut.z4k")
        write(cut, edited[:-5])
        cases = [
            ([cut, "--name", "x"], 1, "a damaged file is not edited; nothing written", cut),
            ([self.file, "--name", "n" * 128], 2, "--name is 128 bytes long", self.file),
            ([self.file, "--title-image", self.path("art", "photo.png"), "--no-palette"], 1,
             "a true-colour picture", self.file),
            ([self.file, "--name", "x", "-o", os.path.join(self.mod, ".", "caves.z4k")], 2,
             "itself; leave out --output to edit it in place", self.file),
        ]
        for arguments, status, message, untouched in cases:
            with self.subTest(message):
                before = read(untouched)
                result = self.run_program("edit", *arguments)
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertIn(message, result.stderr.decode())
                self.assertEqual(read(untouched), before)
        self.assertEqual(self.leftovers(), [])


class DiffTest(Project):
    def test_what_differs_and_the_exit_status(self):
        art = lambda name: self.path("art", name)
        a = self.path("a.z4k")
        data = self.build_options(a, 7, "Caves", "l1", [art("ep.bmp"), art("title.bmp"),
                                                        art("low.bmp")])
        # The title with a block of pixels changed, stored at another compression level.
        fields, streams = episode_parts(data)
        title = bytearray(zlib.decompress(streams[1]))
        for y in range(3, 6):
            for x in range(10, 14):
                title[y * 30 + x] ^= 0xFF
        recompressed = zlib.compress(zlib.decompress(streams[0]), 1)
        b = self.path("b.z4k")
        body = HEADER.pack(*fields)
        for stream in (recompressed, zlib.compress(bytes(title), 9), streams[2]):
            body += struct.pack("<i", len(stream)) + stream
        write(b, body)
        result = self.run_program("diff", a, b)
        self.assertEqual(result.returncode, 1, result.stderr.decode())
        self.assertEqual(result.stdout.decode().splitlines(), [
            "episode image: same pixels, stored differently",
            "title image: 12 of 600 pixels differ",
            "lowtitle image: same",
        ], "the title's width is stored nowhere, so there is no box without --title-size")
        result = self.run_program("diff", "--title-size", "30x20", a, b)
        self.assertEqual(result.stdout.decode().splitlines()[1],
                         "title image: 12 of 600 pixels differ, within x 10..13, y 3..5")
        result = self.run_program("diff", "--json", "--title-size", "30x20", a, b)
        report = json.loads(result.stdout)
        self.assertEqual(report["pictures"][1]["box"], {"x": 10, "y": 3, "width": 4, "height": 3})
        self.assertFalse(report["same"])

        c = self.path("c.z4k")
        self.build_options(c, 8, "Caves 2", "l1", [art("ep.bmp"), art("title.bmp"),
                                                   art("title.bmp")])
        result = self.run_program("diff", a, c)
        self.assertEqual(result.stdout.decode().splitlines(), [
            "position: 7 -> 8",
            'name: "Caves" -> "Caves 2"',
            "lowtitle image size: 19x7 -> 30x20",
            "episode image: same",
            "title image: same",
            "lowtitle image: 19x7 -> 30x20",
        ])
        cut = self.path("cut.z4k")
        write(cut, data[:300])
        for arguments, status in (([a, a], 0), ([a, cut], 2), ([a, self.path("no.z4k")], 2)):
            with self.subTest(arguments[1]):
                self.assertEqual(self.run_program("diff", *arguments).returncode, status)


class EscapedNamesTest(Project):
    def test_every_command_prints_a_name_with_esc_escaped(self):
        art = lambda name: self.path("art", name)
        original = self.path("caves.z4k")
        pictures = [art("ep.bmp"), art("title.bmp"), art("low.bmp")]
        self.build_options(original, 7, "C", "l", pictures)
        odd = os.path.join(self.root, "odd\x1b[2J")
        os.mkdir(odd)
        build = ["build", "-o", os.path.join(odd, "b.z4k"), "-p", "1", "-n", "a", "-s", "b"]
        cases = [
            ["show", os.path.join(odd, "missing.z4k")],
            ["diff", original, os.path.join(odd, "missing.z4k")],
            ["extract", os.path.join(odd, "missing.z4k")],
            ["edit", original, "-n", "D", "-o", os.path.join(odd, "edited.z4k")],
            build + ["-e", pictures[0], "-t", pictures[1], "-l", pictures[2]],
            build + ["-e", os.path.join(odd, "missing.bmp"), "-t", pictures[1], "-l",
                     pictures[2]],
            build + ["-e", pictures[0], "-t", pictures[1], "-l", pictures[2], "--palette",
                     os.path.join(odd, "missing.pal")],
        ]
        for arguments in cases:
            with self.subTest(arguments=arguments):
                result = self.run_program(*arguments)
                said = result.stdout + result.stderr
                self.assertIn(b"odd\\x1B[2J", said)
                self.assertNotIn(b"\x1b", said)


class PaletteSetOnceTest(Project):
    def test_the_order_of_precedence(self):
        art = lambda name: self.path("art", name)
        pictures = [art("ep.bmp"), art("photo.png"), art("low.bmp")]
        with_palette = {}
        for shift in range(4):
            scratch = os.path.join(self.root, f"with-p{shift}.z4k")
            with_palette[shift] = self.build_options(scratch, 1, "A", "l", pictures, "--palette",
                                                     self.path(f"p{shift}.pal"))
        config = os.path.join(self.root, "config", "divovod")
        os.makedirs(config)
        # config, variable, manifest, command line: which palette is used, from where
        cases = [
            (None, None, None, [], None, None),
            ("p0", None, None, [], 0, "the config file "),
            ("p0", "p1", None, [], 1, "DIVOVOD_PALETTE"),
            ("p0", "p1", "p2", [], 2, "the manifest "),
            ("p0", "p1", "p2", ["--palette", self.path("p3.pal")], 3, None),
            ("p0", "p1", "p2", ["--no-palette"], None, None),
        ]
        for in_config, in_variable, in_manifest, options, used, origin in cases:
            with self.subTest(config=in_config, variable=in_variable, manifest=in_manifest,
                              options=options):
                env = dict(self.env)
                config_file = os.path.join(config, "config.toml")
                if os.path.exists(config_file):
                    os.remove(config_file)
                if in_config:
                    # From the config file's own folder.
                    write(config_file, f'palette = "../../mod čudo/{in_config}.pal"\n'.encode())
                if in_variable:
                    env["DIVOVOD_PALETTE"] = self.path(f"{in_variable}.pal")
                text = ('output = "out.z4k"\nposition = 1\nname = "A"\nstart_level = "l"\n'
                        'episode_image = "art/ep.bmp"\ntitle_image = "art/photo.png"\n'
                        'lowtitle_image = "art/low.bmp"\n')
                if in_manifest:
                    text += f'palette = "{in_manifest}.pal"\n'
                manifest = self.manifest(text)
                output = self.path("out.z4k")
                if os.path.exists(output):
                    os.remove(output)
                result = self.run_program("build", *options, manifest, env=env)
                if used is None:
                    self.assertEqual(result.returncode, 1)
                    self.assertIn("a true-colour picture", result.stderr.decode())
                    continue
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual(read(output), with_palette[used])
                line = result.stdout.decode()
                if origin is None:
                    self.assertNotIn("palette", line)
                else:
                    self.assertIn(f"{used}.pal, from {origin}", line)

    def test_config_command_and_a_config_that_is_wrong(self):
        result = self.run_program("config")
        config_file = os.path.join(self.root, "config", "divovod", "config.toml")
        self.assertEqual(result.stdout.decode().splitlines(), [
            f"config file: {config_file} (none there)",
            "palette: none (pictures keep their own indices; true-colour ones need --palette)"])
        os.makedirs(os.path.dirname(config_file))
        write(config_file, b'palette = "p.pal"\n\ncolour = 1\n')
        art = lambda name: self.path("art", name)
        for arguments in (["config"], ["extract", "x.z4k"],
                          ["build", "-o", self.path("o.z4k"), "-p", "1", "-n", "a", "-s", "b",
                           "-e", art("ep.bmp"), "-t", art("title.bmp"), "-l", art("low.bmp")]):
            with self.subTest(arguments[0]):
                result = self.run_program(*arguments)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr.decode(),
                                 f"divovod: {config_file}:3:1: unknown key 'colour' "
                                 "(the config file has palette)\n")
        self.assertFalse(os.path.exists(self.path("o.z4k")))
        write(config_file, b'palette = "../../mod \xc4\x8dudo/p1.pal"\n')
        env = dict(self.env, DIVOVOD_PALETTE="elsewhere.pal")
        result = self.run_program("config", env=env)
        self.assertEqual(result.stdout.decode().splitlines()[1],
                         "palette: elsewhere.pal (from DIVOVOD_PALETTE; the config file's "
                         f"{os.path.dirname(config_file)}/../../mod čudo/p1.pal is set aside)")


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
