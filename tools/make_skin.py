#!/usr/bin/python3
"""Generates the launcher's skin pictures into resources/skin/.

Regenerate with Debian's Python and Pillow (package python3-pil), from the
repository root:

    /usr/bin/python3 tools/make_skin.py            # writes resources/skin/*
    /usr/bin/python3 tools/make_skin.py --preview /tmp/skin_preview.png

The output is deterministic (fixed random seeds, no timestamps), so running it
again on the same Pillow version reproduces the committed files byte for byte.
The generated PNGs and launcher.ico are committed, so a build never needs this
script.

Pixel places that the window painter draws over (they must stay as they are):
  background.png 800x605
    rows 0-83     dark header; plain at the language labels (x 20-130,
                  y 53-90), the web site label (x 720-785, y 53-90) and the
                  close mark (x 772-792, y 8-28)
    rows 84-87    blue rule, x 1-798
    rows 88-474   title artwork (covered by the web panel when it is shown)
    rows 475-478  blue rule, x 1-798
    rows 479-604  bottom panel, inset box x 9-791, y 491-563, with the two
                  empty bar tracks x 81-598, y 501-511 and y 518-528, the
                  action button slot x 620-759, y 495-539 and the status line
                  from x 80, y 540; rows 570-604 are never on screen
  action_*.png 136x45, drawn stretched to 140x45 at 620,495
"""

import argparse
import io
import math
import os
import random
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

FONT_DIRS = ("/usr/share/fonts/truetype/liberation", "/usr/share/fonts/truetype/dejavu")
LANCZOS = Image.Resampling.LANCZOS

WIDTH, HEIGHT = 800, 605
FIELD_TOP, FIELD_BOTTOM = 88, 474          # inclusive rows of the artwork
TRACKS = ((81, 501, 598, 511), (81, 518, 598, 528))   # inclusive
BUTTON_SIZE = (136, 45)
ICON_SIZES = (16, 32, 48, 64, 128, 256)

HEADER_TOP = (19, 23, 33)
HEADER_BOTTOM = (12, 15, 22)
PANEL_TOP = (23, 27, 36)
PANEL_BOTTOM = (16, 19, 26)
INSET_FILL = (11, 13, 18)
INSET_EDGE = (42, 52, 70)
TRACK_FILL = (6, 8, 11)
TRACK_EDGE = (33, 40, 53)
FRAME = (30, 47, 78)
BUTTON_EDGE = (14, 28, 66)


def Font(name, size):
    for folder in FONT_DIRS:
        path = os.path.join(folder, name)
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    raise SystemExit("font not found: " + name)


