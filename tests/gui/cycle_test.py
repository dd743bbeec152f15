# SPDX-License-Identifier: MIT
# The real program under Xvfb with openbox: a missing file and an unreadable file give their
# error boxes (with the error icon), the empty viewer follows each and closes by every kind of close request, and
# cancelling ends with exit code 0.
import os
import sys
import time

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(__file__))
import guilib  # noqa: E402
from guilib import check  # noqa: E402

SEND_WM_DELETE = os.path.join(os.environ.get("NIMBREL_BINARY_DIR", "."), "tests", "send_wm_delete")


def close_with_wm_delete(desktop, window):
    desktop.run(SEND_WM_DELETE, str(window))


def close_with_wmctrl(desktop, window):
    desktop.run("wmctrl", "-i", "-c", hex(window))


def close_with_alt_f4(desktop, window):
    desktop.key(window, "alt+F4")


CLOSE_REQUESTS = [
    ("WM_DELETE_WINDOW", close_with_wm_delete),
    ("wmctrl -c", close_with_wmctrl),
    ("alt+F4", close_with_alt_f4),
]


def test(desktop, program):
    notes = os.path.join(desktop.tmp, "notes.txt")
    with open(notes, "w") as out:
        out.write("not a picture\n")
    missing = os.path.join(desktop.tmp, "no such picture.png")
    proc = desktop.start(program)
    for (name, close), (path, expected) in zip(CLOSE_REQUESTS, [
            (missing, "The file 'no such picture.png' does not exist."),
            (notes, "The file 'notes.txt' does not appear to be a valid image."),
            (notes, "The file 'notes.txt' does not appear to be a valid image.")]):
        desktop.choose_file(path)
        box = desktop.wait_window("Nimbrel")
        texts = desktop.dialog_texts("Nimbrel")
        check(expected in texts, f"error box says {texts!r}, not {expected!r}")
        shot = desktop.screenshot(os.path.join(desktop.tmp, "box.png"), box)
        pixels = np.asarray(Image.open(shot).convert("RGB")).astype(int)
        red = (pixels[..., 0] > 150) & (pixels[..., 1] < 80) & (pixels[..., 2] < 80)
        check(red.sum() > 200, "the error box shows no error icon")
        desktop.key(box, "Return")
        viewer = desktop.wait_window("Nimbrel v0.3a")
        width, height = desktop.client_size(viewer)
        check(width <= 1 and height <= 1, f"empty viewer has a {width}x{height} client area")
        # Moving and clicking do not close it.
        desktop.run("xdotool", "mousemove", "--window", str(viewer), "0", "0", "click", "1")
        time.sleep(0.5)
        check(desktop.find_windows("Nimbrel v0.3a"), "a click closed the viewer")
        close(desktop, viewer)
        desktop.wait_window("Nimbrel v0.3a", gone=True)
        print(f"closed the viewer with {name}")
    desktop.cancel_request()
    try:
        rc = proc.wait(15)
    except Exception:
        raise guilib.Failure("the program did not end after the request was cancelled")
    check(rc == 0, f"exit code {rc} after cancel; stderr: {proc.stderr.read()[-2000:]}")


if __name__ == "__main__":
    guilib.main(test)
