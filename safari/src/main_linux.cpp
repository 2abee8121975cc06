// The stand-in extension host: drives the request handler the way Safari's extension host does.
//
// Standard input: one request per line, a JSON object:
//   "n"        the request number (any JSON value), copied into the reply line;
//   "message"  the value under the message key of the request's user info: an object is a dictionary,
//              anything else (a string, an array, a number) a value of another kind;
//   "profile"  the value under the profile key: {"uuid": "<UUID text>"} is a UUID (any letter case),
//              anything else a value of another kind;
//   "items"    instead of "message" and "profile": the whole list of input items, each an object like the
//              line itself ({"message": …, "profile": …}), or {"foreign": true} for an item that is not
//              an extension item, or {"noUserInfo": true} for an item without user info. [] is a request
//              without input items.
// Requests are handed over without waiting. Standard output: one line per completed request, in
// completion order: {"items":[{"message":<reply>}],"n":<request number>}. At the end of the input the
// host waits for the outstanding replies and exits 0. The extension's log goes to standard error.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extension_handler.h"
#include "karvo_version.h"
#include "platform/json_text.h"
#include "platform/linux_io.h"
#include "platform/linux_settings.h"
#include "timing.h"

namespace {

using karvo::safari::Json;
namespace platform = karvo::safari::platform;
using platform::writeAll;

constexpr const char* kUsage =
    "usage: KarvoSafari [options] < requests\n"
    "  --bundle PATH            the extension bundle's location (default: from the executable's path)\n"
    "  --user-home PATH         the home directory of the user database entry\n"
    "  --user-home-missing      the user database entry has no home directory\n"
    "  --process-home PATH      the platform's home directory for the process (default: $HOME)\n"
    "  --registered-app ID=PATH an application known to the workspace's registry (repeatable)\n"
    "  --system-version X.Y     the system version that the handler sees (default: 14.0)\n"
    "  --time-scale FACTOR      multiply the long waits by FACTOR (tests only; default: 1)\n"
    "  --workspace-silent       opening an application never reports back\n"
    "  --help, --version        this text; the version\n";

// Requests whose reply is still to come.
class Outstanding {
 public:
  void add() {
    const std::lock_guard guard(mutex_);
    ++count_;
  }
  void done() {
    // Notified under the lock: once the waiter sees zero it may end the process.
    const std::lock_guard guard(mutex_);
    --count_;
    idle_.notify_all();
  }
  void waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  long count_ = 0;
};

std::mutex gOutputLock;

class StandinContext final : public platform::ExtensionContext {
 public:
  StandinContext(Json number, std::vector<platform::InputItem> items, Outstanding& outstanding)
      : number_(std::move(number)), items_(std::move(items)), outstanding_(outstanding) {}

  std::vector<platform::InputItem> inputItems() const override { return items_; }

  void completeRequest(const Json& message) override {
    const Json line = {{"n", number_}, {"items", Json::array({Json{{"message", message}}})}};
    std::string text = platform::serializeJson(line).value_or(R"({"error":"unwritable reply"})");
    text.push_back('\n');
    {
      const std::lock_guard guard(gOutputLock);
      writeAll(STDOUT_FILENO, text);
    }
    outstanding_.done();
  }

 private:
  Json number_;
  std::vector<platform::InputItem> items_;
  Outstanding& outstanding_;
};

std::optional<std::array<std::uint8_t, 16>> parseUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
    bytes[byte++] = static_cast<std::uint8_t>(value);
    i += 2;
  }
  return bytes;
}

