#include <windows.h>

#include "driver/image_file.h"

std::optional<ImageFile> ImageFile::Open(const wchar_t* path) {
  // Others may still read the image while it is held, but neither write nor
  // delete it; and the open fails if someone else is writing it already.
  HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  return ImageFile(handle);
}

ImageFile::~ImageFile() {
  if (owned_) {
    static_cast<void>(CloseHandle(handle_));
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() {
  // Fails for a pipe or a console handle, so only files are ever resized.
  LARGE_INTEGER size{};
  if (GetFileSizeEx(handle_, &size) == 0) {
    return std::nullopt;
  }
  return std::int64_t{size.QuadPart};
}

bool ImageFile::SeekFromBegin(std::int64_t offset) {
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  return SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN) != 0;
}

bool ImageFile::SetEndHere() { return SetEndOfFile(handle_) != 0; }

bool ImageFile::FlushToDevice() { return FlushFileBuffers(handle_) != 0; }
