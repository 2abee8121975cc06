// karvo-doctor against staged failures: one scratch home per case, a browser with our manifest and a
// running stand-in application, with one thing broken at a time.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <utility>

#include "browsers.h"
#include "checks.h"
#include "manifest.h"
#include "registration.h"
#include "testkit.h"

namespace karvo::doctor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testkit::ScratchHome;
using testkit::StandinApp;
using namespace std::chrono_literals;

constexpr std::string_view kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr std::string_view kOtherOrigin = "chrome-extension://pppppppppppppppppppppppppppppppp/";
constexpr std::string_view kFirefoxId = "bridge@karvo.com";
constexpr std::string_view kHost = "/opt/karvo/karvo-host";  // as the manifests name it, under the root
constexpr std::string_view kDbusDaemon = "/usr/bin/dbus-daemon";

struct DoctorRun {
  int status = -1;
  std::string out;
};

// A scratch home and root in which Chromium has been used and a karvo-host is installed.
struct Staging {
  Staging() {
    EXPECT_TRUE(testkit::write_file(root_ + std::string(kHost), "#!/bin/sh\n", 0755));
    EXPECT_TRUE(testkit::write_file(root_ + "/opt/karvo/Karvo", "#!/bin/sh\n", 0755));  // what a launch starts
    EXPECT_TRUE(testkit::write_file(home_.path() + "/.config/chromium/Local State", "{}"));
  }
  // Copies of the tools beside the staged host, as an installation has them.
  void install_tools() {
    for (const char* tool : {"karvo-doctor", "karvo-register"}) {
      const std::string to = root_ + "/opt/karvo/" + tool;
      std::filesystem::copy_file(testkit::bin(tool), to, std::filesystem::copy_options::overwrite_existing);
    }
    doctor_ = root_ + "/opt/karvo/karvo-doctor";
  }

  std::string manifest_path(reg::Browser b, reg::Scope s = reg::Scope::user) const {
    return reg::manifest_path(b, s, places());
  }
  void write_manifest(std::string_view text, reg::Browser b = reg::Browser::chromium,
                      reg::Scope s = reg::Scope::user) const {
    EXPECT_TRUE(testkit::write_file(manifest_path(b, s), text));
  }
  void register_chromium(std::vector<std::string> origins = {std::string(kOrigin)}) const {
    write_manifest(reg::manifest_text(reg::Family::chromium, kHost, origins));
  }
  void start_app(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--token", token_});
    app_ = std::make_unique<StandinApp>(home_, std::move(options));
    EXPECT_TRUE(app_->ok());
  }
  // Every case but the one under test is healthy.
  void stage_all_well() {
    register_chromium();
    start_app();
  }
  std::string lock_path() const { return home_.data_dir() + "/launch.lock"; }
  void stage_lock(std::time_t age_seconds) const {
    EXPECT_TRUE(testkit::write_file(lock_path(), ""));
    const timespec when[2] = {{std::time(nullptr) - age_seconds, 0}, {std::time(nullptr) - age_seconds, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, lock_path().c_str(), when, 0), 0);
  }

  DoctorRun doctor(std::vector<std::string> args = {"--origin", std::string(kOrigin)}) {
    args.insert(args.begin(), {doctor_, "--root", root_});
    testkit::Child c(std::move(args), env());
    DoctorRun r;
    r.out = c.read_until_eof(30s);
    r.status = c.wait_exit(30s).value_or(-1);
    r.out += c.stderr_text();
    EXPECT_THAT(r.out, Not(HasSubstr(token_)));  // the token is never shown
    // One finding a line, whatever the files held: no control character but the line feeds.
    const bool findings = r.status != 2 && !r.out.starts_with("karvo-doctor ");
    for (std::size_t at = 0; at < r.out.size();) {
      const std::size_t end = r.out.find('\n', at);
      const std::string line = r.out.substr(at, end - at);
      at = end == std::string::npos ? r.out.size() : end + 1;
      EXPECT_TRUE(!findings || line.starts_with("ok: ") || line.starts_with("note: ") ||
                  line.starts_with("problem: ") || line == "all is well" || line.ends_with(" found"))
          << line;
      EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char ch) { return (ch >= 0 && ch < 0x20) || ch == 0x7f; }))
          << line;
    }
    return r;
  }

  // No session bus unless a case gives one: the desktop's own must not leak in.
  std::vector<std::string> env() const {
    std::vector<std::string> e = {"XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_DATA_DIRS=", "DBUS_SESSION_BUS_ADDRESS=",
                                  "XDG_RUNTIME_DIR="};
    for (const std::string& x : extra_env_) {
      std::erase_if(e, [&](const std::string& d) { return d.substr(0, d.find('=')) == x.substr(0, x.find('=')); });
      e.push_back(x);
    }
    return home_.env(e);
  }
  reg::Places places() const {
    return {reg::Os::linux_os, root_, home_.path(), home_.path() + "/.config", home_.path() + "/.local/share"};
  }
  // karvo-register's install with --in-sandbox, for `b`'s Flatpak.
  void register_in_sandbox(reg::Browser b) const {
    reg::Request req;
    req.browsers = {b};
    req.origins = {std::string(kOrigin)};
    req.firefox_ids = {std::string(kFirefoxId)};
    req.host_path = std::string(kHost);
    req.in_sandbox = true;
    const reg::Outcome o = reg::run_request(req, places());
    EXPECT_TRUE(o.ok);
  }

  // A session bus of this case's own, on which nothing provides the native messaging proxy.
  void start_bus() {
    const std::string dir = home_.path() + "/bus";
    ASSERT_TRUE(testkit::write_file(dir + "/bus.conf", "<busconfig><type>session</type><listen>unix:path=" + dir +
                                                           "/socket</listen><servicedir>" + dir +
                                                           "/services</servicedir><policy context=\"default\">"
                                                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                                           "<allow own=\"*\"/>"
                                                           "</policy></busconfig>\n"));
    ASSERT_TRUE(testkit::make_dirs(dir + "/services"));
    bus_ = std::make_unique<testkit::Child>(
        std::vector<std::string>{std::string(kDbusDaemon), "--config-file=" + dir + "/bus.conf", "--nofork",
                                 "--print-address"});
    std::optional<std::string> address = bus_->read_line(10s);
    ASSERT_TRUE(address.has_value());
    while (!address->empty() && address->back() == '\n') address->pop_back();
    extra_env_.push_back("DBUS_SESSION_BUS_ADDRESS=" + *address);
  }

  ScratchHome home_;
  std::unique_ptr<testkit::Child> bus_;
  std::vector<std::string> extra_env_;
  std::string root_ = home_.path() + "/root";
  std::string token_ = "tok-3f9a1c-never-printed";
  std::unique_ptr<StandinApp> app_;
  std::string doctor_ = testkit::bin("karvo-doctor");
};

