// Shared by the unit tests: a scratch home that the user database points at, the log captured in memory,
// and shortened long waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux_settings.h"
#include "testkit.h"
#include "timing.h"

namespace karvo::safari::test {

class LogCapture {
 public:
  void add(std::string_view level, std::string_view text) {
    const std::lock_guard guard(mutex_);
    entries_.emplace_back(std::string(level) + ": " + std::string(text));
  }
  std::vector<std::string> entries() const {
    const std::lock_guard guard(mutex_);
    return entries_;
  }
  bool contains(std::string_view entry) const {
    const std::lock_guard guard(mutex_);
    for (const auto& e : entries_) {
      if (e == entry) return true;
    }
    return false;
  }
  void clear() {
    const std::lock_guard guard(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

// The lines that link `conn` of `app` sent, once at least `count` of them have been seen (the stand-in
// reports them a moment after it read them).
inline std::vector<std::string> receivedLines(testkit::StandinApp& app, int conn, std::size_t count) {
  testkit::wait_until([&] { return app.received(conn).size() >= count; }, std::chrono::seconds(5));
  return app.received(conn);
}

// Tests run at the real waits, which answered requests end early; a test that lets a wait run out shortens
// the waits first with shortWaits(): an 8-second wait then lasts 0.4 s.
inline constexpr double kTestWaitScale = 0.05;
inline void shortWaits() { setWaitScale(kTestWaitScale); }

class SafariTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.userDatabaseHome = home_.path();
    settings_.processHome = home_.path() + "/container";
    settings_.bundlePath = home_.path() + "/Nowhere.app/Contents/PlugIns/KarvoSafari.appex";
    settings_.logSink = [log = log_](std::string_view level, std::string_view text) { log->add(level, text); };
    platform::setLinuxSettings(settings_);
    setWaitScale(1.0);
  }
  void TearDown() override {
    platform::setLinuxSettings({});
    setWaitScale(1.0);
  }
  // Applies a change to the settings in force.
  template <typename Change>
  void changeSettings(Change change) {
    change(settings_);
    platform::setLinuxSettings(settings_);
  }

  testkit::ScratchHome home_;
  std::shared_ptr<LogCapture> log_ = std::make_shared<LogCapture>();
  platform::LinuxSettings settings_;
};

}  // namespace karvo::safari::test
