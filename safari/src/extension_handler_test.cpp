#include "extension_handler.h"

#include <condition_variable>
#include <mutex>

#include "test_support.h"

namespace karvo::safari {
namespace {

using platform::InputItem;
using platform::UserInfoValue;

constexpr std::array<std::uint8_t, 16> kUuid = {0xe6, 0x21, 0xe1, 0xf8, 0xc3, 0x6c, 0x49, 0x5a,
                                                0x93, 0xfc, 0x0c, 0x24, 0x7a, 0x3e, 0x6e, 0x5f};
constexpr const char* kUuidText = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";

UserInfoValue dictionary(const char* text) {
  UserInfoValue value;
  value.kind = UserInfoValue::Kind::dictionary;
  value.dictionary = Json::parse(text);
  return value;
}

UserInfoValue uuid() {
  UserInfoValue value;
  value.kind = UserInfoValue::Kind::uuid;
  value.uuid = kUuid;
  return value;
}

InputItem item(std::optional<UserInfoValue> message, std::optional<UserInfoValue> profile) {
  InputItem i;
  i.message = std::move(message);
  i.profile = std::move(profile);
  return i;
}

TEST(RequestHandler, TakesTheRequestObjectFromTheFirstItemOnly) {
  const Json request = Json::parse(R"({"op":"poll"})");
  EXPECT_EQ(RequestHandler::requestObject({item(dictionary(R"({"op":"poll"})"), std::nullopt)}), request);
  EXPECT_EQ(RequestHandler::requestObject(
                {item(dictionary(R"({"op":"poll"})"), std::nullopt), item(dictionary(R"({"op":"x"})"), {})}),
            request);
  // Anything else is an empty request object.
  InputItem foreign = item(dictionary(R"({"op":"poll"})"), std::nullopt);
  foreign.isExtensionItem = false;
  InputItem bare = item(dictionary(R"({"op":"poll"})"), std::nullopt);
  bare.hasUserInfo = false;
  const std::vector<std::vector<InputItem>> empties = {
      {},
      {foreign},
      {bare, item(dictionary(R"({"op":"poll"})"), std::nullopt)},
      {item(std::nullopt, uuid())},
      {item(UserInfoValue{}, std::nullopt)},  // a string, an array, a number
      {item(uuid(), std::nullopt)},
  };
  for (const auto& items : empties) EXPECT_EQ(RequestHandler::requestObject(items), Json::object());
}

TEST(RequestHandler, ProfileIsTheUuidTextFromMacOS14On) {
  EXPECT_EQ(uuidText(kUuid), kUuidText);
  EXPECT_EQ(uuidText({}), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(RequestHandler::profileIdentifier({item(std::nullopt, uuid())}, true), kUuidText);
  EXPECT_EQ(RequestHandler::profileIdentifier({item(std::nullopt, uuid())}, false), "default");
  EXPECT_EQ(RequestHandler::profileIdentifier({item(std::nullopt, UserInfoValue{})}, true), "default");
  EXPECT_EQ(RequestHandler::profileIdentifier({item(std::nullopt, dictionary("{}"))}, true), "default");
  EXPECT_EQ(RequestHandler::profileIdentifier({item(std::nullopt, std::nullopt)}, true), "default");
  EXPECT_EQ(RequestHandler::profileIdentifier({}, true), "default");
  InputItem bare = item(std::nullopt, uuid());
  bare.hasUserInfo = false;
  EXPECT_EQ(RequestHandler::profileIdentifier({bare}, true), "default");
}

// Records the completions of one request.
class RecordingContext final : public platform::ExtensionContext {
 public:
  explicit RecordingContext(std::vector<InputItem> items) : items_(std::move(items)) {}
  std::vector<InputItem> inputItems() const override { return items_; }
  void completeRequest(const Json& message) override {
    {
      const std::lock_guard guard(mutex_);
      replies_.push_back(message);
    }
    done_.notify_all();
  }
  std::vector<Json> waitForReply() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::seconds(30), [&] { return !replies_.empty(); });
    return replies_;
  }

 private:
  std::vector<InputItem> items_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<Json> replies_;
};

class RequestHandlerRelay : public test::SafariTest {};

TEST_F(RequestHandlerRelay, EveryRequestIsAnsweredOnceThroughItsContext) {
  const auto context = std::make_shared<RecordingContext>(std::vector<InputItem>{});
  RequestHandler::beginRequest(context);
  const auto replies = context->waitForReply();
  ASSERT_EQ(replies.size(), 1U);
  EXPECT_EQ(replies[0], Json::parse(R"({"ok":false,"error":"disconnected","messages":[]})"));
}

TEST_F(RequestHandlerRelay, RequestsReachTheRelayOfTheirProfile) {
  testkit::StandinApp app(home_);
  ASSERT_TRUE(app.ok());
  const auto send = [](std::optional<UserInfoValue> profile, const char* message) {
    const auto context = std::make_shared<RecordingContext>(
        std::vector<InputItem>{item(dictionary(message), std::move(profile))});
    RequestHandler::beginRequest(context);
    const auto replies = context->waitForReply();
    return replies.size() == 1 ? replies[0] : Json();
  };
  // The profile's relay links; a request without a greeting then finds it linked, another profile's
  // relay does not.
  EXPECT_EQ(send(uuid(), R"({"op":"poll","hello":{"type":"hello"}})")["ok"], true);
  EXPECT_EQ(send(uuid(), R"({"op":"poll"})")["ok"], true);
  EXPECT_EQ(send(std::nullopt, R"({"op":"poll"})")["error"], "disconnected");
  // Before macOS 14 every request goes to "default".
  changeSettings([](platform::LinuxSettings& s) { s.systemMajor = 13; s.systemMinor = 6; });
  EXPECT_EQ(send(uuid(), R"({"op":"poll"})")["error"], "disconnected");
  EXPECT_EQ(send(uuid(), R"({"op":"poll","hello":{"type":"hello"}})")["ok"], true);
  EXPECT_EQ(send(std::nullopt, R"({"op":"poll"})")["ok"], true);
  // Leave the shared relays unlinked for whoever comes next in this process.
  send(std::nullopt, R"({"op":"close"})");
  changeSettings([](platform::LinuxSettings& s) { s.systemMajor = 14; s.systemMinor = 0; });
  send(uuid(), R"({"op":"close"})");
}

}  // namespace
}  // namespace karvo::safari
