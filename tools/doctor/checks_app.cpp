// The checks of the desktop application: its endpoint file, its answer, and what a launch would start.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "app_link.h"
#include "files.h"
#include "checks_common.h"
#include "endpoint.h"
#include "files.h"
#include "launch_lock.h"
#include "launcher.h"
#include "socket_options.h"
#include "unique_fd.h"

namespace karvo::doctor {
namespace {

constexpr std::chrono::milliseconds kProbeTimeout{800};
// The host's own limit for the endpoint file: a larger one is unusable.
constexpr std::size_t kMaxEndpointFile = 64 * 1024;

// Why an endpoint file that the host's reader refused is unusable. Never quotes the token.
std::string endpoint_problem(const std::string& text) {
  const std::optional<json::Value> v = json::parse(text);
  if (!v) return "it is not JSON text in UTF-8";
  if (!v->is_object()) return "it is not a JSON object";
  const json::Value* port = v->find("port");
  if (port == nullptr || port->get_if<std::uint64_t>() == nullptr) return "it has no \"port\" that is a whole number";
  if (const std::uint64_t n = *port->get_if<std::uint64_t>(); n < 1 || n > 65535) {
    return "its \"port\" " + std::to_string(n) + " is not a TCP port (1 to 65535)";
  }
  const json::Value* token = v->find("token");
  if (token == nullptr || token->get_if<std::string>() == nullptr) return "it has no \"token\" that is text";
  return "the host cannot use it";
}

// Whether anything accepts a TCP connection on 127.0.0.1:port within kProbeTimeout.
bool something_listens(std::uint16_t port) {
  UniqueFd fd = new_tcp_socket();
  if (!fd) return false;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  const auto deadline = std::chrono::steady_clock::now() + kProbeTimeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd.get(), POLLOUT, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    int error = 0;
    socklen_t len = sizeof error;
    return ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
}

}  // namespace

// Checks that Karvo can be reached; true when it can.
bool check_application(Report& r) {
  const std::string dir = data_dir();
  const std::string ipc = dir + "/ipc.json";
  int error = 0;
  const std::optional<std::string> text = reg::read_text(ipc, &error, {}, kMaxEndpointFile);
  if (!text) {
    if (error == EFBIG) {
      r.problem("the endpoint file " + ipc + " is larger than any that Karvo writes (64 KiB), so karvo-host ignores "
                "it; quit Karvo, remove it, then start Karvo: rm " + shell_word(ipc));
    } else if (error == ENOENT) {
      r.problem("no endpoint file " + ipc + ": Karvo is not running, or has not said where it listens; start Karvo "
                "(an extension that sends \"launch\": true starts it)");
    } else if (error == EISDIR || error == EINVAL) {
      // Karvo cannot write its endpoint file while something else has its name.
      r.problem("the endpoint file " + ipc + " is " + (error == EISDIR ? "a folder" : "not a regular file") +
                ", so Karvo cannot write it there; remove it, then start Karvo: " + (error == EISDIR ? "rmdir " : "rm ") +
                shell_word(ipc));
    } else {
      r.problem("cannot read the endpoint file " + ipc + ": " + std::strerror(error) +
                "; it must be readable by you (quit Karvo, fix the permissions, start Karvo)");
    }
    return false;
  }
  const std::optional<IpcInfo> info = read_ipc_info();
  if (!info) {
    r.problem("endpoint file " + ipc + " is unusable: " + endpoint_problem(*text) +
              "; quit and restart Karvo so that it writes the file again");
    return false;
  }
  const std::string where = "127.0.0.1:" + std::to_string(info->port);
  r.ok("endpoint file " + ipc + " (port " + std::to_string(info->port) + ")");
  if (connect_app(*info)) {
    r.ok("Karvo accepts connections on " + where + " and the endpoint file's token");
    return true;
  }
  if (!something_listens(info->port)) {
    r.problem("nothing answers on " + where + ": Karvo is not running, or the endpoint file is left from an earlier "
              "run; start Karvo");
  } else {
    r.problem("the program on " + where + " did not accept the endpoint file's token (it refused it, or did not answer "
              "within 5 s): the file is out of date or another program holds the port; quit and restart Karvo");
  }
  return false;
}

namespace {

// The folders in which the desktop looks for the entry com.karvo.app.desktop that karvo-open starts.
std::vector<std::string> desktop_entry_dirs(const reg::Places& places) { return xdg_data_dirs(places, "/applications"); }

}  // namespace

// Whether a host started by a browser now could start Karvo: the first candidate that exists, as the
// host tries them, else the registered application. When nothing could start, hosts wait the full 20 s
// before answering "app-unavailable", so that is worth saying.
void check_launch(const std::vector<std::string>& hosts, const reg::Places& places, Report& r) {
  std::optional<std::string> hint;
  if (std::optional<IpcInfo> info = read_ipc_info()) hint = std::move(info->exe);
  std::vector<std::optional<std::string>> from(hosts.begin(), hosts.end());
  if (from.empty()) from.emplace_back();  // no usable manifest: the hint and the fixed places remain
  std::vector<std::string> tried;
  for (const std::optional<std::string>& host : from) {
    for (const std::string& candidate : launch_detail::launch_candidates(hint, host)) {
      if (std::find(tried.begin(), tried.end(), candidate) != tried.end()) continue;
      tried.push_back(candidate);
      struct stat st{};
      if (::stat(reg::under_root(places.root, candidate).c_str(), &st) == 0) {
        r.note("a launch would start " + reg::under_root(places.root, candidate));
        return;
      }
    }
  }
  if (reg::this_os() == reg::Os::mac_os) {
    r.note("a launch would ask the system for the application " + std::string(launch_detail::kAppId) +
           " (no Karvo beside karvo-host, nor in /Applications)");
    return;
  }
  const std::string entry = std::string(launch_detail::kAppId) + ".desktop";
  const std::vector<std::string> dirs = desktop_entry_dirs(places);
  for (const std::string& d : dirs) {
    if (reg::exists_no_follow(d + "/" + entry)) {
      r.note("a launch would start Karvo through its desktop entry " + d + "/" + entry);
      return;
    }
  }
  // The names of the other systems' programs (Karvo.exe, /Applications/Karvo.app) are no news here.
  std::vector<std::string> looked;
  for (const std::string& t : tried) {
    if (!t.ends_with(".exe") && !t.starts_with("/Applications/")) looked.push_back(reg::under_root(places.root, t));
  }
  // Karvo not running is the problem already found; this only says what a launch request would meet.
  r.note("a launch cannot start Karvo: " + (looked.empty() ? std::string() : "nothing at " + join(looked) + ", and ") +
         "no desktop entry " + entry + " in " +
         join(dirs) + "; an extension that asks for a launch waits 20 s and then gets \"app-unavailable\": start "
         "Karvo yourself, or install it where karvo-host or the desktop finds it");
}

void check_launch_lock(Report& r) {
  const std::string lock = data_dir() + "/launch.lock";
  if (!reg::exists_no_follow(lock)) {
    r.ok("no launch under way (no " + lock + ")");
    return;
  }
  const std::optional<timespec> modified = launch_detail::lock_modified_time(lock);
  const timespec now = launch_detail::wall_clock_now();
  if (!launch_detail::lock_is_stale(modified, now)) {
    const long age = static_cast<long>(now.tv_sec - modified->tv_sec);
    r.note("launch lock " + lock + " taken " + std::to_string(age) + " s ago: a host is starting Karvo, and others "
           "wait for it (up to 20 s); nothing to do");
  } else if (!modified) {
    r.note("launch lock " + lock + " cannot be examined, so hosts count it as stale and replace it at the next "
           "launch; if launches keep failing, delete it");
  } else if (modified->tv_sec > now.tv_sec || (modified->tv_sec == now.tv_sec && modified->tv_nsec > now.tv_nsec)) {
    r.note("launch lock " + lock + " is dated in the future, so hosts count it as stale and replace it at the next "
           "launch; check the system clock");
  } else {
    const long age = static_cast<long>(now.tv_sec - modified->tv_sec);
    r.note("stale launch lock " + lock + " (taken " + std::to_string(age) + " s ago), left by a host that ended "
           "while starting Karvo; harmless: the next launch replaces it (or delete it)");
  }
}

}  // namespace karvo::doctor
