#include "launcher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "endpoint.h"
#include "executable_path.h"
#include "launch_lock.h"
#include "log.h"

namespace karvo {
namespace launch_detail {
namespace {

constexpr std::string_view kBundleInside = ".app/";
constexpr std::string_view kBundleSuffix = ".app";

// The directory part of an executable's path; nothing for a bare name.
std::optional<std::string> parent_dir(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string join(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

bool exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

SpawnSpec through_open(const OpenTool& open, std::vector<std::string> args) {
  SpawnSpec spec;
  spec.program = open.program;
  spec.search_path = open.search_path;
  spec.args = std::move(args);
  return spec;
}

void pause_for(std::chrono::steady_clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  timespec left{static_cast<std::time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

OpenTool open_tool([[maybe_unused]] const std::optional<std::string>& host_path) {
#ifdef __APPLE__
  return {"open", true};
#else
  constexpr std::string_view kName = "karvo-open";
  if (host_path) {
    if (const std::optional<std::string> dir = parent_dir(*host_path)) {
      std::string beside = join(*dir, kName);
      if (::access(beside.c_str(), X_OK) == 0) return {std::move(beside), false};
    }
  }
  return {std::string(kName), true};
#endif
}

std::vector<std::string> launch_candidates(const std::optional<std::string>& hint,
                                           const std::optional<std::string>& host_path) {
  std::vector<std::string> out;
  if (hint) out.push_back(*hint);
  if (host_path) {
    if (const std::optional<std::string> dir = parent_dir(*host_path)) {
      for (std::string_view name : {"Karvo", "karvo", "Karvo.exe", "karvo.exe"}) out.push_back(join(*dir, name));
    }
  }
  out.emplace_back("/Applications/Karvo.app");
  return out;
}

// The bundle tests are plain byte comparisons on the path. They give the same answers as on the path's
// UTF-8 text with invalid sequences replaced (ASCII bytes are never part of a replaced sequence), and the
// bundle is handed over as the path's own bytes, so a bundle whose name is not valid UTF-8 is still found.
SpawnSpec launch_command(std::string_view candidate, const OpenTool& open) {
  std::string_view bundle;
  if (const std::size_t at = candidate.find(kBundleInside); at != std::string_view::npos) {
    bundle = candidate.substr(0, at + kBundleSuffix.size());
  } else if (candidate.ends_with(kBundleSuffix)) {
    bundle = candidate;
  }
  if (!bundle.empty()) {
    return through_open(open, {"-g", "-a", std::string(bundle), "--args", std::string(kBackgroundArg)});
  }
  SpawnSpec spec;
  spec.program = std::string(candidate);
  spec.args = {std::string(kBackgroundArg)};
  spec.null_stdin_stdout = true;  // nothing the application prints may reach the browser's stream
  return spec;
}

SpawnSpec fallback_command(const OpenTool& open) {
  return through_open(open, {"-g", "-b", std::string(kAppId), "--args", std::string(kBackgroundArg)});
}

std::optional<AppLink> wait_for_app(std::chrono::steady_clock::duration limit,
                                    std::chrono::steady_clock::duration pause,
                                    const std::function<void(Attempt)>& observe) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    pause_for(pause);
    const std::optional<IpcInfo> info = read_ipc_info();
    if (!info) {
      if (observe) observe(Attempt::no_endpoint);
      continue;
    }
    std::optional<AppLink> link = connect_app(*info);
    if (observe) observe(link ? Attempt::linked : Attempt::not_connected);
    if (link) return link;
  }
}

namespace {

// The launcher's part: try the candidates in order, and fall back on the registered application.
void start_application() {
  const std::optional<std::string> host_path = executable_path();
  std::optional<std::string> hint;
  if (std::optional<IpcInfo> info = read_ipc_info()) hint = std::move(info->exe);
  const OpenTool open = open_tool(host_path);

  for (const std::string& candidate : launch_candidates(hint, host_path)) {
    if (!exists(candidate)) continue;
    if (!spawn_process(launch_command(candidate, open))) continue;
    log_line("started " + candidate);
    return;
  }
  (void)spawn_process(fallback_command(open));
}

// The whole sequence; it may throw only for want of memory.
std::optional<AppLink> launch() {
  const std::string dir = data_dir();
  const std::string lock_path = dir + "/launch.lock";
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);  // mode 0777 before the umask

  const LaunchRole role = karvo::acquire_launch_lock(lock_path);
  if (role == LaunchRole::waiter) {
    log_line("another host is already starting Karvo; waiting for it");
  } else {
    start_application();
  }

  std::optional<AppLink> link = wait_for_app(kWaitForApp, kAttemptPause);
  if (link || role == LaunchRole::launcher) (void)::unlink(lock_path.c_str());
  if (!link) log_line("Karvo is not running and could not be started");
  return link;
}

}  // namespace
}  // namespace launch_detail

std::optional<AppLink> launch_app() {
  try {
    return launch_detail::launch();
  } catch (...) {
    // Only an allocation can fail this way; the browser is told as for any other failed start.
    log_line("Karvo is not running and could not be started");
    return std::nullopt;
  }
}

}  // namespace karvo
