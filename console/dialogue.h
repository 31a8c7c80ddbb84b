#pragma once

#include <iostream>

#include "console/messages.h"

/// Sets the character type the wide standard streams convert with. Call once,
/// before any output or input.
void InitConsoleLocale();

/// Writes the whole text of one message. No flush: output keeps call order.
void Say(MessageId id, std::wostream& out = std::wcout);

/// Prints the y/N prompt and reads one answer. True only for Y or y as the
/// first non-white-space character; end of input or a failed stream is no.
bool AskConfirmation(std::wistream& in = std::wcin,
                     std::wostream& out = std::wcout);
