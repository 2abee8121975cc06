// JSON text through nlohmann-json, standing in for the platform's JSON facility.
#include "json_text.h"

#include <cstddef>

namespace karvo::safari::platform {
namespace {

// Deeper nesting is refused before parsing: values are copied and written recursively.
constexpr std::size_t kMaxDepth = 512;

bool nestingWithinLimit(std::string_view text) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<Json> parseJson(std::string_view text) {
  // nlohmann-json takes a NUL byte for the end of the text and would ignore whatever follows it. No JSON
  // text holds a raw NUL, not even inside a string, so a text with one is refused whole.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!nestingWithinLimit(text)) return std::nullopt;
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

std::optional<std::string> serializeJson(const Json& value) {
  try {
    return value.dump();
  } catch (const Json::exception&) {
    return std::nullopt;  // a string that is not valid UTF-8
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace karvo::safari::platform
