// The platform's JSON text facility: text to a value and back.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "../json_value.h"

namespace karvo::safari::platform {

// Parses exactly one JSON value (surrounding JSON whitespace allowed). Nothing for invalid JSON, invalid
// UTF-8, anything after the value, or nesting deeper than the facility supports.
std::optional<Json> parseJson(std::string_view text);

// Compact JSON text of `value`, in the facility's own key order. Nothing when the value cannot be written
// (a string that is not valid UTF-8).
std::optional<std::string> serializeJson(const Json& value);

}  // namespace karvo::safari::platform
