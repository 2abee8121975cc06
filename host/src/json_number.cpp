#include "json_number.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <fast_float/fast_float.h>

namespace karvo::json {
namespace {

// Exact text to double. Older fast_float releases give infinity for a magnitude beyond the range, where
// newer ones (and std::from_chars) report it: either way it comes back as result_out_of_range here.
std::from_chars_result read_double(const char* first, const char* last, double& value) noexcept {
  double d = 0.0;
  const fast_float::from_chars_result r = fast_float::from_chars(first, last, d);
  std::from_chars_result result{r.ptr, r.ec};
  if (result.ec == std::errc() && std::isinf(d)) result.ec = std::errc::result_out_of_range;
  if (result.ec == std::errc()) value = d;
  return result;
}

}  // namespace

std::optional<Value> number_from_text(std::string_view text) noexcept {
  const char* first = text.data();
  const char* last = first + text.size();
  const bool negative = !text.empty() && text.front() == '-';
  const bool integral = text.find_first_of(".eE") == std::string_view::npos;

  if (integral) {
    if (negative) {
      if (text == "-0") return Value(-0.0);
      std::int64_t i = 0;
      auto [ptr, ec] = std::from_chars(first, last, i);
      if (ec == std::errc() && ptr == last) return Value(i);
    } else {
      std::uint64_t u = 0;
      auto [ptr, ec] = std::from_chars(first, last, u);
      if (ec == std::errc() && ptr == last) return Value(u);
    }
    // Beyond 64 bits: a double.
  }

  double d = 0.0;
  const auto [ptr, ec] = read_double(first, last, d);
  if (ec == std::errc() && ptr == last) return Value(d);
  if (ec != std::errc::result_out_of_range) return std::nullopt;

  // Out of range either way: too small (underflow, which reads as zero) or too large (an error).
  // The decimal exponent of the leading non-zero digit tells which.
  const char* p = first + (negative ? 1 : 0);
  const char* const int_begin = p;
  while (p != last && *p >= '0' && *p <= '9') ++p;
  bool found = false;
  long long lead = 0;  // exponent of the leading non-zero digit, without the explicit exponent
  if (p != int_begin && *int_begin != '0') {
    found = true;
    lead = p - int_begin - 1;
  }
  if (p != last && *p == '.') {
    ++p;
    for (long long k = 1; p != last && *p >= '0' && *p <= '9'; ++p, ++k) {
      if (!found && *p != '0') {
        found = true;
        lead = -k;
      }
    }
  }
  long long exponent = 0;
  if (p != last && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p != last && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    for (; p != last && *p >= '0' && *p <= '9'; ++p) {
      if (exponent < 1'000'000'000'000LL) exponent = exponent * 10 + (*p - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  if (!found || lead + exponent < 0) return Value(negative ? -0.0 : 0.0);
  return std::nullopt;
}

// A plain decimal -?I.F (no exponent) is its own shortest text when
//   (a) it has at most 15 significant digits, from the first non-zero digit to the last digit;
//   (b) F ends in a non-zero digit, or F is "0" (then I, at most 15 digits, holds the whole value);
//   (c) where I is "0" and the value is not zero, F begins with at most four zeros.
// Why: its magnitude is zero or lies in [1e-5, 1e15), well inside the normal doubles. Any decimal of at
// most 15 significant digits there comes back unchanged when it is rounded to the nearest double and that
// double is rounded to 15 digits (15 is DBL_DIG for IEEE doubles); so two such decimals never round to the
// same double. The double read from the text therefore has no other decimal of as few digits that reads
// back to it: its shortest digits are the text's own significant digits (trailing zeros of an integral
// value aside), with the leading digit's exponent in [-5, 14]. write_double writes those positionally as
// integer part, point, fraction, with ".0" for an integral value: the text itself, since the grammar
// allows no leading zero in I and (b) leaves no trailing zero in F. A negative value (and "-0.0") keeps
// its sign, as the double does.
bool is_shortest_text(std::string_view text) noexcept {
  std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::size_t int_begin = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const std::size_t int_end = i;
  if (i == text.size() || text[i] != '.') return false;
  const std::size_t frac_begin = ++i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  const std::size_t frac_end = i;
  if (i != text.size() || frac_begin == frac_end || int_begin == int_end) return false;  // an exponent
  const std::string_view integer = text.substr(int_begin, int_end - int_begin);
  const std::string_view fraction = text.substr(frac_begin, frac_end - frac_begin);
  if (fraction == "0") return integer.size() <= 15;
  if (fraction.back() == '0') return false;
  if (integer != "0") return integer.size() + fraction.size() <= 15;
  const std::size_t zeros = fraction.find_first_not_of('0');
  return zeros <= 4 && fraction.size() - zeros <= 15;
}

namespace number_detail {
namespace {

// The digits and exponent of scientific text such as "-1.25e-07" (whatever the decimal point).
Decimal from_scientific(const char* p, const char* end) noexcept {
  Decimal decimal;
  if (p != end && *p == '-') {
    decimal.negative = true;
    ++p;
  }
  for (; p != end && *p != 'e'; ++p) {
    if (*p >= '0' && *p <= '9' && decimal.count < 17) decimal.digits[decimal.count++] = *p;
  }
  if (p != end) ++p;  // 'e'
  bool exponent_negative = false;
  if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
  for (; p != end && *p >= '0' && *p <= '9'; ++p) decimal.exponent = decimal.exponent * 10 + (*p - '0');
  if (exponent_negative) decimal.exponent = -decimal.exponent;
  return decimal;
}

Decimal without_trailing_zeros(Decimal decimal) noexcept {
  while (decimal.count > 1 && decimal.digits[decimal.count - 1] == '0') --decimal.count;
  return decimal;
}

// True when the digits read back exactly to `d`.
bool reads_back(const Decimal& decimal, double d) noexcept {
  char text[32];
  char* o = text;
  if (decimal.negative) *o++ = '-';
  std::memcpy(o, decimal.digits, static_cast<std::size_t>(decimal.count));
  o += decimal.count;
  *o++ = 'e';
  o = std::to_chars(o, text + sizeof text, decimal.exponent - (decimal.count - 1)).ptr;
  double back = 0.0;
  const fast_float::from_chars_result r = fast_float::from_chars(text, o, back);
  return r.ec == std::errc() && r.ptr == o && std::memcmp(&back, &d, sizeof d) == 0;
}

// The next decimal of the same number of digits away from zero (up) or towards it (down).
Decimal step(Decimal decimal, bool up) noexcept {
  int i = decimal.count - 1;
  if (up) {
    while (i >= 0 && decimal.digits[i] == '9') decimal.digits[i--] = '0';
    if (i >= 0) {
      ++decimal.digits[i];
    } else {  // 99..9 -> 100..0, one power of ten up
      decimal.digits[0] = '1';
      ++decimal.exponent;
    }
  } else {
    while (i >= 0 && decimal.digits[i] == '0') decimal.digits[i--] = '9';
    if (i >= 0) --decimal.digits[i];
    if (decimal.digits[0] == '0') {  // 100..0 -> 99..9, one power of ten down
      std::memmove(decimal.digits, decimal.digits + 1, static_cast<std::size_t>(decimal.count - 1));
      decimal.digits[decimal.count - 1] = '9';
      --decimal.exponent;
    }
  }
  return decimal;
}

}  // namespace

Decimal shortest_decimal_printf(double d) noexcept {
  // Seventeen significant digits, correctly rounded, always read back. Every shorter correctly rounded
  // form follows from them by rounding once more, except where they end in an exact tie ("5" and zeros
  // after the cut): the double may lie on either side of it, and only printf at that length can tell.
  char text[40];
  const int n = std::snprintf(text, sizeof text, "%.16e", d);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text) return Decimal{};
  const Decimal all = from_scientific(text, text + n);
  // The range of decimals that read back to `d` is lopsided only where its significand is a power of
  // two (the spacing of doubles halves below it): there the nearest decimal of a length may miss the
  // range while its neighbour of the same length lies inside.
  const bool lopsided = (std::bit_cast<std::uint64_t>(d) & ((std::uint64_t{1} << 52) - 1)) == 0;
  for (int digits = 1; digits < all.count; ++digits) {
    Decimal nearest = all;
    nearest.count = digits;
    const char next = all.digits[digits];
    bool tie = next == '5';
    for (int i = digits + 1; tie && i < all.count; ++i) tie = all.digits[i] == '0';
    if (tie) {
      const int m = std::snprintf(text, sizeof text, "%.*e", digits - 1, d);
      if (m <= 0 || static_cast<std::size_t>(m) >= sizeof text) break;
      nearest = from_scientific(text, text + m);
    } else if (next >= '5') {
      nearest = step(nearest, true);
    }
    if (reads_back(nearest, d)) return without_trailing_zeros(nearest);
    if (lopsided) {
      for (const bool up : {false, true}) {
        const Decimal neighbour = step(nearest, up);
        if (reads_back(neighbour, d)) return without_trailing_zeros(neighbour);
      }
    }
  }
  return without_trailing_zeros(all);
}

Decimal shortest_decimal(double d) noexcept {
#if KARVO_HAVE_TO_CHARS_DOUBLE
  char text[32];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, d, std::chars_format::scientific);
  return without_trailing_zeros(from_scientific(text, r.ptr));
#else
  return shortest_decimal_printf(d);
#endif
}

}  // namespace number_detail

void write_double(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out.append("null");
    return;
  }
  const number_detail::Decimal decimal = number_detail::shortest_decimal(d);
  const char* const digits = decimal.digits;
  const int n = decimal.count;
  const int exponent = decimal.exponent;

  char text[48];
  char* o = text;
  if (decimal.negative) *o++ = '-';
  if (exponent >= 0 && exponent <= 15) {
    const int whole = exponent + 1;
    for (int i = 0; i < whole; ++i) *o++ = i < n ? digits[i] : '0';
    *o++ = '.';
    if (n > whole) {
      for (int i = whole; i < n; ++i) *o++ = digits[i];
    } else {
      *o++ = '0';
    }
  } else if (exponent < 0 && exponent >= -5) {
    *o++ = '0';
    *o++ = '.';
    for (int i = -1; i > exponent; --i) *o++ = '0';
    for (int i = 0; i < n; ++i) *o++ = digits[i];
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      for (int i = 1; i < n; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    o = std::to_chars(o, text + sizeof text, exponent).ptr;
  }
  out.append(text, static_cast<std::size_t>(o - text));
}

}  // namespace karvo::json
