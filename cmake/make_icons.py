#!/usr/bin/env python3
"""Draws Tarvex's program icon and writes it as PNG, ICO and SVG files.

The icon is the alarm keypad of qt/icons.cpp (ProgramIcon): a rounded panel
with a vertical gradient and a dark blue edge, a green display and a 3 x 3
grid of keys. It is described once, by design(), as a list of rounded
rectangles painted back to front; the same list is rasterised for the PNG
and ICO images and written out as the SVG. Larger pictures add detail to the
same design (a soft shadow, a highlight under the top edge, a framed display
showing a code being typed, keys with a gradient and a lip, a power and an
alarm lamp); pictures of 64 pixels and less are fitted to the pixel grid so
their edges stay crisp.

Outputs (each only when asked for):
  --png-dir DIR   DIR/<n>x<n>/apps/tarvex.png for every size of --png-sizes:
                  the layout of the hicolor icon theme, so DIR can be
                  installed as share/icons/hicolor as it is.
  --ico FILE      a Windows icon holding every size of --ico-sizes; 256 is
                  stored as PNG, the others as 32-bit bitmaps with their AND
                  mask, which every Windows version can show.
  --svg FILE      the scalable picture (SVG 1.1, 256 x 256 view box).

Only the standard library is used, and the output bytes depend on nothing
but this file: no time stamps, no ordering that could vary between runs.
"""

import argparse
import math
import os
import struct
import sys
import zlib

# ---------------------------------------------------------------- the design

# The colours of qt/icons.cpp: kPanelBody lighter(108) / darker(112) for the
# body's gradient, kPanelEdge, kKey and the display's green.
BODY_TOP = (0xEB, 0xF4, 0xFF)
BODY_BOTTOM = (0xC2, 0xCB, 0xD4)
EDGE = (0x3B, 0x5A, 0x82)
KEY = (0x5F, 0x7F, 0xA6)
DISPLAY = (0x9F, 0xD3, 0x8F)
# Colours of the details that only larger pictures show.
HIGHLIGHT = (0xFF, 0xFF, 0xFF)
BEZEL = (0x2C, 0x44, 0x63)
DISPLAY_TOP = (0xB9, 0xE4, 0xAA)
DISPLAY_BOTTOM = (0x8C, 0xC7, 0x7B)
PIN_DOT = (0x2B, 0x55, 0x27)
KEY_TOP = (0x7C, 0x9B, 0xC1)
KEY_BOTTOM = (0x55, 0x75, 0x9C)
SHADOW = (0x00, 0x00, 0x00)
LED_POWER = (0x3C, 0xC8, 0x4E)
LED_ALARM = (0xE5, 0x3E, 0x30)

# The reference layout, in units of a 256 x 256 picture. From the top: the
# edge, a pad, the display, a gap, three rows of keys with gaps between
# them; what is left above the bottom edge (26) holds the keys' lips and,
# in large pictures, the lamps. Below the panel is room for its shadow.
REF = {
    "body_x": 32, "body_top": 8, "body_bottom": 240, "body_radius": 22,
    "edge": 6, "top_pad": 18, "display_h": 40, "display_gap": 20,
    "key_w": 32, "key_h": 28, "key_gap": 16,
}

# Above this size the reference layout is only scaled; at and below it the
# layout is fitted to whole pixels (see fit_layout).
HINT_LIMIT = 64
# From these sizes on, the details: framed display, keys with gradient and
# lip (DETAILED); shadow, highlight, code on the display (RICH); lamps.
DETAILED = 32
RICH = 48
LAMPS = 128


