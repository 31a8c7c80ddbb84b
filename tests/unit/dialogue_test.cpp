#include "console/dialogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

// Wide text to UTF-8; the catalogue stays in the Basic Multilingual Plane.
std::string Utf8(const std::wstring& text) {
  std::string out;
  for (const wchar_t wide : text) {
    const auto c = static_cast<std::uint32_t>(wide);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// name -> UTF-8 text, from the file the end-to-end tests read as well.
std::map<std::string, std::string> ExpectedMessages() {
  std::map<std::string, std::string> texts;
  std::ifstream file(EXPECTED_MESSAGES_FILE);
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string::npos) {
      continue;
    }
    std::string text;  // between the quotes, each \n made a line feed
    for (std::size_t at = tab + 2; at + 1 < line.size(); ++at) {
      const bool escape = line[at] == '\\' && line[at + 1] == 'n';
      text += escape ? '\n' : line[at];
      at += escape ? 1 : 0;
    }
    texts[line.substr(0, tab)] = text;
  }
  return texts;
}

TEST(MessageCatalogue, HoldsEveryTextByteForByte) {
  const char* const names[MESSAGE_COUNT] = {
      "MsgBanner",      "MsgUsage",         "MsgOpenFailed", "MsgSizeFailed",
      "MsgGrowNotice",  "MsgCutNotice",     "MsgUnsupported",
      "MsgConfirmPrompt", "MsgAborted",     "MsgSeekFailed",
      "MsgResizeFailed", "MsgCompleted"};
  const std::map<std::string, std::string> expected = ExpectedMessages();
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(MESSAGE_COUNT));
  for (int id = 0; id < MESSAGE_COUNT; ++id) {
    SCOPED_TRACE(names[id]);
    EXPECT_EQ(Utf8(MessageText(static_cast<MessageId>(id))),
              expected.at(names[id]));
  }
}

// The characters that have plain-ASCII lookalikes, spelled by code point so a
// retyped text cannot slip past.
TEST(MessageCatalogue, UsesTheFullWidthCharactersWhereTheyBelong) {
  const std::wstring banner = MessageText(MsgBanner);
  const std::wstring prompt = MessageText(MsgConfirmPrompt);
  const std::wstring cut = MessageText(MsgCutNotice);
  EXPECT_EQ(banner.front(), L'\u25CF');
  EXPECT_EQ(prompt.substr(prompt.size() - 9), L"\uFF1F (y/N): ");
  EXPECT_NE(cut.find(L'\u3010'), std::wstring::npos);
  EXPECT_NE(cut.find(L'\u3011'), std::wstring::npos);
  EXPECT_NE(std::wstring(MessageText(MsgGrowNotice)).find(L'\u3001'),
            std::wstring::npos);
  const std::wstring completed = MessageText(MsgCompleted);
  EXPECT_EQ(completed.substr(completed.size() - 2), L"\u3002\n");
}

TEST(AskConfirmation, ConfirmsOnlyOnYOrYAsTheFirstNonBlankCharacter) {
  struct Case {
    const wchar_t* input;
    bool confirmed;
    const wchar_t* left_unread;
  };
  const Case cases[] = {
      {L"y\n", true, L"\n"},
      {L"Y", true, L""},
      {L"yes\nmore", true, L"es\nmore"},
      {L"Yes", true, L"es"},
      {L"\n\n \t y\n", true, L"\n"},
      {L"n\n", false, L"\n"},
      {L"N", false, L""},
      {L"x", false, L""},
      {L"1", false, L""},
      {L" ny", false, L"y"},
      {L"\uFF59\n", false, L"\n"},  // full-width y
      {L"\u3000y\n", true, L"\n"},  // ideographic space
      {L"\u00A0\u1680\u2000\u200A\u2028\u2029\u202F\u205F\v\f\ry", true, L""},
      {L"\u200By", false, L"y"},  // zero-width space is no white space
      {L"\u0085y", false, L"y"},  // nor is next line
      {L"\uFEFFy", false, L"y"},  // nor a byte-order mark
      {L"", false, L""},
      {L"\n  \n", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.input));
    std::wistringstream in(c.input);
    std::wostringstream out;
    EXPECT_EQ(AskConfirmation(in, out), c.confirmed);
    EXPECT_EQ(out.str(), MessageText(MsgConfirmPrompt));
    in.clear();
    EXPECT_EQ(std::wstring(std::istreambuf_iterator<wchar_t>(in), {}),
              c.left_unread);
  }
}

}  // namespace
