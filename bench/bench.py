#!/usr/bin/env python3
"""Benchmark: a confirmed 80 -> 77 cut by cylswap (answer from a file) against
`truncate -s 1261568` from coreutils, on the same machine in one run.

  wall time   paired runs in alternating order, spawned directly (no shell),
              each on an image of a pool last changed well before, as
              people's images are: median and interquartile range, and the
              median of the ratios; and, on its own line, cylswap on an
              image changed just before the run, which waits out the clock
              step that image's change time lies in;
  syscalls    `strace -f -c` of one run each, and `strace -y` proof that
              cylswap reads nothing from the image;
  peak RSS    `/usr/bin/time -v`, median of several runs;
  floors      an empty program of each linkage, timed in the same pairs:
              static, and dynamically linked as the package's binary is
              (PIE, bound at start); what starting and ending any program
              of that kind costs here. Each binary's time above its floor,
              in units of truncate's median, is the figure the tool's own
              work decides, and stands on any machine;
  under load  the same pairs again while another process writes a file and
              sets and drops an inotify watch in a loop, as a busy machine
              does: the median and 90th percentile of the paired ratios.

Usage: bench/bench.py [PAIRS [DISK_PAIRS]]   (builds the release and package
presets first; the package's binary is timed beside the release binary. The
run fails if the release binary's time above its floor is more than 0.25x
truncate's, the package's more than 0.35x; if the release binary makes more
than 50 system calls; if either sleeps on an image of the pool, or reads
the image. The plain ratios are reported, not bounded: they measure the
machine's cost of starting a program as much as the tool)
Needs: cmake, g++, strace, time, qemu-utils (Debian packages).
"""
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CYLSWAP = os.path.join(ROOT, "build", "release", "cylswap")
# The Debian package's build: C library dynamic, hardened.
PACKAGED = os.path.join(ROOT, "build", "package", "cylswap")
EMPTY_STATIC = os.path.join(ROOT, "build", "release", "empty")
EMPTY_DYNAMIC = os.path.join(ROOT, "build", "package", "empty")
SIZE_80, SIZE_77 = 80 * 16384, 77 * 16384
IMAGE = "{image}"  # in a command, where the image's path goes
POOL = 200  # images in a pool


def build():
    for preset in ("release", "package"):
        for step in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
            subprocess.run(step, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    # What starting and ending any program of each linkage costs here: the
    # package's is linked as cmake/hardening.cmake links it.
    for linkage, empty in ((["-static"], EMPTY_STATIC),
                           (["-fPIE", "-pie", "-Wl,-z,relro", "-Wl,-z,now"], EMPTY_DYNAMIC)):
        subprocess.run(["g++", *linkage, "-O2", "-x", "c++", "-", "-o", empty],
                       input=b"int main() { return 0; }\n", check=True)


def spawn_time(argv, answer):
    """Seconds from spawn to exit, stdin from `answer`, stdout to /dev/null."""
    with open(answer, "rb") as stdin, open(os.devnull, "wb") as null:
        start = time.perf_counter_ns()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, stdin.fileno(), 0),
                                           (os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status = os.waitpid(pid, 0)
        elapsed = time.perf_counter_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed")
    return elapsed / 1e6


def quartiles(values):
    q = statistics.quantiles(values, n=4)
    return statistics.median(values), q[0], q[2]


def strace_count(argv, answer, folder):
    """The system calls of one run: how many in all, and which sleep."""
    out = os.path.join(folder, "strace.txt")
    with open(answer, "rb") as stdin:
        subprocess.run(["strace", "-f", "-c", "-o", out, *argv], stdin=stdin,
                       stdout=subprocess.DEVNULL, check=True)
    with open(out) as file:
        lines = file.read().splitlines()
    total = [line for line in lines if line.rstrip().endswith("total")][0]
    sleeps = [line.split()[-1] for line in lines if line.endswith("sleep")]
    return int(total.split()[3]), sleeps  # % time, seconds, usecs/call, calls[, errors], total


def reads_from_image(image, answer, folder):
    out = os.path.join(folder, "reads.txt")
    with open(answer, "rb") as stdin:
        subprocess.run(["strace", "-y", "-e", "trace=read,pread64,readv,preadv,preadv2",
                        "-o", out, CYLSWAP, image], stdin=stdin,
                       stdout=subprocess.DEVNULL, check=True)
    with open(out) as file:
        reads = [line.strip() for line in file if re.match(r"p?readv?2?\(", line)]
    return reads, [line for line in reads if os.path.basename(image) in line]


def peak_rss_kib(argv, answer, image, runs=15):
    values = []
    for _ in range(runs):
        os.truncate(image, SIZE_80)
        time.sleep(0.02)  # no longer changed in the running clock step
        with open(answer, "rb") as stdin:
            err = subprocess.run(["/usr/bin/time", "-v", *argv], stdin=stdin,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 check=True).stderr.decode()
        values.append(int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err)[1]))
    return statistics.median(values)


