// The test kit's own pieces: child processes, framing, scratch homes.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "testkit.h"

namespace karvo::testkit {
namespace {

using namespace std::chrono_literals;
// Waits that end as soon as what they wait for happens; generous for loaded machines.
constexpr auto kWait = 30s;

TEST(Child, CatEchoesFramesAndExitsAtEndOfInput) {
  Child cat({"/bin/cat"});
  ASSERT_TRUE(cat.started());
  ASSERT_TRUE(cat.write_all(frame(R"({"a":1})") + frame("") + frame(std::string(70000, 'x'))));
  EXPECT_EQ(read_frame(cat, kWait), R"({"a":1})");
  EXPECT_EQ(read_frame(cat, kWait), "");
  EXPECT_EQ(read_frame(cat, kWait), std::string(70000, 'x'));
  EXPECT_TRUE(expect_no_frame(cat, 50ms));
  cat.close_stdin();
  EXPECT_EQ(read_frame(cat, kWait), std::nullopt);
  EXPECT_TRUE(cat.stdout_ended());
  EXPECT_EQ(cat.wait_exit(kWait), 0);
}

TEST(Child, IncompleteReadsLeaveTheBytesForLater) {
  Child cat({"/bin/cat"});
  ASSERT_TRUE(cat.write_all("abc"));
  EXPECT_EQ(cat.read_exact(5, 100ms), std::nullopt);
  ASSERT_TRUE(cat.write_all("de"));
  EXPECT_EQ(cat.read_exact(5, kWait), "abcde");

  // A frame whose body is late is not torn apart.
  ASSERT_TRUE(cat.write_all(frame_header(6) + "par"));
  EXPECT_EQ(read_frame(cat, 100ms), std::nullopt);
  EXPECT_FALSE(expect_no_frame(cat, kWait));  // the partial frame's bytes did arrive
  ASSERT_TRUE(cat.write_all("tly"));
  EXPECT_EQ(read_frame(cat, kWait), "partly");

  ASSERT_TRUE(cat.write_all("one\ntwo"));
  EXPECT_EQ(cat.read_line(kWait), "one");
  EXPECT_EQ(cat.read_line(100ms), std::nullopt);
  cat.close_stdin();
  EXPECT_EQ(cat.read_line(kWait), "two");  // the last line needs no LF
  EXPECT_EQ(cat.read_line(kWait), std::nullopt);
}

TEST(Child, FrameHeaderIsLittleEndian) {
  EXPECT_EQ(frame_header(0x0010000A), std::string("\x0A\x00\x10\x00", 4));
  EXPECT_EQ(frame("hi"), std::string("\x02\x00\x00\x00hi", 6));
}

TEST(Child, EnvironmentWorkingDirectoryAndExitStatuses) {
  Child env({"/usr/bin/env"}, std::vector<std::string>{"KARVO_A=1", "KARVO_B=two words"});
  EXPECT_EQ(env.read_until_eof(kWait), "KARVO_A=1\nKARVO_B=two words\n");
  EXPECT_EQ(env.wait_exit(kWait), 0);

  Child pwd({"/bin/pwd"}, std::nullopt, "/");
  EXPECT_EQ(pwd.read_line(kWait), "/");

  Child failing({"/bin/false"});
  EXPECT_EQ(failing.wait_exit(kWait), 1);

  Child sleeper({"/bin/sleep", "30"});
  EXPECT_EQ(sleeper.wait_exit(50ms), std::nullopt);
  EXPECT_TRUE(sleeper.running());
  EXPECT_TRUE(sleeper.kill(SIGTERM));
  EXPECT_EQ(sleeper.wait_exit(kWait), 128 + SIGTERM);
  EXPECT_FALSE(sleeper.kill(SIGTERM));  // reaped: its number may belong to someone else now
}

TEST(Child, MissingProgramDoesNotStart) {
  Child missing({"/nonexistent/karvo-program"});
  EXPECT_FALSE(missing.started());
  EXPECT_EQ(missing.spawn_error(), ENOENT);
  EXPECT_FALSE(missing.write_all("x"));
  EXPECT_EQ(missing.read_line(10ms), std::nullopt);
}

TEST(Child, StderrIsGatheredAndClosedStdoutFailsTheWriter) {
  Child app({bin("karvo-standin-app"), "--no-such-option"});
  EXPECT_TRUE(app.wait_stderr("unknown option --no-such-option", kWait));
  EXPECT_EQ(app.wait_exit(kWait), 2);

  Child cat({"/bin/cat"});
  cat.close_stdout();
  ASSERT_TRUE(cat.write_all("lost\n"));
  const auto status = cat.wait_exit(kWait);
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
}

TEST(Child, WritesToAChildThatIsGoneFailWithoutKillingTheTest) {
  Child done({"/bin/true"});
  ASSERT_EQ(done.wait_exit(kWait), 0);
  EXPECT_FALSE(done.write_all(std::string(1 << 20, 'x'), 2s));
}

TEST(Child, OneThreadWritesWhileAnotherReads) {
  Child cat({"/bin/cat"});
  constexpr int kFrames = 2000;
  std::thread writer([&] {
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(cat.write_all(frame(std::to_string(i) + std::string(1000, '.'))));
    cat.close_stdin();
  });
  for (int i = 0; i < kFrames; ++i) {
    const auto body = read_frame(cat, kWait);
    ASSERT_TRUE(body);
    ASSERT_EQ(body->substr(0, body->find('.')), std::to_string(i));
  }
  writer.join();
  EXPECT_EQ(cat.wait_exit(kWait), 0);
}

// Whether a process is gone (a zombie counts: it runs no more). Without /proc, only a process that no
// longer exists counts (an orphan is reaped by the system's init at once).
bool gone(pid_t pid) {
#ifndef __linux__
  return ::kill(pid, 0) != 0 && errno == ESRCH;
#endif
  const auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  const auto close_paren = stat->rfind(')');
  return close_paren != std::string::npos && stat->compare(close_paren + 1, 3, " Z ") == 0;
}

TEST(Child, DestructorEndsWhatTheChildStarted) {
  // karvo-browser keeps its host in its own process group, so the host dies with the browser's group.
  ScratchHome home;
  const std::string pid_file = home.path() + "/app.pid";
  std::string pid_text;
  {
    Child browser({bin("karvo-browser"), "--host", bin("karvo-standin-app"), "--home", home.path(), "--env",
                   standin_args_env({"--pid-file", pid_file}), "--hold", "60000", "{}"});
    ASSERT_TRUE(wait_until([&] { return !read_file(pid_file).value_or("").empty(); }, kWait));
    pid_text = read_file(pid_file).value_or("");
  }
  const pid_t app = static_cast<pid_t>(std::stol(pid_text));
  EXPECT_TRUE(wait_until([&] { return gone(app); }, kWait));
}

TEST(ScratchHome, PathsEnvironmentAndRemoval) {
  std::string path;
  {
    ScratchHome home;
    path = home.path();
    EXPECT_EQ(home.ipc_path(), path + "/Library/Application Support/com.karvo.app/ipc.json");
    ASSERT_TRUE(home.write_ipc(R"({"port":1,"token":""})"));
    EXPECT_EQ(read_file(home.ipc_path()), R"({"port":1,"token":""})");
    EXPECT_EQ(file_mode(home.ipc_path()), 0600u);
    ASSERT_TRUE(make_dirs(path + "/locked/inner"));
    ASSERT_EQ(::chmod((path + "/locked").c_str(), 0), 0);

    const auto env = home.env({"KARVO_X=1", "PATH=/nowhere"});
    EXPECT_EQ(std::count(env.begin(), env.end(), "HOME=" + path), 1);
    EXPECT_EQ(std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.rfind("PATH=", 0) == 0; }),
              1);
    EXPECT_NE(std::find(env.begin(), env.end(), "PATH=/nowhere"), env.end());
    EXPECT_NE(std::find(env.begin(), env.end(), "KARVO_X=1"), env.end());
  }
  EXPECT_FALSE(path_exists(path));
}

