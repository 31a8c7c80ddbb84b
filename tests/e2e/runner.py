"""How the binary under test is started: directly, under Wine, or under an
emulator such as qemu-user, named by the first argument of a test script."""
import os
import shlex
import subprocess
import sys
import tempfile


def split_runner(args):
    """(runner prefix, under Wine, remaining arguments) of a command line
    that may start with --wine or --emulator=PREFIX."""
    first = args[0] if args else ""
    if first == "--wine":
        return ["wine"], True, args[1:]
    if first.startswith("--emulator="):
        prefix = shlex.split(first.partition("=")[2])
        if not prefix:
            raise SystemExit("--emulator= needs a command")
        return prefix, False, args[1:]
    return [], False, args


def emulator_option(prefix):
    """The --emulator= argument that split_runner turns back into `prefix`."""
    return f"--emulator={shlex.join(prefix)}"


def start_wine_session(env=None, prefix=(), fresh=False):
    """Wine starts its server and system processes on first use, and they
    keep that process's standard streams open: a run whose output is
    captured would not end until they do, and in a steady stream of runs,
    never. With Debian's default persistence the server also exits at every
    pause, so each later run would wait for a fresh one. So start them here,
    persistent, with their streams on a file, in the prefix of `env` (made
    if missing), as the user `prefix` runs as; `fresh` stops a server left
    from before first. Raises with Wine's own words if it cannot start."""
    env = env or dict(os.environ)
    commands = [["mkdir", "-p", env["WINEPREFIX"]], *([["wineserver", "-k"]] if fresh else []),
                ["wineserver", "-p60"], ["wineboot", "--init"]]
    with tempfile.TemporaryFile() as log:
        for command in commands:
            done = subprocess.run([*prefix, *command], env=env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=120)
            # wineserver fails when there is no server to stop, or one
            # running already; what counts is that wineboot then works.
            if done.returncode != 0 and command[0] != "wineserver":
                log.seek(0)
                raise RuntimeError(f"{shlex.join(command)} failed: {log.read().decode(errors='replace')}")


if __name__ == "__main__":
    # The test fixture that starts Wine for a build's tests.
    if sys.argv[1:] != ["--start-wine"]:
        raise SystemExit("usage: runner.py --start-wine")
    start_wine_session(fresh=True)
