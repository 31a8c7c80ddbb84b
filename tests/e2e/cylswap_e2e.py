#!/usr/bin/env python3
"""End-to-end behaviours of the real cylswap binary: real files, real pipes,
exact bytes of output, exit status and the file afterwards.

Usage: cylswap_e2e.py BINARY [TestGroup ...]
"""
import fcntl
import hashlib
import os
import select
import shutil
import subprocess
import sys
import tempfile
import unittest

BINARY = ""
CYL = 16384
FOUR_GIB = 1 << 32


def load_messages():
    path = os.path.join(os.path.dirname(__file__), "..", "messages.expected")
    texts = {}
    with open(path, encoding="utf-8") as file:
        for line in file:
            if line.startswith("#") or "\t" not in line:
                continue
            name, quoted = line.rstrip("\n").split("\t")
            texts[name] = quoted[1:-1].replace("\\n", "\n").encode("utf-8")
    return texts


MSG = load_messages()


def say(*names):
    return b"".join(MSG[name] for name in names)


ASKED_TO_CUT = ("MsgBanner", "MsgCutNotice", "MsgConfirmPrompt")
ASKED_TO_GROW = ("MsgBanner", "MsgGrowNotice", "MsgConfirmPrompt")


class ToolCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="cylswap-")
        os.chmod(self.dir, 0o755)  # reachable by the unprivileged user too
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(os.fsencode(self.dir), os.fsencode(name))

    def image(self, size, name="disk.img", sparse=False):
        """A file of `size` bytes, random unless sparse; returns its path."""
        path = self.path(name)
        with open(path, "wb") as file:
            if sparse:
                file.truncate(size)
            else:
                file.write(os.urandom(size))
        return path

    def snapshot(self, path):
        info = os.stat(path)
        digest = None
        if info.st_size <= 2 * 1024 * 1024:
            with open(path, "rb") as file:
                digest = hashlib.sha256(file.read()).hexdigest()
        return (info.st_size, info.st_mtime_ns, info.st_ctime_ns, digest)

    def run_tool(self, *args, answer=b"", env=None, prefix=()):
        return subprocess.run([*prefix, BINARY, *args], input=answer,
                              capture_output=True, timeout=30, env=env,
                              cwd=self.dir)

    def start_tool(self, *args):
        return subprocess.Popen([BINARY, *args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                cwd=self.dir)

    def read_until(self, proc, expected, seconds=10):
        """Reads the child's output until `expected` has arrived, or fails."""
        got = b""
        while got != expected and len(got) < len(expected):
            ready, _, _ = select.select([proc.stdout], [], [], seconds)
            self.assertTrue(ready, f"output stalled after {got!r}")
            chunk = os.read(proc.stdout.fileno(), 4096)
            self.assertTrue(chunk, f"output ended after {got!r}")
            got += chunk
        self.assertEqual(got, expected)

    def finish(self, proc, answer):
        out, err = proc.communicate(answer, timeout=30)
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)

    def expect(self, result, status, *messages):
        self.assertEqual(result.stdout, say(*messages))
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, status)

    def expect_unchanged(self, path, action, status, *messages):
        before = self.snapshot(path)
        self.expect(action(), status, *messages)
        self.assertEqual(self.snapshot(path), before)


