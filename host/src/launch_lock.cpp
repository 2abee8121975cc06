#include "launch_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "unique_fd.h"

namespace karvo {
namespace launch_detail {
namespace {

constexpr long kNanosPerSecond = 1'000'000'000;
constexpr int kCreateAttempts = 2;

bool create_exclusively(const std::string& path) noexcept {
  UniqueFd fd;
  do {
    fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  } while (!fd && errno == EINTR);
  return static_cast<bool>(fd);  // closed at once: the lock is the file, not the descriptor
}

}  // namespace

bool lock_is_stale(const std::optional<timespec>& modified, const timespec& now) noexcept {
  if (!modified) return true;
  const timespec& m = *modified;
  if (m.tv_nsec < 0 || m.tv_nsec >= kNanosPerSecond) return true;  // not a valid time
  if (m.tv_sec > now.tv_sec || (m.tv_sec == now.tv_sec && m.tv_nsec > now.tv_nsec)) return true;
  // From here on m <= now, so the difference of the seconds is not negative; it can only overflow for a
  // time so far back that the lock is stale anyway.
  std::int64_t seconds = 0;
  if (__builtin_sub_overflow(static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(m.tv_sec),
                             &seconds)) {
    return true;
  }
  if (seconds > kStaleLockSeconds + 1) return true;
  const std::int64_t age_ns = seconds * kNanosPerSecond + (now.tv_nsec - m.tv_nsec);
  return age_ns > std::int64_t{kStaleLockSeconds} * kNanosPerSecond;
}

std::optional<timespec> lock_modified_time(const std::string& lock_path) noexcept {
  struct stat st{};
  if (::stat(lock_path.c_str(), &st) != 0) return std::nullopt;
#ifdef __APPLE__
  return st.st_mtimespec;
#else
  return st.st_mtim;
#endif
}

timespec wall_clock_now() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

LaunchRole acquire_launch_lock(const std::string& lock_path, timespec (*now)()) {
  for (int attempt = 1; attempt <= kCreateAttempts; ++attempt) {
    if (create_exclusively(lock_path)) return LaunchRole::launcher;
    if (!lock_is_stale(lock_modified_time(lock_path), now())) return LaunchRole::waiter;
    // A host that died left it, or it cannot be judged: remove it and try once more.
    (void)::unlink(lock_path.c_str());
  }
  return LaunchRole::waiter;
}

}  // namespace launch_detail

LaunchRole acquire_launch_lock(const std::string& lock_path) {
  return launch_detail::acquire_launch_lock(lock_path, &launch_detail::wall_clock_now);
}

}  // namespace karvo