class Shape:
    """A rounded rectangle [x0, x1] x [y0, y1] (pixels) with corner radius r.

    paint is ("solid", rgb) or ("vgradient", y_top, y_bottom, stops) with
    stops a tuple of (offset, rgb); opacity multiplies the paint's alpha.
    """

    __slots__ = ("x0", "y0", "x1", "y1", "r", "paint", "opacity")

    def __init__(self, x0, y0, x1, y1, r, paint, opacity=1.0):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1
        # SVG clamps rx to half the width; do the same so both agree.
        self.r = max(0.0, min(r, (x1 - x0) / 2, (y1 - y0) / 2))
        self.paint = paint
        self.opacity = opacity


def solid(rgb):
    return ("solid", rgb)


def vgradient(y0, y1, top, bottom):
    return ("vgradient", y0, y1, ((0.0, top), (1.0, bottom)))


def fit_layout(size):
    """The layout of a small picture in whole pixels.

    Rounding every edge of the reference on its own gives keys of unequal
    widths and lopsided margins at 20 or 24 pixels; instead, of all the
    layouts in whole pixels that keep every margin at least one pixel and
    the key grid centred in the panel, take the one whose edges lie nearest
    to the scaled reference's and whose keys keep its size. The panel may
    stand half a pixel off the picture's centre when that is what lets the
    keys keep their width.
    """
    ref = scaled_layout(size)
    u = size / 256.0

    def near(v, lo):
        return range(max(lo, math.floor(v) - 1), max(lo, math.ceil(v) + 1) + 1)

    def miss(got, want):
        return sum((g - w) ** 2 for g, w in zip(got, want))

    def columns(x0, x1, kw, gap):
        left = (x0 + x1 - 3 * kw - 2 * gap) / 2
        return [left + c * (kw + gap) + d for c in range(3) for d in (0, kw)]

    def rows(top, dh, dgap, kh, vgap):
        keys = top + dh + dgap
        return [top, top + dh] + [keys + r * (kh + vgap) + d for r in range(3) for d in (0, kh)]

    rb = ref["body"]
    want_x = [rb[0], rb[2]] + columns(rb[0], rb[2], ref["key_w"], ref["key_gap"])
    want_y = [rb[1], rb[3]] + rows(ref["display_top"], ref["display_h"], ref["display_gap"],
                                   ref["key_h"], ref["key_vgap"])

    edge = max(1, round(ref["edge"]))
    best = None
    for bx in near(rb[0], 0):
        for shift in (0, 1):
            x1 = size - bx - shift
            inner_w = x1 - bx - 2 * edge
            for kw in near(ref["key_w"], 2):
                for gap in near(ref["key_gap"], 1):
                    side = inner_w - (3 * kw + 2 * gap)
                    if side < 2 or side % 2:
                        continue
                    c = (miss([bx, x1] + columns(bx, x1, kw, gap), want_x)
                         + 6 * (kw - ref["key_w"]) ** 2 + 0.5 * shift)
                    if best is None or c < best[0]:
                        best = (c, bx, x1, kw, gap)
    if best is None:
        raise ValueError(f"no layout fits {size} pixels")
    _, bx0, bx1, kw, gap = best

    # Below the keys the detailed pictures draw each key's lip.
    lip = 1 if size >= DETAILED else 0
    best = None
    for top in near(rb[1], 0):
        for bottom in near(rb[3], 0):
            if bottom > size:
                continue
            for pad in near(REF["top_pad"] * u, 1):
                dtop = top + edge + pad
                for dh in near(ref["display_h"], 2):
                    for dgap in near(ref["display_gap"], 1):
                        for kh in near(ref["key_h"], 2):
                            for vgap in near(ref["key_vgap"], 1 + lip):
                                got = rows(dtop, dh, dgap, kh, vgap)
                                if got[-1] + lip + 1 > bottom - edge:
                                    continue
                                # Keys taller than wide read as bars.
                                c = (miss([top, bottom] + got, want_y)
                                     + 6 * (kh - ref["key_h"]) ** 2
                                     + 2 * max(0, kh - kw) ** 2 + 0.5 * (vgap - gap) ** 2)
                                if best is None or c < best[0]:
                                    best = (c, top, bottom, dtop, dh, dgap, kh, vgap)
    if best is None:
        raise ValueError(f"no layout fits {size} pixels")
    _, top, bottom, dtop, dh, dgap, kh, vgap = best
    return {
        "body": (bx0, top, bx1, bottom), "edge": edge,
        "key_w": kw, "key_h": kh, "key_gap": gap, "key_vgap": vgap,
        "display_top": dtop, "display_h": dh, "display_gap": dgap,
    }


