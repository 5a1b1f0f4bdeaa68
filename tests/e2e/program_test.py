#!/usr/bin/env python3
"""The real divovod in a real terminal (tmux), driven as a user drives it.

Usage: program_test.py PATH_TO_DIVOVOD
Needs tmux and ImageMagick's convert. Every wait is bounded, so a hang fails instead of sticking.
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

PROGRAM = None
CONVERT = shutil.which("convert-im6.q16") or "/usr/bin/convert"

UP, DOWN, ENTER = "1b5b41", "1b5b42", "0d"


def read(path, mode="r"):
    with open(path, mode) as file:
        return file.read()


class Terminal:
    """One tmux server with one 100 x 30 window running a shell command."""

    def __init__(self, command, cwd, lang="C.UTF-8", term="xterm-256color"):
        self.cwd = cwd
        self.socket = os.path.join(cwd, "tmux.sock")
        env = dict(os.environ, LANG=lang, TERM=term)
        for name in ("TMUX", "LC_ALL", "LC_CTYPE", "LANGUAGE"):
            env.pop(name, None)
        self.env = env
        # The shell records the terminal settings around the program and its exit status, then
        # stays so the screen can still be read.
        script = (f"stty -g > stty.before; {command}; echo $? > status; "
                  "stty -g > stty.after; sleep 600")
        self.tmux("new-session", "-d", "-x", "100", "-y", "30", "bash", "-c", script)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-u", "-S", self.socket, *args], cwd=self.cwd,
                              env=self.env, capture_output=True, text=True, timeout=10,
                              check=True).stdout

    def keys(self, *hex_bytes):
        for key in hex_bytes:
            self.tmux("send-keys", "-H", *[key[i:i + 2] for i in range(0, len(key), 2)])
            time.sleep(0.15)

    def type(self, text):
        self.tmux("send-keys", "-l", "--", text)
        self.tmux("send-keys", "Enter")
        time.sleep(0.1)

    def screen(self, colours=False):
        return self.tmux("capture-pane", "-p", *(["-e"] if colours else []))

    def rows(self):
        return self.screen().split("\n")

    def history_and_screen(self):
        return self.tmux("capture-pane", "-p", "-S", "-", "-E", "-")

    def wait_for(self, text, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.screen():
                return
            time.sleep(0.05)
        raise AssertionError(f"{text!r} never showed; screen:\n{self.screen()}")

    def exit_status(self, timeout=10):
        path = os.path.join(self.cwd, "status")
        deadline = time.time() + timeout
        while time.time() < deadline:
            if os.path.exists(path) and read(path).strip():
                time.sleep(0.2)  # let the shell write stty.after too
                return int(read(path))
            time.sleep(0.05)
        raise AssertionError(f"the program did not end; screen:\n{self.screen()}")

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)
        # The server goes away after the command returns; a new one on the same socket must not
        # meet it still leaving.
        deadline = time.time() + 5
        while time.time() < deadline and subprocess.run(
                ["tmux", "-S", self.socket, "has-session"], capture_output=True).returncode == 0:
            time.sleep(0.05)


MENU_ROWS = [
    "  ╔════════════════════╗",
    "  ║Z4K DIVOVOD         ║",
    "  ╠════════════════════╣",
    "  ║Create new          ║",
    "  ║Quit                ║",
    "  ╚════════════════════╝",
]


ASCII_MENU_ROWS = [
    "  +====================+",
    "  |Z4K DIVOVOD         |",
    "  +====================+",
    "  |Create new          |",
    "  |Quit                |",
    "  +====================+",
]


def highlighted_item(terminal):
    """The item text shown bright white on blue, from the escape codes tmux reports."""
    for line in terminal.screen(colours=True).split("\n")[5:7]:
        if "44" in line and "97" in line:
            return "Create new" if "Create new" in line else "Quit"
    return None


# --- pictures ------------------------------------------------------------------------------

def bmp_pixels_top_first(path):
    """Palette indices of an uncompressed 8-bit bitmap, top row first (padding dropped)."""
    data = read(path, "rb")
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    assert data[28] == 8 and struct.unpack_from("<I", data, 30)[0] == 0
    stride = (width + 3) // 4 * 4
    rows = [data[offset + r * stride: offset + r * stride + width] for r in range(abs(height))]
    if height > 0:
        rows.reverse()
    return width, abs(height), b"".join(rows)


def make_pictures(folder):
    """Three 8-bit pictures of different sizes from a real writer; the second is RLE8."""
    def convert(*args):
        subprocess.run([CONVERT, *args], cwd=folder, check=True, timeout=60)
    convert("-size", "37x23", "gradient:red-blue", "-colors", "200", "-type", "Palette",
            "-compress", "none", "BMP3:episode.bmp")
    convert("-seed", "7", "-size", "64x40", "plasma:fractal", "-colors", "150", "-type", "Palette",
            "-compress", "none", "BMP3:title-plain.bmp")
    convert("title-plain.bmp", "-compress", "RLE", "BMP3:title.bmp")
    convert("-seed", "3", "-size", "101x7", "plasma:fractal", "-colors", "60", "-type", "Palette",
            "-compress", "none", "BMP3:lowtitle.bmp")
    rle = read(os.path.join(folder, "title.bmp"), "rb")
    assert struct.unpack_from("<I", rle, 30)[0] == 1, "the title should be RLE8"
    return {name: bmp_pixels_top_first(os.path.join(folder, plain)) for name, plain in
            [("episode", "episode.bmp"), ("title", "title-plain.bmp"),
             ("lowtitle", "lowtitle.bmp")]}


def make_folder(folder, *parts):
    path = os.path.join(folder, *parts)
    os.makedirs(path)
    return path


def make_small_pictures(folder):
    """a.bmp, b.bmp and c.bmp: three small pictures unlike those of make_pictures."""
    # Enough colours that the writer keeps 8 bits per pixel; widths 9, 6 and 13 (mod 4: 1, 2, 1).
    for name, size, colours in [("a", "9x3", "30"), ("b", "6x6", "30"), ("c", "13x3", "30")]:
        subprocess.run([CONVERT, "-seed", "11", "-size", size, "plasma:fractal", "-colors",
                        colours, "-type", "Palette", "-compress", "none", f"BMP3:{name}.bmp"],
                       cwd=folder, check=True, timeout=60)
    return {picture: bmp_pixels_top_first(os.path.join(folder, f"{name}.bmp")) for picture, name
            in [("episode", "a"), ("title", "b"), ("lowtitle", "c")]}


def make_rle_pictures(folder):
    """RLE8 pictures as ImageMagick writes them by default for an 8-bit BMP3, at every width class
    (its rows are coded out to their padded width), and a photograph 70 pixels wide. Each is made
    from an uncompressed copy, whose rows give the expected indices."""
    def convert(*args):
        subprocess.run([CONVERT, *args], cwd=folder, check=True, timeout=60)
    pictures = {}
    sources = [(f"rle{w}.bmp", ["-seed", str(w), "-size", f"{w}x29", "plasma:fractal"])
               for w in (1, 2, 3, 5, 6, 7, 9)] + [("rose.bmp", ["rose:"])]
    for name, source in sources:
        plain = "plain-" + name
        convert(*source, "-colors", "256", "-type", "Palette", "-compress", "none",
                "BMP3:" + plain)
        convert(plain, "-type", "Palette", "BMP3:" + name)
        header = read(os.path.join(folder, name), "rb")[:34]
        assert header[28] == 8 and struct.unpack_from("<I", header, 30)[0] == 1, name + " not RLE8"
        pictures[name] = bmp_pixels_top_first(os.path.join(folder, plain))
    return pictures


def check_episode_file(test, path, pictures, position, name, start_level):
    data = read(path, "rb")
    u32 = lambda at: struct.unpack_from("<I", data, at)[0]
    i32 = lambda at: struct.unpack_from("<i", data, at)[0]
    text = lambda at, width: data[at:at + width]
    ep_w, ep_h, _ = pictures["episode"]
    low_w, low_h, _ = pictures["lowtitle"]
    test.assertEqual([u32(0), i32(4), u32(8), u32(12)], [204, position, 1, 0])
    test.assertEqual(text(16, 128), name.encode().ljust(128, b"\0"))
    test.assertEqual(text(144, 32), start_level.encode().ljust(32, b"\0"))
    test.assertEqual([i32(176), i32(180), u32(184), u32(188)], [ep_w, ep_h, 0x00670098, 0x00770860])
    test.assertEqual([i32(192), i32(196), u32(200), u32(204)], [low_w, low_h, 0x006BB0CC, 0x00706100])
    at = 208
    for picture in ("episode", "title", "lowtitle"):
        size = i32(at)
        stream = data[at + 4: at + 4 + size]
        test.assertEqual(stream[:2], b"\x78\xda", picture)
        test.assertEqual(zlib.decompress(stream), pictures[picture][2], picture)
        at += 4 + size
    test.assertEqual(at, len(data), "the file ends right after the last stream")


# --- tests ---------------------------------------------------------------------------------

class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="divovod-e2e-")
        self.terminals = []

    def tearDown(self):
        for terminal in self.terminals:
            terminal.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, command=None):
        terminal = Terminal(command or PROGRAM, self.folder)
        self.terminals.append(terminal)
        terminal.wait_for("Z4K DIVOVOD")
        return terminal

    def assert_quits_cleanly(self, terminal):
        terminal.keys(DOWN, ENTER)
        self.assertEqual(terminal.exit_status(), 0)
        before = read(os.path.join(self.folder, "stty.before"))
        after = read(os.path.join(self.folder, "stty.after"))
        self.assertEqual(before, after, "terminal settings changed")

    def assert_highlight_becomes(self, terminal, item):
        deadline = time.time() + 2
        while highlighted_item(terminal) != item and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(highlighted_item(terminal), item)

    def test_menu_cells_colours_and_quit(self):
        terminal = self.start()
        self.assertEqual(terminal.rows()[2:8], MENU_ROWS)
        self.assertEqual(highlighted_item(terminal), "Create new")
        # The highlight after every key: a Down that wrapped, or Home or F1 taken for the H or
        # P their sequences end with, shows at the key after it at the latest.
        for key, name, item in [(DOWN, "Down", "Quit"), (DOWN, "Down at the end", "Quit"),
                                ("1b5b48", "Home", "Quit"), ("48", "H", "Create new"),
                                ("1b4f50", "F1", "Create new"), (UP, "Up at the top", "Create new"),
                                ("50", "P", "Quit"), ("1b4f48", "Home (ESC O H)", "Quit")]:
            with self.subTest(key=name):
                terminal.keys(key)
                self.assert_highlight_becomes(terminal, item)
        terminal.keys(ENTER)
        self.assertEqual(terminal.exit_status(), 0)
        self.assertEqual(read(os.path.join(self.folder, "stty.before")),
                         read(os.path.join(self.folder, "stty.after")))

    def test_full_creation_writes_the_exact_file(self):
        pictures = make_pictures(self.folder)
        terminal = self.start()
        terminal.keys(ENTER)
        for prompt, answer in [("episode image", "episode.bmp"), ("title image", "title.bmp"),
                               ("lowtitle image", "lowtitle.bmp")]:
            terminal.wait_for(f"filename of the {prompt} and press enter:")
            terminal.type(answer)
        terminal.wait_for("episode list:")
        self.assertEqual(terminal.screen().count("Compression OK"), 3)
        # Only a line that is wholly a number is the position; spaces around it are allowed.
        for wrong in ("not yet", "-4 and then some", "0x10", "1.9", "99999999999"):
            terminal.type(wrong)
        deadline = time.time() + 5
        while terminal.screen().count("Please enter a whole number:") < 5 and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(terminal.screen().count("Please enter a whole number:"), 5)
        terminal.type("  -4 ")
        terminal.wait_for("name of the episode")
        terminal.type("Deep Caves")
        terminal.wait_for("start level:")
        terminal.type("cave1.lev")
        terminal.wait_for("episode filename!:")
        terminal.type("caves.z4k")
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "caves.z4k"), pictures, -4,
                           "Deep Caves", "cave1.lev")
        terminal.keys("78")
        terminal.wait_for("Z4K DIVOVOD")
        self.assertNotIn("DONE!!!", terminal.screen())
        self.assert_quits_cleanly(terminal)

    def test_failed_import_returns_to_the_menu_after_one_key(self):
        terminal = self.start()
        terminal.keys(ENTER)
        terminal.wait_for("episode image and press enter:")
        terminal.type("missing.bmp")
        terminal.wait_for("Couldn't open file")
        self.assertNotIn("title image", terminal.screen())
        terminal.wait_for("Press any button to continue")  # a key before it is dropped
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assertEqual(terminal.rows()[2:8], MENU_ROWS)
        self.assertEqual(highlighted_item(terminal), "Create new")
        self.assert_quits_cleanly(terminal)

    def test_end_of_input_at_a_terminal_ends_only_that_dialogue(self):
        make_pictures(self.folder)
        terminal = self.start()
        terminal.keys(ENTER)
        terminal.wait_for("episode image and press enter:")
        terminal.keys("04")  # Ctrl-D: the end of input
        terminal.wait_for("Couldn't open file")
        terminal.wait_for("Press any button to continue")  # a key before it is dropped
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        terminal.keys(ENTER)
        terminal.wait_for("episode image and press enter:")
        for answer in ("episode.bmp", "title.bmp", "lowtitle.bmp"):
            terminal.type(answer)
        terminal.wait_for("episode list:")
        terminal.keys("04")  # the rest of the answers are empty: no name to write under
        terminal.wait_for("Couldn't write file")
        self.assertNotIn("DONE!!!", terminal.screen())
        terminal.wait_for("Press any button to continue")  # a key before it is dropped
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_answers_from_a_file_keys_from_the_terminal(self):
        pictures = make_pictures(self.folder)
        with open(os.path.join(self.folder, "answers.txt"), "w") as answers:
            answers.write("episode.bmp\ntitle.bmp\nlowtitle.bmp\n\n12abc\n 12 \nRedirected\n"
                          "r1.lev\nredirected.z4k\n")
        terminal = self.start(f"{PROGRAM} < answers.txt")
        terminal.keys(ENTER)
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "redirected.z4k"), pictures, 12,
                           "Redirected", "r1.lev")
        # A Down arrow at the closing wait is one key press: it ends the wait and nothing else,
        # so the next menu opens on "Create new".
        terminal.keys(DOWN)
        terminal.wait_for("Z4K DIVOVOD")
        time.sleep(0.3)
        self.assertEqual(highlighted_item(terminal), "Create new")
        terminal.keys(DOWN, ENTER)
        self.assertEqual(terminal.exit_status(), 0)

    def test_imagemagick_rle8_at_every_width_class(self):
        rle = make_rle_pictures(self.folder)
        names = list(rle)
        creations = [names[0:3], names[3:6], names[6:8] + names[0:1]]
        with open(os.path.join(self.folder, "answers.txt"), "w") as answers:
            for number, chosen in enumerate(creations):
                answers.write("\n".join(chosen) + f"\n{number}\nWidths\nw.lev\nout{number}.z4k\n")
        terminal = self.start(f"{PROGRAM} < answers.txt")
        for number, chosen in enumerate(creations):
            terminal.keys(ENTER)
            terminal.wait_for("Press any button to continue")
            self.assertEqual(terminal.screen().count("Compression OK"), 3, chosen)
            pictures = dict(zip(("episode", "title", "lowtitle"), (rle[n] for n in chosen)))
            check_episode_file(self, os.path.join(self.folder, f"out{number}.z4k"), pictures,
                               number, "Widths", "w.lev")
            terminal.keys("78")
            terminal.wait_for("Z4K DIVOVOD")
            time.sleep(0.2)
        terminal.keys(DOWN, ENTER)
        self.assertEqual(terminal.exit_status(), 0)

    def test_no_console_keyboard_ends_with_one_line_and_status_one(self):
        started = time.time()
        result = subprocess.run([PROGRAM], stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, start_new_session=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "", "the keyboard is missed before anything is drawn")
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertLess(time.time() - started, 5)

    # --- names, answers and the written file --------------------------------------------------

    def answer_dialogue(self, terminal, answers):
        """Types the seven answers of one creation, each after its prompt."""
        prompts = ["episode image and press enter:", "title image and press enter:",
                   "lowtitle image and press enter:", "episode list:", "name of the episode",
                   "start level:", "episode filename!:"]
        for prompt, answer in zip(prompts, answers):
            terminal.wait_for(prompt)
            terminal.type(answer)

    def test_the_games_palette_in_the_dialogue(self):
        """A 4-bit bitmap and an indexed PNG are pictures now; a true-colour PNG only with
        --palette (or the palette set once), and then the episode is the one `build --palette`
        writes."""
        def convert(*args):
            subprocess.run(["convert", *args], cwd=self.folder, check=True, timeout=60)
        convert("-size", "37x23", "plasma:fractal", "-seed", "5", "PNG24:photo.png")
        convert("photo.png", "-colors", "16", "-type", "Palette", "-compress", "none",
                "BMP3:four.bmp")
        convert("photo.png", "-colors", "100", "PNG8:indexed.png")
        with open(os.path.join(self.folder, "game.act"), "wb") as table:
            table.write(bytes((i * 7 + c * 101) % 256 for i in range(256) for c in range(3)))
        terminal = self.start()
        terminal.keys(ENTER)
        self.answer_dialogue(terminal, ["four.bmp", "indexed.png", "photo.png"])
        terminal.wait_for("Bad file!")
        self.assertEqual(terminal.screen().count("Compression OK"), 2)
        terminal.wait_for("Press any button to continue")  # a key before it is dropped
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)
        terminal.close()  # the second run gets a server and status files of its own
        for done in ("status", "stty.before", "stty.after"):
            os.remove(os.path.join(self.folder, done))

        terminal = self.start(f"{PROGRAM} --palette game.act --dither")
        terminal.keys(ENTER)
        self.answer_dialogue(terminal, ["four.bmp", "indexed.png", "photo.png", "3", "Colours",
                                        "c1.lev", "mapped.z4k"])
        terminal.wait_for("Press any button to continue")
        self.assertEqual(terminal.screen().count("Compression OK"), 3)
        built = subprocess.run([PROGRAM, "build", "-e", "four.bmp", "-t", "indexed.png", "-l",
                                "photo.png", "-p", "3", "-n", "Colours", "-s", "c1.lev", "-o",
                                "built.z4k", "--palette", "game.act", "--dither"],
                               cwd=self.folder, capture_output=True, timeout=60)
        self.assertEqual(built.returncode, 0, built.stderr)
        self.assertEqual(read(os.path.join(self.folder, "mapped.z4k"), "rb"),
                         read(os.path.join(self.folder, "built.z4k"), "rb"))
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)
        terminal.close()
        for done in ("status", "stty.before", "stty.after"):
            os.remove(os.path.join(self.folder, done))

        # The palette set once: plain `divovod` maps the same way.
        terminal = self.start(f"env DIVOVOD_PALETTE=game.act {PROGRAM} --dither")
        terminal.keys(ENTER)
        self.answer_dialogue(terminal, ["four.bmp", "indexed.png", "photo.png", "3", "Colours",
                                        "c1.lev", "set-once.z4k"])
        terminal.wait_for("Press any button to continue")
        self.assertEqual(read(os.path.join(self.folder, "set-once.z4k"), "rb"),
                         read(os.path.join(self.folder, "built.z4k"), "rb"))
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_two_creations_the_second_carries_nothing_of_the_first(self):
        first_pictures = make_pictures(make_folder(self.folder, "pictures", "act 2"))
        second_pictures = make_small_pictures(self.folder)
        terminal = self.start()
        terminal.keys(ENTER)
        # Long answers: paths with folders and spaces (one in quotes, as a dragged file comes),
        # an episode name far past its 127 bytes and a start level past its 31, each asked again
        # and then given at its full width.
        first_output = "output folder/an episode file named at length.z4k"
        os.mkdir(os.path.join(self.folder, "output folder"))
        self.answer_dialogue(terminal, [
            '"pictures/act 2/episode.bmp"', "pictures/act 2/title.bmp",
            "pictures/act 2/lowtitle.bmp", "31", "Q" * 2500])
        terminal.wait_for("Please enter at most 127 bytes:")
        terminal.type("Q" * 127)
        terminal.wait_for("start level:")
        terminal.type("W" * 200)
        terminal.wait_for("Please enter at most 31 bytes:")
        terminal.type("W" * 31)
        terminal.wait_for("episode filename!:")
        terminal.type(first_output)
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, first_output), first_pictures, 31,
                           "Q" * 127, "W" * 31)
        terminal.keys(DOWN)  # one whole key: the menu that follows still opens on "Create new"
        terminal.wait_for("Z4K DIVOVOD")
        time.sleep(0.3)
        self.assertEqual(highlighted_item(terminal), "Create new")
        terminal.keys(ENTER)
        self.answer_dialogue(terminal, ["a.bmp", "b.bmp", "c.bmp", "2", "B", "b.lev", "s.z4k"])
        terminal.wait_for("Press any button to continue")
        second = os.path.join(self.folder, "s.z4k")
        check_episode_file(self, second, second_pictures, 2, "B", "b.lev")
        header = read(second, "rb")[16:176]
        self.assertEqual(header.replace(b"\0", b""), b"Bb.lev", "bytes of the first answers")
        self.assertEqual(sorted(os.listdir(self.folder + "/output folder")),
                         ["an episode file named at length.z4k"])
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)  # under the sanitizers, a leaked block fails here

    def test_answer_file_from_a_windows_editor_with_non_ascii_names(self):
        pictures = make_pictures(make_folder(self.folder, "mes images"))
        images = os.path.join(self.folder, "mes images")
        os.rename(os.path.join(images, "episode.bmp"), os.path.join(images, "épisode.bmp"))
        os.rename(os.path.join(images, "title.bmp"), os.path.join(images, "titre été.bmp"))
        os.mkdir(os.path.join(self.folder, "sortie"))
        lines = ['"mes images/épisode.bmp"', "mes images/titre été.bmp",
                 "mes images/lowtitle.bmp", "", "1.9", "1", "Caves", "cave1.lev",
                 '"sortie/épisode final.z4k"']
        with open(os.path.join(self.folder, "answers.txt"), "wb") as answers:
            answers.write("".join(line + "\r\n" for line in lines).encode())
        terminal = self.start(f"{PROGRAM} < answers.txt")
        terminal.keys(ENTER)
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "sortie", "épisode final.z4k"),
                           pictures, 1, "Caves", "cave1.lev")
        self.assertEqual(os.listdir(os.path.join(self.folder, "sortie")), ["épisode final.z4k"])
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_a_file_it_reads_is_never_written_over(self):
        make_pictures(self.folder)
        config = os.path.join("settings", "divovod", "config.toml")
        os.makedirs(os.path.join(self.folder, os.path.dirname(config)))
        with open(os.path.join(self.folder, config), "w") as file:
            file.write("# no palette set\n")
        for typed, file, reason in (("./title.bmp", "title.bmp", "is one of the pictures"),
                                    (config, config, "is the config file")):
            with self.subTest(typed):
                before = read(os.path.join(self.folder, file), "rb")
                with open(os.path.join(self.folder, "answers.txt"), "w") as answers:
                    answers.write(f"episode.bmp\ntitle.bmp\nlowtitle.bmp\n3\nX\nx.lev\n{typed}\n")
                terminal = self.start(f"XDG_CONFIG_HOME=settings {PROGRAM} < answers.txt")
                terminal.keys(ENTER)
                terminal.wait_for("Couldn't write file")
                terminal.wait_for(reason)
                self.assertNotIn("DONE!!!", terminal.screen())
                self.assertEqual(read(os.path.join(self.folder, file), "rb"), before)
                self.assertFalse([name for name in os.listdir(self.folder) if name.endswith(".tmp")])
                terminal.wait_for("Press any button to continue")  # a key before it is dropped
                terminal.keys("20")
                terminal.wait_for("Z4K DIVOVOD")
                self.assert_quits_cleanly(terminal)

    # --- the dialogue as typed at a terminal ---------------------------------------------------

    def screen_lines(self, terminal):
        return [line.rstrip() for line in terminal.rows()]

    def wait_for_line(self, terminal, line, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if line in self.screen_lines(terminal):
                return
            time.sleep(0.05)
        raise AssertionError(f"{line!r} never showed as a line; screen:\n{terminal.screen()}")

    def test_home_and_end_move_the_cursor_whatever_term_says(self):
        pictures = make_pictures(self.folder)
        sequences = {"home": ["1b5b317e", "1b5b377e", "1b5b48", "1b4f48"],
                     "end": ["1b5b347e", "1b5b387e", "1b5b46", "1b4f46"]}
        for term in ("xterm-256color", "screen"):
            for home, end in zip(sequences["home"], sequences["end"]):
                with self.subTest(term=term, home=home, end=end):
                    terminal = Terminal(PROGRAM, self.folder, term=term)
                    self.terminals.append(terminal)
                    terminal.wait_for("Z4K DIVOVOD")
                    terminal.keys(ENTER)
                    terminal.wait_for("episode image and press enter:")
                    # "isode.b", Home, "ep", End, "mp": episode.bmp, with no stray ~ or letter.
                    terminal.tmux("send-keys", "-l", "isode.b")
                    terminal.keys(home)
                    terminal.tmux("send-keys", "-l", "ep")
                    terminal.keys(end)
                    terminal.tmux("send-keys", "-l", "mp")
                    self.wait_for_line(terminal, "episode.bmp")
                    terminal.keys(ENTER)
                    terminal.wait_for("Compression OK")
                    terminal.close()
                    for done in ("status", "stty.before", "stty.after"):
                        if os.path.exists(os.path.join(self.folder, done)):
                            os.remove(os.path.join(self.folder, done))
        del pictures

    def test_a_failure_throws_away_what_was_typed_ahead(self):
        make_pictures(self.folder)
        terminal = self.start()
        terminal.keys(ENTER)
        terminal.wait_for("episode image and press enter:")
        # A pasted line and more: the first line's picture fails; "P" and Enter, meant for the
        # questions after it, would choose Quit in the menu if they were kept.
        terminal.tmux("send-keys", "-l", "missing.bmp\rPP\r")
        terminal.wait_for("Press any button to continue")
        time.sleep(0.3)
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        time.sleep(0.3)
        self.assertEqual(highlighted_item(terminal), "Create new", terminal.screen())
        self.assertFalse(os.path.exists(os.path.join(self.folder, "status")),
                         "the program is still running: the typed-ahead Enter chose nothing")
        self.assert_quits_cleanly(terminal)

    def test_tab_completes_file_names_arrows_edit_and_up_recalls(self):
        TAB, LEFT, RIGHT, BACKSPACE, CTRL_A, CTRL_E, CTRL_U = "09", "1b5b44", "1b5b43", "7f", "01", \
            "05", "15"
        images = make_folder(self.folder, "mes images", "été 2")
        pictures = make_pictures(images)
        os.rename(os.path.join(images, "episode.bmp"), os.path.join(images, "épisode un.bmp"))
        terminal = self.start()
        terminal.keys(ENTER)
        terminal.wait_for("episode image and press enter:")
        # "mes" Tab -> "mes images/", "é" Tab -> "été 2/", "é" Tab -> "épisode un.bmp"
        terminal.tmux("send-keys", "-l", "mes")
        terminal.keys(TAB)
        terminal.tmux("send-keys", "-l", "\u00e9")
        terminal.keys(TAB)
        terminal.tmux("send-keys", "-l", "\u00e9")
        terminal.keys(TAB)
        self.wait_for_line(terminal, "mes images/été 2/épisode un.bmp")
        terminal.keys(ENTER)
        terminal.wait_for("title image and press enter:")
        # Arrow editing: "mes images/été 2/tXtle.bmp", four Left, Backspace, "i".
        terminal.tmux("send-keys", "-l", "mes images/été 2/tXtle.bmp")
        terminal.keys(LEFT, LEFT, LEFT, LEFT, LEFT, LEFT, LEFT, BACKSPACE)
        terminal.tmux("send-keys", "-l", "i")
        terminal.keys(CTRL_A, RIGHT, CTRL_E)
        self.wait_for_line(terminal, "mes images/été 2/title.bmp")
        terminal.keys(ENTER)
        terminal.wait_for("lowtitle image and press enter:")
        # Two choices in the folder: Tab lists them and completes as far as they agree.
        terminal.tmux("send-keys", "-l", "mes images/été 2/")
        terminal.keys(TAB)
        terminal.wait_for("lowtitle.bmp  title-plain.bmp  title.bmp  épisode un.bmp")
        terminal.keys(CTRL_U)
        terminal.tmux("send-keys", "-l", "mes images/été 2/lowtitle.bmp")
        terminal.keys(ENTER)
        terminal.wait_for("episode list:")
        self.assertEqual(terminal.screen().count("Compression OK"), 3)
        terminal.type("5")
        terminal.wait_for("name of the episode")
        # At a text answer Tab completes nothing; Up brings back this run's answers, latest first.
        terminal.tmux("send-keys", "-l", "mes")
        terminal.keys(TAB)
        terminal.keys(CTRL_U, "1b5b41", "1b5b41")
        self.wait_for_line(terminal, "mes images/été 2/lowtitle.bmp")
        terminal.keys(CTRL_U)
        terminal.type("Tab\tless")  # Tab does nothing here
        terminal.wait_for("start level:")
        terminal.type("k.lev")
        terminal.wait_for("episode filename!:")
        terminal.type("edited.z4k")
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "edited.z4k"), pictures, 5,
                           "Tabless", "k.lev")
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_answers_typed_ahead_of_their_prompts_are_kept(self):
        pictures = make_pictures(self.folder)
        terminal = self.start()
        # Enter on the menu and all seven answers at once, before the first prompt is drawn.
        answers = ["episode.bmp", "title.bmp", "lowtitle.bmp", "9", "Ahead", "a.lev", "ahead.z4k"]
        typed = "\r" + "".join(answer + "\r" for answer in answers)
        terminal.tmux("send-keys", "-H", *[f"{byte:02x}" for byte in typed.encode()])
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "ahead.z4k"), pictures, 9, "Ahead",
                           "a.lev")
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_pasted_paths_in_single_quotes_and_from_the_home_folder(self):
        pictures = make_pictures(make_folder(self.folder, "home", "My Pictures"))
        os.rename(os.path.join(self.folder, "home", "My Pictures", "title.bmp"),
                  os.path.join(self.folder, "home", "My Pictures", "it's title.bmp"))
        home = os.path.join(self.folder, "home")
        terminal = self.start(f"HOME='{home}' {PROGRAM}")
        terminal.keys(ENTER)
        self.answer_dialogue(terminal, [
            f"'{home}/My Pictures/episode.bmp' ", f"'{home}/My Pictures/it'\\''s title.bmp'",
            "~/My Pictures/lowtitle.bmp", "4", "Pasted", "p.lev", "'~/pasted.z4k'"])
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(home, "pasted.z4k"), pictures, 4, "Pasted", "p.lev")
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_non_ascii_names_typed_under_the_c_locale_keep_their_bytes(self):
        pictures = make_pictures(self.folder)
        os.rename(os.path.join(self.folder, "episode.bmp"), os.path.join(self.folder, "é.bmp"))
        terminal = Terminal(PROGRAM, self.folder, "C")
        self.terminals.append(terminal)
        terminal.wait_for("Z4K DIVOVOD")
        typed = "\r" + "".join(answer + "\r" for answer in [
            "é.bmp", "title.bmp", "lowtitle.bmp", "6", "Ché", "c.lev", "sortie é.z4k"])
        terminal.tmux("send-keys", "-H", *[f"{byte:02x}" for byte in typed.encode()])
        terminal.wait_for("Press any button to continue")
        check_episode_file(self, os.path.join(self.folder, "sortie é.z4k"), pictures, 6, "Ché",
                           "c.lev")
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        self.assert_quits_cleanly(terminal)

    def test_every_failure_says_why_and_that_it_waits(self):
        make_pictures(self.folder)
        subprocess.run([CONVERT, "-size", "30x20", "xc:red", "-type", "TrueColor", "BMP3:deep.bmp"],
                       cwd=self.folder, check=True, timeout=60)
        subprocess.run([CONVERT, "-size", "30x20", "gradient:red-blue", "PNG24:drawn.png"],
                       cwd=self.folder, check=True, timeout=60)
        os.mkdir(os.path.join(self.folder, "a folder"))
        good = ["episode.bmp", "title.bmp", "lowtitle.bmp", "1", "N", "n.lev"]
        cases = [
            (["missing.bmp"], "Couldn't open file",
             "missing.bmp: cannot be opened (No such file or directory)"),
            (["a folder"], "Couldn't open file", "a folder: cannot be opened (Is a directory)"),
            (["  missing.bmp "], "Couldn't open file",
             "'  missing.bmp ': cannot be opened (No such file or directory)"),
            (["episode.bmp", "deep.bmp"], "Bad file!",
             "deep.bmp: a true-colour picture (24 bits per pixel) has no palette indices: start "
             "divovod with the game's palette (divovod --palette FILE, or set it once: divovod "
             "help config) to map its colours"),
            (["episode.bmp", "title.bmp", "drawn.png"], "Bad file!",
             "drawn.png: a true-colour picture (24 bits per pixel) has no palette indices: start "
             "divovod with the game's palette (divovod --palette FILE, or set it once: divovod "
             "help config) to map its colours"),
            (good + ["no such folder/out.z4k"], "Couldn't write file",
             "no such folder/out.z4k: the folder no such folder does not exist"),
            (good + ["a folder"], "Couldn't write file",
             "a folder: is a folder; give the name of a file to write"),
            (good + ["./title.bmp"], "Couldn't write file",
             "./title.bmp: is one of the pictures (the title image title.bmp); it is never "
             "written over"),
        ]
        with open(os.path.join(self.folder, "answers.txt"), "w") as file:
            for answers, _, _ in cases:
                file.write("".join(answer + "\n" for answer in answers))
        terminal = self.start(f"{PROGRAM} < answers.txt")
        for answers, failure, reason in cases:
            with self.subTest(reason=reason):
                terminal.keys(ENTER)
                terminal.wait_for("Press any button to continue")
                # A reason wider than the terminal wraps: -J joins it into its one line again.
                lines = [line.rstrip() for line in
                         terminal.tmux("capture-pane", "-p", "-J").split("\n")]
                terminal.keys("20")
                terminal.wait_for("Z4K DIVOVOD")
                self.assertIn(failure, lines)
                at = lines.index(failure)
                self.assertEqual(lines[at + 1:at + 3], [reason, "Press any button to continue"])
                self.assertNotIn("DONE!!!", lines)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "no such folder")))
        # The answers have ended: the next picture question says so, not that no name was given.
        terminal.keys(ENTER)
        terminal.wait_for("Press any button to continue")
        self.assertIn("The input ended before a file name was given.", terminal.rows())
        terminal.keys("20")
        terminal.wait_for("Z4K DIVOVOD")
        terminal.keys(DOWN, ENTER)
        self.assertEqual(terminal.exit_status(), 0)

    def test_ctrl_c_and_ctrl_backslash_at_an_answer_give_the_terminal_back(self):
        for key, status in [("03", 130), ("1c", 131)]:
            with self.subTest(key=key):
                folder = tempfile.mkdtemp(prefix=f"signal-{key}-", dir=self.folder)
                # The shell goes on after the program's death by the signal, to record the rest.
                terminal = Terminal(f"trap true INT QUIT; {PROGRAM}", folder)
                self.terminals.append(terminal)
                terminal.wait_for("Z4K DIVOVOD")
                terminal.keys(ENTER)
                terminal.wait_for("episode image and press enter:")
                terminal.tmux("send-keys", "-l", "half typed")
                terminal.keys("1b5b44", key)
                self.assertEqual(terminal.exit_status(), status)
                self.assertEqual(read(os.path.join(folder, "stty.before")),
                                 read(os.path.join(folder, "stty.after")))

    def test_a_resize_redraws_the_menu_and_a_small_terminal_gets_a_notice(self):
        terminal = self.start()
        terminal.keys(DOWN)
        self.assert_highlight_becomes(terminal, "Quit")
        for columns, rows in [(60, 12), (23, 20), (40, 7), (10, 5), (30, 8)]:
            with self.subTest(size=f"{columns}x{rows}"):
                terminal.tmux("resize-window", "-x", str(columns), "-y", str(rows))
                fits = columns >= 24 and rows >= 8
                deadline = time.time() + 5
                while time.time() < deadline:
                    lines = self.screen_lines(terminal)
                    if fits and lines[2:8] == [row[:columns].rstrip() for row in MENU_ROWS]:
                        break
                    if not fits and "too small" in lines[0].lower():
                        break
                    time.sleep(0.05)
                lines = self.screen_lines(terminal)
                if fits:
                    self.assertEqual(lines[2:8], MENU_ROWS)
                    self.assertEqual(highlighted_item(terminal), "Quit", "the highlight is kept")
                else:
                    self.assertIn(lines[0], ["Terminal too small for the menu (24 x 8 needed)",
                                             "Too small (24x8)"[:columns].rstrip()])
                    self.assertEqual([line for line in lines[1:] if line], [])
        terminal.tmux("resize-window", "-x", "100", "-y", "30")
        terminal.wait_for("Z4K DIVOVOD")
        terminal.keys(ENTER)
        self.assertEqual(terminal.exit_status(), 0)

    def test_a_dumb_terminal_gets_no_escape_sequence(self):
        import pty
        controller, terminal = pty.openpty()
        try:
            result = subprocess.run([PROGRAM], stdin=terminal, stdout=terminal,
                                    stderr=subprocess.PIPE, env=dict(os.environ, TERM="dumb"),
                                    timeout=10)
            os.close(terminal)
            terminal = None
            output = b""
            while True:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                output += chunk
        finally:
            if terminal is not None:
                os.close(terminal)
            os.close(controller)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(output, b"", "nothing at all on the terminal")
        self.assertIn(b"cannot show the menu", result.stderr)
        self.assertIn(b"divovod build", result.stderr)
        self.assertNotIn(b"\x1b", result.stderr)

    def test_quit_leaves_the_users_screen_and_scrollback_as_found(self):
        # The frame in UTF-8 where the locale decodes it, in ASCII where it cannot (LANG=C).
        for lang, menu_rows in [("C.UTF-8", MENU_ROWS), ("C", ASCII_MENU_ROWS)]:
            with self.subTest(lang=lang):
                folder = tempfile.mkdtemp(prefix=f"screen-{lang}-", dir=self.folder)
                command = f"seq -f 'before %g' 40; {PROGRAM}; echo $? > status; echo after-quit"
                terminal = Terminal(command, folder, lang)
                self.terminals.append(terminal)
                terminal.wait_for("Z4K DIVOVOD")
                self.assertEqual(terminal.rows()[2:8], menu_rows)
                terminal.keys(DOWN, ENTER)
                self.assertEqual(terminal.exit_status(), 0)
                terminal.wait_for("after-quit")
                everything = terminal.history_and_screen().split("\n")
                before = [line for line in everything if line.startswith("before ")]
                self.assertEqual(before, [f"before {n}" for n in range(1, 41)],
                                 "every line printed before the program is still there")
                screen = terminal.screen()
                for part in ("Z4K", "Create new", "Quit", "═", "║", "+===", "|"):
                    self.assertNotIn(part, screen)
                rows = terminal.rows()
                self.assertIn("after-quit", rows, "the next output starts on a line of its own")
                self.assertEqual(rows[rows.index("after-quit") - 1], "before 40")


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
