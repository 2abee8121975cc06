// The host's judgement of the application's authentication reply, on arbitrary lines: accepted exactly
// when the line is valid UTF-8 holding one JSON object whose "ok" is the boolean true, judged by a second
// JSON reader. White space after the value (the line's CR LF) changes nothing; a second value refuses it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app_link.h"
#include "fuzz_check.h"
#include "reference_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const bool accepted = karvo::auth_reply_accepted(line);

  if (karvo::fuzz::outside_common_rules(line)) {
    KARVO_FUZZ_CHECK(!accepted);
    return 0;
  }
  const auto reply = karvo::fuzz::reference_parse(line);
  bool expected = false;
  if (reply && reply->is_object()) {
    const auto ok = reply->find("ok");
    expected = ok != reply->end() && ok->is_boolean() && ok->get<bool>();
  }
  KARVO_FUZZ_CHECK(accepted == expected);

  if (accepted) {
    KARVO_FUZZ_CHECK(karvo::auth_reply_accepted(std::string(line) + "\r\n"));
    KARVO_FUZZ_CHECK(!karvo::auth_reply_accepted(std::string(line) + "\n{\"ok\":true}\n"));
  }
  return 0;
}
