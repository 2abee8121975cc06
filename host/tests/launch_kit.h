// Programs that the launch tests install for the host (or karvo-open) to find and start: small scripts
// that note how they were started and then become the stand-in application or just keep running.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "testkit.h"

namespace karvo::launchtest {

using namespace std::chrono_literals;
using testkit::Child;
using testkit::ScratchHome;
using testkit::StandinApp;

// One start of an installed program, as the program itself saw it.
struct Start {
  pid_t pid = 0;
  std::string program;             // $0
  std::string args;                // "$*"
  std::map<int, std::string> fds;  // descriptor -> what it refers to (the script's own file left out)
};

// What the kernel says of a running process: its session and process group.
struct Ids {
  long session = -1;
  long group = -1;
  friend bool operator==(const Ids&, const Ids&) = default;
};
inline Ids ids_of(pid_t pid) {
  const std::string stat = testkit::read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
  const std::size_t close = stat.rfind(')');
  Ids ids;
  if (close == std::string::npos) return ids;
  std::istringstream in(stat.substr(close + 2));
  std::string state;
  long parent = 0;
  in >> state >> parent >> ids.group >> ids.session;
  return ids;
}
inline void PrintTo(const Ids& ids, std::ostream* out) {
  *out << "session " << ids.session << ", group " << ids.group;
}

inline std::string link_target(const std::string& path) {
  std::error_code ec;
  return std::filesystem::read_symlink(path, ec).string();
}

// The environment of a process that the tests start: a scratch home, and desktop entries only from it.
inline std::vector<std::string> test_env(const ScratchHome& home, std::vector<std::string> extra = {}) {
  extra.push_back("XDG_DATA_HOME=" + home.path() + "/share");
  extra.push_back("XDG_DATA_DIRS=" + home.path() + "/no-system-entries");
  return home.env(extra);
}

class Programs {
 public:
  explicit Programs(const ScratchHome& home) : home_(home), state_(home.path() + "/starts") {
    EXPECT_TRUE(testkit::make_dirs(state_));
  }
  // Every program that was started is stopped: the stand-ins run for at most a minute anyway, but a test
  // leaves nothing behind.
  ~Programs() {
    for (const Start& s : starts()) {
      // Only a process that still runs with this scratch home (its id may have been reused since).
      const std::string env = testkit::read_file("/proc/" + std::to_string(s.pid) + "/environ").value_or("");
      if (env.find("HOME=" + home_.path() + '\0') != std::string::npos) ::kill(s.pid, SIGKILL);
    }
  }
  Programs(const Programs&) = delete;
  Programs& operator=(const Programs&) = delete;

  // A program at `path` that notes its start and becomes the stand-in application with `options`.
  std::string install_app(const std::string& path, const std::vector<std::string>& options = {}) {
    std::string tail = "exec '" + testkit::bin("karvo-standin-app") + "' --home '" + home_.path() +
                       "' --events \"$state/events.$$\" --exit-after 60";
    for (const std::string& o : options) tail += " '" + o + "'";
    tail += " \"$@\" 2>>\"$state/app-stderr\"\n";
    install(path, tail);
    return path;
  }

  // A program at `path` that notes its start and then only keeps running for a while.
  std::string install_recorder(const std::string& path) {
    install(path, "exec sleep 60\n");
    return path;
  }

  std::vector<Start> starts() const {
    std::vector<Start> out;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(state_, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("start.", 0) != 0) continue;
      Start s;
      s.pid = static_cast<pid_t>(std::stol(name.substr(6)));
      std::istringstream in(testkit::read_file(entry.path().string()).value_or(""));
      std::getline(in, s.program);
      std::getline(in, s.args);
      s.fds = parse_listing(testkit::read_file(state_ + "/fds." + name.substr(6)).value_or(""), s.program);
      out.push_back(std::move(s));
    }
    return out;
  }

  bool wait_starts(std::size_t count, testkit::Ms timeout = 10s) const {
    return testkit::wait_until([&] { return starts().size() >= count; }, timeout);
  }

  // The events of the stand-in that start `pid` became.
  std::string app_events(pid_t pid) const {
    return testkit::read_file(state_ + "/events." + std::to_string(pid)).value_or("");
  }

 private:
  // Lines "<fd> <target>" of the shell's /proc/<pid>/fd.
  static std::map<int, std::string> parse_listing(const std::string& text, const std::string& script) {
    std::map<int, std::string> fds;
    std::error_code ec;
    const std::string own = std::filesystem::canonical(script, ec).string();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      const std::size_t space = line.find(' ');
      if (space == std::string::npos) continue;
      std::string target = line.substr(space + 1);
      if (target != own) fds[std::stoi(line.substr(0, space))] = std::move(target);  // the script itself
    }
    return fds;
  }

  // The shell's descriptors are listed by another program that writes the listing itself, so that no
  // redirection made by the shell shows up in them; the start record appears whole, after the listing.
  void install(const std::string& path, const std::string& tail) const {
    const std::string script = "#!/bin/sh\n"
                               "state='" + state_ + "'\n"
                               "find /proc/$$/fd/ -mindepth 1 -fprintf \"$state/fds.$$\" '%f %l\\n'\n"
                               "printf '%s\\n' \"$0\" \"$*\" > \"$state/.start.$$\"\n"
                               "mv \"$state/.start.$$\" \"$state/start.$$\"\n" +
                               tail;
    ASSERT_TRUE(testkit::write_file(path, script, 0755)) << path;
  }

  const ScratchHome& home_;
  std::string state_;
};

}  // namespace karvo::launchtest
