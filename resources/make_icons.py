#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Draws Nimbrel's icon (a lens over a dot pattern that hides a star) as hicolor PNGs and an .ico.
"""Run from anywhere: /usr/bin/python3 resources/make_icons.py

The pattern is a real autostereogram of the star (a strip of coloured dots repeated with a shift
where the star stands out), and the lens shows what Nimbrel makes of it: the star, bright on dark.
Everything is drawn at 1024 pixels and scaled down, so every size comes from the same artwork, and
the random dots come from a fixed seed, so a rerun writes the same files.
"""
import io
import math
import os
import struct

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

HERE = os.path.dirname(os.path.abspath(__file__))
MASTER = 1024
SIZES = (16, 32, 48, 64, 128, 256)

# Dot colours: a warm and a cool family so that the pattern reads as "busy" even at 32 pixels.
DOT_COLOURS = [(0xF2, 0x8C, 0x28), (0xE9, 0x4F, 0x37), (0xF6, 0xC3, 0x3B), (0x2A, 0x9D, 0x8F),
               (0x26, 0x6D, 0xD3), (0x7B, 0x4F, 0xC9), (0x3F, 0xB9, 0x5C)]
BACKDROP = (0x1C, 0x23, 0x3A)
LENS_INSIDE = (0x0B, 0x10, 0x20)
RIM = (0xEE, 0xF1, 0xF6)
RIM_SHADE = (0x8A, 0x93, 0xA6)
HANDLE = (0x4A, 0x52, 0x66)


def StarPolygon(cx, cy, outer, inner, points=5, turn=-math.pi / 2):
    """Corners of a star with `points` tips around (cx, cy), first tip straight up."""
    corners = []
    for i in range(points * 2):
        radius = outer if i % 2 == 0 else inner
        angle = turn + i * math.pi / points
        corners.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
    return corners


def DotStrip(rng, width, height):
    """A strip of overlapping coloured discs that wraps around left to right."""
    strip = Image.new("RGB", (width * 3, height), BACKDROP)
    draw = ImageDraw.Draw(strip)
    for _ in range(int(width * height / 900)):
        x = rng.uniform(0, width)
        y = rng.uniform(-30, height + 30)
        r = rng.uniform(12, 30)
        colour = DOT_COLOURS[int(rng.integers(len(DOT_COLOURS)))]
        for copy in range(3):  # drawn in three copies so the middle third wraps seamlessly
            ox = x + copy * width
            draw.ellipse((ox - r, y - r, ox + r, y + r), fill=colour)
    return np.asarray(strip)[:, width:2 * width].copy()


def Autostereogram(depth, period, max_shift, rng):
    """A texture autostereogram of `depth` (0..1 floats, 1 nearest): each pixel copies the one
    (period - shift) to its left, so the pattern repeats a little sooner where the shape is."""
    height, width = depth.shape
    strip = DotStrip(rng, period, height)
    out = np.zeros((height, width, 3), np.uint8)
    out[:, :period] = strip
    shifts = np.rint(depth * max_shift).astype(int)
    rows = np.arange(height)
    for x in range(period, width):
        out[:, x] = out[rows, x - period + shifts[:, x]]
    return out


