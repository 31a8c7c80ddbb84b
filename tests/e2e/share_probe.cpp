// Another Windows process trying one thing with a file, for the end-to-end
// tests of what the tool lets others do with an image it holds.
//
//   share_probe read PATH    open for reading and copy the file to stdout
//   share_probe write PATH   open for writing
//   share_probe delete PATH  delete it
//   share_probe rename PATH  rename it to PATH.renamed
//   share_probe hold PATH    open for writing, say "held", and keep it open
//                            until standard input ends
//   share_probe link PATH    make a hard link to it, PATH.link
//   share_probe touch PATH   set its time of the last write to now, through
//                            a handle that asks only to change attributes
//
// Exit status: 0 if it was allowed, 1 if it was refused, 2 for a bad call.
// Each attempt asks for as little as it can and lets others do anything,
// so a refusal can only come from what the holder allowed.
#include <windows.h>

#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t CHUNK_BYTES = 65536;

HANDLE OpenFor(const wchar_t* path, DWORD access) {
  return CreateFileW(path, access, SHARE_ALL, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

int CopyToStdout(HANDLE file) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::array<char, CHUNK_BYTES> buffer{};
  DWORD got = 0;
  while (ReadFile(file, buffer.data(), buffer.size(), &got, nullptr) != 0 && got > 0) {
    DWORD put = 0;
    if (WriteFile(out, buffer.data(), got, &put, nullptr) == 0 || put != got) {
      return 2;
    }
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::span<wchar_t* const> args(argv, static_cast<std::size_t>(argc));
  if (args.size() != 3) {
    return 2;
  }
  const std::wstring_view what = args[1];
  const wchar_t* path = args[2];
  if (what == L"delete") {
    return DeleteFileW(path) != 0 ? 0 : 1;
  }
  if (what == L"rename") {
    return MoveFileW(path, (std::wstring(path) + L".renamed").c_str()) != 0 ? 0 : 1;
  }
  if (what == L"link") {
    return CreateHardLinkW((std::wstring(path) + L".link").c_str(), path, nullptr) != 0 ? 0 : 1;
  }
  if (what == L"touch") {
    HANDLE file = OpenFor(path, FILE_WRITE_ATTRIBUTES);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const bool set = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &now) != 0;
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
    }
    return set ? 0 : 1;
  }
  const bool reading = what == L"read";
  HANDLE file = OpenFor(path, reading ? GENERIC_READ : GENERIC_WRITE);
  if (file == INVALID_HANDLE_VALUE) {
    return 1;
  }
  int status = 0;
  if (reading) {
    status = CopyToStdout(file);
  } else if (what == L"hold") {
    static_cast<void>(std::fputs("held\n", stdout));
    static_cast<void>(std::fflush(stdout));
    while (std::getchar() != EOF) {
    }
  } else if (what != L"write") {
    status = 2;
  }
  CloseHandle(file);
  return status;
}
