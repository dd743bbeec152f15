# SPDX-License-Identifier: MIT
# Drives nimbrel.exe under wine on Xvfb with mouse clicks (no window manager, so no reliable
# keyboard focus): cancel ends it with 0, a missing file gives the error box, PNG, JPEG and GIF
# stereograms are shown pixel for pixel as the Linux command line reveals them, and a large
# picture brings up the progress window.
#
#   wine_gui_check.py NIMBREL_EXE WINDOWS_BUILD_DIR
#
# Needs WINEPREFIX/WINEARCH in the environment (the shell script sets them) and, for the pixel
# comparison, nimbrel-cli from a Linux build (NIMBREL_LINUX_CLI, or built here on demand).
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "gui"))
from pass_test import write_formats  # noqa: E402  the Linux GUI test's stereograms
FAILURES = []


def check(condition, message):
    if condition:
        print("  ok:", message)
    else:
        print("  FAIL:", message)
        FAILURES.append(message)
    return condition


class Desktop:
    """Xvfb and the X tools, with windows found by their exact title."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.display = self._start_xvfb()
        os.environ["DISPLAY"] = self.display

    def _start_xvfb(self):
        for number in range(91, 140):
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            self.xvfb = subprocess.Popen(
                ["Xvfb", f":{number}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                 "-noreset"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            for _ in range(50):
                time.sleep(0.1)
                if os.path.exists(f"/tmp/.X11-unix/X{number}"):
                    return f":{number}"
                if self.xvfb.poll() is not None:
                    break
        raise SystemExit("cannot start Xvfb")

    def stop(self):
        self.xvfb.terminate()
        self.xvfb.wait(10)

    def windows(self, title):
        """(id, x, y, width, height) of every mapped top-level window with exactly this title."""
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
        found = []
        for line in tree.splitlines():
            match = re.match(r'\s+(0x[0-9a-f]+) "(.*)": \(.*\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)', line)
            if match and match.group(2) == title:
                wid, _, w, h, x, y = match.groups()
                found.append((int(wid, 16), int(x), int(y), int(w), int(h)))
        return found

    def wait_window(self, title, timeout=60, gone=False):
        end = time.time() + timeout
        while time.time() < end:
            found = self.windows(title)
            if gone and not found:
                return None
            if found and not gone:
                time.sleep(0.5)  # let it paint
                return self.windows(title)[0]
            time.sleep(0.25)
        return None

    def click(self, x, y):
        subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"], check=True)

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "20", text], check=True)

    def key(self, name):
        subprocess.run(["xdotool", "key", name], check=True)

    def screenshot(self, name):
        path = os.path.join(self.tmp, name + ".png")
        subprocess.run(["import", "-window", "root", path], check=True)
        return np.asarray(Image.open(path).convert("RGB")).astype(int)


# Where the controls sit in wine's file dialog and frames, from the window's outer rectangle.
def file_name_box(w):
    return (w[1] + w[3] - 290, w[2] + w[4] - 61)


def open_button(w):
    return (w[1] + w[3] - 64, w[2] + w[4] - 60)


def cancel_button(w):
    return (w[1] + w[3] - 64, w[2] + w[4] - 32)


def close_button(w):
    return (w[1] + w[3] - 13, w[2] + 13)


def ok_button(w):  # of a message box
    return (w[1] + w[3] // 2, w[2] + w[4] - 25)


FRAME = 3  # wine's fixed frame, each side


def client_area(shot, w, width, height):
    """The client rectangle: framed on the left, right and bottom, the caption above."""
    x = w[1] + (w[3] - width) // 2
    bottom = w[2] + w[4] - (w[3] - width) // 2
    return shot[bottom - height:bottom, x:x + width]


class Program:
    def __init__(self, desktop, exe, log):
        self.desktop = desktop
        self.log = open(log, "w")
        env = dict(os.environ, WINEDEBUG="-all,trace+msgbox")
        self.proc = subprocess.Popen(["wine", exe], stdout=self.log, stderr=subprocess.STDOUT,
                                     env=env, cwd=desktop.tmp)
        self.logpath = log

    def request(self, timeout=120):
        w = self.desktop.wait_window("Select stereogram image", timeout)
        if w is None:
            raise SystemExit("the file request did not come up")
        return w

    def choose(self, unix_path):
        w = self.request()
        self.desktop.click(*file_name_box(w))
        self.desktop.key("ctrl+a")
        self.desktop.type("Z:" + unix_path.replace("/", "\\"))
        self.desktop.click(*open_button(w))

    def cancel(self):
        self.desktop.click(*cancel_button(self.request()))

    def message_texts(self):
        with open(self.logpath, errors="replace") as log:
            return re.findall(r'MSGBOX_OnInit L"(.*)"', log.read())

    def wait(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def write_large_png(path, width=4800, height=1200):
    rng = np.random.default_rng(9)
    Image.fromarray(rng.integers(0, 256, (height, width, 3), dtype=np.uint8)).save(path)


def linux_cli():
    cli = os.environ.get("NIMBREL_LINUX_CLI")
    if cli and os.path.exists(cli):
        return cli
    build = os.path.join(ROOT, "build-win32-linux-cli")
    cli = os.path.join(build, "cli", "nimbrel-cli")
    if not os.path.exists(cli):
        print("building nimbrel-cli for Linux in", build)
        subprocess.run(["nice", "-n", "10", "cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                        "-DNIMBREL_GTK=OFF", "-DNIMBREL_TESTS=OFF", "-DNIMBREL_BENCH=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["nice", "-n", "10", "cmake", "--build", build, "-j2", "--target",
                        "nimbrel-cli"], check=True, stdout=subprocess.DEVNULL)
    return cli


def main():
    exe = os.path.abspath(sys.argv[1])
    tmp = tempfile.mkdtemp(prefix="nimbrel-wine-")
    desktop = Desktop(tmp)
    try:
        run_checks(desktop, exe, tmp)
    finally:
        subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
        desktop.stop()
    if FAILURES:
        print(f"{len(FAILURES)} check(s) failed; screenshots and logs in {tmp}")
        sys.exit(1)


def run_checks(desktop, exe, tmp):
    cli = linux_cli()
    paths = write_formats(tmp)

    print("cancel at the first request")
    started = time.time()
    program = Program(desktop, exe, os.path.join(tmp, "cancel.log"))
    program.request()
    print(f"  file request up after {time.time() - started:.1f} s")
    program.cancel()
    check(program.wait() == 0, "cancel ends the program with exit code 0")
    check(not program.message_texts(), "no message box before the cancel")

    print("a session of passes")
    program = Program(desktop, exe, os.path.join(tmp, "session.log"))
    missing = os.path.join(tmp, "nothing.png")
    program.choose(missing)
    box = desktop.wait_window("Nimbrel", 30)
    if check(box is not None, "a missing file brings up a box titled Nimbrel"):
        check(program.message_texts()[-1:] == ["The file 'nothing.png' does not exist."],
              f"its text: {program.message_texts()[-1:]}")
        shot = desktop.screenshot("missing")[box[2]:box[2] + box[4], box[1]:box[1] + box[3]]
        red = (shot[..., 0] > 180) & (shot[..., 1] < 80) & (shot[..., 2] < 80)
        check(red.sum() > 50, "the box carries the red error icon")
        desktop.click(*ok_button(box))
        viewer = desktop.wait_window("Nimbrel v0.3a", 30)
        if check(viewer is not None, "an empty viewer follows the error"):
            desktop.click(*close_button(viewer))
            check(desktop.wait_window("Nimbrel v0.3a", 30, gone=True) is None,
                  "its close button closes it")

    frame = (2 * FRAME, 2 * FRAME + 19)
    for kind in ("png", "jpeg", "gif"):
        revealed = os.path.join(tmp, kind + "-linux.png")
        subprocess.run([cli, "-o", revealed, paths[kind]], check=True, capture_output=True)
        expected = np.asarray(Image.open(revealed).convert("RGB")).astype(int)
        program.choose(paths[kind])
        viewer = desktop.wait_window("Nimbrel v0.3a", 60)
        if not check(viewer is not None, f"{kind}: the viewer comes up"):
            continue
        height, width = expected.shape[:2]
        frame = (viewer[3] - width, viewer[4] - height)
        check(frame[0] == 2 * FRAME and frame[1] > 2 * FRAME,
              f"{kind}: a {viewer[3]}x{viewer[4]} window around a {width}x{height} client")
        shot = client_area(desktop.screenshot(kind), viewer, width, height)
        same = shot.shape == expected.shape and np.array_equal(shot, expected)
        check(same, f"{kind}: shows exactly what the Linux command line reveals")
        if not same and shot.shape == expected.shape:
            print("    differing pixels:", int((shot != expected).any(axis=2).sum()))
        if kind != "jpeg":  # lossless: the background repeats exactly and comes out black
            check(shot[5:40, 5:40].max() == 0 and shot.max() > 0, f"{kind}: black background, a shape")
        desktop.click(*close_button(viewer))
        desktop.wait_window("Nimbrel v0.3a", 30, gone=True)

    print("a large picture")
    large = os.path.join(tmp, "large.png")
    write_large_png(large)
    program.choose(large)
    chosen = time.time()
    progress = desktop.wait_window("Nimbrel", 120)
    if check(progress is not None, "the progress window comes up"):
        print(f"  after {time.time() - chosen:.1f} s")
        check(time.time() - chosen > 0.9, "not within the first second")
        check((progress[3] - 270, progress[4] - 60) == frame,
              f"its client is 270x60 ({progress[3]}x{progress[4]} outer)")
        area = lambda s: s[progress[2]:progress[2] + progress[4], progress[1]:progress[1] + progress[3]]
        for _ in range(10):  # mapped is not yet painted: under emulation that can take a while
            first = area(desktop.screenshot("progress-1"))
            if first.std() > 10:
                break
            time.sleep(0.5)
        check(first.std() > 10, "the progress window is drawn")
        desktop.click(*close_button(progress))  # no close button there: the caption takes the click
        time.sleep(2)
        second = area(desktop.screenshot("progress-2"))
        if check(desktop.windows("Nimbrel")[:1] == [progress], "still up two seconds later"):
            check(not np.array_equal(first, second), "the bar moves")
    viewer = desktop.wait_window("Nimbrel v0.3a", 600)
    if check(viewer is not None, "the viewer follows the search"):
        check(not desktop.windows("Nimbrel") or desktop.windows("Nimbrel")[0] != progress,
              "the progress window is gone")
        notice = desktop.wait_window("Nimbrel", 30)
        if check(notice is not None, "a notice over the reduced picture"):
            check(program.message_texts()[-1:] ==
                  ["The size of the image has been reduced to fit the current desktop."],
                  f"its text: {program.message_texts()[-1:]}")
            desktop.click(*ok_button(notice))
        check(viewer[3] - 2 * FRAME == 1152, f"viewer reduced to the 1152-pixel limit ({viewer[3]})")
        desktop.click(*close_button(viewer))
        desktop.wait_window("Nimbrel v0.3a", 30, gone=True)

    program.cancel()
    check(program.wait() == 0, "the session ends with exit code 0")


if __name__ == "__main__":
    main()
