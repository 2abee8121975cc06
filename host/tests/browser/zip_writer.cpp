#include "zip_writer.h"

#include <array>
#include <cstdint>

namespace karvo::browsertest {
namespace {

std::uint32_t crc32(const std::string& data) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char ch : data) c = table[(c ^ static_cast<unsigned char>(ch)) & 0xFFu] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFFu));
  out.push_back(static_cast<char>((v >> 8) & 0xFFu));
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFFu);
  put16(out, v >> 16);
}

constexpr std::uint32_t kDosDate = (1u << 5) | 1u;  // 1980-01-01, 00:00

}  // namespace

std::string zip_stored(const std::vector<std::pair<std::string, std::string>>& files) {
  std::string out;
  std::string central;
  for (const auto& [name, content] : files) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = crc32(content);
    const auto size = static_cast<std::uint32_t>(content.size());
    const auto name_len = static_cast<std::uint32_t>(name.size());
    // Local file header.
    put32(out, 0x04034b50u);
    put16(out, 20);  // version needed
    put16(out, 0);   // flags
    put16(out, 0);   // stored
    put16(out, 0);   // time
    put16(out, kDosDate);
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, name_len);
    put16(out, 0);
    out += name;
    out += content;
    // Central directory entry.
    put32(central, 0x02014b50u);
    put16(central, 20);  // made by
    put16(central, 20);  // version needed
    put16(central, 0);
    put16(central, 0);
    put16(central, 0);
    put16(central, kDosDate);
    put32(central, crc);
    put32(central, size);
    put32(central, size);
    put16(central, name_len);
    put16(central, 0);  // extra
    put16(central, 0);  // comment
    put16(central, 0);  // disk
    put16(central, 0);  // internal attributes
    put32(central, 0);  // external attributes
    put32(central, offset);
    central += name;
  }
  const auto central_offset = static_cast<std::uint32_t>(out.size());
  const auto count = static_cast<std::uint32_t>(files.size());
  out += central;
  put32(out, 0x06054b50u);
  put16(out, 0);
  put16(out, 0);
  put16(out, count);
  put16(out, count);
  put32(out, static_cast<std::uint32_t>(central.size()));
  put32(out, central_offset);
  put16(out, 0);
  return out;
}

}  // namespace karvo::browsertest
