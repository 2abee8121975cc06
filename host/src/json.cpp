#include "json.h"
#include "json_number.h"
#include "json_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/system/error_code.hpp>

namespace karvo::json {

static_assert(std::is_nothrow_move_constructible_v<Value>,
              "the parser moves values between vectors and relies on moves that cannot throw");

// ---------------------------------------------------------------------------------------------
// Value

const Value* Value::find(std::string_view key) const noexcept {
  const Object* object = std::get_if<Object>(&v_);
  if (object == nullptr) return nullptr;
  auto it = object->find(key);
  return it == object->end() ? nullptr : &it->second;
}

void Value::insert(std::string key, Value value) {
  Object* object = std::get_if<Object>(&v_);
  if (object == nullptr) object = &v_.emplace<Object>();
  object->insert_or_assign(std::move(key), std::move(value));
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.v_.index() != b.v_.index()) return false;
  const double* x = std::get_if<double>(&a.v_);
  const double* y = std::get_if<double>(&b.v_);
  if (x != nullptr && y != nullptr) {
    return std::bit_cast<std::uint64_t>(*x) == std::bit_cast<std::uint64_t>(*y);
  }
  // Arrays and objects compare their elements with this operator again.
  return a.v_ == b.v_;
}

// ---------------------------------------------------------------------------------------------
// Parsing

namespace {

// Builds the value tree from the parser's events without recursion. Each nesting level has a scratch
// list of the finished elements (and keys) of the container open at that level; the lists keep their
// capacity for the next container at the same level, so that small containers cost one allocation of
// their exact size. A large array takes its scratch list over instead of copying it.
class Builder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  using error_code = boost::system::error_code;
  using string_view = boost::json::string_view;

  Builder() { levels_.reserve(kMaxDepth); }

  std::optional<Value>& result() { return root_; }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code& ec) {
    if (!root_ || depth_ != 0) return fail(ec);
    return true;
  }

  bool on_array_begin(error_code&) { return open(); }
  bool on_object_begin(error_code&) { return open(); }

  bool on_array_end(std::size_t, error_code& ec) {
    if (depth_ == 0) return fail(ec);
    Level& level = levels_[--depth_];
    Array array;
    if (level.values.size() >= kTakeOver) {
      array = std::move(level.values);
      level.values = Array();
    } else {
      array.reserve(level.values.size());
      std::move(level.values.begin(), level.values.end(), std::back_inserter(array));
      level.values.clear();
    }
    return add(std::move(array), ec);
  }

  bool on_object_end(std::size_t, error_code& ec) {
    if (depth_ == 0) return fail(ec);
    Level& level = levels_[--depth_];
    if (level.keys.size() != level.values.size()) return fail(ec);
    Object object;
    for (std::size_t i = 0; i < level.values.size(); ++i) {
      // Keys that arrive in order (as they do in our own output) go in at the end in constant time.
      // An existing key is replaced: the last occurrence wins.
      object.insert_or_assign(object.end(), std::move(level.keys[i]), std::move(level.values[i]));
    }
    level.keys.clear();
    level.values.clear();
    return add(std::move(object), ec);
  }

  bool on_string_part(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }
  bool on_string(string_view s, std::size_t, error_code& ec) { return add(finish_part(s), ec); }
  bool on_key_part(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }
  bool on_key(string_view s, std::size_t, error_code& ec) {
    if (depth_ == 0) return fail(ec);
    levels_[depth_ - 1].keys.push_back(finish_part(s));
    return true;
  }

  bool on_number_part(string_view s, error_code&) {
    number_part_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t, string_view s, error_code& ec) { return number(s, ec); }
  bool on_uint64(std::uint64_t, string_view s, error_code& ec) { return number(s, ec); }
  bool on_double(double, string_view s, error_code& ec) { return number(s, ec); }

  bool on_bool(bool b, error_code& ec) { return add(b, ec); }
  bool on_null(error_code& ec) { return add(nullptr, ec); }
  // Comments are not enabled, so these are never called.
  bool on_comment_part(string_view, error_code& ec) { return fail(ec); }
  bool on_comment(string_view, error_code& ec) { return fail(ec); }

 private:
  // From this many elements on, an array keeps its scratch list (and its spare capacity) rather
  // than being copied out of it.
  static constexpr std::size_t kTakeOver = 1024;

  struct Level {
    std::vector<Value> values;
    std::vector<std::string> keys;
  };

  static bool fail(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  bool open() {
    // The parser stops nesting at kMaxDepth levels; nothing deeper arrives here.
    if (depth_ == levels_.size()) levels_.emplace_back();
    ++depth_;
    return true;
  }

  // Constructs the finished value in place, in the open container's list or as the document.
  template <class T> bool add(T&& v, error_code& ec) {
    if (depth_ == 0) {
      if (root_) return fail(ec);
      root_.emplace(std::forward<T>(v));
      return true;
    }
    levels_[depth_ - 1].values.emplace_back(std::forward<T>(v));
    return true;
  }

  std::string finish_part(string_view last) {
    if (part_.empty()) return std::string(last.data(), last.size());
    part_.append(last.data(), last.size());
    std::string whole = std::move(part_);
    part_.clear();
    return whole;
  }

  bool number(string_view last, error_code& ec) {
    std::string_view text(last.data(), last.size());
    if (!number_part_.empty()) {
      number_part_.append(text);
      text = number_part_;
    }
    std::optional<Value> v = number_from_text(text);
    number_part_.clear();
    if (!v) {
      ec = boost::json::error::token_overflow;
      return false;
    }
    return add(std::move(*v), ec);
  }

  std::vector<Level> levels_;
  std::size_t depth_ = 0;  // containers open now
  std::optional<Value> root_;
  std::string part_;
  std::string number_part_;
};

}  // namespace

