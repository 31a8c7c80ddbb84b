#pragma once

/// The two things that differ by platform above the file layer: the
/// character type of command-line arguments and paths (bytes on POSIX, UTF-16
/// on Windows, each handed to the file layer unaltered) and the file handle.
#ifdef _WIN32
using NativeChar = wchar_t;
using NativeHandle = void*;
#else
using NativeChar = char;
using NativeHandle = int;
#endif