class Doctor : public ::testing::Test, protected Staging {};

TEST_F(Doctor, AllWell) {
  // The real host, whose version the doctor reads from its program file.
  std::filesystem::copy_file(testkit::bin("karvo-host"), root_ + std::string(kHost),
                             std::filesystem::copy_options::overwrite_existing);
  stage_all_well();
  const DoctorRun r = doctor();
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string manifest = manifest_path(reg::Browser::chromium);
  EXPECT_THAT(r.out, HasSubstr("ok: Chromium: manifest " + manifest + "\n"));
  EXPECT_THAT(r.out, HasSubstr("ok: Chromium: host " + root_ + std::string(kHost) + " is executable\n"));
  EXPECT_THAT(r.out, HasSubstr("ok: Chromium: allows " + std::string(kOrigin) + "\n"));
  EXPECT_THAT(r.out, ::testing::ContainsRegex("note: karvo-host " + root_ + std::string(kHost) +
                                              " is version [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  EXPECT_THAT(r.out, HasSubstr("ok: endpoint file " + home_.ipc_path() + " (port " + std::to_string(app_->port()) + ")"));
  EXPECT_THAT(r.out, HasSubstr("ok: Karvo accepts connections on 127.0.0.1:" + std::to_string(app_->port())));
  EXPECT_THAT(r.out, HasSubstr("ok: no launch under way"));
  EXPECT_THAT(r.out, ::testing::EndsWith("all is well\n"));
  // A policy that blocks every host but allows ours, and one for another browser, stop nothing.
  ASSERT_TRUE(testkit::write_file(root_ + "/etc/chromium/policies/managed/1.json",
                                  R"({"NativeMessagingBlocklist": ["*"]})"));
  ASSERT_TRUE(testkit::write_file(root_ + "/etc/chromium/policies/managed/2.json",
                                  R"({"NativeMessagingAllowlist": ["com.karvo.bridge"]})"));
  ASSERT_TRUE(testkit::write_file(root_ + "/etc/opt/chrome/policies/managed/1.json",
                                  R"({"NativeMessagingBlocklist": ["*"]})"));
  EXPECT_EQ(doctor().status, 0);
  EXPECT_THAT(r.out, Not(HasSubstr("problem:")));
  // Only browsers found here are checked; no extension named gives a note with what is allowed.
  EXPECT_THAT(r.out, Not(HasSubstr("Firefox")));
  EXPECT_THAT(doctor({}).out, HasSubstr("note: Chromium: allows " + std::string(kOrigin) + " (give --origin"));
}

// Each staged failure, the line that explains it, and the exit status.
TEST_F(Doctor, StagedFailures) {
  struct Case {
    std::string name;
    std::function<void(Staging&)> stage;
    std::function<std::string(Staging&)> line;
  };
  const std::vector<Case> cases = {
      {"no manifest", [](Staging& d) { d.start_app(); },
       [](Staging& d) {
         return "problem: Chromium: no manifest of com.karvo.bridge (looked for " +
                d.manifest_path(reg::Browser::chromium) + ", " +
                d.manifest_path(reg::Browser::chromium, reg::Scope::system) +
                "); register it: karvo-register install --browser chromium --root " + d.root_ + " --origin " +
                std::string(kOrigin);
       }},
      {"manifest not JSON",
       [](Staging& d) {
         d.write_manifest("{\"name\": \"com.karvo.bridge\",");
         d.start_app();
       },
       [](Staging& d) {
         return "problem: Chromium: manifest " + d.manifest_path(reg::Browser::chromium) +
                " is unusable: it is not valid JSON; write it anew: karvo-register install --browser chromium --root " +
                d.root_ + " --origin " + std::string(kOrigin) + " --replace";
       }},
      {"manifest for Firefox in Chromium's folder",
       [](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::firefox, kHost, {std::string(kFirefoxId)}));
         d.start_app();
       },
       [](Staging&) { return std::string("is unusable: it has no \"allowed_origins\" list"); }},
      {"host missing",
       [](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt/karvo/gone", {std::string(kOrigin)}));
         d.start_app();
       },
       [](Staging& d) {
         return "problem: Chromium: the manifest names " + d.root_ + "/opt/karvo/gone, which does not exist";
       }},
      {"host not executable",
       [](Staging& d) {
         ASSERT_EQ(::chmod((d.root_ + std::string(kHost)).c_str(), 0644), 0);
         d.stage_all_well();
       },
       [](Staging& d) {
         return "problem: Chromium: the manifest names " + d.root_ + std::string(kHost) +
                ", which is not an executable file; make it executable";
       }},
      {"extension not allowed",
       [](Staging& d) {
         d.register_chromium({std::string(kOtherOrigin)});
         d.start_app();
       },
       [](Staging& d) {
         return "problem: Chromium: " + std::string(kOrigin) + " is not allowed to connect (" +
                d.manifest_path(reg::Browser::chromium) + " allows " + std::string(kOtherOrigin) +
                "); allow it too: karvo-register allow --browser chromium --root " + d.root_ + " --origin " +
                std::string(kOrigin);
       }},
      {"no endpoint file", [](Staging& d) { d.register_chromium(); },
       [](Staging& d) {
         return "problem: no endpoint file " + d.home_.ipc_path() + ": Karvo is not running, or has not said where it "
                "listens; start Karvo";
       }},
      {"endpoint file not an object",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(d.home_.write_ipc(R"(["port", 8080])"));
       },
       [](Staging& d) {
         return "problem: endpoint file " + d.home_.ipc_path() + " is unusable: it is not a JSON object; quit and "
                "restart Karvo";
       }},
      {"endpoint file without a token",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(d.home_.write_ipc(R"({"port": 8080, "token": 5})"));
       },
       [](Staging&) { return std::string("is unusable: it has no \"token\" that is text"); }},
      {"endpoint file with a fractional port",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(d.home_.write_ipc(R"({"port": 8080.0, "token": "tok-3f9a1c-never-printed"})"));
       },
       [](Staging&) { return std::string("is unusable: it has no \"port\" that is a whole number"); }},
      {"endpoint directory in the file's place",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::make_dirs(d.home_.ipc_path()));
       },
       [](Staging& d) {
         return "problem: the endpoint file " + d.home_.ipc_path() + " is a folder, so Karvo cannot write it there; "
                "remove it, then start Karvo: rmdir '" + d.home_.ipc_path() + "'";
       }},
      {"endpoint file with a port out of range",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(d.home_.write_ipc(R"({"port": 70000, "token": "tok-3f9a1c-never-printed"})"));
       },
       [](Staging&) { return std::string("is unusable: its \"port\" 70000 is not a TCP port (1 to 65535)"); }},
      {"host is a folder",
       [](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt", {std::string(kOrigin)}));
         d.start_app();
       },
       [](Staging& d) {
         return "problem: Chromium: the manifest names " + d.root_ + "/opt, which is not a file, let alone "
                "karvo-host; register the right one (put the path of karvo-host in place of HOST): karvo-register "
                "install --browser chromium --root " + d.root_ + " --origin " + std::string(kOrigin) + " --host HOST";
       }},
      {"policy blocks every host",
       [](Staging& d) {
         d.stage_all_well();
         ASSERT_TRUE(testkit::write_file(d.root_ + "/etc/chromium/policies/managed/lockdown.json",
                                         R"({"NativeMessagingBlocklist": ["*"]})"));
       },
       [](Staging& d) {
         return "problem: Chromium: the policy in " + d.root_ + "/etc/chromium/policies/managed/lockdown.json blocks "
                "native messaging hosts (NativeMessagingBlocklist), and NativeMessagingAllowlist does not name "
                "com.karvo.bridge";
       }},
      {"policy ignores the user's manifests",
       [](Staging& d) {
         d.stage_all_well();
         ASSERT_TRUE(testkit::write_file(d.root_ + "/etc/chromium/policies/managed/a.json",
                                         R"({"NativeMessagingUserLevelHosts": false})"));
       },
       [](Staging& d) {
         return "problem: Chromium: no manifest of com.karvo.bridge (looked for " +
                d.manifest_path(reg::Browser::chromium, reg::Scope::system) +
                "); register it (as root): karvo-register install --browser chromium --system --root " + d.root_;
       }},
      {"nothing that a launch could start: Karvo not running is the one problem",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_EQ(::unlink((d.root_ + "/opt/karvo/Karvo").c_str()), 0);
       },
       [](Staging& d) {
         return "note: a launch cannot start Karvo: nothing at " + d.root_ + "/opt/karvo/Karvo, " + d.root_ +
                "/opt/karvo/karvo, and no desktop entry com.karvo.app.desktop in " + d.home_.path() +
                "/.local/share/applications, " + d.root_ + "/usr/local/share/applications, " + d.root_ +
                "/usr/share/applications; an extension that asks for a launch waits 20 s";
       }},
      {"nothing listening",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(d.home_.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) + R"(,"token":")" +
                                       d.token_ + R"("})"));
       },
       [](Staging&) { return std::string("problem: nothing answers on 127.0.0.1:"); }},
      {"token refused",
       [](Staging& d) {
         d.register_chromium();
         d.start_app({"--refuse-all"});
       },
       [](Staging& d) {
         return "problem: the program on 127.0.0.1:" + std::to_string(d.app_->port()) +
                " did not accept the endpoint file's token";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Staging d;  // each case in a home of its own
    c.stage(d);
    const DoctorRun r = d.doctor();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.out, HasSubstr(c.line(d))) << r.out;
    EXPECT_THAT(r.out, HasSubstr("1 problem found\n"));
  }
}

