// Holding the image on Linux. A descriptor keeps nobody out who does not
// ask, so this takes what the kernel offers: a lease to find out whether
// anyone else is writing the file when it is opened, the two kinds of locks
// that other programs take, and, where the file's times cannot show every
// change, a watch from the open until the end moves. And what the storage
// says about who else stamps those times.
#include "driver/image_hold_posix.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

#ifdef F_OFD_SETLK
constexpr int OFD_LOCK_COMMAND = F_OFD_SETLK;
#else
constexpr int OFD_LOCK_COMMAND = F_SETLK;
#endif

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

// The file system's number, as statfs gives it; empty if it cannot be read.
std::optional<std::uint32_t> FileSystemOf(int fd) {
  struct statfs where {};
  if (fstatfs(fd, &where) != 0) {
    return std::nullopt;
  }
  // f_type is a signed word of either width; the numbers are 32 bits.
  return static_cast<std::uint32_t>(where.f_type);
}

bool ServedOverNetwork(std::uint32_t type) {
  return type == NFS_SUPER_MAGIC || type == CIFS_SUPER_MAGIC || type == SMB2_SUPER_MAGIC;
}

// Whether the mount table names the file system of device `dev` 9p. Over
// 9P2000.L, which QEMU and WSL 2 speak, statfs gives the number of the
// host's file system (ext4's, say), so only the table tells.
bool MountedOver9p(dev_t dev) {
  std::ifstream table("/proc/self/mountinfo");
  // Each line: ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE ...
  const std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string word;
    fields >> word >> word >> word;
    const bool that_device = word == device;
    while (fields >> word && word != "-") {
    }
    if (that_device && fields >> word && word == "9p") {
      return true;
    }
  }
  return false;
}

// Whether some other process has the file open for writing (a loop device
// counts): Linux refuses a read lease exactly then. `reader` must be open
// for reading only; closing it lets the lease go. Where no lease can be had
// at all (not the file's owner, or a file system without leases), nobody
// can tell, and the answer is no. NFS and SMB clients refuse a lease
// whenever the server has granted no delegation or oplock to back it, which
// many servers never do: there the refusal tells nothing.
bool WrittenElsewhere(int reader, std::uint32_t type) {
  // A writer's open while the lease is held would send SIGIO, whose default
  // is to end the process. The tool has no other use for it.
  static_cast<void>(std::signal(SIGIO, SIG_IGN));
  return fcntl(reader, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN && !ServedOverNetwork(type);
}

}  // namespace

int OpenHeld(int found, const char* path, const struct stat& info) {
  // Nobody may write it: someone protects it, as with a floppy's write
  // tab. Root could write it anyway; the tool does not.
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return NO_FILE;
  }
  const std::optional<std::uint32_t> type = FileSystemOf(found);
  if (!type) {
    return NO_FILE;
  }
  // O_NONBLOCK: where another program holds a lease, fail at once rather
  // than wait for it to let go.
  const int reader = Reopen(found, path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, info);
  if (reader < 0) {
    return NO_FILE;
  }
  const bool written_elsewhere = WrittenElsewhere(reader, *type);
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

bool StampedElsewhere(int fd, const struct stat& info) {
  const std::optional<std::uint32_t> type = FileSystemOf(fd);
  // A 9p mount has no device of its own: a file on a device is not on 9p.
  return type && (ServedOverNetwork(*type) || *type == V9FS_MAGIC ||
                  (major(info.st_dev) == 0 && MountedOver9p(info.st_dev)));
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