class Arguments(ToolCase):
    def test_wrong_argument_count_prints_usage_and_touches_nothing(self):
        first, second = self.image(80 * CYL, "a.img"), self.image(77 * CYL, "b.img")
        before = sorted(os.listdir(self.dir)), self.snapshot(first), self.snapshot(second)
        for args in ([], [first, second], [b"new1.img", b"new2.img", b"new3.img"]):
            with self.subTest(args=args):
                self.expect(self.run_tool(*args, answer=b"y\n"), 1, "MsgBanner", "MsgUsage")
                after = sorted(os.listdir(self.dir)), self.snapshot(first), self.snapshot(second)
                self.assertEqual(after, before)

    def test_path_bytes_reach_the_file_system_unaltered(self):
        path = self.image(80 * CYL, b"\xff\xfe-not-utf8.img")
        self.expect(self.run_tool(path, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.assertEqual(os.path.getsize(path), 77 * CYL)


class OpenFailures(ToolCase):
    def test_what_cannot_be_opened_or_measured_fails_without_creating_anything(self):
        os.mkdir(self.path("folder"))
        os.mkfifo(self.path("fifo"))
        cases = [  # argument, closing message
            (self.path("missing.img"), "MsgOpenFailed"),
            (b"", "MsgOpenFailed"),
            (self.path("folder"), "MsgOpenFailed"),
            (self.path("fifo"), "MsgSizeFailed"),  # never blocks, never cut
            (b"/dev/null", "MsgSizeFailed"),
        ]
        names = sorted(os.listdir(self.dir))
        for path, message in cases:
            with self.subTest(path=path):
                self.expect(self.run_tool(path, answer=b"y\n"), 1, "MsgBanner", message)
                self.assertEqual(sorted(os.listdir(self.dir)), names)

    def test_read_only_image_is_refused(self):
        # Root writes through permission bits, so run as an unprivileged user.
        prefix = ()
        if os.geteuid() == 0:
            prefix = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")
        path = self.image(80 * CYL)
        if os.geteuid() == 0:
            os.chown(path, 65534, 65534)
        os.chmod(path, 0o444)
        self.expect_unchanged(path, lambda: self.run_tool(path, answer=b"y\n", prefix=prefix),
                              1, "MsgBanner", "MsgOpenFailed")
        os.chmod(path, 0o644)  # the same user may cut it once it is writable
        self.expect(self.run_tool(path, answer=b"y\n", prefix=prefix), 0,
                    *ASKED_TO_CUT, "MsgCompleted")


class Refusals(ToolCase):
    def test_unrecognised_sizes_are_refused_without_a_prompt(self):
        sizes = [0, 1, 77 * CYL - 1, 77 * CYL + 1, 80 * CYL - 1, 80 * CYL + 1, 81 * CYL]
        for size in sizes:
            with self.subTest(size=size):
                path = self.image(size)
                self.expect_unchanged(path, lambda: self.run_tool(path, answer=b"y\n"),
                                      0, "MsgBanner", "MsgUnsupported")

    def test_sparse_file_above_4_gib_is_not_mistaken_for_its_low_32_bits(self):
        path = self.image(FOUR_GIB + 80 * CYL, sparse=True)
        self.expect_unchanged(path, lambda: self.run_tool(path, answer=b"y\n"),
                              0, "MsgBanner", "MsgUnsupported")


class Resizes(ToolCase):
    def test_confirmed_resize_moves_only_the_end(self):
        cases = [  # cylinders before, answer, cylinders after
            (77, b"y\n", 80), (78, b"Y\n", 77), (79, b"yes\n", 77), (80, b"\n  \n\t y\n", 77)]
        for before, answer, after in cases:
            with self.subTest(cylinders=before):
                path = self.image(before * CYL)
                with open(path, "rb") as file:
                    original = file.read()
                asked = ASKED_TO_GROW if after > before else ASKED_TO_CUT
                self.expect(self.run_tool(path, answer=answer), 0, *asked, "MsgCompleted")
                with open(path, "rb") as file:
                    now = file.read()
                self.assertEqual(len(now), after * CYL)
                kept = min(before, after) * CYL
                self.assertTrue(now[:kept] == original[:kept], "kept cylinders changed")
                self.assertEqual(now[kept:], bytes(len(now) - kept))

    def test_round_trip_80_77_80_does_not_restore_cut_cylinders(self):
        path = self.image(80 * CYL)
        with open(path, "rb") as file:
            original = file.read()
        self.expect(self.run_tool(path, answer=b"y\n"), 0, *ASKED_TO_CUT, "MsgCompleted")
        self.expect(self.run_tool(path, answer=b"y\n"), 0, *ASKED_TO_GROW, "MsgCompleted")
        with open(path, "rb") as file:
            self.assertTrue(file.read() == original[:77 * CYL] + bytes(3 * CYL))


class Answers(ToolCase):
    def test_anything_but_y_declines_and_leaves_the_image_unchanged(self):
        answers = [b"n\n", b"N\n", b"x\n", b"1\n", "\uff59\n".encode(), b"\n\n",
                   b"", b"\xff\n"]
        path = self.image(80 * CYL)
        for answer in answers:
            with self.subTest(answer=answer):
                self.expect_unchanged(path, lambda: self.run_tool(path, answer=answer),
                                      0, *ASKED_TO_CUT, "MsgAborted")

    def test_the_whole_prompt_arrives_on_a_pipe_before_the_answer(self):
        path = self.image(77 * CYL)
        proc = self.start_tool(path)
        self.read_until(proc, say(*ASKED_TO_GROW))
        self.assertIsNone(proc.poll(), "the tool must wait for the answer")
        self.assertEqual(os.path.getsize(path), 77 * CYL)
        self.expect(self.finish(proc, b"y\n"), 0, "MsgCompleted")
        self.assertEqual(os.path.getsize(path), 80 * CYL)


class Sharing(ToolCase):
    def test_image_locked_by_another_process_is_refused(self):
        path = self.image(80 * CYL)
        before = self.snapshot(path)
        # Looking at the file while holding the lock would drop it: closing any
        # descriptor of a file releases the process's classic locks on it.
        with open(path, "r+b") as holder:
            fcntl.lockf(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            self.expect(self.run_tool(path, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
        self.assertEqual(self.snapshot(path), before)

    def test_image_is_held_against_writers_while_the_prompt_waits(self):
        path = self.image(80 * CYL)
        first = self.start_tool(path)
        self.read_until(first, say(*ASKED_TO_CUT))
        self.expect(self.run_tool(path, answer=b"y\n"), 1, "MsgBanner", "MsgOpenFailed")
        with open(path, "r+b") as other:
            with self.assertRaises(OSError):
                fcntl.lockf(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.expect(self.finish(first, b"y\n"), 0, "MsgCompleted")
        self.assertEqual(os.path.getsize(path), 77 * CYL)


class Locale(ToolCase):
    def test_messages_are_utf8_whatever_the_environment(self):
        for env in ({}, {"LC_ALL": "C"}, {"LANG": "POSIX"}, {"LC_ALL": "ja_JP.UTF-8"}):
            with self.subTest(env=env):
                path = self.image(77 * CYL)
                self.expect(self.run_tool(path, answer=b"y\n", env=env), 0,
                            *ASKED_TO_GROW, "MsgCompleted")


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[2:]])
