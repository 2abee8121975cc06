#include "safari_bench.h"

#include <time.h>

#include <condition_variable>
#include <mutex>

#include "platform/linux_settings.h"
#include "relay.h"

namespace karvo::bench {
namespace {

using safari::Json;
using safari::Relay;

std::int64_t thread_cpu_ns() noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Reply {
  Json body;
  std::int64_t at_ns = 0;   // when the callback ran
  std::int64_t cpu_ns = 0;  // the relay queue's CPU time by then
};

// One request through handle(), waited for.
Reply call(Relay& relay, Json request) {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<Reply> reply;
  relay.handle(std::move(request), [&](const Json& body) {
    const std::int64_t at = now_ns();
    const std::int64_t cpu = thread_cpu_ns();
    const std::lock_guard guard(mu);
    reply = Reply{body, at, cpu};
    cv.notify_one();
  });
  std::unique_lock lock(mu);
  cv.wait(lock, [&] { return reply.has_value(); });
  return std::move(*reply);
}

bool ok(const Json& reply) { return reply.is_object() && reply.value("ok", false) == true; }

}  // namespace

bool safari_relay_built() noexcept { return true; }

std::optional<SafariFigures> measure_safari(EchoApp& app, const std::string& home, int sends, int polls,
                                            std::string& error) {
  // The relay reads the endpoint file under this home; its log lines are not wanted on the terminal.
  safari::platform::LinuxSettings settings = safari::platform::linuxSettings();
  settings.userDatabaseHome = home;
  settings.logSink = [](std::string_view, std::string_view) {};
  safari::platform::setLinuxSettings(settings);

  const std::shared_ptr<Relay> relay = Relay::forProfile("karvo-bench");
  const Reply linked = call(*relay, Json{{"op", "poll"}, {"hello", {{"type", "hello"}, {"launch", false}}}});
  if (!ok(linked.body) || !relay->linked()) {
    error = "the Safari relay could not link: " + linked.body.dump();
    return std::nullopt;
  }

  SafariFigures figures;
  for (int i = 0; i < sends; ++i) {
    std::string id = "q";  // appended, not "q" + ...: g++ 12 at -O3 warns falsely on that (-Wrestrict)
    id += std::to_string(i);
    const std::int64_t sent = now_ns();
    const Reply reply = call(*relay, Json{{"op", "send"}, {"msg", {{"id", id}, {"type", "ping"}}}});
    const std::int64_t answered = app.last_answer_ns();
    const Json* messages = reply.body.is_object() && reply.body.contains("messages") ? &reply.body["messages"] : nullptr;
    if (!ok(reply.body) || messages == nullptr || messages->empty() || messages->back().value("id", "") != id) {
      error = "a Safari \"send\" was not answered: " + reply.body.dump();
      return std::nullopt;
    }
    figures.answer_to_reply_us.push_back(static_cast<double>(reply.at_ns - answered) / 1e3);
    figures.send_round_trip_us.push_back(static_cast<double>(reply.at_ns - sent) / 1e3);
  }

  std::int64_t cpu_before = linked.cpu_ns;
  for (int i = 0; i < polls; ++i) {
    const std::int64_t sent = now_ns();
    const Reply reply = call(*relay, Json{{"op", "poll"}});
    if (!ok(reply.body)) {
      error = "a Safari \"poll\" failed: " + reply.body.dump();
      return std::nullopt;
    }
    figures.poll_wall_ms.push_back(static_cast<double>(reply.at_ns - sent) / 1e6);
    // The previous request's callback ran on the same queue thread, so the difference is this poll's.
    if (i > 0) figures.poll_cpu_us.push_back(static_cast<double>(reply.cpu_ns - cpu_before) / 1e3);
    cpu_before = reply.cpu_ns;
  }
  (void)call(*relay, Json{{"op", "close"}});
  return figures;
}

}  // namespace karvo::bench
