#pragma once

#include <cstdint>
#include <ctime>

/// The two things that differ by platform above the file layer: the
/// character type of command-line arguments and paths (bytes on POSIX, UTF-16
/// on Windows, each handed to the file layer unaltered) and what holds the
/// open image.
#ifdef _WIN32
using NativeChar = wchar_t;
/// The file handle; its share mode keeps other writers out.
using NativeHandle = void*;
#else
using NativeChar = char;
/// A descriptor keeps out only those who ask, so the image is also watched
/// for writes by others, and what was measured is kept to compare with.
struct NativeHandle {
  int file;               ///< the image; only its path if not a regular file
  int watch;              ///< inotify, for writes by others; -1 if none
  std::int64_t size;      ///< as measured
  std::timespec modified; ///< as measured
  std::int64_t position;  ///< where the end goes
};
#endif
