// karvo-host against the things that could trick it: the token must never leave it except towards the
// application, no path is ever handed to a shell, the files it creates get the modes it asks for, and no
// descriptor that it holds or inherited reaches a program that it starts.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "hardening_kit.h"
#include "launch_kit.h"

namespace karvo::hosttest {
namespace {

using launchtest::Programs;
using launchtest::Start;
using launchtest::test_env;

constexpr const char* kStarted = "karvo-host: started ";

// A token with characters that need escaping, and a core that no other text contains.
const std::string kToken = R"(tok"en\TOKEN-7f3a9c-é)";
const std::string kTokenCore = "TOKEN-7f3a9c";

// Limits the address space of process `pid` to `bytes`, so that a test of bounded memory fails by a failed
// allocation rather than by exhausting the machine. Not under a sanitizer, whose shadow memory needs far
// more address space than any such limit allows.
bool limit_memory(pid_t pid, rlim_t bytes) {
  if (sanitizer_build()) return true;
  const rlimit limit{bytes, bytes};
  return ::prlimit(pid, RLIMIT_AS, &limit, nullptr) == 0;
}

// The launch request whose answer the tests wait for.
std::string launch_message(int id) { return R"({"launch":true,"id":)" + std::to_string(id) + "}"; }

void write_stale_endpoint(const ScratchHome& home, const std::string& exe) {
  ASSERT_TRUE(home.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) +
                             R"(,"token":"gone","exe":)" + PeerApp::json_string(exe) + "}"));
}

