#pragma once

#include <cstdint>
#include <ctime>

/// The two things that differ by platform above the file layer: the
/// character type of command-line arguments and paths (bytes on POSIX, UTF-16
/// on Windows, each handed to the file layer unaltered) and what holds the
/// open image.
#ifdef _WIN32
using NativeChar = wchar_t;
/// The share mode keeps other writers out, but not what is changed through
/// a handle that asks for no data (attributes, times, links): what was
/// measured is kept, to find such changes before the end moves, and to put a
/// failed grow back as it was.
struct NativeHandle {
  void* file = nullptr;          ///< the image; none for a device, never opened
  std::int64_t size = 0;         ///< as measured
  std::uint32_t attributes = 0;  ///< as measured
  std::uint32_t links = 0;       ///< as measured
  std::int64_t changed = 0;      ///< the change time as measured, in 100 ns units
  std::int64_t modified = 0;     ///< the time of the last write, as measured
  std::int64_t accessed = 0;     ///< the time of the last read, as measured
  std::int64_t position = 0;     ///< where the end goes
};
#else
using NativeChar = char;
/// A descriptor keeps out only those who ask, so what was measured is kept,
/// to find changes by others before the end moves, and to put a failed grow
/// back as it was.
struct NativeHandle {
  int file = -1;              ///< the image; only its path if not a regular file
  int watch = -1;             ///< an inotify descriptor where times are coarse, or -1
  std::int64_t size = 0;      ///< as measured
  std::int64_t blocks = 0;    ///< as measured, in 512-byte units
  std::timespec changed{};    ///< the inode's change time, as measured
  std::timespec modified{};   ///< the time of the last write, as measured
  std::timespec accessed{};   ///< the time of the last read, as measured
  std::int64_t position = 0;  ///< where the end goes
};
#endif
