#!/usr/bin/env python3
"""Checks the committed skin pictures against the places the window painter uses.

Usage: python3 tests/skin/check_skin.py <repo root>

Standard library only: the PNGs are decoded here (IHDR, IDAT, zlib, the five
row filters). Prints one line per failed check and a closing summary line
"N passed, N failed"; exits 1 when any check failed.
"""

import os
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}   # colour type -> samples per pixel (8-bit)


class Picture:
    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows   # rows of RGBA bytes

    def Pixel(self, x, y):
        row = self.rows[y]
        return tuple(row[4 * x:4 * x + 4])

    def Box(self, x0, y0, x1, y1):
        """Pixels of an inclusive rectangle."""
        return [self.Pixel(x, y) for y in range(y0, y1 + 1) for x in range(x0, x1 + 1)]


def PngSize(data):
    if data[:8] != PNG_SIGNATURE or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


def Unfilter(raw, width, height, bpp):
    stride = width * bpp
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if kind == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif kind == 2:
            line = bytearray((a + b) & 0xFF for a, b in zip(line, prev))
        elif kind == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif kind == 4:
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 0xFF
        elif kind != 0:
            raise ValueError("bad filter type %d" % kind)
        rows.append(line)
        prev = line
    return rows


def ReadPng(path):
    """Decodes an 8-bit, non-interlaced PNG into RGBA rows; raises ValueError if unsupported."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != PNG_SIGNATURE:
        raise ValueError("not a PNG")
    pos, idat, header, palette, alpha = 8, [], None, None, None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = body
        elif kind == b"tRNS":
            alpha = body
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or interlace != 0 or colour not in (0, 2, 3, 4, 6):
        raise ValueError("unsupported PNG layout")
    bpp = 1 if colour == 3 else CHANNELS[colour]
    rows = Unfilter(zlib.decompress(b"".join(idat)), width, height, bpp)
    out = []
    for line in rows:
        if colour == 6:
            out.append(line)
            continue
        rgba = bytearray()
        for i in range(0, len(line), bpp):
            if colour == 2:
                rgba += line[i:i + 3] + b"\xff"
            elif colour == 0:
                rgba += bytes((line[i],) * 3) + b"\xff"
            elif colour == 4:
                rgba += bytes((line[i],) * 3) + bytes((line[i + 1],))
            else:
                k = line[i]
                a = alpha[k] if alpha is not None and k < len(alpha) else 255
                rgba += palette[3 * k:3 * k + 3] + bytes((a,))
        out.append(rgba)
    return Picture(width, height, out)


def CheckSizes(skin):
    expected = {"background.png": (800, 605), "action_normal.png": (136, 45),
                "action_hover.png": (136, 45), "action_pressed.png": (136, 45)}
    for size in (16, 32, 48, 64, 128, 256):
        expected["icon_%d.png" % size] = (size, size)
    problems = []
    for name, size in sorted(expected.items()):
        path = os.path.join(skin, name)
        if not os.path.isfile(path):
            problems.append("%s missing" % name)
            continue
        with open(path, "rb") as f:
            got = PngSize(f.read(24))
        if got != size:
            problems.append("%s is %s, expected %dx%d" % (name, got, size[0], size[1]))
    return problems


def CheckIcon(skin):
    """launcher.ico: six PNG-compressed entries, 16 to 256 pixels."""
    path = os.path.join(skin, "launcher.ico")
    if not os.path.isfile(path):
        return ["launcher.ico missing"]
    with open(path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1 or count != 6:
        return ["launcher.ico header is %d/%d/%d, expected 0/1/6" % (reserved, kind, count)]
    problems, sizes = [], []
    for i in range(count):
        w, h, _, _, planes, bits, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        w, h = w or 256, h or 256
        size = PngSize(data[offset:offset + 24])
        if offset + length > len(data) or size != (w, h) or bits != 32:
            problems.append("icon entry %d (%dx%d) does not hold a matching 32-bit PNG" % (i, w, h))
        sizes.append(w)
    if sorted(sizes) != [16, 32, 48, 64, 128, 256]:
        problems.append("icon sizes are %s" % sizes)
    return problems


def CheckTracks(bg):
    """The two empty bar tracks are plain dark, so the painted fills stand out."""
    problems = []
    for x0, y0, x1, y1 in ((81, 501, 598, 511), (81, 518, 598, 528)):
        bright = [p for p in bg.Box(x0, y0, x1, y1) if max(p[:3]) >= 60 or p[3] != 255]
        if bright:
            problems.append("track %d,%d-%d,%d has %d light pixels, e.g. %s"
                            % (x0, y0, x1, y1, len(bright), bright[0]))
    return problems


def CheckRules(bg):
    """Rows 84-87 and 475-478 are blue rules across columns 1-798."""
    problems = []
    for top in (84, 475):
        bad = [(x, y, bg.Pixel(x, y)) for y in range(top, top + 4) for x in range(1, 799)
               if not (bg.Pixel(x, y)[2] > bg.Pixel(x, y)[0] + 10
                       and bg.Pixel(x, y)[2] > bg.Pixel(x, y)[1] + 10)]
        if bad:
            problems.append("rule at rows %d-%d is not blue at %d pixels, e.g. %s"
                            % (top, top + 3, len(bad), bad[0]))
    return problems


def CheckPlainZones(bg):
    """Places where labels, the close mark, the button and the status line are drawn."""
    zones = {"EN/ES labels": [(20, 53, 130, 83), (20, 88, 130, 90)],
             "web site label": [(720, 53, 785, 83), (720, 88, 785, 90)],
             "close mark": [(772, 8, 792, 28)],
             "action button slot": [(620, 495, 759, 539)],
             "status line": [(80, 540, 600, 556)]}
    problems = []
    for name, boxes in zones.items():
        pixels = [p for box in boxes for p in bg.Box(*box)]
        brightest = max(max(p[:3]) for p in pixels)
        spread = max(max(p[c] for p in pixels) - min(p[c] for p in pixels) for c in range(3))
        if brightest >= 60 or spread > 16:
            problems.append("%s area is not plain dark (brightest %d, spread %d)"
                            % (name, brightest, spread))
    return problems


def CheckButtons(skin):
    """Each look keeps its named fill colour and a dark blue one-pixel edge."""
    looks = {"action_normal.png": (212, 74, 2), "action_hover.png": (210, 108, 0),
             "action_pressed.png": (212, 74, 2)}
    problems = []
    for name, fill in looks.items():
        pic = ReadPng(os.path.join(skin, name))
        edge = [pic.Pixel(x, y) for x in range(pic.width) for y in (0, pic.height - 1)]
        edge += [pic.Pixel(x, y) for y in range(pic.height) for x in (0, pic.width - 1)]
        if any(not (p[2] > p[0] and p[2] > p[1] and max(p[:3]) < 120 and p[3] == 255)
               for p in edge):
            problems.append("%s edge is not dark blue" % name)
        # The caption's left margin, mid-height, is plain fill.
        sample = pic.Box(4, 8, 20, 36)
        mean = [sum(p[c] for p in sample) / len(sample) for c in range(3)]
        if any(abs(m - f) > 25 for m, f in zip(mean, fill)):
            problems.append("%s fill averages %s, expected about %s"
                            % (name, tuple(int(m) for m in mean), fill))
    return problems


def main(argv):
    if len(argv) != 2:
        print("usage: check_skin.py <repo root>")
        return 2
    skin = os.path.join(argv[1], "resources", "skin")
    checks = [("sizes", lambda: CheckSizes(skin)), ("icon", lambda: CheckIcon(skin)),
              ("buttons", lambda: CheckButtons(skin))]
    background = None
    try:
        background = ReadPng(os.path.join(skin, "background.png"))
    except (OSError, ValueError, zlib.error, struct.error, TypeError) as err:
        message = "background.png unreadable: %s" % err
        checks.append(("background", lambda: [message]))
    if background is not None:
        checks += [("tracks", lambda: CheckTracks(background)),
                   ("rules", lambda: CheckRules(background)),
                   ("plain zones", lambda: CheckPlainZones(background))]
    passed = failed = 0
    for name, check in checks:
        try:
            problems = check()
        except (OSError, ValueError, zlib.error, struct.error, IndexError) as err:
            problems = ["error: %s" % err]
        if problems:
            failed += 1
            for p in problems:
                print("FAIL %s: %s" % (name, p))
        else:
            passed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
