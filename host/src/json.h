// The host's JSON values and its text rules: strict parsing (one value, RFC 8259 grammar, valid UTF-8,
// nesting up to 127 levels, exact numbers) and compact serialisation (keys in byte order, shortest
// round-tripping floats).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace karvo::json {

class Value;
using Array = std::vector<Value>;
// std::less<> on std::string compares like memcmp: ascending byte order of the keys.
using Object = std::map<std::string, Value, std::less<>>;

// Arrays and objects nest at most this deep; the text that opens one more level does not parse.
inline constexpr std::size_t kMaxDepth = 127;

class Value {
 public:
  // A number is an unsigned 64-bit integer, a signed 64-bit integer (negative values only) or a double.
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string,
                               Array, Object>;

  Value() noexcept : v_(nullptr) {}
  Value(std::nullptr_t) noexcept : v_(nullptr) {}
  Value(bool b) noexcept : v_(b) {}
  // Any integer type; non-negative values are held as std::uint64_t, negative ones as std::int64_t,
  // so that Value(std::int64_t{5}) == Value(std::uint64_t{5}) and equals the parsed text 5.
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  Value(T n) noexcept {
    if constexpr (std::is_signed_v<T>) {
      if (n < 0) {
        v_ = static_cast<std::int64_t>(n);
        return;
      }
    }
    v_ = static_cast<std::uint64_t>(n);
  }
  Value(double d) noexcept : v_(d) {}
  Value(std::string s) noexcept : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a) noexcept : v_(std::move(a)) {}
  Value(Object o) noexcept : v_(std::move(o)) {}

  bool is_null() const noexcept { return std::holds_alternative<std::nullptr_t>(v_); }
  bool is_object() const noexcept { return std::holds_alternative<Object>(v_); }

  template <class T> const T* get_if() const noexcept { return std::get_if<T>(&v_); }
  template <class T> T* get_if() noexcept { return std::get_if<T>(&v_); }

  // Object member lookup by exact key; nullptr when this is not an object or has no such key.
  const Value* find(std::string_view key) const noexcept;
  // Inserts or replaces a member; turns a non-object value into an empty object first.
  void insert(std::string key, Value value);

  const Storage& storage() const noexcept { return v_; }
  // Numbers compare by kind and value; -0.0 and 0.0 are different values, as are 1 and 1.0.
  // Doubles compare by bit pattern.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  Storage v_;
};

// One JSON text to a value; nothing when the text breaks any rule. Never throws (running out of
// memory is a failure too).
std::optional<Value> parse(std::string_view text) noexcept;

// Compact text of a value. Appending form for callers that reuse a buffer. A double that is not
// finite (only a hand-built value can hold one) is written as null.
std::string serialise(const Value& value);
void serialise_to(const Value& value, std::string& out);

}  // namespace karvo::json
