#include <clocale>

#include "console/dialogue.h"

void InitConsoleLocale() {
  // The wide streams convert through the C library's character type. Where
  // the Japanese locale is not installed (often), the plain C type cannot
  // encode the texts: one C library writes "?" for each character, another
  // fails the stream and every later message is lost, the warning and the
  // prompt included. C.UTF-8 writes the very same bytes, so fall back to it.
  if (std::setlocale(LC_CTYPE, "ja_JP.UTF-8") == nullptr) {
    static_cast<void>(std::setlocale(LC_CTYPE, "C.UTF-8"));
  }
}
