// The image file on Windows. The share mode keeps other programs from
// writing or deleting the image while it is held; what it lets them do
// (set attributes or times, add links) is checked before the end moves, and
// a grow that cannot be flushed is put back as it was measured.
#include <windows.h>

#include <string>
#include <string_view>

#include "driver/image_file.h"

namespace {

// Where a path names a device (NUL, COM1, and before Windows 11 also NUL.img
// and the like), its full path lies in the device namespace. So does one
// that goes on from a drive or a volume to a file on it
// (\\.\C:\images\disk.img, \\.\Volume{...}\disk.img): that is the file.
// What ends at a device (\\.\NUL, \\.\C:, a pipe or a mailslot) is never
// opened.
constexpr std::wstring_view DEVICE_NAMESPACE = L"\\\\.\\";

bool IsDriveOrVolume(std::wstring_view name) {
  const wchar_t letter = name.empty() ? L'\0' : static_cast<wchar_t>(name[0] | 0x20);
  if (name.size() == 2 && letter >= L'a' && letter <= L'z' && name[1] == L':') {
    return true;
  }
  constexpr std::wstring_view VOLUME = L"Volume{";
  return name.size() > VOLUME.size() && name.back() == L'}' &&
         CompareStringOrdinal(name.data(), static_cast<int>(VOLUME.size()), VOLUME.data(),
                              static_cast<int>(VOLUME.size()), TRUE) == CSTR_EQUAL;
}

bool NamesADevice(const wchar_t* path) {
  const DWORD length = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (length == 0) {
    return false;  // the open then fails as it would
  }
  std::wstring full(length, L'\0');
  const DWORD written = GetFullPathNameW(path, length, full.data(), nullptr);
  const std::wstring_view name(full.data(), written > 0 && written < length ? written : 0);
  if (!name.starts_with(DEVICE_NAMESPACE)) {
    return false;
  }
  const std::wstring_view rest = name.substr(DEVICE_NAMESPACE.size());
  const std::size_t end = rest.find(L'\\');
  return end == std::wstring_view::npos || !IsDriveOrVolume(rest.substr(0, end));
}

std::int64_t TimeOf(const LARGE_INTEGER& time) { return time.QuadPart; }

FILETIME FileTimeOf(std::int64_t time) {
  ULARGE_INTEGER both{};
  both.QuadPart = static_cast<ULONGLONG>(time);
  return {both.LowPart, both.HighPart};
}

// What the file is now: its size, its attributes, links and times. Only a
// file on a disk has them; GetFileSizeEx cannot be used for a device that
// does not seek, and a pipe or a console has no end to move.
bool Measure(HANDLE file, NativeHandle& out) {
  FILE_STANDARD_INFO standard{};
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || GetFileSizeEx(file, &size) == 0 ||
      GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) == 0 ||
      GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) == 0 ||
      standard.Directory != FALSE || standard.DeletePending != FALSE) {
    return false;
  }
  out.size = size.QuadPart;
  out.attributes = basic.FileAttributes;
  out.links = standard.NumberOfLinks;
  out.changed = TimeOf(basic.ChangeTime);
  out.modified = TimeOf(basic.LastWriteTime);
  out.accessed = TimeOf(basic.LastAccessTime);
  return true;
}

// Still the file that was measured: as large, as many links, still
// writable, with the same change time and time of the last write (FAT and
// exFAT keep no change time). Reading it moves neither.
bool UnchangedSinceMeasured(const NativeHandle& image) {
  NativeHandle now{};
  return Measure(image.file, now) && now.size == image.size && now.links == image.links &&
         ((now.attributes ^ image.attributes) & FILE_ATTRIBUTE_READONLY) == 0 &&
         now.changed == image.changed && now.modified == image.modified;
}

// Once the answer is given, Ctrl+C and Ctrl+Break are dropped. Closing the
// console window ends the process as soon as this returns (or after the few
// seconds Windows allows), so it does not return: the run's own exit, in
// milliseconds, ends this thread.
BOOL WINAPI HoldOff(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
    Sleep(INFINITE);
  }
  return TRUE;
}

// Puts a grow that was not flushed back as it was measured: the size, and
// the times of the last write and read, which moving the end stamps.
void GiveBack(const NativeHandle& image) {
  LARGE_INTEGER end{};
  end.QuadPart = image.size;
  if (SetFilePointerEx(image.file, end, nullptr, FILE_BEGIN) != 0) {
    static_cast<void>(SetEndOfFile(image.file));
  }
  const FILETIME accessed = FileTimeOf(image.accessed);
  const FILETIME modified = FileTimeOf(image.modified);
  static_cast<void>(SetFileTime(image.file, nullptr, &accessed, &modified));
}

}  // namespace

std::optional<ImageFile> ImageFile::Open(const wchar_t* path) {
  // A device is never opened, not even for a moment: it has no size to cut.
  if (NamesADevice(path)) {
    return ImageFile(NativeHandle{});
  }
  // Others may still read the image while it is held, but neither write nor
  // delete it; and the open fails if someone else is writing it already.
  HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  return ImageFile(NativeHandle{.file = handle});
}

ImageFile::~ImageFile() {
  if (owned_ && handle_.file != nullptr) {
    static_cast<void>(CloseHandle(handle_.file));
  }
}

std::optional<std::int64_t> ImageFile::QuerySize() {
  if (handle_.file == nullptr || !Measure(handle_.file, handle_)) {
    return std::nullopt;
  }
  return handle_.size;
}

bool ImageFile::SeekFromBegin(std::int64_t offset) {
  // The change is under way: see HoldOff.
  static_cast<void>(SetConsoleCtrlHandler(HoldOff, TRUE));
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  handle_.position = offset;
  return UnchangedSinceMeasured(handle_) &&
         SetFilePointerEx(handle_.file, distance, nullptr, FILE_BEGIN) != 0;
}

bool ImageFile::SetEndHere() { return SetEndOfFile(handle_.file) != 0; }

bool ImageFile::FlushToDevice() {
  // ERROR_INVALID_FUNCTION: a file system that cannot flush a file at all
  // (it does not take the request); there is nothing more to wait for.
  if (FlushFileBuffers(handle_.file) != 0 || GetLastError() == ERROR_INVALID_FUNCTION) {
    return true;
  }
  // A grow that may not be on the device is given back. A cut cannot be:
  // its data is gone.
  if (handle_.position > handle_.size) {
    GiveBack(handle_);
  }
  return false;
}
