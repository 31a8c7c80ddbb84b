#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "driver/platform.h"

/// The one open image. It owns the platform handle and releases it exactly
/// once, when it goes out of scope; a failed open creates none. Each file
/// operation reports plain success or failure. One implementation per
/// platform, picked by the build.
class ImageFile {
 public:
  /// Opens an existing file for reading and writing, never creating one.
  /// Fails if someone else is writing it, or if nobody may write it. While
  /// it is held, others may read it but not write it.
  [[nodiscard]] static std::optional<ImageFile> Open(const NativeChar* path);

  ImageFile(ImageFile&& other) noexcept
      : handle_(other.handle_), owned_(std::exchange(other.owned_, false)) {}
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  ImageFile& operator=(ImageFile&&) = delete;
  ~ImageFile();

  /// The size in bytes; empty if it cannot be had or the file is not a
  /// regular file whose end can be moved.
  [[nodiscard]] std::optional<std::int64_t> QuerySize();

  /// Moves the file position, where the end is then set, to an offset from
  /// the beginning. Fails, and leaves the file alone, if it is no longer the
  /// file that was measured: written, resized, write-protected or removed
  /// by someone else.
  [[nodiscard]] bool SeekFromBegin(std::int64_t offset);

  /// Makes the file end exactly at the current position, shortening or
  /// extending it; bytes below the position are untouched. An extension has
  /// its space reserved first where the file system can, so a full disk
  /// fails here, leaving the size and the space taken as they were.
  [[nodiscard]] bool SetEndHere();

  /// Writes the file's new end through to its device, so that a crash, a
  /// power cut or a pulled stick cannot undo a change reported as done.
  /// A file system that cannot sync a file at all is not a failure.
  [[nodiscard]] bool FlushToDevice();

 private:
  explicit ImageFile(NativeHandle handle) : handle_(handle) {}

  NativeHandle handle_;
  bool owned_ = true;  // false once moved from
};
