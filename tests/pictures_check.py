#!/usr/bin/env python3
"""Checks the pictures rendered at build time (cmake/Pictures.cmake).

    pictures_check.py ICOTOOL OUTPUT_DIR SOURCE_DIR ICO_SIZES PNG_SIZES PERCENTS

(the sizes and percents as comma-separated lists). It proves that every
file is there with the size it must have, reading only the PNG files'
headers; the Windows icon is listed and taken apart by icotool, and each
image it holds must come out at its size.
"""

import os
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

faults = []


def fault(text):
    faults.append(text)


def png_header(path):
    """(width, height, bit depth, colour type) from a PNG's IHDR, or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(26)
    except OSError as e:
        fault(f"{path}: {e.strerror}")
        return None
    if len(head) < 26 or head[:8] != PNG_SIGNATURE or head[12:16] != b"IHDR":
        fault(f"{path}: not a PNG file")
        return None
    return struct.unpack(">IIBB", head[16:26])


def check_png(path, width, height):
    header = png_header(path)
    if header is None:
        return
    w, h, depth, colour = header
    if (w, h) != (width, height):
        fault(f"{path}: {w} x {h} pixels, not {width} x {height}")
    # 8-bit RGBA: the pictures need their transparency.
    if (depth, colour) != (8, 6):
        fault(f"{path}: bit depth {depth}, colour type {colour}; 8-bit RGBA wanted")


def svg_size(path):
    """The width and height an SVG source declares, in pixels."""
    root = ET.parse(path).getroot()
    if root.tag != "{http://www.w3.org/2000/svg}svg":
        fault(f"{path}: not an SVG picture")
        return None
    try:
        return int(root.get("width")), int(root.get("height"))
    except (TypeError, ValueError):
        fault(f"{path}: no width and height in whole pixels")
        return None


def sizes(text):
    return [int(v) for v in text.split(",") if v]


def check_icon(icotool, ico, ico_sizes):
    listing = subprocess.run([icotool, "--list", ico], capture_output=True, text=True)
    if listing.returncode != 0:
        fault(f"{ico}: icotool cannot read it: {listing.stderr.strip()}")
        return
    found = []
    for line in listing.stdout.splitlines():
        fields = dict(f[2:].split("=", 1) for f in line.split() if f.startswith("--") and "=" in f)
        found.append((int(fields["width"]), int(fields["height"]), int(fields["bit-depth"])))
    want = [(n, n, 32) for n in ico_sizes]
    if sorted(found) != sorted(want):
        fault(f"{ico}: holds {found}, not {want}")
    # Windows reads the 256-pixel image as PNG; the smaller ones are
    # bitmaps. The directory's entries say where each image starts.
    with open(ico, "rb") as f:
        data = f.read()
    _, kind, count = struct.unpack("<HHH", data[:6])
    if kind != 1 or count != len(ico_sizes):
        fault(f"{ico}: header says type {kind} with {count} images")
    for i in range(count):
        width, _, _, _, _, _, length, offset = struct.unpack("<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        n = width or 256
        is_png = data[offset:offset + 8] == PNG_SIGNATURE
        if is_png != (n == 256) or offset + length > len(data):
            fault(f"{ico}: the {n}-pixel image is {'PNG' if is_png else 'a bitmap'} at {offset}+{length}")
    # Every image must come out whole, at its size.
    with tempfile.TemporaryDirectory() as out:
        extract = subprocess.run([icotool, "--extract", "--output=" + out, ico], capture_output=True, text=True)
        if extract.returncode != 0:
            fault(f"{ico}: icotool cannot take it apart: {extract.stderr.strip()}")
            return
        got = []
        for name in sorted(os.listdir(out)):
            header = png_header(os.path.join(out, name))
            if header:
                got.append(header[0])
                if header[0] != header[1]:
                    fault(f"{ico}: an image of {header[0]} x {header[1]} pixels")
        if sorted(got) != sorted(ico_sizes):
            fault(f"{ico}: its images come out at {sorted(got)}, not {sorted(ico_sizes)}")


def main(argv):
    if len(argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    icotool, out, source = argv[1], argv[2], argv[3]
    ico_sizes, png_sizes, percents = sizes(argv[4]), sizes(argv[5]), sizes(argv[6])

    # The program's icon: the hicolor theme's PNGs, the SVG as it is in the
    # sources, the Windows icon.
    for n in png_sizes:
        check_png(os.path.join(out, "hicolor", f"{n}x{n}", "apps", "tarvex.png"), n, n)
    icon_svg = os.path.join(out, "tarvex.svg")
    with open(os.path.join(source, "tarvex.svg"), "rb") as a, open(icon_svg, "rb") as b:
        if a.read() != b.read():
            fault(f"{icon_svg}: not the same as pictures/tarvex.svg")
    root = ET.parse(icon_svg).getroot()
    if not root.tag.endswith("svg") or not root.get("viewBox"):
        fault(f"{icon_svg}: not a scalable SVG picture")
    check_icon(icotool, os.path.join(out, "tarvex.ico"), ico_sizes)

    # The window's pictures: every source but the icon, at every scale,
    # sized as Windows' MulDiv rounds (half up).
    names = sorted(f[:-4] for f in os.listdir(source) if f.endswith(".svg") and f != "tarvex.svg")
    if not names:
        fault(f"{source}: no window pictures")
    for name in names:
        size = svg_size(os.path.join(source, name + ".svg"))
        if size is None:
            continue
        for p in percents:
            check_png(os.path.join(out, "window", f"{name}-{p}.png"), (size[0] * p + 50) // 100,
                      (size[1] * p + 50) // 100)
    rendered = sorted({f.rsplit("-", 1)[0] for f in os.listdir(os.path.join(out, "window")) if f.endswith(".png")})
    if rendered != names:
        fault(f"window pictures rendered {rendered}, sources {names}")

    for f in faults:
        print("FAIL: " + f, file=sys.stderr)
    checked = len(png_sizes) + len(ico_sizes) + len(names) * len(percents)
    print(f"{checked} pictures checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
