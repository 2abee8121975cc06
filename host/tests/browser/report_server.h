// A small HTTP server on 127.0.0.1 through which the test agent in a real browser takes its commands
// (GET /next, held open until a command is there, or answered {"op":"idle"} after a while) and hands
// in its reports (POST /report, a JSON body). One thread, one poll loop; every answer closes its
// connection. Each browser started in a test begins a session of its own: commands go only to polls
// that reached the server since, never to one that a browser which is going away still holds open.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sys.h"

namespace karvo::browsertest {

using Json = nlohmann::json;
using Ms = std::chrono::milliseconds;

class ReportServer {
 public:
  ReportServer();
  ~ReportServer();
  ReportServer(const ReportServer&) = delete;
  ReportServer& operator=(const ReportServer&) = delete;

  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Begins the session of a browser about to start: polls that reached the server before are only
  // answered "idle", and wait_polled waits for a new one.
  void begin_session();
  // A number for a command, unique across sessions, so that its report is its own.
  int next_seq();
  // Queues a command for the agent of the newest session.
  void push(Json command);
  // True once that agent has asked for a command (it is running and reaches us).
  bool wait_polled(Ms timeout);
  // The first report so far, from the start, that satisfies the predicate; waits for one if needed.
  std::optional<Json> wait_report(const std::function<bool(const Json&)>& predicate, Ms timeout);
  std::vector<Json> reports();

 private:
  struct Conn;
  void loop();
  bool serve(Conn& c);  // true when the connection is finished
  void answer(Conn& c, std::string_view body);

  std::uint16_t port_ = 0;
  testkit::OwnedFd listener_;
  testkit::OwnedFd wake_read_;
  testkit::OwnedFd wake_write_;
  std::thread thread_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Json> commands_;
  std::vector<Json> reports_;
  int session_ = 0;
  int seq_ = 0;
  bool polled_ = false;  // by the agent of the newest session
  bool stop_ = false;
};

}  // namespace karvo::browsertest
