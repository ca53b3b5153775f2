#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets into corpus/<target>/. Run by hand when the
seeds change; the files it makes are kept with the sources."""
import io
import math
import os
import struct
import sys
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


# ---- MCU frames ------------------------------------------------------------------------------

def mcu_frame(payload):
    checksum = (-(0x81 + 0x82 + sum(payload))) & 0xFF
    out = bytearray([0x81])
    for b in list(payload) + [checksum]:
        out += bytes([0x80, b & 0x7F]) if b & 0xF0 == 0x80 else bytes([b])
    return bytes(out + b"\x82")


def make_mcu_frame():
    status = bytes([0x02, 0x00, 0x4C, 0x04, 0xF4, 0x01, 0x38, 0xFF, 0x10, 0x27, 0xFF, 0x7F] + [0] * 8 +
                   [0x55, 0x00, 0x15, 0x1E])
    put("mcu_frame", "status.bin", mcu_frame(status))
    put("mcu_frame", "version.bin", mcu_frame(bytes([0xFF, 0x01, 242, 1, 2, 3])))
    put("mcu_frame", "escapes.bin", mcu_frame(bytes([0x01, 0x02, 0x10, 0x85, 0x05, 0x8F, 0x80])))
    put("mcu_frame", "escaped_sum.bin", mcu_frame(bytes([0x01, 0x02, 0x70])))
    put("mcu_frame", "empty_payload.bin", mcu_frame(b""))
    put("mcu_frame", "all_bytes.bin", mcu_frame(bytes(range(256))))
    good = mcu_frame(bytes([0x02, 0x00, 0x01]))
    put("mcu_frame", "two_frames.bin", good + good)
    put("mcu_frame", "bad_sum.bin", good[:2] + bytes([good[2] ^ 1]) + good[3:])
    put("mcu_frame", "dangling_escape.bin", bytes([0x81, 0x7B, 0x80, 0x82]))
    # A start byte behind an escape, whose sums come out right only as one frame.
    put("mcu_frame", "escaped_start.bin", bytes([0x81, 0x7F, 0x80, 0x81, 0x01, 0xFC, 0x82]))


def status_reply(volt, current, battery, trans, sink, state=0x15, errors=0x1E):
    return bytes([0x02, 0x00]) + struct.pack("<HHhhh", volt, current, battery, trans, sink) + bytes(10) + \
        bytes([state, errors])


def make_mcu_status():
    good = status_reply(1250, 600, 2500, 3000, 19)
    put("mcu_status", "reply.bin", good)
    put("mcu_status", "frame.bin", mcu_frame(good))
    put("mcu_status", "limits.bin", mcu_frame(status_reply(20000, 15000, -27315, 20000, 32767)))
    put("mcu_status", "over_volt.bin", mcu_frame(status_reply(20001, 0, 2500, 2500, 2500)))
    put("mcu_status", "cold.bin", mcu_frame(status_reply(0, 0, -27316, 2500, 2500)))
    put("mcu_status", "short.bin", mcu_frame(good[:-1]))
    put("mcu_status", "long.bin", mcu_frame(good + b"\0"))
    put("mcu_status", "other_code.bin", mcu_frame(bytes([0x02, 0x01]) + good[2:]))


# ---- Data files ------------------------------------------------------------------------------

def utf16_field(text, chars):
    return text.encode("utf-16-le").ljust(chars * 2, b"\0")[:chars * 2]


def setting_record(model, frequency=50, bat_limit=45, numbers=(150.0, 100.0, 0.0, 0.0, 170.0, 120.0),
                   streaming=1):
    rec = bytearray(984)
    rec[0:128] = utf16_field("QRX SETTING FILE", 64)
    rec[128:256] = model
    struct.pack_into("<HhHhHH", rec, 256, frequency, bat_limit, 70, 19, 4000, 4000)
    struct.pack_into("<6d", rec, 272, *numbers)
    struct.pack_into("<5I", rec, 320, 0, 0, 1, 1, 1)
    struct.pack_into("<7H", rec, 468, 1, 2, 1, 0, 1, 1, 3)
    struct.pack_into("<I", rec, 980, streaming)
    return bytes(rec) + struct.pack("<H", sum(rec) & 0xFFFF)


def opmode_record(old=False):
    step_size = 40 if old else 48
    rec = bytearray(struct.pack("<ddI4x", 14.4, 5.0, 3600))
    for i in range(6):
        step = bytearray(step_size)
        struct.pack_into("<I4xddIIB", step, 0, 1, 12.0 + i, 2.5, 600 * i, i & 1, 1 + i)
        if not old:
            struct.pack_into("<H", step, 34, 100 + i)
        rec += step
    return bytes(rec) + bytes([sum(rec) & 0xFF])


def make_datafile():
    put("datafile", "setting_z330.bin", setting_record(utf16_field("Z-330", 64)))
    # Model name without its terminator, out-of-range limit and numbers no stage can convert.
    put("datafile", "setting_unterminated.bin",
        setting_record(("M" * 64).encode("utf-16-le"), bat_limit=200,
                       numbers=(math.nan, math.inf, -math.inf, 1e308, math.nan, 0.0)))
    put("datafile", "opmode.dat", opmode_record())
    put("datafile", "opmode_old.dat", opmode_record(old=True))
    auto = struct.pack("<4I", 500, 0, 7, 9)
    put("datafile", "auto_out_of_range.dat", auto + bytes([sum(auto) & 0xFF]))
    auto = struct.pack("<4I", 24, 100, 1, 2)
    put("datafile", "auto.dat", auto + bytes([sum(auto) & 0xFF]))
    put("datafile", "serial.bin", struct.pack("<II", 0x19790722, 9) + b"QRX123456".ljust(128, b"\0"))
    put("datafile", "serial_full.bin", struct.pack("<II", 0x19790722, 128) + b"S" * 128)
    put("datafile", "serial_too_long.bin", struct.pack("<II", 0x19790722, 129) + b"L" * 128)
    put("datafile", "four_bytes.dat", struct.pack("<HH", 52, 700))
    put("datafile", "index.dat", bytes([3]))
    put("datafile", "empty.dat", b"")


# ---- Language files --------------------------------------------------------------------------

def make_langfile():
    # The target gives this one its byte-order mark for the UTF-16 reading.
    text = ("[shell0]\r\n0=OPERATION\r\n1=SETTING\r\n\r\n[shell4]\r\n0=VOLTAGE\r\n4 = CURRENT ; note\r\n"
            "[shell12]\r\n4=OK\r\n5=CANCEL\r\n36=Voltage out of range\\rCheck it\r\n[Shell13]\r\n1=Case\r\n"
            "[shell1]\r\n0=25.3\u2103 / 77.5\u2109\r\n")
    put("langfile", "utf16.txt", text.encode("utf-16-le"))
    put("langfile", "ascii.txt", text.encode("ascii", "replace"))
    put("langfile", "korean.txt", b"[shell4]\r\n0=\xC0\xFC\xBE\xD0\r\n[SHELL12]\r\n5=\xC3\xEB\xBC\xD2\r\n4 =OK\r\n"
                                  b"1=\xC0\r\n")
    put("langfile", "russian.txt", b"[shell4]\r\n0=\xCD\xE0\xEF\xF0\xFF\xE6\xE5\xED\xE8\xE5\r\n")
    put("langfile", "long_line.txt", b"[shell4]\r\n0=" + b"x" * 700 + b"\r\n1=" + b"y" * 300)
    put("langfile", "no_newline.txt", "[shell12]\n5=CANCEL".encode("utf-16-le"))
    put("langfile", "sections_only.txt", b"[shell4\r\n[]\r\n[shell4]")

# ---- Run logs --------------------------------------------------------------------------------

def log_row(seconds, mode=1, step=0, set_time="01:00", temp="+025"):
    return ("24/03/05,14:15:02,%d,%d,014.4,010.0,%s,012.5,005.0,%06d,%s,%d,60,0,0,00:00\r\n"
            % (step, 2 if step else 0, set_time, seconds, temp, mode)).encode()


def make_log_row():
    put("log_row", "row.csv", log_row(61))
    put("log_row", "wide.csv", log_row(5, 3, 2, "120:00", "-005"))
    put("log_row", "rows.csv", b"".join(log_row(i) for i in range(6)) + log_row(6)[:30])
    put("log_row", "idle.csv", log_row(0, 0))
    put("log_row", "bad_step.csv", log_row(1, 1, 2))


def resume_record(path, size=536, volts=12.5, letter=b"P"):
    body = struct.pack("<d", volts) + path.encode("utf-16-le").ljust(520, b"\0") + letter + b"\0" * 7
    return body[:size].ljust(size, b"\0")


def make_resume_record():
    put("resume_record", "good.bin", resume_record("\\SD Card\\Log\\2024-03-05_141502_P.CSV"))
    put("resume_record", "hard_disk.bin", resume_record("\\Hard Disk\\Log\\3-5-2024_040506_R.CSV"))
    put("resume_record", "short.bin", resume_record("\\SD Card\\Log\\a.CSV", 535))
    put("resume_record", "long.bin", resume_record("\\SD Card\\Log\\a.CSV", 537))
    put("resume_record", "climb.bin", resume_record("\\SD Card\\Log\\..\\Setting.bin"))
    put("resume_record", "unterminated.bin", struct.pack("<d", 1.0) + b"A\0" * 260 + b"P\0\0\0" + b"\0" * 4)



# ---- Layout control sections -----------------------------------------------------------------

def make_layout_controls():
    # One section of each control type with its extra keys; the target's device root holds the images
    # named here (\Windows\a.bmp, \Windows\b.bmp, frames \Windows\f_0.bmp .. f_2.bmp) and a few files.
    keys = {
        0: "text=1,0,0xFFFFFF,0,0,2,2\r\n",
        1: "uncheck=\\Windows\\a.bmp,\\Windows\\b.bmp,,\r\nlongkey=50\r\nrgn=0,0,10,10|\r\n",
        3: "list=20,2,0,1,0,1,1\r\nvsbimgs=\\Windows\\a.bmp,,,,\\Windows\\b.bmp,,\\Windows\\a.bmp\r\n",
        4: "vsbimgs=\\Windows\\a.bmp,,,,\\Windows\\b.bmp,,\\Windows\\a.bmp\r\n",
        10: "list=20,1,0,1,0,0,1\r\nfilter=.csv|.TXT|,\\SD Card|\\Hard Disk,0,1\r\nfolder0=\\NAND Flash\r\n"
            "except0=\\SD Card\\x\r\nfoldericon=\\Windows\\a.bmp,\\Windows\\b.bmp\r\nexstyle=1,0,1\r\n",
        17: "image=\\Windows\\a.bmp\r\nindicator=\\Windows\\b.bmp,\\Windows\\a.bmp\r\n",
        19: "gbimgs=\\Windows\\b.bmp,\\Windows\\a.bmp,\\Windows\\a.bmp\r\n",
        20: "vpbimgs=\\Windows\\a.bmp,\\Windows\\b.bmp,\\Windows\\b.bmp,\\Windows\\a.bmp\r\nvpinverse=1\r\n",
        21: "image=\\Windows\\a.bmp,\\Windows\\b.bmp,\\Windows\\b.bmp,\r\nline=99999,0xFF\r\n",
        23: "1stpoint=-5,2\r\nincpoint=0,0\r\nguageimage=\\Windows\\b.bmp,\\Windows\\a.bmp\r\n",
        26: "imgs=\\Windows\\f.bmp,3,10,0\r\n",
    }
    for t in range(27):
        body = "[shell0-0]\r\ntype=%d\r\npos=10,20,200,120\r\ncmd=0,1025,0,3\r\n%s" % (t, keys.get(t, ""))
        put("layout_controls", "type%02d.txt" % t, body.encode("ascii"))
    put("layout_controls", "bad_values.txt",
        b"[shell0-0]\r\ntype=26\r\npos=0,0,-5,99999\r\nimgs=\\Windows\\f.bmp,-3,0,0\r\n"
        b"[shell0-1]\r\ntype=19\r\npos=0,0,10,3\r\ngbimgs=\\Windows\\a.bmp,,\\Windows\\b.bmp\r\n"
        b"[shell0-2]\r\ntype=10\r\npos=0,0,0,0\r\nlist=0,0,0,0,0,0,-1\r\nfilter=,,99,1\r\n"
        b"[shell0-3]\r\ntype=26\r\npos=0,0,5,5\r\nimgs=.bmp,2,10\r\n")


# ---- Bluetooth request lines -----------------------------------------------------------------

def qrx_frame(body):
    return b"$QRX," + body + b"%02X\r\n" % (sum(body) % 256)


def make_bt_line():
    # The first byte picks the chunk sizes; the next one's low bit the streaming flag.
    put("bt_line", "b7.bin", b"\x07\x00" + b"$QRX,B7,A5\r\n")
    put("bt_line", "requests.bin", b"\x31\x00" + b"".join(qrx_frame(b) for b in (
        b"B0,", b"B3,", b"B4,QRX-2000,", b"B5,3,", b"C6,1,", b"E2,01:30,", b"H7,050060070,", b"S0,250101120000,")))
    put("bt_line", "e3.bin", b"\x05\x00" + qrx_frame(b"E3,1,0,014.4,010.0,01:30,1,1,"))
    put("bt_line", "b0_streaming.bin", b"\x09\x01" + qrx_frame(b"B0,") + qrx_frame(b"B1,"))
    put("bt_line", "errors.bin", b"\x11\x00" + b"$QRX,B7,a5\r\n$QRX,X1,00\r\n" + qrx_frame(b"S3," + b"7" * 100 + b","))
    put("bt_line", "short_and_nul.bin", b"\x02\x00" + b"$QRX,\n\n$QRX\x00B7,A5\r\n" + b"$QRX,B7,A5\n")
    put("bt_line", "flood.bin", b"\x63\x00" + b"x" * 3000 + b"\n" + qrx_frame(b"B7,"))
    put("bt_line", "no_field_end.bin", b"\x03\x00" + qrx_frame(b"E0,12.5") + qrx_frame(b"E3"))


# ---- Wired link frames and remote fields ------------------------------------------------------

def make_link_frames():
    # The first byte picks the chunk sizes.
    f = qrx_frame
    put("link_frames", "requests.bin", b"\x07" + f(b"B7,") + f(b"B0,") + f(b"B5,3,") + f(b"E0,12.5,") + f(b"H7,045100090,"))
    put("link_frames", "garbage.bin", b"\x21" + b"xx\x00\xff" + f(b"C4,") + b"$\n" + b"$QRX,B7,a5\r\n" + f(b"S0,260101120000,"))
    put("link_frames", "flood.bin", b"\x33" + b"$" + b"z" * 5000 + f(b"B7,"))
    put("link_frames", "unit.bin", b"\x05" + f(b"D0,1,") + f(b"D3,000,01250,00500,") + f(b"D3,1") + f(b"D4,11,") + f(b"D9,"))
    put("link_frames", "e3.bin", b"\x10" + f(b"E3,1,0,014.4,005.0,01:00,2,1,0000,1,") + f(b"E3,") + f(b"B4," + b"N" * 120 + b","))
    put("link_frames", "nofield.bin", b"\x02" + f(b"E0,12") + f(b"B4") + f(b"S2," + b"9" * 99 + b","))


def make_remote_fields():
    for name, data in (("number", b"150.1"), ("neg", b"-1"), ("whole", b"65636"), ("time", b"12:59"),
                       ("badtime", b"12:60"), ("step", b"1,0,014.4,005.0,01:30,9,1,0120,1,AB\r"),
                       ("step_short", b"1,0,014.4"), ("limits", b"045100090"), ("clock", b"240229235959"),
                       ("badclock", b"230229000000"), ("unit", b"$QRX,D3,010,01250,00500,00\r\n"),
                       ("junk", b"\xff\x00,,::..")):
        put("remote_fields", name, data)



def pgm_step(volts, amps, seconds, discharge, kind, capacity=None):
    step = struct.pack("<I4xddIIB", 1, volts, amps, seconds, discharge, kind)
    if capacity is None:
        return step + b"\0" * 7
    return step + b"\0" + struct.pack("<H", capacity) + b"\0" * 12


def pgm_slot(steps, old=False):
    body = b"".join(steps)
    summed = 40 if old else 48
    return body + struct.pack("<I", 1) + bytes([sum(body[:summed]) & 0xFF])


def make_pgmstore():
    good = b"".join(pgm_slot([pgm_step(12.0 + k, 5.0, 3600, i % 2, i + 1, 100) for i in range(6)])
                    for k in range(5))
    put("pgmstore", "good.dat", good)
    put("pgmstore", "old.dat", b"".join(pgm_slot([pgm_step(24.0, 2.0, 7200, 1, 2) for _ in range(6)], old=True)
                                        for _ in range(5)))
    put("pgmstore", "short.dat", good[:700])
    damaged = bytearray(good)
    damaged[8:16] = struct.pack("<d", math.nan)
    damaged[48 + 32] = 0
    damaged[293 + 32] = 12
    put("pgmstore", "damaged.dat", bytes(damaged))


def cal_read(voff, vscale, aoff, ascale, pt100):
    return (bytes([0x03, 0x07]) + struct.pack(">h", voff) + struct.pack("<f", vscale) + struct.pack(">h", aoff)
            + struct.pack("<f", ascale) + struct.pack(">H", pt100))


def make_cal_reply():
    ntc = bytes([0x03, 0x0A]) + struct.pack(">h", -3) + struct.pack("<f", 1.25) + struct.pack(">HH", 1300, 1500)
    put("cal_reply", "read_pt100.bin", bytes([1, 0]) + mcu_frame(cal_read(-12, 1.5, 3, 0.98, 10400)))
    put("cal_reply", "read_short.bin", bytes([1, 3]) + mcu_frame(cal_read(1, 1.0, 2, 1.0, 0)[:13]))
    put("cal_reply", "wild_floats.bin", bytes([2, 1]) + mcu_frame(cal_read(0, float("nan"), 0, 1e38, 0))
        + mcu_frame(bytes([0x03, 0x0A, 0, 0]) + struct.pack("<f", float("inf")) + bytes([0xFF] * 4)))
    put("cal_reply", "ntc_model.bin", bytes([3, 2]) + mcu_frame(ntc))
    boxes = b"".join(mcu_frame(p) for p in (bytes([3, 1, 1]), bytes([3, 2, 0x10, 0x27, 1]), bytes([3, 3, 0]),
                                                 bytes([3, 4, 0, 0, 1]), bytes([3, 5]), bytes([3, 6])))
    put("cal_reply", "boxes.bin", bytes([0, 5]) + boxes)
    good = mcu_frame(bytes([3, 5]))
    put("cal_reply", "framing.bin", bytes([0, 0]) + bytes([0x81, 3, 0x80]) + good + bytes([0x81, 3, 5, 0x80, 0x82])
        + good[:2] + bytes([good[2] ^ 1]) + good[3:])
    put("cal_reply", "overlong.bin", bytes([1, 60]) + bytes([0x81]) + bytes([0x11] * 1100) + bytes([0x82]) + good)


MAKERS = {"png": make_png, "bmp": make_bmp, "zip": make_zip, "mcu_frame": make_mcu_frame,
          "mcu_status": make_mcu_status, "datafile": make_datafile, "langfile": make_langfile,
          "layout_controls": make_layout_controls, "bt_line": make_bt_line,
          "log_row": make_log_row, "resume_record": make_resume_record, "link_frames": make_link_frames,
          "remote_fields": make_remote_fields, "pgmstore": make_pgmstore,
          "cal_reply": make_cal_reply}

if __name__ == "__main__":
    # Only the named corpora when given: the zip seeds carry the time they were made.
    for name in sys.argv[1:] or MAKERS:
        MAKERS[name]()
