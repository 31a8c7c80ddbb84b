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
/// A descriptor keeps out only those who ask, so what was measured is kept,
/// to find changes by others before the end moves.
struct NativeHandle {
  int file;               ///< the image; only its path if not a regular file
  std::int64_t size;      ///< as measured
  std::int64_t blocks;    ///< as measured, in 512-byte units
  std::timespec changed;  ///< the inode's change time, as measured
  std::int64_t position;  ///< where the end goes
};
#endif
