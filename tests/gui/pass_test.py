# SPDX-License-Identifier: MIT
# Whole passes of the real program under Xvfb with openbox: stereograms in four formats are
# revealed and shown pixel for pixel as nimbrel-cli computes them, a corrupt PNG gives the error
# box, and a large picture shows the progress window (which ignores close requests) and then the
# reduced-size notice over the viewer.
import os
import subprocess
import sys
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import guilib  # noqa: E402
from guilib import check  # noqa: E402

BINARY_DIR = os.environ.get("NIMBREL_BINARY_DIR", ".")
SEND_WM_DELETE = os.path.join(BINARY_DIR, "tests", "send_wm_delete")
CLI = os.path.join(BINARY_DIR, "cli", "nimbrel-cli")


def make_stereogram(width=600, height=400, far=100, near=88):
    """A random-dot stereogram of a square, from a 16-colour palette (so GIF keeps it exactly)."""
    rng = np.random.default_rng(5)
    palette = rng.integers(0, 256, (16, 3), dtype=np.uint8)
    index = np.zeros((height, width), dtype=np.uint8)
    for y in range(height):
        for x in range(width):
            inside = height // 4 <= y < 3 * height // 4 and width // 3 <= x < 2 * width // 3
            separation = near if inside else far
            index[y, x] = index[y, x - separation] if x >= separation else rng.integers(0, 16)
    return palette[index], index, palette


def write_formats(folder):
    rgb, index, palette = make_stereogram()
    paths = {}
    paths["png"] = os.path.join(folder, "square.png")
    Image.fromarray(rgb).save(paths["png"])
    paths["jpeg"] = os.path.join(folder, "square.jpg")
    Image.fromarray(rgb).save(paths["jpeg"], quality=95)
    paths["tiff"] = os.path.join(folder, "square.tif")
    Image.fromarray(rgb).save(paths["tiff"])
    paths["gif"] = os.path.join(folder, "square.gif")
    gif = Image.fromarray(index, mode="P")
    gif.putpalette(palette.flatten().tolist() + [0] * (768 - palette.size))
    gif.save(paths["gif"])
    return paths


def write_large_bmp(path, width=32000, height=4000):
    rng = np.random.default_rng(9)
    pixels = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    row = width * 3
    header = b"BM" + (54 + row * height).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
    info = (40).to_bytes(4, "little") + width.to_bytes(4, "little") + height.to_bytes(4, "little")
    info += (1).to_bytes(2, "little") + (24).to_bytes(2, "little") + bytes(24)
    with open(path, "wb") as out:
        out.write(header + info + pixels[::-1].tobytes())


def grab(desktop, window, name):
    path = desktop.screenshot(os.path.join(desktop.tmp, name + ".png"), window)
    return np.asarray(Image.open(path).convert("RGB"))


def reveal_in_cli(path, out):
    subprocess.run([CLI, "-o", out, path], check=True, capture_output=True)
    return np.asarray(Image.open(out).convert("RGB"))


def test(desktop, program):
    check(os.path.exists(CLI), f"{CLI} is not built")
    paths = write_formats(desktop.tmp)
    proc = desktop.start(program)

    for kind in ("png", "jpeg", "tiff", "gif"):
        expected = reveal_in_cli(paths[kind], os.path.join(desktop.tmp, kind + "-cli.png"))
        check(expected.shape[1] == 500, f"{kind}: command line found width {600 - expected.shape[1]}")
        desktop.choose_file(paths[kind])
        viewer = desktop.wait_window("Nimbrel v0.3a", timeout=30)
        check(not desktop.find_windows("Nimbrel"), f"{kind}: a message box came up")
        size = desktop.client_size(viewer)
        check(size == (expected.shape[1], expected.shape[0]), f"{kind}: viewer client is {size}")
        shown = grab(desktop, viewer, kind)
        check(shown.shape == expected.shape and np.array_equal(shown, expected),
              f"{kind}: the viewer does not show the revealed picture")
        if kind != "jpeg":  # lossless: the background repeats exactly and comes out black
            check(shown[5:40, 5:40].max() == 0 and shown.max() > 0, f"{kind}: no shape revealed")
        desktop.run(SEND_WM_DELETE, str(viewer))
        desktop.wait_window("Nimbrel v0.3a", gone=True)
        print(f"{kind}: shown as the command line computes it")

    corrupt = os.path.join(desktop.tmp, "corrupt.png")
    with open(paths["png"], "rb") as source, open(corrupt, "wb") as out:
        data = bytearray(source.read())
        data[60:80] = bytes(20)  # damages the image data
        out.write(bytes(data))
    desktop.choose_file(corrupt)
    box = desktop.wait_window("Nimbrel")
    texts = desktop.dialog_texts("Nimbrel")
    expected_text = "The file 'corrupt.png' does not appear to be a valid image."
    check(expected_text in texts, f"corrupt PNG: box says {texts!r}")
    desktop.key(box, "Return")
    viewer = desktop.wait_window("Nimbrel v0.3a")
    desktop.run(SEND_WM_DELETE, str(viewer))
    desktop.wait_window("Nimbrel v0.3a", gone=True)
    print("corrupt PNG: error box")

    large = os.path.join(desktop.tmp, "large.bmp")
    write_large_bmp(large)
    desktop.choose_file(large)
    chosen_at = time.time()
    progress = desktop.wait_window("Nimbrel", timeout=90)
    first = grab(desktop, progress, "progress-1")
    check(time.time() - chosen_at > 0.9, "the progress window came up within the first second")
    check(first.shape[:2] == (60, 270), f"progress window client is {first.shape[1]}x{first.shape[0]}")
    # What the window asks of the window manager: move only, and a title bar only. (openbox keeps
    # its own close button on every window whatever the hints say; the close request is ignored.)
    hints = desktop.run("xprop", "-id", str(progress), "_MOTIF_WM_HINTS").split("=")[-1]
    flags, functions, decorations = (int(v, 16) for v in hints.split(",")[:3])
    check(flags & 3 == 3 and functions == 0x4 and decorations == 0xA,
          f"progress window hints: functions {functions:#x}, decorations {decorations:#x}")
    time.sleep(1.0)
    second = grab(desktop, progress, "progress-2")
    check(not np.array_equal(first, second), "the progress bar did not move in a second")
    desktop.run(SEND_WM_DELETE, str(progress))
    time.sleep(0.3)
    check(desktop.find_windows("Nimbrel") or desktop.find_windows("Nimbrel v0.3a"),
          "a close request ended the progress window early")
    viewer = desktop.wait_window("Nimbrel v0.3a", timeout=120)
    check(progress not in desktop.find_windows("Nimbrel"), "the progress window outlived the search")
    notice = desktop.wait_window("Nimbrel")
    texts = desktop.dialog_texts("Nimbrel")
    check("The size of the image has been reduced to fit the current desktop." in texts,
          f"notice says {texts!r}")
    width, height = desktop.client_size(viewer)
    check(width <= 1728 and height <= 972 and (width == 1728 or height == 972),
          f"reduced viewer is {width}x{height}")
    desktop.key(notice, "Return")
    desktop.run(SEND_WM_DELETE, str(viewer))
    desktop.wait_window("Nimbrel v0.3a", gone=True)
    print(f"large BMP: progress window, then a {width}x{height} viewer with the notice")

    desktop.cancel_request()
    rc = proc.wait(20)
    check(rc == 0, f"exit code {rc}")


if __name__ == "__main__":
    guilib.main(test)
