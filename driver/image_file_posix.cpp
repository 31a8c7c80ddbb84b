// The image file on Linux: finding it, measuring it, and moving its end.
// Holding it against others is image_hold_posix.cpp's. A grow takes its
// space before it is reported done, and a grow that fails leaves the file as
// it was measured.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "driver/image_file.h"
#include "driver/image_hold_posix.h"
#include "driver/resize_plan.h"

static_assert(sizeof(off_t) == sizeof(std::int64_t),
              "off_t must be 64-bit: build with _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == sizeof(std::int64_t),
              "time_t must be 64-bit, or a time past 2038 is set back wrong: "
              "build with _TIME_BITS=64");

namespace {

std::timespec TimeOf(const struct statx_timestamp& time) {
  return {static_cast<time_t>(time.tv_sec), static_cast<long>(time.tv_nsec)};
}

bool operator==(const std::timespec& one, const std::timespec& other) {
  return one.tv_sec == other.tv_sec && one.tv_nsec == other.tv_nsec;
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
  out.st_mtim = TimeOf(now.stx_mtime);
  out.st_atim = TimeOf(now.stx_atime);
  out.st_ctim = TimeOf(now.stx_ctime);
  return true;
}

// Still the file that was measured: linked, of the same size, and with the
// same change time. That time moves on every write (through a map or a clone
// too), every change of size, permissions, owner, times or links, and
// nobody can set it back; the measurement was made to show a change in the
// clock step it lay in too. Where its clock is coarse, or it is no change
// time at all (FAT, exFAT), the watch set at the open must also have seen
// nothing. A read leaves both; a rename moves both.
bool UnchangedSinceMeasured(const NativeHandle& image) {
  struct stat now {};
  return Measure(image.file, now) && now.st_nlink > 0 && now.st_size == image.size &&
         now.st_ctim == image.changed && (image.watch == NO_FILE || NothingSeen(image.watch));
}

// Past the file-size limit (ulimit -f) the set-end would fail, and first
// raise SIGXFSZ, which ends the tool with nothing said: find out before
// anything is touched.
bool WithinSizeLimit(std::int64_t end) {
  struct rlimit limit {};
  return getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
         (limit.rlim_cur == RLIM_INFINITY || static_cast<std::uint64_t>(end) <= limit.rlim_cur);
}

// Zero bytes from `from` to `end`, below the end already set: no write
// ever extends the file (fusefat ruins a file's data when one does), and
// the image's own data is never written. Not const, so that the buffer is
// zero-filled memory rather than 16 KiB of the binary that every run maps.
bool WriteZeros(int fd, std::int64_t from, std::int64_t end) {
  static std::array<char, CYLINDER_BYTES> zeros{};
  while (from < end) {
    const std::int64_t wanted = std::min(end - from, CYLINDER_BYTES);
    const ssize_t written =
        pwrite(fd, zeros.data(), static_cast<size_t>(wanted), static_cast<off_t>(from));
    if (written <= 0) {
      return false;
    }
    from += written;
  }
  return true;
}

// Whether the reservation just made added the new cylinders' blocks to the
// `blocks` the file had once its end had moved. Blocks it had already count
// for nothing: the SMB client says yes and reserves nothing, and having set
// the end it reports blocks for the new size that the server never took, as
// a server does that rounds what it reports up (Samba's allocation roundup
// size).
bool Reserved(const NativeHandle& image, std::int64_t blocks) {
  constexpr std::int64_t BLOCK_BYTES = 512;  // the unit st_blocks counts in
  struct stat now {};
  return Measure(image.file, now) &&
         now.st_blocks - blocks >= (image.position - image.size) / BLOCK_BYTES;
}

// Extending a file only moves its end: on a full disk the new cylinders
// would have no blocks, and the first write into them would fail long after
// we said done. So the end moves, and then their space is taken within it:
// reserved where the file system can, and where it cannot (NFS before 4.2,
// FUSE drivers) or took nothing (the SMB client), written with zeros, which
// read as zeros either way. Never space past the end: FAT's format cannot
// hold it, and a power cut before the end moved would leave the volume
// inconsistent. A refused set-end fails the grow before anything else.
bool Grow(const NativeHandle& image) {
  const auto from = static_cast<off_t>(image.size);
  const auto end = static_cast<off_t>(image.position);
  struct stat moved {};
  if (ftruncate(image.file, end) != 0 || !Measure(image.file, moved)) {
    return false;
  }
  if (fallocate(image.file, 0, from, end - from) == 0) {
    if (Reserved(image, moved.st_blocks)) {
      return true;
    }
  } else if (errno != EOPNOTSUPP && errno != ENOSYS) {
    return false;
  }
  return WriteZeros(image.file, from, end);
}

// Puts a grow that failed part-way back as it was measured: the size, no
// blocks past it (cutting back frees what the grow took, and with it what
// the file had reserved past its end before the run), and both times, which
// a set-end, a reservation or a zero written stamps. Both at once: some
// FUSE drivers ignore a time set alone. The change time cannot be set back,
// and the others only by the file's owner or root.
void GiveBack(const NativeHandle& image) {
  [[maybe_unused]] const int cut = ftruncate(image.file, static_cast<off_t>(image.size));
  const std::array<std::timespec, 2> times{image.accessed, image.modified};
  static_cast<void>(futimens(image.file, times.data()));
}

// The change is under way once the answer is given: from then until the
// tool exits, a Ctrl+C, a hang-up or a shutdown's SIGTERM waits, and is
// dropped at the exit, so that no grow or cut is left half done.
void HoldOffInterruptions() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int each : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&signals, each);
  }
  static_cast<void>(sigprocmask(SIG_BLOCK, &signals, nullptr));
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
    const int found = open(path, O_PATH | O_CLOEXEC);
    if (found < 0) {
      return NO_FILE;
    }
    // An open takes the lowest free number: a standard stream's means that
    // one was closed and could not be filled (a descriptor limit below
    // three), and the image could take it next, to be written the messages
    // or read for the answer. Every later open takes a higher number.
    if (found <= STDERR_FILENO) {
      static_cast<void>(close(found));
      return NO_FILE;
    }
    if (Measure(found, info)) {
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

// The regular file `found` holds, open for reading and writing and held,
// watched where its change time's clock is coarse; or an empty handle. The
// watch, set before the measurement, sees every later change made on this
// machine; a share's other clients, only the change time can show, so there
// the measurement must also outwait its clock's step.
NativeHandle OpenRegular(int found, const char* path, const struct stat& info) {
  const std::optional<bool> shared_over_network = SharedOverNetwork(found);
  if (!shared_over_network) {
    return {};
  }
  int watch = NO_FILE;
  if (ClockIsCoarse(info)) {
    watch = WatchChanges(found, path, info);
    if (watch == NO_FILE) {
      return {};
    }
  }
  const int fd = OpenHeld(found, path, info, *shared_over_network);
  if (fd == NO_FILE) {
    if (watch != NO_FILE) {
      static_cast<void>(close(watch));
    }
    return {};
  }
  const bool watched = watch != NO_FILE && !*shared_over_network;
  return {.file = fd, .watch = watch, .step = watched ? 0 : ClockStep(info, *shared_over_network)};
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
    return ImageFile(NativeHandle{.file = found});
  }
  const NativeHandle opened = OpenRegular(found, path, info);
  static_cast<void>(close(found));
  if (opened.file == NO_FILE) {
    return std::nullopt;
  }
  return ImageFile(opened);
}