// Everything that a host writes, standard output and error: gathered until `until` shows up in it or the
// host ends (10 s at most), then to the host's end once its input is closed.
std::string everything_written(Child& host, std::string_view until) {
  std::string out;
  testkit::wait_until(
      [&] {
        out += host.take_stdout();
        return (out + host.stderr_text()).find(until) != std::string::npos || !host.running();
      },
      Ms(10'000));
  host.close_stdin();
  EXPECT_TRUE(host.wait_exit(Ms(30'000)).has_value());
  out += host.read_until_eof(Ms(5'000));
  host.sync_output();
  return out + host.stderr_text();
}

void expect_no_token(const std::string& text, const std::string& where) {
  EXPECT_EQ(text.find(kToken), std::string::npos) << where << ": " << text.substr(0, 2000);
  EXPECT_EQ(text.find(PeerApp::json_string(kToken)), std::string::npos) << where;
  EXPECT_EQ(text.find(kTokenCore), std::string::npos) << where << ": " << text.substr(0, 2000);
}

TEST(HostSecurity, TheTokenNeverLeavesTheHostButTowardsTheApplication) {
  struct Scenario {
    const char* name;
    std::vector<std::string> app_options;
    const char* until;  // what the host writes last in this scenario; nothing: it ends by itself
  };
  const std::string quoted = PeerApp::json_string(kToken);
  const Scenario scenarios[] = {
      {"relay, oversized answer", {"--send-big", "1100000"}, "too-large"},
      {"token refused", {"--refuse-all"}, "app-unavailable\",\"id\":2"},
      {"refusal that quotes the token",
       {"--auth-reply", R"({"ok":false,"type":"auth","error":"bad token","token":)" + quoted + "}"},
       "app-unavailable\",\"id\":2"},
      {"authentication reply not JSON", {"--auth-reply", "not json " + kToken}, "app-unavailable\",\"id\":2"},
      {"link closed at authentication", {"--auth-close"}, "app-unavailable\",\"id\":2"},
      {"invalid UTF-8 after authentication", {"--send-invalid-utf8"}, nullptr},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    ScratchHome home;
    std::vector<std::string> options = {"--token", kToken};
    options.insert(options.end(), s.app_options.begin(), s.app_options.end());
    StandinApp app(home, options);
    ASSERT_TRUE(app.ok());
    auto host = start_host(home);
    // No launch request: a refused token must not start anything.
    send(*host, R"({"id":1})");
    send(*host, R"({"id":2,"type":"x"})");
    // The application got the token: it was in play.
    ASSERT_TRUE(app.wait_event([](std::string_view e) { return e.starts_with("recv 1 ") && e.find(kTokenCore) != e.npos; }));
    const std::string until = s.until != nullptr ? s.until : "\n<the end>\n";
    const std::string written = everything_written(*host, until);
    if (s.until != nullptr) {
      EXPECT_NE(written.find(until), std::string::npos) << written.substr(0, 2000);
    }
    expect_no_token(written, s.name);
  }

  // Started by the host: the token is in the endpoint file that the application publishes.
  ScratchHome home;
  Programs programs(home);
  const std::string hint = programs.install_app(home.path() + "/opt/karvo", {"--token", kToken});
  write_stale_endpoint(home, hint);
  Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
  ASSERT_TRUE(host.write_all(testkit::frame(launch_message(3))));
  const std::optional<std::string> answer = testkit::read_frame(host, Ms(30'000));
  ASSERT_TRUE(answer.has_value()) << host.stderr_text();
  EXPECT_NE(answer->find(R"("id":3)"), std::string::npos);
  const std::string written = *answer + everything_written(host, kStarted);
  EXPECT_NE(written.find(kStarted + hint), std::string::npos) << written;
  expect_no_token(written, "launch");
  ASSERT_EQ(programs.starts().size(), 1u);
  EXPECT_EQ(programs.starts()[0].args, "--background");
}

// Paths that a shell would split, expand or run: the host must start exactly the named file.
TEST(HostSecurity, NoShellStartsTheApplication) {
  const std::string odd = R"(it's "odd"; $(touch pwned) `touch pwned` & | > < * ? ~ {a,b} #)";
  struct Case {
    const char* name;
    std::string hint;     // relative to the home
    std::string program;  // what must run, relative to the home
  };
  const Case cases[] = {
      {"directly", "/opt/" + odd + "/karvo " + odd, "/opt/" + odd + "/karvo " + odd},
      // Inside a bundle: through karvo-open, which runs Contents/MacOS/<bundle name>.
      {"through open", "/Apps/" + odd + ".app/Contents/MacOS/Karvo", "/Apps/" + odd + ".app/Contents/MacOS/" + odd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchHome home;
    Programs programs(home);
    const std::string hint = home.path() + c.hint;
    const std::string program = home.path() + c.program;
    programs.install_app(program);
    if (hint != program) programs.install_recorder(hint);
    write_stale_endpoint(home, hint);
    Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
    ASSERT_TRUE(host.write_all(testkit::frame(launch_message(1))));
    const std::optional<std::string> answer = testkit::read_frame(host, Ms(30'000));
    ASSERT_TRUE(answer.has_value()) << host.stderr_text();
    EXPECT_NE(answer->find(R"("id":1,"type":"reply")"), std::string::npos) << *answer;
    host.sync_output();  // every line written so far, not only those read yet
    EXPECT_EQ(host.stderr_text(), kStarted + hint + "\n");

    const std::vector<Start> starts = programs.starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].program, program);
    EXPECT_EQ(starts[0].args, "--background");
    EXPECT_FALSE(testkit::path_exists(home.path() + "/pwned"));
    EXPECT_FALSE(testkit::path_exists(home.path() + "/opt/pwned"));
  }
}

// A hint with control characters in it must not forge a second log line, nor hide the line's end.
TEST(HostSecurity, AHintCannotForgeALogLine) {
  ScratchHome home;
  const std::string hint = home.path() + "/opt/karvo\nkarvo-host: forged\r\x1b[2K";
  ASSERT_TRUE(testkit::install_program("/bin/true", hint));
  ASSERT_TRUE(home.write_ipc(R"({"port":)" + std::to_string(testkit::unused_port()) + R"(,"token":"gone","exe":")" +
                             home.path() + R"(/opt/karvo\nkarvo-host: forged\r\u001b[2K"})"));
  Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
  ASSERT_TRUE(host.write_all(testkit::frame(launch_message(1))));
  ASSERT_TRUE(host.wait_stderr("[2K\n", Ms(30'000))) << host.stderr_text();
  EXPECT_EQ(host.stderr_text(), kStarted + home.path() + R"(/opt/karvo\nkarvo-host: forged\r\x1b[2K)" "\n");
}

TEST(HostSecurity, DataDirectoryAndLockGetTheirModes) {
  for (const mode_t mask : {mode_t{0}, mode_t{027}}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    ScratchHome home;
    // Nothing to start (no hint, nothing beside the host, no registered application): the host holds
    // the lock for its whole wait.
    const mode_t saved = ::umask(mask);
    Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
    ::umask(saved);
    ASSERT_TRUE(host.write_all(testkit::frame(launch_message(1))));
    const std::string lock = home.data_dir() + "/launch.lock";
    ASSERT_TRUE(testkit::wait_until([&] { return testkit::path_exists(lock); }, Ms(10'000))) << host.stderr_text();
    // Every directory that it had to make, down from the home.
    for (const std::string& dir : {home.path() + "/Library", home.path() + "/Library/Application Support",
                                   home.data_dir()}) {
      EXPECT_EQ(testkit::file_mode(dir), 0777 & ~mask) << dir;
    }
    EXPECT_EQ(testkit::file_mode(lock), 0666 & ~mask);
    struct stat st {};
    ASSERT_EQ(::stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
  }
}

// An endpoint file that is a pipe without a writer, a device that never ends, or a file far larger than any
// real one must not hang the host or fill its memory: it counts as missing, even when it names a running
// application.
TEST(HostSecurity, EndpointThatIsNoSmallRegularFileCountsAsMissing) {
  for (const auto& [kind, name] : testkit::kUnusableEndpoints) {
    SCOPED_TRACE(name);
    ScratchHome home;
    StandinApp app(home);
    ASSERT_TRUE(app.ok());
    const std::string ipc = home.ipc_path();
    const std::string valid = R"({"port":)" + std::to_string(app.port()) + R"(,"token":)" +
                              PeerApp::json_string(app.token()) + "}";
    ASSERT_TRUE(testkit::plant_unusable_endpoint(ipc, kind, valid));
    auto host = start_host(home);
    // Under a memory limit far below the file's size: the file is judged, not read.
    ASSERT_TRUE(limit_memory(host->pid(), 256u << 20));
    send(*host, R"({"id":1})");
    EXPECT_EQ(next_frame(*host, Ms(10'000)), R"({"error":"app-unavailable","id":1,"type":"error"})");
    host->sync_output();
    EXPECT_EQ(host->stderr_text(), "karvo-host: Karvo is not running\n");
    EXPECT_EQ(app.count_events([](std::string_view e) { return e.starts_with("accepted "); }), 0u);
  }
}

// Started with standard output or error closed, the host must not let its link to the application take
// that number: browser frames or log lines would then go to the application.
TEST(HostSecurity, ClosedStandardStreamsNeverLeadIntoTheLink) {
  for (const bool out_closed : {true, false}) {
    SCOPED_TRACE(out_closed ? "standard output closed" : "standard error closed");
    ScratchHome home;
    PeerApp app(home);
    ASSERT_TRUE(app.ok());
    Child::Options options;
    options.argv = {testkit::bin("karvo-host")};
    options.env = home.env();
    options.cwd = home.path();
    (out_closed ? options.out : options.err) = testkit::Stdio::closed;
    Child host(std::move(options));
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.write_all(testkit::frame(R"({"id":"first"})")));
    ASSERT_TRUE(app.accept_link());
    ASSERT_EQ(app.read_line(Ms(10'000)).value_or(""), R"({"id":"first"})");
    // A line over 1 MB is logged and answered "too-large"; a small one is relayed. Then the application
    // ends the link, and with it the host.
    ASSERT_TRUE(app.send_all(R"({"id":"big","pad":")" + std::string(1'100'000, 'x') + "\"}\n" R"({"id":"small"})" "\n"));
    ASSERT_EQ(::shutdown(app.fd(), SHUT_WR), 0);
    EXPECT_EQ(host.wait_exit(Ms(10'000)), 0);
    if (!out_closed) {
      EXPECT_EQ(next_frame(host), R"({"error":"too-large","id":"big","type":"error"})");
      EXPECT_EQ(next_frame(host), R"({"id":"small"})");
    }
    // Nothing but the first message ever came over the link.
    std::string rest;
    char chunk[65536];
    for (;;) {
      const ssize_t n = ::recv(app.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(rest, "");
  }
}

// A descriptor that a browser leaks into the host (not close-on-exec): a file, a listening socket and a
// pipe. The host holds them; the application that it starts must not.
TEST(HostSecurity, NoDescriptorReachesTheStartedApplication) {
  for (const bool through_open : {false, true}) {
    SCOPED_TRACE(through_open ? "through open" : "directly");
    ScratchHome home;
    Programs programs(home);
    const std::string leaked_file = home.path() + "/leaked";
    ASSERT_TRUE(testkit::write_file(leaked_file, "secret"));
    OwnedFd file(::open(leaked_file.c_str(), O_RDONLY));
    OwnedFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(file && listener);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    OwnedFd pipe_read(ends[0]), pipe_write(ends[1]);

    const std::string hint =
        through_open ? home.path() + "/Apps/Karvo.app/Contents/MacOS/Karvo" : home.path() + "/opt/karvo";
    programs.install_app(hint);
    write_stale_endpoint(home, hint);
    Child host({testkit::bin("karvo-host")}, test_env(home), home.path());
    const std::string host_fds = "/proc/" + std::to_string(host.pid()) + "/fd/";
    EXPECT_EQ(launchtest::link_target(host_fds + std::to_string(file.get())), leaked_file);  // it did inherit them
    ASSERT_TRUE(host.write_all(testkit::frame(launch_message(1))));
    ASSERT_TRUE(testkit::read_frame(host, Ms(30'000)).has_value()) << host.stderr_text();

    const std::vector<Start> starts = programs.starts();
    ASSERT_EQ(starts.size(), 1u);
    const std::string null = "/dev/null";
    const std::string err = through_open ? null : launchtest::link_target(host_fds + "2");
    EXPECT_EQ(starts[0].fds, (std::map<int, std::string>{{0, null}, {1, null}, {2, err}}));
  }
}

}  // namespace
}  // namespace karvo::hosttest
