#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into corpus/<target>/. Run by hand when the
seeds change; the files it makes are kept with the sources."""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- PNG -------------------------------------------------------------------------------------

def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def pack_row(samples, depth):
    if depth >= 8:
        width = depth // 8
        return b"".join(s.to_bytes(width, "big") for s in samples)
    out, acc, bits = bytearray(), 0, 0
    for s in samples:
        acc = (acc << depth) | s
        bits += depth
        if bits == 8:
            out.append(acc)
            acc, bits = 0, 0
    if bits:
        out.append(acc << (8 - bits))
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(width, height, depth, ctype, pixel, interlace=False, extra=b""):
    """pixel(x, y) gives the tuple of channel samples."""
    raw = bytearray()
    passes = ADAM7 if interlace else [(0, 0, 1, 1)]
    for x0, y0, dx, dy in passes:
        for y in range(y0, height, dy):
            xs = range(x0, width, dx)
            if not xs:
                continue
            samples = [s for x in xs for s in pixel(x, y)]
            raw += b"\0" + pack_row(samples, depth)
    ihdr = struct.pack(">IIBBBBB", width, height, depth, ctype, 0, 0, 1 if interlace else 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


def make_png():
    put("png", "grey1.png", png(9, 3, 1, 0, lambda x, y: ((x + y) & 1,)))
    put("png", "grey2_interlaced.png", png(7, 5, 2, 0, lambda x, y: ((x + y) & 3,), interlace=True))
    put("png", "grey4_trns.png", png(5, 4, 4, 0, lambda x, y: (x * 3,), extra=chunk(b"tRNS", b"\0\x03")))
    put("png", "grey16.png", png(4, 2, 16, 0, lambda x, y: (x * 9000,)))
    put("png", "greyalpha8_bkgd.png",
        png(4, 3, 8, 4, lambda x, y: (x * 60, y * 100), extra=chunk(b"bKGD", b"\0\x10")))
    put("png", "greyalpha16.png", png(3, 3, 16, 4, lambda x, y: (x * 20000, y * 30000)))
    plte = chunk(b"PLTE", bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 8, 7]))
    put("png", "palette2_trns.png",
        png(6, 2, 2, 3, lambda x, y: ((x + y) & 3,), extra=plte + chunk(b"tRNS", b"\0\x80")))
    put("png", "palette8_key.png", png(5, 5, 8, 3, lambda x, y: ((x * y) & 3,), extra=plte + chunk(b"tRNS", b"\0")))
    put("png", "rgb8_trns.png",
        png(4, 4, 8, 2, lambda x, y: (x * 60, y * 60, 3), extra=chunk(b"tRNS", struct.pack(">HHH", 0, 0, 3))))
    put("png", "rgb16.png", png(3, 2, 16, 2, lambda x, y: (x * 20000, y * 30000, 777)))
    put("png", "rgba8_interlaced.png", png(9, 9, 8, 6, lambda x, y: (x * 28, y * 28, 99, (x * y * 3) & 255),
                                            interlace=True))
    put("png", "rgba16.png", png(2, 2, 16, 6, lambda x, y: (65535, x * 30000, 0, y * 40000)))


# ---- BMP -------------------------------------------------------------------------------------

def bmp(width, height, bpp, pixel, palette=(), core=False, top_down=False, clr_used=0, masks=None):
    stride = (width * bpp + 31) // 32 * 4
    if core:
        header = struct.pack("<IHHHH", 12, width, height, 1, bpp)
        table = b"".join(bytes([b, g, r]) for r, g, b in palette)
    else:
        compression = 3 if masks else 0
        header = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, bpp, compression, 0,
                             2835, 2835, clr_used, 0)
        table = struct.pack("<III", *masks) if masks else b"".join(bytes([b, g, r, 0]) for r, g, b in palette)
    rows = []
    for y in range(height):
        values = [pixel(x, y) for x in range(width)]
        if bpp == 24:
            row = b"".join(bytes([c[2], c[1], c[0]]) for c in values)
        elif bpp == 16:
            row = b"".join(struct.pack("<H", v) for v in values)
        elif bpp == 32:
            row = b"".join(struct.pack("<I", v) for v in values)
        else:
            row = pack_row(values, bpp)
        rows.append(row.ljust(stride, b"\0"))
    if not top_down:
        rows.reverse()
    offset = 14 + len(header) + len(table)
    bits = b"".join(rows)
    return struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset) + header + table + bits


def make_bmp():
    magenta = (255, 0, 255)
    put("bmp", "rgb24_key.bmp", bmp(5, 3, 24, lambda x, y: magenta if (x + y) & 1 else (x * 50, y * 80, 7)))
    put("bmp", "rgb24_topdown.bmp", bmp(3, 4, 24, lambda x, y: (x * 80, 0, y * 60), top_down=True))
    put("bmp", "core1.bmp", bmp(9, 2, 1, lambda x, y: (x + y) & 1, palette=[(200, 0, 0), (0, 0, 200)], core=True))
    put("bmp", "pal4.bmp", bmp(7, 3, 4, lambda x, y: x % 3, palette=[magenta, (1, 2, 3), (250, 250, 250)],
                               clr_used=3))
    put("bmp", "pal8.bmp", bmp(4, 4, 8, lambda x, y: (x + y) % 4,
                               palette=[magenta, (9, 9, 9), (90, 90, 90), (200, 0, 9)], clr_used=4))
    put("bmp", "rgb555.bmp", bmp(3, 2, 16, lambda x, y: 0x7C1F if x == 1 else 0x03E0))
    put("bmp", "rgb565_fields.bmp", bmp(3, 2, 16, lambda x, y: 0x07E0 * x, masks=(0xF800, 0x07E0, 0x001F)))
    put("bmp", "rgb32.bmp", bmp(2, 2, 32, lambda x, y: 0x123456 + x))


# ---- ZIP -------------------------------------------------------------------------------------

def make_zip():
    image = bmp(2, 2, 24, lambda x, y: (x * 99, y * 99, 0))
    logo = png(3, 3, 8, 6, lambda x, y: (x * 80, y * 80, 0, 200))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr(zipfile.ZipInfo("main_bg.bmp", (2020, 5, 17, 10, 30, 20)), image, zipfile.ZIP_DEFLATED)
        z.writestr("LOGO.PNG", logo, zipfile.ZIP_STORED)
        z.writestr("sub/", b"")
    put("zip", "images.zip", out.getvalue())

    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        info = zipfile.ZipInfo("C:\\..\\x\\a.png", (2021, 1, 2, 3, 4, 6))
        info.extra = b"UT" + struct.pack("<HBI", 5, 1, 1600000000)
        z.writestr(info, b"a" * 300, zipfile.ZIP_DEFLATED)
        z.writestr("/a/b.bmp", b"", zipfile.ZIP_STORED)
    put("zip", "names_and_times.zip", out.getvalue())

    out = io.BytesIO()
    with zipfile.ZipFile(out, "w"):
        pass
    put("zip", "empty.zip", out.getvalue())
    # A member that inflates to far more than its piece-wise readers take at once.
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr("zeros.bin", b"\0" * 100000, zipfile.ZIP_DEFLATED)
    put("zip", "large_member.zip", out.getvalue())


if __name__ == "__main__":
    make_png()
    make_bmp()
    make_zip()
