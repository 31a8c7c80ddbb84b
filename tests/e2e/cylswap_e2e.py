#!/usr/bin/env python3
"""End-to-end behaviours of the real cylswap binary: real files, real pipes,
exact bytes of output, exit status and the file afterwards.

Usage: cylswap_e2e.py [--wine | --emulator=PREFIX] BINARY [TestGroup ...]

With --wine, BINARY is cylswap.exe and runs under Wine (WINEPREFIX and the
other Wine settings come from the environment); the same cases apply, with
CRLF line ends. With --emulator, BINARY is a Linux binary for another
processor and runs under PREFIX (a command and its options, as the shell
splits them: "qemu-aarch64 -L /usr/aarch64-linux-gnu").
"""
import fcntl
import hashlib
import itertools
import os
import pathlib
import pty
import re
import resource
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
from xml.etree import ElementTree

from catalogue import load_messages
from disks import cut_power, fill, race
from runner import split_runner, start_wine_session

RUNNER, WINE, ARGS = split_runner(sys.argv[1:])
BINARY = os.path.abspath(ARGS[0])
with open(BINARY, "rb") as _binary:
    _start = _binary.read(4096)
    # No program interpreter named in its first page: nothing to load first.
    STATIC = b"/ld-linux" not in _start
    # The sanitizers' runtime opens files of its own before the tool starts.
    SANITIZED = b"__asan_init" in _start + _binary.read()
CYL = 16384
FOUR_GIB = 1 << 32
YEAR_2040 = 2208988800 * 10**9  # 2040-01-01, in nanoseconds
DAY = 86400 * 10**9
NOBODY = 65534


MSG = load_messages()


def say(*names):
    text = "".join(MSG[name] for name in names).encode("utf-8")
    return text.replace(b"\n", b"\r\n") if WINE else text


ASKED_TO_CUT = ("MsgBanner", "MsgCutNotice", "MsgConfirmPrompt")
ASKED_TO_GROW = ("MsgBanner", "MsgGrowNotice", "MsgConfirmPrompt")
# A FIFO or a device has no size to cut, on every platform.
NON_REGULAR = (1, "MsgSizeFailed")
NON_REGULAR_SAID = (NON_REGULAR[0], "MsgBanner", NON_REGULAR[1])
# Windows device names, which on Linux name no file at all. Before Windows
# 11, a device name with an extension (NUL.img) named the device too.
DEVICE_NAME = NON_REGULAR if WINE else (1, "MsgOpenFailed")


def wine_env(extra=None):
    """The Wine settings of this run's environment, plus `extra`."""
    keep = {k: v for k, v in os.environ.items() if k.startswith("WINE")}
    return {**keep, **(extra or {})}


class ToolCase(unittest.TestCase):
    """Each test gets its own folder, which is the tool's working folder, so
    images are named by relative paths that mean the same under Wine."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cylswap-")
        os.chmod(self.dir, 0o755)  # reachable by the unprivileged user too
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(os.fsencode(self.dir), os.fsencode(name))

    def image(self, size, name="disk.img", sparse=False):
        """A file of `size` bytes, random unless sparse; returns its name."""
        with open(self.path(name), "wb") as file:
            if sparse:
                file.truncate(size)
            else:
                file.write(os.urandom(size))
        return name

    def read(self, name):
        with open(self.path(name), "rb") as file:
            return file.read()

    def snapshot(self, name, times=True):
        """Size, space taken, bytes (of a regular file: reading a FIFO
        would wait), the time of the last write and (with `times`) the change
        time, or else the time of the last read of a dated image. A grow
        that fails and is given back moves the change time, which nobody can
        set back, but nothing else."""
        info = os.stat(self.path(name))
        digest = None
        if stat.S_ISREG(info.st_mode) and info.st_size <= 2 * 1024 * 1024:
            digest = hashlib.sha256(self.read(name)).hexdigest()
        changed = (info.st_ctime_ns,) if times else (info.st_atime_ns,)
        return (info.st_size, info.st_blocks, digest, info.st_mtime_ns, *changed)

    def date(self, name):
        """Dates the image in 2040, so that a time moved even within its
        second shows, and a time that 32 bits would set back to 1903. It was
        read a day after it was written: reading it again moves neither."""
        os.utime(self.path(name), ns=(YEAR_2040 + DAY, YEAR_2040))

    def command(self, args):
        return [*RUNNER, BINARY, *args]

    def run_tool(self, *args, answer=b"", env=None, prefix=()):
        if env is not None and WINE:
            env = wine_env(env)
        return subprocess.run([*prefix, *self.command(args)], input=answer,
                              capture_output=True, timeout=60, env=env,
                              cwd=self.dir)

    def start_tool(self, *args):
        return subprocess.Popen(self.command(args), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                cwd=self.dir)

    def read_until(self, proc, expected, seconds=20):
        """Reads the child's output until `expected` has arrived, or fails."""
        got = b""
        while len(got) < len(expected):
            ready, _, _ = select.select([proc.stdout], [], [], seconds)
            self.assertTrue(ready, f"output stalled after {got!r}")
            chunk = os.read(proc.stdout.fileno(), 4096)
            self.assertTrue(chunk, f"output ended after {got!r}")
            got += chunk
        self.assertEqual(got, expected)

    def finish(self, proc, answer):
        out, err = proc.communicate(answer, timeout=60)
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)

    def expect(self, result, status, *messages):
        self.assertEqual(result.stdout, say(*messages))
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, status)

    def expect_unchanged(self, name, action, status, *messages, times=True):
        before = self.snapshot(name, times)
        self.expect(action(), status, *messages)
        self.assertEqual(self.snapshot(name, times), before)

    def mount(self, kind):
        """A fresh, small file system of `kind` at the folder of that name
        ("." is the test's own folder). NTFS, exFAT and FAT ("fusefat") are
        the FUSE drivers (ntfs-3g, exfat-fuse, fusefat): this kernel has
        none of them. "ext4-128" keeps its times in whole seconds, as older
        mke2fs made small volumes. exfat-fuse stamps the time of the last
        read on every read that reaches it, the tests' own too: noatime."""
        if kind == "." or os.path.ismount(self.path(kind)):
            return kind
        fuse = {"ntfs": ["ntfs-3g"], "exfat": ["mount.exfat-fuse", "-o", "noatime"],
                "fusefat": ["fusefat", "-o", "rw+"]}.get(kind)
        made = {"ntfs": ["mkfs.ntfs", "-Q", "-F"], "exfat": ["mkfs.exfat"],
                "fusefat": ["mkfs.vfat"], "ext4-128": ["mkfs.ext4", "-q", "-I", "128"]}.get(
                    kind, [f"mkfs.{kind}", "-q"])
        needs = [made[0]] * (kind != "tmpfs") + (fuse or [])[:1]
        if os.geteuid() != 0 or not all(map(shutil.which, needs)):
            self.skipTest(f"needs root and {', '.join(needs)}")
        os.mkdir(self.path(kind))
        command = ["mount", "-t", "tmpfs", "-o", "size=64m", "none", self.path(kind)]
        if kind != "tmpfs":
            volume = self.path(f"{kind}.volume")
            with open(volume, "wb") as file:
                file.truncate((32 if fuse else 320) << 20)  # xfs needs 300 MiB; FUSE fills slowly
            subprocess.run([*made, volume], check=True, capture_output=True)
            command = ["mount", "-o", "loop", volume, self.path(kind)]
            if fuse:  # exfat-fuse wants a block device
                volume = subprocess.run(["losetup", "-f", "--show", volume], check=True,
                                        capture_output=True).stdout.strip()
                self.addCleanup(subprocess.run, ["losetup", "-d", volume], check=True)
                command = [*fuse, volume, self.path(kind)]
        subprocess.run(command, check=True, capture_output=True)
        self.addCleanup(subprocess.run, ["umount", self.path(kind)], check=True)
        return kind

    def fifo_with_a_reader(self, name):
        """A FIFO at `name` with a reader waiting in the kernel for a
        writer: any open for writing lets it go, so it shows whether one
        happened. Returns the reader."""
        os.mkfifo(self.path(name))
        reader = subprocess.Popen(["cat", name], cwd=self.dir, stdout=subprocess.DEVNULL)
        self.addCleanup(reader.kill)  # left waiting, it would hold the test's output open
        wait_until_blocked(reader.pid)
        return reader

    def assert_reader_still_waits(self, reader, name):
        """Nothing opened the FIFO for writing; opening it now lets the
        reader end, which shows that it was waiting for just that."""
        self.assertIsNone(reader.poll(), f"the tool opened {name} for writing")
        os.close(os.open(self.path(name), os.O_WRONLY | os.O_NONBLOCK))
        self.assertEqual(reader.wait(timeout=30), 0)


