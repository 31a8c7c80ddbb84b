#pragma once

#include <iostream>

#include "console/messages.h"

/// Sets up the wide standard streams to talk to the terminal, a pipe or a
/// file in a way that needs nothing of the system's locales. Call once,
/// before any output or input.
void InitConsoleLocale();

/// Writes the whole text of one message. No flush: output keeps call order.
void Say(MessageId id, std::wostream& out = std::wcout);

/// Prints the y/N prompt and reads one answer. True only for Y or y as the
/// first character that is not white space (the same set on every
/// platform); end of input or a failed stream is no.
bool AskConfirmation(std::wistream& in = std::wcin,
                     std::wostream& out = std::wcout);
