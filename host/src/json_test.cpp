#include "json.h"
#include "json_canonical.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::json {

// Failure messages show the kind as well as the text: 1 and 1.0 print differently anyway, but 5 held
// as a signed or an unsigned integer would not.
void PrintTo(const Value& v, std::ostream* os) {
  static constexpr const char* kKinds[] = {"null", "bool", "uint64", "int64", "double", "string",
                                           "array", "object"};
  *os << kKinds[v.storage().index()] << ' ' << serialise(v);
}

namespace {

using namespace std::string_view_literals;

std::string nested(std::size_t depth, std::string_view open, std::string_view inner, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += inner;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

// The text that parse + serialise make of `text`, or "<no parse>". The one-pass writer must make the
// same of every text, whole and fed in pieces of a few sizes (as a frame arrives), so each case here
// checks it too; one writer serves every text, as it serves every message of a connection.
std::string rewrite(std::string_view text) {
  std::optional<Value> v = parse(text);
  const std::string tree = v ? serialise(*v) : "<no parse>";
  std::string body(text), out = "stale";
  EXPECT_EQ(canonicalise(body, out) ? out : "<no parse>", tree) << testing::PrintToString(std::string(text));
  static Canonicaliser writer;
  static constexpr std::size_t kPieces[] = {1, 2, 7};
  for (const std::size_t piece : kPieces) {
    writer.start(out, text.size());
    for (std::size_t at = 0; at < text.size(); at += piece) writer.write(text.substr(at, piece));
    body = text;
    EXPECT_EQ(writer.finish(body) ? out : "<no parse>", tree)
        << "in pieces of " << piece << ": " << testing::PrintToString(std::string(text));
  }
  return tree;
}

TEST(JsonParse, NumbersKeepTheirKindAndExactValue) {
  const double kNextAfterOne = std::nextafter(1.0, 2.0);
  const struct {
    std::string_view text;
    Value expected;
  } cases[] = {
      {"0", std::uint64_t{0}},
      {"10", std::uint64_t{10}},
      {"-1", std::int64_t{-1}},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"9223372036854775808", std::uint64_t{9223372036854775808u}},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      // Integers beyond 64 bits become doubles.
      {"18446744073709551616", 18446744073709551616.0},
      {"-9223372036854775809", -9223372036854775809.0},
      {"100000000000000000000000000000", 1e29},
      // Negative zero has no integer form.
      {"-0", -0.0},
      {"-0.0", -0.0},
      {"-0e3", -0.0},
      // A fraction or an exponent makes a double.
      {"1.0", 1.0},
      {"1e2", 100.0},
      {"1E+2", 100.0},
      {"1e-2", 0.01},
      {"0e999", 0.0},
      {"0.1", 0.1},
      {"1.5e-7", 1.5e-7},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"-1.7976931348623157e308", -std::numeric_limits<double>::max()},
      {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"4.9e-324", std::numeric_limits<double>::denorm_min()},
      {"2.5e-324", std::numeric_limits<double>::denorm_min()},
      // Correct rounding where a quick conversion goes wrong: exact halfway cases round to even.
      {"9007199254740993.0", 9007199254740992.0},
      {"9007199254740993.00000000001", 9007199254740994.0},
      {"1.00000000000000011102230246251565404236316680908203125", 1.0},
      {"1.00000000000000011102230246251565404236316680908203126", kNextAfterOne},
      {"0.30000000000000004", 0.30000000000000004},
      {"7.3177701707893310e+15", 7.3177701707893310e+15},
      // Underflow reads as zero, keeping the sign.
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"123.456e-789", 0.0},
      {"0.00000001e-318", 0.0},
      {"2.4e-324", 0.0},
      // Exponents too long for an int still underflow.
      {"1e-99999999999", 0.0},
      {"-1E-2147483648", -0.0},
      {"-23746237467327689427983E-2749832423479823246327846", -0.0},
      {"0e99999999999", 0.0},
      {"0.0E+123456789012345678901234567890", 0.0},
      {"1.5e-0000000000000000000001", 0.15},
      {"1.5e0000000000000000000001", 15.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Value> v = parse(c.text);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(*v, c.expected);
    // The same inside an array, where the number is not at the end of the text.
    std::optional<Value> in_array = parse("[" + std::string(c.text) + "]");
    ASSERT_TRUE(in_array.has_value());
    EXPECT_EQ(*in_array, Value(Array{c.expected}));
    // The one-pass writer agrees, also when it meets an exponent too long for the parser in a piece.
    EXPECT_EQ(rewrite("[" + std::string(c.text) + "]"), "[" + serialise(c.expected) + "]");
  }
}