class Arguments(ToolCase):
    def test_wrong_argument_count_prints_usage_and_touches_nothing(self):
        first, second = self.image(80 * CYL, "a.img"), self.image(77 * CYL, "b.img")
        before = sorted(os.listdir(self.dir)), self.snapshot(first), self.snapshot(second)
        for args in ([], [first, second], ["new1.img", "new2.img", "new3.img"]):
            with self.subTest(args=args):
                self.expect(self.run_tool(*args, answer=b"y\n"), 1, "MsgBanner", "MsgUsage")
                after = sorted(os.listdir(self.dir)), self.snapshot(first), self.snapshot(second)
                self.assertEqual(after, before)

    def test_wildcards_are_not_expanded(self):
        self.image(80 * CYL, "x1.img"), self.image(80 * CYL, "x2.img")
        self.expect(self.run_tool("x*.img", answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")

    def test_image_path_longer_than_260_characters_opens(self):
        folder = "/".join(["d" * 60] * 5)
        os.makedirs(self.path(folder))
        name = self.image(80 * CYL, f"{folder}/disk.img")
        self.assertGreater(len(os.path.join(self.dir, name)), 260)
        self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)

    @unittest.skipIf(WINE, "Windows paths are UTF-16 text, not bytes")
    def test_path_bytes_reach_the_file_system_unaltered(self):
        name = self.image(80 * CYL, b"\xff\xfe-not-utf8.img")
        self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)


class OpenFailures(ToolCase):
    def test_what_cannot_be_opened_or_measured_fails_without_creating_anything(self):
        os.mkdir(self.path("folder"))
        os.mkfifo(self.path("fifo"))
        # A file reached through a drive in the device namespace is that file.
        through_drive = "\\\\.\\Z:" + os.path.join(self.dir, self.image(80 * CYL)).replace("/", "\\")
        cases = [  # argument, exit status, closing message
            ("missing.img", 1, "MsgOpenFailed"),
            ("", 1, "MsgOpenFailed"),
            ("folder", 1, "MsgOpenFailed"),
            ("fifo", *NON_REGULAR),  # never blocks, never cut
            ("/dev/null", *NON_REGULAR),
            ("NUL", *DEVICE_NAME),
            ("COM1", *DEVICE_NAME),
            ("NUL.img", *DEVICE_NAME),
            (through_drive, 0, "MsgCompleted") if WINE else (through_drive, 1, "MsgOpenFailed"),
        ]
        names = sorted(os.listdir(self.dir))
        for name, status, message in cases:
            with self.subTest(name=name):
                said = ASKED_TO_CUT if message == "MsgCompleted" else ("MsgBanner",)
                self.expect(self.run_tool(name, answer=b"y\n"), status, *said, message)
                self.assertEqual(sorted(os.listdir(self.dir)), names)
        self.assertEqual(os.path.getsize(self.path("disk.img")), (77 if WINE else 80) * CYL)

    def test_write_permission_decides_for_every_user_root_included(self):
        # (runs as, owner of the image, mode, status, closing message). A file
        # nobody may write is refused even to root, who could write it anyway.
        # A user who may write a file but does not own it gets no lease to
        # check for other writers with: the image is resized all the same.
        # A FIFO the user may not open is refused as such.
        cases = [("nobody", "nobody", 0o444, 1, "MsgOpenFailed"),
                 ("root", "root", 0o444, 1, "MsgOpenFailed"),
                 ("nobody", "root", 0o666, 0, "MsgCompleted"),
                 ("nobody", "nobody", 0o644, 0, "MsgCompleted"),
                 ("nobody", "root", stat.S_IFIFO | 0o600, 1, "MsgOpenFailed")]
        for user, owner, mode, status, message in cases:
            with self.subTest(user=user, owner=owner, mode=oct(mode)):
                if os.geteuid() != 0 and "root" in (user, owner):
                    self.skipTest("needs root, to run as root and as another user")
                if WINE and user == "root" and status:
                    self.skipTest("Wine run as root writes through a read-only file; "
                                  "Windows refuses it even to administrators")
                if WINE and stat.S_ISFIFO(mode):
                    self.skipTest("Wine shows a FIFO as an empty file")
                prefix, env = self.run_as(user)
                name = f"{user}-{owner}-{mode:o}.img"
                if stat.S_ISFIFO(mode):
                    os.mkfifo(self.path(name))
                else:
                    self.image(80 * CYL, name)
                if owner == "nobody" and os.geteuid() == 0:
                    os.chown(self.path(name), NOBODY, NOBODY)
                os.chmod(self.path(name), stat.S_IMODE(mode))
                run = lambda: self.run_tool(name, answer=b"y\n", env=env, prefix=prefix)
                if status:
                    self.expect_unchanged(name, run, status, "MsgBanner", message)
                else:
                    self.expect(run(), status, *ASKED_TO_CUT, message)
                    self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)

    def run_as(self, user):
        """The prefix and environment that run the tool as `user`: root
        writes through permission bits, so "nobody" is an unprivileged user
        (under Wine, with a prefix of that user's own); without root, it is
        whoever runs the tests."""
        if user == "root" or os.geteuid() != 0:
            return (), None
        prefix = ("setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups")
        if not WINE:
            return prefix, None
        home = os.path.join(os.environ["WINEPREFIX"] + "-nobody")
        env = {"HOME": home, "WINEPREFIX": os.path.join(home, "prefix")}
        os.makedirs(home, exist_ok=True)
        os.chown(home, NOBODY, NOBODY)
        start_wine_session(wine_env(env), prefix)
        return prefix, env


class Refusals(ToolCase):
    def test_unrecognised_sizes_are_refused_without_a_prompt(self):
        sizes = [0, 1, 77 * CYL - 1, 77 * CYL + 1, 80 * CYL - 1, 80 * CYL + 1, 81 * CYL]
        for size in sizes:
            with self.subTest(size=size):
                name = self.image(size)
                self.expect_unchanged(name, lambda: self.run_tool(name, answer=b"y\n"),
                                      0, "MsgBanner", "MsgUnsupported")

    def test_sparse_files_above_4_gib_are_not_mistaken_for_their_low_32_bits(self):
        for size in (FOUR_GIB + 80 * CYL, 5 * 1024 ** 3):
            with self.subTest(size=size):
                name = self.image(size, sparse=True)
                self.expect_unchanged(name, lambda: self.run_tool(name, answer=b"y\n"),
                                      0, "MsgBanner", "MsgUnsupported")


