// The workspace stand-in: a registry filled from the settings, and opening an application bundle by
// running its executable (Contents/MacOS/<CFBundleExecutable>) detached, in a session of its own, with
// the null device as its standard streams and no other descriptor.
#include "workspace.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "bundle_info.h"
#include "linux_settings.h"

extern char** environ;

namespace karvo::safari::platform {
namespace {

// Starts `executable` with `arguments`; the process id, or the errno value of the failure.
std::pair<pid_t, int> spawnDetached(const std::string& executable,
                                    const std::vector<std::string>& arguments) {
  std::vector<std::string> storage;
  storage.reserve(arguments.size() + 1);
  storage.push_back(executable);
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (posix_spawn_file_actions_init(&actions) != 0) return {-1, ENOMEM};
  if (posix_spawnattr_init(&attributes) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return {-1, ENOMEM};
  }
  int error = 0;
  for (int stream = 0; stream < 3 && error == 0; ++stream) {
    error = posix_spawn_file_actions_addopen(&actions, stream, "/dev/null",
                                             stream == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  // Like the platform's launch service, which starts applications afresh: nothing of this process but
  // the null device reaches the application, not even a descriptor that this process inherited.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  if (error == 0) error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  if (error == 0) error = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return {error == 0 ? pid : -1, error};
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
  const LinuxSettings settings = linuxSettings();
  const auto it = settings.registeredApplications.find(bundleIdentifier);
  if (it == settings.registeredApplications.end()) return std::nullopt;
  return it->second;
}

void openApplication(const std::string& path, const OpenConfiguration& configuration,
                     OpenCompletion completion) {
  // Activation and the recent items have no counterpart here.
  const bool reportsBack = linuxSettings().workspaceReportsBack;
  const auto finish = [&](const std::optional<std::string>& error) {
    if (reportsBack && completion) completion(error);
  };
  const auto name = bundleInfoText(path, "CFBundleExecutable");
  if (!name || name->empty() || name->find('/') != std::string::npos) {
    finish("The application at " + path + " cannot be opened: it has no executable.");
    return;
  }
  const std::string executable = path + "/Contents/MacOS/" + *name;
  const auto [pid, error] = spawnDetached(executable, configuration.arguments);
  if (pid < 0) {
    finish("The application at " + path + " cannot be opened: " + std::strerror(error) + ".");
    return;
  }
  // The platform reports back from a thread of its own, which then collects the finished process.
  try {
    std::thread([pid = pid, reportsBack, completion] {
      if (reportsBack && completion) completion(std::nullopt);
      reap(pid);
    }).detach();
  } catch (...) {
    finish(std::nullopt);  // no thread to spare: report at once and leave the process uncollected
  }
}

}  // namespace karvo::safari::platform
