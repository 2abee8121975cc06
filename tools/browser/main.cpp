// karvo-browser: plays the browser against a native messaging host. It starts the host with pipes,
// sends each message as a frame, and prints what went where:
//
//   → host  {"id":"r1","launch":true}
//   ← host  {"id":"r1","type":"reply"}
//   host stderr: karvo-host: started /Applications/Karvo.app
//   host exited with status 0
//
// Exit status: the host's own, 124 when it had to be stopped, 2 for a bad command line, 127 when the
// host could not be started.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "as_browser.h"
#include "karvo_version.h"
#include "manifest.h"
#include "standard_descriptors.h"
#include "testkit.h"

namespace {

namespace kt = karvo::testkit;
using Clock = std::chrono::steady_clock;
using kt::Ms;

constexpr std::string_view kUsage =
    R"(usage: karvo-browser [options] [--] MESSAGE...
Starts a native messaging host, sends each MESSAGE (JSON text) to it as a frame, and shows what went
where. Then it keeps the host's input open for --hold, closes it as a browser does, and waits up to
--timeout for the host to end.
  --host PATH         the host to start (default: karvo-host beside this program)
  --hold MS           keep the host's input open this long after the last message (default 1000)
  --timeout MS        then wait this long for the host to exit before stopping it (default 5000)
  --interactive       also read messages from standard input, one per line
  --home DIR          start the host with HOME=DIR
  --env NAME=VALUE    add or replace a variable in the host's environment (repeatable)
  --as BROWSER        start the host as that browser would (chrome, chromium, firefox, ...): from
                      the manifest registered for it, with its arguments, in the host's folder
  --origin ORIGIN     with --as and a Chromium-based browser: the extension that connects
  --extension-id ID   with --as firefox (or a fork): the extension that connects
Replies that a browser would reject (over 1 MiB, not JSON) are marked "✗".
  --help, --version   this text; the version
)";

struct Options {
  std::string host;
  long hold_ms = 1000;
  long timeout_ms = 5000;
  bool interactive = false;
  std::string as_browser;
  std::string extension;
  std::vector<std::string> env;
  std::vector<std::string> messages;
};

bool parse_ms(std::string_view text, long& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && out >= 0;
}

// Returns an error text, or an empty one when the command line is fine.
std::string parse_args(int argc, char** argv, Options& o) {
  bool messages_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (messages_only || a.empty() || a[0] != '-' || a == "-") {
      o.messages.emplace_back(a);
      continue;
    }
    auto value = [&](std::string_view& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string_view v;
    if (a == "--") {
      messages_only = true;
    } else if (a == "--host") {
      if (!value(v)) return "--host needs a path";
      o.host = v;
    } else if (a == "--hold") {
      if (!value(v) || !parse_ms(v, o.hold_ms)) return "--hold needs milliseconds";
    } else if (a == "--timeout") {
      if (!value(v) || !parse_ms(v, o.timeout_ms)) return "--timeout needs milliseconds";
    } else if (a == "--interactive") {
      o.interactive = true;
    } else if (a == "--as") {
      if (!value(v)) return "--as needs a browser";
      o.as_browser = v;
    } else if (a == "--origin") {
      if (!value(v) || !karvo::reg::normalise_origin(v)) return "--origin needs chrome-extension://<id>/";
      o.extension = *karvo::reg::normalise_origin(v);
    } else if (a == "--extension-id") {
      if (!value(v)) return "--extension-id needs an id";
      o.extension = v;
    } else if (a == "--home") {
      if (!value(v)) return "--home needs a directory";
      o.env.push_back("HOME=" + std::string(v));
    } else if (a == "--env") {
      if (!value(v) || v.find('=') == std::string_view::npos || v[0] == '=') return "--env needs NAME=VALUE";
      o.env.emplace_back(v);
    } else {
      return "unknown option " + std::string(a);
    }
  }
  return {};
}

std::vector<std::string> host_env(const std::vector<std::string>& changes) {
  auto name_of = [](std::string_view e) { return e.substr(0, e.find('=')); };
  std::vector<std::string> env;
  for (auto& e : kt::current_env()) {
    const bool replaced = std::any_of(changes.begin(), changes.end(),
                                      [&](const std::string& c) { return name_of(c) == name_of(e); });
    if (!replaced) env.push_back(std::move(e));
  }
  env.insert(env.end(), changes.begin(), changes.end());
  return env;
}

// Control bytes would break the one-line-per-event layout; they are shown as \xNN.
std::string printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      out += "\\x";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

class Session {
 public:
  explicit Session(kt::Child& host) : host_(host) {}

  // Prints every complete frame and stderr line that has arrived.
  void pump() {
    while (auto body = kt::read_frame(host_, Ms(0))) {
      say("← host  " + printable(*body));
      if (const std::string why = karvo::browser::rejection(*body); !why.empty()) {
        say("✗ a browser rejects this message and disconnects: " + why);
      }
    }
    const std::string err = host_.stderr_text();
    for (auto nl = err.find('\n', err_shown_); nl != std::string::npos; nl = err.find('\n', err_shown_)) {
      say("host stderr: " + printable(std::string_view(err).substr(err_shown_, nl - err_shown_)));
      err_shown_ = nl + 1;
    }
  }

  // Pumps until `done` holds or the deadline passes; true when `done` held.
  template <typename Done>
  bool run_until(Clock::time_point deadline, Done done) {
    for (;;) {
      const auto seen = host_.activity();
      pump();
      if (done()) return true;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      // Exits do not wake the wait, so it is capped.
      host_.wait_activity(seen, std::min(Ms(50), std::chrono::ceil<Ms>(deadline - now)));
    }
  }