platform::InputItem itemFrom(const Json& description) {
  platform::InputItem item;
  if (!description.is_object()) {
    item.isExtensionItem = false;
    return item;
  }
  if (karvo::safari::boolMember(description, "foreign") == true) item.isExtensionItem = false;
  if (karvo::safari::boolMember(description, "noUserInfo") == true) item.hasUserInfo = false;
  if (const auto message = description.find("message"); message != description.end()) {
    platform::UserInfoValue value;
    if (message->is_object()) {
      value.kind = platform::UserInfoValue::Kind::dictionary;
      value.dictionary = *message;
    }
    item.message = std::move(value);
  }
  if (const auto profile = description.find("profile"); profile != description.end()) {
    platform::UserInfoValue value;
    if (const std::string* text = karvo::safari::stringMember(*profile, "uuid")) {
      if (const auto uuid = parseUuid(*text)) {
        value.kind = platform::UserInfoValue::Kind::uuid;
        value.uuid = *uuid;
      }
    }
    item.profile = std::move(value);
  }
  return item;
}

bool configure(int argc, char** argv) {
  platform::LinuxSettings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (option == "--user-home-missing") {
      settings.userDatabaseHome = std::string();
    } else if (option == "--workspace-silent") {
      settings.workspaceReportsBack = false;
    } else if (option == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (option == "--version") {
      std::fputs("KarvoSafari " KARVO_VERSION "\n", stdout);
      std::exit(0);
    } else {
      const auto argument = value();
      if (!argument) return false;
      if (option == "--bundle") {
        settings.bundlePath = *argument;
      } else if (option == "--user-home") {
        if (argument->empty()) return false;
        settings.userDatabaseHome = *argument;
      } else if (option == "--process-home") {
        settings.processHome = *argument;
      } else if (option == "--registered-app") {
        const auto equals = argument->find('=');
        if (equals == std::string::npos) return false;
        settings.registeredApplications[argument->substr(0, equals)] = argument->substr(equals + 1);
      } else if (option == "--system-version") {
        const char* text = argument->c_str();
        const char* end = text + argument->size();
        auto [dot, error] = std::from_chars(text, end, settings.systemMajor);
        if (error != std::errc()) return false;
        settings.systemMinor = 0;
        if (dot != end) {
          if (*dot != '.') return false;
          const auto [rest, minorError] = std::from_chars(dot + 1, end, settings.systemMinor);
          if (minorError != std::errc() || (rest != end && *rest != '.')) return false;
        }
      } else if (option == "--time-scale") {
        char* end = nullptr;
        const double scale = std::strtod(argument->c_str(), &end);
        if (end == argument->c_str() || *end != '\0' || !(scale > 0)) return false;
        karvo::safari::setWaitScale(scale);
      } else {
        return false;
      }
    }
  }
  platform::setLinuxSettings(std::move(settings));
  return true;
}

void handleLine(std::string_view line, Outstanding& outstanding) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;
  const auto request = platform::parseJson(line);
  if (!request || !request->is_object()) {
    writeAll(STDERR_FILENO, "KarvoSafari: skipped a request line that is not a JSON object\n");
    return;
  }
  std::vector<platform::InputItem> items;
  if (const auto list = request->find("items"); list != request->end() && list->is_array()) {
    for (const Json& description : *list) items.push_back(itemFrom(description));
  } else {
    items.push_back(itemFrom(*request));
  }
  const auto number = request->find("n");
  outstanding.add();
  karvo::safari::RequestHandler::beginRequest(std::make_shared<StandinContext>(
      number != request->end() ? *number : Json(), std::move(items), outstanding));
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened, so that no link to the application takes a closed standard number.
  if (!platform::ensureStandardDescriptors()) return 1;
  // Whoever reads the replies or the log may go away; that must show up as failed writes, never as a
  // signal that ends the extension host while relays are still at work.
  std::signal(SIGPIPE, SIG_IGN);
  if (!configure(argc, argv)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Never destroyed: relay threads still finish their work items while the process ends.
  static auto* const outstandingRequests = new Outstanding;
  Outstanding& outstanding = *outstandingRequests;
  std::string buffer;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (auto newline = buffer.find('\n'); newline != std::string::npos;
         newline = buffer.find('\n', start)) {
      handleLine(std::string_view(buffer).substr(start, newline - start), outstanding);
      start = newline + 1;
    }
    buffer.erase(0, start);
  }
  if (!buffer.empty()) handleLine(buffer, outstanding);
  outstanding.waitIdle();
  return 0;
}