// Files planted by someone else: far too large (sparse, so they cost no disk), not files at all, or
// holding control characters. The doctor reads a bounded amount, never waits, and prints one line a
// finding with the control characters shown as \xNN.
TEST_F(Doctor, HugeAndHostileFiles) {
  constexpr off_t kHuge = off_t{4} << 30;
  const auto sparse = [](const std::string& path) {
    ASSERT_TRUE(testkit::write_file(path, ""));
    ASSERT_EQ(::truncate(path.c_str(), kHuge), 0);
  };
  struct Case {
    std::string name;
    std::function<void(Staging&)> stage;
    std::function<std::string(Staging&)> line;
    int status;
    std::vector<std::string> args = {"--origin", std::string(kOrigin)};
  };
  const std::string forged = "/opt/\x1b[2J\x07\nproblem: forged\r";
  const std::vector<Case> cases = {
      {"huge manifest", [&](Staging& d) { d.start_app(); sparse(d.manifest_path(reg::Browser::chromium)); },
       [](Staging& d) {
         return "problem: Chromium: " + d.manifest_path(reg::Browser::chromium) + " is larger than 1 MiB, which no "
                "manifest is; write it anew: karvo-register install --browser chromium --root " + d.root_ +
                " --origin " + std::string(kOrigin) + " --replace\n";
       },
       1},
      {"manifest is a FIFO",
       [](Staging& d) {
         d.start_app();
         ASSERT_TRUE(testkit::make_dirs(reg::manifest_dir(reg::Browser::chromium, reg::Scope::user, d.places())));
         ASSERT_EQ(::mkfifo(d.manifest_path(reg::Browser::chromium).c_str(), 0644), 0);
       },
       [](Staging& d) {
         return "problem: Chromium: " + d.manifest_path(reg::Browser::chromium) + " is not a file but a FIFO, a "
                "socket or a device; take it away, then register again: rm " +
                d.manifest_path(reg::Browser::chromium) + "\n";
       },
       1},
      {"huge endpoint file", [&](Staging& d) { d.register_chromium(); sparse(d.home_.ipc_path()); },
       [](Staging& d) {
         return "problem: the endpoint file " + d.home_.ipc_path() + " is larger than any that Karvo writes (64 KiB)";
       },
       1},
      {"huge policy file, which no browser reads either",
       [&](Staging& d) {
         d.stage_all_well();
         sparse(d.root_ + "/etc/chromium/policies/managed/huge.json");
       },
       [](Staging& d) { return "ok: Chromium: manifest " + d.manifest_path(reg::Browser::chromium) + "\n"; }, 0},
      {"huge host",
       [&](Staging& d) {
         d.stage_all_well();
         sparse(d.root_ + std::string(kHost));
         ASSERT_EQ(::chmod((d.root_ + std::string(kHost)).c_str(), 0755), 0);
       },
       [](Staging& d) {
         return "note: karvo-host " + d.root_ + std::string(kHost) + " carries no version mark: it is older than "
                "0.1.0, or not karvo-host (or larger than 64 MiB";
       },
       0},
      {"control characters in the manifest's host and origins",
       [&](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, forged,
                                             {std::string(kOrigin), "chrome-extension://\x1b]0;title\x07/"}));
         d.start_app();
       },
       [](Staging& d) {
         return "problem: Chromium: the manifest names " + d.root_ +
                "/opt/\\x1b[2J\\x07\\x0aproblem: forged\\x0d, which does not exist";
       },
       1},
      {"control characters in a policy file's name, with C1 controls and bytes that are not UTF-8",
       [](Staging& d) {
         d.stage_all_well();
         ASSERT_TRUE(testkit::write_file(d.root_ + "/etc/chromium/policies/managed/\x1b[31m\xc2\x9b\xff.json",
                                         R"({"NativeMessagingBlocklist": ["*"]})"));
       },
       [](Staging& d) {
         return "problem: Chromium: the policy in " + d.root_ +
                "/etc/chromium/policies/managed/\\x1b[31m\\xc2\\x9b\\xff.json blocks native messaging hosts";
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Staging d;
    c.stage(d);
    const DoctorRun r = d.doctor(c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_THAT(r.out, HasSubstr(c.line(d))) << r.out;
    EXPECT_THAT(r.out, Not(HasSubstr("out of memory")));
  }
}

// Splits a command that the doctor printed as a POSIX shell would (plain words and '...' quoting).
std::vector<std::string> shell_words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      const std::size_t end = text.find('\'', i + 1);
      word.append(text.substr(i + 1, end - i - 1));
      i = end;
      in_word = true;
    } else if (c == ' ') {
      if (in_word) out.push_back(std::exchange(word, {}));
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) out.push_back(word);
  return out;
}

