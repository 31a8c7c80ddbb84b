#!/usr/bin/env python3
"""Randomised soak: many runs of the real binary with random image sizes and
random answers, each checked against one model of what the file must become.

Usage: soak.py [--wine | --emulator=PREFIX] BINARY [RUNS] [SEED]
Prints 'N passed, N failed'; exits 1 on any failure.
"""
import os
import random
import subprocess
import sys
import tempfile

from runner import split_runner, start_wine_session

CYL = 16384
RECOGNISED = {77 * CYL: 80 * CYL, 78 * CYL: 77 * CYL, 79 * CYL: 77 * CYL, 80 * CYL: 77 * CYL}
ANSWERS = [b"y\n", b"Y\n", b"yes\n", b" \n\ty\n", b"n\n", b"N\n", b"", b"\n\n", b"x",
           "\uff59\n".encode(), b"\xff\n", b"\x00y\n", "\u3000y\n".encode(),
           "\u00a0\u2003Y".encode(), "\u200by\n".encode(), b"\xe3\x80y",
           b"\xef\xbb\xbfy\r\n", b" \xef\xbb\xbfy\n"]
# What the tool skips before the answer, on every platform.
BLANKS = "\t\n\v\f\r \u00a0\u1680\u2028\u2029\u202f\u205f\u3000" + "".join(
    map(chr, range(0x2000, 0x200B)))


def random_size(rng):
    kind = rng.randrange(4)
    if kind < 2:
        return rng.choice(list(RECOGNISED))
    if kind == 2:
        return rng.choice(list(RECOGNISED)) + rng.choice([-1, 1, -CYL, CYL, 512])
    return rng.randrange(0, 2 * 1024 * 1024)


def model(size, answer):
    """(exit status, size afterwards) the tool must produce."""
    first = answer.decode("utf-8", "replace").removeprefix("\ufeff").lstrip(BLANKS)[:1]
    if size not in RECOGNISED or first not in ("y", "Y"):
        return 0, size
    return 0, RECOGNISED[size]


def main():
    runner, wine, args = split_runner(sys.argv[1:])
    binary = os.path.abspath(args[0])
    runs = int(args[1]) if len(args) > 1 else 1000
    seed = int(args[2]) if len(args) > 2 else 1
    if wine:
        start_wine_session()
    rng = random.Random(seed)
    data = rng.randbytes(2 * 1024 * 1024 + CYL)
    failures = []
    with tempfile.TemporaryDirectory(prefix="cylswap-soak-") as folder:
        path = os.path.join(folder, "disk.img")
        for run in range(runs):
            size, answer = random_size(rng), rng.choice(ANSWERS + [rng.randbytes(3)])
            with open(path, "wb") as file:
                file.write(data[:size])
            command = [*runner, binary, "disk.img"]
            result = subprocess.run(command, input=answer, capture_output=True,
                                    cwd=folder, timeout=60)
            status, after = model(size, answer)
            with open(path, "rb") as file:
                now = file.read()
            kept = min(size, after)
            problems = [what for what, bad in (
                ("exit status", result.returncode != status),
                ("size", len(now) != after),
                ("kept bytes", now[:kept] != data[:kept]),
                ("grown bytes", now[kept:] != bytes(len(now) - kept)),
                ("stderr", result.stderr != b""),
            ) if bad]
            if problems:
                failures.append((run, size, answer, problems, result))
    for run, size, answer, problems, result in failures:
        print(f"run {run}: size {size}, answer {answer!r}: wrong {', '.join(problems)}; "
              f"exit status {result.returncode}, stdout {result.stdout[-80:]!r}, "
              f"stderr {result.stderr[-200:]!r}")
    print(f"soak: {runs - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