TEST(JsonParse, RejectsNumbersBeyondTheDoubleRangeAndOutsideTheGrammar) {
  const std::string huge_integer = "1" + std::string(309, '0');
  for (std::string_view text :
       {"1e400"sv, "-1e400"sv, "1e309"sv, "1e99999999999"sv, "-1E+2147483648"sv,
        "1.7976931348623159e308"sv, "-1.7976931348623159e308"sv,
        std::string_view(huge_integer), "01"sv, "-01"sv, "+1"sv, ".5"sv, "1."sv, "1.e5"sv, "1e"sv,
        "1e+"sv, "-"sv, "0x10"sv, "NaN"sv, "Infinity"sv, "-Infinity"sv, "1_000"sv}) {
    EXPECT_EQ(rewrite(text), "<no parse>") << text;
    EXPECT_EQ(rewrite("[" + std::string(text) + "]"), "<no parse>") << text;
  }
}

TEST(JsonParse, StringsDecodeEscapesAndKeepUtf8) {
  const struct {
    std::string_view text;
    std::string_view expected;
  } cases[] = {
      {R"("")", ""},
      {R"("a\"b\\c\/d")", "a\"b\\c/d"},
      {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
      {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\u0000")", "\0"sv},
      // Raw UTF-8 up to U+10FFFF.
      {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\"",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"\"\x7F\"", "\x7F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::optional<Value> v = parse(c.text);
    ASSERT_TRUE(v.has_value());
    ASSERT_NE(v->get_if<std::string>(), nullptr);
    EXPECT_EQ(*v->get_if<std::string>(), c.expected);
    // Keys follow the same rules.
    std::optional<Value> object = parse("{" + std::string(c.text) + ":0}");
    ASSERT_TRUE(object.has_value());
    EXPECT_NE(object->find(c.expected), nullptr);
  }
}

// Long strings with escapes reach the builder in pieces; they must come out whole.
TEST(JsonParse, LongEscapedStringsAndKeysArriveWhole) {
  std::string text = "\"", expected;
  for (int i = 0; i < 20'000; ++i) {
    text += i % 3 == 0 ? "\\n" : i % 3 == 1 ? "\\u00e9" : "x";
    expected += i % 3 == 0 ? "\n" : i % 3 == 1 ? "\xC3\xA9" : "x";
  }
  text += "\"";
  std::optional<Value> v = parse("{" + text + ":" + text + "}");
  ASSERT_TRUE(v.has_value());
  const Value* member = v->find(expected);
  ASSERT_NE(member, nullptr);
  EXPECT_EQ(*member, Value(expected));
  EXPECT_EQ(rewrite("[" + text + "," + text + "]"), "[" + serialise(expected) + "," + serialise(expected) + "]");
}

TEST(JsonParse, RejectsBadStrings) {
  for (std::string_view body : {
           // Raw control bytes.
           "\0"sv, "\x01"sv, "\x1F"sv, "a\nb"sv, "\t"sv,
           // Lone or broken surrogates.
           R"(\ud800)"sv, R"(\udc00)"sv, R"(\ud800\u0041)"sv, R"(\ud800x)"sv, R"(\ud800\ud800)"sv,
           R"(\ude00\ud83d)"sv,
           // Bad escapes.
           R"(\x41)"sv, R"(\U0041)"sv, R"(\u00G0)"sv, R"(\u00)"sv, R"(\')"sv, R"(\a)"sv,
           // Invalid UTF-8: stray continuation, overlong forms, encoded surrogates, beyond U+10FFFF,
           // bytes never used, truncated sequences.
           "\x80"sv, "\xBF"sv, "\xC0\x80"sv, "\xC1\xBF"sv, "\xE0\x80\x80"sv, "\xE0\x9F\xBF"sv,
           "\xF0\x80\x80\x80"sv, "\xED\xA0\x80"sv, "\xED\xBF\xBF"sv, "\xF4\x90\x80\x80"sv,
           "\xF5\x80\x80\x80"sv, "\xFE"sv, "\xFF"sv, "\xE2\x82"sv, "\xC3"sv, "\xF0\x9F\x98"sv}) {
    std::string text = "\"" + std::string(body) + "\"";
    EXPECT_EQ(rewrite(text), "<no parse>") << testing::PrintToString(text);
    EXPECT_EQ(rewrite("{" + text + ":1}"), "<no parse>") << testing::PrintToString(text);
  }
  EXPECT_EQ(rewrite("'a'"), "<no parse>");
  EXPECT_EQ(rewrite(R"("abc)"), "<no parse>");
}

TEST(JsonParse, AcceptsOnlyJsonWhiteSpaceAroundOneValue) {
  EXPECT_EQ(rewrite(" \t\r\n[1] \t\r\n"), "[1]");
  EXPECT_EQ(rewrite(" { \"a\" : [ 1 , 2 ] , \"b\" : { } }\n"), R"({"a":[1,2],"b":{}})");
  EXPECT_EQ(rewrite("\"x\""), R"("x")");
  EXPECT_EQ(rewrite("null"), "null");
  for (std::string_view text :
       {""sv, " "sv, "\n"sv, "[1]\0"sv, "\0[1]"sv, "1\0"sv, "\"a\"\0"sv, "[1] 2"sv, "[1][2]"sv, "{}{}"sv,
        "1 2"sv, "[1],"sv, "[1]x"sv, "truex"sv, "nul"sv, "[1]\f"sv, "[1]\v"sv, "\f[1]"sv,
        "\xEF\xBB\xBF[1]"sv, "[1]\xEF\xBB\xBF"sv, "[1]\xC2\xA0"sv, "\xC2\xA0[1]"sv, "[1]//"sv,
        "/*c*/[1]"sv, "[1]/**/"sv, "[1,]"sv, "{\"a\":1,}"sv, "[1 2]"sv, "{\"a\" 1}"sv, "{a:1}"sv,
        "[,1]"sv, "[1"sv, "{\"a\":1"sv, "]"sv, "TRUE"sv}) {
    EXPECT_EQ(rewrite(text), "<no parse>") << testing::PrintToString(std::string(text));
  }
  // Only the given length counts, whatever lies behind it in memory.
  EXPECT_EQ(rewrite(std::string_view("12345", 3)), "123");
  EXPECT_EQ(rewrite(std::string_view("[1]x", 3)), "[1]");
  EXPECT_EQ(rewrite(std::string_view("\"ab\"c", 4)), R"("ab")");
  EXPECT_EQ(rewrite(std::string_view("1.5e3", 4)), "<no parse>");
}

TEST(JsonParse, NestsUpTo127Levels) {
  // Each case: the text at exactly 127 levels, and the same with one level more.
  const struct {
    std::string at_limit, beyond;
  } cases[] = {
      {nested(127, "[", "", "]"), nested(128, "[", "", "]")},
      {nested(127, "[", "1", "]"), nested(127, "[", "[1]", "]")},
      {nested(127, "{\"a\":", "1", "}"), nested(128, "{\"a\":", "1", "}")},
      {nested(126, "{\"a\":", "{}", "}"), nested(127, "{\"a\":", "{}", "}")},
      {nested(63, "[{\"k\":", "[]", "}]"), nested(63, "[{\"k\":", "[[]]", "}]")},
      {"[" + nested(63, "{\"k\":[", "", "]}") + "]", "[" + nested(63, "{\"k\":[", "{}", "]}") + "]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.at_limit.substr(0, 12));
    EXPECT_EQ(rewrite(c.at_limit), c.at_limit);
    EXPECT_EQ(rewrite(c.beyond), "<no parse>");
  }
  // Far deeper input fails cleanly.
  EXPECT_EQ(rewrite(std::string(1'000'000, '[')), "<no parse>");
  EXPECT_EQ(rewrite(nested(100'000, "[", "", "]")), "<no parse>");
}

TEST(JsonParse, LargeContainersKeepEveryElementInOrder) {
  // Arrays both below and above the size from which the builder hands over its scratch list, at
  // several levels; an object with many members given in descending key order.
  const auto member = [](int i) { return "\"k" + std::to_string(10000 + i) + "\":" + std::to_string(i); };
  std::string big = "[", small = "[", members = "{", sorted_members;
  for (int i = 0; i < 5000; ++i) big += (i ? "," : "") + std::to_string(i);
  for (int i = 0; i < 1000; ++i) small += (i ? "," : "") + std::to_string(-i - 1);
  for (int i = 2999; i >= 0; --i) members += member(i) + (i ? "," : "");
  for (int i = 0; i < 3000; ++i) sorted_members += (i ? "," : "") + member(i);
  big += "]";
  small += "]";
  members += "}";
  const std::string head =
      "[" + big + ",{\"a\":" + big + ",\"b\":[" + small + "," + big + "]}," + small + ",";
  EXPECT_EQ(rewrite(head + members + "]"), head + "{" + sorted_members + "}]");
  std::optional<Value> v = parse(head + members + "]");
  ASSERT_TRUE(v.has_value());
  const Array& top = *v->get_if<Array>();
  ASSERT_EQ(top.size(), 4u);
  EXPECT_EQ(top[0].get_if<Array>()->size(), 5000u);
  EXPECT_EQ(top[0].get_if<Array>()->back(), Value(4999));
  EXPECT_EQ(top[3].get_if<Object>()->size(), 3000u);
}

TEST(JsonParse, LastDuplicateKeyWins) {
  EXPECT_EQ(rewrite(R"({"a":1,"a":2})"), R"({"a":2})");
  EXPECT_EQ(rewrite(R"({"a":{"x":1},"b":0,"a":[2]})"), R"({"a":[2],"b":0})");
  EXPECT_EQ(rewrite(R"([{"k":1,"j":2,"k":3},{"k":4}])"), R"([{"j":2,"k":3},{"k":4}])");
  EXPECT_EQ(rewrite(R"({"\u0061":1,"a":2})"), R"({"a":2})");
  // Repeats among keys out of order, at several levels, the root's last of all.
  EXPECT_EQ(rewrite(R"({"c":{"z":1,"y":[{"b":0,"a":1,"b":2}],"z":3},"b":1,"a":2,"b":{},"a":[3]})"),
            R"({"a":[3],"b":{},"c":{"y":[{"a":1,"b":2}],"z":3}})");
}

// The "id" of a root object as the host writes it, found without a tree; "<none>" for nothing.
TEST(JsonTopLevelId, TakesTheRootObjectsLastIdAndNothingElse) {
  const struct {
    std::string_view in, id;
  } cases[] = {
      {R"({"id":"r7","result":[1,2]})", R"("r7")"},
      {R"({"x":{"id":1},"id" : { "b":1, "a":[2,null,1e2] },"y":0})", R"({"a":[2,null,100.0],"b":1})"},
      {R"({"id":1,"x":{"id":5},"id":[{"k":2,"j":1,"k":3}],"z":true})", R"([{"j":1,"k":3}])"},
      {R"({"\u0069d":7})", "7"},
      {R"({"id":null})", "null"},
      {R"({"id":"a\"\u0001b"})", R"("a\"\u0001b")"},
      {R"({"id":-0,"i":1,"idd":2,"":3})", "-0.0"},
      {R"({"i":1,"idd":2,"x":{"id":3},"y":[{"id":4}]})", "<none>"},
      {R"([{"id":1}])", "<none>"},
      {R"("id")", "<none>"},
      // A line that does not parse has no "id", wherever it breaks.
      {R"({"id":1,"x":1e99999})", "<none>"},
      {R"({"id":1,"x":[1,]})", "<none>"},
      {R"({"id":1})x)", "<none>"},
      {R"({"id":1e-99999999999,"x":"1e99999999999"})", "0.0"},
      {R"({"id":1,"x":1e99999999999})", "<none>"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> id = top_level_id(c.in);
    EXPECT_EQ(id.value_or("<none>"), c.id) << c.in;
  }
}

TEST(JsonText, RewritesToTheCanonicalForm) {
  const struct {
    std::string_view in, out;
  } cases[] = {
      {R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {"1.0", "1.0"},
      {"10", "10"},
      {"1e2", "100.0"},
      {"-0", "-0.0"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"1E-7", "1e-7"},
      {"0.000010", "0.00001"},
      {"1e-400", "0.0"},
      // Plain decimals at the edges of those that are copied through as their own shortest text: up to
      // 15 significant digits, no trailing zero but a lone ".0", at most four zeros after "0.".
      {"[123456789012345.0,-1234567890123456.0,9007199254740993.0]",
       "[123456789012345.0,-1234567890123456.0,9007199254740992.0]"},
      {"[12345678901234.5,1234567890123.45,999999999999999.9,99999999999999.99]",
       "[12345678901234.5,1234567890123.45,999999999999999.9,99999999999999.98]"},
      {"[0.123456789012345,0.1234567890123456,0.30000000000000004,0.3000000000000000444]",
       "[0.123456789012345,0.1234567890123456,0.30000000000000004,0.30000000000000004]"},
      {"[0.00001,-0.000012345678901234,0.000001,0.0000012,0.50,1.10,100.0,-0.0,0.0,-0.5]",
       "[0.00001,-0.000012345678901234,1e-6,1.2e-6,0.5,1.1,100.0,-0.0,0.0,-0.5]"},
      {"\"\x7F/\"", "\"\x7F/\""},
      {R"("\u0001")", R"("\u0001")"},
      {R"("\u007f\/\u00e9")", "\"\x7F/\xC3\xA9\""},
      {R"(["\ud83d\ude00"])", "[\"\xF0\x9F\x98\x80\"]"},
      {"[ true , false , null , [ ] , { } ]", "[true,false,null,[],{}]"},
      // Only exponents outside strings are numbers.
      {R"(["1e-99999999999",1e-99999999999,"\"2E99999999999",true,-3e-99999999999])",
       R"(["1e-99999999999",0.0,"\"2E99999999999",true,-0.0])"},
      {R"(["1e-99999999999",1e99999999999])", "<no parse>"},
      {R"([1e-99999999999,x])", "<no parse>"},
      // Keys in byte order: shorter prefixes first, upper case before lower, UTF-8 after ASCII.
      {R"({"b":1,"é":2,"a":3,"":4,"B":5,"aa":6,"\u0000":7,"~":8})",
       R"({"":4,"\u0000":7,"B":5,"a":3,"aa":6,"b":1,"~":8,"é":2})"},
  };
  for (const auto& c : cases) EXPECT_EQ(rewrite(c.in), c.out) << c.in;
}

TEST(JsonSerialise, FloatsInShortestForm) {
  const struct {
    double value;
    std::string_view text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {100.0, "100.0"},
      {0.5, "0.5"},
      {0.1, "0.1"},
      {-1.5, "-1.5"},
      {123.456, "123.456"},
      {12345.678, "12345.678"},
      {0.1 + 0.2, "0.30000000000000004"},
      // Positional from 1e-5 ...
      {0.00001, "0.00001"},
      {0.000015, "0.000015"},
      {0.000025, "0.000025"},
      {-0.00001, "-0.00001"},
      // ... up to a leading digit at 1e15.
      {1e15, "1000000000000000.0"},
      {999999999999999.9, "999999999999999.9"},
      {123456789012345.6, "123456789012345.6"},
      {9007199254740992.0, "9007199254740992.0"},
      {9.999999999999998e15, "9999999999999998.0"},
      // Scientific outside that range.
      {0.000001, "1e-6"},
      {9.999999999999999e-6, "9.999999999999999e-6"},
      {1.5e-7, "1.5e-7"},
      {-1.5e-7, "-1.5e-7"},
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {1e21, "1e21"},
      {18446744073709551616.0, "1.8446744073709552e19"},
      {1e100, "1e100"},
      {1e-100, "1e-100"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {-std::numeric_limits<double>::denorm_min(), "-5e-324"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serialise(Value(c.value)), c.text);
    std::optional<Value> back = parse(c.text);
    ASSERT_TRUE(back.has_value()) << c.text;
    EXPECT_EQ(*back, Value(c.value)) << c.text;
  }
  // Only hand-built values can hold these; they are written as null rather than as invalid text.
  EXPECT_EQ(serialise(Value(std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(serialise(Value(-std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(serialise(Value(std::numeric_limits<double>::quiet_NaN())), "null");
}

TEST(JsonSerialise, IntegersInDecimal) {
  EXPECT_EQ(serialise(Value(0)), "0");
  EXPECT_EQ(serialise(Value(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(serialise(Value(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(serialise(Value(std::numeric_limits<std::int64_t>::max())), "9223372036854775807");
  EXPECT_EQ(serialise(Value(-42)), "-42");
}

TEST(JsonSerialise, EscapesOnlyQuoteBackslashAndControlBytes) {
  const struct {
    std::string_view raw, text;
  } cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"\0"sv, R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0B", R"("\u000b")"},
      {"\x1A\x1F", R"("\u001a\u001f")"},
      {"x\x1By", R"("x\u001by")"},
      {"/", R"("/")"},
      {"\x7F", "\"\x7F\""},
      {" ~", R"(" ~")"},
      {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serialise(Value(std::string(c.raw))), c.text) << testing::PrintToString(std::string(c.raw));
    // Keys are written the same way.
    Value object;
    object.insert(std::string(c.raw), nullptr);
    EXPECT_EQ(serialise(object), "{" + std::string(c.text) + ":null}");
  }
}

// Text is scanned several bytes at a time: a byte to escape is found wherever it falls in such a block,
// near the end of the string or alone in a short one, next to bytes that need no escape, and with a
// second one right after it or one further on in the same block.
TEST(JsonSerialise, FindsEveryByteToEscapeWhereverItLies) {
  const struct {
    char byte;
    std::string_view text;
  } specials[] = {{'"', R"(\")"}, {'\\', R"(\\)"}, {'\0', R"(\u0000)"}, {'\n', R"(\n)"}, {'\x1F', R"(\u001f)"},
                  {'\x7F', "\x7F"}, {' ', " "}, {'\x80', "\x80"}, {'\xFF', "\xFF"}};
  const auto text_of = [&](char c) {
    for (const auto& special : specials) {
      if (special.byte == c) return std::string(special.text);
    }
    return std::string(1, c);
  };
  for (std::size_t length = 1; length <= 24; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const auto& special : specials) {
        for (const std::size_t second : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
          std::string raw(length, '!');
          raw[at] = special.byte;
          if (second != 0 && at + second < length) raw[at + second] = '"';
          std::string expected = "\"";
          for (const char c : raw) expected += text_of(c);
          expected += '"';
          ASSERT_EQ(serialise(Value(raw)), expected) << "length " << length << ", at " << at << ", " << second;
        }
      }
    }
  }
}

TEST(JsonSerialise, AppendsToTheGivenBuffer) {
  std::string out = "prefix:";
  serialise_to(Value(Array{Value(1), Value("x"), Value(Object{{"k", Value(true)}})}), out);
  EXPECT_EQ(out, R"(prefix:[1,"x",{"k":true}])");
}

TEST(JsonValue, FindAndInsert) {
  Value v = *parse(R"({"id":"r1","launch":true,"a\u0000b":1})");
  ASSERT_NE(v.find("id"), nullptr);
  EXPECT_EQ(*v.find("id"), Value("r1"));
  EXPECT_EQ(v.find("ID"), nullptr);
  EXPECT_EQ(v.find("a"), nullptr);
  ASSERT_NE(v.find("a\0b"sv), nullptr);

  v.insert("id", Value(7));
  v.insert("error", Value("x"));
  EXPECT_EQ(serialise(v), R"({"a\u0000b":1,"error":"x","id":7,"launch":true})");

  Value not_object = Value(Array{Value(1)});
  EXPECT_EQ(not_object.find("id"), nullptr);
  not_object.insert("k", Value(nullptr));
  EXPECT_EQ(serialise(not_object), R"({"k":null})");
  EXPECT_EQ(Value("s").find(""), nullptr);
}

TEST(JsonValue, CopiesAreDeep) {
  const Value original = *parse(R"({"id":{"n":[1,2]}})");
  Value id = *original.find("id");
  id.insert("n", Value("changed"));
  EXPECT_EQ(serialise(original), R"({"id":{"n":[1,2]}})");
  EXPECT_EQ(serialise(id), R"({"n":"changed"})");
}

TEST(JsonValue, EqualityComparesKindAndValue) {
  EXPECT_EQ(Value(1), Value(std::uint64_t{1}));
  EXPECT_EQ(Value(std::int64_t{5}), *parse("5"));  // non-negative integers are always unsigned
  EXPECT_EQ(Value(-5), *parse("-5"));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(-1), Value(-1.0));
  EXPECT_NE(Value(0.0), Value(-0.0));
  EXPECT_EQ(Value(-0.0), Value(-0.0));
  EXPECT_NE(Value(0), Value(false));
  EXPECT_NE(Value(nullptr), Value(false));
  EXPECT_NE(Value(""), Value(nullptr));
  EXPECT_NE(Value(Array{}), Value(Object{}));
  EXPECT_EQ(*parse(R"({"a":[1,{"b":null}]})"), *parse(R"({ "a" : [ 1 , { "b" : null } ] })"));
  EXPECT_NE(*parse(R"({"a":[1]})"), *parse(R"({"a":[1.0]})"));
  EXPECT_NE(*parse(R"({"a":1})"), *parse(R"({"b":1})"));
  EXPECT_NE(*parse("[1,2]"), *parse("[2,1]"));
  EXPECT_NE(*parse("[1]"), *parse("[1,1]"));
}

// Every finite double's text reads back to the same bits, both the shortest text written here and the
// 17-digit text that other writers produce (where a fast but inexact reader goes wrong).
TEST(JsonRoundTrip, RandomDoublesKeepTheirBits) {
  std::mt19937_64 random(20240521);
  std::uniform_int_distribution<int> decade(-30, 30);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int checked = 0;
  for (int i = 0; i < 200'000; ++i) {
    // Half arbitrary bit patterns (every exponent), half everyday magnitudes.
    const double d =
        i % 2 == 0 ? std::bit_cast<double>(random()) : unit(random) * std::pow(10.0, decade(random));
    if (!std::isfinite(d)) continue;
    const std::string shortest = serialise(Value(d));
    char buf[40];
    const int n = std::snprintf(buf, sizeof buf, "%.16e", d);
    const std::string long_form(buf, static_cast<std::size_t>(n));
    for (const std::string& text : {shortest, long_form}) {
      std::optional<Value> back = parse(text);
      const double* parsed = back ? back->get_if<double>() : nullptr;
      ASSERT_NE(parsed, nullptr) << text;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(*parsed), std::bit_cast<std::uint64_t>(d)) << text;
    }
    ++checked;
  }
  EXPECT_GT(checked, 190'000);
}

TEST(JsonRoundTrip, RandomIntegersKeepTheirValue) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20'000; ++i) {
    const std::uint64_t u = random() >> (i % 64);
    ASSERT_EQ(parse(serialise(Value(u))), Value(u));
    const std::int64_t n = -static_cast<std::int64_t>(u >> 1) - 1;
    ASSERT_EQ(parse(serialise(Value(n))), Value(n));
  }
}

}  // namespace
}  // namespace karvo::json