// Every piece of advice works when followed: run the exact command that the doctor prints, and the
// finding is gone.
TEST_F(Doctor, AdviceWorksWhenFollowed) {
  struct Case {
    std::string name;
    std::function<void(Staging&)> stage;
    std::string finding;  // identifies the problem line
    bool bus = false;     // on a session bus of its own, without the native messaging proxy
    std::vector<std::string> args = {"--origin", std::string(kOrigin)};
    bool needs_non_root = false;  // root reads any file whatever its mode
  };
  const auto with_app = [](std::function<void(Staging&)> f) {
    return [f](Staging& d) {
      f(d);
      d.start_app();
    };
  };
  const std::vector<Case> cases = {
      {"no manifest", with_app([](Staging&) {}), "problem: Chromium: no manifest"},
      {"manifest not JSON", with_app([](Staging& d) { d.write_manifest("{\"name\": \"com.karvo"); }), "is unusable"},
      {"manifest path is a folder",
       with_app([](Staging& d) { ASSERT_TRUE(testkit::make_dirs(d.manifest_path(reg::Browser::chromium))); }),
       "is an empty folder, not a manifest"},
      {"manifest path is a folder with a file in it",
       with_app([](Staging& d) {
         ASSERT_TRUE(testkit::write_file(d.manifest_path(reg::Browser::chromium) + "/notes.txt", "mine"));
       }),
       "is a folder with something in it"},
      {"manifest folder closed to its owner",
       with_app([](Staging& d) {
         d.register_chromium();
         ASSERT_EQ(::chmod(reg::manifest_dir(reg::Browser::chromium, reg::Scope::user, d.places()).c_str(), 0), 0);
       }),
       "cannot read", false, {"--origin", std::string(kOrigin)}, true},
      {"no extension named: the command says what to fill in", with_app([](Staging&) {}),
       "problem: Chromium: no manifest", false, {}},
      {"host missing",
       with_app([](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt/gone", {std::string(kOtherOrigin)}));
       }),
       "which does not exist"},
      {"host is a folder",
       with_app([](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt", {std::string(kOrigin)}));
       }),
       "which is not a file"},
      {"host not executable",
       with_app([](Staging& d) {
         d.register_chromium();
         ASSERT_EQ(::chmod((d.root_ + std::string(kHost)).c_str(), 0644), 0);
       }),
       "which is not an executable file"},
      {"second extension", with_app([](Staging& d) { d.register_chromium({std::string(kOtherOrigin)}); }),
       "is not allowed to connect"},
      {"system-wide manifest without the extension",
       with_app([](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, kHost, {std::string(kOtherOrigin)}),
                          reg::Browser::chromium, reg::Scope::system);
       }),
       "is not allowed to connect"},
      {"endpoint file is a folder",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::make_dirs(d.home_.ipc_path()));
       },
       "is a folder, so Karvo cannot write it"},
      {"policy ignores the user's manifests",
       with_app([](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::write_file(d.root_ + "/etc/chromium/policies/managed/a.json",
                                         R"({"NativeMessagingUserLevelHosts": false})"));
       }),
       "problem: Chromium: no manifest"},
      {"endpoint file is a pipe",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::make_dirs(d.home_.data_dir()));
         ASSERT_EQ(::mkfifo(d.home_.ipc_path().c_str(), 0600), 0);
       },
       "is not a regular file"},
      // Flatpak browsers on a session bus that has no native messaging proxy: the host goes inside.
      {"Flatpak browser with the proxy's manifest only, and no proxy",
       with_app([](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
       }),
       "the desktop has no native messaging proxy, and the host is not inside", true},
      {"Flatpak browser with nothing registered, and no bus to ask",
       with_app([](Staging& d) {
         ASSERT_TRUE(testkit::make_dirs(d.root_ + "/var/lib/flatpak/app/com.brave.Browser"));
       }),
       "Brave (Flatpak com.brave.Browser): no manifest of com.karvo.bridge where"},
      {"Flatpak browser behind Google Chrome's manifest, which does not allow the extension",
       with_app([](Staging& d) {
         d.register_chromium();
         d.write_manifest(reg::manifest_text(reg::Family::chromium, kHost, {std::string(kOtherOrigin)}),
                          reg::Browser::chrome);
         ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
       }),
       "which does not allow"},
      {"Flatpak browser behind Google Chrome's manifest, whose host is gone",
       with_app([](Staging& d) {
         d.register_chromium();
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt/gone", {std::string(kOrigin)}),
                          reg::Browser::chrome);
         ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
       }),
       "is no executable file, so starting it fails"},
      {"host inside the sandbox without the override",
       with_app([](Staging& d) {
         ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.mozilla.firefox"));
         d.register_in_sandbox(reg::Browser::firefox);
         ASSERT_EQ(::unlink(reg::flatpak_override_path(reg::Browser::firefox, d.places()).c_str()), 0);
       }),
       "cannot read Karvo's data directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.needs_non_root && ::geteuid() == 0) || (c.bus && !testkit::path_exists(std::string(kDbusDaemon)))) continue;
    Staging d;
    d.install_tools();
    if (c.bus) d.start_bus();
    c.stage(d);
    const DoctorRun before = d.doctor(c.args);
    std::string line;
    for (std::size_t at = 0; at < before.out.size();) {
      const std::size_t end = before.out.find('\n', at);
      const std::string l = before.out.substr(at, end - at);
      if (l.starts_with("problem: ") && l.find(c.finding) != std::string::npos) line = l;
      at = end == std::string::npos ? before.out.size() : end + 1;
    }
    ASSERT_FALSE(line.empty()) << before.out;
    std::size_t from = std::string::npos;
    for (const char* command : {": karvo-register ", ": chmod ", ": rmdir ", ": rm ", ": mv "}) {
      if (const std::size_t at = line.rfind(command); at != std::string::npos) from = at + 2;
    }
    ASSERT_NE(from, std::string::npos) << line;
    std::vector<std::string> argv = shell_words(line.substr(from));
    argv[0] = argv[0] == "karvo-register" ? d.root_ + "/opt/karvo/karvo-register" : "/bin/" + argv[0];
    // What the advice says to put in place of its placeholders.
    for (std::string& word : argv) {
      if (word == "ID") word = std::string(kOrigin);
      if (word == "HOST") word = std::string(kHost);
      EXPECT_EQ(word.find_first_of("<>"), std::string::npos) << line;
    }
    testkit::Child command(argv, d.env());
    const std::string said = command.read_until_eof(30s);
    EXPECT_EQ(command.wait_exit(30s), 0) << line << "\n" << said << command.stderr_text();
    const DoctorRun after = d.doctor(c.args);
    EXPECT_THAT(after.out, Not(HasSubstr(line))) << after.out;
    EXPECT_THAT(after.out, Not(HasSubstr(c.finding))) << after.out;
  }
}

