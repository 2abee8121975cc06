// The Safari side's trace line on arbitrary requests and replies: nothing for an idle poll, otherwise one
// info entry "<op> [<label>] → <result> [<summary>]" made of the request's and reply's strings and
// booleans exactly as the trace's rules say, their control characters written escaped, never anything
// else.
//
// Input: the request's JSON text, a NUL byte, the reply's JSON text (no JSON text holds a raw NUL).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "json_value.h"
#include "platform/json_text.h"
#include "platform/linux_settings.h"
#include "relay.h"

namespace {

using karvo::safari::Json;

std::vector<std::string>& logged() {
  static std::vector<std::string> lines;
  return lines;
}

// The member when `object` is an object that has it.
const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const std::string* text(const Json& object, const char* key) {
  const Json* value = member(object, key);
  return value != nullptr && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

// true and false, or a number equal to 1 or 0.
std::optional<bool> truth(const Json& object, const char* key) {
  const Json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number() && (*value == 0 || *value == 1)) return *value == 1;
  return std::nullopt;
}

// The elements of the reply's "messages" when it is an array of objects only.
std::vector<const Json*> messages(const Json& reply) {
  std::vector<const Json*> elements;
  const Json* array = member(reply, "messages");
  if (array == nullptr || !array->is_array()) return elements;
  for (const Json& element : *array) {
    if (!element.is_object()) return {};
    elements.push_back(&element);
  }
  return elements;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string whole;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) whole += separator;
    whole += parts[k];
  }
  return whole;
}

// `value` with each control character (below 0x20, and 0x7F) written as \n, \r, \t or \x and two
// lower-case hex digits.
std::string escaped(std::string_view value) {
  std::string out;
  for (const char c : value) {
    const int byte = static_cast<unsigned char>(c);
    if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// The line that the trace's rules give, or nothing for an idle poll.
std::optional<std::string> expected_line(const Json& request, const Json& reply) {
  const std::string op = text(request, "op") != nullptr ? *text(request, "op") : "send";
  const std::vector<const Json*> brought = messages(reply);
  if (op == "poll" && brought.empty() && truth(reply, "ok") != false) return std::nullopt;

  std::vector<std::string> about;
  if (const Json* msg = member(request, "msg"); msg != nullptr && msg->is_object()) {
    for (const char* key : {"type", "source", "id"}) {
      if (text(*msg, key) != nullptr) about.push_back(*text(*msg, key));
    }
  }

  std::vector<std::string> entries;
  for (const Json* message : brought) {
    std::string entry = text(*message, "type") != nullptr ? *text(*message, "type") : "?";
    if (text(*message, "id") != nullptr) entry += " " + *text(*message, "id");
    if (const auto accepted = truth(*message, "accepted")) {
      const std::string* reason = text(*message, "reason");
      entry += *accepted ? std::string(" accepted")
                         : " declined(" + (reason != nullptr ? *reason : std::string()) + ")";
    }
    entries.push_back(entry);
  }

  const std::string* error = text(reply, "error");
  const std::string result =
      truth(reply, "ok") == true ? "ok" : "failed(" + (error != nullptr ? *error : std::string()) + ")";
  return "info: " + escaped(op) + " [" + escaped(joined(about, " ")) + "] \u2192 " + escaped(result) + " [" +
         escaped(joined(entries, ", ")) + "]";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  karvo::safari::platform::LinuxSettings settings;
  settings.logSink = [](std::string_view level, std::string_view line) {
    logged().push_back(std::string(level) + ": " + std::string(line));
  };
  karvo::safari::platform::setLinuxSettings(std::move(settings));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  if (nul == std::string_view::npos) return 0;
  const auto request = karvo::safari::platform::parseJson(input.substr(0, nul));
  const auto reply = karvo::safari::platform::parseJson(input.substr(nul + 1));
  if (!request || !reply) return 0;

  logged().clear();
  karvo::safari::Relay::trace(*request, *reply);
  const std::optional<std::string> expected = expected_line(*request, *reply);
  if (!expected) {
    KARVO_FUZZ_CHECK(logged().empty());
  } else {
    KARVO_FUZZ_CHECK(logged().size() == 1);
    KARVO_FUZZ_CHECK(logged().front() == *expected);
  }
  return 0;
}
