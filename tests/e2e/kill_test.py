#!/usr/bin/env python3
"""A build or an extract killed outright (SIGKILL, which no handler sees) at random moments: the
target is always either the old file or the complete new one. Where the file system has files
without a name, a temporary file is left only by a kill in the instant between its naming and the
rename (rarely); wherever one is left, the next write of the same target removes it.

Usage: kill_test.py PATH_TO_DIVOVOD
Runs on its own scratch folder; the pictures are made here, byte by byte.
"""
import os
import random
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = None
TRIALS = 50


def noise_bitmap(path, width, height, seed):
    """An 8-bit bitmap of noise, slow to compress, so that a run lasts long enough to be hit."""
    rng = random.Random(seed)
    palette = bytes(rng.randrange(256) for _ in range(1024))
    row = (width + 3) & ~3
    pixels = rng.randbytes(row * height)
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(pixels), 0, 0, 256, 0)
    with open(path, "wb") as file:
        file.write(header + info + palette + pixels)


def unnamed_files_work(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600))
        return True
    except (AttributeError, OSError):
        return False


def leftovers(folder):
    return sorted(name for name in os.listdir(folder) if name.endswith(".tmp"))


def read(path):
    with open(path, "rb") as file:
        return file.read()


class KilledWrites(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="divovod-kill-")
        self.folder = self.scratch.name
        for i, name in enumerate(("episode.bmp", "title.bmp", "lowtitle.bmp")):
            noise_bitmap(os.path.join(self.folder, name), 1280, 1024, i)
        self.build = [PROGRAM, "build", "-o", "out.z4k", "--position", "1", "--name", "Noise",
                      "--start-level", "noise.lev", "--episode-image", "episode.bmp",
                      "--title-image", "title.bmp", "--lowtitle-image", "lowtitle.bmp"]
        self.extract = [PROGRAM, "extract", "reference.z4k", "-d", "pictures", "--force"]

    def tearDown(self):
        self.scratch.cleanup()

    def run_program(self, command):
        return subprocess.run(command, cwd=self.folder, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120)

    def timed(self, command):
        start = time.monotonic()
        result = self.run_program(command)
        self.assertEqual(result.returncode, 0, result.stderr)
        return time.monotonic() - start

    def test_a_killed_write_leaves_the_old_file_or_the_new_one_and_nothing_else(self):
        build_time = self.timed(self.build)
        os.rename(os.path.join(self.folder, "out.z4k"), os.path.join(self.folder, "reference.z4k"))
        extract_time = self.timed(self.extract)
        pictures = os.path.join(self.folder, "pictures")
        extracted = {name: read(os.path.join(pictures, name)) for name in os.listdir(pictures)}
        reference = read(os.path.join(self.folder, "reference.z4k"))
        old = b"the old file\n"
        unnamed = unnamed_files_work(self.folder)
        seed = random.randrange(1 << 30)
        rng = random.Random(seed)
        killed = 0
        stale = []
        for trial in range(TRIALS):
            what = "trial %d (seed %d)" % (trial, seed)
            building = trial % 2 == 0
            command, runtime = (self.build, build_time) if building else (self.extract, extract_time)
            targets = ({"out.z4k": reference} if building else
                       {os.path.join("pictures", name): data for name, data in extracted.items()})
            for name in targets:
                with open(os.path.join(self.folder, name), "wb") as file:
                    file.write(old)
            process = subprocess.Popen(command, cwd=self.folder, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0, runtime * 1.1))
            process.send_signal(signal.SIGKILL)
            if process.wait() == -signal.SIGKILL:
                killed += 1
            for name, data in targets.items():
                self.assertIn(read(os.path.join(self.folder, name)), (old, data), what + " " + name)
            folders = (self.folder, pictures)
            left = [name for folder in folders for name in leftovers(folder)]
            if left:
                # A file without a name gets its temporary name just before the rename; a kill
                # in that instant, or any time where there are no such files, leaves it, and the
                # next write of the same target must take it away.
                stale.append(trial)
                owner = ".%d-" % process.pid
                self.assertTrue(all(owner in name for name in left), what + " " + str(left))
                self.assertEqual(self.run_program(command).returncode, 0, what)
                for folder in folders:
                    self.assertEqual(leftovers(folder), [], what + ": not removed by the next write")
        self.assertGreaterEqual(killed, TRIALS // 3, "too few runs were killed while running")
        if unnamed:
            self.assertLessEqual(len(stale), TRIALS // 10,
                                 "trials %s left a temporary file (seed %d)" % (stale, seed))
        print("%d of %d runs killed while running, %d left a temporary file until the next write; "
              "files without a name: %s" % (killed, TRIALS, len(stale), "yes" if unnamed else "no"))


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