// The lines of the findings, each followed by a line feed, as the doctor prints them.
std::string printed(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) out += format(f) + "\n";
  return out;
}

// A Flatpak browser is judged as the native messaging proxy judges: the first manifest of its list
// that it can read and that names our host is the one served, whatever comes after it; and whether the
// proxy is there is asked of the session bus (here a stand-in), never guessed from files.
TEST_F(Doctor, NativeMessagingProxyJudgement) {
  struct Row {
    std::string_view name;
    BusName bus;
    bool service_file;  // the proxy's D-Bus service file in the user's data folder
    std::function<void(Staging&)> stage;
    std::vector<std::string> lines;  // each found in the output (with the paths of the case)
    bool problem;
  };
  const BusName no_bus{false, false, false, "DBUS_SESSION_BUS_ADDRESS is not set"};
  const BusName running{true, true, false, {}};
  const BusName startable{true, false, true, {}};
  const BusName absent{true, false, false, {}};
  const std::string chrome = "@home/.config/google-chrome/NativeMessagingHosts/com.karvo.bridge.json";
  const std::string chromium = "@home/.config/chromium/NativeMessagingHosts/com.karvo.bridge.json";
  const std::string flatpak = "Chromium (Flatpak org.chromium.Chromium): ";
  const auto origins = [](std::string_view a) { return std::vector<std::string>{std::string(a)}; };
  const std::vector<Row> rows = {
      {"shadowing: Google Chrome's manifest is served, and does not allow the extension", startable, true,
       [&](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, kHost, origins(kOtherOrigin)), reg::Browser::chrome);
         d.register_chromium();
       },
       {"problem: " + flatpak + "the native messaging proxy serves " + chrome + " (the first manifest of its list, "
        "before " + chromium + "), which does not allow " + std::string(kOrigin) + " (it allows " +
        std::string(kOtherOrigin) + "); mend it: karvo-register allow --browser chrome --root @root --origin " +
        std::string(kOrigin)},
       true},
      {"dead host behind a shadowing file", running, false,
       [&](Staging& d) {
         d.write_manifest(reg::manifest_text(reg::Family::chromium, "/opt/gone/karvo-host", origins(kOrigin)),
                          reg::Browser::chrome);
         d.register_chromium();
       },
       {"problem: " + flatpak + "the native messaging proxy serves " + chrome + " (the first manifest of its list, "
        "before " + chromium + "), whose host @root/opt/gone/karvo-host is no executable file, so starting it fails; "
        "mend it (put the path of karvo-host in place of HOST): karvo-register install --browser chrome --root @root "
        "--origin " + std::string(kOrigin) + " --host HOST\n"},
       true},
      {"a file that the proxy cannot take is passed over, as the proxy does", startable, false,
       [&](Staging& d) {
         d.write_manifest("{\"name\": \"com.karvo.bridge\", \"type\": \"stdio\", \"path\": \"relative\"}",
                          reg::Browser::chrome);
         d.register_chromium();
       },
       {"ok: " + flatpak + "the native messaging proxy serves " + chromium + "\n"},
       false},
      {"bus present without a service file: the proxy runs", running, false, [](Staging& d) { d.register_chromium(); },
       {"ok: the desktop's native messaging proxy (org.freedesktop.NativeMessagingProxy) runs on the session bus",
        "ok: " + flatpak + "the native messaging proxy serves " + chromium + "\n"},
       false},
      {"service file without a bus", no_bus, true, [](Staging& d) { d.register_chromium(); },
       {"note: could not ask the session bus whether the desktop's native messaging proxy "
        "(org.freedesktop.NativeMessagingProxy) runs or can be started: DBUS_SESSION_BUS_ADDRESS is not set (its "
        "service file @home/.local/share/dbus-1/services/org.freedesktop.NativeMessagingProxy.service is here); to "
        "check the Flatpak and Snap browsers fully, run karvo-doctor in a terminal of your desktop session",
        "note: " + flatpak + "the native messaging proxy serves " + chromium + ", which works once the proxy answers"},
       false},
      {"no bus at all, nothing registered", no_bus, false, [](Staging&) {},
       {"problem: " + flatpak + "no manifest of com.karvo.bridge where the native messaging proxy looks",
        "register it (where the desktop has no native messaging proxy, add --in-sandbox): karvo-register install "
        "--browser chromium --root @root --origin " + std::string(kOrigin) + "\n"},
       true},
      {"a bus without the proxy, whatever the service files say", absent, true,
       [](Staging& d) { d.register_chromium(); },
       {"note: the desktop has no native messaging proxy: nothing holds org.freedesktop.NativeMessagingProxy on the "
        "session bus, and the bus cannot start it (its service file",
        "problem: " + flatpak + "it cannot reach karvo-host: the desktop has no native messaging proxy, and the host "
        "is not inside its sandbox; put it there: karvo-register install --browser chromium --root @root --origin " +
        std::string(kOrigin) + " --in-sandbox\n"},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Staging d;
    ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
    if (row.service_file) {
      ASSERT_TRUE(testkit::write_file(
          d.home_.path() + "/.local/share/dbus-1/services/org.freedesktop.NativeMessagingProxy.service",
          "[D-BUS Service]\n"));
    }
    row.stage(d);
    Options o;
    o.origins = {std::string(kOrigin)};
    std::vector<std::string> asked;
    const std::vector<Finding> findings =
        check_sandboxed_browsers(o, d.places(), [&](std::string_view name) {
          asked.emplace_back(name);
          return row.bus;
        });
    EXPECT_THAT(asked, ::testing::ElementsAre("org.freedesktop.NativeMessagingProxy"));
    const std::string out = printed(findings);
    for (std::string line : row.lines) {
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"@home", d.home_.path()}, {"@root", d.root_}}) {
        for (std::size_t at; (at = line.find(from)) != std::string::npos;) line.replace(at, from.size(), to);
      }
      EXPECT_THAT(out, HasSubstr(line)) << out;
    }
    EXPECT_EQ(out.find("problem:") != std::string::npos, row.problem) << out;
  }
}

