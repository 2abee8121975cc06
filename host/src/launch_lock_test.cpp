#include "launch_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "testkit.h"

namespace karvo {
namespace {

using launch_detail::lock_is_stale;

constexpr std::time_t kT = 1'800'000'000;
constexpr long kNs = 1'000'000'000;

timespec at(std::time_t sec, long nsec) { return timespec{sec, nsec}; }

struct StaleCase {
  const char* name;
  std::optional<timespec> modified;
  timespec now;
  bool stale;
};

TEST(LockStaleness, AgeRuleTable) {
  const timespec now = at(kT, 500'000'000);
  const timespec whole = at(kT, 0);  // a current time on a whole second, for the borrow
  const StaleCase cases[] = {
      {"metadata unreadable", std::nullopt, now, true},
      {"taken this instant", now, now, false},
      {"10 s old", at(kT - 10, 500'000'000), now, false},
      {"exactly 25 s old", at(kT - 25, 500'000'000), now, false},
      {"25 s and 1 ns old", at(kT - 25, 499'999'999), now, true},
      {"25.001 s old", at(kT - 25, 499'000'000), now, true},
      {"exactly 25 s old, whole seconds", at(kT - 25, 0), whole, false},
      {"25 s and 1 ns old, across a second", at(kT - 26, kNs - 1), whole, true},
      {"24.999999999 s old, across a second", at(kT - 25, 1), whole, false},
      {"an hour old", at(kT - 3600, 0), now, true},
      {"before 1970", at(-5, 0), now, true},
      {"1 ns in the future", at(kT, 500'000'001), now, true},
      {"a day in the future", at(kT + 86'400, 0), now, true},
      {"nanoseconds past the second", at(kT - 1, kNs), now, true},
      {"negative nanoseconds", at(kT - 1, -1), now, true},
      {"earliest time there is", at(std::numeric_limits<std::time_t>::min(), 0), now, true},
      {"latest time there is", at(std::numeric_limits<std::time_t>::max(), kNs - 1), now, true},
  };
  for (const StaleCase& c : cases) EXPECT_EQ(lock_is_stale(c.modified, c.now), c.stale) << c.name;
}

// The clock that acquire_launch_lock reads in these tests.
timespec g_now{};
timespec test_now() { return g_now; }

class LaunchLock : public ::testing::Test {
 protected:
  void SetUp() override { lock_ = home_.path() + "/launch.lock"; }

  // Leaves a lock file modified at `when`.
  void lock_at(const timespec& when) const {
    ASSERT_TRUE(testkit::write_file(lock_, ""));
    set_mtime(when);
  }
  void set_mtime(const timespec& when) const {
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, lock_.c_str(), times, 0), 0);
  }
  std::optional<timespec> mtime() const { return launch_detail::lock_modified_time(lock_); }

  LaunchRole acquire_at(const timespec& now) const {
    g_now = now;
    return launch_detail::acquire_launch_lock(lock_, &test_now);
  }

  testkit::ScratchHome home_;
  std::string lock_;
};

bool same_time(const std::optional<timespec>& a, const timespec& b) {
  return a && a->tv_sec == b.tv_sec && a->tv_nsec == b.tv_nsec;
}

TEST_F(LaunchLock, NoLockMakesALauncherAndAnEmptyFile) {
  const mode_t old_mask = ::umask(022);
  EXPECT_EQ(acquire_launch_lock(lock_), LaunchRole::launcher);
  ::umask(old_mask);
  struct stat st{};
  ASSERT_EQ(::stat(lock_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // 0666 less the umask

  // A second host finds the fresh lock and waits.
  EXPECT_EQ(acquire_launch_lock(lock_), LaunchRole::waiter);
}

TEST_F(LaunchLock, ExistingLockJudgedByItsAge) {
  struct Case {
    const char* name;
    timespec now;  // the lock was modified at kT
    LaunchRole role;
  };
  const Case cases[] = {
      {"10 s old", at(kT + 10, 0), LaunchRole::waiter},
      {"exactly 25 s old", at(kT + 25, 0), LaunchRole::waiter},
      {"25.001 s old", at(kT + 25, 1'000'000), LaunchRole::launcher},
      {"in the future", at(kT - 1, 0), LaunchRole::launcher},
  };
  const timespec modified = at(kT, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lock_at(modified);
    EXPECT_EQ(acquire_at(c.now), c.role);
    // A waiter leaves the lock as it was; a launcher has replaced the stale one with its own.
    EXPECT_EQ(same_time(mtime(), modified), c.role == LaunchRole::waiter);
    EXPECT_TRUE(testkit::path_exists(lock_));
  }
}

TEST_F(LaunchLock, StaleLockThatCannotBeReplacedMakesAWaiter) {
  // A directory in the lock's place: creation fails, and unlink cannot remove it either.
  ASSERT_EQ(::mkdir(lock_.c_str(), 0755), 0);
  set_mtime(at(kT, 0));
  EXPECT_EQ(acquire_at(at(kT + 60, 0)), LaunchRole::waiter);
  EXPECT_EQ(acquire_at(at(kT + 1, 0)), LaunchRole::waiter);  // and not stale: a waiter at once
}

TEST_F(LaunchLock, LockWhoseMetadataCannotBeReadIsReplaced) {
  // A dangling symbolic link: exclusive creation fails on it, and its target's metadata is missing.
  ASSERT_EQ(::symlink((home_.path() + "/nowhere").c_str(), lock_.c_str()), 0);
  EXPECT_EQ(acquire_at(at(kT, 0)), LaunchRole::launcher);
  struct stat st{};
  ASSERT_EQ(::lstat(lock_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(LaunchLock, MissingDirectoryMakesAWaiter) {
  const std::string lock = home_.path() + "/missing/launch.lock";
  EXPECT_EQ(acquire_launch_lock(lock), LaunchRole::waiter);
  EXPECT_FALSE(testkit::path_exists(lock));
}

TEST_F(LaunchLock, OneLauncherAmongManyAtOnce) {
  constexpr int kHosts = 16;
  std::atomic<int> launchers{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> hosts;
  for (int i = 0; i < kHosts; ++i) {
    hosts.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      if (acquire_launch_lock(lock_) == LaunchRole::launcher) ++launchers;
    });
  }
  go = true;
  for (std::thread& t : hosts) t.join();
  EXPECT_EQ(launchers.load(), 1);
}

}  // namespace
}  // namespace karvo
