#include "console/dialogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>

#include "expected_messages.h"

namespace {

TEST(MessageCatalogue, HoldsEveryTextExactly) {
  const char* const names[MESSAGE_COUNT] = {
      "MsgBanner",      "MsgUsage",         "MsgOpenFailed", "MsgSizeFailed",
      "MsgGrowNotice",  "MsgCutNotice",     "MsgUnsupported",
      "MsgConfirmPrompt", "MsgAborted",     "MsgSeekFailed",
      "MsgResizeFailed", "MsgCompleted"};
  ASSERT_EQ(std::size(EXPECTED_MESSAGES), static_cast<std::size_t>(MESSAGE_COUNT));
  for (int id = 0; id < MESSAGE_COUNT; ++id) {
    SCOPED_TRACE(names[id]);
    const auto* expected =
        std::find_if(std::begin(EXPECTED_MESSAGES), std::end(EXPECTED_MESSAGES),
                     [&](const ExpectedMessage& m) { return std::string(m.name) == names[id]; });
    ASSERT_NE(expected, std::end(EXPECTED_MESSAGES));
    EXPECT_EQ(std::wstring(MessageText(static_cast<MessageId>(id))), expected->text);
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
      {L"\uFEFFy\r\n", true, L"\r\n"},  // a byte-order mark at the start is skipped
      {L"\uFEFF \ty", true, L""},
      {L" \uFEFFy", false, L"y"},  // elsewhere it is no white space
      {L"\uFEFF\uFEFFy", false, L"y"},
      {L"", false, L""},
      {L"\n  \n", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - std::begin(cases));  // the row
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