// The proxy's list, in its own order: Google Chrome's folders before Chromium's, and Firefox's ending in
// the library folder of the proxy's build (Debian's multiarch one).
TEST_F(Doctor, NativeMessagingProxyList) {
  const reg::Places p = places();
  const std::vector<std::string> firefox = reg::proxy_manifest_dirs(reg::Family::firefox, p);
#if defined(__linux__) && defined(__x86_64__) && defined(__GLIBC__)
  EXPECT_EQ(firefox.back(), root_ + "/usr/lib/x86_64-linux-gnu/mozilla/native-messaging-hosts");
#endif
  // A Firefox Flatpak whose manifest lies only there is served.
  ASSERT_TRUE(testkit::make_dirs(home_.path() + "/.var/app/org.mozilla.firefox"));
  ASSERT_TRUE(testkit::write_file(firefox.back() + "/com.karvo.bridge.json",
                                  reg::manifest_text(reg::Family::firefox, kHost, {std::string(kFirefoxId)})));
  Options o;
  o.firefox_ids = {std::string(kFirefoxId)};
  o.browsers = {reg::Browser::firefox};
  const std::string out = printed(check_sandboxed_browsers(o, p, [](std::string_view) { return BusName{true, true, false, {}}; }));
  EXPECT_THAT(out, HasSubstr("ok: Firefox (Flatpak org.mozilla.firefox): the native messaging proxy serves " +
                             firefox.back() + "/com.karvo.bridge.json\n"));
}

