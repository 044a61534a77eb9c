#!/usr/bin/env python3
"""Packs raw RGBA images into one 16-colour Windows icon file.

ImageMagick writes every icon image that has transparency as 32-bit colour, so the
classic 4-bit form (a 16-entry palette, the colour bitmap and a 1-bit transparency
mask) is assembled here.

usage: write-ico.py OUT.ico SIZE:FILE.rgba [SIZE:FILE.rgba ...]

Each FILE.rgba holds SIZE x SIZE pixels of 8-bit R, G, B, A, top row first. A pixel
whose alpha is below 128 is transparent; the opaque pixels of one image may use at
most 16 distinct colours, black included, because transparent pixels are stored as
black under a set mask bit.
"""

import struct
import sys

BLACK = (0, 0, 0)


def read_pixels(path, size):
    data = open(path, "rb").read()
    if len(data) != size * size * 4:
        sys.exit(f"{path}: expected {size}x{size} RGBA pixels, got {len(data)} bytes")
    pixels = []
    for i in range(0, len(data), 4):
        r, g, b, a = data[i : i + 4]
        pixels.append((r, g, b) if a >= 128 else None)
    return pixels


def build_palette(path, pixels):
    colours = sorted({p for p in pixels if p is not None} | {BLACK})
    if len(colours) > 16:
        sys.exit(f"{path}: {len(colours)} colours including black, at most 16 fit")
    return colours + [BLACK] * (16 - len(colours))


def row_bytes(bits_per_pixel, width):
    # Every bitmap row is padded to a whole number of 32-bit words.
    return (bits_per_pixel * width + 31) // 32 * 4


def pack_image(size, pixels, palette):
    index = {c: i for i, c in enumerate(palette)}
    colour_rows, mask_rows = [], []
    for y in reversed(range(size)):  # bitmaps are stored bottom row first
        row = pixels[y * size : (y + 1) * size]
        nibbles = [index[p if p is not None else BLACK] for p in row]
        colour = bytearray(row_bytes(4, size))
        mask = bytearray(row_bytes(1, size))
        for x, n in enumerate(nibbles):
            colour[x // 2] |= n << (4 if x % 2 == 0 else 0)
            if row[x] is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        colour_rows.append(bytes(colour))
        mask_rows.append(bytes(mask))
    # The header's height counts the colour bitmap and the mask together.
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, 0, 0, 0, 16, 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + table + b"".join(colour_rows) + b"".join(mask_rows)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    images = []
    for entry in argv[2:]:
        size_text, path = entry.split(":", 1)
        size = int(size_text)
        if not 1 <= size <= 255:
            sys.exit(f"{entry}: size must lie between 1 and 255")
        pixels = read_pixels(path, size)
        images.append((size, pack_image(size, pixels, build_palette(path, pixels))))

    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    for size, blob in images:
        directory += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    with open(argv[1], "wb") as out:
        out.write(directory + b"".join(blob for _, blob in images))


if __name__ == "__main__":
    main(sys.argv)
