#!/usr/bin/env python3
"""Floyd-Steinberg written out plainly, for the expected indices in colour_mapping_test.cpp.

Not run by the tests: run it by hand and paste what it prints into the test's table. It follows
the mapping's rules, worked out from what they say rather than from the code: rows top to bottom,
each left to right; a pixel wants its own colour plus its accumulated error in sixteenths divided
by 16 (the quotient cut toward zero), clamped to 0..255; it gets the nearest palette colour (least
squared distance, lowest index on ties, the transparent index never); the error, wanted less got,
goes 7/16 to the right, 3/16 below left, 5/16 below and 1/16 below right, and whatever falls off
the picture is lost. A pixel of alpha 0 with a transparent index given becomes that index and
passes no error on (what had come to it is dropped).
"""

PALETTE = [(0, 0, 0), (255, 255, 255), (200, 40, 40), (30, 160, 60), (40, 60, 220)]
WIDTH, HEIGHT = 8, 6


def picture(transparent_at=None, partly_at=None):
    pixels = []
    for y in range(HEIGHT):
        for x in range(WIDTH):
            alpha = 255
            if (x, y) == transparent_at:
                alpha = 0
            elif (x, y) == partly_at:
                alpha = 128
            pixels.append(((x * 40 + y * 13) % 256, (x * 7 + y * 45) % 256,
                           (x * y * 9 + 60) % 256, alpha))
    return pixels


def cut_toward_zero(value, by):
    quotient = abs(value) // by
    return quotient if value >= 0 else -quotient


def nearest(colour, excluded):
    best = None
    for index, entry in enumerate(PALETTE):
        if index == excluded:
            continue
        d = sum((a - b) ** 2 for a, b in zip(colour, entry))
        if best is None or d < best[0]:
            best = (d, index)
    return best[1]


def dither(pixels, transparent_index=-1):
    errors = [[[0, 0, 0] for _ in range(WIDTH)] for _ in range(HEIGHT)]
    indices, changed, largest = [], 0, 0
    for y in range(HEIGHT):
        for x in range(WIDTH):
            r, g, b, alpha = pixels[y * WIDTH + x]
            if alpha == 0 and transparent_index >= 0:
                indices.append(transparent_index)
                continue
            wanted = [min(255, max(0, c + cut_toward_zero(e, 16)))
                      for c, e in zip((r, g, b), errors[y][x])]
            chosen = nearest(wanted, transparent_index)
            got = PALETTE[chosen]
            d = sum((a - b) ** 2 for a, b in zip((r, g, b), got))
            if d:
                changed += 1
                largest = max(largest, d)
            for dx, dy, weight in ((1, 0, 7), (-1, 1, 3), (0, 1, 5), (1, 1, 1)):
                if 0 <= x + dx < WIDTH and y + dy < HEIGHT:
                    for c in range(3):
                        errors[y + dy][x + dx][c] += (wanted[c] - got[c]) * weight
            indices.append(chosen)
    return indices, changed, largest


for name, pixels, transparent_index in (
        ("opaque", picture(), -1),
        ("transparent index 1", picture((3, 2), (5, 4)), 1)):
    indices, changed, largest = dither(pixels, transparent_index)
    print(f"// {name}: {changed} changed, largest {largest}")
    print("{" + ", ".join(map(str, indices)) + "}")
