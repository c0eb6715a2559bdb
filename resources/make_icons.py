#!/usr/bin/env python3
"""Draws zembrel's two icons and writes app.ico and addon_error.ico beside this script.

The build uses the committed .ico files; run this only to change the pictures. With
--preview DIR it also writes each image as an enlarged PNG, to look at without Windows.
"""

import argparse
import math
import os
import struct
import zlib

# The 16 colours every VGA-era icon editor offered, in their usual palette order.
VGA = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_RED, SILVER, GREY, RED, WHITE = 0, 1, 7, 8, 9, 15
MONO = [(0, 0, 0), (255, 255, 255)]
CLEAR = None  # a pixel the AND mask leaves transparent


def blank(size):
    return [[CLEAR] * size for _ in range(size)]


def fill(image, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            image[y][x] = colour


def outline(image, x0, y0, x1, y1, colour, dotted=False):
    for x in range(x0, x1 + 1):
        for y in (y0, y1):
            if not dotted or (x + y) % 2 == 0:
                image[y][x] = colour
    for y in range(y0, y1 + 1):
        for x in (x0, x1):
            if not dotted or (x + y) % 2 == 0:
                image[y][x] = colour


def diskette(size):
    """A 3.5-inch diskette seen from the label side, its shutter at the bottom edge."""
    s = size / 32.0
    image = blank(size)
    last = size - 1
    edge = max(1, round(1 * s))
    fill(image, edge, edge, last - edge, last - edge, SILVER)
    outline(image, edge, edge, last - edge, last - edge, BLACK)
    # The cut corner that tells a diskette from a box.
    cut = max(2, round(3 * s))
    for i in range(cut):
        for j in range(cut - i):
            image[edge + j][last - edge - i] = CLEAR
        image[edge + cut - i][last - edge - i] = BLACK
    label_left, label_right = round(5 * s), last - round(5 * s)
    label_top, label_bottom = round(4 * s), round(17 * s)
    fill(image, label_left, label_top, label_right, label_bottom, SILVER)
    outline(image, label_left, label_top, label_right, label_bottom, WHITE, dotted=size > 16)
    shutter_left, shutter_right = round(9 * s), last - round(9 * s)
    shutter_top, shutter_bottom = round(21 * s), last - edge
    fill(image, shutter_left, shutter_top, shutter_right, shutter_bottom, GREY)
    outline(image, shutter_left, shutter_top, shutter_right, shutter_bottom, BLACK)
    # The window in the shutter through which the disk shows.
    slot = max(1, round(3 * s))
    fill(image, shutter_right - 2 * slot, shutter_top + slot, shutter_right - slot,
         shutter_bottom - slot, BLACK)
    return image


def error_sign(size, colours):
    """A round stop sign with a diagonal cross; colours picks the 16-colour or mono look."""
    image = blank(size)
    centre = (size - 1) / 2.0 - 1
    radius = size / 2.0 - 2.5
    rim = 1.6
    arm = radius * 0.5
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - centre, y - centre)
            shadow = math.hypot(x - centre - 2, y - centre - 2)
            if d <= radius:
                on_cross = (abs((x - centre) - (y - centre)) <= 1.6
                            or abs((x - centre) + (y - centre)) <= 1.6)
                if on_cross and abs(x - centre) <= arm and abs(y - centre) <= arm:
                    image[y][x] = colours['cross']
                elif d > radius - rim:
                    image[y][x] = colours['rim']
                else:
                    image[y][x] = colours['disc']
            elif colours['shadow'] is not None and shadow <= radius:
                image[y][x] = colours['shadow']
    return image


def dib(image, bits):
    """An icon image as Windows stores it: BITMAPINFOHEADER, palette, XOR rows, AND rows."""
    size = len(image)
    palette = VGA if bits == 4 else MONO
    row_bytes = ((size * bits + 31) // 32) * 4
    mask_bytes = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(image):  # bottom-up, as every DIB
        packed = 0
        for x, colour in enumerate(row):
            packed = (packed << bits) | (0 if colour is CLEAR else colour)
        xor += packed.to_bytes((size * bits + 7) // 8, 'big').ljust(row_bytes, b'\0')
        bitmask = 0
        for colour in row:
            bitmask = (bitmask << 1) | (1 if colour is CLEAR else 0)
        mask += bitmask.to_bytes((size + 7) // 8, 'big').ljust(mask_bytes, b'\0')
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, bits, 0, len(xor) + len(mask),
                         0, 0, len(palette), 0)
    quads = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    return header + quads + bytes(xor) + bytes(mask)


def write_ico(path, images):
    """images: (pixel rows, bits per pixel) in the order the icon lists them."""
    blobs = [dib(image, bits) for image, bits in images]
    offset = 6 + 16 * len(images)
    entries = b''
    for (image, bits), blob in zip(images, blobs):
        size = len(image)
        entries += struct.pack('<BBBBHHII', size % 256, size % 256, 1 << bits, 0, 1, bits,
                               len(blob), offset)
        offset += len(blob)
    with open(path, 'wb') as out:
        out.write(struct.pack('<HHH', 0, 1, len(images)) + entries + b''.join(blobs))


def write_png(path, image, palette, scale=8):
    size = len(image)
    raw = bytearray()
    for row in image:
        for _ in range(scale):
            raw.append(0)
            for colour in row:
                # Transparent pixels show as a checkerboard-free teal so they stand out.
                rgb = (0, 96, 96) if colour is CLEAR else palette[colour]
                raw += bytes(rgb) * scale

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data
                + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))

    side = size * scale
    with open(path, 'wb') as out:
        out.write(b'\x89PNG\r\n\x1a\n')
        out.write(chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 2, 0, 0, 0)))
        out.write(chunk(b'IDAT', zlib.compress(bytes(raw), 9)))
        out.write(chunk(b'IEND', b''))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--preview', metavar='DIR', help='also write enlarged PNGs here')
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))

    colour_sign = {'disc': RED, 'rim': DARK_RED, 'cross': WHITE, 'shadow': GREY}
    mono_sign = {'disc': 1, 'rim': 0, 'cross': 0, 'shadow': None}
    app = [(diskette(32), 4), (diskette(16), 4)]
    error = [(error_sign(32, colour_sign), 4), (error_sign(32, mono_sign), 1)]
    write_ico(os.path.join(here, 'app.ico'), app)
    write_ico(os.path.join(here, 'addon_error.ico'), error)

    if args.preview:
        os.makedirs(args.preview, exist_ok=True)
        for name, images in (('app', app), ('addon_error', error)):
            for image, bits in images:
                palette = VGA if bits == 4 else MONO
                file = '%s_%d_%dbpp.png' % (name, len(image), bits)
                write_png(os.path.join(args.preview, file), image, palette)


if __name__ == '__main__':
    main()
