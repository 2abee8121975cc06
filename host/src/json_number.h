// Numbers in the host's JSON text: the exact value of a number's text, and the shortest text of a double
// that reads back to it. Built on fast_float and the C library, so that it needs no floating-point
// <charconv> (Apple's C++ library has std::from_chars for double only from the macOS 26 SDK, and
// std::to_chars for double only from macOS 13.3 on).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "json.h"

namespace karvo::json {

// The number's text as the grammar accepted it, converted exactly. Integers keep their integer kind
// while they fit in 64 bits (non-negative ones unsigned); "-0" and every text with a fraction or an
// exponent give a double; a magnitude below the double range reads as zero of its sign. Nothing when
// the magnitude lies beyond the double range.
std::optional<Value> number_from_text(std::string_view text) noexcept;

// True when `text`, a number with a fraction or an exponent as the grammar accepted it, is already the
// text that write_double gives for its value, so that it may be copied through unread. Only plain decimals
// that provably are (see json_number.cpp) say so; false says nothing about the others.
bool is_shortest_text(std::string_view text) noexcept;

// Appends the shortest text that reads back to `d`: positional when the leading digit's decimal
// exponent lies in [-5, 15] (with ".0" when there is no fraction: 1.0, 0.00001, -0.0), else d.ddde[-]x
// (1e16, 1.5e-7). A double that is not finite is written as null.
void write_double(double d, std::string& out);

namespace number_detail {

// A finite double as the fewest significant decimal digits that read back to it (the closest such
// digits when several do): sign, digits without trailing zeros ("0" for zero), and the decimal exponent
// of the first digit.
struct Decimal {
  bool negative = false;
  char digits[17] = {};
  int count = 0;
  int exponent = 0;
};

// What write_double uses: std::to_chars where the C++ library has it, else the C library's way below.
Decimal shortest_decimal(double d) noexcept;
// The C library's way: the shortest of the correctly rounded forms of 1 to 17 digits that reads back
// (all derived from printf's 17 digits). Built everywhere, so that the tests hold it against
// std::to_chars wherever that exists.
Decimal shortest_decimal_printf(double d) noexcept;

}  // namespace number_detail
}  // namespace karvo::json
