// The host's text written in one pass against the value tree's: for any bytes, both refuse them or
// both write the same text (whole or in pieces), and the root object's "id" found in one pass is the
// tree's.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json.h"
#include "json_canonical.h"

namespace json = karvo::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<json::Value> tree = json::parse(text);

  std::string body(text), out;
  const bool written = json::canonicalise(body, out);
  KARVO_FUZZ_CHECK(written == tree.has_value());
  if (tree) KARVO_FUZZ_CHECK(out == json::serialise(*tree));

  // The same text fed in pieces as a frame arrives, their sizes taken from the text itself; one writer
  // for every input, as one serves every message of a connection.
  static json::Canonicaliser writer;
  writer.start(out, size);
  for (std::size_t at = 0, k = 0; at < size; ++k) {
    const std::size_t piece = 1 + static_cast<std::size_t>(data[k % size]) % 16;
    writer.write(text.substr(at, piece));
    at += piece;
  }
  body = text;
  KARVO_FUZZ_CHECK(writer.finish(body) == tree.has_value());
  if (tree) KARVO_FUZZ_CHECK(out == json::serialise(*tree));

  const json::Value* id = tree ? tree->find("id") : nullptr;
  const std::optional<std::string> found = json::top_level_id(text);
  KARVO_FUZZ_CHECK(found.has_value() == (id != nullptr));
  if (id != nullptr) KARVO_FUZZ_CHECK(*found == json::serialise(*id));
  return 0;
}
