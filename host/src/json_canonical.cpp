#include "json_canonical.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>
#include <boost/system/error_code.hpp>

#include "json.h"
#include "json_number.h"
#include "json_text.h"
#include "large_pages.h"

namespace karvo::json {
namespace {

// The writer's output: written through a pointer into the string's own memory. The string's size runs a
// little ahead of what has been written (each step of it is zero-filled once) and is cut back to what was
// written by finish().
class Sink {
 public:
  explicit Sink(std::string& s) : s_(s) {
    s_.clear();
    begin_ = p_ = end_ = s_.data();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  std::size_t size() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
  const char* data() const noexcept { return begin_; }

  void put(char c) {
    if (p_ == end_) grow(1);
    *p_++ = c;
  }
  void put(const char* data, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    std::memcpy(p_, data, n);
    p_ += n;
  }
  void put(std::string_view text) { put(text.data(), text.size()); }
  // The last byte written; there must be one.
  char& back() noexcept { return p_[-1]; }
  // Where the next byte goes, and how many fit before the size must grow.
  char* next() const noexcept { return p_; }
  std::size_t free() const noexcept { return static_cast<std::size_t>(end_ - p_); }
  // Room for `n` bytes at the returned pointer; the caller says with advance() where its writing ended.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
    return p_;
  }
  void advance(char* to) noexcept { p_ = to; }
  // Drops what was written from `size` on.
  void truncate(std::size_t size) noexcept { p_ = begin_ + size; }

  void finish() { s_.resize(size()); }

 private:
  // The size runs ahead by as much as has been written, up to this: growing stays rare, a small text
  // zero-fills little, and a large one adds no memory worth counting.
  static constexpr std::size_t kMaxStep = 256 * 1024;

  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = size();
    const std::size_t want = used + n + std::clamp<std::size_t>(used, 64, kMaxStep);
    s_.resize(used);
    // Within its capacity the string only zero-fills the new part; beyond it, it grows geometrically.
    if (want > s_.capacity()) s_.reserve(std::max(want, s_.capacity() + s_.capacity() / 2));
    s_.resize(want);
    begin_ = s_.data();
    p_ = begin_ + used;
    end_ = begin_ + want;
  }