TEST(Helpers, HexAndArgumentEntry) {
  EXPECT_EQ(hex_decode("48 69 0a"), "Hi\n");
  EXPECT_EQ(hex_decode("ff00"), std::string("\xff\x00", 2));
  EXPECT_EQ(hex_decode("4"), std::nullopt);
  EXPECT_EQ(hex_decode("zz"), std::nullopt);
  EXPECT_EQ(standin_args_env({"--events", "/a b/c"}), "KARVO_STANDIN_ARGS=--events\n/a b/c");
}

// Other systems learn what a process uses from ps(1), which is checked here against /proc.
TEST(Helpers, ProcessUsageFromPsAgreesWithProc) {
  const std::optional<ProcessUsage> ps = process_usage_from_ps(::getpid());
  ASSERT_TRUE(ps.has_value());
  EXPECT_GT(ps->resident_kib, 0);
#ifdef __linux__
  const std::optional<ProcessUsage> proc = process_usage(::getpid());
  ASSERT_TRUE(proc.has_value());
  EXPECT_NEAR(static_cast<double>(ps->resident_kib), static_cast<double>(proc->resident_kib),
              0.25 * static_cast<double>(proc->resident_kib) + 4096);
  EXPECT_NEAR(ps->cpu_seconds, proc->cpu_seconds, 1.5);  // procps prints whole seconds
#endif
}

}  // namespace
}  // namespace karvo::testkit
