// The pieces of the host's JSON text rules that the value tree (json.cpp) and the one-pass writer
// (json_canonical.cpp) share, so that both write the same text for the same input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace karvo::json::detail {

// The parser gives up on exponents beyond the range of int. This copies `text` with each exponent of
// more than nine significant digits (outside strings) replaced by 999999999, which gives the same value
// or the same error; false when there is none.
bool clamp_exponents(std::string_view text, std::string& out);

// Appends the inside of a string's text: `s` with the quotation mark, the backslash and the control
// bytes escaped. Pieces of one string may be written one after another.
void write_escaped(std::string_view s, std::string& out);
// The most bytes that one byte of a string takes in its text (\u00xx).
inline constexpr std::size_t kMaxEscapedLength = 6;
// The same into memory with room for kMaxEscapedLength bytes per byte of `s`; returns the end of what it
// wrote.
char* write_escaped(std::string_view s, char* out) noexcept;
// Appends a whole string's text, quotes included.
void write_string(std::string_view s, std::string& out);

}  // namespace karvo::json::detail
