// karvo-doctor against staged failures: one scratch home per case, a browser with our manifest and a
// running stand-in application, with one thing broken at a time.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <utility>

#include "browsers.h"
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

  ScratchHome home_;
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
    int problems = 1;
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
                "karvo-host; register the right one: karvo-register install --browser chromium --root " + d.root_ +
                " --origin " + std::string(kOrigin) + " --host <where karvo-host is>";
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
      {"nothing that a launch could start",
       [](Staging& d) {
         d.register_chromium();
         ASSERT_EQ(::unlink((d.root_ + "/opt/karvo/Karvo").c_str()), 0);
       },
       [](Staging& d) {
         return "problem: a launch cannot start Karvo: nothing at " + d.root_ + "/opt/karvo/Karvo, " + d.root_ +
                "/opt/karvo/karvo, " + d.root_ + "/opt/karvo/Karvo.exe, " + d.root_ + "/opt/karvo/karvo.exe, " +
                d.root_ + "/Applications/Karvo.app, and no desktop entry com.karvo.app.desktop in " +
                d.home_.path() + "/.local/share/applications, " + d.root_ + "/usr/local/share/applications, " +
                d.root_ + "/usr/share/applications; hosts asked to start Karvo wait 20 s";
       },
       2},
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
    EXPECT_THAT(r.out, HasSubstr(c.problems == 1 ? std::string("1 problem found\n") : "2 problems found\n"));
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
       "is a folder, not a manifest"},
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
      // Flatpak browsers where no session bus reaches a native messaging proxy: the host goes inside.
      {"Flatpak browser with the proxy's manifest only",
       with_app([](Staging& d) {
         d.register_chromium();
         ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
       }),
       "is where the native messaging proxy looks, but there is no session bus"},
      {"Flatpak browser with nothing registered",
       with_app([](Staging& d) {
         ASSERT_TRUE(testkit::make_dirs(d.root_ + "/var/lib/flatpak/app/com.brave.Browser"));
       }),
       "Brave (Flatpak com.brave.Browser): it cannot reach karvo-host"},
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
    Staging d;
    d.install_tools();
    c.stage(d);
    const DoctorRun before = d.doctor();
    std::string line;
    for (std::size_t at = 0; at < before.out.size();) {
      const std::size_t end = before.out.find('\n', at);
      const std::string l = before.out.substr(at, end - at);
      if (l.starts_with("problem: ") && l.find(c.finding) != std::string::npos) line = l;
      at = end == std::string::npos ? before.out.size() : end + 1;
    }
    ASSERT_FALSE(line.empty()) << before.out;
    std::size_t from = std::string::npos;
    for (const char* command : {": karvo-register ", ": chmod ", ": rmdir ", ": rm "}) {
      if (const std::size_t at = line.rfind(command); at != std::string::npos) from = at + 2;
    }
    ASSERT_NE(from, std::string::npos) << line;
    std::vector<std::string> argv = shell_words(line.substr(from));
    argv[0] = argv[0] == "karvo-register" ? d.root_ + "/opt/karvo/karvo-register" : "/bin/" + argv[0];
    testkit::Child command(argv, d.env());
    const std::string said = command.read_until_eof(30s);
    EXPECT_EQ(command.wait_exit(30s), 0) << line << "\n" << said << command.stderr_text();
    const DoctorRun after = d.doctor();
    EXPECT_THAT(after.out, Not(HasSubstr(line))) << after.out;
    EXPECT_THAT(after.out, Not(HasSubstr(c.finding))) << after.out;
  }
}

// A Flatpak browser registered the proxy's way is served only when the session bus can start the proxy.
TEST_F(Doctor, NativeMessagingProxyOnTheSessionBus) {
  struct Row {
    std::string_view name;
    bool runtime_bus;   // $XDG_RUNTIME_DIR/bus, as systemd's user bus has it
    bool address;       // DBUS_SESSION_BUS_ADDRESS
    bool service_file;  // the proxy's D-Bus service
    std::string_view finding;
    int status;
  };
  const Row rows[] = {
      {"no bus", false, false, true, "note: there is no session bus here", 1},
      {"bus without the proxy", false, true, false, "note: the desktop has no native messaging proxy", 1},
      {"bus with the proxy", true, false, true,
       "ok: the desktop's native messaging proxy (org.freedesktop.NativeMessagingProxy) can be started", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Staging d;
    d.stage_all_well();
    ASSERT_TRUE(testkit::make_dirs(d.home_.path() + "/.var/app/org.chromium.Chromium"));
    if (r.runtime_bus) {
      ASSERT_TRUE(testkit::write_file(d.home_.path() + "/run/bus", ""));
      d.extra_env_.push_back("XDG_RUNTIME_DIR=" + d.home_.path() + "/run");
    }
    if (r.address) d.extra_env_.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + d.home_.path() + "/bus");
    if (r.service_file) {
      ASSERT_TRUE(testkit::write_file(d.root_ + "/usr/share/dbus-1/services/org.freedesktop.NativeMessagingProxy.service",
                                      "[D-BUS Service]\n"));
    }
    const DoctorRun out = d.doctor();
    EXPECT_EQ(out.status, r.status) << out.out;
    EXPECT_THAT(out.out, HasSubstr(r.finding)) << out.out;
    if (r.status == 0) {
      EXPECT_THAT(out.out, HasSubstr("ok: Chromium (Flatpak org.chromium.Chromium): manifest " +
                                     d.manifest_path(reg::Browser::chromium) +
                                     " is where the native messaging proxy looks"));
    } else {
      EXPECT_THAT(out.out, HasSubstr("--in-sandbox")) << out.out;
    }
  }
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
}

TEST_F(Doctor, BrowsersToCheck) {
  stage_all_well();
  // A browser found here that the user did not register for is worth a note, not a problem.
  ASSERT_TRUE(testkit::write_file(home_.path() + "/.mozilla/firefox/profiles.ini", "[General]\n"));
  DoctorRun only_chromium = doctor();
  EXPECT_EQ(only_chromium.status, 0) << only_chromium.out;
  EXPECT_THAT(only_chromium.out, HasSubstr("note: Firefox is here but not registered; if your extension runs there "
                                           "too: karvo-register install --browser firefox --root " + root_ +
                                           " --extension-id <extension id>\n"));
  // A browser named on the command line is checked even when nothing shows it is installed.
  const DoctorRun r_edge = doctor({"--browser", "edge", "--origin", std::string(kOrigin)});
  DoctorRun r = r_edge;
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("problem: Microsoft Edge: no manifest of com.karvo.bridge"));
  EXPECT_THAT(r.out, Not(HasSubstr("Chromium")));
  // A Flatpak copy gets its own findings.
  ASSERT_TRUE(testkit::make_dirs(home_.path() + "/.var/app/org.chromium.Chromium"));
  EXPECT_THAT(doctor().out, HasSubstr("problem: Chromium (Flatpak org.chromium.Chromium): manifest "));
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