// The real session bus client: without a bus, or with a dead one, the doctor says it could not ask,
// and finds nothing against a Flatpak whose manifest the proxy would serve.
TEST_F(Doctor, NoSessionBusToAsk) {
  stage_all_well();
  ASSERT_TRUE(testkit::make_dirs(home_.path() + "/.var/app/org.chromium.Chromium"));
  DoctorRun r = doctor();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("note: could not ask the session bus whether the desktop's native messaging proxy "
                               "(org.freedesktop.NativeMessagingProxy) runs or can be started: "
                               "DBUS_SESSION_BUS_ADDRESS is not set and there is no socket $XDG_RUNTIME_DIR/bus;"));
  extra_env_.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + home_.path() + "/no-bus");
  r = doctor();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("cannot connect to the bus at unix:path=" + home_.path() + "/no-bus"));
}

TEST_F(Doctor, LaunchLocksAreReportedWithTheirAge) {
  stage_all_well();
  stage_lock(3);
  DoctorRun r = doctor();
  EXPECT_EQ(r.status, 0) << r.out;  // a launch under way stops nobody
  EXPECT_THAT(r.out, ::testing::ContainsRegex("note: launch lock " + lock_path() +
                                              " taken [34] s ago: a host is starting Karvo"));
  stage_lock(400);
  r = doctor();
  EXPECT_EQ(r.status, 0) << r.out;  // the next launch replaces it
  EXPECT_THAT(r.out, ::testing::ContainsRegex("note: stale launch lock " + lock_path() +
                                              " \\(taken 40[01] s ago\\), left by a host that ended"));
  stage_lock(-3600);
  EXPECT_THAT(doctor().out, HasSubstr("note: launch lock " + lock_path() + " is dated in the future"));
  EXPECT_TRUE(testkit::path_exists(lock_path()));  // the doctor changes nothing
}

