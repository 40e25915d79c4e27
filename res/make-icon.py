#!/usr/bin/env python3
"""Draws the application icon and writes it as res/qsprofile.ico.

The icon holds two images, 32x32 and 16x16, each with 16 colours at 4 bits per pixel (the
standard 16-colour palette) and a 1-bit transparency mask: a blue tile with a person's head and
shoulders (the profile) in front of a server cabinet (the role it is for). Each image is sampled
from the same shapes, so both sizes show the same picture.

Usage: python3 res/make-icon.py [OUTPUT]    (default: qsprofile.ico beside this script)
"""

import os
import struct
import sys

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, NAVY, TEAL, SILVER, GREY, LIME, BLUE, WHITE = 0, 4, 6, 7, 8, 10, 12, 15
TRANSPARENT = None


def inside_rounded_square(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def colour_at(x, y):
    """The colour of the point (x, y) of the unit square, or TRANSPARENT."""
    if not inside_rounded_square(x, y, 0.02, 0.02, 0.98, 0.98, 0.16):
        return TRANSPARENT
    if not inside_rounded_square(x, y, 0.07, 0.07, 0.93, 0.93, 0.12):
        return NAVY
    # The server cabinet, upper right, with two drive bays and a lit lamp.
    if 0.54 <= x <= 0.86 and 0.14 <= y <= 0.62:
        if 0.72 <= x <= 0.79 and 0.48 <= y <= 0.55:
            return LIME
        if 0.60 <= x <= 0.80 and (0.22 <= y <= 0.28 or 0.33 <= y <= 0.39):
            return GREY
        if x <= 0.57 or x >= 0.83 or y <= 0.17 or y >= 0.59:
            return BLACK
        return SILVER
    # The person: a head and the arc of the shoulders, with a dark outline.
    head = (x - 0.38) ** 2 + (y - 0.40) ** 2
    shoulders = (x - 0.38) ** 2 / 0.30 ** 2 + (y - 0.92) ** 2 / 0.34 ** 2
    if head <= 0.14 ** 2 or (shoulders <= 1.0 and y <= 0.86):
        return WHITE
    if head <= 0.175 ** 2 or (shoulders <= 1.25 and y <= 0.89):
        return BLACK
    return TEAL if y > 0.5 else BLUE


def image(size):
    """Returns the ICO image record (header, palette, colour bits, mask bits) of one size."""
    pixels = []
    for row in range(size):
        y = (row + 0.5) / size
        pixels.append([colour_at((column + 0.5) / size, y) for column in range(size)])

    colour_row_bytes = (size * 4 + 31) // 32 * 4
    mask_row_bytes = (size + 31) // 32 * 4
    colour_bits = bytearray()
    mask_bits = bytearray()
    for row in reversed(pixels):  # bottom-up
        line = bytearray(colour_row_bytes)
        mask = bytearray(mask_row_bytes)
        for column, colour in enumerate(row):
            index = 0 if colour is TRANSPARENT else colour
            line[column // 2] |= index << (4 if column % 2 == 0 else 0)
            if colour is TRANSPARENT:
                mask[column // 8] |= 0x80 >> (column % 8)
        colour_bits += line
        mask_bits += mask

    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(colour_bits) + len(mask_bits), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + bytes(colour_bits) + bytes(mask_bits)


def icon(sizes):
    images = [image(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "qsprofile.ico")
    with open(path, "wb") as f:
        f.write(icon([32, 16]))


if __name__ == "__main__":
    main()
