#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "driver/image_file.h"

static_assert(sizeof(off_t) == sizeof(std::int64_t),
              "off_t must be 64-bit: build with _FILE_OFFSET_BITS=64");

namespace {

#ifdef F_OFD_SETLK
constexpr int OFD_LOCK_COMMAND = F_OFD_SETLK;
#else
constexpr int OFD_LOCK_COMMAND = F_SETLK;
#endif

// A whole-file write lock, taken without waiting. Lock on the open file
// description rather than the process: emulators and VM managers lock disk
// images that way, so each side then refuses an image the other holds, and
// the lock is not dropped when some other descriptor of the file is closed.
// Kernels older than such locks reject the command; fall back to a classic
// process lock there, which the others still see.
bool LockAgainstWriters(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however far it moves
  if (fcntl(fd, OFD_LOCK_COMMAND, &lock) == 0) {
    return true;
  }
  return errno == EINVAL && fcntl(fd, F_SETLK, &lock) == 0;
}

// With a standard stream closed, the image would get its descriptor number:
// messages meant for standard output would be written into the image, and
// the answer read out of it. Keep the image above them; the closed stream
// stays closed, so its messages are simply lost.
int KeepOffStandardStreams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  static_cast<void>(close(fd));
  return moved;
}

}  // namespace

std::optional<ImageFile> ImageFile::Open(const char* path) {
  // Never O_CREAT: a missing image is an error, not a new empty file.
  // O_NONBLOCK keeps a FIFO or a device from hanging the open; it changes
  // nothing for a regular file, and the tool never reads or writes data.
  const int fd = KeepOffStandardStreams(
      open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd < 0) {
    return std::nullopt;
  }
  if (!LockAgainstWriters(fd)) {
    static_cast<void>(close(fd));
    return std::nullopt;
  }
  return ImageFile(fd);
}

ImageFile::~ImageFile() {
  if (owned_) {
    static_cast<void>(close(handle_));
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() const {
  struct stat info {};
  // Only a regular file has an end to move. A pipe, a device or a socket
  // reports failure here, as its handle does on Windows, and so is never cut.
  if (fstat(handle_, &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  return std::int64_t{info.st_size};
}

bool ImageFile::SeekFromBegin(std::int64_t offset) {
  return lseek(handle_, static_cast<off_t>(offset), SEEK_SET) != -1;
}

bool ImageFile::SetEndHere() {
  const off_t here = lseek(handle_, 0, SEEK_CUR);
  return here != -1 && ftruncate(handle_, here) == 0;
}

bool ImageFile::FlushToDevice() {
  // fdatasync covers a change of size. EINVAL: this kind of file (some
  // special or network file systems) cannot be synced; there is nothing
  // more to wait for.
  return fdatasync(handle_) == 0 || errno == EINVAL;
}
