#include "stream_locks.h"

namespace karvo {

std::mutex& stdin_mutex() noexcept {
  static std::mutex m;
  return m;
}

std::mutex& stdout_mutex() noexcept {
  static std::mutex m;
  return m;
}

}  // namespace karvo
