#pragma once

#include <array>
#include <cstddef>
#include <streambuf>
#include <string>
#include <string_view>

/// UTF-8 between the wide streams and a POSIX terminal, pipe or file, done
/// here rather than by the C library, whose conversion needs locale files
/// that many systems lack. wchar_t holds a whole character here.

/// The UTF-8 bytes of `text`; a value that is no character (a surrogate, or
/// beyond U+10FFFF) is written as U+FFFD.
std::string EncodeUtf8(std::wstring_view text);

/// Appends to `text` the characters of the whole UTF-8 sequences at the
/// start of `bytes`, and returns how many bytes they took. What is not
/// UTF-8 (a stray byte, an overlong form, a surrogate, a value beyond
/// U+10FFFF) becomes one U+FFFD per broken sequence. A sequence cut short
/// by the end is left for the bytes to come; if `last`, it is broken too.
std::size_t DecodeUtf8(std::string_view bytes, bool last, std::wstring& text);

/// Writes the inserted texts to a descriptor as UTF-8 when flushed (before
/// the answer is read, and at exit): each whole, several in one write.
class Utf8Writer : public std::wstreambuf {
 public:
  explicit Utf8Writer(int fd) : fd_(fd) {}

 protected:
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;
  int_type overflow(int_type ch) override;
  int sync() override;

 private:
  int fd_;
  std::string bytes_;  // not yet written
};

/// Reads UTF-8 from a descriptor as wide characters.
class Utf8Reader : public std::wstreambuf {
 public:
  explicit Utf8Reader(int fd) : fd_(fd) {}

 protected:
  int_type underflow() override;

 private:
  static constexpr std::size_t CHUNK_BYTES = 4096;

  int fd_;
  std::array<char, CHUNK_BYTES> chunk_{};
  std::string pending_;  // the start of a sequence the next read completes
  std::wstring chars_;   // the get area
};
