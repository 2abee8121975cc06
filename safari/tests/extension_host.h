// Drives the built KarvoSafari, the stand-in extension host, the way Safari drives the extension: one
// request per line in, one reply line per request out, in completion order.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testkit.h"

namespace karvo::safari::blackbox {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Tests run at the real waits, which answered requests end early; a test that lets waits run out asks
// for short ones: a 15-second wait then lasts 1.5 s.
inline constexpr const char* kShortWaitScale = "0.1";

// A bundle directory with a Contents/Info.plist holding the given string entries.
inline std::string makeBundle(const std::string& path, const std::map<std::string, std::string>& entries,
                              const std::string& extraXml = "") {
  std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : entries) {
    plist += "  <key>" + key + "</key><string>" + value + "</string>\n";
  }
  plist += extraXml + "</dict>\n</plist>\n";
  EXPECT_TRUE(testkit::write_file(path + "/Contents/Info.plist", plist));
  return path;
}

// The lines that link `conn` of `app` sent, once at least `count` of them have been seen (the stand-in
// reports them a moment after it read them).
inline std::vector<std::string> receivedLines(testkit::StandinApp& app, int conn, std::size_t count) {
  testkit::wait_until([&] { return app.received(conn).size() >= count; }, testkit::Ms(30'000));
  return app.received(conn);
}

class ExtensionHost {
 public:
  // `options` follow the scratch home as the user database's home (and the short wait scale, when asked
  // for); `env` adds variables; `err` is what the extension host's standard error is.
  ExtensionHost(const testkit::ScratchHome& home, std::vector<std::string> options,
                const std::vector<std::string>& env = {}, bool shortWaits = false,
                testkit::Stdio err = testkit::Stdio::pipe) {
    testkit::Child::Options child;
    child.argv = {testkit::bin("KarvoSafari"), "--user-home", home.path()};
    if (shortWaits) child.argv.insert(child.argv.end(), {"--time-scale", kShortWaitScale});
    child.argv.insert(child.argv.end(), options.begin(), options.end());
    child.env = home.env(env);
    child.err = err;
    child_ = std::make_unique<testkit::Child>(std::move(child));
  }

  testkit::Child& process() { return *child_; }

  // Sends one request line: `line` with its request number "n".
  bool request(int n, Json line) {
    line["n"] = n;
    return child_->write_all(line.dump() + "\n");
  }

  // The next reply line, parsed.
  std::optional<Json> nextReply(std::chrono::milliseconds timeout = 30s) {
    const auto line = child_->read_line(timeout);
    if (!line) return std::nullopt;
    auto value = Json::parse(*line, nullptr, false);
    if (value.is_discarded()) {
      ADD_FAILURE() << "reply line is not JSON: " << *line;
      return std::nullopt;
    }
    return value;
  }

  // The reply object of the next reply line, checking that it answers request `n` with exactly one item.
  Json replyTo(int n, std::chrono::milliseconds timeout = 30s) {
    const auto line = nextReply(timeout);
    if (!line) {
      ADD_FAILURE() << "no reply to request " << n << "; stderr:\n" << child_->stderr_text();
      return Json();
    }
    EXPECT_EQ((*line)["n"], n) << *line;
    const Json& items = (*line)["items"];
    if (!items.is_array() || items.size() != 1 || !items[0].is_object() || items[0].size() != 1 ||
        !items[0].contains("message")) {
      ADD_FAILURE() << "not one item with one message: " << *line;
      return Json();
    }
    return items[0]["message"];
  }

  // Ends the input; the host answers what is outstanding and exits.
  std::optional<int> finish(std::chrono::milliseconds timeout = 30s) {
    child_->close_stdin();
    return child_->wait_exit(timeout);
  }

  std::string log() const { return child_->stderr_text(); }

 private:
  std::unique_ptr<testkit::Child> child_;
};

inline Json message(const char* text) { return Json{{"message", Json::parse(text)}}; }

inline Json failed(const char* error, Json messages = Json::array()) {
  return Json{{"ok", false}, {"error", error}, {"messages", messages}};
}

inline const Json& unavailable() {
  static const Json reply =
      failed("app-unavailable", Json::array({Json{{"type", "error"}, {"error", "app-unavailable"}}}));
  return reply;
}

}  // namespace karvo::safari::blackbox
