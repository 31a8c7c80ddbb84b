// Holding the image on Linux. A descriptor keeps nobody out who does not
// ask, so this takes what the kernel offers: a lease to find out whether
// anyone else is writing the file when it is opened, the two kinds of locks
// that other programs take, and, where the file's times cannot show every
// change, a watch from the open until the end moves.
#include "driver/image_hold_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>

namespace {

#ifdef F_OFD_SETLK
constexpr int OFD_LOCK_COMMAND = F_OFD_SETLK;
#else
constexpr int OFD_LOCK_COMMAND = F_SETLK;
#endif

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;
constexpr long NANOSECONDS_PER_MILLISECOND = 1'000'000;
// The longest tick of a clock that stamps files finely: 10 ms on Linux at
// 100 Hz, 15.6 ms on Windows. Such a clock lags real time by up to two.
constexpr std::int64_t LONGEST_TICK = std::int64_t{20} * NANOSECONDS_PER_MILLISECOND;
// A clock that steps in seconds: FAT's steps in two, the coarsest there is.
constexpr std::int64_t COARSE_STEP = 2 * NANOSECONDS_PER_SECOND + 2 * LONGEST_TICK;
// How often to look again at a clock that should have moved on by then.
constexpr int CLOCK_LOOKS = 4;

std::int64_t Nanoseconds(const struct timespec& time) {
  return std::int64_t{time.tv_sec} * NANOSECONDS_PER_SECOND + time.tv_nsec;
}

struct timespec TimeOf(std::int64_t nanoseconds) {
  return {static_cast<time_t>(nanoseconds / NANOSECONDS_PER_SECOND),
          static_cast<long>(nanoseconds % NANOSECONDS_PER_SECOND)};
}

// What the watch reports: a write (through the file, not a map), a change of
// size, mode, times or links, a rename and a removal.
constexpr std::uint32_t CHANGES = IN_MODIFY | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

// The whole file, however far its end moves: a lock of `type` (F_WRLCK),
// or its release (F_UNLCK).
struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return lock;
}

// Without waiting. Lock on the open file description rather than the
// process: emulators and VM managers lock disk images that way, so each
// side then refuses an image the other holds, and the lock is not dropped
// when some other descriptor of the file is closed. Kernels older than such
// locks reject the command; fall back to a classic process lock there,
// which the others still see.
bool SetRangeLock(int fd, struct flock lock) {
  if (fcntl(fd, OFD_LOCK_COMMAND, &lock) == 0) {
    return true;
  }
  return errno == EINVAL && fcntl(fd, F_SETLK, &lock) == 0;
}

