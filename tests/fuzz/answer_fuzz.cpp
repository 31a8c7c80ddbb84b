// Fuzzes the answer reader with arbitrary bytes, decoded exactly as the tool
// decodes its standard input: through the same UTF-8 stream buffer as
// std::wcin, from a real file. It must never crash, and must confirm exactly
// when the first byte that does not begin white space (in UTF-8: the ASCII
// six and the Unicode spaces below), after a byte-order mark at the very
// start, is y or Y.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <sstream>
#include <string_view>

#include "console/dialogue.h"
#include "console/utf8_posix.h"

namespace {

using namespace std::string_view_literals;

// The non-ASCII white space, as the bytes it is written with.
constexpr std::array<std::string_view, 18> UNICODE_BLANKS = {
    "\xC2\xA0"sv,     "\xE1\x9A\x80"sv, "\xE2\x80\x80"sv, "\xE2\x80\x81"sv,
    "\xE2\x80\x82"sv, "\xE2\x80\x83"sv, "\xE2\x80\x84"sv, "\xE2\x80\x85"sv,
    "\xE2\x80\x86"sv, "\xE2\x80\x87"sv, "\xE2\x80\x88"sv, "\xE2\x80\x89"sv,
    "\xE2\x80\x8A"sv, "\xE2\x80\xA8"sv, "\xE2\x80\xA9"sv, "\xE2\x80\xAF"sv,
    "\xE2\x81\x9F"sv, "\xE3\x80\x80"sv};

bool ShouldConfirm(std::string_view bytes) {
  constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
  if (bytes.substr(0, BYTE_ORDER_MARK.size()) == BYTE_ORDER_MARK) {
    bytes.remove_prefix(BYTE_ORDER_MARK.size());
  }
  while (!bytes.empty()) {
    const char first = bytes.front();
    const auto* blank = std::find_if(
        UNICODE_BLANKS.begin(), UNICODE_BLANKS.end(),
        [bytes](std::string_view b) { return bytes.substr(0, b.size()) == b; });
    if (first == ' ' || (first >= '\t' && first <= '\r')) {
      bytes.remove_prefix(1);
    } else if (blank != UNICODE_BLANKS.end()) {
      bytes.remove_prefix(blank->size());
    } else {
      return first == 'y' || first == 'Y';
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  // A real file behind the stream, as standard input would be.
  const int fd = memfd_create("answer", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) ||
      lseek(fd, 0, SEEK_SET) != 0) {
    std::abort();
  }
  bool confirmed = false;
  {
    Utf8Reader buffer(fd);
    std::wistream in(&buffer);
    std::wostringstream out;
    confirmed = AskConfirmation(in, out);
  }
  static_cast<void>(close(fd));
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes as chars
  if (confirmed != ShouldConfirm({reinterpret_cast<const char*>(data), size})) {
    std::abort();
  }
  return 0;
}
