// The image file on Linux. A descriptor keeps nobody out who does not ask,
// so holding the image takes what the kernel offers: a lease to find out
// whether anyone else is writing the file when it is opened, the two kinds
// of locks that other programs take, and a watch for writes by others while
// the question waits, checked before the end is moved.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "driver/image_file.h"

static_assert(sizeof(off_t) == sizeof(std::int64_t),
              "off_t must be 64-bit: build with _FILE_OFFSET_BITS=64");

namespace {

constexpr int NO_FILE = -1;

#ifdef F_OFD_SETLK
constexpr int OFD_LOCK_COMMAND = F_OFD_SETLK;
#else
constexpr int OFD_LOCK_COMMAND = F_SETLK;
#endif

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

// With a standard stream closed, a descriptor of ours would get its number:
// messages meant for standard output would be written into the image, and
// the answer read out of it. Keep ours above them; the closed stream stays
// closed, so its messages are simply lost.
int KeepOffStandardStreams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  static_cast<void>(close(fd));
  return moved;
}

// The descriptor's own entry in /proc: it leads to the very file the
// descriptor holds, whatever the name has come to mean since.
std::string OwnEntry(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens once more the file that `fd` holds. Without /proc (a bare chroot),
// the name is opened instead, and kept only if it leads to the same file.
int Reopen(int fd, const char* path, int flags, const struct stat& found) {
  const int again = open(OwnEntry(fd).c_str(), flags);
  if (again >= 0 || errno != ENOENT) {
    return again;
  }
  const int named = open(path, flags);
  struct stat now {};
  if (named >= 0 && (fstat(named, &now) != 0 || now.st_dev != found.st_dev ||
                     now.st_ino != found.st_ino)) {
    static_cast<void>(close(named));
    return NO_FILE;
  }
  return named;
}

// Whether some other process has the file open for writing (a loop device
// counts): Linux refuses a read lease exactly then. `reader` must be open
// for reading only; closing it lets the lease go. Where no lease can be had
// at all (not the file's owner, or a file system without leases), nobody
// can tell, and the answer is no.
bool WrittenElsewhere(int reader) {
  // A writer's open while the lease is held would send SIGIO, whose default
  // is to end the process. The tool has no other use for it.
  static_cast<void>(std::signal(SIGIO, SIG_IGN));
  return fcntl(reader, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN;
}

// A regular file, open for reading and writing and locked; or NO_FILE.
int OpenRegular(int found, const char* path, const struct stat& info) {
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
  const bool written_elsewhere = WrittenElsewhere(reader);
  static_cast<void>(close(reader));
  if (written_elsewhere) {
    return NO_FILE;
  }
  // Straight after the check: a writer that opens the file in between, or
  // later without a lock, is what the check before the end moves is for.
  const int fd = KeepOffStandardStreams(
      Reopen(found, path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, info));
  if (fd >= 0 && !LockAgainstWriters(fd)) {
    static_cast<void>(close(fd));
    return NO_FILE;
  }
  return fd;
}

// An inotify watch for writes to the file: set before it is measured, so
// nothing written after that goes unseen. Without one (the user's watches
// used up), the size and the time of the last write still tell.
int WatchForWrites(int fd) {
  const int watch = KeepOffStandardStreams(inotify_init1(IN_CLOEXEC));
  if (watch >= 0 && inotify_add_watch(watch, OwnEntry(fd).c_str(), IN_MODIFY) < 0) {
    static_cast<void>(close(watch));
    return NO_FILE;
  }
  return watch;
}

// Still the file that was measured: linked, of the same size, not written
// since. Reads and renames change none of these.
bool UnchangedSinceMeasured(const NativeHandle& image) {
  struct stat now {};
  int unread = 0;
  return fstat(image.file, &now) == 0 && now.st_nlink > 0 && now.st_size == image.size &&
         now.st_mtim.tv_sec == image.modified.tv_sec &&
         now.st_mtim.tv_nsec == image.modified.tv_nsec &&
         (image.watch < 0 || (ioctl(image.watch, FIONREAD, &unread) == 0 && unread == 0));
}

}  // namespace

std::optional<ImageFile> ImageFile::Open(const char* path) {
  // O_PATH opens nothing: a device is never opened, not even for a moment,
  // before its type is known (an open alone can rewind a tape or arm a
  // watchdog). Never O_CREAT: a missing image is an error, not a new file.
  const int found = KeepOffStandardStreams(open(path, O_PATH | O_CLOEXEC));
  if (found < 0) {
    return std::nullopt;
  }
  struct stat info {};
  if (fstat(found, &info) != 0) {
    static_cast<void>(close(found));
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    // A folder or a socket cannot be opened as a file; a FIFO or a device
    // the user may use is held by its path, and has no size to cut.
    if (S_ISDIR(info.st_mode) || S_ISSOCK(info.st_mode) ||
        faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0) {
      static_cast<void>(close(found));
      return std::nullopt;
    }
    return ImageFile(NativeHandle{found, NO_FILE, 0, {}, 0});
  }
  const int fd = OpenRegular(found, path, info);
  static_cast<void>(close(found));
  if (fd < 0) {
    return std::nullopt;
  }
  return ImageFile(NativeHandle{fd, WatchForWrites(fd), 0, {}, 0});
}

ImageFile::~ImageFile() {
  if (owned_) {
    static_cast<void>(close(handle_.file));
    if (handle_.watch >= 0) {
      static_cast<void>(close(handle_.watch));
    }
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() {
  struct stat info {};
  // Only a regular file has an end to move. A pipe, a device or a socket
  // reports failure here, as its handle does on Windows, and so is never cut.
  if (fstat(handle_.file, &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  handle_.size = info.st_size;
  handle_.modified = info.st_mtim;
  return std::int64_t{info.st_size};
}

bool ImageFile::SeekFromBegin(std::int64_t offset) {
  // While the question waited, others could write, cut, replace or remove
  // the file without asking. The plan was made for the file as measured.
  // The position itself is only where the end goes: ftruncate takes it.
  handle_.position = offset;
  return offset >= 0 && UnchangedSinceMeasured(handle_);
}

bool ImageFile::SetEndHere() {
  // Growing past a file-size limit (ulimit -f) raises SIGXFSZ, which would
  // end the tool with nothing said; ignored, the set-end fails, and is
  // reported as a resize that could not be made.
  if (handle_.position > handle_.size) {
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  }
  return ftruncate(handle_.file, static_cast<off_t>(handle_.position)) == 0;
}

bool ImageFile::FlushToDevice() {
  // fdatasync covers a change of size. EINVAL: this kind of file (some
  // special or network file systems) cannot be synced; there is nothing
  // more to wait for.
  return fdatasync(handle_.file) == 0 || errno == EINVAL;
}
