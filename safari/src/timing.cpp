#include "timing.h"

#include <atomic>

namespace karvo::safari {
namespace {
std::atomic<double> gScale{1.0};
}

double scaled(double seconds) { return seconds * gScale.load(std::memory_order_relaxed); }

void setWaitScale(double scale) {
  if (scale > 0) gScale.store(scale, std::memory_order_relaxed);
}

}  // namespace karvo::safari