namespace {

// One pass of the parser over `text`. `exponent_overflow` tells whether it gave up on an exponent
// too long for it.
std::optional<Value> parse_once(std::string_view text, bool& exponent_overflow) {
  boost::json::parse_options options;
  // Boost.JSON counts like we do: max_depth levels parse, one more fails.
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<Builder> parser(options);
  boost::system::error_code ec;
  static constexpr char kEmpty[1] = {};
  const char* data = text.empty() ? kEmpty : text.data();
  const std::size_t used = parser.write_some(false, data, text.size(), ec);
  exponent_overflow = ec == boost::json::error::exponent_overflow;
  // Whatever follows the value (after its white space) is left unread: such a text does not parse.
  if (ec || !parser.done() || used != text.size()) return std::nullopt;
  return std::move(parser.handler().result());
}

}  // namespace

namespace detail {

// The parser refuses exponents beyond the range of int, although such a number only underflows to
// zero (or overflows, which is an error anyway). This copies `text` with every exponent of more than
// nine significant digits (outside strings) replaced by 999999999, which gives the same outcome; false
// when there is none.
bool clamp_exponents(std::string_view text, std::string& out) {
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  out.clear();
  out.reserve(text.size());
  bool in_string = false, escaped = false, changed = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i++];
    out.push_back(c);
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if ((c == 'e' || c == 'E') && i >= 2 && is_digit(text[i - 2])) {
      if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.push_back(text[i++]);
      const std::size_t start = i;
      while (i < text.size() && text[i] == '0') ++i;
      const std::size_t significant = i;
      while (i < text.size() && is_digit(text[i])) ++i;
      if (i - significant > 9) {
        out.append("999999999");
        changed = true;
      } else {
        out.append(text.substr(start, i - start));
      }
    }
  }
  return changed;
}

}  // namespace detail

