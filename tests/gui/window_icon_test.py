#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Starts an installed nimbrel under Xvfb, opens a stereogram large enough for the progress window
# to show, and checks that the file request, the progress window, the viewer and its notice all
# carry the program's icon in every size (_NET_WM_ICON, read with xprop).
"""Usage: check_installed_gui.py [PROGRAM]   (default /usr/bin/nimbrel)"""
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "gui"))
import guilib  # noqa: E402
from guilib import check  # noqa: E402

ICON_SIZES = {16, 32, 48, 64, 128, 256}
VIEWER = "Nimbrel v0.3a"


def IconSizes(desktop, window):
    """The sizes of the images in the window's _NET_WM_ICON, as xprop lists them."""
    out = desktop.run("xprop", "-len", "4000000", "-id", str(window), "_NET_WM_ICON",
                      check_rc=False)
    return {int(w) for w, h in re.findall(r"Icon \((\d+) x (\d+)\)", out) if w == h}


def CheckIcon(desktop, window, what):
    # Asked again for a moment: a window that has just been mapped may not have all its
    # properties yet.
    deadline = time.time() + 3
    sizes = IconSizes(desktop, window)
    while sizes != ICON_SIZES and time.time() < deadline:
        time.sleep(0.2)
        sizes = IconSizes(desktop, window)
    check(sizes == ICON_SIZES, f"{what} carries icon sizes {sorted(sizes)}, not {sorted(ICON_SIZES)}")
    print(f"{what}: _NET_WM_ICON holds {sorted(sizes)}")


def BigStereogram(folder):
    """A 24000 x 3000 grey pamstereogram of a disc: its search takes a few seconds."""
    from PIL import Image, ImageDraw

    depth = os.path.join(folder, "disc.pgm")
    image = Image.new("L", (24000, 3000), 0)
    ImageDraw.Draw(image).ellipse((8000, 600, 16000, 2400), fill=255)
    image.save(depth)
    out = os.path.join(folder, "disc.png")
    subprocess.run(f"pamstereogram -quiet -grayscale -maxval=255 -randomseed=3 -planes=2400,3000 "
                   f"'{depth}' | pamtopnm | pnmtopng -compression=1 > '{out}'", shell=True,
                   check=True)
    return out


def test(desktop, program):
    picture = BigStereogram(desktop.tmp)
    proc = desktop.start(program)
    chooser = desktop.wait_window("Select stereogram image")
    CheckIcon(desktop, chooser, "file request")
    desktop.choose_file(picture)

    # The progress window ("Nimbrel", 270 x 60) comes and goes before the viewer appears.
    progress = None
    deadline = time.time() + 180
    while time.time() < deadline and not desktop.find_windows(VIEWER):
        for window in desktop.find_windows("Nimbrel"):
            if desktop.client_size(window) == (270, 60) and progress is None:
                progress = window
                CheckIcon(desktop, window, "progress window")
        time.sleep(0.1)
    check(progress is not None, "the progress window never showed")

    viewer = desktop.wait_window(VIEWER, timeout=60)
    CheckIcon(desktop, viewer, "viewer")
    notice = desktop.wait_window("Nimbrel")  # the picture is wider than the desktop
    CheckIcon(desktop, notice, "size notice")
    desktop.key(notice, "Return")
    desktop.wait_window("Nimbrel", gone=True)
    desktop.run("wmctrl", "-i", "-c", hex(viewer))
    desktop.wait_window(VIEWER, gone=True)
    desktop.cancel_request()
    try:
        rc = proc.wait(15)
    except subprocess.TimeoutExpired:
        raise guilib.Failure("the program did not end after the request was cancelled")
    check(rc == 0, f"exit code {rc} after cancel")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.argv.append("/usr/bin/nimbrel")
    guilib.main(test)
