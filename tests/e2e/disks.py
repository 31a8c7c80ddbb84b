"""What the end-to-end cases and the share scenarios do to disks and images:
fill a file system, cut its power, write an image as another program would."""
import itertools
import os
import re
import signal
import subprocess
import sys
import time


def fill(folder, settle=0.0):
    """Takes every block left on the file system at `folder` with one file,
    grown in halving steps; returns its path. With `settle`, waits that
    many seconds and takes what was given back meanwhile too (a file server
    keeps the files it served open for a while after they are removed)."""
    path = os.path.join(folder, b"filler" if isinstance(folder, bytes) else "filler")
    end = 0
    with open(path, "wb") as filler:
        for wait in (0.0, settle) if settle else (0.0,):
            time.sleep(wait)
            # All that is free: root may take what is kept for it, and so
            # may a file server that writes as root.
            info = os.statvfs(folder)
            step = info.f_bfree * info.f_frsize
            while step >= 512:
                try:
                    os.posix_fallocate(filler.fileno(), end, step)
                    end += step
                except OSError:
                    step //= 2
    return path


# Another program writing an image's first sector (argument 2, in hex), each
# time with an open of its own and no lock, about every 100 us until its
# standard input has something, and then once more; it says how that went.
RACING_WRITER = """
import errno, os, select, sys
def write():
    try:
        fd = os.open(sys.argv[1], os.O_WRONLY)
        try:
            os.pwrite(fd, bytes.fromhex(sys.argv[2]), 0)
        finally:
            os.close(fd)
        return "wrote"
    except OSError as error:
        return "write " + errno.errorcode[error.errno]
print("writing", flush=True)
while not select.select([sys.stdin], [], [], 0.0001)[0]:
    write()
print(write(), "once more", flush=True)
"""


def race(tool, image, prompt, writer_path=None, cwd=None):
    """Runs `tool` (a command that ends with the path of `image`) while
    RACING_WRITER writes the image through `writer_path` (another path to
    it, or the same), until the tool has said `prompt` or ended, and once
    more; then answers y. Returns the sector written, what the writer said
    of its last write, and the tool's run, all it said included."""
    sector = os.urandom(512)
    writer = subprocess.Popen([sys.executable, "-c", RACING_WRITER, writer_path or image,
                               sector.hex()], cwd=cwd, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    writer.stdout.readline()  # it is writing
    run = subprocess.Popen(tool, cwd=cwd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    said = b""
    while not said.endswith(prompt) and (chunk := os.read(run.stdout.fileno(), 4096)):
        said += chunk
    did = writer.communicate("stop", timeout=60)[0].strip()
    out, err = run.communicate(b"y\n", timeout=120)
    return sector, did, subprocess.CompletedProcess(tool, run.returncode, said + out, err)


# What fsck.vfat says of a volume that is consistent but was not unmounted.
FAT_CLEAN = (r"fsck\.fat |Dirty bit is set|Fs was not properly| Automatically removing dirty|"
             r"Leaving filesystem unchanged|$|\S+: \d+ files, \d+/\d+ clusters$")


# What says that a file system of each kind is consistent: status 0 and
# nothing repaired, nothing written.
CHECKS = {"ext4": ["e2fsck", "-fn"], "xfs": ["xfs_repair", "-n"],
          "btrfs": ["btrfs", "check", "--readonly"], "vfat": ["fsck.vfat", "-n"]}


def cut_power(tool, image, cylinders, volume, folder, kind, env=None):
    """Cuts the power after each system call the tool makes on the image
    once it has read the answer, with the disk as written so far and as if
    synced at that moment: strace holds the tool there while the loop volume
    is copied. `tool` is the command that runs it on `image`, a file on
    `volume`, a loop volume of `kind` mounted at `folder`; the image is made
    anew, random, of `cylinders`; `env` is the tool's environment. Yields
    (call, synced, what is wrong with the copy, or None): its check must find
    it consistent, and the image must be as it was or as asked, byte for
    byte. Leaves the volume mounted."""
    cyl = 16384
    log, copy = f"{volume}.trace", f"{volume}.cut"

    def fresh():
        data = os.urandom(cylinders * cyl)
        with open(image, "wb") as file:
            file.write(data)
        os.sync()
        return data

    # The calls on the image after the answer is read, each as strace's -P
    # counts it: the how-manieth of its name on that file.
    fresh()
    subprocess.run(["strace", "-f", "-qq", "-y", "-o", log, *tool],
                   input=b"y\n", capture_output=True, check=True, env=env)
    with open(log) as trace:
        lines = [line.split(maxsplit=1)[1] for line in trace]
    answered = next(at for at, line in enumerate(lines) if line.startswith("read(0"))
    names = [line.split("(")[0] for line in lines if image in line]
    after = sum(image in line for line in lines[answered:])
    calls = [(name, names[:at + 1].count(name)) for at, name in enumerate(names)
             if at >= len(names) - after]
    for (name, when), synced in itertools.product(calls, (False, True)):
        original = fresh()
        asked = original[:77 * cyl] if cylinders > 77 else original + bytes(3 * cyl)
        os.remove(log)
        held = subprocess.Popen(["strace", "-f", "-qq", "-y", "-P", image, "-o", log,
                                 "-e", f"trace={name}",
                                 "-e", f"inject={name}:delay_exit=60000000:when={when}", *tool],
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=env)
        held.stdin.write(b"y\n")
        held.stdin.close()
        deadline = time.monotonic() + 60
        while "(DELAYED)" not in said(log):
            assert time.monotonic() < deadline, f"never held after {name} #{when}"
            time.sleep(0.01)
        if synced:
            os.sync()
        subprocess.run(["cp", "--sparse=always", volume, copy], check=True)
        # The power is out: the tool dies there, and strace with it.
        with open(f"/proc/{held.pid}/task/{held.pid}/children") as children:
            tool_pid = int(children.read().split()[0])
        os.kill(tool_pid, signal.SIGKILL)
        held.kill()
        held.wait()
        while not gone(tool_pid):
            time.sleep(0.01)
        subprocess.run(["umount", folder], check=True)
        yield f"{name} #{when}", synced, inspect(copy, image, folder, kind, (original, asked))
        os.remove(copy)
        subprocess.run(["mount", "-o", "loop", volume, folder], check=True)


def said(log):
    """What strace has logged so far."""
    try:
        with open(log) as trace:
            return trace.read()
    except FileNotFoundError:
        return ""


def gone(pid):
    """Whether process `pid` has ended (a zombie holds no files)."""
    try:
        with open(f"/proc/{pid}/stat") as status:
            return status.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError):
        return True


def inspect(copy, image, folder, kind, allowed):
    """What is wrong with the volume `copy` after a power cut: mounted at
    `folder` (which replays a journal), `image` must hold one of `allowed`;
    unmounted, its check must pass."""
    subprocess.run(["mount", "-o", "loop", copy, folder], check=True)
    try:
        with open(image, "rb") as file:
            now = file.read()
    finally:
        subprocess.run(["umount", folder], check=True)
    if now not in allowed:
        return f"image of {len(now)} bytes, neither as it was nor as asked"
    checked = subprocess.run([*CHECKS[kind], copy], capture_output=True, text=True)
    said_wrong = checked.stdout if checked.returncode else ""
    if kind == "vfat":
        # The dirty bit is set while mounted: a power cut leaves it so.
        said_wrong = "\n".join(line for line in checked.stdout.splitlines()
                                if not re.match(FAT_CLEAN, line))
    said_wrong = " ".join(said_wrong.split())
    return f"{CHECKS[kind][0]}: {said_wrong[-300:]}" if said_wrong else None
