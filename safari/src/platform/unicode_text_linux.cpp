// Canonical equivalence through utf8proc, standing in for the platform's Unicode facility.
#include "unicode_text.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <utf8proc.h>

namespace karvo::safari::platform {
namespace {

// Canonical composition (NFC) of valid UTF-8; nothing for invalid input.
std::optional<std::string> composed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
  if (length < 0 || out == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

}  // namespace

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  const auto left = composed(a);
  const auto right = composed(b);
  return left && right && *left == *right;
}

}  // namespace karvo::safari::platform