def scaled_layout(size):
    u = size / 256.0
    r = {k: v * u for k, v in REF.items()}
    top = r["body_top"] + r["edge"] + r["top_pad"]
    return {
        "body": (r["body_x"], r["body_top"], size - r["body_x"], r["body_bottom"]),
        "edge": r["edge"], "key_w": r["key_w"], "key_h": r["key_h"],
        "key_gap": r["key_gap"], "key_vgap": r["key_gap"],
        "display_top": top, "display_h": r["display_h"], "display_gap": r["display_gap"],
    }


def design(size):
    """The icon at size x size pixels: its shapes, back to front."""
    hinted = size <= HINT_LIMIT
    lay = fit_layout(size) if hinted else scaled_layout(size)
    u = size / 256.0

    def px(v, minimum=0.0):
        # A detail's length in pixels: whole pixels (at least minimum) when
        # the picture is fitted to the grid, exact otherwise.
        v *= u
        return max(minimum, round(v)) if hinted else v

    detailed = size >= DETAILED
    rich = size >= RICH
    shapes = []
    bx0, by0, bx1, by1 = lay["body"]
    e = lay["edge"]
    radius = max(1.5, REF["body_radius"] * u)

    if rich:
        # A soft shadow under the panel: stacked faint copies of its outline,
        # widest first, so it reads the same in any SVG viewer.
        layers, spread, drop = 6, 8 * u, 5 * u
        for k in range(layers):
            grow = spread * (layers - k) / layers
            shapes.append(Shape(bx0 - grow, by0 + drop - grow, bx1 + grow, by1 + drop + grow,
                                radius + grow, solid(SHADOW), 0.05))

    shapes.append(Shape(bx0, by0, bx1, by1, radius, solid(EDGE)))
    ix0, iy0, ix1, iy1 = bx0 + e, by0 + e, bx1 - e, by1 - e
    # Rounder inside than a true parallel outline: with a one-pixel edge the
    # face would otherwise fill the corner pixel and break the outline there.
    inner_r = max(radius - e, 1.5)
    face_top = iy0
    if rich:
        # The light catching the panel's top: a thin bright line under the edge.
        shapes.append(Shape(ix0, iy0, ix1, iy1, inner_r, solid(HIGHLIGHT), 0.85))
        face_top = iy0 + px(3, 1)
    shapes.append(Shape(ix0, face_top, ix1, iy1, inner_r,
                        vgradient(iy0, iy1, BODY_TOP, BODY_BOTTOM)))

    kw, kh, gap, vgap = lay["key_w"], lay["key_h"], lay["key_gap"], lay["key_vgap"]
    grid_w = 3 * kw + 2 * gap
    gx0 = (bx0 + bx1 - grid_w) / 2
    dy0 = lay["display_top"]
    dy1 = dy0 + lay["display_h"]

    # The display spans the key grid's width.
    if detailed:
        bezel = px(3, 1)
        shapes.append(Shape(gx0, dy0, gx0 + grid_w, dy1, px(5, 1) if rich else 0.5, solid(BEZEL)))
        sx0, sy0, sx1, sy1 = gx0 + bezel, dy0 + bezel, gx0 + grid_w - bezel, dy1 - bezel
        shapes.append(Shape(sx0, sy0, sx1, sy1, px(2) if rich else 0,
                            vgradient(sy0, sy1, DISPLAY_TOP, DISPLAY_BOTTOM)))
        if rich:
            # A main user code being typed: four dots, left-aligned like the
            # panel's own prompt.
            dot = px(10, 2)
            step = px(18, 3)
            dx = sx0 + px(12, 2)
            dyc = (sy0 + sy1 - dot) / 2
            if hinted:
                dyc = math.floor(dyc)
            for i in range(4):
                x = dx + i * step
                shapes.append(Shape(x, dyc, x + dot, dyc + dot, dot / 2, solid(PIN_DOT), 0.85))
    else:
        shapes.append(Shape(gx0, dy0, gx0 + grid_w, dy1, 0, solid(DISPLAY)))

    ky0 = dy1 + lay["display_gap"]
    lip = px(3, 1)
    key_r = px(6) if rich else (0.75 if detailed else 0)
    for row in range(3):
        for col in range(3):
            x = gx0 + col * (kw + gap)
            y = ky0 + row * (kh + vgap)
            if detailed:
                # The key's lower side, seen from slightly above.
                shapes.append(Shape(x, y + lip, x + kw, y + kh + lip, key_r, solid(EDGE)))
                shapes.append(Shape(x, y, x + kw, y + kh, key_r,
                                    vgradient(y, y + kh, KEY_TOP, KEY_BOTTOM)))
            else:
                shapes.append(Shape(x, y, x + kw, y + kh, 0, solid(KEY)))

    if size >= LAMPS:
        # The panel's power and alarm lamps under the keys, flush with the
        # grid's right side: what tells a keypad from a calculator.
        keys_bottom = ky0 + 3 * kh + 2 * vgap + lip
        led = px(12, 3)
        cy = (keys_bottom + iy1 - led) / 2
        for n, colour in enumerate((LED_ALARM, LED_POWER)):
            x = gx0 + grid_w - led - n * (led + px(8, 2))
            shapes.append(Shape(x, cy, x + led, cy + led, led / 2, solid(BEZEL)))
            rim = px(2, 0.5)
            shapes.append(Shape(x + rim, cy + rim, x + led - rim, cy + led - rim,
                                led / 2 - rim, solid(colour)))
    return shapes


