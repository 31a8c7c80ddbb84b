#include "console/dialogue.h"

namespace {

// What an editor (Notepad) writes at the start of a UTF-8 file: not part of
// the answer.
constexpr std::wistream::int_type BYTE_ORDER_MARK = 0xFEFF;

// White space before the answer, one rule on every platform: the set the
// Windows runtime skips, as the tool's first platform. It holds the
// ideographic space that a Japanese input method types for the space bar.
bool IsBlank(wchar_t c) {
  switch (c) {
    case L'\t':      // tab
    case L'\n':      // line feed
    case L'\v':      // vertical tab
    case L'\f':      // form feed
    case L'\r':      // carriage return
    case L' ':       // space
    case L'\u00A0':  // no-break space
    case L'\u1680':  // ogham space mark
    case L'\u2028':  // line separator
    case L'\u2029':  // paragraph separator
    case L'\u202F':  // narrow no-break space
    case L'\u205F':  // medium mathematical space
    case L'\u3000':  // ideographic space
      return true;
    default:
      return c >= L'\u2000' && c <= L'\u200A';  // en quad to hair space
  }
}

}  // namespace

void Say(MessageId id, std::wostream& out) { out << MessageText(id); }

bool AskConfirmation(std::wistream& in, std::wostream& out) {
  Say(MsgConfirmPrompt, out);
  // Each read first flushes the tied output stream, so the prompt shows
  // even though it has no line end. White space, blank lines included, is
  // skipped by the rule above rather than by each runtime's own, after a
  // byte-order mark at the very start; the rest of the line after the
  // answer is left unread.
  if (std::wistream::traits_type::eq_int_type(in.peek(), BYTE_ORDER_MARK)) {
    in.ignore();
  }
  wchar_t answer = L'\0';
  while (in.get(answer) && IsBlank(answer)) {
  }
  return in && (answer == L'Y' || answer == L'y');
}
