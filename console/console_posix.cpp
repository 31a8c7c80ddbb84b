#include <unistd.h>

#include <clocale>

#include "console/dialogue.h"
#include "console/utf8_posix.h"

void InitConsoleLocale() {
  // Asked for as on every platform, and the result ignored: nothing depends
  // on it. The C library's own conversion would depend on locale files, and
  // where they are missing it writes "?" for every Japanese character, the
  // warning that data will be lost included; so the streams talk UTF-8
  // themselves, as the Windows build talks to its console. The buffers are
  // never freed: the standard streams are flushed at exit, after statics die.
  static_cast<void>(std::setlocale(LC_CTYPE, "ja_JP.UTF-8"));
  std::wcout.rdbuf(new Utf8Writer(STDOUT_FILENO));  // NOLINT(cppcoreguidelines-owning-memory)
  std::wcin.rdbuf(new Utf8Reader(STDIN_FILENO));    // NOLINT(cppcoreguidelines-owning-memory)
}
