#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix and checks what a desktop and a package manager see:
# the files, the icons' real sizes, the .ico entries, the desktop entry and metainfo (validated when
# the validators are installed), manual pages in step with --help, versions that agree, and the
# installed nimbrel-cli revealing an installed sample.
"""Usage: install_test.py BUILD_DIR VERSION GTK(0|1)"""
import gzip
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

BUILD_DIR, VERSION, WITH_GTK = sys.argv[1], sys.argv[2], sys.argv[3] in ("1", "ON", "TRUE")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_ID = "io.github.nimbrel.Nimbrel"
ICON_SIZES = (16, 32, 48, 64, 128, 256)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def PngHeader(data):
    """(width, height, bit depth, colour type) of PNG bytes; None when they are not a PNG."""
    if not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">IIBB", data[16:26])


def DesktopEntry(path):
    """The keys of the [Desktop Entry] group."""
    keys, group = {}, None
    with open(path, encoding="utf-8") as entry:
        for line in entry:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("["):
                group = line
            elif group == "[Desktop Entry]" and "=" in line:
                key, value = line.split("=", 1)
                keys[key.strip()] = value.strip()
    return keys


def ManText(path):
    """A manual page's source with roff's escaped hyphens made plain."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8") as page:
        return page.read().replace("\\-", "-")


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="nimbrel-install-")
        result = subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", cls.prefix],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def Path(self, relative):
        return os.path.join(self.prefix, relative)

    def ManPage(self, name):
        for candidate in (f"share/man/man1/{name}.1.gz", f"share/man/man1/{name}.1"):
            if os.path.exists(self.Path(candidate)):
                return self.Path(candidate)
        self.fail(f"no manual page for {name}")

    def Cli(self, *args):
        return subprocess.run([self.Path("bin/nimbrel-cli"), *args], capture_output=True,
                              text=True, timeout=120)

    def test_files_in_their_places(self):
        desktop = ["bin/nimbrel", "share/applications/nimbrel.desktop",
                   f"share/metainfo/{APP_ID}.metainfo.xml"] + [
            f"share/icons/hicolor/{n}x{n}/apps/nimbrel.png" for n in ICON_SIZES]
        expected = ["bin/nimbrel-cli", "share/doc/nimbrel/copyright",
                    "share/nimbrel/samples/ring.png"] + (desktop if WITH_GTK else [])
        for relative in expected:
            with self.subTest(file=relative):
                self.assertTrue(os.path.isfile(self.Path(relative)), "not installed")
        for program in ("bin/nimbrel-cli", "bin/nimbrel") if WITH_GTK else ("bin/nimbrel-cli",):
            with self.subTest(executable=program):
                self.assertTrue(os.access(self.Path(program), os.X_OK), "not executable")
        if not WITH_GTK:
            # Without the desktop program a menu entry would launch nothing.
            self.assertFalse(os.path.exists(self.Path("share/applications/nimbrel.desktop")))

    def test_icons_are_the_size_their_folder_names(self):
        if not WITH_GTK:
            self.skipTest("no desktop program in this build")
        for size in ICON_SIZES:
            with self.subTest(size=size):
                with open(self.Path(f"share/icons/hicolor/{size}x{size}/apps/nimbrel.png"), "rb") as f:
                    header = PngHeader(f.read())
                self.assertIsNotNone(header, "not a PNG")
                width, height, bits, colour_type = header
                self.assertEqual((width, height), (size, size))
                self.assertEqual((bits, colour_type), (8, 6), "not 8-bit RGBA: corners would not be clear")

    def test_ico_holds_an_8bit_48_and_a_png_256(self):
        with open(os.path.join(SOURCE_DIR, "resources", "nimbrel.ico"), "rb") as f:
            data = f.read()
        reserved, kind, count = struct.unpack("<HHH", data[:6])
        self.assertEqual((reserved, kind), (0, 1), "not an icon directory")
        entries = {}
        for i in range(count):
            width, height, _, _, _, bits, length, offset = struct.unpack(
                "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
            self.assertLessEqual(offset + length, len(data), f"entry {i} runs past the file")
            entries[(width or 256, height or 256)] = (bits, data[offset:offset + length])
        self.assertEqual(set(entries), {(48, 48), (256, 256)})

        bits, dib = entries[(48, 48)]
        size, width, height, planes, bit_count, compression, _, _, _, used = struct.unpack(
            "<IiiHHIIiiI", dib[:36])
        self.assertEqual((size, width, height, planes, bit_count, compression, bits),
                         (40, 48, 96, 1, 8, 0, 8), "48x48 entry is not an uncompressed 8-bit DIB")
        colours = used or 256
        mask_stride = 8  # 48 bits padded to 32-bit rows
        self.assertEqual(len(dib), 40 + 4 * colours + 48 * 48 + mask_stride * 48,
                         "colour table, pixels and mask do not add up")

        _, png = entries[(256, 256)]
        self.assertEqual(PngHeader(png)[:2], (256, 256), "256x256 entry is not a PNG of that size")

    def test_desktop_entry(self):
        if not WITH_GTK:
            self.skipTest("no desktop program in this build")
        path = self.Path("share/applications/nimbrel.desktop")
        keys = DesktopEntry(path)
        for key, value in [("Type", "Application"), ("Name", "Nimbrel"), ("Exec", "nimbrel"),
                           ("Icon", "nimbrel"), ("Terminal", "false")]:
            with self.subTest(key=key):
                self.assertEqual(keys.get(key), value)
        self.assertTrue(keys.get("Comment"), "no Comment")
        self.assertTrue({"Graphics", "Viewer"} <= set(keys.get("Categories", "").split(";")))
        # The menu starts the program by name from PATH; it must be the installed one.
        self.assertTrue(os.path.isfile(self.Path("bin/" + keys["Exec"].split()[0])))
        if shutil.which("desktop-file-validate"):
            result = subprocess.run(["desktop-file-validate", path], capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertNotIn("error", (result.stdout + result.stderr).lower())

    def test_metainfo(self):
        if not WITH_GTK:
            self.skipTest("no desktop program in this build")
        path = self.Path(f"share/metainfo/{APP_ID}.metainfo.xml")
        root = ElementTree.parse(path).getroot()
        self.assertEqual(root.findtext("id"), APP_ID, "id differs from the file name")
        launchable = root.find("launchable[@type='desktop-id']")
        self.assertIsNotNone(launchable)
        self.assertTrue(os.path.isfile(self.Path("share/applications/" + launchable.text)),
                        "launchable names a desktop entry that is not installed")
        for binary in root.iterfind("provides/binary"):
            with self.subTest(binary=binary.text):
                self.assertTrue(os.path.isfile(self.Path("bin/" + binary.text)))
        if shutil.which("appstreamcli"):
            result = subprocess.run(["appstreamcli", "validate", "--no-net", path],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_every_option_of_help_is_in_the_manual(self):
        help_text = self.Cli("--help").stdout
        options = set(re.findall(r"(?m)^\s+(-[-\w]+)", help_text))
        self.assertIn("--repeat-width", options, "could not read the options from --help")
        manual = ManText(self.ManPage("nimbrel-cli"))
        for option in sorted(options):
            with self.subTest(option=option):
                self.assertIn(option, manual)

    def test_versions_agree(self):
        version = self.Cli("--version")
        self.assertEqual(version.returncode, 0)
        self.assertEqual(version.stdout.strip(), f"nimbrel-cli {VERSION}")

        def Parts(text):  # "0.3", "0.3.0.0" and "0, 3, 0, 0" are one version
            parts = [int(p) for p in re.split(r"[.,]\s*", text.strip())]
            while parts and parts[-1] == 0:
                parts.pop()
            return parts

        # Where else the version is written down: file, a pattern whose group is that version.
        places = [("resources/nimbrel-cli.1", r'\.TH \S+ 1 "[^"]*" "Nimbrel ([\d.]+)"'),
                  ("resources/nimbrel.1", r'\.TH \S+ 1 "[^"]*" "Nimbrel ([\d.]+)"'),
                  (f"resources/{APP_ID}.metainfo.xml", r'<release version="([\d.]+)"'),
                  ("resources/nimbrel.rc", r'VALUE "ProductVersion",\s*"([\d.]+)"'),
                  ("resources/nimbrel.rc", r"FILEVERSION\s+([\d, ]+)"),
                  ("resources/nimbrel.rc", r"PRODUCTVERSION\s+([\d, ]+)"),
                  ("resources/nimbrel.manifest", r'name="Nimbrel.Nimbrel" version="([\d.]+)"')]
        for relative, pattern in places:
            with self.subTest(file=relative, pattern=pattern):
                with open(os.path.join(SOURCE_DIR, relative), encoding="utf-8") as f:
                    match = re.search(pattern, f.read())
                self.assertIsNotNone(match, "version not found")
                self.assertEqual(Parts(match.group(1)), Parts(VERSION))

    def test_installed_cli_reveals_an_installed_sample(self):
        out = os.path.join(self.prefix, "ring-revealed.png")
        result = self.Cli("--json", "-o", out, self.Path("share/nimbrel/samples/ring.png"))
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        self.assertEqual(report["repeat_width"], 90)
        with open(out, "rb") as f:
            self.assertEqual(PngHeader(f.read())[:2], (560 - 90, 360))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
