// Builds without the portable Safari relay: there is nothing to measure.
#include "safari_bench.h"

namespace karvo::bench {

bool safari_relay_built() noexcept { return false; }

std::optional<SafariFigures> measure_safari(EchoApp&, const std::string&, int, int, std::string& error) {
  error = "no Safari relay in this build";
  return std::nullopt;
}

}  // namespace karvo::bench
