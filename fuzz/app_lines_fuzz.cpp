// The host's reading of the application's lines over arbitrary segmentations: whatever the bytes and
// however they are cut into receives, read_app_line returns each line of the stream (up to and including
// its LF, and a last one without LF) trimmed of Unicode White_Space at both ends, and ends the link at the
// first line that is not valid UTF-8; then it reports the end of the stream.
//
// Input: the stream and its cuts (packet_stream.h).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app_link.h"
#include "fuzz_check.h"
#include "packet_stream.h"

namespace {

// The code points of `text`, or nothing when it is not well-formed UTF-8 (overlong forms, surrogates
// and values above U+10FFFF included).
std::optional<std::vector<char32_t>> code_points(std::string_view text) {
  std::vector<char32_t> points;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF8 ? 0  // no lead byte of any length
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0;
    if (length == 0 || text.size() - i < length) return std::nullopt;
    auto point = static_cast<char32_t>(length == 1 ? lead : lead & (0x7Fu >> length));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      point = point << 6 | static_cast<char32_t>(next & 0x3Fu);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
    points.push_back(point);
    i += length;
  }
  return points;
}

bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string utf8(const std::vector<char32_t>& points, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t k = from; k < to; ++k) {
    const char32_t c = points[k];
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      text.push_back(static_cast<char>(0xC0 | c >> 6));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | c >> 12));
      text.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | c >> 18));
      text.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return text;
}

// What the reads give for `stream`: the trimmed lines, then nothing for the line that ends the link
// (an invalid one) or for the end of the stream.
std::vector<std::optional<std::string>> expected_reads(std::string_view stream) {
  std::vector<std::optional<std::string>> reads;
  while (!stream.empty()) {
    const std::size_t lf = stream.find('\n');
    const std::size_t length = lf == std::string_view::npos ? stream.size() : lf + 1;
    const auto points = code_points(stream.substr(0, length));
    if (!points) break;
    std::size_t from = 0, to = points->size();
    while (from < to && white_space((*points)[from])) ++from;
    while (to > from && white_space((*points)[to - 1])) --to;
    reads.emplace_back(utf8(*points, from, to));
    stream.remove_prefix(length);
  }
  reads.emplace_back(std::nullopt);
  return reads;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const karvo::fuzz::CutStream stream = karvo::fuzz::cut_stream(input);
  // A packet longer than the reader's buffer would be cut short by the receive.
  if (stream.bytes.size() > karvo::LineReader::kBufferSize) return 0;
  karvo::AppLink link{karvo::UniqueFd(), karvo::LineReader(karvo::UniqueFd(karvo::fuzz::deliver(stream))),
                      std::string()};

  for (const std::optional<std::string>& expected : expected_reads(stream.bytes)) {
    const karvo::ReadLine read = karvo::read_app_line(link);
    if (expected) {
      KARVO_FUZZ_CHECK(read == karvo::ReadLine::line);
      KARVO_FUZZ_CHECK(link.line == *expected);
    } else {
      KARVO_FUZZ_CHECK(read != karvo::ReadLine::line);
    }
  }
  return 0;
}
