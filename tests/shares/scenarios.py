#!/usr/bin/env python3
"""The tool on network shares, run inside the user-mode Linux guest that
guest_init.sh sets up: each share is mounted at /mnt/NAME.a (this client)
and /mnt/NAME.b (another client of the same server); the server keeps its
files in /srv/SHARE. Prints one table row per share and exits 1 if any
scenario gave other than what the README says.

Usage: scenarios.py BINARY
"""
import ctypes
import errno
import fcntl
import itertools
import os
import select
import subprocess
import sys
import time

from catalogue import load_messages
from disks import fill

TOOL = sys.argv[1]
CYL = 16384
MSG = load_messages()
NUMBERS = itertools.count()
# (row, mount, the server's folder for it, whether the server may grant
# delegations): the last row turns them off for the rest of the run.
SHARES = [("NFSv4.2, read delegation granted", "nfs4", "/srv/nfs/share", True),
          ("NFSv3", "nfs3", "/srv/nfs/share", True),
          ("SMB 3.1.1, Samba granting leases", "smb", "/srv/smb/leases", True),
          ("SMB 3.1.1, share with `oplocks = no`", "smbnone", "/srv/smb/none", True),
          ("FAT (vfat), local", "fat", "/mnt/fat.a", True),
          ("NFSv4.2, no delegation to be had", "nfs4", "/srv/nfs/share", False)]


def say(*names):
    return "".join(MSG[name] for name in names).encode()


def outcome(out, status):
    """What a run gave, in the table's words."""
    for message, word in (("MsgCompleted", "resized"), ("MsgOpenFailed", "refused at the open"),
                          ("MsgSeekFailed", "refused before the end moved"),
                          ("MsgResizeFailed", "resize failed")):
        if out.endswith(say(message)):
            return f"{word} ({status})"
    return f"said {out!r} ({status})"


