#include "utf8.h"

#include <cstdint>
#include <cstring>

namespace karvo {

namespace {

inline unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

}  // namespace

bool is_valid_utf8(std::string_view s) noexcept {
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char c = byte_at(s, i);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;       // no overlongs
      else if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;       // no overlongs
      else if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    const unsigned char c1 = byte_at(s, i + 1);
    if (c1 < lo || c1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const unsigned char ck = byte_at(s, i + k);
      if (ck < 0x80 || ck > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

namespace {

// Length of the White_Space character that starts at `s[i]`, or 0.
std::size_t space_at(std::string_view s, std::size_t i) noexcept {
  const std::size_t left = s.size() - i;
  const unsigned char c = byte_at(s, i);
  switch (c) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r':
      return 1;
    case 0xC2:  // U+0085, U+00A0
      if (left >= 2 && (byte_at(s, i + 1) == 0x85 || byte_at(s, i + 1) == 0xA0)) return 2;
      return 0;
    case 0xE1:  // U+1680
      if (left >= 3 && byte_at(s, i + 1) == 0x9A && byte_at(s, i + 2) == 0x80) return 3;
      return 0;
    case 0xE2: {  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      if (left < 3) return 0;
      const unsigned char b1 = byte_at(s, i + 1), b2 = byte_at(s, i + 2);
      if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) return 3;
      if (b1 == 0x81 && b2 == 0x9F) return 3;
      return 0;
    }
    case 0xE3:  // U+3000
      if (left >= 3 && byte_at(s, i + 1) == 0x80 && byte_at(s, i + 2) == 0x80) return 3;
      return 0;
    default:
      return 0;
  }
}

}  // namespace

std::string_view trim_unicode_space(std::string_view s) noexcept {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t len = space_at(s, begin);
    if (len == 0) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // The text is valid UTF-8, so the last character starts at the last byte that is not 10xxxxxx.
    std::size_t start = end - 1;
    while (start > begin && (byte_at(s, start) & 0xC0) == 0x80) --start;
    if (space_at(s, start) != end - start) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace karvo
