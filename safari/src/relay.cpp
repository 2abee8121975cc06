#include "relay.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "ipc_info.h"
#include "platform/unified_log.h"
#include "timing.h"

namespace karvo::safari {
namespace {

bool typeIsHello(const Json& object) { return memberTextEquals(object, "type", "hello"); }

Json success(std::vector<Json> messages) {
  return Json{{"ok", true}, {"messages", Json(std::move(messages))}};
}

}  // namespace

Relay::Relay() : queue_("com.karvo.safari-extension.relay") {}

std::shared_ptr<Relay> Relay::forProfile(const std::string& profile) {
  // Relays live as long as the process: the registry is never destroyed.
  static std::mutex* const lock = new std::mutex;
  static auto* const byProfile = new std::map<std::string, std::shared_ptr<Relay>>;
  const std::lock_guard guard(*lock);
  auto& relay = (*byProfile)[profile];
  if (!relay) relay = std::make_shared<Relay>();
  return relay;
}

void Relay::handle(Json request, ReplyHandler reply) {
  queue_.async([self = shared_from_this(), request = std::move(request), reply = std::move(reply)] {
    Json answer;
    try {
      answer = self->process(request);
    } catch (...) {
      answer = failure("disconnected", {});  // every request gets a reply
    }
    trace(request, answer);
    if (reply) reply(answer);
  });
}

Json Relay::process(const Json& request) {
  const std::string* opText = stringMember(request, "op");
  const std::string op = opText != nullptr ? *opText : "send";
  const Json* hello = objectMember(request, "hello");
  const Json* msg = objectMember(request, "msg");

  if (textEquals(op, "close")) {
    link_.drop();
    return success({});
  }
  const bool sending = textEquals(op, "send");
  const bool msgIsGreeting = msg != nullptr && typeIsHello(*msg);
  // A new greeting starts over: a fresh link and a fresh authentication.
  if (sending && msgIsGreeting) link_.drop();

  std::vector<Json> messages;
  if (!link_.linked()) {
    if (hello == nullptr) return failure("disconnected", {});
    if (!connect(boolMember(*hello, "launch").value_or(false))) {
      return failure("app-unavailable", {Json{{"type", "error"}, {"error", "app-unavailable"}}});
    }
    // A greeting in "msg" goes out in place of "hello".
    if (!msgIsGreeting) {
      if (!link_.write(*hello)) return failure("disconnected", {});
      if (!link_.read(typeIsHello, scaled(waits::kGreeting), messages)) {
        return failure("disconnected", std::move(messages));
      }
    }
  }

  RelayLink::Until until;
  double timeout = waits::kCollection;
  if (sending && msg != nullptr) {
    if (!link_.write(*msg)) return failure("disconnected", std::move(messages));
    if (const std::string* id = stringMember(*msg, "id")) {
      until = [id = *id](const Json& object) { return memberTextEquals(object, "id", id); };
      timeout = scaled(waits::kAnswerById);
    } else if (msgIsGreeting) {
      until = typeIsHello;
      timeout = scaled(waits::kGreeting);
    }
  }
  if (!link_.read(until, timeout, messages)) return failure("disconnected", std::move(messages));
  return success(std::move(messages));
}

bool Relay::connect(bool launch) {
  if (const auto info = IpcInfo::read(); info && link_.open(*info)) return true;
  if (!launch) return false;

  std::optional<std::string> hint;
  if (const auto info = IpcInfo::read()) hint = info->exe();
  launchKarvo(hint);

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(scaled(waits::kLaunch)));
  const auto pause = std::chrono::duration<double>(scaled(waits::kLaunchRetry));
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(pause);
    if (const auto info = IpcInfo::read(); info && link_.open(*info)) return true;
  }
  platform::logDidNotStartInTime();
  return false;
}

Json Relay::failure(const std::string& error, std::vector<Json> messages) {
  return Json{{"ok", false}, {"error", error}, {"messages", Json(std::move(messages))}};
}

}  // namespace karvo::safari
