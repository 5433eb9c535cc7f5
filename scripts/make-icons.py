#!/usr/bin/env python3
"""Draws the wizard's two embedded pictures as XPM files: a 32x32 window icon
and the 168x400 side picture. Both show a sunrise over hills laid as a mosaic
of small shaded tiles, quantised to 256 colours, 3 characters per pixel.

Run from the repository root: scripts/make-icons.py
"""
import math
import os
import random

GROUT = (34, 36, 44)


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def scene(x, y, aspect):
    """The motif, in unit coordinates: x and y from 0 to 1, y downwards;
    aspect is height over width, so that round things stay round."""
    horizon = 0.62
    # Sky: night blue at the top, warm orange at the horizon.
    if y < horizon:
        t = y / horizon
        colour = mix((28, 52, 120), (96, 120, 196), t * 1.4) if t < 0.7 else \
            mix((96, 120, 196), (250, 160, 80), (t - 0.7) / 0.3)
    else:
        colour = (250, 160, 80)
    # The sun, half risen behind the hills, with a soft glow.
    sx, sy, r = 0.5, 0.58, 0.3
    d = math.hypot(x - sx, (y - sy) * aspect)
    if d < r:
        colour = mix((255, 236, 120), (255, 196, 70), d / r)
    elif d < r * 1.9 and y < horizon:
        colour = mix((255, 200, 110), colour, (d - r) / (r * 0.9))
    # A kestrel hanging in the wind: two swept wings and a body.
    bx, by = 0.34, 0.2 * aspect
    wing = abs(x - bx)
    if wing < 0.24 and abs((y * aspect - by) + 0.55 * wing) < 0.045:
        colour = (44, 34, 40)
    # Two ranges of hills, far teal and near green.
    far = 0.60 + 0.05 * math.sin(x * 7.0 + 1.0) + 0.02 * math.sin(x * 19.0)
    near = 0.74 + 0.06 * math.sin(x * 4.5 + 2.6) + 0.015 * math.sin(x * 23.0)
    if y > far:
        colour = mix((46, 110, 120), (30, 80, 96), (y - far) * 6)
    if y > near:
        colour = mix((96, 160, 70), (40, 100, 50), (y - near) * 3.5)
    return colour


def render(width, height, pitch, seed, border):
    """Tiles of pitch pixels (one pixel of grout) filled from the scene."""
    rng = random.Random(seed)
    cols = (width - 2 * border[0]) // pitch
    rows = (height - 2 * border[1]) // pitch
    pixels = [[GROUT] * width for _ in range(height)]
    for row in range(rows):
        for col in range(cols):
            base = scene((col + 0.5) / cols, (row + 0.5) / rows, rows / cols)
            # Every tile a slightly different "photo" of its colour.
            jitter = [rng.uniform(-14, 14) for _ in range(3)]
            base = tuple(base[i] + jitter[i] for i in range(3))
            x0 = border[0] + col * pitch
            y0 = border[1] + row * pitch
            inner = pitch - 1
            for dy in range(inner):
                for dx in range(inner):
                    # Light from the top left, as on a glazed tile.
                    shade = 1.12 - 0.24 * (dx + dy) / max(1, 2 * (inner - 1))
                    pixels[y0 + dy][x0 + dx] = tuple(
                        int(max(0, min(255, round(c * shade)))) for c in base)
    return pixels


def median_cut(colours, count):
    """Palette of exactly count entries for a {colour: weight} histogram."""
    boxes = [list(colours.items())]
    while len(boxes) < count:
        best, best_range, best_channel = None, 0, 0
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                values = [c[0][ch] for c in box]
                span = max(values) - min(values)
                if span > best_range:
                    best, best_range, best_channel = i, span, ch
        if best is None:
            break
        box = sorted(boxes.pop(best), key=lambda c: c[0][best_channel])
        total = sum(w for _, w in box)
        acc, cut = 0, 1
        for k, (_, w) in enumerate(box):
            acc += w
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, k + 1))
                break
        boxes += [box[:cut], box[cut:]]
    palette, lookup = [], {}
    for box in boxes:
        total = sum(w for _, w in box)
        entry = tuple(round(sum(c[ch] * w for c, w in box) / total) for ch in range(3))
        for c, _ in box:
            lookup[c] = len(palette)
        palette.append(entry)
    # Pad with a grey ramp that no pixel uses so the header always says 256.
    while len(palette) < count:
        g = len(palette) % 256
        palette.append((g, g, g))
    return palette, lookup


CODE_CHARS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"


def code(index):
    return "." + CODE_CHARS[index // len(CODE_CHARS)] + CODE_CHARS[index % len(CODE_CHARS)]


def write_xpm(path, name, pixels):
    height, width = len(pixels), len(pixels[0])
    histogram = {}
    for row in pixels:
        for c in row:
            histogram[c] = histogram.get(c, 0) + 1
    palette, lookup = median_cut(histogram, 256)
    lines = ['"%d %d %d 3",' % (width, height, len(palette))]
    for i, (r, g, b) in enumerate(palette):
        lines.append('"%s c #%02X%02X%02X",' % (code(i), r, g, b))
    for row in pixels:
        lines.append('"' + "".join(code(lookup[c]) for c in row) + '",')
    lines[-1] = lines[-1].rstrip(",")
    with open(path, "w") as out:
        out.write("/* XPM */\n/* Generated by scripts/make-icons.py */\n")
        out.write("static const char *const %s[] = {\n" % name)
        out.write("\n".join(lines))
        out.write("\n};\n")


def main():
    os.makedirs("wizard/icons", exist_ok=True)
    write_xpm("wizard/icons/WindowIcon.xpm", "window_icon_xpm",
              render(32, 32, 8, seed=7, border=(0, 0)))
    write_xpm("wizard/icons/SidePicture.xpm", "side_picture_xpm",
              render(168, 400, 12, seed=11, border=(0, 2)))


if __name__ == "__main__":
    main()