def Lerp(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def VerticalGradient(size, stops):
    """Image of the given size whose rows run through (position, colour) stops."""
    w, h = size
    column = Image.new("RGB", (1, h))
    px = column.load()
    for y in range(h):
        t = y / max(1, h - 1)
        for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
            if p0 <= t <= p1:
                u = (t - p0) / max(1e-9, p1 - p0)
                u = u * u * (3 - 2 * u)
                px[0, y] = Lerp(c0, c1, u)
                break
    return column.resize((w, h), Image.Resampling.NEAREST)


def RadialMask(size, power=1.0):
    """L mask, 255 in the centre fading to 0 at the ellipse edge."""
    grad = Image.radial_gradient("L").resize((256, 256))
    inv = grad.point(lambda v: int(255 * max(0.0, 1 - v / 180.0) ** power))
    return inv.resize(size, Image.Resampling.BICUBIC)


def AddGlow(img, centre, size, colour, strength, power=1.6):
    """Adds a soft elliptical light to an RGB image (screen blending)."""
    mask = RadialMask(size, power).point(lambda v: int(v * strength))
    layer = Image.new("RGB", img.size, (0, 0, 0))
    patch = Image.new("RGB", size, colour)
    patch = ImageChops.multiply(patch, Image.merge("RGB", (mask, mask, mask)))
    layer.paste(patch, (int(centre[0] - size[0] / 2), int(centre[1] - size[1] / 2)))
    return ImageChops.screen(img, layer)


def Ridge(rng, width, base, amplitude, octaves, roughness, start_freq):
    """Heights of a mountain ridge line, one per column (value noise)."""
    heights = [0.0] * width
    amp = amplitude
    freq = start_freq
    for _ in range(octaves):
        n = freq + 2
        knots = [rng.uniform(-1, 1) for _ in range(n)]
        for x in range(width):
            pos = x / width * freq
            i = int(pos)
            f = pos - i
            f = f * f * (3 - 2 * f)
            heights[x] += amp * (knots[i] * (1 - f) + knots[i + 1] * f)
        amp *= roughness
        freq *= 2
    return [base + h for h in heights]


def PeakShape(width, centre, half_width, height):
    """A broad bump that lifts a ridge into a distinct peak."""
    out = []
    for x in range(width):
        d = (x - centre) / half_width
        out.append(height * math.exp(-d * d * 2.2))
    return out


def FillBelow(img, heights, colour, bottom):
    draw = ImageDraw.Draw(img)
    pts = [(x, heights[x]) for x in range(len(heights))]
    pts += [(len(heights) - 1, bottom), (0, bottom)]
    draw.polygon(pts, fill=colour)


def LayerBelow(size, heights, top_colour, bottom_colour):
    """RGBA layer: the area under the ridge, graded from top to bottom."""
    w, h = size
    mask = Image.new("L", size, 0)
    FillBelow(mask, heights, 255, h)
    top = int(min(heights))
    grad = VerticalGradient((w, h - top), [(0.0, top_colour), (1.0, bottom_colour)])
    fill = Image.new("RGB", size, top_colour)
    fill.paste(grad, (0, top))
    fill.putalpha(mask)
    return fill


def DrawCastle(draw, x0, ground, s, colour, window_colour):
    """Silhouette of a keep with towers and spires, standing on a peak."""
    def Tower(cx, w, h, roof):
        draw.rectangle([cx - w / 2, ground - h, cx + w / 2, ground + 40 * s], fill=colour)
        draw.polygon([(cx - w / 2 - 2 * s, ground - h), (cx + w / 2 + 2 * s, ground - h),
                      (cx, ground - h - roof)], fill=colour)

    draw.rectangle([x0 - 34 * s, ground - 34 * s, x0 + 36 * s, ground + 40 * s], fill=colour)
    for i in range(8):
        bx = x0 - 34 * s + i * 9 * s
        draw.rectangle([bx, ground - 39 * s, bx + 5 * s, ground - 34 * s], fill=colour)
    Tower(x0 - 30 * s, 13 * s, 52 * s, 22 * s)
    Tower(x0 + 33 * s, 12 * s, 46 * s, 20 * s)
    Tower(x0 + 2 * s, 18 * s, 82 * s, 40 * s)
    Tower(x0 + 15 * s, 9 * s, 60 * s, 18 * s)
    draw.line([(x0 + 2 * s, ground - 122 * s), (x0 + 2 * s, ground - 134 * s)], fill=colour,
              width=max(1, int(1.5 * s)))
    # A few lit windows: (offset from the keep's centre, height above ground).
    for dx, wy in ((2, 60), (2, 42), (-30, 36), (33, 30), (-12, 20), (20, 18)):
        cx = x0 + dx * s
        draw.rectangle([cx - 1.2 * s, ground - wy * s, cx + 1.2 * s, ground - (wy - 4) * s],
                       fill=window_colour)


def TextWidth(font, text, spacing):
    return sum(font.getlength(c) for c in text) + spacing * (len(text) - 1)


def DrawSpaced(draw, x, baseline, text, font, fill, spacing, **kw):
    for c in text:
        draw.text((x, baseline), c, font=font, fill=fill, anchor="ls", **kw)
        x += font.getlength(c) + spacing


def TitleMask(size, scale):
    """Mask of the title lettering 'ZARVO VESTRA' with enlarged initials."""
    big = Font("LiberationSerif-Bold.ttf", int(92 * scale))
    small = Font("LiberationSerif-Bold.ttf", int(70 * scale))
    spacing = 5 * scale
    parts = [("Z", big), ("ARVO", small), (" ", small), ("V", big), ("ESTRA", small)]
    total = 0.0
    for i, (text, font) in enumerate(parts):
        total += TextWidth(font, text, spacing) + (spacing if i < len(parts) - 1 else 0)
    mask = Image.new("L", size, 0)
    draw = ImageDraw.Draw(mask)
    x = (size[0] - total) / 2
    baseline = size[1] * 0.62
    for text, font in parts:
        DrawSpaced(draw, x, baseline, text, font, 255, spacing)
        x += TextWidth(font, text, spacing) + spacing
    return mask


def Title(canvas, centre_y, scale):
    """Gold title with dark outline and a warm glow, composited onto canvas."""
    w = canvas.size[0]
    h = int(150 * scale)
    mask = TitleMask((w, h), scale)
    top = int(centre_y - h * 0.5)
    bbox = mask.getbbox()
    outline = mask.filter(ImageFilter.MaxFilter(2 * int(2 * scale) + 1))
    glow = outline.filter(ImageFilter.GaussianBlur(14 * scale)).point(lambda v: min(255, v * 2))
    shadow = outline.filter(ImageFilter.GaussianBlur(3 * scale))

    region = canvas.crop((0, top, w, top + h)).convert("RGB")
    warm = Image.new("RGB", (w, h), (255, 140, 40))
    region = Image.composite(
        ImageChops.screen(region, warm), region, glow.point(lambda v: int(v * 0.55)))
    shadow_off = Image.new("L", (w, h), 0)
    shadow_off.paste(shadow, (0, int(3 * scale)))
    region = Image.composite(Image.new("RGB", (w, h), (8, 4, 10)), region,
                             shadow_off.point(lambda v: int(v * 0.8)))
    region = Image.composite(Image.new("RGB", (w, h), (48, 22, 8)), region, outline)
    y0, y1 = bbox[1], bbox[3]
    gold = Image.new("RGB", (w, h), (0, 0, 0))
    gold.paste(VerticalGradient((w, y1 - y0), [
        (0.0, (255, 248, 214)), (0.38, (247, 206, 112)), (0.52, (214, 146, 48)),
        (0.75, (240, 180, 80)), (1.0, (168, 92, 26))]), (0, y0))
    region = Image.composite(gold, region, mask)
    canvas.paste(region, (0, top))


def Subtitle(canvas, centre_y, scale):
    draw = ImageDraw.Draw(canvas)
    font = Font("LiberationSans-Regular.ttf", int(15 * scale))
    text = "ONLINE"
    spacing = 9 * scale
    tw = TextWidth(font, text, spacing)
    cx = canvas.size[0] / 2
    baseline = centre_y + 5 * scale
    DrawSpaced(draw, cx - tw / 2 + 1 * scale, baseline + 1.5 * scale, text, font,
               (10, 6, 16), spacing)
    DrawSpaced(draw, cx - tw / 2, baseline, text, font, (236, 222, 196), spacing)
    gap, length = 22 * scale, 120 * scale
    for sign in (-1, 1):
        x_in = cx + sign * (tw / 2 + gap)
        x_out = x_in + sign * length
        steps = 40
        for i in range(steps):
            t0, t1 = i / steps, (i + 1) / steps
            c = Lerp((226, 176, 96), (70, 44, 60), t0)
            draw.line([(x_in + (x_out - x_in) * t0, centre_y), (x_in + (x_out - x_in) * t1,
                       centre_y)], fill=c, width=max(1, int(scale)))
        d = 4 * scale
        draw.polygon([(x_in, centre_y - d), (x_in + d, centre_y), (x_in, centre_y + d),
                      (x_in - d, centre_y)], fill=(236, 190, 110))


def Scene():
    """The central artwork, 800 x 387, rendered at twice the size and reduced."""
    s = 2
    w, h = WIDTH * s, (FIELD_BOTTOM - FIELD_TOP + 1) * s
    rng = random.Random(20240611)
    img = VerticalGradient((w, h), [
        (0.0, (8, 11, 30)), (0.28, (24, 24, 62)), (0.48, (72, 44, 98)),
        (0.60, (170, 84, 88)), (0.70, (236, 146, 80)), (1.0, (252, 196, 120))])

    stars = Image.new("RGB", (w, h), (0, 0, 0))
    sd = ImageDraw.Draw(stars)
    for _ in range(420):
        # Stars start a few rows down so the labels' rows 88-90 stay plain sky.
        x, y = rng.uniform(0, w), rng.uniform(6 * s, h * 0.62)
        fade = max(0.0, 1 - y / (h * 0.62))
        b = int(rng.uniform(60, 255) * fade)
        r = rng.choice((0.8, 1.0, 1.0, 1.4, 2.0))
        tint = rng.choice(((1, 1, 1), (0.85, 0.9, 1), (1, 0.92, 0.8)))
        sd.ellipse([x - r, y - r, x + r, y + r], fill=tuple(int(b * t) for t in tint))
    stars = stars.filter(ImageFilter.GaussianBlur(0.6))
    img = ImageChops.screen(img, stars)

    img = AddGlow(img, (w * 0.5, h * 0.80), (int(w * 1.2), int(h * 0.9)), (255, 150, 60), 0.55)
    img = AddGlow(img, (w * 0.52, h * 0.70), (int(w * 0.5), int(h * 0.55)), (255, 214, 150), 0.9,
                  power=2.2)
    img = AddGlow(img, (w * 0.5, h * 0.40), (int(w * 0.9), int(h * 0.55)), (90, 60, 150), 0.35)

    far = Ridge(rng, w, h * 0.70, 24 * s, 6, 0.5, 3)
    far = [a - b for a, b in zip(far, PeakShape(w, w * 0.73, 150 * s, 36 * s))]
    far_layer = LayerBelow((w, h), far, (126, 80, 120), (190, 110, 100))
    img.paste(far_layer, (0, 0), far_layer)
    img = Image.composite(Image.new("RGB", (w, h), (246, 170, 120)), img,
                          VerticalGradient((w, h), [(0.0, (0, 0, 0)), (0.66, (0, 0, 0)),
                                                    (0.80, (120, 120, 120)),
                                                    (1.0, (40, 40, 40))]).convert("L"))

    mid = Ridge(rng, w, h * 0.80, 26 * s, 6, 0.52, 2)
    mid = [a - b - c for a, b, c in zip(mid, PeakShape(w, w * 0.2, 120 * s, 42 * s),
                                        PeakShape(w, w * 0.9, 90 * s, 30 * s))]
    mid_layer = LayerBelow((w, h), mid, (62, 40, 78), (96, 56, 82))
    img.paste(mid_layer, (0, 0), mid_layer)

    mist = Image.new("L", (w, h), 0)
    md = ImageDraw.Draw(mist)
    for _ in range(26):
        y = rng.uniform(h * 0.78, h * 0.9)
        x = rng.uniform(-100, w)
        md.ellipse([x, y, x + rng.uniform(200, 600), y + rng.uniform(14, 34)], fill=110)
    mist = mist.filter(ImageFilter.GaussianBlur(18))
    img = Image.composite(Image.new("RGB", (w, h), (226, 150, 130)), img, mist)

    near = Ridge(rng, w, h * 0.88, 22 * s, 6, 0.55, 3)
    castle_x = int(w * 0.16)
    near = [a - b for a, b in zip(near, PeakShape(w, castle_x, 95 * s, 48 * s))]
    near = [a - b for a, b in zip(near, PeakShape(w, w * 0.86, 130 * s, 30 * s))]
    near_colour = (20, 14, 30)
    near_layer = LayerBelow((w, h), near, near_colour, (10, 8, 16))
    img.paste(near_layer, (0, 0), near_layer)
    cd = ImageDraw.Draw(img)
    ground = min(near[castle_x - 40 * s:castle_x + 40 * s]) + 6 * s
    DrawCastle(cd, castle_x, ground, s * 0.9, near_colour, (255, 196, 110))

    birds = ImageDraw.Draw(img)
    for bx, by, bs in ((0.63, 0.52, 1.0), (0.66, 0.49, 0.8), (0.61, 0.47, 0.7),
                       (0.68, 0.54, 0.6)):
        x, y, k = bx * w, by * h, bs * 7 * s
        birds.line([(x - k, y - k * 0.35), (x - k * 0.4, y - k * 0.45), (x, y)],
                   fill=(40, 24, 46), width=max(1, int(1.2 * s)))
        birds.line([(x, y), (x + k * 0.4, y - k * 0.45), (x + k, y - k * 0.35)],
                   fill=(40, 24, 46), width=max(1, int(1.2 * s)))

    vignette = RadialMask((int(w * 1.5), int(h * 1.9)), 0.9)
    vig = Image.new("L", (w, h), 0)
    vig.paste(vignette, (int(-w * 0.25), int(-h * 0.45)))
    img = Image.composite(img, Image.new("RGB", (w, h), (4, 4, 10)),
                          vig.point(lambda v: int(70 + 185 * v / 255)))

    Title(img, h * 0.40, s)
    Subtitle(img, h * 0.55, s)
    return img.resize((WIDTH, h // s), LANCZOS)


def ShieldPoints(size, inset):
    """Outline of a heater shield filling a square of the given size."""
    pts = []
    left, right = 0.08 * size + inset, 0.92 * size - inset
    top = 0.07 * size + inset
    shoulder = 0.48 * size
    tip = 0.96 * size - inset * 1.4
    cx = size / 2
    for i in range(33):
        t = i / 32
        x = left + (right - left) * t
        pts.append((x, top + 0.035 * size * math.sin(math.pi * t) - 0.02 * size))
    for i in range(1, 41):
        t = i / 40
        x = right + (cx - right) * (t ** 1.8)
        y = shoulder + (tip - shoulder) * t
        pts.append((x, y))
    for i in range(1, 40):
        t = 1 - i / 40
        x = left + (cx - left) * (t ** 1.8)
        y = shoulder + (tip - shoulder) * t
        pts.append((x, y))
    pts.insert(33, (right, shoulder))
    pts.append((left, shoulder))
    return pts


def Emblem(size, simple):
    """The game's emblem: a blue shield with a gold rim bearing a gold Z."""
    S = 1024
    img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    rim = 70 if simple else 44
    outer = Image.new("L", (S, S), 0)
    ImageDraw.Draw(outer).polygon(ShieldPoints(S, 0), fill=255)
    inner = Image.new("L", (S, S), 0)
    ImageDraw.Draw(inner).polygon(ShieldPoints(S, rim), fill=255)

    dark = Image.new("L", (S, S), 0)
    ImageDraw.Draw(dark).polygon(ShieldPoints(S, -14), fill=255)
    img.paste((22, 12, 8, 255), (0, 0), dark)
    gold = VerticalGradient((S, S), [(0.0, (255, 236, 160)), (0.45, (226, 160, 52)),
                                     (1.0, (150, 80, 20))])
    img.paste(gold, (0, 0), outer)
    blue = VerticalGradient((S, S), [(0.0, (44, 86, 178)), (0.55, (20, 42, 112)),
                                     (1.0, (10, 18, 58))])
    img.paste(blue, (0, 0), inner)
    if not simple:
        sheen = Image.new("L", (S, S), 0)
        ImageDraw.Draw(sheen).ellipse([-S * 0.2, -S * 0.55, S * 1.2, S * 0.42], fill=52)
        sheen = ImageChops.multiply(sheen, inner)
        img.paste((255, 255, 255, 255), (0, 0), sheen)

    font = Font("LiberationSerif-Bold.ttf", 700 if simple else 600)
    zmask = Image.new("L", (S, S), 0)
    ImageDraw.Draw(zmask).text((S / 2, S * (0.50 if simple else 0.53)), "Z", font=font,
                               fill=255, anchor="mm")
    zdark = zmask.filter(ImageFilter.MaxFilter(31 if simple else 25))
    img.paste((30, 14, 6, 255), (0, 0), ImageChops.multiply(zdark, inner))
    zgold = VerticalGradient((S, S), [(0.0, (255, 250, 220)), (0.4, (252, 204, 96)),
                                      (1.0, (196, 110, 28))])
    img.paste(zgold, (0, 0), zmask)
    if not simple:
        star = Image.new("L", (S, S), 0)
        cx, cy, r = S / 2, S * 0.205, 46
        ImageDraw.Draw(star).polygon([(cx, cy - r), (cx + r * 0.28, cy - r * 0.28), (cx + r, cy),
                                      (cx + r * 0.28, cy + r * 0.28), (cx, cy + r),
                                      (cx - r * 0.28, cy + r * 0.28), (cx - r, cy),
                                      (cx - r * 0.28, cy - r * 0.28)], fill=255)
        img.paste((255, 240, 200, 255), (0, 0), star)
    out = img.resize((size, size), LANCZOS)
    if size <= 32:
        out = out.filter(ImageFilter.UnsharpMask(radius=1, percent=60, threshold=0))
    return out


def Header(bg):
    draw = ImageDraw.Draw(bg)
    for y in range(0, 84):
        draw.line([(0, y), (WIDTH - 1, y)], fill=Lerp(HEADER_TOP, HEADER_BOTTOM, y / 83))
    # Faint light in the middle of the band, well away from the labels.
    region = bg.crop((150, 0, 690, 84))
    region = AddGlow(region, (270, 84), (520, 150), (40, 50, 80), 0.55)
    bg.paste(region, (150, 0))
    emblem = Emblem(32, True)
    bg.paste(emblem, (16, 10), emblem)
    name = Font("LiberationSans-Bold.ttf", 15)
    DrawSpaced(draw, 56, 26, "ZARVO VESTRA", name, (8, 10, 14), 2.4)
    DrawSpaced(draw, 55, 25, "ZARVO VESTRA", name, (232, 198, 130), 2.4)
    tag = Font("LiberationSans-Regular.ttf", 10)
    DrawSpaced(draw, 56, 40, "LAUNCHER", tag, (110, 124, 148), 3.2)
    draw.line([(0, 83), (WIDTH - 1, 83)], fill=(8, 10, 15))


def Rule(bg, top):
    """A four-row blue rule across x 1-798, brightest in the middle."""
    rows = ((22, 58, 118), (62, 140, 232), (38, 98, 186), (16, 38, 86))
    px = bg.load()
    for x in range(1, WIDTH - 1):
        d = abs(x - (WIDTH - 1) / 2) / ((WIDTH - 1) / 2)
        k = 0.62 + 0.38 * (1 - d * d)
        for i, c in enumerate(rows):
            px[x, top + i] = tuple(int(v * k) for v in c)


def BottomPanel(bg):
    draw = ImageDraw.Draw(bg)
    for y in range(479, HEIGHT):
        draw.line([(0, y), (WIDTH - 1, y)], fill=Lerp(PANEL_TOP, PANEL_BOTTOM, (y - 479) / 125))
    # Inset box x 9-791, y 491-563 with a lit lower edge and a shadowed upper one.
    draw.rectangle([9, 491, 791, 563], fill=INSET_FILL, outline=INSET_EDGE)
    draw.line([(10, 492), (790, 492)], fill=(7, 8, 11))
    draw.line([(10, 563), (790, 563)], fill=(50, 62, 82))
    for x0, y0, x1, y1 in TRACKS:
        draw.rectangle([x0 - 1, y0 - 1, x1 + 1, y1 + 1], outline=TRACK_EDGE)
        draw.rectangle([x0, y0, x1, y1], fill=TRACK_FILL)
    emblem = Emblem(56, False)
    glow = bg.crop((10, 493, 80, 563))
    glow = AddGlow(glow, (35, 35), (90, 90), (34, 48, 86), 0.7)
    bg.paste(glow, (10, 493))
    bg.paste(emblem, (17, 499), emblem)


def Frame(bg):
    """One-pixel window border around the visible 800 x 570 area."""
    draw = ImageDraw.Draw(bg)
    draw.rectangle([0, 0, WIDTH - 1, 569], outline=FRAME)


def Background():
    bg = Image.new("RGB", (WIDTH, HEIGHT), HEADER_BOTTOM)
    Header(bg)
    bg.paste(Scene(), (0, FIELD_TOP))
    Rule(bg, 84)
    Rule(bg, 475)
    BottomPanel(bg)
    Frame(bg)
    return bg.convert("RGBA")


def ActionButton(fill, caption):
    w, h = BUTTON_SIZE
    img = Image.new("RGBA", (w, h), BUTTON_EDGE + (255,))
    px = img.load()
    for y in range(1, h - 1):
        t = (y - 1) / (h - 3)
        k = 18 * (1 - 2 * t)                # lighter top, darker bottom
        if y == 1:
            k += 28
        c = tuple(max(0, min(255, int(v + k * (1.0 if v > 40 else 0.4)))) for v in fill)
        for x in range(1, w - 1):
            px[x, y] = c + (255,)
    draw = ImageDraw.Draw(img)
    dim = tuple(max(0, int(v * 0.82)) for v in fill)
    draw.line([(1, h - 2), (w - 2, h - 2)], fill=dim)
    font = Font("LiberationSans-Bold.ttf", 18)
    spacing = 2.2
    tw = TextWidth(font, "START", spacing)
    x = (w - tw) / 2
    baseline = h / 2 + 6.5
    DrawSpaced(draw, x, baseline + 1, "START", font, (90, 26, 0, 255), spacing)
    DrawSpaced(draw, x, baseline, "START", font, caption + (255,), spacing)
    return img


def IcoBytes(images):
    """ICO container holding each image as a PNG-compressed entry."""
    payloads = []
    for im in images:
        buf = io.BytesIO()
        im.save(buf, "PNG", optimize=True)
        payloads.append((im.size[0], buf.getvalue()))
    out = struct.pack("<HHH", 0, 1, len(payloads))
    offset = 6 + 16 * len(payloads)
    for size, data in payloads:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in payloads)


def SavePng(img, path):
    img.save(path, "PNG", optimize=True)
    print("wrote %s (%dx%d, %d bytes)" % (path, img.size[0], img.size[1], os.path.getsize(path)))


def Preview(out_dir, path):
    """What the window shows: background, button, bar fills, labels, status."""
    bg = Image.open(os.path.join(out_dir, "background.png")).convert("RGBA")
    button = Image.open(os.path.join(out_dir, "action_normal.png")).resize((140, 45),
                                                                           Image.Resampling.BICUBIC)
    bg.alpha_composite(button, (620, 495))
    draw = ImageDraw.Draw(bg)
    for y, percent, base in ((501, 37, (0x5F, 0xBF, 0x3F)), (519, 60, (0x2E, 0x8F, 0xE6))):
        top = tuple(min(255, v + 30) for v in base)
        fill = 518 * percent // 100
        for i in range(10):
            draw.line([(81, y + i), (81 + fill - 1, y + i)], fill=Lerp(top, base, i / 10))
    bold = Font("LiberationSans-Bold.ttf", 12)
    for text, rect, colour, underline in (
            ("EN", (20, 53, 72, 90), (0x96, 0xAA, 0xC8), False),
            ("ES", (78, 53, 130, 90), (0xDC, 0x8C, 0x3C), True),
            ("WEBSITE", (720, 53, 785, 90), (0x96, 0xAA, 0xC8), False)):
        draw.text(((rect[0] + rect[2]) / 2, (rect[1] + rect[3]) / 2), text, font=bold,
                  fill=colour, anchor="mm")
        if underline:
            draw.line([(rect[0] + 14, rect[3] - 2), (rect[2] - 14, rect[3] - 2)], fill=colour)
    draw.text((782, 18), "X", font=Font("LiberationSans-Bold.ttf", 16), fill=(0x96,) * 3,
              anchor="mm")
    draw.text((80, 540), "Descargando rovezuzav.exe (37%) - 12 de 20 archivos",
              font=Font("LiberationSans-Regular.ttf", 13), fill=(0xA0, 0xAA, 0xB4))
    bg.crop((0, 0, 800, 570)).save(path)
    print("wrote preview", path)


def main():
    parser = argparse.ArgumentParser(description="Generate the launcher skin pictures.")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--out", default=os.path.join(root, "resources", "skin"))
    parser.add_argument("--preview", help="also write a preview of the window to this file")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    SavePng(Background(), os.path.join(args.out, "background.png"))
    idle, amber, peach = (212, 74, 2), (210, 108, 0), (255, 197, 167)
    SavePng(ActionButton(idle, (255, 255, 255)), os.path.join(args.out, "action_normal.png"))
    SavePng(ActionButton(amber, (255, 255, 255)), os.path.join(args.out, "action_hover.png"))
    SavePng(ActionButton(idle, peach), os.path.join(args.out, "action_pressed.png"))

    icons = [Emblem(size, size <= 32) for size in ICON_SIZES]
    for size, icon in zip(ICON_SIZES, icons):
        SavePng(icon, os.path.join(args.out, "icon_%d.png" % size))
    ico_path = os.path.join(args.out, "launcher.ico")
    with open(ico_path, "wb") as f:
        f.write(IcoBytes(icons))
    print("wrote %s (%d bytes)" % (ico_path, os.path.getsize(ico_path)))

    if args.preview:
        Preview(args.out, args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
