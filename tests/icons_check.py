#!/usr/bin/env python3
"""Checks the program icon files that cmake/make_icons.py wrote.

    icons_check.py ICON_DIR [MAKE_ICONS_SCRIPT]

ICON_DIR holds tarvex.ico, tarvex.svg and hicolor/<n>x<n>/apps/tarvex.png
(see cmake/Icons.cmake). Every file is read with the decoders below, which
share nothing with the script that wrote it:
  - each PNG: signature, chunk order, the CRC of every chunk, 8-bit RGBA,
    the inflated data undone through all five row filters; then the
    picture itself: the stated size, transparent corners, an opaque
    centre, soft (anti-aliased) edges, the green display in the upper part
    and the blue keys in the lower part, and a likeness to the 256 pixel
    picture when both are reduced to a coarse grid;
  - the ICO: its directory, the sizes, every image inside the file and
    none overlapping, 256 stored as PNG and the others as 32-bit bitmaps
    with a mask that hides exactly the transparent pixels, and the pixels
    of every size that also exists as PNG equal to that PNG's;
  - the SVG: well-formed XML with a view box; its rectangles and gradients
    are evaluated at the pixel centres of the 256 pixel PNG away from any
    edge, and must give that PNG's colours.
With MAKE_ICONS_SCRIPT, the script is run again into a scratch folder and
must write the same bytes: the files depend on nothing but the script.
"""

import math
import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
import zlib

PNG_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
ICO_SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
SVG_NS = "{http://www.w3.org/2000/svg}"

failures = []


def fail(message):
    failures.append(message)


class Bad(Exception):
    """A file that cannot be read any further."""


# ---------------------------------------------------------------- PNG

def decode_png(data, what):
    """(width, height, RGBA bytes top-down) of an 8-bit RGBA PNG."""
    if not data.startswith(PNG_SIGNATURE):
        raise Bad(f"{what}: no PNG signature")
    pos = len(PNG_SIGNATURE)
    chunks = []
    while pos < len(data):
        if pos + 12 > len(data):
            raise Bad(f"{what}: truncated chunk at byte {pos}")
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length or pos + 12 + length > len(data):
            raise Bad(f"{what}: chunk {kind!r} runs past the end of the file")
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise Bad(f"{what}: bad CRC in chunk {kind!r}")
        chunks.append((kind, body))
        pos += 12 + length
        if kind == b"IEND":
            break
    if pos != len(data):
        raise Bad(f"{what}: {len(data) - pos} bytes after IEND")
    kinds = [k for k, _ in chunks]
    if not kinds or kinds[0] != b"IHDR":
        raise Bad(f"{what}: IHDR is not the first chunk")
    if kinds[-1] != b"IEND" or chunks[-1][1]:
        raise Bad(f"{what}: does not end with an empty IEND")
    idat = [i for i, k in enumerate(kinds) if k == b"IDAT"]
    if not idat:
        raise Bad(f"{what}: no IDAT")
    if idat != list(range(idat[0], idat[-1] + 1)):
        raise Bad(f"{what}: IDAT chunks are not consecutive")
    ihdr = chunks[0][1]
    if len(ihdr) != 13:
        raise Bad(f"{what}: IHDR of {len(ihdr)} bytes")
    w, h, depth, ctype, comp, filt, interlace = struct.unpack(">IIBBBBB", ihdr)
    if (depth, ctype, comp, filt, interlace) != (8, 6, 0, 0, 0):
        raise Bad(f"{what}: not 8-bit RGBA, non-interlaced "
                  f"(depth {depth}, colour type {ctype}, interlace {interlace})")
    if w == 0 or h == 0:
        raise Bad(f"{what}: empty picture")
    try:
        raw = zlib.decompress(b"".join(chunks[i][1] for i in idat))
    except zlib.error as e:
        raise Bad(f"{what}: IDAT does not inflate: {e}")
    stride = w * 4
    if len(raw) != h * (stride + 1):
        raise Bad(f"{what}: {len(raw)} bytes of image data, expected {h * (stride + 1)}")
    out = bytearray()
    prev = bytearray(stride)
    for y in range(h):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 0:
            pass
        elif kind == 1:
            for x in range(4, stride):
                line[x] = (line[x] + line[x - 4]) & 0xFF
        elif kind == 2:
            for x in range(stride):
                line[x] = (line[x] + prev[x]) & 0xFF
        elif kind == 3:
            for x in range(stride):
                left = line[x - 4] if x >= 4 else 0
                line[x] = (line[x] + ((left + prev[x]) >> 1)) & 0xFF
        elif kind == 4:
            for x in range(stride):
                a = line[x - 4] if x >= 4 else 0
                b = prev[x]
                c = prev[x - 4] if x >= 4 else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 0xFF
        else:
            raise Bad(f"{what}: row {y} has filter type {kind}")
        out += line
        prev = line
    return w, h, bytes(out)