def Master(rng):
    """The icon at MASTER x MASTER, RGBA."""
    size = MASTER
    centre_x, centre_y, lens_r = 0.43 * size, 0.43 * size, 0.275 * size

    depth_img = Image.new("L", (size, size), 0)
    ImageDraw.Draw(depth_img).polygon(StarPolygon(centre_x, centre_y, 0.21 * size, 0.09 * size),
                                      fill=255)
    depth = np.asarray(depth_img.filter(ImageFilter.GaussianBlur(6)), np.float32) / 255.0
    pattern = Image.fromarray(Autostereogram(depth, period=size // 6, max_shift=22, rng=rng))

    # Rounded tile holding the pattern, with a thin darker border.
    tile_mask = Image.new("L", (size, size), 0)
    margin, corner = 0.06 * size, 0.19 * size
    ImageDraw.Draw(tile_mask).rounded_rectangle((margin, margin, size - margin, size - margin),
                                                radius=corner, fill=255)
    icon = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    border = Image.new("RGBA", (size, size), BACKDROP + (255,))
    icon.paste(border, (0, 0), tile_mask)
    inner_mask = Image.new("L", (size, size), 0)
    inset = margin + 0.018 * size
    ImageDraw.Draw(inner_mask).rounded_rectangle((inset, inset, size - inset, size - inset),
                                                 radius=corner - 0.018 * size, fill=255)
    icon.paste(pattern.convert("RGBA"), (0, 0), inner_mask)

    draw = ImageDraw.Draw(icon)
    # Handle first, so the rim covers its end.
    angle = math.radians(45)
    start = (centre_x + lens_r * 0.9 * math.cos(angle), centre_y + lens_r * 0.9 * math.sin(angle))
    end = (0.90 * size, 0.90 * size)
    draw.line((start, end), fill=HANDLE, width=int(0.105 * size))
    draw.line((start, end), fill=RIM_SHADE, width=int(0.06 * size))
    draw.ellipse((end[0] - 0.0525 * size, end[1] - 0.0525 * size,
                  end[0] + 0.0525 * size, end[1] + 0.0525 * size), fill=HANDLE)

    # Lens: rim, dark inside, the revealed star glowing in it.
    rim = 0.055 * size
    draw.ellipse((centre_x - lens_r - rim, centre_y - lens_r - rim,
                  centre_x + lens_r + rim, centre_y + lens_r + rim), fill=RIM_SHADE)
    draw.ellipse((centre_x - lens_r - rim * 0.7, centre_y - lens_r - rim * 0.7,
                  centre_x + lens_r + rim * 0.4, centre_y + lens_r + rim * 0.4), fill=RIM)
    draw.ellipse((centre_x - lens_r, centre_y - lens_r, centre_x + lens_r, centre_y + lens_r),
                 fill=LENS_INSIDE)

    star = StarPolygon(centre_x, centre_y + 0.01 * size, 0.21 * size, 0.09 * size)
    glow = Image.new("L", (size, size), 0)
    ImageDraw.Draw(glow).polygon(star, fill=255)
    glow = glow.filter(ImageFilter.GaussianBlur(0.03 * size))
    lens_mask = Image.new("L", (size, size), 0)
    ImageDraw.Draw(lens_mask).ellipse((centre_x - lens_r, centre_y - lens_r,
                                       centre_x + lens_r, centre_y + lens_r), fill=255)
    glow = Image.fromarray((np.asarray(glow, np.float32) * np.asarray(lens_mask) / 255 * 0.8)
                           .astype(np.uint8))
    icon.paste(Image.new("RGBA", (size, size), (0x4F, 0xC3, 0xF7, 255)), (0, 0), glow)
    # The star itself: white at its heart fading to pale cyan at the tips.
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    fade = np.clip(np.hypot(xx - centre_x, yy - centre_y) / (0.21 * size), 0, 1)[..., None]
    heart, tip = np.array([255, 255, 255], np.float32), np.array([0x9F, 0xE6, 0xFF], np.float32)
    fill = (heart * (1 - fade) + tip * fade).astype(np.uint8)
    star_mask = Image.new("L", (size, size), 0)
    ImageDraw.Draw(star_mask).polygon(star, fill=255)
    icon.paste(Image.fromarray(fill, "RGB").convert("RGBA"), (0, 0), star_mask)
    return icon


def Scaled(master, size):
    """master scaled to size x size; small sizes get a touch of sharpening to keep the rim crisp."""
    image = master.resize((size, size), Image.LANCZOS)
    if size <= 48:
        image = image.filter(ImageFilter.UnsharpMask(radius=1, percent=60, threshold=2))
    return image


def PngBytes(image):
    buffer = io.BytesIO()
    image.save(buffer, "PNG", optimize=True)
    return buffer.getvalue()


def PalettizedDib(image):
    """A 48x48-style icon entry: BITMAPINFOHEADER, 256-colour palette, 8-bit colour rows and the
    1-bit transparency mask, both bottom-up."""
    width, height = image.size
    alpha = np.asarray(image.getchannel("A"))
    opaque = alpha >= 128
    # Quantize the colours of the opaque pixels only; palette index 0 is black for the others.
    quantized = image.convert("RGB").quantize(colors=255, method=Image.Quantize.MEDIANCUT,
                             dither=Image.Dither.NONE)
    indices = np.asarray(quantized, np.uint8).astype(np.int32) + 1
    indices[~opaque] = 0
    palette = [0, 0, 0] + quantized.getpalette()[:255 * 3]
    palette += [0] * (256 * 3 - len(palette))

    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    colours = b"".join(struct.pack("<BBBB", palette[3 * i + 2], palette[3 * i + 1],
                                   palette[3 * i], 0) for i in range(256))
    colour_stride = (width + 3) // 4 * 4
    mask_stride = ((width + 31) // 32) * 4
    rows, mask_rows = [], []
    for y in reversed(range(height)):
        rows.append(bytes(indices[y].astype(np.uint8)) + b"\0" * (colour_stride - width))
        bits = np.packbits(~opaque[y]).tobytes()
        mask_rows.append(bits + b"\0" * (mask_stride - len(bits)))
    return header + colours + b"".join(rows) + b"".join(mask_rows)


def IcoFile(entries):
    """An icon directory over (width, height, colour count, bits per pixel, data) entries."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for width, height, colours, bits, data in entries:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, colours % 256, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    return out + b"".join(entry[4] for entry in entries)


def main():
    master = Master(np.random.default_rng(20261211))
    for size in SIZES:
        folder = os.path.join(HERE, "icons", "hicolor", f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "nimbrel.png"), "wb") as out:
            out.write(PngBytes(Scaled(master, size)))
    ico = IcoFile([(48, 48, 0, 8, PalettizedDib(Scaled(master, 48))),
                   (256, 256, 0, 32, PngBytes(Scaled(master, 256)))])
    with open(os.path.join(HERE, "nimbrel.ico"), "wb") as out:
        out.write(ico)


if __name__ == "__main__":
    main()