  std::string& s_;
  char* begin_;
  char* p_;
  char* end_;
};

// Bytes kept as a stack: appended to at the end and cut back, in memory kept from use to use.
class ByteStack {
 public:
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  void append(const char* p, std::size_t n) {
    if (n == 0) return;  // an empty key, perhaps before any memory
    if (capacity_ - size_ < n) grow(n);
    std::memcpy(data_.get() + size_, p, n);
    size_ += n;
  }
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Empties the stack, and gives its memory back when that is more than `keep` bytes.
  void trim(std::size_t keep) noexcept {
    size_ = 0;
    if (capacity_ > keep) {
      data_.reset();
      capacity_ = 0;
    }
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t capacity = std::max({size_ + n, 2 * capacity_, std::size_t{256}});
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ != 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// What the writer keeps from text to text, so that a message allocates nothing once the first few have
// been written: one stack each for the members and the keys of the objects that are open (an object's
// own lie on top of its parent's, and are taken off when it closes), and room for putting them in order.
struct WriterMemory {
  struct Member {
    std::size_t key_end;     // in keys, where the previous member's key ends this one's begins
    std::size_t text_begin;  // in the output: the key's opening quotation mark
  };
  // An open container.
  struct Level {
    bool writing;   // its text goes to the output
    bool in_order;  // each key so far greater than the one before it
    std::size_t members_begin;  // where its members begin in members
    std::size_t keys_begin;     // where its keys begin in keys
  };

  std::vector<Member> members;
  ByteStack keys;
  std::string scratch;      // an object's members while they are put in order
  std::vector<std::size_t> order;

  void clear() noexcept {
    members.clear();
    keys.truncate(0);
  }
  // Gives back what a large text made these grow to, so that it is not kept for the small ones after it.
  void trim() noexcept {
    constexpr std::size_t kKeep = 64 * 1024;
    if (members.capacity() * sizeof(Member) > kKeep) std::vector<Member>().swap(members);
    if (order.capacity() * sizeof(std::size_t) > kKeep) std::vector<std::size_t>().swap(order);
    keys.trim(kKeep);
    if (scratch.capacity() > kKeep) std::string().swap(scratch);
  }
};

// Takes the parser's events and writes the host's text as they come. Arrays and scalars go straight to
// the output. An object's members are written there too, each as `"key":value`, in the order in which
// they arrive; the object remembers where each begins and its key, and when it closes with its keys out
// of order (or repeated) it puts the members in key order, the last of a repeated key only.
//
// Every value is written with a comma after it, so that writing one needs to know nothing of what holds
// it. A container that closes turns the comma after its last element into its closing bracket (an empty
// one has none: there the bracket follows the opening one), and the comma after the root value is cut
// off once the parse is over.
//
// In `top_level_id` mode nothing is written but the value of the root object's member "id": the output
// holds that value's text alone, and a later "id" replaces an earlier one.
class CanonicalWriter {
 public:
  enum class Mode { whole, top_level_id };

  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  using error_code = boost::system::error_code;
  using string_view = boost::json::string_view;

  CanonicalWriter(Mode mode, std::string& out, WriterMemory& memory, bool defer_root)
      : mode_(mode), out_(out), m_(memory), defer_root_(defer_root) {
    m_.clear();
  }

  // Cuts the output back to what has been written, without the comma after the root value, once the
  // parse is over.
  void finish_output() {
    if (mode_ == Mode::whole) out_.truncate(out_.size() - 1);
    out_.finish();
  }

  // Whole mode: writes the root object's members in order when that was left until the parse was over
  // (see close_object); `scratch` is memory that the caller no longer needs.
  void finish_root(std::string& scratch) {
    if (!root_pending_) return;
    root_pending_ = false;
    put_in_key_order(levels_[0], scratch);
    close('}');
  }
  // Top-level "id" mode: whether the output holds an "id".
  bool found_id() const noexcept { return found_id_; }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_array_begin(error_code& ec) { return open(false, ec); }
  bool on_object_begin(error_code& ec) { return open(true, ec); }
  bool on_array_end(std::size_t, error_code&) {
    if (levels_[--depth_].writing) close(']');
    value_done();
    return true;
  }
  bool on_object_end(std::size_t, error_code&) {
    WriterMemory::Level& level = levels_[--depth_];
    if (level.writing) close_object(level);
    value_done();
    return true;
  }

  bool on_key_part(string_view s, std::size_t, error_code&) {
    key_piece(s);
    return true;
  }
  bool on_key(string_view s, std::size_t, error_code&) {
    if (mode_ == Mode::whole && !key_open_ && s.size() <= kPiece) {
      // A key that came whole: its text and the colon in one go.
      member_begin_ = out_.size();
      char* o = out_.room(s.size() * detail::kMaxEscapedLength + 3);
      *o++ = '"';
      o = detail::write_escaped(std::string_view(s.data(), s.size()), o);
      *o++ = '"';
      *o++ = ':';
      out_.advance(o);
      m_.keys.append(s.data(), s.size());
      member_added(levels_[depth_ - 1]);
      return true;
    }
    key_piece(s);
    key_done();
    return true;
  }

  bool on_string_part(string_view s, std::size_t, error_code&) {
    string_piece(s);
    return true;
  }
  bool on_string(string_view s, std::size_t, error_code&) {
    if (mode_ == Mode::whole && !string_open_ && s.size() <= kPiece) {
      // A string that came whole: its text in one go.
      char* o = out_.room(s.size() * detail::kMaxEscapedLength + 3);
      *o++ = '"';
      o = detail::write_escaped(std::string_view(s.data(), s.size()), o);
      *o++ = '"';
      *o++ = ',';
      out_.advance(o);
      return true;
    }
    string_piece(s);
    if (writing()) out_.put("\",");
    string_open_ = false;
    value_done();
    return true;
  }

  bool on_number_part(string_view s, error_code&) {
    number_part_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t, string_view s, error_code& ec) { return number(s, true, ec); }
  bool on_uint64(std::uint64_t, string_view s, error_code& ec) { return number(s, true, ec); }
  bool on_double(double, string_view s, error_code& ec) { return number(s, false, ec); }

  bool on_bool(bool b, error_code&) {
    literal(b ? "true" : "false");
    return true;
  }
  bool on_null(error_code&) {
    literal("null");
    return true;
  }
  // Comments are not enabled, so these are never called.
  bool on_comment_part(string_view, error_code& ec) { return fail(ec); }
  bool on_comment(string_view, error_code& ec) { return fail(ec); }

 private:
  // Strings are escaped in pieces of at most this many bytes, each into room for its worst case.
  static constexpr std::size_t kPiece = 64 * 1024;

  static bool fail(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  bool writing() const noexcept { return mode_ == Mode::whole || capturing_; }

  // Called as each value begins, before it writes anything: the root object's "id" starts the capture.
  void value_begins() {
    if (mode_ == Mode::top_level_id && depth_ == 1 && id_next_) {
      id_next_ = false;
      capturing_ = true;
      out_.truncate(0);  // a later "id" wins
    }
  }
  // Called as each value ends, after it has written everything: the captured "id" is kept without the
  // comma after it.
  void value_done() {
    if (capturing_ && depth_ == 1) {
      capturing_ = false;
      found_id_ = true;
      out_.truncate(out_.size() - 1);
    }
  }

  // Ends the text of a container that writes its text, and puts the comma after it.
  void close(char bracket) {
    char& last = out_.back();
    if (last == ',') {
      last = bracket;
    } else {
      out_.put(bracket);  // right after the opening bracket
    }
    out_.put(',');
  }

  bool open(bool object, error_code& ec) {
    // The parser stops nesting at kMaxDepth levels; this only keeps that promise checked.
    if (depth_ == kMaxDepth) return fail(ec);
    value_begins();
    const bool w = writing();
    if (w) out_.put(object ? '{' : '[');
    levels_[depth_++] = {w, true, m_.members.size(), m_.keys.size()};
    return true;
  }

  // A string's text without its quotes, escaped, in pieces that each get room for their worst case.
  void put_escaped(std::string_view s) {
    while (!s.empty()) {
      const std::string_view piece = s.substr(0, kPiece);
      out_.advance(detail::write_escaped(piece, out_.room(piece.size() * detail::kMaxEscapedLength)));
      s.remove_prefix(piece.size());
    }
  }

  [[gnu::noinline]] void key_piece(string_view s) {
    WriterMemory::Level& top = levels_[depth_ - 1];
    if (top.writing) {
      if (!key_open_) {
        member_begin_ = out_.size();
        out_.put('"');
        key_open_ = true;
      }
      m_.keys.append(s.data(), s.size());
      put_escaped(std::string_view(s.data(), s.size()));
    } else if (mode_ == Mode::top_level_id && depth_ == 1) {
      // Only whether the key is "id" matters here: no more of it is kept than that takes.
      key_length_ += s.size();
      if (key_length_ <= 2) key_probe_.append(s.data(), s.size());
    }
  }

  void key_done() {
    WriterMemory::Level& top = levels_[depth_ - 1];
    if (top.writing) {
      out_.put("\":");
      key_open_ = false;
      member_added(top);
    } else if (mode_ == Mode::top_level_id && depth_ == 1) {
      id_next_ = key_length_ == 2 && key_probe_ == "id";
      key_length_ = 0;
      key_probe_.clear();
    }
  }

  // Records the member whose key has just been written (it began at member_begin_, and its key ends the
  // keys), and whether the object's keys are still in order.
  void member_added(WriterMemory::Level& top) {
    std::vector<WriterMemory::Member>& members = m_.members;
    const std::size_t n = members.size();
    if (n > top.members_begin) {
      const std::size_t previous_begin = n - top.members_begin >= 2 ? members[n - 2].key_end : top.keys_begin;
      const std::size_t previous_end = members[n - 1].key_end;
      const std::string_view keys = m_.keys.view();
      const std::string_view previous = keys.substr(previous_begin, previous_end - previous_begin);
      if (!(previous < keys.substr(previous_end))) top.in_order = false;
    }
    members.push_back({m_.keys.size(), member_begin_});
  }

  [[gnu::noinline]] void string_piece(string_view s) {
    if (!string_open_) {
      string_open_ = true;
      value_begins();
      if (writing()) out_.put('"');
    }
    if (writing()) put_escaped(std::string_view(s.data(), s.size()));
  }

  [[gnu::noinline]] void literal(std::string_view text) {
    value_begins();
    if (writing()) {
      out_.put(text);
      out_.put(',');
    }
    value_done();
  }

  // A number that the parser reported whole: the text that is its own (see own_text) goes straight to
  // the output, here without the checks that only other modes and other numbers need. Inlined where the
  // parser reports numbers, so that an integer's common path calls nothing; everything else is out of
  // line.
  [[gnu::always_inline]] bool number(string_view last, bool integer, error_code& ec) {
    const std::size_t n = last.size();
    if (mode_ == Mode::whole && number_part_.empty() && own_text({last.data(), n}, integer) && out_.free() > n) {
      char* o = out_.next();
      for (std::size_t i = 0; i < n; ++i) o[i] = last[i];
      o[n] = ',';
      out_.advance(o + n + 1);
      return true;
    }
    return any_number(last, integer, ec);
  }

  // An integer (the parser's int64 and uint64 events come only for text without fraction and exponent)
  // of up to 18 digits is its own text, since the grammar allows no leading zero and no plus sign; all but
  // "-0", which is the double negative zero. Of the other numbers, the plain decimals that
  // is_shortest_text vouches for are too.
  static bool own_text(std::string_view text, bool integer) noexcept {
    return integer ? text.size() <= 18 && !(text.size() == 2 && text[0] == '-' && text[1] == '0')
                   : is_shortest_text(text);
  }

  // Kept out of line, so that number's common path stays short.
  [[gnu::noinline]] bool any_number(string_view last, bool integer, error_code& ec) {
    std::string_view text(last.data(), last.size());
    if (!number_part_.empty()) {
      number_part_.append(text);
      text = number_part_;
    }
    value_begins();
    if (own_text(text, integer)) {
      if (writing()) {
        out_.put(text);
        out_.put(',');
      }
    } else {
      const std::optional<Value> value = number_from_text(text);
      if (!value) {
        ec = boost::json::error::token_overflow;
        return false;
      }
      if (writing()) {
        number_text_.clear();
        serialise_to(*value, number_text_);
        out_.put(number_text_);
        out_.put(',');
      }
    }
    number_part_.clear();
    value_done();
    return true;
  }

  // Ends an object that writes its text (depth_ already counts it closed), then takes its members and
  // keys off the stacks.
  void close_object(const WriterMemory::Level& level) {
    if (level.in_order) {
      close('}');
    } else if (depth_ == 0 && defer_root_) {
      // The root object is put in order once the parse is over, in memory that the caller lends then (the
      // text that has been read), rather than in a second copy of the whole message.
      root_pending_ = true;
      return;
    } else {
      put_in_key_order(level, m_.scratch);
      close('}');
    }
    m_.members.resize(level.members_begin);
    m_.keys.truncate(level.keys_begin);
  }

  // Rewrites the level's members, which end the output (each with the comma after it), in ascending
  // byte order of their keys; of a repeated key only the last member stays.
  void put_in_key_order(const WriterMemory::Level& level, std::string& scratch) {
    const std::size_t first_member = level.members_begin;
    const std::size_t count = m_.members.size() - first_member;
    const WriterMemory::Member* members = m_.members.data() + first_member;
    const std::string_view keys = m_.keys.view();
    const auto key = [&](std::size_t i) {
      const std::size_t begin = i == 0 ? level.keys_begin : members[i - 1].key_end;
      return keys.substr(begin, members[i].key_end - begin);
    };
    std::vector<std::size_t>& order = m_.order;
    order.resize(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    // Stable, so that of equal keys the last one is the last of its run.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });

    const std::size_t base = members[0].text_begin;
    const std::size_t end = out_.size();
    scratch.assign(out_.data() + base, end - base);
    out_.truncate(base);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = order[k];
      if (k + 1 < count && key(order[k + 1]) == key(i)) continue;
      const std::size_t text_end = i + 1 < count ? members[i + 1].text_begin : end;
      out_.put(scratch.data() + (members[i].text_begin - base), text_end - members[i].text_begin);
    }
  }

  const Mode mode_;
  Sink out_;
  WriterMemory& m_;
  const bool defer_root_;
  WriterMemory::Level levels_[kMaxDepth];  // the containers open now, outermost first
  std::size_t depth_ = 0;                  // how many
  bool string_open_ = false;
  bool key_open_ = false;
  std::size_t member_begin_ = 0;
  std::string number_part_;  // a number that has arrived in pieces
  std::string number_text_;  // a number's text when it is not its own
  bool root_pending_ = false;
  // Top-level "id" mode.
  std::size_t key_length_ = 0;
  std::string key_probe_;
  bool id_next_ = false;  // the root object's key just read is "id"
  bool capturing_ = false;
  bool found_id_ = false;
};

using Parser = boost::json::basic_parser<CanonicalWriter>;

boost::json::parse_options parse_options() {
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  return options;
}

struct Pass {
  bool parsed = false;
  bool exponent_overflow = false;  // the parser gave up on an exponent too long for it
  bool found_id = false;
};

// One pass of the parser over `text`, writing into `out`. `root_scratch`, when given, is memory that
// the caller lends once the text has been read.
Pass write_once(std::string_view text, CanonicalWriter::Mode mode, std::string& out, WriterMemory& memory,
                std::string* root_scratch) {
  Parser parser(parse_options(), mode, out, memory, root_scratch != nullptr);
  boost::system::error_code ec;
  static constexpr char kEmpty[1] = {};
  const char* data = text.empty() ? kEmpty : text.data();
  const std::size_t used = parser.write_some(false, data, text.size(), ec);
  Pass pass;
  pass.exponent_overflow = ec == boost::json::error::exponent_overflow;
  // Whatever follows the value (after its white space) is left unread: such a text does not parse.
  if (ec || !parser.done() || used != text.size()) return pass;
  if (root_scratch != nullptr) parser.handler().finish_root(*root_scratch);
  parser.handler().finish_output();
  pass.parsed = true;
  pass.found_id = parser.handler().found_id();
  return pass;
}

// The pass after one in which the parser gave up on an exponent too long for it: over `text` again with
// such exponents clamped. Nothing parsed when there was none to clamp.
Pass write_clamped(std::string_view text, CanonicalWriter::Mode mode, std::string& out, WriterMemory& memory,
                   std::string* root_scratch) {
  std::string clamped;
  if (!detail::clamp_exponents(text, clamped)) return {};
  return write_once(clamped, mode, out, memory, root_scratch);
}

// write_once, and write_clamped when the parser gave up on an exponent.
Pass write(std::string_view text, CanonicalWriter::Mode mode, std::string& out, WriterMemory& memory,
           std::string* root_scratch) {
  const Pass pass = write_once(text, mode, out, memory, root_scratch);
  if (pass.parsed || !pass.exponent_overflow) return pass;
  return write_clamped(text, mode, out, memory, root_scratch);
}

// Room for the host's text of a text of `size` bytes, which is about as long: made at once, without the
// old content copied over into a larger block.
void make_room(std::string& out, std::size_t size) {
  const std::size_t want = size + size / 8 + 16;
  if (out.capacity() < want) {
    std::string().swap(out);
    out.reserve(want);
    advise_large_pages(out.data(), out.capacity());
  }
}

}  // namespace

// The parse of the text that is arriving, and the memory that its writer keeps for the next.
struct Canonicaliser::State {
  WriterMemory memory;
  std::string* out = nullptr;
  std::optional<Parser> parser;
  boost::system::error_code ec;
  bool stopped = false;  // the parser has failed, or found more than one value
};

Canonicaliser::Canonicaliser() noexcept = default;
Canonicaliser::~Canonicaliser() = default;

void Canonicaliser::start(std::string& out, std::size_t size) noexcept {
  try {
    if (!state_) state_ = std::make_unique<State>();
    State& s = *state_;
    s.parser.reset();
    s.out = &out;
    s.ec = {};
    s.stopped = false;
    make_room(out, size);
    s.parser.emplace(parse_options(), CanonicalWriter::Mode::whole, out, s.memory, true);
  } catch (...) {
    if (state_) state_->stopped = true;
  }
}

void Canonicaliser::write(std::string_view piece) noexcept {
  if (!state_ || state_->stopped || !state_->parser || piece.empty()) return;
  State& s = *state_;
  try {
    const std::size_t used = s.parser->write_some(true, piece.data(), piece.size(), s.ec);
    // Short of an error, the parser takes every byte of a piece but those after a complete value.
    if (s.ec || used != piece.size()) s.stopped = true;
  } catch (...) {
    s.stopped = true;
  }
}

bool Canonicaliser::finish(std::string& text) noexcept {
  if (!state_ || !state_->out) return false;
  State& s = *state_;
  try {
    bool parsed = false;
    if (!s.stopped && s.parser) {
      static constexpr char kEmpty[1] = {};
      (void)s.parser->write_some(false, kEmpty, 0, s.ec);
      if (!s.ec && s.parser->done()) {
        s.parser->handler().finish_root(text);
        s.parser->handler().finish_output();
        parsed = true;
      }
    }
    const bool exponent_overflow = s.ec == boost::json::error::exponent_overflow;
    s.parser.reset();
    std::string& out = *std::exchange(s.out, nullptr);
    if (!parsed && exponent_overflow) {
      parsed = write_clamped(text, CanonicalWriter::Mode::whole, out, s.memory, &text).parsed;
    }
    s.memory.trim();
    return parsed;
  } catch (...) {
    s.parser.reset();
    s.out = nullptr;
    s.memory.trim();
    return false;
  }
}

bool canonicalise(std::string& text, std::string& out) noexcept {
  try {
    make_room(out, text.size());
    WriterMemory memory;
    return write(text, CanonicalWriter::Mode::whole, out, memory, &text).parsed;
  } catch (...) {
    return false;
  }
}

std::optional<std::string> top_level_id(std::string_view text) noexcept {
  try {
    std::string id;
    WriterMemory memory;
    const Pass pass = write(text, CanonicalWriter::Mode::top_level_id, id, memory, nullptr);
    if (!pass.parsed || !pass.found_id) return std::nullopt;
    return id;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace karvo::json
