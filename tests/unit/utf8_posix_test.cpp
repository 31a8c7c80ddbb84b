#include "console/utf8_posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <string_view>

#include "console/dialogue.h"

namespace {

// The answer as bytes on standard input, read as the tool reads it.
TEST(Utf8Reader, OnlyAWholeYAfterWhiteSpaceConfirms) {
  struct Case {
    std::string_view bytes;
    bool confirmed;
  };
  const Case cases[] = {
      {"\xE3\x80\x80y\n", true},        // ideographic space, as typed in Japanese
      {" \xC2\xA0\xE2\x80\x83Y", true},  // no-break space, em space
      {"\xEF\xBD\x99\n", false},        // full-width y
      {"\xC1\xB9\n", false},            // y in an overlong form
      {"\xE0\x81\xB9\n", false},        // and in a longer one
      {"\xE3\x80y\n", false},           // a space cut short, then y
      {"\xED\xA0\x80y", false},         // a surrogate
      {"\xFFy", false},
      {"\xE2\x80\x8By", false},         // zero-width space is no white space
      {"\xC2\x85y", false},             // nor is next line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bytes));
    int ends[2] = {-1, -1};
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], c.bytes.data(), c.bytes.size()),
              static_cast<ssize_t>(c.bytes.size()));
    close(ends[1]);
    Utf8Reader reader(ends[0]);
    std::wistream in(&reader);
    std::wostringstream out;
    EXPECT_EQ(AskConfirmation(in, out), c.confirmed);
    close(ends[0]);
  }
}

TEST(DecodeUtf8, KeepsASequenceCutShortForTheNextReadUnlessItIsTheLast) {
  std::wstring text;
  EXPECT_EQ(DecodeUtf8("y\xE3\x80", false, text), 1U);
  EXPECT_EQ(text, L"y");
  EXPECT_EQ(DecodeUtf8("\xE3\x80\x80", false, text), 3U);
  EXPECT_EQ(DecodeUtf8("\xE3\x80", true, text), 2U);
  EXPECT_EQ(text, L"y\u3000\uFFFD");
}

TEST(EncodeUtf8, WritesEveryLengthAndReplacesWhatIsNoCharacter) {
  EXPECT_EQ(EncodeUtf8(L"y\u00E9\u3000\U0001F4BE"),
            "y\xC3\xA9\xE3\x80\x80\xF0\x9F\x92\xBE");
  EXPECT_EQ(EncodeUtf8(std::wstring{static_cast<wchar_t>(0xD800),
                                    static_cast<wchar_t>(0x110000)}),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
