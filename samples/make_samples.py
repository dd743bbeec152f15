#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Draws the depth maps and pattern of the sample stereograms, makes them with netpbm's
# pamstereogram and reveals them with nimbrel-cli.
"""Usage: /usr/bin/python3 samples/make_samples.py [path/to/nimbrel-cli]

Writes samples/<name>.png (the stereograms) and samples/revealed/<name>.png (what nimbrel-cli makes
of them). Every input is drawn here or comes from a fixed random seed, so a rerun with the same
netpbm writes the same stereograms. The repeat width of each (the far plane of -planes) lies well
inside the range Nimbrel searches, one sixteenth to one quarter of the image width.
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WIDTH, HEIGHT = 560, 360
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def RingDepth():
    """A torus lying in the picture plane, its tube rounded."""
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)
    distance = np.hypot(xx - WIDTH / 2, yy - HEIGHT / 2)
    tube = 1.0 - ((distance - 105.0) / 55.0) ** 2
    return np.sqrt(np.clip(tube, 0.0, 1.0))


def StarDepth():
    """A flat five-pointed star standing in front of a wall, with a small raised disc above it."""
    image = Image.new("L", (WIDTH, HEIGHT), 0)
    draw = ImageDraw.Draw(image)
    cx, cy, outer, inner = WIDTH / 2, HEIGHT / 2 + 10, 150, 62
    corners = [(cx + (outer if i % 2 == 0 else inner) * math.cos(-math.pi / 2 + i * math.pi / 5),
                cy + (outer if i % 2 == 0 else inner) * math.sin(-math.pi / 2 + i * math.pi / 5))
               for i in range(10)]
    draw.polygon(corners, fill=200)
    draw.ellipse((cx - 30, cy - 25, cx + 30, cy + 35), fill=255)
    return np.asarray(image.filter(ImageFilter.GaussianBlur(1.5)), np.float64) / 255.0


def WordDepth():
    """The word Nimbrel standing out of the wall, its letters bevelled by a blur."""
    image = Image.new("L", (WIDTH, HEIGHT), 0)
    draw = ImageDraw.Draw(image)
    font = ImageFont.truetype(FONT, 96) if os.path.exists(FONT) else ImageFont.load_default()
    left, top, right, bottom = draw.textbbox((0, 0), "Nimbrel", font=font)
    draw.text(((WIDTH - (right - left)) / 2 - left, (HEIGHT - (bottom - top)) / 2 - top),
              "Nimbrel", fill=255, font=font)
    return np.asarray(image.filter(ImageFilter.GaussianBlur(2.0)), np.float64) / 255.0


def LeafPattern(width, height, seed):
    """A tile of overlapping soft-coloured leaves, wrapping left to right, for -patfile."""
    rng = np.random.default_rng(seed)
    tile = Image.new("RGB", (width * 3, height), (0x24, 0x3B, 0x55))
    draw = ImageDraw.Draw(tile)
    colours = [(0x7F, 0xC8, 0xA9), (0xF4, 0xA2, 0x59), (0xE7, 0x6F, 0x51), (0xF6, 0xD1, 0x6B),
               (0x6C, 0x9B, 0xD2), (0xC0, 0x84, 0xD4), (0xFF, 0xFF, 0xF0)]
    for _ in range(width * height // 70):
        x, y = rng.uniform(0, width), rng.uniform(-10, height + 10)
        rx, ry = rng.uniform(4, 11), rng.uniform(2, 6)
        colour = colours[int(rng.integers(len(colours)))]
        for copy in range(3):
            ox = x + copy * width
            draw.ellipse((ox - rx, y - ry, ox + rx, y + ry), fill=colour, outline=(0x12, 0x1E, 0x2B))
    return tile.crop((width, 0, 2 * width, height))


# name: (depth map, pamstereogram options, pattern drawn for -patfile or None)
SAMPLES = {
    "ring": (RingDepth, ["-grayscale", "-maxval=3", "-randomseed=11", "-planes=72,90"], None),
    "star": (StarDepth, ["-color", "-maxval=1", "-randomseed=12", "-planes=80,100"], None),
    "word": (WordDepth, ["-planes=64,84"], (84, 180)),
}


def WritePgm(path, depth):
    Image.fromarray(np.rint(np.clip(depth, 0, 1) * 255).astype(np.uint8), "L").save(path)


def SaveSmallPng(image, path):
    """Saves losslessly in the smallest of grey, palette or RGB that holds every pixel exactly."""
    rgb = np.asarray(image.convert("RGB"))
    if (rgb[..., 0] == rgb[..., 1]).all() and (rgb[..., 1] == rgb[..., 2]).all():
        image = Image.fromarray(rgb[..., 0], "L")
    elif image.convert("RGB").getcolors(256) is not None:
        image = image.convert("RGB").quantize(colors=256, method=Image.Quantize.MEDIANCUT,
                                              dither=Image.Dither.NONE)
        assert (np.asarray(image.convert("RGB")) == rgb).all()
    image.save(path, "PNG", optimize=True)


def Stereogram(work, name, depth, options, pattern):
    depth_path = os.path.join(work, name + ".pgm")
    WritePgm(depth_path, depth)
    command = ["pamstereogram", "-quiet"] + options
    if pattern is not None:
        pattern_path = os.path.join(work, name + "-pattern.ppm")
        LeafPattern(pattern[0], pattern[1], seed=len(name)).save(pattern_path)
        command.append("-patfile=" + pattern_path)
    pam = subprocess.run(command + [depth_path], check=True, capture_output=True).stdout
    ppm = subprocess.run(["pamtopnm"], input=pam, check=True, capture_output=True).stdout
    ppm_path = os.path.join(work, name + ".ppm")
    with open(ppm_path, "wb") as out:
        out.write(ppm)
    with Image.open(ppm_path) as image:
        # pamstereogram keeps the pattern's maxval; scale grey levels of a small maxval to 0..255.
        SaveSmallPng(image.convert("RGB"), os.path.join(HERE, name + ".png"))


def main():
    cli = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "cli", "nimbrel-cli")
    for tool in ("pamstereogram", "pamtopnm"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (Debian package netpbm)")
    revealed_dir = os.path.join(HERE, "revealed")
    os.makedirs(revealed_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="nimbrel-samples-") as work:
        for name, (depth, options, pattern) in SAMPLES.items():
            Stereogram(work, name, depth(), options, pattern)
            out = os.path.join(work, name + ".png")
            subprocess.run([cli, "--json", "-o", out, os.path.join(HERE, name + ".png")], check=True)
            with Image.open(out) as image:
                SaveSmallPng(image, os.path.join(revealed_dir, name + ".png"))


if __name__ == "__main__":
    main()