// The range lock, and flock(2) beside it, which shell scripts and many tools
// take instead. Where a file system makes flock a range lock as well (NFS
// and SMB can), what refuses the flock may be the range lock just taken: let
// that go and ask again. A flock granted then keeps both kinds out alone.
// A file system without flock leaves the range lock to do it.
bool LockAgainstWriters(int fd) {
  if (!SetRangeLock(fd, WholeFile(F_WRLCK))) {
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
    return true;
  }
  return SetRangeLock(fd, WholeFile(F_UNLCK)) && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// The descriptor's own entry in /proc: it leads to the very file the
// descriptor holds, whatever the name has come to mean since.
std::string OwnEntry(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool SameFile(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Opens once more the file that `fd` holds. Without /proc (a bare chroot),
// the name is opened instead, and kept only if it leads to the same file.
int Reopen(int fd, const char* path, int flags, const struct stat& found) {
  const int again = open(OwnEntry(fd).c_str(), flags);
  if (again >= 0 || errno != ENOENT) {
    return again;
  }
  const int named = open(path, flags);
  struct stat now {};
  if (named >= 0 && (fstat(named, &now) != 0 || !SameFile(now, found))) {
    static_cast<void>(close(named));
    return NO_FILE;
  }
  return named;
}

// Whether some other process has the file open for writing (a loop device
// counts): Linux refuses a read lease exactly then. `reader` must be open
// for reading only; closing it lets the lease go. Where no lease can be had
// at all (not the file's owner, or a file system without leases), nobody
// can tell, and the answer is no. NFS and SMB clients refuse a lease
// whenever the server has granted no delegation or oplock to back it, which
// many servers never do: there the refusal tells nothing.
bool WrittenElsewhere(int reader, bool shared_over_network) {
  // A writer's open while the lease is held would send SIGIO, whose default
  // is to end the process. The tool has no other use for it.
  static_cast<void>(std::signal(SIGIO, SIG_IGN));
  return fcntl(reader, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN && !shared_over_network;
}

}  // namespace

std::optional<bool> SharedOverNetwork(int fd) {
  struct statfs where {};
  if (fstatfs(fd, &where) != 0) {
    return std::nullopt;
  }
  // f_type is a signed word of either width; the numbers are 32 bits.
  const auto type = static_cast<std::uint32_t>(where.f_type);
  return type == NFS_SUPER_MAGIC || type == CIFS_SUPER_MAGIC || type == SMB2_SUPER_MAGIC;
}

bool ClockIsCoarse(const struct stat& info) {
  // A fine clock leaves digits below the millisecond: the chance that it
  // leaves none is one in a million, and costs only a watch.
  return info.st_ctim.tv_nsec % NANOSECONDS_PER_MILLISECOND == 0;
}

std::int64_t ClockStep(const struct stat& info, bool shared_over_network) {
  if (ClockIsCoarse(info)) {
    return COARSE_STEP;
  }
  // This kernel stamps file times from the coarse clock that CoarseNow
  // reads: any older time will do. A server's clock cannot be read.
  return shared_over_network ? 2 * LONGEST_TICK : 1;
}

struct timespec CoarseNow() {
  struct timespec now {};
  static_cast<void>(clock_gettime(CLOCK_REALTIME_COARSE, &now));
  return now;
}

void OutwaitClockStep(const struct timespec& changed, std::int64_t step,
                      const struct timespec& before) {
  const std::int64_t stamped = Nanoseconds(changed);
  std::int64_t now = Nanoseconds(before);
  // A time further ahead of this machine's clock was set by hand (Samba
  // gives the time of the last write as the change time) or stamped by a
  // clock far from this one: waiting would not help.
  if (stamped > now + COARSE_STEP) {
    return;
  }
  struct timespec tick {};
  static_cast<void>(clock_getres(CLOCK_REALTIME_COARSE, &tick));
  // The coarse clock moves once per tick, and lags real time by up to two.
  for (int look = 0; look < CLOCK_LOOKS && stamped + step > now; ++look) {
    const struct timespec rest = TimeOf(stamped + step - now + Nanoseconds(tick));
    static_cast<void>(clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, nullptr));
    now = Nanoseconds(CoarseNow());
  }
}

int OpenHeld(int found, const char* path, const struct stat& info, bool shared_over_network) {
  // Nobody may write it: someone protects it, as with a floppy's write
  // tab. Root could write it anyway; the tool does not.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return NO_FILE;
  }
  // O_NONBLOCK: where another program holds a lease, fail at once rather
  // than wait for it to let go.
  const int reader = Reopen(found, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, info);
  if (reader < 0) {
    return NO_FILE;
  }
  const bool written_elsewhere = WrittenElsewhere(reader, shared_over_network);
  static_cast<void>(close(reader));
  if (written_elsewhere) {
    return NO_FILE;
  }
  // Straight after the check: a writer that opens the file in between, or
  // later without a lock, is what the check before the end moves is for.
  const int fd = Reopen(found, path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, info);
  if (fd >= 0 && !LockAgainstWriters(fd)) {
    static_cast<void>(close(fd));
    return NO_FILE;
  }
  return fd;
}

int WatchChanges(int found, const char* path, const struct stat& info) {
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch < 0) {
    return NO_FILE;
  }
  if (inotify_add_watch(watch, OwnEntry(found).c_str(), CHANGES) >= 0) {
    return watch;
  }
  // Without /proc, the name, if it still leads to the same file.
  struct stat now {};
  if (errno == ENOENT && inotify_add_watch(watch, path, CHANGES) >= 0 &&
      stat(path, &now) == 0 && SameFile(now, info)) {
    return watch;
  }
  static_cast<void>(close(watch));
  return NO_FILE;
}

bool NothingSeen(int watch) {
  // An overflowed queue holds an event too.
  int pending = 0;
  return ioctl(watch, FIONREAD, &pending) == 0 && pending == 0;
}
