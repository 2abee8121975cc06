#include "json_value.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

#include <utf8proc.h>

namespace karvo::safari {
namespace {

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

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

const std::string* stringMember(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value != nullptr && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

const Json* objectMember(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value != nullptr && value->is_object() ? value : nullptr;
}

const Json* objectArrayMember(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  if (value == nullptr || !value->is_array()) return nullptr;
  for (const Json& element : *value) {
    if (!element.is_object()) return nullptr;
  }
  return value;
}

std::optional<bool> asBool(const Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) {
    const double number = value.get<double>();
    if (number == 1.0) return true;
    if (number == 0.0) return false;
  }
  return std::nullopt;
}

std::optional<bool> boolMember(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value == nullptr ? std::nullopt : asBool(*value);
}

bool textEquals(std::string_view a, std::string_view b) {
  if (a == b) return true;
  const auto left = composed(a);
  const auto right = composed(b);
  return left && right && *left == *right;
}

bool memberTextEquals(const Json& object, std::string_view key, std::string_view text) {
  const std::string* value = stringMember(object, key);
  return value != nullptr && textEquals(*value, text);
}

}  // namespace karvo::safari
