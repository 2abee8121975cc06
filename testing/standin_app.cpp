// StandinApp: karvo-standin-app in a scratch home, driven through its standard input and watched
// through its event lines.

#include <charconv>
#include <random>

#include "testkit.h"

namespace karvo::testkit {

namespace {

std::string random_token() {
  std::random_device rd;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string t = "t-";
  for (int i = 0; i < 24; ++i) t.push_back(kHex[rd() % 16]);
  return t;
}

bool has_option(const std::vector<std::string>& options, std::string_view name) {
  for (const auto& o : options) {
    if (o == name) return true;
  }
  return false;
}

std::vector<std::string> standin_argv(const ScratchHome& home, const std::vector<std::string>& options,
                                      const std::string& token) {
  std::vector<std::string> argv = {bin("karvo-standin-app"), "--home", home.path()};
  if (!has_option(options, "--token")) {
    argv.push_back("--token");
    argv.push_back(token);
  }
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

std::string option_value(const std::vector<std::string>& options, std::string_view name,
                         std::string fallback) {
  for (std::size_t i = 0; i + 1 < options.size(); ++i) {
    if (options[i] == name) fallback = options[i + 1];
  }
  return fallback;
}

}  // namespace

StandinApp::StandinApp(const ScratchHome& home, std::vector<std::string> options, Ms start_timeout)
    : token_(option_value(options, "--token", random_token())),
      ipc_path_(home.ipc_path(option_value(options, "--app-id", "com.karvo.app"))),
      child_(Child::Options{standin_argv(home, options, token_), home.env(), {}}) {
  if (!child_.started()) return;
  const auto listening = wait_event("listening ", start_timeout);
  if (!listening) return;
  const std::string_view number = std::string_view(*listening).substr(10);
  std::from_chars(number.data(), number.data() + number.size(), port_);
  ok_ = has_option(options, "--publish-delay") || wait_event("published ", start_timeout).has_value();
}

StandinApp::~StandinApp() {
  if (child_.started() && !child_.exit_status()) stop(Ms(2000));
}

bool StandinApp::command(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  return child_.write_all(line);
}

bool StandinApp::send(int conn, std::string_view line) {
  return command("send " + std::to_string(conn) + " " + std::string(line));
}

bool StandinApp::send_all(std::string_view line) { return command("send all " + std::string(line)); }

bool StandinApp::send_raw(int conn, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "sendraw " + std::to_string(conn) + " ";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 0xF]);
  }
  return command(text);
}

bool StandinApp::close(int conn) { return command("close " + std::to_string(conn)); }

bool StandinApp::close_all() { return command("close all"); }

void StandinApp::gather_locked() {
  // Every event line that the stand-in wrote before this call is seen, not only those read so far.
  child_.sync_output();
  while (auto line = child_.read_line(Ms(0))) events_.push_back(std::move(*line));
}

std::vector<std::string> StandinApp::events() {
  std::lock_guard lock(mu_);
  gather_locked();
  return events_;
}

std::optional<std::string> StandinApp::wait_event(std::string_view prefix, Ms timeout) {
  const std::string p(prefix);
  return wait_event([&p](std::string_view e) { return e.substr(0, p.size()) == p; }, timeout);
}

std::optional<std::string> StandinApp::wait_event(const std::function<bool(std::string_view)>& predicate,
                                                  Ms timeout) {
  std::optional<std::string> found;
  wait_events(
      [&](std::string_view e) {
        if (!found && predicate(e)) found = std::string(e);
        return found.has_value();
      },
      1, timeout);
  return found;
}

bool StandinApp::wait_events(const std::function<bool(std::string_view)>& predicate, std::size_t count,
                             Ms timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t matched = 0;
  std::size_t checked = 0;
  for (;;) {
    const auto seen = child_.activity();
    {
      std::lock_guard lock(mu_);
      gather_locked();
      for (; checked < events_.size(); ++checked) {
        if (predicate(events_[checked]) && ++matched >= count) return true;
      }
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || child_.stdout_ended()) return false;
    child_.wait_activity(seen, std::chrono::ceil<Ms>(deadline - now));
  }
}

std::size_t StandinApp::count_events(const std::function<bool(std::string_view)>& predicate) {
  std::lock_guard lock(mu_);
  gather_locked();
  std::size_t n = 0;
  for (const auto& e : events_) {
    if (predicate(e)) ++n;
  }
  return n;
}

std::vector<std::string> StandinApp::received(int conn) {
  const std::string prefix = "recv " + std::to_string(conn) + " ";
  std::vector<std::string> lines;
  for (const auto& e : events()) {
    if (e.compare(0, prefix.size(), prefix) == 0) lines.push_back(e.substr(prefix.size()));
  }
  return lines;
}

std::optional<int> StandinApp::stop(Ms timeout) {
  if (auto status = child_.exit_status()) return status;
  command("quit");
  if (auto status = child_.wait_exit(timeout)) return status;
  child_.kill(SIGKILL);
  return child_.wait_exit(Ms(5000));
}

}  // namespace karvo::testkit
