// The host's JSON text written in one pass over a message, without building a value tree: the same
// parsing rules and the same output as json::parse followed by json::serialise, in about the memory of
// the text itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace karvo::json {

// Writes the host's text of the JSON text `text` into `out` (its content is replaced, its capacity
// reused): exactly json::serialise(*json::parse(text)). False when the text does not parse; `out` then
// holds no meaningful content. `text` lends its memory as scratch space: its content is lost either way.
// Never throws (running out of memory is a failure too).
bool canonicalise(std::string& text, std::string& out) noexcept;

// The host's text of the "id" member of the object that the JSON text `text` holds (the last one when
// the key occurs more than once), found in one pass that keeps nothing of the text but that member's
// value. Nothing when the text does not parse, is not an object or has no "id". Never throws.
std::optional<std::string> top_level_id(std::string_view text) noexcept;

}  // namespace karvo::json
