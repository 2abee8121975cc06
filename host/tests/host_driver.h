// Drives the built karvo-host as a browser does: pipes on its standard streams, frames on stdin/stdout.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit.h"

namespace karvo::hosttest {

using namespace std::chrono_literals;
using testkit::Child;
using testkit::ScratchHome;
using testkit::StandinApp;

// Starts karvo-host in `home` with the arguments a Chromium browser passes (which it must ignore).
inline std::unique_ptr<Child> start_host(const ScratchHome& home,
                                         std::vector<std::string> args = {"chrome-extension://abcdefghijklmnop/"}) {
  std::vector<std::string> argv{testkit::bin("karvo-host")};
  argv.insert(argv.end(), args.begin(), args.end());
  auto host = std::make_unique<Child>(std::move(argv), home.env(), home.path());
  EXPECT_TRUE(host->started());
  return host;
}

inline void send(Child& host, std::string_view body) { ASSERT_TRUE(host.write_all(testkit::frame(body))); }

inline std::string next_frame(Child& host, testkit::Ms timeout = 5s) {
  std::optional<std::string> body = testkit::read_frame(host, timeout);
  EXPECT_TRUE(body.has_value()) << "no frame from the host; stderr: " << host.stderr_text();
  return body.value_or("<none>");
}

// The lines that the stand-in received on link `conn` after the authentication line.
inline std::vector<std::string> app_lines(StandinApp& app, int conn = 1) {
  std::vector<std::string> lines = app.received(conn);
  if (!lines.empty()) lines.erase(lines.begin());
  return lines;
}

inline bool wait_app_lines(StandinApp& app, std::size_t count, int conn = 1, testkit::Ms timeout = 5s) {
  return testkit::wait_until([&] { return app_lines(app, conn).size() >= count; }, timeout);
}

}  // namespace karvo::hosttest
