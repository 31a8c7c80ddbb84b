// The image file on Linux: finding it, measuring it (and when a measurement
// can be trusted to show every later change), and moving its end. Holding
// it against others is image_hold_posix.cpp's. A grow takes its space before
// it is reported done, and a grow that fails leaves the file as it was
// measured.
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

// When a measurement can be trusted. A change time shows every later change
// only once the clock step it was stamped in is over: another change in the
// same step gets the same time. What is done about it is decided here, from
// what is measured (the time's digits, the clock's tick, and whether another
// machine stamps the time), never from a file system's name:
// - Stamped here, finely. The kernel stamps the coarse clock as it stood at
//   the last tick, rounded down to the unit the storage keeps (1 ns; 100 ns
//   on NTFS, 1 us on UDF; Linux 6.13 and later stamp finer after a look).
//   A time less than a unit older than that clock, read just before the
//   measurement, lies in the step still running: it is waited out before
//   the question, and every later change is stamped later.
// - Stamped here, coarsely: no digits below the millisecond (FAT and exFAT,
//   ext4 with small inodes). A watch, set at the open before the
//   measurement, sees every change this machine makes instead.
// - Stamped by another machine (NFS, SMB, 9p). Its clock cannot be read and
//   the watch does not see its changes: its step is bounded from above and
//   waited out, whole seconds too.
constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t NANOSECONDS_PER_MILLISECOND = 1'000'000;
// The longest tick of a clock that stamps files finely: 10 ms on Linux at
// 100 Hz, 15.6 ms on Windows. Such a clock lags real time by up to two.
constexpr std::int64_t LONGEST_TICK = 20 * NANOSECONDS_PER_MILLISECOND;
// A clock that steps in seconds: FAT's steps in two, the coarsest there is.
constexpr std::int64_t COARSE_STEP = 2 * NANOSECONDS_PER_SECOND + 2 * LONGEST_TICK;
// How often to look again at a clock that should have moved on by then.
constexpr int CLOCK_LOOKS = 4;

std::int64_t Nanoseconds(const std::timespec& time) {
  return std::int64_t{time.tv_sec} * NANOSECONDS_PER_SECOND + time.tv_nsec;
}

std::timespec TimeOf(std::int64_t nanoseconds) {
  return {static_cast<time_t>(nanoseconds / NANOSECONDS_PER_SECOND),
          static_cast<long>(nanoseconds % NANOSECONDS_PER_SECOND)};
}

// The unit the storage keeps `time` in, read off its digits: a millisecond
// where none are left below it (the clock is coarse), else the largest power
// of ten that divides it. A fine time ends in a zero once in ten, which
// costs at most that unit more of the running tick.
std::int64_t UnitOf(const std::timespec& time) {
  constexpr std::int64_t DECIMAL = 10;
  std::int64_t unit = 1;
  while (unit < NANOSECONDS_PER_MILLISECOND && time.tv_nsec % (DECIMAL * unit) == 0) {
    unit *= DECIMAL;
  }
  return unit;
}

// Whether the change time `info` measured comes from a coarse clock, or is
// no change time at all (FAT's); decided at the open, to set the watch.
bool ClockIsCoarse(const struct stat& info) {
  return UnitOf(info.st_ctim) >= NANOSECONDS_PER_MILLISECOND;
}

// How much older than the coarse clock read `before` the measurement the
// change time `info` measured must be, in nanoseconds, for every later
// change to be stamped with another time; 0 where the watch sees every
// change. Who stamps the time matters only for a time recent enough that
// another machine's step could still run: only then is it asked.
std::int64_t StepOf(const NativeHandle& image, const struct stat& info,
                    const std::timespec& before) {
  const std::int64_t unit = UnitOf(info.st_ctim);
  const std::int64_t elsewhere = ClockIsCoarse(info) ? COARSE_STEP : 2 * LONGEST_TICK + unit;
  if (Nanoseconds(info.st_ctim) + elsewhere > Nanoseconds(before) &&
      StampedElsewhere(image.file, info)) {
    return elsewhere;
  }
  return image.watch == NO_FILE ? unit : 0;
}

// This machine's coarse clock, which stamps file times here; read through
// the vDSO, with no system call.
std::timespec CoarseNow() {
  std::timespec now{};
  static_cast<void>(clock_gettime(CLOCK_REALTIME_COARSE, &now));
  return now;
}

// Waits, where `changed` is less than `step` older than the clock read
// `before` the measurement, until it is.
void OutwaitClockStep(const std::timespec& changed, std::int64_t step,
                      const std::timespec& before) {
  const std::int64_t stamped = Nanoseconds(changed);
  std::int64_t now = Nanoseconds(before);
  // A time further ahead of this machine's clock was set by hand (Samba
  // gives the time of the last write as the change time) or stamped by a
  // clock far from this one: waiting would not help.
  if (stamped > now + COARSE_STEP) {
    return;
  }
  std::timespec tick{};
  static_cast<void>(clock_getres(CLOCK_REALTIME_COARSE, &tick));
  // The coarse clock moves once per tick.
  for (int look = 0; look < CLOCK_LOOKS && stamped + step > now; ++look) {
    const std::timespec rest = TimeOf(stamped + step - now + Nanoseconds(tick));
    static_cast<void>(clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, nullptr));
    now = Nanoseconds(CoarseNow());
  }
}

// Measures the image the question will be asked of: afterwards, every
// change shows in its change time, or to its watch. Only a regular file has
// an end to move: a pipe, a device or a socket fails here, as its handle
// does on Windows, and so is never cut.
bool MeasureTrusted(const NativeHandle& image, struct stat& info) {
  const std::timespec before = CoarseNow();
  if (!Measure(image.file, info) || !S_ISREG(info.st_mode)) {
    return false;
  }
  OutwaitClockStep(info.st_ctim, StepOf(image, info, before), before);
  return true;
}

// Still the file that was measured: linked, of the same size, and with the
// same change time. That time moves on every write (through a map or a clone
// too), every change of size, permissions, owner, times or links, and
// nobody can set it back; MeasureTrusted made it show every change since.
// Where the watch keeps the step, it must also have seen nothing. A read
// leaves both; a rename moves both.
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
// watched where its change time's clock is coarse (see MeasureTrusted); or
// an empty handle.
NativeHandle OpenRegular(int found, const char* path, const struct stat& info) {
  int watch = NO_FILE;
  if (ClockIsCoarse(info)) {
    watch = WatchChanges(found, path, info);
    if (watch == NO_FILE) {
      return {};
    }
  }
  const int fd = OpenHeld(found, path, info);
  if (fd == NO_FILE) {
    if (watch != NO_FILE) {
      static_cast<void>(close(watch));
    }
    return {};
  }
  return {.file = fd, .watch = watch};
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
  struct stat info {};
  if (!MeasureTrusted(handle_, info)) {
    return std::nullopt;
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
