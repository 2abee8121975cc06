// A second JSON reader to judge the host's against: nlohmann-json. Both follow RFC 8259 strictly, check
// UTF-8 and surrogates, let the last of two equal keys win, fail on numbers beyond the double range and
// read underflowing ones as zero. They differ on purpose in two places, which the checks leave aside:
// nlohmann-json skips a leading byte-order mark, and it has no nesting limit. One more difference is
// nlohmann-json's own: it takes a NUL byte for the end of the text, so that "1\0x" would read as 1. No
// JSON text holds a raw NUL (not even inside a string), so the reference refuses any text with one.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json.h"

namespace karvo::fuzz {

using Reference = nlohmann::json;

// The reference reading of `text`; nothing when nlohmann-json rejects it.
inline std::optional<Reference> reference_parse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  Reference value = Reference::parse(text, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// The deepest nesting of arrays and objects in `text`, counting brackets outside strings. Exact for any
// text that one of the readers accepts.
inline std::size_t nesting_depth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// True for the texts on which the two readers may disagree by design.
inline bool outside_common_rules(std::string_view text) {
  return text.starts_with("\xEF\xBB\xBF") || nesting_depth(text) > json::kMaxDepth;
}

// The same JSON value in both models. Numbers must be of the same kind (non-negative integers unsigned,
// negative ones signed, the rest doubles, compared bit for bit); the one exception is the text -0, which
// the host reads as the double -0.0 and nlohmann-json as the integer 0.
inline bool same_value(const json::Value& value, const Reference& reference) {
  const json::Value::Storage& v = value.storage();
  if (const auto* u = std::get_if<std::uint64_t>(&v)) {
    return reference.is_number_unsigned() && reference.get<std::uint64_t>() == *u;
  }
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    return reference.is_number_integer() && !reference.is_number_unsigned() &&
           reference.get<std::int64_t>() == *i;
  }
  if (const auto* d = std::get_if<double>(&v)) {
    if (reference.is_number_float()) {
      return std::bit_cast<std::uint64_t>(reference.get<double>()) == std::bit_cast<std::uint64_t>(*d);
    }
    return reference.is_number_integer() && reference.get<std::int64_t>() == 0 && *d == 0.0 &&
           std::signbit(*d);
  }
  if (value.is_null()) return reference.is_null();
  if (const auto* b = std::get_if<bool>(&v)) return reference.is_boolean() && reference.get<bool>() == *b;
  if (const auto* s = std::get_if<std::string>(&v)) {
    return reference.is_string() && reference.get_ref<const std::string&>() == *s;
  }
  if (const auto* array = std::get_if<json::Array>(&v)) {
    if (!reference.is_array() || reference.size() != array->size()) return false;
    for (std::size_t k = 0; k < array->size(); ++k) {
      if (!same_value((*array)[k], reference[k])) return false;
    }
    return true;
  }
  if (const auto* object = std::get_if<json::Object>(&v)) {
    if (!reference.is_object() || reference.size() != object->size()) return false;
    for (const auto& [key, member] : *object) {
      const auto it = reference.find(key);
      if (it == reference.end() || !same_value(member, *it)) return false;
    }
    return true;
  }
  return false;
}

}  // namespace karvo::fuzz