TEST_F(Doctor, FirefoxAndSystemWideManifests) {
  start_app();
  ASSERT_TRUE(testkit::write_file(home_.path() + "/.mozilla/firefox/profiles.ini", "[General]\n"));
  // A system-wide manifest for a browser that is not here (as a package writes them) is not judged.
  write_manifest(reg::manifest_text(reg::Family::chromium, "/gone", {std::string(kOrigin)}), reg::Browser::edge,
                 reg::Scope::system);
  // System-wide manifests count when the user has none; the user's come first.
  write_manifest(reg::manifest_text(reg::Family::chromium, kHost, {std::string(kOrigin)}), reg::Browser::chromium,
                 reg::Scope::system);
  write_manifest(reg::manifest_text(reg::Family::firefox, kHost, {"other@karvo.com"}), reg::Browser::firefox,
                 reg::Scope::system);
  DoctorRun r = doctor({"--origin", std::string(kOrigin), "--extension-id", std::string(kFirefoxId)});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_THAT(r.out, HasSubstr("ok: Chromium: manifest " + manifest_path(reg::Browser::chromium, reg::Scope::system)));
  EXPECT_THAT(r.out, HasSubstr("problem: Firefox: bridge@karvo.com is not allowed to connect (" +
                               manifest_path(reg::Browser::firefox, reg::Scope::system) +
                               " allows other@karvo.com); allow it too: karvo-register allow --browser firefox "
                               "--system --root " + root_ + " --extension-id bridge@karvo.com"));
  write_manifest(reg::manifest_text(reg::Family::firefox, kHost, {std::string(kFirefoxId)}), reg::Browser::firefox);
  r = doctor({"--origin", std::string(kOrigin), "--extension-id", std::string(kFirefoxId)});
  EXPECT_EQ(r.status, 0) << r.out;
  // An enterprise policy that blocks every extension but ours stops nothing; one that blocks ours does.
  const std::string policies = root_ + "/etc/firefox/policies/policies.json";
  ASSERT_TRUE(testkit::write_file(policies, R"({"policies": {"ExtensionSettings": {"*": {"installation_mode": "blocked"},
      "bridge@karvo.com": {"installation_mode": "allowed"}}}})"));
  EXPECT_EQ(doctor({"--origin", std::string(kOrigin), "--extension-id", std::string(kFirefoxId)}).status, 0);
  ASSERT_TRUE(testkit::write_file(policies, R"({"policies": {"ExtensionSettings": {"*": {"installation_mode": "blocked"}}}})"));
  EXPECT_THAT(doctor({"--origin", std::string(kOrigin), "--extension-id", std::string(kFirefoxId)}).out,
              HasSubstr("problem: Firefox: the enterprise policy in " + policies +
                        " blocks the extension bridge@karvo.com (ExtensionSettings)"));
  EXPECT_THAT(r.out, HasSubstr("ok: Firefox: manifest " + manifest_path(reg::Browser::firefox)));
  EXPECT_THAT(r.out, HasSubstr("ok: Firefox: allows bridge@karvo.com"));
  EXPECT_THAT(r.out, Not(HasSubstr("Edge")));
  // Waterfox reads ~/.waterfox, not Firefox's folder in the home: it is not here.
  EXPECT_THAT(r.out, Not(HasSubstr("Waterfox")));
  // Firefox reads one system-wide folder: where its library names /usr/lib64/mozilla, a broken manifest
  // there is what it finds, and the one in /usr/lib/mozilla does not count.
  ASSERT_EQ(::unlink(manifest_path(reg::Browser::firefox).c_str()), 0);
  ASSERT_TRUE(testkit::write_file(root_ + "/usr/lib64/firefox/libxul.so", std::string("ELF\0/usr/lib64/mozilla\0", 23)));
  const std::string lib64 = root_ + "/usr/lib64/mozilla/native-messaging-hosts/com.karvo.bridge.json";
  ASSERT_TRUE(testkit::write_file(lib64, "{"));
  r = doctor({"--origin", std::string(kOrigin), "--extension-id", std::string(kFirefoxId)});
  EXPECT_THAT(r.out, HasSubstr("problem: Firefox: manifest " + lib64 + " is unusable: it is not valid JSON; write it "
                               "anew: karvo-register install --browser firefox --system --root " + root_ +
                               " --extension-id bridge@karvo.com --replace\n"))
      << r.out;
}

TEST_F(Doctor, BrowsersToCheck) {
  stage_all_well();
  // A browser found here that the user did not register for is worth a note, not a problem.
  ASSERT_TRUE(testkit::write_file(home_.path() + "/.mozilla/firefox/profiles.ini", "[General]\n"));
  DoctorRun only_chromium = doctor();
  EXPECT_EQ(only_chromium.status, 0) << only_chromium.out;
  EXPECT_THAT(only_chromium.out, HasSubstr("note: Firefox is here but not registered; if your extension runs there "
                                           "too, register it (put your extension's id, such as name@example.com, in "
                                           "place of ID): karvo-register install --browser firefox --root " + root_ +
                                           " --extension-id ID\n"));
  // A browser named on the command line is checked even when nothing shows it is installed.
  const DoctorRun r_edge = doctor({"--browser", "edge", "--origin", std::string(kOrigin)});
  DoctorRun r = r_edge;
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("problem: Microsoft Edge: no manifest of com.karvo.bridge"));
  EXPECT_THAT(r.out, Not(HasSubstr("Chromium")));
  // A Flatpak copy gets its own findings.
  ASSERT_TRUE(testkit::make_dirs(home_.path() + "/.var/app/org.chromium.Chromium"));
  EXPECT_THAT(doctor().out, HasSubstr("note: Chromium (Flatpak org.chromium.Chromium): the native messaging proxy "
                                      "serves " + manifest_path(reg::Browser::chromium) + ", which works once"));
  ASSERT_EQ(::rmdir((home_.path() + "/.var/app/org.chromium.Chromium").c_str()), 0);
  // Without any browser, that is the first problem.
  ASSERT_EQ(::rename((home_.path() + "/.config").c_str(), (home_.path() + "/config.old").c_str()), 0);
  ASSERT_EQ(::rename((home_.path() + "/.mozilla").c_str(), (home_.path() + "/mozilla.old").c_str()), 0);
  r = doctor();
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, ::testing::StartsWith("problem: no supported browser found here"));
  EXPECT_EQ(doctor({"--browser", "opera"}).status, 2);
  EXPECT_EQ(doctor({"--bogus"}).status, 2);
  EXPECT_THAT(doctor({"--version"}).out, ::testing::MatchesRegex("karvo-doctor [0-9.]+\n"));
}

}  // namespace
}  // namespace karvo::doctor
