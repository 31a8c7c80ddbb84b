#!/usr/bin/env python3
"""Draws cylswap.ico: a small floppy disk at 32x32 and 16x16, 32-bit colour.

Usage: draw_icon.py OUTPUT.ico   (standard library only, so it can be redrawn
anywhere; the picture is a function of the size alone).
"""
import struct
import sys

BODY = (0x2B, 0x4C, 0x7E, 0xFF)     # blue casing
SHUTTER = (0xC8, 0xCC, 0xD2, 0xFF)  # metal shutter
LABEL = (0xF4, 0xF1, 0xE6, 0xFF)    # paper label
LINE = (0x8A, 0x8F, 0x99, 0xFF)     # ruled lines on the label
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    """Colour at (x, y), y downwards, for an icon `size` pixels wide."""
    u = lambda n: n * size // 32  # design on a 32 grid, scale to size
    if not (u(2) <= x < u(30) and u(2) <= y < u(30)):
        return CLEAR
    if x >= u(27) and y < u(5):  # the cut corner
        return CLEAR
    if u(9) <= x < u(23) and u(2) <= y < u(12):
        return BODY if u(18) <= x < u(21) and u(4) <= y < u(10) else SHUTTER
    if u(6) <= x < u(26) and u(16) <= y < u(30):
        return LINE if size >= 32 and y in (u(20), u(24)) and u(8) <= x < u(24) else LABEL
    return BODY


def _bgra(rgba):
    r, g, b, a = rgba
    return (b, g, r, a)


def icon_image(size):
    """One BMP-format icon image: header, bottom-up BGRA rows, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(
        bytes(channel for x in range(size)
              for channel in _bgra(pixel(size, x, y)))
        for y in reversed(range(size)))
    mask_row = ((size + 31) // 32) * 4
    return header + rows + bytes(mask_row * size)


def main(path):
    sizes = (32, 16)
    images = [icon_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as file:
        file.write(out + b"".join(images))


if __name__ == "__main__":
    main(sys.argv[1])
