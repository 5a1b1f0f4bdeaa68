#!/usr/bin/env python3
"""Writes the seed corpus of the episode reader's fuzz target, corpus/episode, byte by byte:
episode files laid out as the writer lays them, and damaged ones, each named for what it shows.

Run it again after changing a seed here; it rewrites the files it makes and leaves the others
(real files written by divovod itself, `real-*.z4k`, added by hand) in place.
"""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "episode")


def pixels(width, height, seed):
    return bytes((x * 7 + y * 13 + seed + (x * y) % 3) % 256
                 for y in range(height) for x in range(width))


def header(position=3, name=b"Deep Caves", level=b"cave1.lev", episode=(8, 5), lowtitle=(6, 2),
           size=204, fixed=(1, 0, 0x00670098, 0x00770860, 0x006BB0CC, 0x00706100)):
    return (struct.pack("<iiii", size, position, fixed[0], fixed[1]) + name.ljust(128, b"\0")[:128]
            + level.ljust(32, b"\0")[:32]
            + struct.pack("<iiiiiiii", episode[0], episode[1], fixed[2], fixed[3],
                          lowtitle[0], lowtitle[1], fixed[4], fixed[5]))


def block(stream, size=None):
    return struct.pack("<i", len(stream) if size is None else size) + stream


def episode_file(episode=(8, 5), title=(4, 4), lowtitle=(6, 2), streams=None, **fields):
    if streams is None:
        streams = [zlib.compress(pixels(w, h, i), 9)
                   for i, (w, h) in enumerate([episode, title, lowtitle])]
    return header(episode=episode, lowtitle=lowtitle, **fields) + b"".join(map(block, streams))


def unfinished(data):
    compressor = zlib.compressobj(9)
    return compressor.compress(data) + compressor.flush(zlib.Z_SYNC_FLUSH)


def seeds():
    good = episode_file()
    ep, ti, lo = [zlib.compress(pixels(w, h, i), 9)
                  for i, (w, h) in enumerate([(8, 5), (4, 4), (6, 2)])]
    title_at = 208 + 4 + len(ep)
    bad_check = bytearray(good)
    bad_check[title_at + 4 + len(ti) - 1] ^= 0x55
    yield "intact-small", good
    yield "intact-empty-pictures", episode_file(episode=(0, 0), title=(0, 7), lowtitle=(5, 0))
    yield "intact-title-like-lowtitle", episode_file(title=(6, 2))
    yield "intact-stored-blocks", header() + block(zlib.compress(pixels(8, 5, 0), 0)) + \
        block(zlib.compress(pixels(4, 4, 1), 0)) + block(zlib.compress(pixels(6, 2, 2), 0))
    yield "intact-long-runs", episode_file(
        episode=(64, 64), streams=[zlib.compress(bytes(4096), 9), ti, lo])
    yield "intact-unusual-fixed", episode_file(fixed=(2, 9, 0, 0, 0, 0))
    yield "empty", b""
    yield "cut-in-header", good[:100]
    yield "cut-before-first-size", good[:208]
    yield "cut-in-first-size", good[:210]
    yield "cut-in-first-stream", good[:230]
    yield "cut-one-short", good[:-1]
    yield "leading-field-not-204", episode_file(size=205)
    yield "negative-width", episode_file(episode=(-8, 5))
    yield "gigapixel-claim", header(episode=(65536, 65536)) + block(ep) + block(ti) + block(lo)
    yield "lowtitle-huge", header(lowtitle=(46340, 46340)) + block(ep) + block(ti) + block(lo)
    yield "negative-size", header() + block(ep) + block(ti, -1) + block(lo)
    yield "size-far-past-end", header() + block(ep, 0x7FFFFFFF) + block(ti) + block(lo)
    yield "zero-size", header() + block(ep) + block(b"") + block(lo)
    yield "wrong-checksum", bytes(bad_check)
    yield "not-zlib", header() + block(b"\x01\x02\x03\x04" + ep[4:]) + block(ti) + block(lo)
    yield "preset-dictionary", header() + block(b"\x78\xbb" + ep[2:]) + block(ti) + block(lo)
    yield "never-ends", header() + block(unfinished(pixels(8, 5, 0))) + block(ti) + block(lo)
    yield "more-pixels-than-header", episode_file(streams=[zlib.compress(bytes(41), 9), ti, lo])
    yield "fewer-pixels-than-header", episode_file(streams=[zlib.compress(bytes(39), 9), ti, lo])
    yield "title-bomb", header() + block(ep) + block(zlib.compress(bytes(1 << 20), 9)) + block(lo)
    # About 4 KB that inflate to 4 MiB of zeros and then ask for more: checked as far as its size
    # allows, then cut short.
    yield "title-bomb-without-end", header() + block(ep) + block(unfinished(bytes(4 << 20))) + \
        block(lo)
    yield "claim-past-stream", header(episode=(2000, 2000)) + block(ep) + block(ti) + block(lo)
    yield "bytes-after-stream", header() + block(ep) + block(ti + b"xy") + block(lo)
    yield "bytes-after-last", good + b"\0\0\0"
    yield "two-streams-in-one-block", header() + block(ep + ep) + block(ti) + block(lo)
    yield "name-without-zero", episode_file(name=b"n" * 128)
    yield "level-without-zero", episode_file(level=b"l" * 32)


def main():
    os.makedirs(HERE, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(HERE, name + ".z4k"), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
