#include "json_number.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::json::number_detail {
namespace {

std::string text_of(const Decimal& d) {
  return std::string(d.negative ? "-" : "") + std::string(d.digits, static_cast<std::size_t>(d.count)) + "e" +
         std::to_string(d.exponent);
}

// Where the C++ library has std::to_chars for double, the C library's way must give the same digits for
// every double (it is the one that macOS builds before 13.3 use); everywhere, its digits must read back.
void expect_printf_way_agrees(double d) {
  const Decimal printf_way = shortest_decimal_printf(d);
  const Decimal chosen = shortest_decimal(d);
  ASSERT_EQ(text_of(printf_way), text_of(chosen)) << "bits " << std::bit_cast<std::uint64_t>(d);
  ASSERT_TRUE(printf_way.count == 1 || printf_way.digits[printf_way.count - 1] != '0') << text_of(printf_way);
  std::string written;
  write_double(d, written);
  const std::optional<Value> back = number_from_text(written);
  const double* parsed = back ? back->get_if<double>() : nullptr;
  ASSERT_NE(parsed, nullptr) << written;
  ASSERT_EQ(std::bit_cast<std::uint64_t>(*parsed), std::bit_cast<std::uint64_t>(d)) << written;
}

TEST(JsonNumber, PrintfShortestDigitsMatchToCharsAtTheEdges) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                0.1,
                                0.3,
                                0.1 + 0.2,
                                1e15,
                                1e16,
                                1e21,
                                1e22,
                                1e23,
                                5e-324,
                                9007199254740993.0,
                                18446744073709551616.0,
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::epsilon()};
  // Every power of two (where the spacing of doubles halves below, so the range that reads back is
  // lopsided) and its neighbours; every power of ten and its neighbours.
  for (int e = -1074; e <= 1023; ++e) values.push_back(std::ldexp(1.0, e));
  for (int e = -323; e <= 308; ++e) values.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
  const std::size_t plain = values.size();
  for (std::size_t i = 0; i < plain; ++i) {
    values.push_back(std::nextafter(values[i], 0.0));
    values.push_back(std::nextafter(values[i], std::numeric_limits<double>::infinity()));
  }
  for (const double d : values) {
    if (!std::isfinite(d)) continue;
    expect_printf_way_agrees(d);
    expect_printf_way_agrees(-d);
  }
}

TEST(JsonNumber, PrintfShortestDigitsMatchToCharsForRandomDoubles) {
  std::mt19937_64 random(20261208);
  std::uniform_int_distribution<int> decade(-30, 30);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 100'000; ++i) {
    // Half arbitrary bit patterns (every exponent), half everyday magnitudes.
    const double d =
        i % 2 == 0 ? std::bit_cast<double>(random()) : unit(random) * std::pow(10.0, decade(random));
    if (std::isfinite(d)) expect_printf_way_agrees(d);
  }
}

// Copying a number's text through is right only where write_double would give back that very text.
TEST(JsonNumber, TextsThatAreTheirOwnShortestTextAreWrittenBackUnchanged) {
  const auto written = [](std::string_view text) {
    const std::optional<Value> value = number_from_text(text);
    const double* d = value ? value->get_if<double>() : nullptr;
    std::string out;
    if (d != nullptr) write_double(*d, out);
    return out;
  };
  const struct {
    std::string_view text;
    bool own;
  } cases[] = {
      {"1.5", true},
      {"-1.5", true},
      {"0.0", true},
      {"-0.0", true},
      {"1.0", true},
      {"100.0", true},
      {"123456789012345.0", true},
      {"1234567890123456.0", false},  // 16 digits
      {"12345678901234.5", true},
      {"123456789012345.6", false},
      {"0.123456789012345", true},
      {"0.1234567890123456", false},
      {"0.00001", true},
      {"0.000012345678901234", true},  // 14 digits after four zeros
      {"0.000001", false},             // five zeros: 1e-6
      {"0.50", false},
      {"1.10", false},
      {"1.00", false},
      {"1e2", false},
      {"1.5e2", false},
      {"1.5E-2", false},
      {"15", false},  // integers are the parser's to judge
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_shortest_text(c.text), c.own) << c.text;
    if (c.own) {
      EXPECT_EQ(written(c.text), c.text);
    }
  }
  // Random decimals of 1 to 17 digits with the point anywhere: every one that claims to be its own text
  // is.
  std::mt19937_64 random(2026120822);
  int own = 0;
  for (int i = 0; i < 200'000; ++i) {
    const int digits = static_cast<int>(random() % 17) + 1;
    std::string text = random() % 2 == 0 ? "-" : "";
    std::string all;
    for (int k = 0; k < digits; ++k) all += static_cast<char>('0' + random() % 10);
    const std::size_t point = random() % static_cast<std::uint64_t>(digits);  // digits before the point
    std::string integer = all.substr(0, point), fraction = all.substr(point);
    integer.erase(0, std::min(integer.find_first_not_of('0'), integer.size()));
    text += (integer.empty() ? "0" : integer) + "." + (random() % 4 == 0 ? "0000" + fraction : fraction);
    if (!is_shortest_text(text)) continue;
    ++own;
    ASSERT_EQ(written(text), text);
  }
  EXPECT_GT(own, 50'000);
}

}  // namespace
}  // namespace karvo::json::number_detail
