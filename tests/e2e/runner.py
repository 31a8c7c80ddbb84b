"""How the binary under test is started: directly, under Wine, or under an
emulator such as qemu-user, named by the first argument of a test script."""
import shlex
import subprocess


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


def start_wine_session(env=None, prefix=()):
    """Wine starts its server and system processes on first use, and they
    keep that process's standard streams open: a run whose output is
    captured would not end until they do, and in a steady stream of runs,
    never. So start them here, on /dev/null, to outlive short pauses."""
    for command in (["wineserver", "-p60"], ["wineboot"]):
        subprocess.run([*prefix, *command], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
