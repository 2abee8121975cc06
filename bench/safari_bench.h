// The Safari relay, driven in-process through Relay::forProfile(...)->handle(...) against the echo
// application, as the extension's request handler drives it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "echo_app.h"

namespace karvo::bench {

// False where the build has no portable Safari relay to drive (on Apple platforms it is the app
// extension, which only Safari loads); measure_safari is then never called.
bool safari_relay_built() noexcept;

struct SafariFigures {
  std::vector<double> answer_to_reply_us;  // the application's answer written -> the reply callback
  std::vector<double> send_round_trip_us;  // handle() called -> the reply callback
  std::vector<double> poll_wall_ms;        // an empty "poll", handle() -> reply
  std::vector<double> poll_cpu_us;         // CPU time of the relay's queue per empty "poll"
};

// `sends` requests "send" with an "id" that the application answers at once, then `polls` empty polls.
// The relay finds the application through the endpoint file under `home`. Nothing, with `error` set,
// when a request fails.
std::optional<SafariFigures> measure_safari(EchoApp& app, const std::string& home, int sends, int polls,
                                            std::string& error);

}  // namespace karvo::bench
