// One relay per browser profile: it owns that profile's link to the desktop application, processes the
// profile's requests one at a time on a serial queue of its own, and answers each with everything the
// application sent in the meantime.
//
// Requests: "op" ("send" unless a string; "close"; any other value, "poll" by the extension), "msg" (an
// object sent verbatim by "send"), "hello" (the greeting, sent after every new link; its "launch" allows
// starting the application). Replies: {"ok": true, "messages": [...]} or
// {"ok": false, "error": "disconnected" | "app-unavailable", "messages": [...]}.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "json_value.h"
#include "relay_link.h"
#include "serial_queue.h"

namespace karvo::safari {

class Relay : public std::enable_shared_from_this<Relay> {
 public:
  using ReplyHandler = std::function<void(const Json& reply)>;

  // Relays are made by forProfile (and by tests, which own theirs).
  Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // The one relay of a profile ("default" or a profile UUID's text), created on first use and kept for
  // the life of the process.
  static std::shared_ptr<Relay> forProfile(const std::string& profile);

  // Queues the request and returns at once. On the relay's queue: process, trace, then `reply` exactly
  // once with the reply object.
  void handle(Json request, ReplyHandler reply);

  // Processes one request and returns its reply. Blocks for as long as the request's waits last; runs on
  // the relay's queue only (or, in tests, on a relay that no other thread uses).
  Json process(const Json& request);

  // Writes the request's trace line to the log, unless it was an idle poll.
  static void trace(const Json& request, const Json& reply);

  // Starts the desktop application through the workspace, waiting up to 5 seconds for the platform's
  // report. Uses no state of a relay.
  static void launchKarvo(const std::optional<std::string>& exeHint);

  // The bundles that launchKarvo considers, in order: the application containing the extension (when its
  // identifier is KarvoApp::appID()), the hint cut after its first ".app", the registered application.
  static std::vector<std::string> launchCandidates(const std::optional<std::string>& exeHint);

  bool linked() const noexcept { return link_.linked(); }

 private:
  // Links and authenticates, starting the application first when `launch` allows it.
  bool connect(bool launch);
  static Json failure(const std::string& error, std::vector<Json> messages);

  SerialQueue queue_;
  RelayLink link_;
};

}  // namespace karvo::safari
