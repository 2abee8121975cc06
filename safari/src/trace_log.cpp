// The per-request trace line: "<op> [<label>] → <result> [<summary>]", written after a request was
// processed, except for idle polls. Its values come from the extension and the application, so their
// control characters are written escaped: a line feed in a message's "type" must not start a forged entry.
#include "log_text.h"
#include "platform/unified_log.h"
#include "relay.h"

namespace karvo::safari {
void Relay::trace(const Json& request, const Json& reply) {
  const std::string* opText = stringMember(request, "op");
  const std::string op = opText != nullptr ? *opText : "send";
  const Json* messages = objectArrayMember(reply, "messages");
  const bool broughtMessages = messages != nullptr && !messages->empty();
  const auto ok = boolMember(reply, "ok");
  if (textEquals(op, "poll") && !broughtMessages && ok != false) return;  // an idle poll

  std::string label;
  if (const Json* msg = objectMember(request, "msg")) {
    bool first = true;
    for (const char* key : {"type", "source", "id"}) {
      if (const std::string* text = stringMember(*msg, key)) {
        if (!first) label += ' ';
        label += *text;
        first = false;
      }
    }
  }

  std::string summary;
  if (messages != nullptr) {
    for (const Json& message : *messages) {
      const std::string* type = stringMember(message, "type");
      std::string entry = type != nullptr ? *type : "?";
      if (const std::string* id = stringMember(message, "id")) entry += " " + *id;
      if (const auto accepted = boolMember(message, "accepted")) {
        if (*accepted) {
          entry += " accepted";
        } else {
          const std::string* reason = stringMember(message, "reason");
          entry += " declined(" + (reason != nullptr ? *reason : std::string()) + ")";
        }
      }
      if (&message != &messages->front()) summary += ", ";
      summary += entry;
    }
  }

  std::string result;
  if (ok == true) {
    result = "ok";
  } else {
    const std::string* error = stringMember(reply, "error");
    result = "failed(" + (error != nullptr ? *error : std::string()) + ")";
  }
  platform::logTrace(escapeControls(op), escapeControls(label), escapeControls(result), escapeControls(summary));
}

}  // namespace karvo::safari
