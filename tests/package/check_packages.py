#!/usr/bin/env python3
"""What a user installs or runs first: the install tree, the .deb, the Windows
.zip, the manual pages, README command 1, and release artifacts that two
builds make byte for byte alike. Needs the release (all four), package,
windows, linux-arm64 and linux-armhf presets built. README command 1 and the release
builds run on fresh clones of the committed HEAD.

Usage: check_packages.py [TestCase[.test_name] ...]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from catalogue import load_messages  # noqa: E402
from runner import emulator_option  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RELEASE = os.path.join(ROOT, "build", "release")
WINDOWS = os.path.join(ROOT, "build", "windows")
VERSION = re.search(r"project\(cylswap VERSION (\d+\.\d+\.\d+)",
                    open(os.path.join(ROOT, "CMakeLists.txt")).read())[1]
MANUALS = ["share/man/man1/cylswap.1.gz", "share/man/ja/man1/cylswap.1.gz"]
DOCS = [f"share/doc/cylswap/{name}" for name in
        ("NEWS.md", "README.ja.md", "README.md", "STORAGE.ja.md", "STORAGE.md", "copyright",
         "changelog.gz")]
NATIVE_ARCH = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                             text=True, check=True).stdout.strip()
# Each Debian package's build folder, architecture and Depends (None: what
# Debian's dpkg-shlibdeps says of this machine's own binary), and the
# processor its binary must be for, as readelf names it.
DEBS = [("package", NATIVE_ARCH, None), ("linux-arm64", "arm64", "libc6 (>= 2.35)"),
        ("linux-armhf", "armhf", "libc6 (>= 2.34)")]
MACHINES = {"amd64": "Advanced Micro Devices X86-64", "arm64": "AArch64", "armhf": "ARM"}


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, check=True, **kwargs)


def clone(folder):
    """A fresh clone of the committed HEAD in `folder`."""
    run("git", "clone", "-q", ROOT, folder)
    return folder


def emulator_of(build):
    """The command prefix a cross build's tests run its binaries with."""
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        found = re.search(r"^CYLSWAP_EMULATOR:\w+=(.*)$", cache.read(), re.M)
    return found[1].split(";") if found and found[1] else []


def files_under(top):
    return sorted(os.path.relpath(os.path.join(folder, name), top)
                  for folder, _, names in os.walk(top) for name in names)


