// Fuzzes the answer reader with arbitrary bytes, decoded exactly as the tool
// decodes its standard input: the C library's wide reading under the locale
// the tool sets, through the same stdio-backed stream buffer as std::wcin.
// It must never crash, and must confirm exactly when the first byte that is
// not ASCII white space is y or Y (no other character decodes to one, and
// the stream's default locale counts only those six as white space).

#include <ext/stdio_sync_filebuf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <span>
#include <sstream>

#include "console/dialogue.h"

namespace {

bool ShouldConfirm(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    const bool space = byte == ' ' || (byte >= '\t' && byte <= '\r');
    if (!space) {
      return byte == 'y' || byte == 'Y';
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const bool LOCALE_SET = (InitConsoleLocale(), true);
  static_cast<void>(LOCALE_SET);

  // A real file behind the stream, as standard input would be: the C
  // library's memory streams cannot be read as wide streams at all.
  const int fd = memfd_create("answer", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  FILE* input = fdopen(fd, "r");
  if (input == nullptr) {
    std::abort();
  }
  bool confirmed = false;
  {
    __gnu_cxx::stdio_sync_filebuf<wchar_t> buffer(input);
    std::wistream in(&buffer);
    std::wostringstream out;
    confirmed = AskConfirmation(in, out);
  }
  static_cast<void>(std::fclose(input));  // NOLINT(cppcoreguidelines-owning-memory)
  if (confirmed != ShouldConfirm({data, size})) {
    std::abort();
  }
  return 0;
}
