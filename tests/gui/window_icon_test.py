#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The real program under Xvfb opens a stereogram large enough for the progress window to show; the
# file request, the progress window, the viewer and its size notice all carry the program's icon in
# every size (_NET_WM_ICON, read with xprop). packaging/check_deb.sh runs it on the installed program.
"""Usage: window_icon_test.py PROGRAM"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
    for tool in ("pamstereogram", "pamtopnm", "pnmtopng", "xprop", "wmctrl"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed")
            return
    picture = BigStereogram(desktop.tmp)
    proc = desktop.start(program)
    chooser = desktop.wait_window("Select stereogram image")
    CheckIcon(desktop, chooser, "file request")
    desktop.choose_file(picture)

    # The progress window ("Nimbrel", 270 x 60) comes and goes before the viewer appears.
    progress = None
    deadline = time.time() + 180
    while time.time() < deadline and progress is None and not desktop.find_windows(VIEWER):
        for window in desktop.find_windows("Nimbrel"):
            try:
                size = desktop.client_size(window)
            except guilib.Failure:
                continue  # gone between the search and the question
            if size == (270, 60):
                progress = window
                CheckIcon(desktop, window, "progress window")
                break
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


guilib.main(test)
