// The host's JSON values and its text rules: strict parsing (one value, RFC 8259 grammar, valid UTF-8,
// nesting up to 127 levels, exact numbers) and compact serialisation (keys in byte order, shortest
// round-tripping floats).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace karvo::json {

class Value;
using Array = std::vector<Value>;
// std::less<> on std::string compares like memcmp: ascending byte order of the keys.
using Object = std::map<std::string, Value, std::less<>>;

class Value {
 public:
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string,
                               Array, Object>;

  Value() noexcept : v_(nullptr) {}
  Value(std::nullptr_t) noexcept : v_(nullptr) {}
  Value(bool b) noexcept : v_(b) {}
  Value(std::uint64_t u) noexcept : v_(u) {}
  Value(std::int64_t i) noexcept : v_(i) {}
  Value(double d) noexcept : v_(d) {}
  Value(std::string s) noexcept : v_(std::move(s)) {}
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
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  Storage v_;
};

// One JSON text to a value; nothing when the text breaks any rule. Never throws.
std::optional<Value> parse(std::string_view text) noexcept;

// Compact text of a value. Appending form for callers that reuse a buffer.
std::string serialise(const Value& value);
void serialise_to(const Value& value, std::string& out);

}  // namespace karvo::json