def make_image(folder, name="disk.img"):
    image, answer = os.path.join(folder, name), os.path.join(folder, "answer.txt")
    with open(answer, "wb") as file:
        file.write(b"y\n")
    with open(image, "wb") as file:
        file.write(os.urandom(SIZE_80))
        os.fsync(file.fileno())
    return image, answer


class Pool:
    """80-cylinder images, each put back to 80 cylinders once used and taken
    again only after all the others: every run gets an image last changed
    some hundred runs before, as people's images are. (An image changed just
    before the run is the rare case, timed on its own.)"""

    def __init__(self, folder, count=POOL):
        self.images = [make_image(folder, f"disk{n}.img")[0] for n in range(count)]
        self.used = 0

    def take(self):
        image = self.images[self.used % len(self.images)]
        self.used += 1
        return image

    @staticmethod
    def put_back(image):
        os.truncate(image, SIZE_80)


def paired(commands, pool, answer, pairs, warm_up=50):
    """Wall times of each command (its arguments, IMAGE standing for the
    image), in pairs of alternating order, each run on the next image of
    `pool`."""
    times = {name: [] for name in commands}
    for i in range(pairs + warm_up):
        order = list(commands) if i % 2 == 0 else list(reversed(commands))
        for name in order:
            image = pool.take()
            elapsed = spawn_time([image if a == IMAGE else a for a in commands[name]], answer)
            pool.put_back(image)
            if i >= warm_up:
                times[name].append(elapsed)
    return times


def back_to_back(argv, image, answer, runs):
    """Wall times of `argv` on an image put back to 80 cylinders just before
    each run: its change time lies in the clock step that is still running."""
    times = []
    for _ in range(runs):
        Pool.put_back(image)
        times.append(spawn_time([image if a == IMAGE else a for a in argv], answer))
    return times


def print_times(times):
    for name in times:
        median, low, high = quartiles(times[name])
        print(f"| {name} | {median:.3f} ms | {low:.3f}–{high:.3f} ms |")


def ratio_line(times, mine, other):
    ratios = [a / b for a, b in zip(times[mine], times[other])]
    median, low, high = quartiles(ratios)
    tenth = statistics.quantiles(ratios, n=10)[8]
    return (f"{mine}/{other}, paired: median {median:.2f}x (IQR {low:.2f}–{high:.2f}, "
            f"90th percentile {tenth:.2f}x); medians "
            f"{statistics.median(times[mine]) / statistics.median(times[other]):.2f}x")


# Another process keeping the machine busy the ordinary way: it writes a
# file and sets and drops an inotify watch (as editors and file managers do;
# dropping one waits for a kernel grace period), over and over.
LOAD = """
import ctypes, os, sys
libc = ctypes.CDLL(None)
path = os.path.join(sys.argv[1], "load.dat")
block = os.urandom(65536)
while True:
    with open(path, "wb") as file:
        file.write(block)
    watch = libc.inotify_init1(0)
    libc.inotify_add_watch(watch, path.encode(), 2)
    os.close(watch)
"""


def under_load(commands, pool, answer, pairs, folder):
    load = subprocess.Popen([sys.executable, "-c", LOAD, folder])
    try:
        return paired(commands, pool, answer, pairs)
    finally:
        load.kill()
        load.wait()