class Share:
    def __init__(self, mount, served):
        self.here, self.other = f"/mnt/{mount}.a", f"/mnt/{mount}.b"
        self.served, self.made = served, []

    def clean(self):
        """Removes the images made so far: the shares are small."""
        for path in self.made:
            os.remove(path)
        self.made.clear()

    def image(self, cylinders=80):
        """A fresh image, put on the share by the server's side (a file a
        client has just written gets no delegation for a while); its paths
        for this client and the other."""
        name = f"{os.path.basename(self.here)}-{next(NUMBERS)}.img"
        self.made.append(os.path.join(self.served, name))
        with open(self.made[-1], "wb") as file:
            file.write(os.urandom(cylinders * CYL))
        # A whole, even second: what SMB (100 ns) and FAT (2 s) can carry,
        # so that a time set back through them reads back exactly.
        os.utime(self.made[-1], (IMAGE_TIME, IMAGE_TIME))
        return os.path.join(self.here, name), os.path.join(self.other, name)

    def grow(self, full):
        """A 77-cylinder image grown, on a share with room or one filled to
        the last block; and what the server's file then has."""
        here, _ = self.image(77)
        served = self.made[-1]
        before = snapshot(served)
        filler = fill(self.served, settle=3) if full else None
        said = self.run(here)
        if filler:
            os.remove(filler)
        after = snapshot(served)
        if after[0] == 77 * CYL:
            moved = [what for what, was, now in zip(SNAPSHOT, before, after) if was != now]
            return f"{said}, " + (" and ".join(moved) + " changed" if moved else "unchanged")
        return f"{said}, " + ("reserved" if after[1] * 512 >= 80 * CYL else "not reserved")

    def lease(self):
        here, _ = self.image()
        with open(here, "rb") as file:
            try:
                fcntl.fcntl(file, fcntl.F_SETLEASE, fcntl.F_RDLCK)
                return "granted"
            except OSError as error:
                return errno.errorcode[error.errno]

    def reserve(self):
        """What the client says to a reservation past the end, and the size
        it leaves (NFSv4.2's ALLOCATE has no way to keep the size)."""
        here, _ = self.image(77)
        with open(here, "r+b") as file:
            libc = ctypes.CDLL(None, use_errno=True)
            libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]
            done = libc.fallocate(file.fileno(), 1, 77 * CYL, 3 * CYL)  # FALLOC_FL_KEEP_SIZE
            said = "done" if done == 0 else errno.errorcode[ctypes.get_errno()]
        return f"{said}, {os.path.getsize(here) // CYL} cylinders"

    def run(self, path):
        done = subprocess.run([TOOL, path], input=b"y\n", capture_output=True, timeout=120)
        return outcome(done.stdout, done.returncode)

    def resized(self, here):
        said = self.run(here)
        return said if os.path.getsize(here) == 77 * CYL or "resized" not in said else "size?"

    def idle(self):
        return self.resized(self.image()[0])

    def held(self, how=None):
        """The other client holds the image open for writing, with a lock of
        `how` or none."""
        here, there = self.image()
        with open(there, "r+b") as other:
            if how:
                lock(other, how)
            return self.run(here)

    def at_prompt(self, action):
        """Starts the tool, does `action` (given the other client's path) at
        the prompt, answers y; returns what the action and the tool gave."""
        here, there = self.image()
        tool = subprocess.Popen([TOOL, here], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        got = b""
        while not got.endswith(say("MsgConfirmPrompt")):
            ready, _, _ = select.select([tool.stdout], [], [], 60)
            chunk = os.read(tool.stdout.fileno(), 4096) if ready else b""
            if not chunk:
                tool.kill()
                return f"no prompt: {got!r}"
            got += chunk
        did = action(there)
        out, _ = tool.communicate(b"y\n", timeout=120)
        return f"{did}; then {outcome(got + out, tool.returncode)}"

    def replaced(self):
        """The image was replaced on the server after this client last
        looked at it: its cache still leads the name to the old file."""
        here, _ = self.image()
        os.stat(here)
        self.image()
        os.rename(self.made.pop(), self.made[-1])
        return self.resized(here)


# When each image was last written, as the server keeps it.
IMAGE_TIME = 1_700_000_000
SNAPSHOT = ("size", "blocks", "time of the last write", "bytes")


def snapshot(path):
    info = os.stat(path)
    with open(path, "rb") as file:
        return info.st_size, info.st_blocks, info.st_mtime_ns, hash(file.read())


def lock(file, how):
    if how == "flock":
        fcntl.flock(file, fcntl.LOCK_EX | fcntl.LOCK_NB)
    else:
        fcntl.lockf(file, fcntl.LOCK_EX | fcntl.LOCK_NB)


def try_locks(there):
    taken = []
    for how in ("flock", "lockf"):
        try:
            with open(there, "r+b") as other:
                lock(other, how)
                taken.append(f"{how} granted")
        except OSError as error:
            taken.append(f"{how} {errno.errorcode[error.errno]}")
    return ", ".join(taken)


def write_sector(there, later=0.0, put_back=False):
    """Writes the first sector, `later` seconds after the prompt, and with
    `put_back` sets the file's times back as they were."""
    time.sleep(later)
    before = os.stat(there)
    try:
        with open(there, "r+b") as other:
            other.write(os.urandom(512))
    except OSError as error:
        return f"write {errno.errorcode[error.errno]}"
    if put_back:
        os.utime(there, ns=(before.st_atime_ns, before.st_mtime_ns))
    return "wrote a sector"


def write_protect(there):
    try:
        os.chmod(there, 0o444)
        return "chmod a-w"
    except OSError as error:
        return f"chmod {errno.errorcode[error.errno]}"


# What each scenario must give, where the README promises it: the same on
# every share, or by protocol; None: only reported. SMB's locks are
# mandatory: the other client cannot write the range the tool has locked.
SCENARIOS = [
    ("lease on an idle image", Share.lease, None),
    ("idle image, y", Share.idle, "resized (0)"),
    ("image replaced on the server since this client looked", Share.replaced, "resized (0)"),
    ("other client holds flock", lambda s: s.held("flock"), "refused at the open (1)"),
    ("other client holds lockf", lambda s: s.held("lockf"), "refused at the open (1)"),
    ("other client's flock and lockf at the prompt", lambda s: s.at_prompt(try_locks),
     {"nfs": "flock EAGAIN, lockf EAGAIN; then resized (0)",
      "smb": "flock EACCES, lockf EACCES; then resized (0)",
      "fat": "flock EAGAIN, lockf EAGAIN; then resized (0)"}),
    # Only a lease tells of a writer that takes no lock, and on NFS and SMB
    # its refusal cannot tell one from a server that grants nothing.
    ("other client's unlocked read-write open", Share.held,
     {"nfs": "resized (0)", "smb": "resized (0)", "fat": "refused at the open (1)"}),
    ("reservation past the end", Share.reserve, None),
    # Neither NFS client can reserve, and the SMB client says it did and did
    # not: there the new cylinders are written with zeros. A share may say
    # only at the flush that it had no room; the grow is then given back.
    ("grow, y", lambda s: s.grow(False), "resized (0), reserved"),
    ("grow on a full share, y", lambda s: s.grow(True), "resize failed (1), unchanged"),
    # FAT has no change time, and times its writes in steps of 2 s: the
    # watch it gets sees what the times cannot.
    ("other client writes at the prompt", lambda s: s.at_prompt(write_sector),
     {"nfs": "wrote a sector; then refused before the end moved (1)",
      "smb": "write EACCES; then resized (0)",
      "fat": "wrote a sector; then refused before the end moved (1)"}),
    ("... 2.1 s after the prompt", lambda s: s.at_prompt(lambda t: write_sector(t, 2.1)),
     {"nfs": "wrote a sector; then refused before the end moved (1)",
      "smb": "write EACCES; then resized (0)",
      "fat": "wrote a sector; then refused before the end moved (1)"}),
    ("... and puts its times back", lambda s: s.at_prompt(lambda t: write_sector(t, 0, True)),
     {"nfs": "wrote a sector; then refused before the end moved (1)",
      "smb": "write EACCES; then resized (0)",
      "fat": "wrote a sector; then refused before the end moved (1)"}),
    # SMB carries a chmod as the read-only attribute, which moves no time.
    ("other client's chmod a-w at the prompt", lambda s: s.at_prompt(write_protect),
     {"nfs": "chmod a-w; then refused before the end moved (1)",
      "smb": "chmod a-w; then resized (0)",
      "fat": "chmod a-w; then refused before the end moved (1)"}),
]


def main():
    print("| mount | " + " | ".join(name for name, _, _ in SCENARIOS) + " |", flush=True)
    print("|---" * (len(SCENARIOS) + 1) + "|")
    failed = 0
    for row, mount, served, delegations in SHARES:
        if not delegations:
            # knfsd grants delegations through leases: none without them.
            with open("/proc/sys/fs/leases-enable", "w") as setting:
                setting.write("0")
        share, cells = Share(mount, served), []
        for _, scenario, expected in SCENARIOS:
            got = scenario(share)
            share.clean()
            if isinstance(expected, dict):
                expected = expected[mount[:3]]
            if expected is not None and got != expected:
                failed += 1
                got = f"**{got}, expected {expected}**"
            cells.append(got)
        print(f"| {row} | " + " | ".join(cells) + " |", flush=True)
    print(f"{len(SCENARIOS) * len(SHARES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
