#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <streambuf>

#include "console/dialogue.h"

namespace {

// Hands each inserted text whole to the console's Unicode path. Written one
// character at a time, as the standard wide stream does, some consoles drop
// the characters altogether.
class ConsoleBuffer : public std::wstreambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    DWORD written = 0;
    if (WriteConsoleW(console_, text, static_cast<DWORD>(count), &written,
                      nullptr) == 0) {
      return 0;
    }
    return written;
  }

  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) {
      return traits_type::not_eof(ch);
    }
    const wchar_t one = traits_type::to_char_type(ch);
    return xsputn(&one, 1) == 1 ? ch : traits_type::eof();
  }

 private:
  HANDLE console_;
};

// Reads what is typed at the console as the console's own UTF-16, so each
// character arrives as typed. The runtime's narrow console path "best fits"
// a full-width y into a plain y, turning a refusal into a yes.
class ConsoleInputBuffer : public std::wstreambuf {
 public:
  explicit ConsoleInputBuffer(HANDLE console) : console_(console) {}

 protected:
  int_type underflow() override {
    DWORD count = 0;
    if (ReadConsoleW(console_, line_.data(), static_cast<DWORD>(line_.size()),
                     &count, nullptr) == 0 ||
        count == 0) {
      return traits_type::eof();
    }
    setg(line_.data(), line_.data(), line_.data() + count);
    return traits_type::to_int_type(line_[0]);
  }

 private:
  static constexpr std::size_t LINE_CHARS = 256;  // one typed line, or its start

  HANDLE console_;
  std::array<wchar_t, LINE_CHARS> line_{};
};

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

void InitConsoleLocale() {
  // This C runtime has no UTF-8 locale by that name, and without a
  // character type that can encode them the wide stream drops every
  // Japanese text. So pipes and files are put in the runtime's UTF-8 text
  // mode (UTF-8 bytes with CRLF line ends, answers decoded from UTF-8), and
  // a console is talked to through its own Unicode calls. The buffers are
  // never freed: the standard streams are flushed at exit, after statics die.
  static_cast<void>(std::setlocale(LC_CTYPE, "ja_JP.UTF-8"));
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (IsConsole(output)) {
    std::wcout.rdbuf(new ConsoleBuffer(output));  // NOLINT(cppcoreguidelines-owning-memory)
  } else {
    static_cast<void>(_setmode(_fileno(stdout), _O_U8TEXT));
  }
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (IsConsole(input)) {
    std::wcin.rdbuf(new ConsoleInputBuffer(input));  // NOLINT(cppcoreguidelines-owning-memory)
  } else {
    static_cast<void>(_setmode(_fileno(stdin), _O_U8TEXT));
  }
}
