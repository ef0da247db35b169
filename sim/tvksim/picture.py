"""What the LCD shows, as a PNG: from the sandbox's framebuffer file or the twin's screen
dump."""

import struct
import zlib


def png_bytes(width, height, rgb_rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + row for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def framebuffer_png(fb, width, height):
    """XRGB8888 (bytes B, G, R, X) to PNG; a short framebuffer reads as black beyond its end."""
    stride = width * 4
    fb = fb[:stride * height].ljust(stride * height, b"\0")
    rows = []
    for y in range(height):
        line = fb[y * stride:(y + 1) * stride]
        rgb = bytearray(width * 3)
        rgb[0::3] = line[2::4]
        rgb[1::3] = line[1::4]
        rgb[2::3] = line[0::4]
        rows.append(bytes(rgb))
    return png_bytes(width, height, rows)


def ppm_png(data):
    """Binary PPM (P6, maxval 255), as QEMU's screendump writes it, to PNG."""
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    at += 1
    if fields[0] != b"P6" or fields[3] != b"255":
        raise SystemExit("sim: unexpected screen dump format")
    width, height = int(fields[1]), int(fields[2])
    pixels = data[at:at + width * height * 3]
    return png_bytes(width, height, [pixels[y * width * 3:(y + 1) * width * 3]
                                     for y in range(height)])
