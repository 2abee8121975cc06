// The Safari side's typed reads on arbitrary JSON: a member of another type than the one asked for counts
// as absent, the boolean read also takes a number equal to 1 or 0, and text comparison is canonical
// equivalence for valid UTF-8 (the same decomposed form) and byte equality otherwise.
//
// Input: a key and two texts (each as FuzzedDataProvider's random-length strings), then JSON text.
#include <fuzzer/FuzzedDataProvider.h>
#include <utf8proc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "json_value.h"
#include "platform/json_text.h"

namespace {

using karvo::safari::Json;

// The canonical decomposition of valid UTF-8; nothing for anything else.
std::optional<std::string> decomposed(std::string_view text) {
  utf8proc_uint8_t* out = nullptr;
  const utf8proc_ssize_t length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
  std::optional<std::string> result;
  if (length >= 0 && out != nullptr) {
    result.emplace(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
  }
  std::free(out);
  return result;
}

bool ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

void check_text_equality(std::string_view a, std::string_view b) {
  const bool equal = karvo::safari::textEquals(a, b);
  KARVO_FUZZ_CHECK(equal == karvo::safari::textEquals(b, a));
  KARVO_FUZZ_CHECK(karvo::safari::textEquals(a, a));
  if (ascii(a) && ascii(b)) KARVO_FUZZ_CHECK(equal == (a == b));
  const auto da = decomposed(a);
  const auto db = decomposed(b);
  if (da && db) {
    KARVO_FUZZ_CHECK(equal == (*da == *db));
    KARVO_FUZZ_CHECK(karvo::safari::textEquals(a, *da));
  } else {
    KARVO_FUZZ_CHECK(equal == (a == b));
  }
}

// The boolean reading: true and false, or a number equal to 1 or 0.
std::optional<bool> expected_bool(const Json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number_unsigned()) {
    const auto n = value.get<std::uint64_t>();
    if (n <= 1) return n == 1;
  } else if (value.is_number_integer()) {
    const auto n = value.get<std::int64_t>();
    if (n == 0 || n == 1) return n == 1;
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    if (d == 0.0 || d == 1.0) return d == 1.0;
  }
  return std::nullopt;
}

void check_member(const Json& object, const std::string& key, std::string_view text) {
  const Json* member = nullptr;
  if (object.is_object()) {
    const auto it = object.find(key);
    if (it != object.end()) member = &*it;
  }
  const std::string* string = karvo::safari::stringMember(object, key);
  KARVO_FUZZ_CHECK(string == (member != nullptr && member->is_string()
                                  ? &member->get_ref<const std::string&>()
                                  : nullptr));
  KARVO_FUZZ_CHECK(karvo::safari::objectMember(object, key) ==
                   (member != nullptr && member->is_object() ? member : nullptr));
  bool all_objects = member != nullptr && member->is_array();
  if (all_objects) {
    for (const Json& element : *member) all_objects = all_objects && element.is_object();
  }
  KARVO_FUZZ_CHECK(karvo::safari::objectArrayMember(object, key) == (all_objects ? member : nullptr));
  KARVO_FUZZ_CHECK(karvo::safari::boolMember(object, key) ==
                   (member != nullptr ? expected_bool(*member) : std::nullopt));
  KARVO_FUZZ_CHECK(karvo::safari::memberTextEquals(object, key, text) ==
                   (string != nullptr && karvo::safari::textEquals(*string, text)));
  if (string != nullptr) check_text_equality(*string, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string key = input.ConsumeRandomLengthString(64);
  const std::string a = input.ConsumeRandomLengthString(64);
  const std::string b = input.ConsumeRandomLengthString(64);
  check_text_equality(a, b);

  const std::optional<Json> value = karvo::safari::platform::parseJson(input.ConsumeRemainingBytesAsString());
  if (!value) return 0;
  KARVO_FUZZ_CHECK(karvo::safari::asBool(*value) == expected_bool(*value));

  std::vector<std::string> keys = {key, "op", "msg", "hello", "launch", "type", "id", "ok", "messages"};
  if (value->is_object()) {
    for (const auto& member : value->items()) keys.push_back(member.key());
  }
  for (const std::string& k : keys) check_member(*value, k, a);
  if (value->is_array()) {
    for (const Json& element : *value) {
      KARVO_FUZZ_CHECK(karvo::safari::asBool(element) == expected_bool(element));
      for (const std::string& k : keys) check_member(element, k, b);
    }
  }
  return 0;
}
