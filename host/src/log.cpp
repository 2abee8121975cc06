#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace karvo {

namespace {

// Appends `text` with its control characters escaped: LF, CR and TAB as \n, \r and \t, every other one
// (U+0000 to U+001F, U+007F) as \x and two lower-case hex digits.
void append_escaped(std::string& line, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      line.push_back(c);
    } else if (c == '\n') {
      line.append("\\n");
    } else if (c == '\r') {
      line.append("\\r");
    } else if (c == '\t') {
      line.append("\\t");
    } else {
      line.append("\\x").push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 0xF]);
    }
  }
}

}  // namespace

void log_line(std::string_view text) noexcept {
  try {
    std::string line;
    line.reserve(text.size() + 14);
    line.append("karvo-host: ");
    append_escaped(line, text);
    line.push_back('\n');
    std::string_view rest(line);
    while (!rest.empty()) {
      const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
  } catch (...) {
    // Out of memory while logging: the line is dropped, like any line that cannot be written.
  }
}

}  // namespace karvo