# ---------------------------------------------------------------- rendering

def paint_at(paint, y):
    if paint[0] == "solid":
        return paint[1]
    _, y0, y1, stops = paint
    t = 0.0 if y1 == y0 else min(1.0, max(0.0, (y - y0) / (y1 - y0)))
    for (o0, c0), (o1, c1) in zip(stops, stops[1:]):
        if t <= o1:
            f = 0.0 if o1 == o0 else (t - o0) / (o1 - o0)
            return tuple(a + (b - a) * f for a, b in zip(c0, c1))
    return stops[-1][1]


def overlap(a0, a1, b0, b1):
    return max(0.0, min(a1, b1) - max(a0, b0))


# Sub-rows per pixel where a rounded corner crosses a row: along each
# sub-row the covered length is exact, so only the curve's slope within a
# sixteenth of a pixel is approximated.
SUB_ROWS = 16


def row_coverage(s, j, i0, i1):
    """The area of each pixel (i0..i1-1, j) that the shape s covers."""
    r = s.r
    top, bottom = max(j, s.y0), min(j + 1, s.y1)
    if bottom <= top:
        return [0.0] * (i1 - i0)
    if r == 0 or (top >= s.y0 + r and bottom <= s.y1 - r):
        # A plain band: exact.
        spans = [(s.x0, s.x1, bottom - top)]
    else:
        spans = []
        h = (bottom - top) / SUB_ROWS
        for a in range(SUB_ROWS):
            y = top + (a + 0.5) * h
            d = max(s.y0 + r - y, y - (s.y1 - r), 0.0)
            inset = r - math.sqrt(max(0.0, r * r - d * d))
            spans.append((s.x0 + inset, s.x1 - inset, h))
    weight = sum(w for _, _, w in spans)
    full_from = max(x0 for x0, _, _ in spans)
    full_to = min(x1 for _, x1, _ in spans)
    out = []
    for i in range(i0, i1):
        if i >= full_from and i + 1 <= full_to:
            out.append(weight)
        else:
            out.append(sum(w * overlap(i, i + 1, x0, x1) for x0, x1, w in spans))
    return out


