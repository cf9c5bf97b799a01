#!/usr/bin/env python3
"""Draws the launcher's icon (corvellinth.ico): a teal rounded square with a
white parcel whose lid lifts away, at 16, 32 and 48 pixels as bitmaps and
256 pixels as PNG. Run it again after changing the drawing."""
import struct
import sys
import zlib

TEAL = (22, 110, 122)
TEAL_DARK = (12, 74, 84)
WHITE = (245, 248, 246)
AMBER = (240, 176, 58)


def inside_rounded(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def colour_at(u, v):
    """Colour and coverage of the unit-square point (u, v), v downwards."""
    if not inside_rounded(u, v, 0.03, 0.03, 0.97, 0.97, 0.2):
        return None
    colour = TEAL if v < 0.55 else TEAL_DARK
    # Parcel body.
    if inside_rounded(u, v, 0.24, 0.46, 0.76, 0.82, 0.04):
        colour = WHITE
        if 0.46 <= u <= 0.54:
            colour = AMBER
    # Lid, lifted above the body.
    if inside_rounded(u, v, 0.2, 0.3, 0.8, 0.4, 0.03):
        colour = WHITE
        if 0.46 <= u <= 0.54:
            colour = AMBER
    return colour


def render(size):
    samples = 4
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = colour_at((x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size)
                    if c:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits:
                row.append(tuple(a // hits for a in acc) + (255 * hits // (samples * samples),))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def bmp_entry(pixels):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + xor + bytes(and_mask)


def png_entry(pixels):
    size = len(pixels)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in pixels)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(out):
    images = [(16, bmp_entry(render(16))), (32, bmp_entry(render(32))),
              (48, bmp_entry(render(48))), (256, png_entry(render(256)))]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, data in images:
        dim = 0 if size == 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    with open(out, "wb") as f:
        f.write(directory + body)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "corvellinth.ico")
