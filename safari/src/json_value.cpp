#include "json_value.h"

#include "platform/unicode_text.h"

namespace karvo::safari {
namespace {

const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
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
  return a == b || platform::canonicallyEquivalent(a, b);
}

bool memberTextEquals(const Json& object, std::string_view key, std::string_view text) {
  const std::string* value = stringMember(object, key);
  return value != nullptr && textEquals(*value, text);
}

}  // namespace karvo::safari