def render(size):
    """RGBA bytes (not premultiplied, rows top to bottom) of the icon."""
    # Premultiplied planes while compositing "source over".
    n = size * size
    planes = [[0.0] * n for _ in range(4)]
    for s in design(size):
        i0, i1 = max(0, math.floor(s.x0)), min(size, math.ceil(s.x1))
        j0, j1 = max(0, math.floor(s.y0)), min(size, math.ceil(s.y1))
        for j in range(j0, j1):
            rgb = paint_at(s.paint, j + 0.5)
            cover = [c * s.opacity for c in row_coverage(s, j, i0, i1)]
            k0, k1 = j * size + i0, j * size + i1
            for plane, value in zip(planes, (rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0, 1.0)):
                plane[k0:k1] = [value * a + old * (1.0 - a)
                                for old, a in zip(plane[k0:k1], cover)]
    out = bytearray(n * 4)
    pr, pg, pb, pa = planes
    for k in range(n):
        a = pa[k]
        qa = min(255, int(a * 255.0 + 0.5))
        if qa == 0:
            continue  # fully transparent pixels stay 0,0,0,0
        out[4 * k] = min(255, int(pr[k] / a * 255.0 + 0.5))
        out[4 * k + 1] = min(255, int(pg[k] / a * 255.0 + 0.5))
        out[4 * k + 2] = min(255, int(pb[k] / a * 255.0 + 0.5))
        out[4 * k + 3] = qa
    return bytes(out)


# ---------------------------------------------------------------- PNG

def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(width, height, rgba):
    """The scanlines, each with the filter that leaves the smallest sum."""
    stride = width * 4
    prev = bytes(stride)
    out = bytearray()
    for y in range(height):
        row = rgba[y * stride:(y + 1) * stride]
        left = bytes(4) + row[:-4]
        up_left = bytes(4) + prev[:-4]
        cands = [
            bytes(row),  # None
            bytes((x - a) & 0xFF for x, a in zip(row, left)),  # Sub
            bytes((x - b) & 0xFF for x, b in zip(row, prev)),  # Up
            bytes((x - ((a + b) >> 1)) & 0xFF for x, a, b in zip(row, left, prev)),  # Average
            bytes((x - paeth(a, b, c)) & 0xFF
                  for x, a, b, c in zip(row, left, prev, up_left)),  # Paeth
        ]
        best = min(range(5), key=lambda f: (sum(b if b < 128 else 256 - b for b in cands[f]), f))
        out.append(best)
        out += cands[best]
        prev = row
    return bytes(out)


def png_bytes(size, rgba):
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n"
            + png_chunk(b"IHDR", ihdr)
            + png_chunk(b"sRGB", b"\x00")
            + png_chunk(b"IDAT", zlib.compress(filter_rows(size, size, rgba), 9))
            + png_chunk(b"IEND", b""))


# ---------------------------------------------------------------- ICO

