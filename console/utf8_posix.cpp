#include "console/utf8_posix.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <tuple>
#include <utility>

namespace {

// UTF-8 is defined by these byte values; naming each would hide them.
// NOLINTBEGIN(readability-magic-numbers,cppcoreguidelines-avoid-magic-numbers)

constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr char32_t LAST_CHARACTER = 0x10FFFF;
constexpr unsigned PAYLOAD_BITS = 6;  // of each byte after the first
constexpr unsigned PAYLOAD = 0x3F;

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

// One character's bytes: 1 to 4, the first marking how many follow.
void AppendUtf8(char32_t code, std::string& bytes) {
  if (code > LAST_CHARACTER || IsSurrogate(code)) {
    code = REPLACEMENT;
  }
  constexpr std::array<unsigned, 4> LEADS = {0x00, 0xC0, 0xE0, 0xF0};  // by bytes that follow
  const unsigned follow = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  bytes += static_cast<char>(LEADS.at(follow) | (code >> (PAYLOAD_BITS * follow)));
  for (unsigned left = follow; left > 0; --left) {
    bytes += static_cast<char>(0x80U | ((code >> (PAYLOAD_BITS * (left - 1))) & PAYLOAD));
  }
}

// How many bytes follow `lead`, or -1 if it begins no character (a
// continuation byte, C0 and C1, which only begin overlong forms, or a lead
// past F4, whose values lie beyond U+10FFFF).
int FollowingBytes(unsigned char lead) {
  if (lead < 0x80) {
    return 0;
  }
  if (lead < 0xC2 || lead > 0xF4) {
    return -1;
  }
  return lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
}

// The range of the byte after `lead`: narrower after four leads, to rule
// out overlong forms (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
std::pair<unsigned char, unsigned char> SecondByteRange(unsigned char lead) {
  switch (lead) {
    case 0xE0:
      return {0xA0, 0xBF};
    case 0xED:
      return {0x80, 0x9F};
    case 0xF0:
      return {0x90, 0xBF};
    case 0xF4:
      return {0x80, 0x8F};
    default:
      return {0x80, 0xBF};
  }
}

// NOLINTEND(readability-magic-numbers,cppcoreguidelines-avoid-magic-numbers)

struct Decoded {
  char32_t code;     // REPLACEMENT if the sequence is broken
  std::size_t used;  // 0: cut short, and more bytes may complete it
};

// The character at the start of `bytes`, which is not empty.
Decoded DecodeOne(std::string_view bytes, bool last) {
  const auto lead = static_cast<unsigned char>(bytes.front());
  const int follow = FollowingBytes(lead);
  if (follow <= 0) {
    return {follow == 0 ? lead : REPLACEMENT, 1};
  }
  char32_t code = lead & (PAYLOAD >> static_cast<unsigned>(follow));
  auto [low, high] = SecondByteRange(lead);
  for (std::size_t used = 1; used <= static_cast<std::size_t>(follow); ++used) {
    if (used == bytes.size()) {
      return {REPLACEMENT, last ? used : 0};
    }
    const auto next = static_cast<unsigned char>(bytes[used]);
    if (next < low || next > high) {
      return {REPLACEMENT, used};  // the next character may begin here
    }
    code = (code << PAYLOAD_BITS) | (next & PAYLOAD);
    std::tie(low, high) = SecondByteRange(0);
  }
  return {code, static_cast<std::size_t>(follow) + 1};
}

}  // namespace

std::string EncodeUtf8(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 3);
  for (const wchar_t wide : text) {
    AppendUtf8(static_cast<char32_t>(wide), bytes);
  }
  return bytes;
}

std::size_t DecodeUtf8(std::string_view bytes, bool last, std::wstring& text) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const Decoded one = DecodeOne(bytes.substr(at), last);
    if (one.used == 0) {
      break;
    }
    text += static_cast<wchar_t>(one.code);
    at += one.used;
  }
  return at;
}

std::streamsize Utf8Writer::xsputn(const wchar_t* text, std::streamsize count) {
  bytes_ += EncodeUtf8({text, static_cast<std::size_t>(count)});
  return count;
}

Utf8Writer::int_type Utf8Writer::overflow(int_type ch) {
  if (!traits_type::eq_int_type(ch, traits_type::eof())) {
    const wchar_t one = traits_type::to_char_type(ch);
    xsputn(&one, 1);
  }
  return traits_type::not_eof(ch);
}

int Utf8Writer::sync() {
  std::string_view left = bytes_;
  while (!left.empty()) {
    const ssize_t put = write(fd_, left.data(), left.size());
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      break;
    }
    left.remove_prefix(static_cast<std::size_t>(put));
  }
  const bool written = left.empty();
  bytes_.clear();
  return written ? 0 : -1;  // -1: the stream fails, and later texts are dropped
}

Utf8Reader::int_type Utf8Reader::underflow() {
  chars_.clear();
  while (chars_.empty()) {
    const ssize_t got = read(fd_, chunk_.data(), chunk_.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    const bool ended = got <= 0;  // a read error ends the answer too
    if (!ended) {
      pending_.append(chunk_.data(), static_cast<std::size_t>(got));
    }
    pending_.erase(0, DecodeUtf8(pending_, ended, chars_));
    if (ended && chars_.empty()) {
      return traits_type::eof();
    }
  }
  setg(chars_.data(), chars_.data(), std::to_address(chars_.end()));
  return traits_type::to_int_type(chars_.front());
}
