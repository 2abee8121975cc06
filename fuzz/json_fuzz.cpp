// The host's JSON text rules on arbitrary bytes: parsing never fails hard, agrees with a second reader,
// and every parsed value survives serialising: its text parses back to an equal value and serialising
// that gives the same bytes again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json.h"
#include "reference_json.h"
#include "utf8.h"

using karvo::fuzz::outside_common_rules;
using karvo::fuzz::reference_parse;
using karvo::fuzz::same_value;
namespace json = karvo::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<json::Value> value = json::parse(text);

  const std::optional<karvo::fuzz::Reference> reference = reference_parse(text);
  if (!outside_common_rules(text)) {
    KARVO_FUZZ_CHECK(value.has_value() == reference.has_value());
    if (value) KARVO_FUZZ_CHECK(same_value(*value, *reference));
  } else {
    KARVO_FUZZ_CHECK(!value);
  }
  if (!value) return 0;
  KARVO_FUZZ_CHECK(karvo::is_valid_utf8(text));

  // Compact text: no white space between tokens and every control byte in strings escaped, so no byte
  // below 0x20 at all.
  const std::string first = json::serialise(*value);
  for (const char c : first) KARVO_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  KARVO_FUZZ_CHECK(karvo::is_valid_utf8(first));

  const std::optional<json::Value> again = json::parse(first);
  KARVO_FUZZ_CHECK(again.has_value());
  KARVO_FUZZ_CHECK(*again == *value);
  KARVO_FUZZ_CHECK(json::serialise(*again) == first);

  // The appending form writes the same text after what the buffer holds.
  std::string appended = "x";
  json::serialise_to(*value, appended);
  KARVO_FUZZ_CHECK(std::string_view(appended).substr(1) == first);

  // White space around the value is allowed; anything else after it is not.
  const std::optional<json::Value> padded = json::parse(" \t\r\n" + std::string(text) + "\n\r\t ");
  KARVO_FUZZ_CHECK(padded && *padded == *value);
  KARVO_FUZZ_CHECK(!json::parse(std::string(text) + "x"));
  return 0;
}