def bmp_entry(size, rgba):
    """A 32-bit icon bitmap: header, BGRA rows bottom-up, then the AND mask."""
    mask_stride = (size + 31) // 32 * 4
    pixels = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):
        row = rgba[y * size * 4:(y + 1) * size * 4]
        bits = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = row[x * 4:x * 4 + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:  # transparent for Windows versions that ignore alpha
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def ico_bytes(images):
    """images: (size, data, is_png) in the order to store them."""
    offset = 6 + 16 * len(images)
    head = struct.pack("<HHH", 0, 1, len(images))
    body = b""
    for size, data, _ in images:
        dim = 0 if size >= 256 else size
        head += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    return head + body


# ---------------------------------------------------------------- SVG

def num(v):
    s = f"{v:.3f}".rstrip("0").rstrip(".")
    return "0" if s in ("", "-0") else s


def hexrgb(rgb):
    return "#%02x%02x%02x" % tuple(int(round(c)) for c in rgb)


def svg_text():
    size = 256
    shapes = design(size)
    defs, body = [], []
    gradients = {}
    for s in shapes:
        if s.paint[0] == "solid":
            fill = hexrgb(s.paint[1])
        else:
            key = s.paint
            if key not in gradients:
                gid = f"g{len(gradients)}"
                gradients[key] = gid
                _, y0, y1, stops = key
                defs.append(f'    <linearGradient id="{gid}" gradientUnits="userSpaceOnUse" '
                            f'x1="0" y1="{num(y0)}" x2="0" y2="{num(y1)}">')
                for off, rgb in stops:
                    defs.append(f'      <stop offset="{num(off)}" stop-color="{hexrgb(rgb)}"/>')
                defs.append("    </linearGradient>")
            fill = f"url(#{gradients[key]})"
        attrs = (f'x="{num(s.x0)}" y="{num(s.y0)}" width="{num(s.x1 - s.x0)}" '
                 f'height="{num(s.y1 - s.y0)}"')
        if s.r > 0:
            attrs += f' rx="{num(s.r)}" ry="{num(s.r)}"'
        attrs += f' fill="{fill}"'
        if s.opacity < 1.0:
            attrs += f' fill-opacity="{num(s.opacity)}"'
        body.append(f"  <rect {attrs}/>")
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="{size}" '
             f'height="{size}" viewBox="0 0 {size} {size}">',
             "  <title>Tarvex</title>"]
    if defs:
        lines += ["  <defs>"] + defs + ["  </defs>"]
    lines += body + ["</svg>", ""]
    return "\n".join(lines)


# ---------------------------------------------------------------- main

def write(path, data):
    # Through a temporary name, so an interrupted run never leaves a
    # truncated file that the build would take as up to date.
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def sizes(text):
    try:
        values = [int(v) for v in text.replace(";", ",").split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of sizes: {text!r}")
    if not values or any(v < 16 or v > 256 for v in values) or len(set(values)) != len(values):
        raise argparse.ArgumentTypeError(f"sizes must be distinct, from 16 to 256: {text!r}")
    return values


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--png-dir", help="write DIR/<n>x<n>/apps/tarvex.png")
    p.add_argument("--png-sizes", type=sizes, default=[16, 22, 24, 32, 48, 64, 128, 256])
    p.add_argument("--ico", help="write this Windows icon file")
    p.add_argument("--ico-sizes", type=sizes, default=[16, 20, 24, 32, 40, 48, 64, 256])
    p.add_argument("--svg", help="write this SVG file")
    args = p.parse_args(argv)
    if not (args.png_dir or args.ico or args.svg):
        p.error("nothing to write: give --png-dir, --ico or --svg")

    wanted = set()
    if args.png_dir:
        wanted.update(args.png_sizes)
    if args.ico:
        wanted.update(args.ico_sizes)
    pictures = {n: render(n) for n in sorted(wanted)}
    pngs = {}

    def png_of(n):
        if n not in pngs:
            pngs[n] = png_bytes(n, pictures[n])
        return pngs[n]

    if args.png_dir:
        for n in args.png_sizes:
            write(os.path.join(args.png_dir, f"{n}x{n}", "apps", "tarvex.png"), png_of(n))
    if args.ico:
        images = []
        for n in sorted(args.ico_sizes):
            if n >= 256:
                images.append((n, png_of(n), True))
            else:
                images.append((n, bmp_entry(n, pictures[n]), False))
        write(args.ico, ico_bytes(images))
    if args.svg:
        write(args.svg, svg_text().encode("utf-8"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