def durable_peer(pairs):
    """cylswap against qemu-img resize on a real disk, where both flush."""
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench-", dir=os.path.join(ROOT, "build")) as folder:
        _, answer = make_image(folder)
        commands = {
            "cylswap": [CYLSWAP, IMAGE],
            "qemu-img": ["/usr/bin/qemu-img", "resize", "-q", "-f", "raw", "--shrink",
                         IMAGE, str(SIZE_77)],
        }
        return paired(commands, Pool(folder, 50), answer, pairs, warm_up=10), folder


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    disk_pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    build()
    with tempfile.TemporaryDirectory(prefix="cylswap-bench-", dir="/dev/shm") as folder:
        image, answer = make_image(folder)
        pool = Pool(folder)
        commands = {
            "cylswap": [CYLSWAP, IMAGE],
            "cylswap (package)": [PACKAGED, IMAGE],
            "truncate": ["/usr/bin/truncate", "-s", str(SIZE_77), IMAGE],
        }
        floors = {"an empty static program": [EMPTY_STATIC],
                  "an empty dynamically linked program": [EMPTY_DYNAMIC]}
        times = paired({**commands, **floors}, pool, answer, pairs)
        rushed = back_to_back(commands["cylswap"], image, answer, max(pairs // 5, 20))
        syscalls, sleeps, rss = {}, {}, {}
        for name, argv in commands.items():
            argv = [image if a == IMAGE else a for a in argv]
            Pool.put_back(image)
            time.sleep(0.1)  # an image last changed well before, as in the pool
            syscalls[name], sleeps[name] = strace_count(argv, answer, folder)
            rss[name] = peak_rss_kib(argv, answer, image)
        os.truncate(image, SIZE_80)
        reads, image_reads = reads_from_image(image, answer, folder)
        loaded = under_load({"cylswap": commands["cylswap"], "truncate": commands["truncate"]},
                            pool, answer, pairs, folder)

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, "
          f"{platform.platform()}; {time.strftime('%Y-%m-%d')}; {pairs} pairs")
    print("| | median wall time | interquartile range | system calls | peak RSS |")
    print("|---|---|---|---|---|")
    for name in commands:
        median, low, high = quartiles(times[name])
        print(f"| {name} | {median:.3f} ms | {low:.3f}–{high:.3f} ms | "
              f"{syscalls[name]} | {rss[name]} KiB |")
    for name in floors:
        median, low, high = quartiles(times[name])
        print(f"| {name} | {median:.3f} ms | {low:.3f}–{high:.3f} ms | | |")
    for name in (*commands, *floors):
        if name != "truncate":
            print(ratio_line(times, name, "truncate"))
    # The time each binary takes above an empty program of its linkage, in
    # units of truncate's median: what the tool's own work costs.
    above = {name: (statistics.median(times[name]) - statistics.median(times[floor]))
             / statistics.median(times["truncate"])
             for name, floor in (("cylswap", "an empty static program"),
                                 ("cylswap (package)", "an empty dynamically linked program"))}
    for name, figure in above.items():
        print(f"{name}: {figure:.3f}x truncate's time above its floor")
    median, low, high = quartiles(rushed)
    print(f"cylswap on an image changed just before the run ({len(rushed)} runs): median "
          f"{median:.3f} ms (IQR {low:.3f}–{high:.3f} ms), "
          f"{median - statistics.median(times['cylswap']):.3f} ms more than from the pool")
    print("\nunder load (a file written and an inotify watch set and dropped, in a loop)")
    print_times(loaded)
    print(ratio_line(loaded, "cylswap", "truncate"))
    print(f"cylswap reads: {len(reads)}, from the image: {len(image_reads)}")
    for line in reads:
        print("   ", line)

    disk, folder = durable_peer(disk_pairs)
    print(f"\non a real disk ({folder}), both flushing; {disk_pairs} pairs")
    print_times(disk)
    print(ratio_line(disk, "cylswap", "qemu-img"))
    bounds = {"reads from the image": image_reads,
              "release binary's system calls above 50": syscalls["cylswap"] > 50,
              "a sleep on an image of the pool": sleeps["cylswap"] + sleeps["cylswap (package)"],
              "release binary above 0.25x truncate above its floor": above["cylswap"] > 0.25,
              "package's binary above 0.35x truncate above its floor":
                  above["cylswap (package)"] > 0.35}
    broken = [what for what, bad in bounds.items() if bad]
    print("bounds:", ", ".join(broken) if broken else "all kept")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
