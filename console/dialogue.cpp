#include "console/dialogue.h"

void Say(MessageId id, std::wostream& out) { out << MessageText(id); }

bool AskConfirmation(std::wistream& in, std::wostream& out) {
  Say(MsgConfirmPrompt, out);
  // One formatted extraction: it skips white space, blank lines included,
  // and first flushes the tied output stream, so the prompt shows even
  // though it has no line end. The rest of the line is left unread.
  wchar_t answer = L'\0';
  if (!(in >> answer)) {
    return false;
  }
  return answer == L'Y' || answer == L'y';
}