class Resizes(ToolCase):
    def test_confirmed_resize_moves_only_the_end(self):
        cases = [  # cylinders before, answer, cylinders after
            (77, b"y\n", 80), (78, b"Y\n", 77), (79, b"yes\n", 77), (80, b"\n  \n\t y\n", 77),
            (80, "\u3000y\n".encode(), 77),  # the space a Japanese input method types
            (77, b"\xef\xbb\xbfy\r\n", 80)]  # Notepad's answer file, a byte-order mark first
        for before, answer, after in cases:
            with self.subTest(cylinders=before):
                name = self.image(before * CYL)
                original = self.read(name)
                asked = ASKED_TO_GROW if after > before else ASKED_TO_CUT
                self.expect(self.run_tool(name, answer=answer), 0, *asked, "MsgCompleted")
                now = self.read(name)
                self.assertEqual(len(now), after * CYL)
                kept = min(before, after) * CYL
                self.assertTrue(now[:kept] == original[:kept], "kept cylinders changed")
                self.assertEqual(now[kept:], bytes(len(now) - kept))

    @unittest.skipIf(WINE, "Wine's server extends a file sparsely; Windows allocates the range")
    def test_grow_takes_its_space_first_and_fails_on_a_full_disk(self):
        # (file system, cylinders of room left, whether it can grow at all).
        # ntfs-3g and exfat-fuse cannot reserve: the new cylinders are
        # written, so with room for one the grow fails part-way. fusefat
        # refuses to move the end, and ruins a file a write extends.
        cases = [("tmpfs", 0, True), ("ext4", 0, True), ("xfs", 0, True), ("btrfs", 0, True),
                 ("ntfs", 0, True), ("exfat", 0, True), ("ntfs", 1, True), ("exfat", 1, True),
                 ("fusefat", None, False)]
        for kind, room, grows in cases:
            with self.subTest(kind=kind, room=room):
                name = self.image(77 * CYL, f"{self.mount(kind)}/disk.img")
                self.date(name)
                filler = None if room is None else fill(self.path(kind))
                if room:
                    os.truncate(filler, os.path.getsize(filler) - room * CYL)
                self.expect_unchanged(name, lambda: self.run_tool(name, answer=b"y\n"), 1,
                                      *ASKED_TO_GROW, "MsgResizeFailed", times=False)
                if grows:
                    os.remove(filler)
                    self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_GROW,
                                "MsgCompleted")
                    self.assertGreaterEqual(os.stat(self.path(name)).st_blocks * 512, 80 * CYL)
                os.remove(self.path(name))  # room for the next row on the same volume

    @unittest.skipIf(WINE or RUNNER, "the file systems' own doing; one binary shows it")
    def test_power_cut_at_any_step_leaves_a_consistent_volume_and_77_or_80_cylinders(self):
        # Cut after each system call the tool makes on the image once it has
        # the answer, with the disk as written so far and as if synced then.
        # FAT, which cannot hold space past a file's end, is in the share
        # scenarios: this kernel has none.
        if not shutil.which("strace"):
            self.skipTest("needs strace")
        for kind, cylinders in itertools.product(("ext4", "xfs", "btrfs"), (77, 80)):
            with self.subTest(kind=kind, cylinders=cylinders):
                name = self.path(f"{self.mount(kind)}/disk.img").decode()
                for call, synced, wrong in cut_power(
                        self.command([name]), name, cylinders,
                        self.path(f"{kind}.volume").decode(), self.path(kind), kind, UNDER_TRACE):
                    with self.subTest(call=call, synced=synced):
                        self.assertIsNone(wrong)

    def test_round_trip_80_77_80_does_not_restore_cut_cylinders(self):
        name = self.image(80 * CYL)
        original = self.read(name)
        self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_GROW, "MsgCompleted")
        self.assertTrue(self.read(name) == original[:77 * CYL] + bytes(3 * CYL))


class Answers(ToolCase):
    def test_anything_but_y_declines_and_leaves_the_image_unchanged(self):
        answers = [b"n\n", b"N\n", b"x\n", b"1\n", "\uff59\n".encode(), b"\n\n",
                   b"", b"\xff\n"]
        name = self.image(80 * CYL)
        for answer in answers:
            with self.subTest(answer=answer):
                self.expect_unchanged(name, lambda: self.run_tool(name, answer=answer),
                                      0, *ASKED_TO_CUT, "MsgAborted")

    def test_the_whole_prompt_arrives_on_a_pipe_before_the_answer(self):
        name = self.image(77 * CYL)
        proc = self.start_tool(name)
        self.read_until(proc, say(*ASKED_TO_GROW))
        self.assertIsNone(proc.poll(), "the tool must wait for the answer")
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)
        self.expect(self.finish(proc, b"y\n"), 0, "MsgCompleted")
        self.assertEqual(os.path.getsize(self.path(name)), 80 * CYL)


