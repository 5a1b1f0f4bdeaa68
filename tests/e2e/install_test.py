#!/usr/bin/env python3
"""What an installation gives a user: the files `cmake --install` puts in place, a man page that
describes every option any --help prints (and that groff reads without a warning), and a bash
completion that knows the commands, their options and which files each option takes.

    install_test.py PROGRAM SOURCE_DIR BUILD_DIR

Everything is written inside the test's own scratch folders.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

PROGRAM = SOURCE = BUILD = None


def help_text(*arguments):
    result = subprocess.run([PROGRAM, *arguments], capture_output=True, timeout=30,
                            stdin=subprocess.DEVNULL)
    assert result.returncode == 0, (arguments, result)
    return result.stdout.decode()


def commands():
    """The commands the program's own usage names."""
    found = re.findall(r"divovod ([a-z]+)\b", help_text("--help"))
    return sorted(set(found) - {"help"})


def options_in(text):
    """Every option a help text names: --long and -s forms."""
    return set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z])(?![\w-])", text))


class ManPageTest(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(SOURCE, "docs", "divovod.1"), encoding="utf-8") as page:
            self.source = page.read()
        # An option counts as described when the OPTIONS section has it; roff writes a
        # hyphen-minus as \-, which a reader sees as a plain dash.
        options = re.search(r"(?ms)^\.SH OPTIONS$(.*?)^\.SH ", self.source)
        assert options, "the page has an OPTIONS section"
        self.options = options.group(1).replace("\\-", "-")

    def test_groff_reads_it_without_a_warning(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed")
        result = subprocess.run(["groff", "-man", "-ww", "-z",
                                 os.path.join(SOURCE, "docs", "divovod.1")],
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr.decode(), "")

    def test_it_has_every_section(self):
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS",
                        "FILES", "EXAMPLES", "SEE ALSO"):
            self.assertRegex(self.source, rf'(?m)^\.SH "?{section}"?$', section)

    def test_every_option_of_every_help_is_described(self):
        helps = {"divovod --help": help_text("--help")}
        for command in commands():
            helps[f"divovod {command} --help"] = help_text(command, "--help")
        self.assertGreaterEqual(len(helps), 4, "the usage names the three commands")
        for where, text in helps.items():
            for option in options_in(text):
                with self.subTest(where=where, option=option):
                    self.assertRegex(self.options, rf"(?<![\w-]){re.escape(option)}(?![\w-])")
        for command in commands():
            self.assertRegex(self.source, rf"(?m)^\.B {command}$", "COMMANDS describes it")


def words_of(line):
    """The words bash hands a completion: split at spaces, and at '=' as a word of its own."""
    words = []
    for part in line.split(" "):
        option, equals, rest = part.partition("=")
        words += [option, equals, rest] if equals and rest else [option, equals] if equals \
            else [option]
    return words


def complete(line, cwd):
    """What the completion offers with the cursor at the end of line, one entry a line."""
    script = (f"source {os.path.join(SOURCE, 'docs', 'divovod.bash-completion')}\n"
              'mapfile -t COMP_WORDS <<<"$WORDS"\n'
              "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
              "COMP_LINE=$LINE; COMP_POINT=${#LINE}\n"
              "_divovod\n"
              'printf "%s\\n" "${COMPREPLY[@]}"\n')
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], cwd=cwd,
                            env={"PATH": os.environ["PATH"], "LINE": line,
                                 "WORDS": "\n".join(words_of(line))},
                            capture_output=True, timeout=30)
    assert result.returncode == 0, result
    return sorted(entry for entry in result.stdout.decode().split("\n") if entry)


class CompletionTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-completion-")
        for name in ("episode.bmp", "Title Slika.PNG", "notes.txt", "game.pal", "game.gpl",
                     "caves.z4k", "čudo.bmp", "mod.toml"):
            open(os.path.join(self.folder, name), "wb").close()
        os.mkdir(os.path.join(self.folder, "art"))

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_commands_options_and_files(self):
        cases = [
            ("divovod ", ["build", "config", "diff", "edit", "extract", "help", "show"]),
            ("divovod -", ["--dither", "--exact-colours", "--help", "--no-palette", "--palette",
                           "--transparent-index", "--version", "-V"]),
            ("divovod --palette ", ["Title Slika.PNG", "art", "episode.bmp", "game.gpl",
                                    "game.pal", "čudo.bmp"]),
            ("divovod --palette game.pal --d", ["--dither"]),
            ("divovod help s", ["show"]),
            ("divovod extract caves.z4k --format ", ["bmp", "png"]),
            ("divovod extract caves.z4k --format=p", ["png"]),
            ("divovod ex", ["extract"]),
            ("divovod build --ep", ["--episode-image"]),
            ("divovod show --j", ["--json"]),
            ("divovod build -e ", ["Title Slika.PNG", "art", "episode.bmp", "čudo.bmp"]),
            ("divovod build --title-image=", ["Title Slika.PNG", "art", "episode.bmp",
                                              "čudo.bmp"]),
            ("divovod build -e e", ["episode.bmp"]),
            ("divovod extract caves.z4k --palette ", ["Title Slika.PNG", "art", "episode.bmp",
                                                      "game.gpl", "game.pal", "čudo.bmp"]),
            ("divovod extract caves.z4k -d ", ["art"]),
            ("divovod show c", ["caves.z4k"]),
            ("divovod extract ", ["art", "caves.z4k"]),
            ("divovod build -p ", []),
            ("divovod build -n ", []),
            ("divovod build ", ["art", "mod.toml"]),
            ("divovod diff caves.z4k ", ["art", "caves.z4k"]),
            ("divovod edit caves.z4k --no", ["--no-palette"]),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(complete(line, self.folder), sorted(expected))

    def test_every_long_option_of_every_help_is_offered(self):
        for command in commands():
            with self.subTest(command=command):
                offered = set(complete(f"divovod {command} --", self.folder))
                documented = {option for option in options_in(help_text(command, "--help"))
                              if option.startswith("--")}
                self.assertEqual(offered, documented)


class InstallTest(unittest.TestCase):
    def test_install_puts_each_file_in_its_place(self):
        prefix = tempfile.mkdtemp(prefix="divovod-install-")
        try:
            subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                           capture_output=True, timeout=120)
            for path in ("bin/divovod", "share/man/man1/divovod.1",
                         "share/bash-completion/completions/divovod",
                         "share/doc/divovod/README.md", "share/doc/divovod/LICENSE",
                         "share/doc/divovod/user-guide.md", "share/doc/divovod/episode-format.md"):
                self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
            installed = os.path.join(prefix, "bin", "divovod")
            self.assertTrue(os.access(installed, os.X_OK))
            version = subprocess.run([installed, "--version"], capture_output=True, timeout=30,
                                     cwd=prefix, stdin=subprocess.DEVNULL)
            self.assertEqual(version.returncode, 0)
            self.assertTrue(version.stdout.startswith(b"divovod "), version.stdout)
            with open(os.path.join(prefix, "share/doc/divovod/LICENSE")) as licence:
                self.assertIn("MIT License", licence.read())
        finally:
            shutil.rmtree(prefix)


if __name__ == "__main__":
    PROGRAM, SOURCE, BUILD = (os.path.abspath(argument) for argument in sys.argv[1:4])
    del sys.argv[1:4]
    unittest.main(verbosity=2)