class Packages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cylswap-package-")
        self.addCleanup(shutil.rmtree, self.dir)

    def assert_runs_end_to_end(self, binary, runner=()):
        """The installed binary passes the resize, size and locale cases of
        the e2e suite, under the emulator of its build when it has one."""
        script = os.path.join(ROOT, "tests", "e2e", "cylswap_e2e.py")
        platform = [emulator_option(runner)] if runner else []
        result = subprocess.run([sys.executable, script, *platform, binary,
                                 "Resizes", "Refusals", "Locale"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_install_tree_holds_binary_manuals_and_docs(self):
        run("cmake", "--install", RELEASE, "--prefix", self.dir)
        self.assertEqual(files_under(self.dir), sorted(["bin/cylswap", *MANUALS, *DOCS]))
        self.assert_runs_end_to_end(os.path.join(self.dir, "bin", "cylswap"))

    def test_each_deb_has_its_architecture_contents_and_a_working_binary(self):
        for folder, arch, depends in DEBS:
            with self.subTest(arch=arch):
                build = os.path.join(ROOT, "build", folder)
                unpacked = os.path.join(self.dir, arch)
                self.check_deb(build, arch, depends or self.shlibdeps(build), unpacked)

    def shlibdeps(self, build):
        """What Debian's own tool makes the Depends of a build's binary."""
        os.makedirs(os.path.join(self.dir, "debian"))
        with open(os.path.join(self.dir, "debian", "control"), "w") as control:
            control.write("Source: cylswap\n\nPackage: cylswap\nArchitecture: any\n")
        said = run("dpkg-shlibdeps", "-O", "-e", os.path.join(build, "cylswap"),
                   cwd=self.dir).stdout.decode()
        return said.strip().removeprefix("shlibs:Depends=")

    def check_deb(self, build, arch, depends, unpacked):
        run("cpack", "-G", "DEB", cwd=build)
        deb = os.path.join(build, "packages", f"cylswap_{VERSION}_{arch}.deb")
        # Debian's own checks, pedantic ones included; only informational
        # tags may remain.
        lint = subprocess.run(["lintian", "--pedantic", "--fail-on", "error,warning,pedantic",
                               "--tag-display-limit", "0", deb], capture_output=True, text=True)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)
        fields = {name: run("dpkg-deb", "-f", deb, name).stdout.decode().strip()
                  for name in ("Package", "Version", "Section", "Architecture", "Depends",
                               "Description")}
        self.assertEqual(fields["Package"], "cylswap")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Section"], "utils")
        self.assertEqual(fields["Architecture"], arch)
        self.assertEqual(fields["Depends"], depends)
        self.assertTrue(fields["Description"].startswith("switch a raw 1.25MB floppy image"))
        run("dpkg-deb", "-x", deb, unpacked)
        self.assertEqual(files_under(unpacked),
                         sorted(f"usr/{path}" for path in ["bin/cylswap", *MANUALS, *DOCS]))
        binary = os.path.join(unpacked, "usr", "bin", "cylswap")
        self.assert_hardened(binary, MACHINES[arch])
        self.assert_runs_end_to_end(binary, emulator_of(build))
        manpath = os.path.join(unpacked, "usr", "share", "man")
        found = run("man", "--manpath", manpath, "-w", "cylswap").stdout.decode().strip()
        self.assertEqual(found, os.path.join(unpacked, "usr", MANUALS[0]))
        # Choosing the Japanese page is man's own business once the locale is
        # Japanese; here, that each page renders as what it should say.
        for page, heading in ((MANUALS[0], "NAME"), (MANUALS[1], "\u540d\u524d")):
            shown = run("man", "-l", os.path.join(unpacked, "usr", page),
                        env={**os.environ, "MANPAGER": "cat", "MANWIDTH": "80"}).stdout
            self.assertIn(heading, shown.decode())

    def assert_hardened(self, binary, machine):
        """Code for the package's processor, the C library linked
        dynamically, as a position-independent executable with read-only
        relocations bound at start."""
        header = run("readelf", "-h", "-l", "-d", "-W", binary).stdout.decode()
        self.assertRegex(header, rf"Machine:\s+{re.escape(machine)}\n")
        self.assertRegex(header, r"Type:\s+DYN")
        self.assertIn("GNU_RELRO", header)
        self.assertRegex(header, r"FLAGS_1\)\s+Flags: NOW PIE")
        self.assertIn("Shared library: [libc.so.6]", header)
        self.assertNotIn("libstdc++", header)
        if machine == "ARM":
            self.assertIn("hard-float ABI", header)

    def test_static_binaries_are_one_file_each_for_its_processor(self):
        # (preset, processor, what readelf says of its ABI or instruction
        # set): armel must stay ARMv5TE to run on the ARMv6 Raspberry Pis.
        cases = [("release", MACHINES[NATIVE_ARCH], ""), ("release-arm64", "AArch64", ""),
                 ("release-armhf", "ARM", "hard-float ABI"),
                 ("release-armel", "ARM", "Tag_CPU_arch: v5TE")]
        for preset, machine, marks in cases:
            with self.subTest(preset=preset):
                binary = os.path.join(ROOT, "build", preset, "cylswap")
                header = run("readelf", "-h", "-l", "-d", "-A", "-W", binary).stdout.decode()
                self.assertRegex(header, rf"Machine:\s+{re.escape(machine)}\n")
                self.assertIn("There is no dynamic section", header)
                self.assertNotIn("INTERP", header)
                self.assertIn(marks, header)

    def test_windows_zip_holds_exe_and_readmes(self):
        run("cpack", "-G", "ZIP", cwd=WINDOWS)
        name = f"cylswap-{VERSION}-win64"
        with zipfile.ZipFile(os.path.join(WINDOWS, "packages", name + ".zip")) as archive:
            self.assertEqual(sorted(archive.namelist()),
                             sorted(f"{name}/{file}" for file in ("cylswap.exe", "README.md",
                                                                  "README.ja.md", "STORAGE.md",
                                                                  "STORAGE.ja.md", "NEWS.md",
                                                                  "LICENSE")))
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


class FirstRun(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cylswap-first-")
        self.addCleanup(shutil.rmtree, self.dir)

    @staticmethod
    def command_1(readme):
        """The first shell block of the set-up section, as a reader copies it."""
        with open(os.path.join(ROOT, readme), encoding="utf-8") as file:
            text = file.read()
        section = re.split(r"^## (?:Set-up|セットアップ)$", text, flags=re.M)[1]
        return re.search(r"```sh\n\s*(.+?)\n\s*```", section, re.S)[1]

    def test_readme_command_1_builds_and_runs_the_tool_on_an_image_it_makes(self):
        command = self.command_1("README.md")
        self.assertEqual(self.command_1("README.ja.md"), command)
        checkout = clone(os.path.join(self.dir, "cylswap"))
        image = os.path.join(checkout, "build", "demo.img")
        expected = load_messages()
        dialogue = "".join(expected[name] for name in ("MsgBanner", "MsgCutNotice",
                                                       "MsgConfirmPrompt", "MsgCompleted"))
        # As root, and as a user who may use sudo: a stand-in sudo records its
        # call and runs it only if the tests run as root (the real sudo is
        # never called), and a stand-in id says the user is not root.
        shims = os.path.join(self.dir, "shims")
        os.mkdir(shims)
        for name, body in (("sudo", 'echo "$*" >>"$SUDO_LOG"; [ "$(/usr/bin/id -u)" != 0 ] || exec "$@"'),
                           ("id", 'echo 1000')):
            with open(os.path.join(shims, name), "w") as file:
                file.write(f"#!/bin/sh\n{body}\n")
            os.chmod(os.path.join(shims, name), 0o755)
        log = os.path.join(self.dir, "sudo.log")
        for who, path in (("root", os.environ["PATH"]), ("sudo", f"{shims}:{os.environ['PATH']}")):
            with self.subTest(who=who):
                if who == "root" and os.geteuid() != 0:
                    self.skipTest("needs root: command 1 installs with apt-get")
                result = subprocess.run(["sh", "-c", command], input=b"y\n", cwd=checkout,
                                        capture_output=True, timeout=1800,
                                        env={**os.environ, "PATH": path, "SUDO_LOG": log})
                self.assertEqual(result.returncode, 0, result.stderr[-2000:])
                self.assertTrue(result.stdout.endswith(dialogue.encode()), result.stdout[-500:])
                self.assertEqual(os.path.getsize(image), 77 * 16384)
        with open(log) as file:
            self.assertEqual([line.split()[:2] for line in file],
                             [["apt-get", "update"], ["apt-get", "install"]])

    def test_two_release_builds_are_byte_for_byte_the_same(self):
        sums = []
        # Different folders, one nested deeper, built one after the other.
        for folder in ("a/cylswap", "b/deeper/elsewhere"):
            checkout = clone(os.path.join(self.dir, folder))
            out = os.path.join(self.dir, folder + "-artifacts")
            run("scripts/release.sh", out, cwd=checkout)
            with open(os.path.join(out, "SHA256SUMS")) as file:
                sums.append(file.read())
            run("sha256sum", "-c", "--quiet", "SHA256SUMS", cwd=out)
        self.assertEqual(sums[0], sums[1])
        names = sorted(line.split()[1] for line in sums[0].splitlines())
        self.assertEqual(len(names), 9, names)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