class Sharing(ToolCase):
    @unittest.skipIf(WINE, "Wine keeps Windows sharing apart from POSIX locks and opens")
    def test_image_someone_else_locks_or_has_open_for_writing_is_refused(self):
        # (how the other process holds the image, the file system it is on:
        # leases, which tell of writers, are each file system's own)
        cases = [("lockf", "."), ("writer", "."), ("flock", "."), ("loop", "."), ("lease", "."),
                 ("write lease", "."), ("writer", "tmpfs"), ("writer", "xfs"), ("writer", "btrfs")]
        for how, where in cases:
            with self.subTest(how=how, where=where):
                name = self.image(80 * CYL, f"{self.mount(where)}/{how}.img")
                before = self.snapshot(name)
                let_go = hold(self, how, self.path(name))
                try:
                    started = time.monotonic()
                    self.expect(self.run_tool(name, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
                    # At once: not after a lease holder's 45 s to let go.
                    self.assertLess(time.monotonic() - started, 15)
                finally:
                    let_go()
                self.assertEqual(self.snapshot(name), before)
                self.expect(self.run_tool(name, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")

    def test_image_is_held_against_writers_while_the_prompt_waits(self):
        name = self.image(80 * CYL)
        first = self.start_tool(name)
        self.read_until(first, say(*ASKED_TO_CUT))
        self.expect(self.run_tool(name, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
        if not WINE:
            with open(self.path(name), "r+b") as other:
                with self.assertRaises(OSError):
                    fcntl.lockf(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
            taken = subprocess.run(["flock", "-n", "-x", self.path(name), "true"])
            self.assertEqual(taken.returncode, 1, "flock(1) took the image from the tool")
        self.expect(self.finish(first, b"y\n"), 0, "MsgCompleted")
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)


    @unittest.skipIf(WINE, "Windows sharing keeps these out; tested below")
    def test_file_changed_at_the_prompt_is_left_alone_and_reported(self):
        # What another program does while the question waits (none of them
        # asks for a lock), and what y then gives: status, message, and the
        # name that then holds what (None: no file there).
        cases = [
            ("cp", ["cp", "other.img", "disk.img"], 1, "MsgSeekFailed", "disk.img", "other"),
            ("write in place", ["dd", "if=other.img", "of=disk.img", "bs=512", "count=1",
                                "conv=notrunc", "status=none"], 1, "MsgSeekFailed", "disk.img",
             "written"),
            # The time of the last write is put back.
            ("write, time put back", ["sh", "-c", "touch -r disk.img t && dd if=other.img "
                                      "of=disk.img bs=512 count=1 conv=notrunc status=none && "
                                      "touch -m -r t disk.img"], 1, "MsgSeekFailed", "disk.img",
             "written"),
            # A watch misses it: only the times show it.
            ("write through a map", [sys.executable, "-c", MAP_WRITE], 1, "MsgSeekFailed",
             "disk.img", "written"),
            ("rm", ["rm", "disk.img"], 1, "MsgSeekFailed", "disk.img", None),
            ("mv another over it", ["mv", "other.img", "disk.img"], 1, "MsgSeekFailed",
             "disk.img", "other"),
            ("write-protected", ["chmod", "a-w", "disk.img"], 1, "MsgSeekFailed", "disk.img",
             "original"),
            ("touched", ["touch", "disk.img"], 1, "MsgSeekFailed", "disk.img", "original"),
            # A rename moves the change time too, on every file system tested.
            ("rename", ["mv", "disk.img", "moved.img"], 1, "MsgSeekFailed", "moved.img",
             "original"),
            ("read", ["cat", "disk.img"], 0, "MsgCompleted", "disk.img", "cut"),
        ]
        # exFAT (exfat-fuse) keeps whole seconds and no change time of its
        # own, ext4 with small inodes a change time in whole seconds: there
        # the watch must see it all, but for the write through a map, which
        # only a later second would show.
        for kind in (".", "exfat", "ext4-128"):
            with self.subTest(kind=kind):
                folder = self.mount(kind)
                for what, command, status, message, where, holds in cases:
                    if kind != "." and what == "write through a map":
                        continue
                    with self.subTest(what=what):
                        self.change_at_the_prompt(folder, command, status, message, where, holds)

    def change_at_the_prompt(self, folder, command, status, message, where, holds):
        for leftover in ("disk.img", "other.img", "moved.img", "t"):
            if os.path.exists(self.path(f"{folder}/{leftover}")):
                os.remove(self.path(f"{folder}/{leftover}"))
        original = self.read(self.image(80 * CYL, f"{folder}/disk.img"))
        other = self.read(self.image(1440 * 1024, f"{folder}/other.img"))
        tool = self.start_tool(f"{folder}/disk.img")
        self.read_until(tool, say(*ASKED_TO_CUT))
        subprocess.run(command, cwd=self.path(folder), check=True, stdout=subprocess.DEVNULL)
        self.expect(self.finish(tool, b"y\n"), status, message)
        expected = {"other": other, "written": other[:512] + original[512:],
                    "cut": original[:77 * CYL], "original": original, None: None}[holds]
        where = f"{folder}/{where}"
        now = self.read(where) if os.path.exists(self.path(where)) else None
        self.assertTrue(now == expected, f"{where} holds the wrong bytes")

    @unittest.skipIf(WINE, "Windows sharing keeps writers out")
    def test_change_in_the_clock_step_of_the_measurement_is_seen(self):
        # Another program (no lock, each write its own open) writes the
        # image's first sector every 100 us until the prompt appears, and
        # once more at once: in the clock step of the measurement. ext2 and
        # ext3 stamp their change times once per tick, as every file system
        # does before Linux 6.13. Each run must refuse; caught at the open,
        # the writer wrote a moment too late. Runs: one lucky miss cuts.
        for kind in ("ext2", "ext3"):
            with self.subTest(kind=kind):
                folder = self.mount(kind)
                for run in range(10):
                    name = self.image(80 * CYL, f"{folder}/race{run}.img")
                    self.expect_race_refused(name)

    def expect_race_refused(self, name):
        original = self.read(name)
        sector, did, result = race(self.command([name]), name, say("MsgConfirmPrompt"),
                                   cwd=self.dir)
        self.assertEqual(did, "wrote once more")
        if result.stdout.startswith(say(*ASKED_TO_CUT)):
            self.expect(result, 1, *ASKED_TO_CUT, "MsgSeekFailed")
        else:
            self.expect(result, 1, "MsgBanner", "MsgOpenFailed")
        self.assertTrue(self.read(name) == sector + original[512:], "the image")

    @unittest.skipUnless(WINE, "Windows sharing; the POSIX rows are above")
    def test_what_the_share_mode_lets_others_change_at_the_prompt_is_refused(self):
        # The share mode keeps writers and deleters out, not a handle that
        # asks only to set attributes or times, nor a new link: the write tab
        # set (Wine's own attrib), the hidden attribute (only the change time
        # shows it), a hard link made, the time of the last write set. Each
        # is found before the end moves.
        cases = [("attrib +r", ["wine", "attrib", "+r", "disk.img"]),
                 ("attrib +h", ["wine", "attrib", "+h", "disk.img"]),
                 ("hard link", probe_command("link", "disk.img")),
                 ("time set", probe_command("touch", "disk.img"))]
        for what, command in cases:
            with self.subTest(what=what):
                self.change_at_the_prompt(".", command, 1, "MsgSeekFailed", "disk.img", "original")

    @unittest.skipUnless(WINE, "Windows sharing; POSIX locks are tested above")
    def test_image_another_process_is_writing_is_refused(self):
        name = self.image(80 * CYL)
        before = self.snapshot(name)
        holder = subprocess.Popen(probe_command("hold", name),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=self.dir)
        self.read_until(holder, b"held\r\n")
        self.expect(self.run_tool(name, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
        holder.communicate(b"", timeout=60)
        self.assertEqual(holder.returncode, 0)
        self.assertEqual(self.snapshot(name), before)

    def probe(self, action, name):
        """Another Windows process tries `action` on the image."""
        return subprocess.run(probe_command(action, name),
                              capture_output=True, timeout=60, cwd=self.dir)



def probe_command(action, name):
    """Another Windows process trying `action` on the image (share_probe.cpp)."""
    return ["wine", os.environ["CYLSWAP_SHARE_PROBE"], action, name]


def hold(test, how, path):
    """Another process holding the image at `path`: with a process lock (as
    older programs take; read-only, so only the lock tells), open for writing
    with no lock (as most emulators), with flock(1) (as shell scripts) or as
    a loop device (an image mounted and not unmounted), or with a read or a
    write lease (as a file server caching it; a write lease keeps even readers
    waiting). Returns what lets it go."""
    if how == "loop":
        if os.geteuid() != 0 or not os.path.exists("/dev/loop-control"):
            test.skipTest("needs root and loop devices")
        device = subprocess.run(["losetup", "-f", "--show", path], capture_output=True,
                                check=True, text=True).stdout.strip()
        return lambda: subprocess.run(["losetup", "-d", device], check=True)
    if how == "flock":
        holder = subprocess.Popen(["flock", "-x", path, "-c", "echo held; exec cat"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        test.assertEqual(holder.stdout.readline(), b"held\n")
        return lambda: holder.communicate(b"", timeout=30)
    # Kept open: closing any descriptor of the file would drop the lock, so
    # the test must not look at the file while it is held.
    holder = open(path, "r+b" if how == "writer" else "rb")  # pylint: disable=consider-using-with
    if how == "lockf":
        fcntl.lockf(holder, fcntl.LOCK_SH | fcntl.LOCK_NB)
    if how.endswith("lease"):
        # A lease that is not let go when an open breaks it: an open that
        # waits for it waits the kernel's whole lease-break time, 45 s, and
        # then finds no writer (the holder only reads).
        signal.signal(signal.SIGIO, signal.SIG_IGN)
        fcntl.fcntl(holder, fcntl.F_SETLEASE, fcntl.F_WRLCK if how == "write lease" else fcntl.F_RDLCK)
    return holder.close


# Another program writing the image's first sector through a memory map.
MAP_WRITE = ("import mmap\nwith open('disk.img', 'r+b') as f, open('other.img', 'rb') as o:\n"
             "    m = mmap.mmap(f.fileno(), 512)\n    m[:] = o.read(512)\n    m.close()")


def wine_server_pid():
    """The Wine server of this run's prefix: it works in a folder named after
    the prefix's device and inode."""
    prefix = os.stat(os.environ["WINEPREFIX"])
    folder = f"/server-{prefix.st_dev:x}-{prefix.st_ino:x}"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/cwd").endswith(folder):
                return int(pid)
        except OSError:
            pass
    raise AssertionError(f"no Wine server works in {folder}")


# Where each failure is made to happen, and what the run must then show:
# the file whose call fails (the image, on the test's own disk or on a file
# system of that kind; or the answer), that call on the build machine, the call under
# Wine and which of Wine's processes makes it (its server moves a file's
# end), cylinders before, message, status and cylinders after (None:
# unchanged). The calls are host system calls, as strace sees them.
FAULTS = [
    # The first look at the file is the open's, at what kind of file it is.
    ("size query", "image", "statx::2", ("%fstat", "client"), 80, "MsgSizeFailed", 1, None),
    # An NFS client's cache led the name to a file since replaced: look again.
    ("stale name", "image", "statx:ESTALE", None, 80, "MsgCompleted", 0, 77),
    # The look that makes sure nobody changed the file while the question waited.
    ("check before the end moves", "image", "statx::3", None, 80, "MsgSeekFailed", 1, None),
    # A kernel without statx: the C library's stand-in refuses the flag that
    # asks the server, and the check asks fstat instead.
    ("check without statx", "image", "statx:EINVAL:3", None, 80, "MsgCompleted", 0, 77),
    # Windows moves a file position; POSIX's set-end takes the offset itself.
    ("positioning", "image", None, ("lseek", "client"), 80, "MsgSeekFailed", 1, None),
    ("set-end, cut", "image", "ftruncate", ("ftruncate", "server"), 80, "MsgResizeFailed", 1, None),
    # Wine's server grows a file by writing one byte past the new end, then
    # cutting it back, and trusts the cut.
    ("set-end, grow", "image", "ftruncate", ("pwrite64", "server"), 77, "MsgResizeFailed", 1, None),
    # A grow reserves its space before the end moves; where the file system
    # cannot reserve, the end is set all the same.
    ("reservation, disk full", "image", "fallocate:ENOSPC", None, 77, "MsgResizeFailed", 1, None),
    ("reservation, over quota", "image", "fallocate:EDQUOT", None, 77, "MsgResizeFailed", 1, None),
    # Where it cannot, the new cylinders are written with zeros; a grow that
    # fails part-way is given back, time of the last write included.
    ("reservation unsupported", "image", "fallocate:EOPNOTSUPP", None, 77, "MsgCompleted", 0, 80),
    ("zeros, disk full", "image", "fallocate:EOPNOTSUPP+pwrite64:ENOSPC:2", None, 77,
     "MsgResizeFailed", 1, None),
    # The end moves before anything else, and no write extends the file
    # (fusefat ruins a file that way): a refused set-end ends the grow.
    ("set-end refused", "image", "ftruncate:EPERM", None, 77, "MsgResizeFailed", 1, None),
    # A reservation counts only by the blocks it added: one that says yes
    # and takes nothing (the SMB client) gets zeros written.
    ("reservation that takes nothing, disk full", "image", "fallocate:retval=0+pwrite64:ENOSPC",
     None, 77, "MsgResizeFailed", 1, None),
    # exfat-fuse ignores the time of the last write when it is set alone.
    ("zeros on exFAT, write error", "exfat", "pwrite64", None, 77, "MsgResizeFailed", 1, None),
    # The end has moved but may not be on the device: not done. A cut
    # cannot be undone; a grow is given back (a network share may tell only
    # at the flush that it had no room).
    ("flush", "image", "fdatasync", ("fsync", "client"), 80, "MsgResizeFailed", 1, 77),
    ("flush after a grow", "image", "fdatasync", ("fsync", "client"), 77, "MsgResizeFailed", 1,
     None),
    ("flush after zeros, disk full", "image", "fallocate:EOPNOTSUPP+fdatasync:ENOSPC", None, 77,
     "MsgResizeFailed", 1, None),
    # A file system that cannot sync a file at all has nothing to wait for.
    # Windows: a file system without flushing fails it as an unsupported
    # request (ERROR_INVALID_FUNCTION), which Wine makes of EISDIR.
    ("flush unsupported", "image", "fdatasync:EINVAL", ("fsync:EISDIR", "client"), 80,
     "MsgCompleted", 0, 77),
    # Where flock is a range lock too (NFS, SMB), the tool's own range lock
    # refuses its flock once: that is no other holder.
    ("flock that is the range lock", "image", "flock:EAGAIN", None, 80, "MsgCompleted", 0, 77),
    # A kernel without open-file-description locks: the classic lock instead.
    # (The first fcntl on the image is the lease's.)
    ("no open-file-description locks", "image", "fcntl:EINVAL:2", None, 80, "MsgCompleted", 0,
     77),
    # A read error on standard input is no answer.
    ("answer unreadable", "answer", "read", ("read", "client"), 80, "MsgAborted", 0, None),
    # Storage whose clock is coarse is held only with its watch (no inotify
    # instance left: fs.inotify.max_user_instances).
    ("watch refused", "exfat", "inotify_init1:EMFILE", None, 80, "MsgOpenFailed", 1, None),
]
# Calls that name no file, which strace therefore cannot pick by it: the
# tool makes one each.
PATHLESS = ("inotify_init1",)


# LeakSanitizer cannot run under a tracer; the runs that are not traced keep it.
UNDER_TRACE = {**os.environ, "ASAN_OPTIONS": "detect_leaks=0"}


class Faults(ToolCase):
    """Every failure after the open, made to happen for real: strace fails
    one system call of the real process (or of Wine's server), chosen by the
    file it is made on. Descriptor numbers are no guide: the C library reuses
    them for its locale files."""

    def inject(self, calls, target):
        """strace's options that fail each of `calls` ("name[:error[:which]]",
        joined by "+"; the error may be "retval=N", a success that does
        nothing) on `target` and log them."""
        options = []
        for call in calls.split("+"):
            call, error, when = (call.split(":") + ["", ""])[:3]
            fault = error if "=" in error else f"error={error or 'EIO'}"
            options += ["-e", f"inject={call}:{fault}:when={when or 1}"]
        traced = [call.split(":")[0] for call in calls.split("+")]
        picked = [] if set(traced) & set(PATHLESS) else ["-P", target]
        return ["-y", "-o", os.path.join(self.dir, "trace"), *picked,
                "-e", f"trace={','.join(traced)}", *options]

    def cannot(self, why):
        """A row this machine does not allow is skipped, saying why; as root,
        as the test command runs in CI, it fails instead."""
        if os.geteuid() == 0:
            self.fail(why)
        self.skipTest(why)

    def need_strace(self):
        if not shutil.which("strace"):
            self.cannot("needs strace (Debian strace)")

    def run_failing(self, name, call, target, side):
        self.need_strace()
        with open(self.path("answer"), "wb") as file:
            file.write(b"y\n")
        if side == "server":
            # Not quiet: it says when it has attached. Attaching to a process
            # that is not one's child is what ptrace_scope=1 (Ubuntu's
            # default) refuses to a normal user.
            strace = subprocess.Popen(["strace", *self.inject(call, target),
                                       "-p", str(wine_server_pid())],
                                      stderr=subprocess.PIPE)
            said = strace.stderr.readline()
            if b"attached" not in said:
                strace.communicate(timeout=30)
                self.cannot(f"strace cannot attach to Wine's server: {said.decode().strip()}")
            prefix = ()
        else:
            strace, prefix = None, ("strace", "-f", "-qq", *self.inject(call, target))
        with open(self.path("answer"), "rb") as answer:
            result = subprocess.run([*prefix, *self.command([name])], stdin=answer, env=UNDER_TRACE,
                                    capture_output=True, timeout=60, cwd=self.dir)
        if strace:
            strace.send_signal(signal.SIGINT)
            strace.communicate(timeout=30)
        return result

    def test_each_failure_is_reported_with_its_message_status_and_file(self):
        for row, on, call, wine, before, message, status, after in FAULTS:
            call, side = (wine or (None, None)) if WINE else (call, "process")
            if call is None:
                continue
            with self.subTest(row=row):
                folder = "" if on in ("image", "answer") else f"{self.mount(on)}/"
                name = self.image(before * CYL, f"{folder}{row.replace(' ', '-')}.img")
                self.date(name)
                target = self.path("answer" if on == "answer" else name).decode()
                snapshot = self.snapshot(name, times=False)
                asked = ASKED_TO_GROW if before == 77 else ASKED_TO_CUT
                opened = ("MsgBanner",) if message in ("MsgSizeFailed", "MsgOpenFailed") else asked
                self.expect(self.run_failing(name, call, target, side), status, *opened, message)
                with open(os.path.join(self.dir, "trace")) as trace:
                    injected = [line for line in trace if "(INJECTED)" in line]
                self.assertEqual(len(injected), call.count("+") + 1, injected)
                for line in injected:
                    if not line.split()[1].startswith(PATHLESS):
                        self.assertIn(f"<{target}>", line)
                if after is None:
                    self.assertEqual(self.snapshot(name, times=False), snapshot)
                else:
                    self.assertEqual(os.path.getsize(self.path(name)), after * CYL)


    @unittest.skipIf(WINE, "the POSIX file layer")
    def test_name_swapped_after_the_first_open_is_not_followed(self):
        # The name is opened once, to learn what kind of file it is; all
        # else opens that same file, through /proc. strace holds the first
        # open back while the image is renamed and something else takes its
        # name: a FIFO with a reader waiting must never be opened. Without
        # /proc (as in a bare chroot; here the tool's own descriptor folder
        # is hidden in a mount namespace, since the sanitizers need the rest),
        # the name is opened again and kept only if it still leads to the image.
        self.need_strace()
        no_proc = ("unshare", "-m", "sh", "-c", 'mount -t tmpfs none /proc/$$/fd && exec "$@"',
                   "sh")
        cases = [  # /proc, what takes the name (None: nothing), status, message, cylinders after
            (True, "fifo", 0, "MsgCompleted", 77),
            (False, None, 0, "MsgCompleted", 77),
            (False, "other", 1, "MsgOpenFailed", 80),
        ]
        for number, (proc, swapped_in, status, message, cylinders) in enumerate(cases):
            with self.subTest(proc=proc, swapped_in=swapped_in):
                if not proc and os.geteuid() != 0:
                    self.skipTest("needs root, for a mount namespace")
                name, moved = self.image(80 * CYL, f"disk{number}.img"), f"moved{number}.img"
                original = self.read(name)
                if swapped_in == "fifo":
                    reader = self.fifo_with_a_reader(swapped_in)
                elif swapped_in:
                    other = self.read(self.image(80 * CYL, swapped_in))
                path = self.path(name).decode()  # as strace matches it
                held_back = ["strace", "-f", "-qq", "-o", os.devnull, "-P", path, "-e",
                             "trace=openat", "-e", "inject=openat:delay_exit=2000000:when=1"]
                tool = subprocess.Popen([*held_back, *(() if proc else no_proc),
                                         *self.command([path])], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        cwd=self.dir, env=UNDER_TRACE)
                time.sleep(1)
                if swapped_in:
                    os.rename(self.path(name), self.path(moved))
                    os.rename(self.path(swapped_in), self.path(name))
                opened = ASKED_TO_CUT if status == 0 else ("MsgBanner",)
                self.expect(self.finish(tool, b"y\n"), status, *opened, message)
                image_now = self.read(moved if swapped_in else name)
                self.assertTrue(image_now == original[:cylinders * CYL], "the image")
                if swapped_in == "fifo":
                    self.assert_reader_still_waits(reader, name)
                elif swapped_in:
                    self.assertTrue(self.read(name) == other, "the file swapped in was changed")

    @unittest.skipIf(WINE, "the POSIX file layer")
    def test_only_storage_with_coarse_times_is_watched(self):
        # Closing a watch waits up to 18 ms on a busy machine: storage whose
        # change time shows every change must not pay for one. ntfs-3g keeps
        # a true one, in steps of 100 ns.
        self.need_strace()
        for kind, watches in ((".", 0), ("tmpfs", 0), ("ntfs", 0), ("exfat", 1), ("ext4-128", 1)):
            with self.subTest(kind=kind):
                name = self.image(80 * CYL, f"{self.mount(kind)}/disk.img")
                trace = os.path.join(self.dir, "trace")
                traced = ("strace", "-f", "-qq", "-o", trace, "-e", "trace=inotify_init,inotify_init1")
                self.expect(self.run_tool(name, answer=b"y\n", env=UNDER_TRACE, prefix=traced), 0,
                            *ASKED_TO_CUT, "MsgCompleted")
                with open(trace) as file:
                    self.assertEqual(sum("inotify_init" in line for line in file), watches)

    @unittest.skipIf(WINE, "POSIX resource limits; Wine's server moves the end")
    def test_file_size_limit_fails_the_grow_and_keeps_the_image(self):
        name = self.image(77 * CYL)
        limited = ("sh", "-c", 'ulimit -f 1250 && exec "$@"', "sh")  # 1,280,000 bytes
        # Not even the change time moves: nothing is tried past the limit.
        self.expect_unchanged(name, lambda: self.run_tool(name, answer=b"y\n", prefix=limited),
                              1, *ASKED_TO_GROW, "MsgResizeFailed")


class OddFiles(ToolCase):
    def test_device_is_measured_without_being_opened(self):
        # Opening a device alone can rewind a tape or arm a watchdog. A FIFO
        # shows an open without root: it lets a waiting reader go. Under
        # Wine, the serial port COM9 is made that FIFO.
        reader = self.fifo_with_a_reader("fifo")
        names = ["fifo"]
        if WINE:
            port = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "com9")
            os.symlink(self.path("fifo"), port)
            self.addCleanup(os.remove, port)
            names = ["COM9", "\\\\.\\COM9"]  # its name, and its path in the device namespace
        for name in names:
            self.expect(self.run_tool(name, answer=b"y\n"), *NON_REGULAR_SAID)
        self.assert_reader_still_waits(reader, "fifo")


    def test_symbolic_link_is_followed_and_stays_a_link(self):
        name = self.image(80 * CYL)
        os.symlink(name, self.path("link.img"))
        self.expect(self.run_tool("link.img", answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.assertTrue(os.path.islink(self.path("link.img")))
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)

    def test_append_only_and_immutable_images_are_refused(self):
        for flag in ("+a", "+i"):
            with self.subTest(flag=flag):
                name = self.image(80 * CYL, f"flag{flag[1]}.img")
                made = subprocess.run(["chattr", flag, self.path(name)], capture_output=True)
                if made.returncode != 0:
                    self.skipTest(f"this file system refuses chattr {flag}: {made.stderr!r}")
                self.addCleanup(subprocess.run, ["chattr", "-" + flag[1], self.path(name)])
                self.expect_unchanged(name, lambda: self.run_tool(name, answer=b"y\n"),
                                      1, "MsgBanner", "MsgOpenFailed")


class Streams(ToolCase):
    def run_shell(self, redirect, name, answer=b""):
        """Runs the tool with a standard stream redirected by the shell."""
        return subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh",
                               *self.command([name])],
                              input=answer, capture_output=True, timeout=60, cwd=self.dir)

    def test_closed_or_empty_input_declines_even_when_the_image_starts_with_y(self):
        name = self.image(80 * CYL)
        with open(self.path(name), "r+b") as file:
            file.write(b"y\n")
        for redirect in ("<&-", "</dev/null"):
            with self.subTest(redirect=redirect):
                self.expect_unchanged(name, lambda: self.run_shell(redirect, name),
                                      0, *ASKED_TO_CUT, "MsgAborted")

    def test_closed_streams_or_full_output_change_neither_status_nor_file(self):
        # Closed, the image must not take standard output's place; full, the
        # lost messages must not change what is done or reported.
        # With all three closed, the image must not take any of their places.
        cases = [(">&-", b"n\n", 80), (">&-", b"y\n", 77),  # redirect, answer, cylinders
                 (">/dev/full", b"n\n", 80), (">/dev/full", b"y\n", 77),
                 ("<&- >&- 2>&-", b"y\n", 80)]
        for redirect, answer, cylinders in cases:
            with self.subTest(redirect=redirect, answer=answer):
                name = self.image(80 * CYL)
                original = self.read(name)
                result = self.run_shell(redirect, name, answer)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"", b""))
                self.assertTrue(self.read(name) == original[:cylinders * CYL], "image changed")

    @unittest.skipIf(WINE or RUNNER or SANITIZED,
                     "POSIX descriptor limits; qemu-user and the sanitizers need descriptors too")
    def test_descriptor_limit_never_puts_the_image_in_a_standard_stream(self):
        # At a limit of three descriptors or fewer the image can have no
        # number above the standard streams': whichever of them are closed,
        # it must never be opened, or the prompt would be written into it.
        # A dynamically linked binary's loader may find no descriptor first.
        for limit, closed in itertools.product((1, 2, 3), range(8)):
            closing = [fd for fd in range(3) if closed >> fd & 1]
            with self.subTest(limit=limit, closed=closing):
                name = self.image(80 * CYL)
                original = self.read(name)
                def limited(closing=closing, limit=limit):
                    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
                    for fd in closing:
                        os.close(fd)
                result = subprocess.run(self.command([name]), input=b"y\n", capture_output=True,
                                        timeout=60, cwd=self.dir, preexec_fn=limited)
                if STATIC or min(closing, default=3) < limit:
                    out = b"" if 1 in closing else say("MsgBanner", "MsgOpenFailed")
                    self.assertEqual((result.returncode, result.stdout, result.stderr), (1, out, b""))
                else:
                    self.assertEqual(result.returncode, 127, "the loader should have failed")
                self.assertTrue(self.read(name) == original, "image changed")

    @unittest.skipIf(WINE, "POSIX signals")
    def test_reader_gone_before_the_report_leaves_status_true_to_the_file(self):
        cases = [(b"y\n", 77, 0), (b"n\n", 80, 0)]
        for answer, cylinders, status in cases:
            with self.subTest(answer=answer):
                name = self.image(80 * CYL)
                proc = self.start_tool(name)
                self.read_until(proc, say(*ASKED_TO_CUT))
                proc.stdout.close()
                proc.stdin.write(answer)
                proc.stdin.close()
                self.assertEqual(proc.wait(timeout=30), status)
                proc.stderr.close()
                self.assertEqual(os.path.getsize(self.path(name)), cylinders * CYL)

    def test_full_output_pipe_delays_the_prompt_and_the_answer_with_it(self):
        name = self.image(80 * CYL)
        reader, writer = os.pipe()
        os.set_blocking(writer, False)
        filler = b""
        try:
            while True:
                filler += b"." * os.write(writer, b"." * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(writer, True)
        proc = subprocess.Popen(self.command([name]), stdin=subprocess.PIPE, stdout=writer,
                                stderr=subprocess.PIPE, cwd=self.dir)
        os.close(writer)
        proc.stdin.write(b"y\n")
        proc.stdin.close()
        # Blocked on the prompt, the tool has not taken the answer yet.
        time.sleep(1)
        self.assertIsNone(proc.poll())
        self.assertEqual(os.path.getsize(self.path(name)), 80 * CYL)
        with os.fdopen(reader, "rb") as pipe:
            out = pipe.read()
        self.assertEqual(proc.wait(timeout=60), 0)
        proc.stderr.close()
        self.assertEqual(out, filler + say(*ASKED_TO_CUT, "MsgCompleted"))
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)

    @unittest.skipIf(WINE or not shutil.which("strace"), "POSIX signals; strace")
    def test_signal_after_the_answer_lets_the_grow_complete(self):
        # Zeros written slowly, as to a share; the signal comes between two.
        slowed = ("strace", "-f", "-qq", "-o", os.devnull, "-e",
                  "inject=fallocate:error=EOPNOTSUPP", "-e", "inject=pwrite64:delay_exit=400000")
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=sig):
                original = self.read(name := self.image(77 * CYL, f"{sig.name}.img"))
                proc = subprocess.Popen([*slowed, *self.command([name])], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        cwd=self.dir, env=UNDER_TRACE)
                self.read_until(proc, say(*ASKED_TO_GROW))
                proc.stdin.write(b"y\n")
                proc.stdin.flush()
                time.sleep(0.6)
                tool = pathlib.Path(f"/proc/{proc.pid}/task/{proc.pid}/children").read_text()
                os.kill(int(tool), sig)
                self.expect(self.finish(proc, b""), 0, "MsgCompleted")
                self.assertTrue(self.read(name) == original + bytes(3 * CYL), "the image")

    @unittest.skipIf(WINE, "POSIX signals")
    def test_interrupt_or_kill_at_the_prompt_leaves_the_image_unchanged(self):
        for sig in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=sig):
                name = self.image(80 * CYL)
                before = self.snapshot(name)
                proc = self.start_tool(name)
                self.read_until(proc, say(*ASKED_TO_CUT))
                proc.send_signal(sig)
                self.assertEqual(self.finish(proc, b"y\n").returncode, -sig)
                self.assertEqual(self.snapshot(name), before)


def wait_until_blocked(pid):
    """Waits until process `pid` waits in the kernel for a FIFO's other end
    (where the kernel hides that, gives it a moment)."""
    deadline = time.monotonic() + 10
    while (where := pathlib.Path(f"/proc/{pid}/wchan").read_text()) != "wait_for_partner":
        if where == "0":
            return time.sleep(0.5)
        assert time.monotonic() < deadline, f"process {pid} never blocked on the FIFO"
        time.sleep(0.01)
    return None


def inode_locked(path):
    """Whether any process holds a lock on the file at `path`."""
    inode = f":{os.stat(path).st_ino} "
    with open("/proc/locks") as locks:
        return any(inode in line for line in locks)


class Peers(ToolCase):
    """Real programs that use the same images."""

    @unittest.skipIf(WINE, "QEMU's image locks are POSIX locks")
    @unittest.skipUnless(shutil.which("qemu-io"), "qemu-io not installed (Debian qemu-utils)")
    def test_qemu_and_cylswap_each_refuse_an_image_the_other_holds(self):
        name = self.image(80 * CYL)
        before = self.snapshot(name)
        qemu = subprocess.Popen(["qemu-io", "-f", "raw", name], cwd=self.dir,
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not inode_locked(self.path(name)) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.expect(self.run_tool(name, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
        qemu.communicate(b"quit\n", timeout=30)
        self.assertEqual(self.snapshot(name), before)

        tool = self.start_tool(name)
        self.read_until(tool, say(*ASKED_TO_CUT))
        reader = subprocess.run(["qemu-io", "-f", "raw", "-c", "read 0 512", name],
                                cwd=self.dir, capture_output=True, timeout=30)
        self.assertNotEqual(reader.returncode, 0)
        self.assertIn(b"Failed to lock", reader.stderr)
        self.expect(self.finish(tool, b"y\n"), 0, "MsgCompleted")

    @unittest.skipUnless(shutil.which("mformat"), "mtools not installed")
    def test_fat_volume_reads_the_same_after_growing_and_cutting(self):
        name = self.image(77 * CYL, sparse=True)
        image = self.path(name).decode()
        mtools = lambda *args: subprocess.run([*args[:1], "-i", image, *args[1:]],
                                              capture_output=True, check=True).stdout
        # The 1.25MB format: 77 cylinders, 2 heads, 8 sectors of 1024 bytes.
        mtools("mformat", "-T", "1232", "-h", "2", "-s", "8", "-M", "1024", "::")
        files = {"SMALL.TXT": b"hello\r\n", "RANDOM.BIN": os.urandom(300000)}
        for file_name, data in files.items():
            with open(self.path(file_name), "wb") as file:
                file.write(data)
            mtools("mcopy", self.path(file_name).decode(), "::" + file_name)
        listing = mtools("mdir", "-b", "::")
        for answer, cylinders, grown in ((b"y\n", 80, True), (b"y\n", 77, False)):
            asked = ASKED_TO_GROW if grown else ASKED_TO_CUT
            self.expect(self.run_tool(name, answer=answer), 0, *asked, "MsgCompleted")
            self.assertEqual(os.path.getsize(image), cylinders * CYL)
            self.assertEqual(mtools("mdir", "-b", "::"), listing)
            for file_name, data in files.items():
                self.assertTrue(mtools("mtype", "::" + file_name) == data, file_name)


class Locale(ToolCase):
    def test_messages_are_utf8_whatever_the_environment(self):
        # The last row hides every locale and conversion-module folder in a
        # private mount namespace, as on a system that has none.
        hidden = ("unshare", "-m", "sh", "-c", 'for d in /usr/lib/locale /usr/lib/*/gconv '
                  '/usr/*/lib/gconv; do [ ! -d "$d" ] || mount -t tmpfs none "$d" || exit 99; '
                  'done; exec "$@"', "sh")
        for env, prefix in (({}, ()), ({"LC_ALL": "C"}, ()), ({"LANG": "POSIX"}, ()),
                            ({"LC_ALL": "ja_JP.UTF-8"}, ()), ({}, hidden)):
            with self.subTest(env=env, prefix=prefix[:1]):
                if prefix and (WINE or os.geteuid() != 0):
                    self.skipTest("needs root and POSIX locales")
                name = self.image(77 * CYL)
                self.expect(self.run_tool(name, answer=b"y\n", env=env, prefix=prefix), 0,
                            *ASKED_TO_GROW, "MsgCompleted")

    @unittest.skipIf(WINE, "POSIX locales")
    def test_installed_japanese_locale_writes_and_reads_the_same(self):
        source = "/usr/share/i18n/locales/ja_JP"
        if not os.path.exists(source):
            self.skipTest(f"no {source} to build the locale from (Debian locales)")
        # Build ja_JP.UTF-8 privately; LOCPATH makes the tool find it.
        locales = os.path.join(self.dir, "locales")
        os.mkdir(locales)
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                        os.path.join(locales, "ja_JP.UTF-8")], check=True, capture_output=True)
        name = self.image(80 * CYL)
        for answer, outcome in (("\uff59\n", "MsgAborted"), ("y\n", "MsgCompleted")):
            with self.subTest(answer=answer):
                self.expect(self.run_tool(name, answer=answer.encode(), env={"LOCPATH": locales}),
                            0, *ASKED_TO_CUT, outcome)


class Console(ToolCase):
    """Under Wine a terminal becomes a Windows console: the texts must show
    there too, and the answer typed there must count."""

    def converse(self, name, keys, held=None):
        """Runs the tool in a terminal, types `keys` at the prompt, and gives
        what the screen shows and the exit status. With `held`, strace holds
        the tool in that call once the keys are typed, SIGINT (Ctrl+C to a
        console) arrives meanwhile, and the thread it makes runs ahead."""
        pid, terminal = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execvp("wine", ["wine", BINARY, name])
        screen = b""
        def read_while(more):
            nonlocal screen
            while more():
                ready, _, _ = select.select([terminal], [], [], 30)
                chunk = os.read(terminal, 4096) if ready else b""
                if not chunk:
                    return
                screen += chunk
        text = lambda: re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|[\r ]", b"", screen)
        prompt = MSG["MsgConfirmPrompt"].replace(" ", "").encode()
        read_while(lambda: prompt not in text())
        # Type only once the console has put the terminal in raw mode, as a
        # person would some moments later: keys typed before that are taken
        # by the terminal's own line editing.
        deadline = time.monotonic() + 30
        while termios.tcgetattr(terminal)[3] & termios.ICANON and time.monotonic() < deadline:
            time.sleep(0.02)
        if held:
            log = self.hold_in(pid, held)
        os.write(terminal, keys)
        if held:
            while "(DELAYED)" not in pathlib.Path(log).read_text():
                self.assertLess(time.monotonic(), deadline + 30, f"never held in {held}")
                time.sleep(0.02)
            os.kill(pid, signal.SIGINT)
        try:
            read_while(lambda: True)
        except OSError:  # the terminal closes when the tool exits
            pass
        _, status = os.waitpid(pid, 0)
        os.close(terminal)
        return text(), os.waitstatus_to_exitcode(status)

    def hold_in(self, pid, call):
        """Attaches strace to `pid`: it holds the process a second after
        `call`, and the thread that makes a new thread (Wine turns SIGINT
        into a thread that runs the Ctrl+C handlers) a second after that.
        Returns its log."""
        if not shutil.which("strace"):
            self.skipTest("needs strace")
        log = os.path.join(self.dir, "trace")
        tracer = subprocess.Popen(
            ["strace", "-f", "-qq", "-p", str(pid), "-o", log, "-e", f"trace={call},clone,clone3",
             "-e", f"inject={call}:delay_exit=1000000",
             "-e", "inject=clone,clone3:delay_exit=1000000"])
        self.addCleanup(tracer.wait, 60)
        while "TracerPid:\t0\n" in pathlib.Path(f"/proc/{pid}/status").read_text():
            time.sleep(0.01)
        return log

    @unittest.skipUnless(WINE, "the Windows console")
    def test_ctrl_c_ends_the_tool_at_the_prompt_and_waits_once_answered(self):
        # At the prompt, Ctrl+C ends the tool at once, nothing changed (Wine
        # exits with 0; Windows with STATUS_CONTROL_C_EXIT). Once the answer
        # is in, it waits: here it comes during the flush of a cut.
        name = self.image(80 * CYL)
        shown, status = self.converse(name, b"\x03")
        self.assertEqual((shown, status), (re.sub(rb"[\r ]", b"", say(*ASKED_TO_CUT)), 0))
        self.assertEqual(os.path.getsize(self.path(name)), 80 * CYL)
        shown, status = self.converse(name, b"y\r", held="fsync")
        expected = say(*ASKED_TO_CUT) + b"y\n" + say("MsgCompleted")
        self.assertEqual((shown, status), (re.sub(rb"[\r ]", b"", expected), 0))
        self.assertEqual(os.path.getsize(self.path(name)), 77 * CYL)

    @unittest.skipUnless(WINE, "the Windows console")
    def test_console_shows_every_text_and_takes_the_typed_answer(self):
        cases = [(b"y\r", 77, "MsgCompleted"), (b"\xef\xbd\x99\r", 80, "MsgAborted")]
        for keys, cylinders, outcome in cases:
            with self.subTest(keys=keys):
                name = self.image(80 * CYL)
                shown, status = self.converse(name, keys)
                # The screen holds the echoed answer; spaces are drawn as
                # cursor moves, so compare without them.
                typed = keys.rstrip(b"\r")
                expected = (say(*ASKED_TO_CUT) + typed + b"\n" + say(outcome))
                self.assertEqual(shown, re.sub(rb"[\r ]", b"", expected))
                self.assertEqual(status, 0)
                self.assertEqual(os.path.getsize(self.path(name)), cylinders * CYL)


class Canary(ToolCase):
    """Wrong on purpose: CTest runs this with CYLSWAP_CANARY set and expects
    it to fail, which proves that every layer between them passes a failure
    up."""

    @unittest.skipUnless(os.environ.get("CYLSWAP_CANARY"), "only as the harness's canary")
    def test_declined_cut_said_completed(self):
        name = self.image(80 * CYL)
        self.expect(self.run_tool(name, answer=b"n\n"), 0, *ASKED_TO_CUT, "MsgCompleted")


class Resources(unittest.TestCase):
    """The version, icon group and manifest built into cylswap.exe."""

    def resource(self, *selector):
        found = subprocess.run(["wrestool", "-x", "--raw", *selector, BINARY],
                               capture_output=True, check=True).stdout
        self.assertTrue(found, f"no resource {selector}")
        return found

    @unittest.skipUnless(WINE, "Windows executables only")
    def test_exe_carries_version_icons_and_manifest(self):
        version = self.resource("--type=16")
        fixed = version[version.index(struct.pack("<I", 0xFEEF04BD)):][8:24]
        numbers = [int(part) for part in PROJECT_VERSION.split(".")]
        packed = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
        self.assertEqual(struct.unpack("<4I", fixed), packed * 2)  # file and product
        strings = version.decode("utf-16-le", "replace")
        for key, value in (("FileVersion", PROJECT_VERSION), ("ProductVersion", PROJECT_VERSION),
                           ("OriginalFilename", "cylswap.exe")):
            self.assertRegex(strings, f"{key}\0+{re.escape(value)}\0")
        group = self.resource("--type=14", "--name=IDI_APPICON")
        entries = [group[6 + 14 * i:6 + 14 * (i + 1)] for i in range(group[4])]
        self.assertEqual(sorted((e[0], e[1]) for e in entries), [(16, 16), (32, 32)])
        manifest = ElementTree.fromstring(self.resource("--type=24"))
        find = lambda path: manifest.findall(path, MANIFEST_NAMES)
        self.assertEqual([e.get("level") for e in find(".//v3:requestedExecutionLevel")],
                         ["asInvoker"])
        self.assertEqual(sorted(e.get("Id") for e in find(".//compat:supportedOS")),
                         sorted(SUPPORTED_WINDOWS.values()))
        self.assertEqual([e.text for e in find("v3:application/v3:windowsSettings/ws:longPathAware")],
                         ["true"])


    @unittest.skipUnless(WINE, "Windows executables only")
    def test_exe_needs_nothing_but_kernel32_and_the_c_runtime(self):
        # Every Windows since 7 has both: the .exe runs as it is unpacked.
        headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", BINARY],
                                 capture_output=True, check=True, text=True).stdout
        self.assertEqual(sorted(re.findall(r"DLL Name: (\S+)", headers)),
                         ["KERNEL32.dll", "msvcrt.dll"])


# The one version number, as the build takes it.
with open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")) as cmake:
    PROJECT_VERSION = re.search(r"project\(cylswap VERSION ([\d.]+)", cmake.read()).group(1)

# Windows versions by the GUID a manifest names them with.
SUPPORTED_WINDOWS = {
    "7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
MANIFEST_NAMES = {"v3": "urn:schemas-microsoft-com:asm.v3",
                  "compat": "urn:schemas-microsoft-com:compatibility.v1",
                  "ws": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}


if __name__ == "__main__":
    if WINE:
        start_wine_session()
    unittest.main(argv=[sys.argv[0], "-v", *ARGS[1:]])
