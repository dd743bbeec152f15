# SPDX-License-Identifier: MIT
# Drives the real nimbrel binary on a private X server with a window manager, as a user would:
# windows found by title, keys typed with xdotool, texts read through the accessibility bus,
# client geometry from xwininfo, screenshots with ImageMagick.
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Desktop:
    """Xvfb + openbox + a D-Bus session with the accessibility bus, torn down on exit."""

    def __init__(self, width=1920, height=1080):
        self.procs = []
        self.programs = []
        self.tmp = tempfile.mkdtemp(prefix="nimbrel-gui-")
        for tool in ("Xvfb", "openbox", "xdotool", "xwininfo", "dbus-launch", "import"):
            if shutil.which(tool) is None:
                print(f"SKIP: {tool} is not installed")
                sys.exit(0)
        # A display number of our own: -displayfd alone can race with other X servers that start
        # at the same moment and hand two of them the same number.
        number = None
        for candidate in random.sample(range(100, 1000), 50):
            if not os.path.exists(f"/tmp/.X{candidate}-lock") and \
                    not os.path.exists(f"/tmp/.X11-unix/X{candidate}"):
                number = str(candidate)
                break
        check(number is not None, "no free X display number")
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", ":" + number, "-displayfd", str(write_fd), "-screen", "0",
             f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        os.read(read_fd, 64)  # the server writes its number once it accepts connections
        # Kept open: a server that regenerates writes the number again and dies if it cannot.
        self.display_fd = read_fd
        self.procs.append(self.xvfb)
        self.env = dict(os.environ)
        self.env["DISPLAY"] = ":" + number
        self.env["GSETTINGS_BACKEND"] = "memory"
        self.env["NO_AT_BRIDGE"] = "0"
        self.env.pop("WAYLAND_DISPLAY", None)
        out = subprocess.run(["dbus-launch", "--sh-syntax"], env=self.env, capture_output=True,
                             text=True, check=True).stdout
        for key in ("DBUS_SESSION_BUS_ADDRESS", "DBUS_SESSION_BUS_PID"):
            # The address comes quoted, the process number bare: KEY='value'; or KEY=value;
            match = re.search(key + r"='?([^';\n]*)'?;", out)
            if match:
                self.env[key] = match.group(1)
        self.dbus_pid = int(self.env.get("DBUS_SESSION_BUS_PID", "0"))
        os.environ.update({k: self.env[k] for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")})
        os.environ["NO_AT_BRIDGE"] = "0"
        subprocess.run(["dbus-update-activation-environment", "DISPLAY"], env=self.env,
                       stderr=subprocess.DEVNULL, check=False)
        self.procs.append(subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(1.0)

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
        if self.dbus_pid:
            try:
                os.kill(self.dbus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        os.close(self.display_fd)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def run(self, *args, check_rc=True):
        result = subprocess.run(list(args), env=self.env, capture_output=True, text=True)
        if check_rc and result.returncode != 0:
            raise Failure(f"{args[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def start(self, program):
        proc = subprocess.Popen([program], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        self.procs.append(proc)
        self.programs.append(proc)
        return proc

    def find_windows(self, title):
        out = self.run("xdotool", "search", "--onlyvisible", "--name", "^" + re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", title) + "$",
                       check_rc=False)
        return [int(w) for w in out.split()]

    def wait_window(self, title, timeout=20.0, gone=False):
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self.find_windows(title)
            if gone and not windows:
                return None
            if windows and not gone:
                time.sleep(0.3)  # let it settle and paint
                return windows[-1]
            time.sleep(0.1)
        raise Failure(f"window {title!r} {'still there' if gone else 'never appeared'}")

    def client_size(self, window):
        out = self.run("xwininfo", "-id", str(window))
        width = int(re.search(r"Width: (\d+)", out).group(1))
        height = int(re.search(r"Height: (\d+)", out).group(1))
        return width, height

    def client_origin(self, window):
        out = self.run("xwininfo", "-id", str(window))
        x = int(re.search(r"Absolute upper-left X:\s+(-?\d+)", out).group(1))
        y = int(re.search(r"Absolute upper-left Y:\s+(-?\d+)", out).group(1))
        return x, y

    def activate(self, window):
        self.run("xdotool", "windowactivate", "--sync", str(window), check_rc=False)
        time.sleep(0.2)

    def key(self, window, *keys):
        self.activate(window)
        self.run("xdotool", "key", "--clearmodifiers", *keys)

    def type_text(self, window, text):
        self.activate(window)
        self.run("xdotool", "type", "--delay", "20", text)

    def choose_file(self, path):
        chooser = self.wait_window("Select stereogram image")
        self.key(chooser, "ctrl+l")
        time.sleep(0.3)
        self.type_text(chooser, path)
        time.sleep(0.3)
        self.key(chooser, "Return")
        return chooser

    def cancel_request(self):
        chooser = self.wait_window("Select stereogram image")
        self.key(chooser, "Escape")

    def screenshot(self, path, window=None):
        self.run("import", "-window", str(window) if window else "root", path)
        return path

    def dialog_texts(self, title, timeout=10.0):
        """The label texts of the program's dialog titled `title`, through AT-SPI."""
        import pyatspi  # needs the session bus set up above

        deadline = time.time() + timeout
        while time.time() < deadline:
            desktop = pyatspi.Registry.getDesktop(0)
            for app in desktop:
                if app is None or app.name not in ("nimbrel",):
                    continue
                for window in app:
                    if window is None or window.name != title:
                        continue
                    if window.getRole() not in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT):
                        continue
                    texts = []

                    def walk(node):
                        for child in node:
                            if child is None:
                                continue
                            if child.getRole() == pyatspi.ROLE_LABEL and child.name:
                                texts.append(child.name)
                            walk(child)

                    walk(window)
                    if texts:
                        return texts
            time.sleep(0.2)
        raise Failure(f"no dialog {title!r} readable on the accessibility bus")


def main(test):
    """Runs test(desktop, program) and exits 0 on success, 1 on failure. The X server, window
    manager and program are torn down on every way out, a timeout's SIGTERM included."""
    program = sys.argv[1]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("FAIL: terminated"))
    desktop = Desktop()
    passed = False
    try:
        test(desktop, program)
        passed = True
    except Failure as failure:
        print("FAIL:", failure)
        try:
            desktop.screenshot(os.path.join(tempfile.gettempdir(), "nimbrel-gui-failure.png"))
        except Failure as again:
            print(again)
        for proc in desktop.programs:
            if proc.poll() is None:
                proc.kill()
            print("program stderr:", proc.stderr.read()[-3000:])
    finally:
        desktop.close()
    print("PASS" if passed else "FAIL")
    sys.exit(0 if passed else 1)
