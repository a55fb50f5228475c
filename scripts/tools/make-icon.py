#!/usr/bin/env python3
"""Draws Sarnik's icon (a command window with log lines and a check mark) and writes it as an
ICO with three images: 32x32 and 16x16 in 16 colours, 32x32 in 256 colours."""
import struct
import sys

VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    pal = list(VGA16)
    for r in range(6):
        for g in range(6):
            for b in range(6):
                pal.append((r * 51, g * 51, b * 51))
    for i in range(256 - len(pal)):
        v = 8 + i * 10
        pal.append((v, v, v))
    return pal[:256]


def pixel(x, y, n):
    """Colour of pixel (x, y) of an n x n icon, or None for transparent. Drawn in 32ths."""
    u, v = (x + 0.5) * 32.0 / n, (y + 0.5) * 32.0 / n
    if not (1 <= u < 31 and 3 <= v < 29):
        return None
    if u < 2 or u >= 30 or v < 4 or v >= 28:
        return (40, 40, 60)                    # window frame
    if v < 8:
        return (30, 60, 200)                   # title bar
    # log lines on a dark console
    for row, length in ((10, 18), (14, 14), (18, 20)):
        if row <= v < row + 2 and 5 <= u < 5 + length:
            return (220, 220, 220)
    # green check mark, lower right
    cx, cy = u - 19, v - 19
    if 0 <= cx <= 10 and 0 <= cy <= 8:
        on_short = cx <= 3.5 and abs((cy - 4) - cx) <= 1.4
        on_long = cx >= 2.5 and abs((cy - 7.5) + (cx - 3) * 1.1) <= 1.4
        if on_short or on_long:
            return (40, 200, 60)
    return (20, 24, 30)


def nearest(pal, c):
    return min(range(len(pal)), key=lambda i: sum((a - b) ** 2 for a, b in zip(pal[i], c)))


def dib(n, bpp):
    pal = VGA16 if bpp == 4 else palette256()
    idx = [[0] * n for _ in range(n)]
    mask = [[1] * n for _ in range(n)]
    for y in range(n):
        for x in range(n):
            c = pixel(x, y, n)
            if c is not None:
                idx[y][x] = nearest(pal, c)
                mask[y][x] = 0
    header = struct.pack('<IiiHHIIiiII', 40, n, n * 2, 1, bpp, 0, 0, 0, 0, len(pal), 0)
    colours = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in pal)
    xor_stride = ((n * bpp + 31) // 32) * 4
    and_stride = ((n + 31) // 32) * 4
    xor = b''
    andm = b''
    for y in range(n - 1, -1, -1):                 # bottom-up rows
        row = bytearray(xor_stride)
        for x in range(n):
            if bpp == 4:
                row[x // 2] |= idx[y][x] << (4 if x % 2 == 0 else 0)
            else:
                row[x] = idx[y][x]
        xor += bytes(row)
        mrow = bytearray(and_stride)
        for x in range(n):
            if mask[y][x]:
                mrow[x // 8] |= 0x80 >> (x % 8)
        andm += bytes(mrow)
    return header + colours + xor + andm


def main(out):
    images = [(32, 4), (16, 4), (32, 8)]
    blobs = [dib(n, bpp) for n, bpp in images]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (n, bpp), blob in zip(images, blobs):
        colours = 16 if bpp == 4 else 0
        data += struct.pack('<BBBBHHII', n, n, colours, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    open(out, 'wb').write(data + b''.join(blobs))


if __name__ == '__main__':
    main(sys.argv[1])
