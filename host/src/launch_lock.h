// The launch lock: the file "launch.lock" in the data directory, whose existence says that a host is
// starting the desktop application. Its modification time is the moment it was taken.
#pragma once

#include <ctime>
#include <optional>
#include <string>

namespace karvo {

enum class LaunchRole { launcher, waiter };

// Creates the lock file exclusively, or judges the one that is there; a stale lock is deleted and the
// creation tried once more. `launcher` when this call created the file, `waiter` otherwise.
LaunchRole acquire_launch_lock(const std::string& lock_path);

// The seams below let the tests judge locks at chosen moments.
namespace launch_detail {

// A lock older than this is stale; one exactly this old is not.
inline constexpr std::time_t kStaleLockSeconds = 25;

// The staleness rule: stale when the modification time is unknown (the metadata could not be read), is
// not a valid time, lies after `now`, or lies more than 25 seconds before `now`. `now` is wall-clock.
bool lock_is_stale(const std::optional<timespec>& modified, const timespec& now) noexcept;

// The lock file's modification time following symbolic links; nothing when its metadata can't be read.
std::optional<timespec> lock_modified_time(const std::string& lock_path) noexcept;

// The current wall-clock time.
timespec wall_clock_now() noexcept;

// acquire_launch_lock with the wall clock read through `now`.
LaunchRole acquire_launch_lock(const std::string& lock_path, timespec (*now)());

}  // namespace launch_detail
}  // namespace karvo
