#include "checks.h"

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
#include <optional>

#include "app_link.h"
#include "endpoint.h"
#include "files.h"
#include "json.h"
#include "launch_lock.h"
#include "manifest.h"
#include "socket_options.h"
#include "unique_fd.h"

namespace karvo::doctor {
namespace {

using reg::Browser;
using reg::Family;

constexpr std::chrono::milliseconds kProbeTimeout{800};

class Report {
 public:
  void ok(std::string text) { out_.push_back({Level::ok, std::move(text)}); }
  void note(std::string text) { out_.push_back({Level::note, std::move(text)}); }
  void problem(std::string text) { out_.push_back({Level::problem, std::move(text)}); }
  std::vector<Finding> take() { return std::move(out_); }

 private:
  std::vector<Finding> out_;
};

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// The registration command that would mend a browser's manifest.
std::string register_command(Browser b, const Options& o) {
  std::string cmd = "karvo-register install --browser " + std::string(reg::key(b));
  if (reg::family(b) == Family::chromium) {
    if (o.origins.empty()) return cmd + " --origin chrome-extension://<extension id>/";
    for (const std::string& origin : o.origins) cmd += " --origin " + origin;
  } else {
    if (o.firefox_ids.empty()) return cmd + " --extension-id <extension id>";
    for (const std::string& id : o.firefox_ids) cmd += " --extension-id " + id;
  }
  return cmd;
}

std::vector<Browser> browsers_to_check(const Options& o, const reg::Places& places) {
  if (!o.browsers.empty()) return o.browsers;
  std::vector<Browser> out;
  for (const Browser b : reg::kAllBrowsers) {
    bool has_manifest = false;
    for (const std::string& path : reg::manifest_search_order(b, places)) has_manifest |= reg::exists_no_follow(path);
    if (has_manifest || reg::browser_found(b, places)) out.push_back(b);
  }
  return out;
}

void check_browser(Browser b, const Options& o, const reg::Places& places, Report& r) {
  const std::string name(reg::display_name(b));
  const std::vector<std::string> search = reg::manifest_search_order(b, places);
  // The browser takes the first manifest it finds, the user's before the system-wide one.
  std::optional<std::string> text;
  std::string path;
  for (const std::string& candidate : search) {
    int error = 0;
    text = reg::read_text(candidate, &error);
    if (text) {
      path = candidate;
      break;
    }
    if (error != ENOENT) {
      r.problem(name + ": cannot read " + candidate + ": " + std::strerror(error) + "; fix its permissions or run " +
                register_command(b, o));
      return;
    }
  }
  if (!text) {
    r.problem(name + ": no manifest of " + std::string(reg::kHostName) + " (looked for " + join(search) +
              "); register it: " + register_command(b, o));
    return;
  }
  const reg::ManifestCheck m = reg::check_manifest(*text, reg::family(b));
  if (m.problem) {
    r.problem(name + ": manifest " + path + " is unusable: " + *m.problem + "; rewrite it: " + register_command(b, o));
    return;
  }
  r.ok(name + ": manifest " + path);

  const std::string host = reg::under_root(places.root, m.host_path);
  struct stat st{};
  if (::stat(host.c_str(), &st) != 0) {
    r.problem(name + ": the manifest names " + host + ", which does not exist; install karvo-host there, or register "
              "again with --host <where karvo-host is>");
  } else if (!S_ISREG(st.st_mode) || ::access(host.c_str(), X_OK) != 0) {
    r.problem(name + ": the manifest names " + host + ", which is not an executable file; make it executable (chmod "
              "755 " + host + ") or register again with --host <where karvo-host is>");
  } else {
    r.ok(name + ": host " + host + " is executable");
  }

  const std::vector<std::string>& wanted = reg::family(b) == Family::chromium ? o.origins : o.firefox_ids;
  if (wanted.empty()) {
    r.note(name + ": allows " + join(m.allowed) + " (give " +
           (reg::family(b) == Family::chromium ? "--origin" : "--extension-id") + " to check for your extension)");
  }
  for (const std::string& w : wanted) {
    if (std::find(m.allowed.begin(), m.allowed.end(), w) != m.allowed.end()) {
      r.ok(name + ": allows " + w);
    } else {
      r.problem(name + ": " + w + " is not allowed to connect (" + path + " allows " + join(m.allowed) +
                "); allow it: " + register_command(b, o));
    }
  }
  for (const reg::SandboxedInstall& s : reg::sandboxed_installs(b, places)) r.note(s.advice);
}

// Why an endpoint file that the host's reader refused is unusable. Never quotes the token.
std::string endpoint_problem(const std::string& text) {
  const std::optional<json::Value> v = json::parse(text);
  if (!v) return "it is not JSON text in UTF-8";
  if (!v->is_object()) return "it is not a JSON object";
  const json::Value* port = v->find("port");
  if (port == nullptr || port->get_if<std::uint64_t>() == nullptr) return "it has no \"port\" that is a whole number";
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

void check_application(Report& r) {
  const std::string dir = data_dir();
  const std::string ipc = dir + "/ipc.json";
  int error = 0;
  const std::optional<std::string> text = reg::read_text(ipc, &error);
  if (!text) {
    if (error == ENOENT) {
      r.problem("no endpoint file " + ipc + ": Karvo is not running, or has not said where it listens; start Karvo "
                "(an extension that sends \"launch\": true starts it)");
    } else {
      r.problem("cannot read the endpoint file " + ipc + ": " + std::strerror(error) +
                "; it must be readable by you (quit Karvo, fix the permissions, start Karvo)");
    }
    return;
  }
  const std::optional<IpcInfo> info = read_ipc_info();
  if (!info) {
    r.problem("endpoint file " + ipc + " is unusable: " + endpoint_problem(*text) +
              "; quit and restart Karvo so that it writes the file again");
    return;
  }
  const std::string where = "127.0.0.1:" + std::to_string(info->port);
  r.ok("endpoint file " + ipc + " (port " + std::to_string(info->port) + ")");
  if (connect_app(*info)) {
    r.ok("Karvo accepts connections on " + where + " and the endpoint file's token");
  } else if (!something_listens(info->port)) {
    r.problem("nothing answers on " + where + ": Karvo is not running, or the endpoint file is left from an earlier "
              "run; start Karvo");
  } else {
    r.problem("the program on " + where + " did not accept the endpoint file's token (it refused it, or did not answer "
              "within 5 s): the file is out of date or another program holds the port; quit and restart Karvo");
  }
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

}  // namespace

std::vector<Finding> run_checks(const Options& options, const reg::Places& places) {
  Report r;
  const std::vector<Browser> browsers = browsers_to_check(options, places);
  if (browsers.empty()) {
    r.problem("no supported browser found here (Google Chrome, Chromium, Microsoft Edge, Brave, Vivaldi, Firefox); "
              "name yours with --browser");
    for (const Browser b : reg::kAllBrowsers) {
      for (const reg::SandboxedInstall& s : reg::sandboxed_installs(b, places)) r.note(s.advice);
    }
  }
  for (const Browser b : browsers) check_browser(b, options, places, r);
  check_application(r);
  check_launch_lock(r);
  return r.take();
}

std::string format(const Finding& f) {
  switch (f.level) {
    case Level::ok:
      return "ok: " + f.text;
    case Level::note:
      return "note: " + f.text;
    case Level::problem:
      return "problem: " + f.text;
  }
  return f.text;
}

}  // namespace karvo::doctor