  // Host gone and its output all seen.
  bool finished() { return !host_.running() && host_.stdout_ended(); }

  void finish() {
    // Everything the host wrote before it ended; a program that it started may hold the pipes open.
    host_.sync_output();
    pump();
    const std::string err = host_.stderr_text();
    if (err_shown_ < err.size()) say("host stderr: " + printable(std::string_view(err).substr(err_shown_)));
    err_shown_ = err.size();
    if (const auto rest = host_.take_stdout(); !rest.empty()) {
      say("host output ended inside a frame; bytes left over: " + std::to_string(rest.size()));
    }
  }

  bool send(const std::string& message) {
    say("→ host  " + printable(message));
    if (!host_.write_all(kt::frame(message), Ms(10'000))) {
      say("host does not take input any more");
      return false;
    }
    pump();
    return true;
  }

 private:
  kt::Child& host_;
  std::size_t err_shown_ = 0;
};

// Reads lines from our own standard input and sends them until it ends; false when the host stopped
// taking input.
bool interactive(Session& session, kt::Child& host) {
  std::string buf;
  for (;;) {
    const auto seen = host.activity();
    session.pump();
    if (session.finished()) return false;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int rc = ::poll(&p, 1, 0);
    if (rc < 0 && errno != EINTR) return true;
    if (rc <= 0) {
      host.wait_activity(seen, Ms(20));
      continue;
    }
    char chunk[65536];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!buf.empty() && !session.send(buf)) return false;
      return true;
    }
    buf.append(chunk, static_cast<std::size_t>(n));
    for (auto nl = buf.find('\n'); nl != std::string::npos; nl = buf.find('\n')) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (!session.send(line)) return false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing meant for a standard stream lands in a file opened later.
  if (!karvo::ensure_standard_descriptors()) return 1;
  if (argc > 1 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::fputs(kUsage.data(), stdout);
    return 0;
  }
  if (argc > 1 && std::string_view(argv[1]) == "--version") {
    std::puts("karvo-browser " KARVO_VERSION);
    return 0;
  }
  Options opt;
  if (const std::string error = parse_args(argc, argv, opt); !error.empty()) {
    std::fprintf(stderr, "karvo-browser: %s\n%s", error.c_str(), kUsage.data());
    return 2;
  }
  std::vector<std::string> host_argv;
  std::string host_cwd;
  if (!opt.as_browser.empty()) {
    const std::optional<karvo::reg::Browser> b = karvo::reg::browser_from_key(opt.as_browser);
    if (!b || !opt.host.empty() || opt.extension.empty()) {
      std::fprintf(stderr, "karvo-browser: --as needs a known browser (%s), its extension, and no --host\n",
                   karvo::reg::browser_keys().c_str());
      return 2;
    }
    std::string why;
    const auto launch = karvo::browser::launch_as(*b, opt.extension, karvo::reg::current_places(), why);
    if (!launch) {
      std::fprintf(stderr, "karvo-browser: %s\n", why.c_str());
      return 1;
    }
    std::string shown;
    for (const auto& a : launch->argv) shown += (shown.empty() ? "" : " ") + a;
    say("as " + std::string(karvo::reg::display_name(*b)) + ", from " + launch->manifest + ": " + shown);
    host_argv = launch->argv;
    host_cwd = launch->cwd;
  } else if (opt.host.empty()) {
    const auto self = kt::self_executable();
    opt.host = (self ? kt::parent_dir(*self) : std::string(".")) + "/karvo-host";
  }
  if (opt.messages.empty() && !opt.interactive) {
    std::fprintf(stderr, "karvo-browser: no message to send\n%s", kUsage.data());
    return 2;
  }

  // The host gets no process group of its own: an application that it starts lives on after we end.
  kt::Child::Options child;
  child.argv = host_argv.empty() ? std::vector<std::string>{opt.host} : host_argv;
  child.cwd = host_cwd;
  const std::string program = child.argv[0];
  child.env = host_env(opt.env);
  child.own_process_group = false;
  kt::Child host(std::move(child));
  if (!host.started()) {
    std::fprintf(stderr, "karvo-browser: cannot start %s: %s\n", program.c_str(), std::strerror(host.spawn_error()));
    return 127;
  }
  Session session(host);

  bool sending = true;
  for (const auto& m : opt.messages) {
    if (!(sending = session.send(m))) break;
  }
  if (sending && opt.interactive) sending = interactive(session, host);
  if (sending) {
    session.run_until(Clock::now() + Ms(opt.hold_ms), [&] { return session.finished(); });
  }
  if (host.running()) say("browser closes the host's input");
  host.close_stdin();

  int code = 0;
  if (!session.run_until(Clock::now() + Ms(opt.timeout_ms), [&] { return !host.running(); })) {
    say("host still running after " + std::to_string(opt.timeout_ms) + " ms; stopping it");
    host.kill(SIGTERM);
    if (!host.wait_exit(Ms(2000))) host.kill(SIGKILL);
    host.wait_exit(Ms(5000));
    code = 124;
  }
  session.finish();
  const int status = host.exit_status().value_or(-1);
  if (status >= 128) {
    say("host ended by signal " + std::to_string(status - 128));
  } else {
    say("host exited with status " + std::to_string(status));
  }
  return code != 0 ? code : std::clamp(status, 0, 255);
}