ImageFile::~ImageFile() {
  if (owned_) {
    static_cast<void>(close(handle_.file));
    if (handle_.watch != NO_FILE) {
      static_cast<void>(close(handle_.watch));
    }
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() {
  const struct timespec before = CoarseNow();
  struct stat info {};
  // Only a regular file has an end to move. A pipe, a device or a socket
  // reports failure here, as its handle does on Windows, and so is never cut.
  if (!Measure(handle_.file, info) || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  // A change time proves nothing while the clock step it lies in still
  // runs: another change in that step gets the same time. Such a step is
  // waited out before the question is asked, so every change made from the
  // question on shows; an image last changed earlier costs nothing.
  if (handle_.step > 0) {
    OutwaitClockStep(info.st_ctim, handle_.step, before);
  }
  handle_.size = info.st_size;
  handle_.blocks = info.st_blocks;
  handle_.changed = info.st_ctim;
  handle_.modified = info.st_mtim;
  handle_.accessed = info.st_atim;
  return std::int64_t{info.st_size};
}

bool ImageFile::SeekFromBegin(std::int64_t offset) {
  // While the question waited, others could write, cut, replace or remove
  // the file without asking. The plan was made for the file as measured.
  // The position itself is only where the end goes: ftruncate takes it.
  HoldOffInterruptions();
  handle_.position = offset;
  return offset >= 0 && UnchangedSinceMeasured(handle_);
}

bool ImageFile::SetEndHere() {
  if (handle_.position <= handle_.size) {
    return ftruncate(handle_.file, static_cast<off_t>(handle_.position)) == 0;
  }
  if (!WithinSizeLimit(handle_.position)) {
    return false;
  }
  if (Grow(handle_)) {
    return true;
  }
  GiveBack(handle_);
  return false;
}

bool ImageFile::FlushToDevice() {
  // fdatasync covers a change of size. EINVAL: this kind of file (some
  // special or network file systems) cannot be synced; there is nothing
  // more to wait for.
  if (fdatasync(handle_.file) == 0 || errno == EINVAL) {
    return true;
  }
  // A network share may tell only now that it had no room for the zeros
  // written: a grow that may not be on the device is given back. A cut
  // cannot be: its data is gone.
  if (handle_.position > handle_.size) {
    GiveBack(handle_);
  }
  return false;
}
