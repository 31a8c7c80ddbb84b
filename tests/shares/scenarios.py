#!/usr/bin/env python3
"""The tool on network shares, run inside the virtual machine that
guest_init.sh sets up: each share is mounted at /mnt/NAME.a (this client)
and /mnt/NAME.b (another client of the same server); the server keeps its
files in /srv/SHARE. Prints one table row per share and exits 1 if any
scenario gave other than what the README says.

Usage: scenarios.py BINARY [ROW]    (ROW: only the rows whose name holds it)
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
from disks import cut_power, fill, race

TOOL = sys.argv[1]
ONLY = sys.argv[2] if len(sys.argv) > 2 else ""
CLOCK = os.environ.get("CLOCK", "counted")
CYL = 16384
MSG = load_messages()
NUMBERS = itertools.count()
# (row, mount, the server's folder for it, what kind of storage it is,
# whether the server may grant delegations): the last row turns them off for
# the rest of the run. The local file systems' second "client" is another
# process, through a second path to the same files.
SHARES = [("NFSv4.2, read delegation granted", "nfs4", "/srv/nfs/share", "nfs", True),
          ("NFSv3", "nfs3", "/srv/nfs/share", "nfs", True),
          ("NFSv3, server clock in whole seconds", "nfs3s", "/srv/nfs/coarse", "nfs", True),
          ("SMB 3.1.1, Samba granting leases", "smb", "/srv/smb/leases", "smb", True),
          ("SMB 3.1.1, share with `oplocks = no`", "smbnone", "/srv/smb/none", "smb", True),
          ("SMB 3.1.1, allocation roundup size 1 MiB", "smbround", "/srv/smb/round", "smb", True),
          ("FAT (vfat), local", "fat", "/mnt/fat.a", "local", True),
          ("ext4, local", "ext4", "/mnt/ext4.a", "local", True),
          ("tmpfs, local", "tmpfs", "/mnt/tmpfs.a", "local", True),
          ("udf, local", "udf", "/mnt/udf.a", "local", True),
          ("ntfs3, local", "ntfs3", "/mnt/ntfs3.a", "local", True),
          ("9p from the host, whole seconds", "9p", "/host9p", "9p", True),
          ("NFSv4.2, no delegation to be had", "nfs4", "/srv/nfs/share", "nfs", False)]


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
        """What the client says to a reservation of the new cylinders once
        the end has moved, and whether the blocks it reports grew by them."""
        here, _ = self.image(77)
        with open(here, "r+b") as file:
            file.truncate(80 * CYL)
            blocks = os.fstat(file.fileno()).st_blocks
            libc = ctypes.CDLL(None, use_errno=True)
            libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]
            done = libc.fallocate(file.fileno(), 0, 77 * CYL, 3 * CYL)
            said = "done" if done == 0 else errno.errorcode[ctypes.get_errno()]
            grew = os.fstat(file.fileno()).st_blocks - blocks >= 3 * CYL // 512
        return f"{said}, blocks {'grew' if grew else 'did not grow'}"

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

    def racing(self, runs=10):
        """The other client writes the first sector about every 100 us until
        the prompt appears, and once more at once (each write with an open
        of its own, no lock): in the clock step of the measurement."""
        said = []
        for _ in range(runs):
            here, there = self.image()
            _, did, run = race([TOOL, here], here, say("MsgConfirmPrompt"), there)
            said.append((" ".join(did.split()[:2]), outcome(run.stdout, run.returncode)))
            self.clean()
        cut = sum(did == "wrote once" and "resized" in told for did, told in said)
        if cut:
            return f"cut after its last write in {cut} of {runs}: " + "; ".join(
                f"{did}, {told}" for did, told in said)
        return "never cut after its last write"

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
# every share, or by kind of storage; None: only reported. SMB's locks are
# mandatory: the other client cannot write the range the tool has locked.
# QEMU's 9p server grants every lock: another client's shows nowhere.
LOCKED_ELSEWHERE = {"nfs": "refused at the open (1)", "smb": "refused at the open (1)",
                    "local": "refused at the open (1)", "9p": "resized (0)"}
WRITTEN_AT_PROMPT = {"nfs": "wrote a sector; then refused before the end moved (1)",
                     "smb": "write EACCES; then resized (0)",
                     "local": "wrote a sector; then refused before the end moved (1)",
                     "9p": "wrote a sector; then refused before the end moved (1)"}
SCENARIOS = [
    ("lease on an idle image", Share.lease, None),
    ("idle image, y", Share.idle, "resized (0)"),
    ("image replaced on the server since this client looked", Share.replaced, "resized (0)"),
    ("other client holds flock", lambda s: s.held("flock"), LOCKED_ELSEWHERE),
    ("other client holds lockf", lambda s: s.held("lockf"), LOCKED_ELSEWHERE),
    ("other client's flock and lockf at the prompt", lambda s: s.at_prompt(try_locks),
     {"nfs": "flock EAGAIN, lockf EAGAIN; then resized (0)",
      "smb": "flock EACCES, lockf EACCES; then resized (0)",
      "local": "flock EAGAIN, lockf EAGAIN; then resized (0)",
      "9p": "flock granted, lockf granted; then resized (0)"}),
    # Only a lease tells of a writer that takes no lock, and on NFS and SMB
    # its refusal cannot tell one from a server that grants nothing.
    ("other client's unlocked read-write open", Share.held,
     {"nfs": "resized (0)", "smb": "resized (0)", "local": "refused at the open (1)",
      "9p": "resized (0)"}),
    ("reservation once the end moved", Share.reserve, None),
    # NFSv4.2 reserves; NFSv3 cannot, and the SMB client says it did and
    # took nothing: there the new cylinders are written with zeros. A share
    # may say only at the flush that it had no room; the grow is then given
    # back.
    ("grow, y", lambda s: s.grow(False), "resized (0), reserved"),
    ("grow on a full share, y", lambda s: s.grow(True), "resize failed (1), unchanged"),
    # FAT has no change time, and times its writes in steps of 2 s: the
    # watch it gets sees what the times cannot. The watch sees nothing of
    # what another machine does: there the step is waited out.
    ("other client writes at the prompt", lambda s: s.at_prompt(write_sector), WRITTEN_AT_PROMPT),
    ("... 2.1 s after the prompt", lambda s: s.at_prompt(lambda t: write_sector(t, 2.1)),
     WRITTEN_AT_PROMPT),
    ("... and puts its times back", lambda s: s.at_prompt(lambda t: write_sector(t, 0, True)),
     WRITTEN_AT_PROMPT),
    # SMB carries a chmod as the read-only attribute, which moves no time.
    # Refused at the open where it caught the writer, or else before the
    # end moved: never cut after the last write. The SMB client may open the
    # image for each write, but the lock keeps the writes out, often the
    # last one too.
    ("other client writes until the prompt and once more", Share.racing,
     "never cut after its last write"),
    ("other client's chmod a-w at the prompt", lambda s: s.at_prompt(write_protect),
     {"nfs": "chmod a-w; then refused before the end moved (1)",
      "smb": "chmod a-w; then resized (0)",
      "local": "chmod a-w; then refused before the end moved (1)",
      "9p": "chmod a-w; then refused before the end moved (1)"}),
]


def main():
    print("| mount | " + " | ".join(name for name, _, _ in SCENARIOS) + " |", flush=True)
    print("|---" * (len(SCENARIOS) + 1) + "|")
    failed = 0
    # 9p's times are stamped by this machine: its row runs on this machine's
    # clock, every other on the counted one (see run.sh).
    shares = [share for share in SHARES
              if ONLY in share[0] and (share[3] == "9p") == (CLOCK == "host")]
    # A file system that only a newer kernel has (run.sh says which).
    for share in [share for share in shares if not os.path.ismount(f"/mnt/{share[1]}.a")]:
        print(f"| {share[0]} | not in Linux {os.uname().release} |", flush=True)
        shares.remove(share)
    for row, mount, served, kind, delegations in shares:
        if not delegations:
            # knfsd grants delegations through leases: none without them.
            with open("/proc/sys/fs/leases-enable", "w") as setting:
                setting.write("0")
        share, cells = Share(mount, served), []
        for _, scenario, expected in SCENARIOS:
            got = scenario(share)
            share.clean()
            if isinstance(expected, dict):
                expected = expected[kind]
            if expected is not None and got != expected:
                failed += 1
                got = f"**{got}, expected {expected}**"
            cells.append(got)
        print(f"| {row} | " + " | ".join(cells) + " |", flush=True)
    passed = len(SCENARIOS) * len(shares) - failed
    for cylinders in (77, 80) if ONLY in "FAT (vfat), power cut" and CLOCK == "counted" else ():
        states = power_cuts(cylinders)
        wrong = [f"{call}{', synced' if synced else ''}: {what}"
                 for call, synced, what in states if what]
        print(f"| FAT (vfat), power cut after each call of a {'grow' if cylinders == 77 else 'cut'}"
              f" | {len(states)} states: " + ("; ".join(wrong) or "all consistent, image "
                                              "as it was or as asked") + " |", flush=True)
        passed, failed = passed + len(states) - len(wrong), failed + len(wrong)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


def power_cuts(cylinders):
    """The states a power cut after each call of a change leaves on FAT,
    whose format cannot hold space past a file's end (this machine's own
    kernel has no FAT; the other file systems are the end-to-end cases')."""
    volume, folder = "/srv/cut.img", "/mnt/cut"
    if not os.path.exists(volume):
        subprocess.run(["truncate", "-s", "32M", volume], check=True)
        subprocess.run(["mkfs.vfat", volume], check=True, capture_output=True)
        os.makedirs(folder)
        subprocess.run(["mount", "-o", "loop", volume, folder], check=True)
    image = f"{folder}/disk.img"
    return list(cut_power([TOOL, image], image, cylinders, volume, folder, "vfat"))


if __name__ == "__main__":
    sys.exit(main())
