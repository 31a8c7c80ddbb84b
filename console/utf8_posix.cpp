#include "console/utf8_posix.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr char32_t LAST_CHARACTER = 0x10FFFF;

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

// One character's bytes: 1 to 4, the first marking how many follow.
void AppendUtf8(char32_t code, std::string& bytes) {
  if (code > LAST_CHARACTER || IsSurrogate(code)) {
    code = REPLACEMENT;
  }
  const auto byte = [&bytes](char32_t value) { bytes += static_cast<char>(value); };
  if (code < 0x80) {
    byte(code);
  } else if (code < 0x800) {
    byte(0xC0 | (code >> 6));
    byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    byte(0xE0 | (code >> 12));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  } else {
    byte(0xF0 | (code >> 18));
    byte(0x80 | ((code >> 12) & 0x3F));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  }
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
    const auto lead = static_cast<unsigned char>(bytes[at]);
    const bool starts = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4);
    const std::size_t follow = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0x80 ? 1 : 0;
    char32_t code = lead < 0x80 ? lead : lead & (0x3FU >> follow);
    // The second byte's range also rules out overlong forms, surrogates
    // and values beyond U+10FFFF.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    std::size_t used = 1;
    bool whole = starts;
    for (; whole && used <= follow; ++used) {
      if (at + used == bytes.size()) {
        if (!last) {
          return at;
        }
        whole = false;
        break;
      }
      const auto next = static_cast<unsigned char>(bytes[at + used]);
      if (next < low || next > high) {
        whole = false;
        break;
      }
      code = (code << 6) | (next & 0x3FU);
      low = 0x80;
      high = 0xBF;
    }
    text += static_cast<wchar_t>(whole ? code : REPLACEMENT);
    at += used;
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
      bytes_.clear();
      return -1;  // the stream fails, and later texts are dropped
    }
    left.remove_prefix(static_cast<std::size_t>(put));
  }
  bytes_.clear();
  return 0;
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
  setg(chars_.data(), chars_.data(), chars_.data() + chars_.size());
  return traits_type::to_int_type(chars_.front());
}
