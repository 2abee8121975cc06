#include "karvo_app.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/bundle_info.h"
#include "platform/file_system.h"
#include "platform/unified_log.h"
#include "platform/user_home.h"
#include "platform/workspace.h"
#include "relay.h"
#include "timing.h"

namespace karvo::safari {

const std::string& KarvoApp::appID() {
  static const std::string id = platform::mainBundleInfoText("KarvoAppID").value_or("com.karvo.app");
  return id;
}

std::string KarvoApp::home() {
  if (auto home = platform::userDatabaseHome()) return *home;
  return platform::processHomeDirectory();
}

std::string KarvoApp::ipcPath() {
  return home() + "/Library/Application Support/" + appID() + "/ipc.json";
}

// Launching the application.

namespace {

// The path without its last component (trailing slashes ignored): "/a/B.app/" and "/a/B.app" give "/a".
std::string deletingLastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A counting semaphore that the platform's completion routine signals.
class Semaphore {
 public:
  void signal() {
    {
      const std::lock_guard guard(mutex_);
      ++count_;
    }
    ready_.notify_one();
  }
  // True when signalled within `seconds`.
  bool wait(double seconds) {
    std::unique_lock lock(mutex_);
    const bool signalled = ready_.wait_for(lock, std::chrono::duration<double>(seconds),
                                           [&] { return count_ > 0; });
    if (signalled) --count_;
    return signalled;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  int count_ = 0;
};

}  // namespace

std::vector<std::string> Relay::launchCandidates(const std::optional<std::string>& exeHint) {
  std::vector<std::string> candidates;
  // …/Name.app/Contents/PlugIns/Ext.appex gives …/Name.app
  const std::string container = deletingLastPathComponent(
      deletingLastPathComponent(deletingLastPathComponent(platform::mainBundlePath())));
  // The identifier byte for byte: one that is only canonically equivalent names another application.
  if (const auto id = platform::bundleIdentifier(container); id && *id == KarvoApp::appID()) {
    candidates.push_back(container);
  }
  if (exeHint) {
    if (const auto cut = exeHint->find(".app/"); cut != std::string::npos) {
      candidates.push_back(exeHint->substr(0, cut) + ".app");
    }
  }
  if (auto registered = platform::applicationPathForBundleIdentifier(KarvoApp::appID())) {
    candidates.push_back(std::move(*registered));
  }
  return candidates;
}

void Relay::launchKarvo(const std::optional<std::string>& exeHint) {
  const std::vector<std::string> candidates = launchCandidates(exeHint);
  const std::string* chosen = nullptr;
  for (const std::string& candidate : candidates) {
    if (platform::fileExists(candidate)) {
      chosen = &candidate;
      break;
    }
  }
  if (chosen == nullptr) {
    platform::logAppNotFound();
    return;
  }
  platform::OpenConfiguration configuration;
  configuration.activates = false;
  configuration.addsToRecentItems = false;
  configuration.arguments = {"--background"};
  // The completion routine holds its own reference: it may run after this wait has given up.
  const auto semaphore = std::make_shared<Semaphore>();
  platform::openApplication(*chosen, configuration,
                            [semaphore](const std::optional<std::string>& error) {
                              if (error) platform::logStartingFailed(*error);
                              semaphore->signal();
                            });
  semaphore->wait(scaled(waits::kLauncherAnswer));
}

}  // namespace karvo::safari