std::optional<Value> parse(std::string_view text) noexcept {
  try {
    bool exponent_overflow = false;
    std::optional<Value> value = parse_once(text, exponent_overflow);
    if (!value && exponent_overflow) {
      std::string clamped;
      if (detail::clamp_exponents(text, clamped)) value = parse_once(clamped, exponent_overflow);
    }
    return value;
  } catch (...) {
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------------------------
// Serialising

namespace {

constexpr std::array<char, 256> make_escape_table() {
  // 0: written as is; 'u': \u00xx; anything else: a backslash and that character.
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

// The high bit of each of the word's bytes that is a control byte, '"' or '\\', and perhaps of some
// bytes more significant than such a byte: a borrow runs only that way. So whether there is one is
// exact, and so is the least significant bit set.
constexpr std::uint64_t bytes_needing_escape(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  const auto has_byte_below = [](std::uint64_t w, std::uint64_t n) {
    return (w - kOnes * n) & ~w & kHighBits;
  };
  const std::uint64_t quote = word ^ (kOnes * '"');
  const std::uint64_t backslash = word ^ (kOnes * '\\');
  return has_byte_below(word, 0x20) | has_byte_below(quote, 1) | has_byte_below(backslash, 1);
}
static_assert(bytes_needing_escape(0x2121212121212121u) == 0 && bytes_needing_escape(0xFF80E27F20212321u) == 0);
static_assert(std::countr_zero(bytes_needing_escape(0x2121212121212122u)) / 8 == 0);
static_assert(std::countr_zero(bytes_needing_escape(0x5C21212121212121u)) / 8 == 7);
static_assert(std::countr_zero(bytes_needing_escape(0x211F212121212121u)) / 8 == 6);
// The borrow from the control byte 0x01 marks the '"' above it too, but the least significant mark is
// still the control byte's.
static_assert(bytes_needing_escape(0x2121212121220121u) == 0x0000000000808000u);
static_assert(std::countr_zero(bytes_needing_escape(0x2121212121220121u)) / 8 == 1);

}  // namespace

namespace detail {

namespace {

// One byte of a string's text.
char* put_escaped_byte(unsigned char c, char* out) noexcept {
  const char e = kEscape[c];
  if (e == 0) {
    *out = static_cast<char>(c);
    return out + 1;
  }
  if (e == 'u') {
    static constexpr char kHex[] = "0123456789abcdef";
    const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    std::memcpy(out, escaped, sizeof escaped);
    return out + sizeof escaped;
  }
  out[0] = '\\';
  out[1] = e;
  return out + 2;
}

}  // namespace

char* write_escaped(std::string_view s, char* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* const end = p + s.size();
  // Eight bytes at a time. A word is copied whole, but the output moves on only past its bytes before
  // the first that needs an escape (all eight when none does); that one is written escaped, and the next
  // word begins right after it. The room for the worst case of the bytes left always holds a whole word.
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    std::memcpy(out, &word, sizeof word);
    const std::uint64_t mask = bytes_needing_escape(word);
    if (mask == 0) {
      out += 8;
      p += 8;
      continue;
    }
    if constexpr (std::endian::native == std::endian::little) {
      // The first byte in memory is the least significant.
      const int plain = std::countr_zero(mask) / 8;
      out = put_escaped_byte(p[plain], out + plain);
      p += plain + 1;
    } else {
      for (const unsigned char* const stop = p + 8; p != stop; ++p) out = put_escaped_byte(*p, out);
    }
  }
  for (; p != end; ++p) out = put_escaped_byte(*p, out);
  return out;
}

void write_escaped(std::string_view s, std::string& out) {
  // Make room for a long string at once (with some to spare for escapes and what follows) rather
  // than through a series of doublings; growth stays geometric whatever the library's reserve does.
  const std::size_t need = out.size() + s.size() + 2;
  if (need > out.capacity()) out.reserve(std::max(need + need / 8, 2 * out.capacity()));
  // Piece by piece through a buffer with room for a piece's worst case.
  constexpr std::size_t kPiece = 1024;
  char escaped[kPiece * kMaxEscapedLength];
  while (!s.empty()) {
    const std::string_view piece = s.substr(0, kPiece);
    out.append(escaped, static_cast<std::size_t>(write_escaped(piece, escaped) - escaped));
    s.remove_prefix(piece.size());
  }
}

void write_string(std::string_view s, std::string& out) {
  out.push_back('"');
  write_escaped(s, out);
  out.push_back('"');
}

}  // namespace detail

namespace {

using detail::write_string;

template <class Int> void write_integer(Int n, std::string& out) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

void write_value(const Value& value, std::string& out) {
  const Value::Storage& v = value.storage();
  switch (v.index()) {
    case 0:
      out.append("null");
      return;
    case 1:
      out.append(*std::get_if<bool>(&v) ? "true" : "false");
      return;
    case 2:
      write_integer(*std::get_if<std::uint64_t>(&v), out);
      return;
    case 3:
      write_integer(*std::get_if<std::int64_t>(&v), out);
      return;
    case 4:
      write_double(*std::get_if<double>(&v), out);
      return;
    case 5:
      write_string(*std::get_if<std::string>(&v), out);
      return;
    case 6: {
      const Array& array = *std::get_if<Array>(&v);
      out.push_back('[');
      bool first = true;
      for (const Value& element : array) {
        if (!first) out.push_back(',');
        first = false;
        write_value(element, out);
      }
      out.push_back(']');
      return;
    }
    case 7: {
      const Object& object = *std::get_if<Object>(&v);
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : object) {
        if (!first) out.push_back(',');
        first = false;
        write_string(key, out);
        out.push_back(':');
        write_value(member, out);
      }
      out.push_back('}');
      return;
    }
    default:  // valueless after a failed assignment: nothing sensible to write
      out.append("null");
      return;
  }
}

// An upper bound of the text's length (numbers at their longest, strings without escapes), so that
// the output grows once rather than doubling its way up through fresh memory.
std::size_t estimate(const Value& value) noexcept {
  const Value::Storage& v = value.storage();
  if (const std::string* s = std::get_if<std::string>(&v)) return s->size() + 2;
  if (const Array* array = std::get_if<Array>(&v)) {
    std::size_t n = 2 + array->size();
    for (const Value& element : *array) n += estimate(element);
    return n;
  }
  if (const Object* object = std::get_if<Object>(&v)) {
    std::size_t n = 2 + object->size();
    for (const auto& [key, member] : *object) n += key.size() + 3 + estimate(member);
    return n;
  }
  return 24;
}

}  // namespace

void serialise_to(const Value& value, std::string& out) {
  const std::size_t need = out.size() + estimate(value);
  if (need > out.capacity()) out.reserve(std::max(need, 2 * out.capacity()));
  write_value(value, out);
}

std::string serialise(const Value& value) {
  std::string out;
  serialise_to(value, out);
  return out;
}

}  // namespace karvo::json
