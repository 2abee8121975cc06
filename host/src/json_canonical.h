// The host's JSON text written in one pass over a message, without building a value tree: the same
// parsing rules and the same output as json::parse followed by json::serialise, in about the memory of
// the text itself.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace karvo::json {

// The one-pass writer fed a text piece by piece as it arrives (a browser message while it is read), so
// that little of the work is left once the last piece is in. Driven as start, write for each piece in
// order, then finish; the memory that it keeps serves every text after the first. Never throws.
class Canonicaliser {
 public:
  Canonicaliser() noexcept;
  ~Canonicaliser();
  Canonicaliser(const Canonicaliser&) = delete;
  Canonicaliser& operator=(const Canonicaliser&) = delete;

  // Begins a text of `size` bytes, whose host text goes into `out` (its content replaced, its capacity
  // reused). `out` must not be touched until finish has returned.
  void start(std::string& out, std::size_t size) noexcept;
  // The next piece of the text.
  void write(std::string_view piece) noexcept;
  // Ends the text. `text` holds all of it, the pieces in order, and lends its memory as scratch: its
  // content is lost. True when the text parsed, with `out` holding exactly what canonicalise writes;
  // false otherwise, with `out` holding no meaningful content.
  bool finish(std::string& text) noexcept;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

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