def pixel(rgba, size, x, y):
    k = (y * size + x) * 4
    return tuple(rgba[k:k + 4])


def check_picture(rgba, n, what):
    """What any picture of the keypad must show."""
    for x, y in ((0, 0), (n - 1, 0), (0, n - 1), (n - 1, n - 1)):
        if pixel(rgba, n, x, y)[3] != 0:
            fail(f"{what}: corner ({x}, {y}) is not transparent")
    if pixel(rgba, n, n // 2, n // 2)[3] != 255:
        fail(f"{what}: the centre is not opaque")
    alphas = rgba[3::4]
    soft = sum(1 for a in alphas if 0 < a < 255)
    if soft == 0:
        fail(f"{what}: no partly covered pixel: edges are not anti-aliased")
    opaque = sum(1 for a in alphas if a == 255)
    if not 0.4 * n * n <= opaque <= 0.9 * n * n:
        fail(f"{what}: {opaque} of {n * n} pixels opaque; the panel should fill most of the picture")

    def count(rows, test):
        hits = 0
        for y in rows:
            for x in range(n):
                r, g, b, a = pixel(rgba, n, x, y)
                if a == 255 and test(r, g, b):
                    hits += 1
        return hits

    green = count(range(0, n // 2), lambda r, g, b: g > r + 25 and g > b + 25)
    if green < n * n * 0.04:
        fail(f"{what}: only {green} green display pixels in the upper half")
    stray = count(range(n // 2, n), lambda r, g, b: g > r + 25 and g > b + 25 and g > 150)
    if stray > n * n * 0.01:
        fail(f"{what}: {stray} display-green pixels in the lower half")
    blue = count(range(n // 3, n), lambda r, g, b: b > r + 40 and b < 200)
    if blue < n * n * 0.08:
        fail(f"{what}: only {blue} key-blue pixels in the lower part")


def scaled_down(rgba, size, n):
    """The picture box-filtered to n x n, premultiplied, as float planes."""
    out = []
    for y in range(n):
        for x in range(n):
            acc = [0.0, 0.0, 0.0, 0.0]
            x0, x1 = x * size / n, (x + 1) * size / n
            y0, y1 = y * size / n, (y + 1) * size / n
            for sy in range(int(y0), min(size, math.ceil(y1))):
                wy = min(y1, sy + 1) - max(y0, sy)
                for sx in range(int(x0), min(size, math.ceil(x1))):
                    w = wy * (min(x1, sx + 1) - max(x0, sx))
                    r, g, b, a = pixel(rgba, size, sx, sy)
                    acc[0] += w * r * a / 255
                    acc[1] += w * g * a / 255
                    acc[2] += w * b * a / 255
                    acc[3] += w * a
            area = (size / n) ** 2
            out.append([v / area for v in acc])
    return out


def check_likeness(big, rgba, n, what):
    """A small picture is the large one fitted to fewer pixels, not another.

    Both are reduced to a coarse grid first: fitting the small pictures to
    whole pixels moves their edges by up to a pixel, which must not count;
    a different drawing, one misplaced or shrunk, or a blank one differs
    there by far more.
    """
    grid = 8
    want = scaled_down(big, 256, grid)
    got = scaled_down(rgba, n, grid)
    mean = sum(abs(p - q) for g, w in zip(got, want) for p, q in zip(g, w)) / (4 * grid * grid)
    if mean > 25:
        fail(f"{what}: differs from the 256 pixel picture by {mean:.1f} per channel "
             f"on a {grid} x {grid} grid")


# ---------------------------------------------------------------- ICO

def decode_bmp(data, n, what):
    """RGBA top-down of a 32-bit icon bitmap, its mask checked."""
    if len(data) < 40:
        raise Bad(f"{what}: {len(data)} bytes, shorter than a BITMAPINFOHEADER")
    (size, width, height, planes, bits, compression, image_size,
     _, _, used, important) = struct.unpack("<IiiHHIIiiII", data[:40])
    if size != 40:
        raise Bad(f"{what}: header of {size} bytes, expected a 40-byte BITMAPINFOHEADER")
    if (width, height) != (n, 2 * n):
        raise Bad(f"{what}: bitmap {width} x {height}, expected {n} x {2 * n} (image and mask)")
    if (planes, bits, compression) != (1, 32, 0):
        raise Bad(f"{what}: planes {planes}, {bits} bits, compression {compression}; "
                  "expected 1, 32, BI_RGB")
    if used or important:
        fail(f"{what}: a 32-bit bitmap with a palette count")
    mask_stride = (n + 31) // 32 * 4
    want = 40 + n * n * 4 + mask_stride * n
    if len(data) != want:
        raise Bad(f"{what}: {len(data)} bytes, expected {want} (header, pixels, AND mask)")
    if image_size not in (0, want - 40):
        fail(f"{what}: biSizeImage {image_size}, expected {want - 40}")
    rgba = bytearray(n * n * 4)
    for row in range(n):
        y = n - 1 - row  # bottom-up
        for x in range(n):
            k = 40 + (row * n + x) * 4
            b, g, r, a = data[k:k + 4]
            rgba[(y * n + x) * 4:(y * n + x) * 4 + 4] = bytes((r, g, b, a))
    mask = data[40 + n * n * 4:]
    for row in range(n):
        y = n - 1 - row
        for x in range(n):
            hidden = bool(mask[row * mask_stride + x // 8] & (0x80 >> (x % 8)))
            transparent = rgba[(y * n + x) * 4 + 3] == 0
            if hidden != transparent:
                fail(f"{what}: mask bit of ({x}, {y}) is {int(hidden)} "
                     f"but the pixel is {'transparent' if transparent else 'visible'}")
                return bytes(rgba)
    return bytes(rgba)


def check_ico(path, pngs):
    with open(path, "rb") as f:
        data = f.read()
    what = os.path.basename(path)
    if len(data) < 6:
        raise Bad(f"{what}: {len(data)} bytes")
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if (reserved, kind) != (0, 1):
        raise Bad(f"{what}: not an icon directory (reserved {reserved}, type {kind})")
    if count != len(ICO_SIZES):
        raise Bad(f"{what}: {count} images, expected {len(ICO_SIZES)}")
    if len(data) < 6 + 16 * count:
        raise Bad(f"{what}: directory runs past the end of the file")
    entries = []
    for i in range(count):
        w, h, colours, res, planes, bits, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        w, h = w or 256, h or 256
        tag = f"{what} entry {i} ({w} x {h})"
        if w != h:
            fail(f"{tag}: not square")
        if colours != 0 or res != 0 or planes not in (0, 1) or bits != 32:
            fail(f"{tag}: colours {colours}, reserved {res}, planes {planes}, {bits} bits; "
                 "expected 0, 0, 1, 32")
        if offset < 6 + 16 * count or length == 0 or offset + length > len(data):
            raise Bad(f"{tag}: bytes {offset}..{offset + length} lie outside the "
                      f"images of the {len(data)}-byte file")
        entries.append((w, offset, length, tag))
    if sorted(w for w, _, _, _ in entries) != sorted(ICO_SIZES):
        fail(f"{what}: sizes {sorted(w for w, _, _, _ in entries)}, expected {ICO_SIZES}")
    spans = sorted((offset, offset + length) for _, offset, length, _ in entries)
    for (_, end), (start, _) in zip(spans, spans[1:]):
        if start < end:
            fail(f"{what}: images overlap at byte {start}")
    for n, offset, length, tag in entries:
        image = data[offset:offset + length]
        if n == 256:
            if not image.startswith(PNG_SIGNATURE):
                fail(f"{tag}: not stored as PNG")
                continue
            w, h, rgba = decode_png(image, tag)
            if (w, h) != (n, n):
                fail(f"{tag}: its PNG is {w} x {h}")
                continue
        else:
            if image.startswith(PNG_SIGNATURE):
                fail(f"{tag}: stored as PNG, which Windows XP cannot show below 256")
                continue
            rgba = decode_bmp(image, n, tag)
        check_picture(rgba, n, tag)
        if n in pngs and rgba != pngs[n]:
            diff = sum(1 for k in range(0, len(rgba), 4) if rgba[k:k + 4] != pngs[n][k:k + 4])
            fail(f"{tag}: {diff} pixels differ from {n}x{n}/apps/tarvex.png")


# ---------------------------------------------------------------- SVG

def number(text, what):
    try:
        return float(text)
    except (TypeError, ValueError):
        raise Bad(f"{what}: {text!r} is not a plain number")


def colour(text, what):
    text = text.strip()
    if len(text) == 7 and text[0] == "#":
        return tuple(int(text[i:i + 2], 16) / 255 for i in (1, 3, 5))
    if len(text) == 4 and text[0] == "#":
        return tuple(int(c * 2, 16) / 255 for c in text[1:])
    if text in ("black", "white"):
        return (0.0,) * 3 if text == "black" else (1.0,) * 3
    raise Bad(f"{what}: colour {text!r} is beyond this check")


class Rect:
    def __init__(self, x, y, w, h, r, paint, opacity):
        self.x0, self.y0, self.x1, self.y1 = x, y, x + w, y + h
        self.r = min(r, w / 2, h / 2)
        self.paint, self.opacity = paint, opacity

    def distance(self, px, py):
        """Signed distance from the outline: negative inside."""
        cx, cy = (self.x0 + self.x1) / 2, (self.y0 + self.y1) / 2
        qx = abs(px - cx) - ((self.x1 - self.x0) / 2 - self.r)
        qy = abs(py - cy) - ((self.y1 - self.y0) / 2 - self.r)
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - self.r

    def colour_at(self, px, py):
        if self.paint[0] == "solid":
            return self.paint[1]
        _, x1, y1, x2, y2, stops = self.paint
        dx, dy = x2 - x1, y2 - y1
        length2 = dx * dx + dy * dy
        t = 0.0 if length2 == 0 else ((px - x1) * dx + (py - y1) * dy) / length2
        t = min(1.0, max(0.0, t))  # spreadMethod="pad"
        if t <= stops[0][0]:
            return stops[0][1]
        for (o0, c0), (o1, c1) in zip(stops, stops[1:]):
            if t <= o1:
                f = 0.0 if o1 == o0 else (t - o0) / (o1 - o0)
                return tuple(a + (b - a) * f for a, b in zip(c0, c1))
        return stops[-1][1]


def read_svg(path):
    """(view box, rectangles back to front) of the SVG."""
    what = os.path.basename(path)
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as e:
        raise Bad(f"{what}: not well-formed XML: {e}")
    if root.tag != SVG_NS + "svg":
        raise Bad(f"{what}: root element {root.tag}, expected svg in the SVG namespace")
    box = root.get("viewBox")
    if box is None:
        raise Bad(f"{what}: no viewBox")
    box = [number(v, f"{what} viewBox") for v in box.replace(",", " ").split()]
    if len(box) != 4 or box[2] <= 0 or box[3] <= 0:
        raise Bad(f"{what}: viewBox {root.get('viewBox')!r}")
    gradients = {}
    for g in root.iter(SVG_NS + "linearGradient"):
        tag = f"{what} gradient {g.get('id')}"
        if g.get("gradientUnits") != "userSpaceOnUse" or g.get("gradientTransform"):
            raise Bad(f"{tag}: only userSpaceOnUse gradients without transform are checked")
        if g.get("spreadMethod", "pad") != "pad":
            raise Bad(f"{tag}: spreadMethod {g.get('spreadMethod')}")
        stops = []
        for s in g.findall(SVG_NS + "stop"):
            offset = number(s.get("offset"), tag)
            if stops and offset < stops[-1][0]:
                raise Bad(f"{tag}: stops out of order")
            if s.get("stop-opacity", "1") != "1":
                raise Bad(f"{tag}: translucent stops are beyond this check")
            stops.append((offset, colour(s.get("stop-color", "black"), tag)))
        if not stops:
            raise Bad(f"{tag}: no stops")
        gradients[g.get("id")] = ("gradient",) + tuple(
            number(g.get(a, "0"), tag) for a in ("x1", "y1", "x2", "y2")) + (tuple(stops),)
    known = {SVG_NS + t for t in ("svg", "title", "desc", "defs", "linearGradient", "stop",
                                  "rect", "g")}
    rects = []
    for e in root.iter():
        if e.tag not in known:
            raise Bad(f"{what}: element {e.tag} is beyond this check")
        if e.get("transform") or e.get("style"):
            raise Bad(f"{what}: {e.tag} has a transform or style, beyond this check")
        if e.tag == SVG_NS + "g" and (set(e.keys()) - {"id"}):
            raise Bad(f"{what}: a group with attributes {sorted(e.keys())}")
        if e.tag != SVG_NS + "rect":
            continue
        tag = f"{what} rect {len(rects)}"
        x, y, w, h = (number(e.get(a, "0"), tag) for a in ("x", "y", "width", "height"))
        rx, ry = e.get("rx"), e.get("ry")
        rx = number(rx if rx is not None else (ry or "0"), tag)
        ry = number(ry if ry is not None else rx, tag)
        if rx != ry:
            raise Bad(f"{tag}: elliptical corners are beyond this check")
        fill = e.get("fill", "black").strip()
        if fill == "none":
            continue
        if fill.startswith("url(#") and fill.endswith(")"):
            if fill[5:-1] not in gradients:
                raise Bad(f"{tag}: fill {fill} names no gradient")
            paint = gradients[fill[5:-1]]
        else:
            paint = ("solid", colour(fill, tag))
        if e.get("stroke", "none") != "none":
            raise Bad(f"{tag}: strokes are beyond this check")
        opacity = number(e.get("fill-opacity", "1"), tag) * number(e.get("opacity", "1"), tag)
        rects.append(Rect(x, y, w, h, rx, paint, opacity))
    if not rects:
        raise Bad(f"{what}: draws nothing")
    return box, rects


def check_svg(path, png256):
    what = os.path.basename(path)
    box, rects = read_svg(path)
    scale = 256 / box[2]
    if abs(box[3] * scale - 256) > 1e-9:
        fail(f"{what}: viewBox {box} is not square")
        return
    compared = opaque = clear = 0
    for j in range(0, 256, 2):
        for i in range(0, 256, 2):
            # The pixel's centre in the view box's units.
            px = box[0] + (i + 0.5) / scale
            py = box[1] + (j + 0.5) / scale
            acc = [0.0, 0.0, 0.0, 0.0]
            near_edge = False
            for r in rects:
                d = r.distance(px, py) * scale
                if abs(d) < 1.0:
                    near_edge = True  # the PNG blends this pixel with what is beside it
                    break
                if d < 0:
                    c = r.colour_at(px, py)
                    a = r.opacity
                    acc = [c[0] * a + acc[0] * (1 - a), c[1] * a + acc[1] * (1 - a),
                           c[2] * a + acc[2] * (1 - a), a + acc[3] * (1 - a)]
            if near_edge:
                continue
            got = pixel(png256, 256, i, j)
            want = [v * 255 for v in acc]
            have = [got[0] * got[3] / 255, got[1] * got[3] / 255, got[2] * got[3] / 255, got[3]]
            if any(abs(p - q) > 2.5 for p, q in zip(have, want)):
                fail(f"{what}: at ({i}, {j}) the SVG paints "
                     f"{tuple(round(v) for v in want)} (premultiplied), "
                     f"256x256/apps/tarvex.png has {tuple(round(v) for v in have)}")
                return
            compared += 1
            opaque += got[3] == 255
            clear += got[3] == 0
    if compared < 0.5 * 128 * 128 or opaque < 0.3 * 128 * 128 or clear == 0:
        fail(f"{what}: only {compared} points ({opaque} opaque, {clear} clear) "
             "could be compared with the PNG")


# ---------------------------------------------------------------- same bytes

def check_rerun(script, folder):
    with tempfile.TemporaryDirectory() as tmp:
        cmd = [sys.executable, script, "--png-dir", os.path.join(tmp, "hicolor"),
               "--png-sizes", "16,48", "--svg", os.path.join(tmp, "tarvex.svg")]
        run = subprocess.run(cmd, capture_output=True, text=True)
        if run.returncode != 0:
            fail(f"{script} failed again: {run.stderr.strip()}")
            return
        for rel in ("tarvex.svg", "hicolor/16x16/apps/tarvex.png",
                    "hicolor/48x48/apps/tarvex.png"):
            with open(os.path.join(tmp, rel), "rb") as a, open(os.path.join(folder, rel), "rb") as b:
                if a.read() != b.read():
                    fail(f"{rel}: a second run of {os.path.basename(script)} wrote other bytes")


# ---------------------------------------------------------------- main

def main(argv):
    if len(argv) not in (1, 2):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    folder = argv[0]
    pngs = {}
    for n in PNG_SIZES:
        path = os.path.join(folder, "hicolor", f"{n}x{n}", "apps", "tarvex.png")
        what = f"{n}x{n}/apps/tarvex.png"
        try:
            with open(path, "rb") as f:
                w, h, rgba = decode_png(f.read(), what)
        except (OSError, Bad) as e:
            fail(str(e))
            continue
        if (w, h) != (n, n):
            fail(f"{what}: {w} x {h} pixels")
            continue
        check_picture(rgba, n, what)
        pngs[n] = rgba
    if 256 in pngs:
        for n, rgba in sorted(pngs.items()):
            if n != 256:
                check_likeness(pngs[256], rgba, n, f"{n}x{n}/apps/tarvex.png")
    for name, check in (("tarvex.ico", lambda p: check_ico(p, pngs)),
                        ("tarvex.svg", lambda p: check_svg(p, pngs[256]) if 256 in pngs else None)):
        try:
            check(os.path.join(folder, name))
        except (OSError, Bad) as e:
            fail(str(e))
    if len(argv) == 2 and not failures:
        check_rerun(argv[1], folder)
    for message in failures:
        print("FAIL:", message, file=sys.stderr)
    if failures:
        return 1
    print(f"icons in {folder}: {len(pngs)} PNG, ICO and SVG are sound")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
