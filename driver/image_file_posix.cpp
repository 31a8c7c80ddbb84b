// The image file on Linux. A descriptor keeps nobody out who does not ask,
// so holding the image takes what the kernel offers: a lease to find out
// whether anyone else is writing the file when it is opened, the two kinds
// of locks that other programs take, and the inode's change time, compared
// before the end is moved.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
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

// NFS and SMB clients refuse a read lease whenever the server has granted
// no delegation or oplock to back it, which many servers never do: there
// the refusal cannot tell a writer from a server that grants nothing.
bool LeaseRefusalTellsNothing(int fd) {
  struct statfs where {};
  if (fstatfs(fd, &where) != 0) {
    return false;
  }
  // f_type is a signed word of either width; the magic numbers are 32 bits.
  const auto type = static_cast<std::uint32_t>(where.f_type);
  return type == NFS_SUPER_MAGIC || type == CIFS_SUPER_MAGIC || type == SMB2_SUPER_MAGIC;
}

// Whether some other process has the file open for writing (a loop device
// counts): Linux refuses a read lease exactly then. `reader` must be open
// for reading only; closing it lets the lease go. Where no lease can be had
// at all (not the file's owner, or a file system without leases), or its
// refusal means nothing (NFS, SMB), nobody can tell, and the answer is no.
bool WrittenElsewhere(int reader) {
  // A writer's open while the lease is held would send SIGIO, whose default
  // is to end the process. The tool has no other use for it.
  static_cast<void>(std::signal(SIGIO, SIG_IGN));
  return fcntl(reader, F_SETLEASE, F_RDLCK) != 0 && errno == EAGAIN &&
         !LeaseRefusalTellsNothing(reader);
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

// What the file is now. A network file system answers fstat from what it
// has cached, for up to a minute, and would miss another machine's change:
// statx asks its server. Where statx is missing (before Linux 4.11, where the
// C library's stand-in refuses the flag with EINVAL) or barred by a filter,
// fstat.
bool Measure(int fd, struct stat& out) {
  struct statx now {};
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &now) != 0) {
    return (errno == ENOSYS || errno == EINVAL || errno == EPERM) && fstat(fd, &out) == 0;
  }
  out = {};
  out.st_dev = makedev(now.stx_dev_major, now.stx_dev_minor);
  out.st_ino = now.stx_ino;
  out.st_mode = now.stx_mode;
  out.st_nlink = now.stx_nlink;
  out.st_size = static_cast<off_t>(now.stx_size);
  out.st_blocks = static_cast<blkcnt_t>(now.stx_blocks);
  // Only ever compared with another measurement taken the same way, so a
  // narrower time_t (32-bit ARM) loses nothing that matters.
  out.st_ctim.tv_sec = static_cast<time_t>(now.stx_ctime.tv_sec);
  out.st_ctim.tv_nsec = static_cast<long>(now.stx_ctime.tv_nsec);
  return true;
}

// Still the file that was measured: linked, of the same size, and with the
// same change time. That time moves on every write (through a map or a clone
// too), every change of size, permissions, owner, times or links, and
// nobody can set it back; but FAT keeps it as the time of the last write,
// in steps of 2 seconds. A read leaves it; a rename moves it.
bool UnchangedSinceMeasured(const NativeHandle& image) {
  struct stat now {};
  return Measure(image.file, now) && now.st_nlink > 0 && now.st_size == image.size &&
         now.st_ctim.tv_sec == image.changed.tv_sec &&
         now.st_ctim.tv_nsec == image.changed.tv_nsec;
}

// A reservation that failed part-way, or whose set-end then failed, can
// leave blocks past the end that nothing reaches. Setting the end where it
// is frees them (ext4, xfs and btrfs drop blocks past the end even when the
// size stays; tmpfs gives back a failed reservation itself). Whether
// nothing is left there.
bool GiveBackReserved(const NativeHandle& image) {
  struct stat now {};
  return !Measure(image.file, now) || now.st_blocks <= image.blocks ||
         ftruncate(image.file, static_cast<off_t>(image.size)) == 0;
}

// Extending a file only moves its end: on a full disk the new cylinders
// would have no blocks, and the first write into them would fail long after
// we said done. So the grown range is reserved first, the size left as it
// is. A file system that cannot reserve (NFS, some FUSE) gets the end set
// as before.
bool ReserveGrownRange(const NativeHandle& image) {
  return fallocate(image.file, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(image.size),
                   static_cast<off_t>(image.position - image.size)) == 0 ||
         errno == EOPNOTSUPP || errno == ENOSYS;
}

// The file the name leads to, opened as a path only, and measured. O_PATH
// opens nothing: a device is never opened, not even for a moment, before its
// type is known (an open alone can rewind a tape or arm a watchdog). Never
// O_CREAT: a missing image is an error, not a new file.
int Find(const char* path, struct stat& info) {
  // An NFS client may still lead the name, from its cache, to a file that
  // another machine has since replaced: a path-only open never asks the
  // server, so only the first look fails, with ESTALE, which drops that
  // cache entry. Look the name up once more, as an ordinary open would.
  for (int look = 0; look < 2; ++look) {
    const int found = KeepOffStandardStreams(open(path, O_PATH | O_CLOEXEC));
    if (found < 0 || Measure(found, info)) {
      return found;
    }
    const bool stale = errno == ESTALE;
    static_cast<void>(close(found));
    if (!stale) {
      break;
    }
  }
  return NO_FILE;
}

}  // namespace

std::optional<ImageFile> ImageFile::Open(const char* path) {
  struct stat info {};
  const int found = Find(path, info);
  if (found < 0) {
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
    return ImageFile(NativeHandle{found, 0, 0, {}, 0});
  }
  const int fd = OpenRegular(found, path, info);
  static_cast<void>(close(found));
  if (fd < 0) {
    return std::nullopt;
  }
  return ImageFile(NativeHandle{fd, 0, 0, {}, 0});
}

ImageFile::~ImageFile() {
  if (owned_) {
    static_cast<void>(close(handle_.file));
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() {
  struct stat info {};
  // Only a regular file has an end to move. A pipe, a device or a socket
  // reports failure here, as its handle does on Windows, and so is never cut.
  if (!Measure(handle_.file, info) || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  handle_.size = info.st_size;
  handle_.blocks = info.st_blocks;
  handle_.changed = info.st_ctim;
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
  const bool growing = handle_.position > handle_.size;
  if (growing) {
    // Growing past a file-size limit (ulimit -f) raises SIGXFSZ, which would
    // end the tool with nothing said; ignored, the set-end fails, and is
    // reported as a resize that could not be made.
    static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  }
  if ((!growing || ReserveGrownRange(handle_)) &&
      ftruncate(handle_.file, static_cast<off_t>(handle_.position)) == 0) {
    return true;
  }
  static_cast<void>(GiveBackReserved(handle_));
  return false;
}

bool ImageFile::FlushToDevice() {
  // fdatasync covers a change of size. EINVAL: this kind of file (some
  // special or network file systems) cannot be synced; there is nothing
  // more to wait for.
  return fdatasync(handle_.file) == 0 || errno == EINVAL;
}
