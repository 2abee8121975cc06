// Browser framing: a 4-byte little-endian length, then the body.

#include "testkit.h"

namespace karvo::testkit {

std::string frame_header(std::uint32_t length) {
  std::string h(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) h[i] = static_cast<char>((length >> (8 * i)) & 0xFFu);
  return h;
}

std::string frame(std::string_view body) {
  std::string f = frame_header(static_cast<std::uint32_t>(body.size()));
  f.append(body);
  return f;
}

std::optional<std::string> read_frame(Child& child, Ms timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::max(Ms(0), std::chrono::ceil<Ms>(deadline - std::chrono::steady_clock::now()));
  };
  // Header and body are taken together: a frame that does not complete in time stays unread.
  const auto header = child.read_exact(4, left());
  if (!header) return std::nullopt;
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    length |= static_cast<std::uint32_t>(static_cast<unsigned char>((*header)[i])) << (8 * i);
  }
  auto body = child.read_exact(length, left());
  if (!body) {
    child.unread(*header);
    return std::nullopt;
  }
  return body;
}

bool expect_no_frame(Child& child, Ms wait) {
  const auto seen = child.activity();
  if (child.stdout_available() > 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  auto current = seen;
  while (std::chrono::steady_clock::now() < deadline) {
    child.wait_activity(current, std::chrono::ceil<Ms>(deadline - std::chrono::steady_clock::now()));
    current = child.activity();
    if (child.stdout_available() > 0) return false;
  }
  return true;
}

}  // namespace karvo::testkit
