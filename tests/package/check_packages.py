#!/usr/bin/env python3
"""What a user installs: the install tree, the .deb, the Windows .zip and the
manual pages. Needs the release and windows presets built.

Usage: check_packages.py
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RELEASE = os.path.join(ROOT, "build", "release")
WINDOWS = os.path.join(ROOT, "build", "windows")
VERSION = re.search(r"project\(cylswap VERSION (\d+\.\d+\.\d+)",
                    open(os.path.join(ROOT, "CMakeLists.txt")).read())[1]
MANUALS = ["share/man/man1/cylswap.1", "share/man/ja/man1/cylswap.1"]
DOCS = ["share/doc/cylswap/LICENSE", "share/doc/cylswap/README.ja.md",
        "share/doc/cylswap/README.md"]


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, check=True, **kwargs)


def files_under(top):
    return sorted(os.path.relpath(os.path.join(folder, name), top)
                  for folder, _, names in os.walk(top) for name in names)


class Packages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cylswap-package-")
        self.addCleanup(shutil.rmtree, self.dir)

    def assert_runs_end_to_end(self, binary):
        """The installed binary passes the resize cases of the e2e suite."""
        script = os.path.join(ROOT, "tests", "e2e", "cylswap_e2e.py")
        result = subprocess.run([sys.executable, script, binary, "Resizes", "Locale"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_install_tree_holds_binary_manuals_and_docs(self):
        run("cmake", "--install", RELEASE, "--prefix", self.dir)
        self.assertEqual(files_under(self.dir), sorted(["bin/cylswap", *MANUALS, *DOCS]))
        self.assert_runs_end_to_end(os.path.join(self.dir, "bin", "cylswap"))

    def test_deb_metadata_contents_and_binary(self):
        run("cpack", "-G", "DEB", cwd=RELEASE)
        deb = os.path.join(RELEASE, "packages", f"cylswap_{VERSION}_amd64.deb")
        fields = {name: run("dpkg-deb", "-f", deb, name).stdout.decode().strip()
                  for name in ("Package", "Version", "Section", "Architecture", "Description")}
        self.assertEqual(fields["Package"], "cylswap")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Section"], "utils")
        self.assertEqual(fields["Architecture"], run("dpkg", "--print-architecture").stdout.decode().strip())
        self.assertTrue(fields["Description"].startswith("switch a raw 1.25MB floppy image"))
        run("dpkg-deb", "-x", deb, self.dir)
        self.assertEqual(files_under(self.dir),
                         sorted(f"usr/{path}" for path in ["bin/cylswap", *MANUALS, *DOCS]))
        self.assert_runs_end_to_end(os.path.join(self.dir, "usr", "bin", "cylswap"))
        manpath = os.path.join(self.dir, "usr", "share", "man")
        found = run("man", "--manpath", manpath, "-w", "cylswap").stdout.decode().strip()
        self.assertEqual(found, os.path.join(self.dir, "usr", MANUALS[0]))
        # Choosing the Japanese page is man's own business once the locale is
        # Japanese; here, that each page renders as what it should say.
        for page, heading in ((MANUALS[0], "NAME"), (MANUALS[1], "\u540d\u524d")):
            shown = run("man", "-l", os.path.join(self.dir, "usr", page),
                        env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"}).stdout
            self.assertIn(heading, shown.decode())

    def test_windows_zip_holds_exe_and_readmes(self):
        run("cpack", "-G", "ZIP", cwd=WINDOWS)
        name = f"cylswap-{VERSION}-win64"
        with zipfile.ZipFile(os.path.join(WINDOWS, "packages", name + ".zip")) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             sorted(f"{name}/{file}" for file in
                                    ("cylswap.exe", "README.md", "README.ja.md", "LICENSE")))
            with open(os.path.join(WINDOWS, "cylswap.exe"), "rb") as tested:
                self.assertTrue(archive.read(f"{name}/cylswap.exe") == tested.read(),
                                "the archive must hold the .exe the tests ran")

    def test_manual_pages_lint_clean(self):
        english, japanese = (os.path.join(ROOT, "man", path) for path in ("cylswap.1", "ja/cylswap.1"))
        for command in (["mandoc", "-T", "lint", "-W", "warning", english],
                        ["mandoc", "-T", "lint", "-W", "warning", "-K", "utf-8", japanese],
                        ["groff", "-man", "-Tutf8", "-ww", "-z", english],
                        ["groff", "-k", "-mja", "-man", "-Tutf8", "-ww", "-z", japanese]):
            with self.subTest(command=command[:2]):
                result = subprocess.run(command, capture_output=True, text=True)
                self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
