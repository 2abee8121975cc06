#include "extension_handler.h"

#include <utility>

#include "relay.h"

namespace karvo::safari {
namespace {

using platform::InputItem;
using platform::UserInfoValue;

// The first input item when it is an extension item with user info; requests without one are read as if
// their user info were empty. Further items are never looked at.
const InputItem* userInfoItem(const std::vector<InputItem>& items) {
  if (items.empty()) return nullptr;
  const InputItem& first = items.front();
  return first.isExtensionItem && first.hasUserInfo ? &first : nullptr;
}

}  // namespace

std::string uuidText(const std::array<std::uint8_t, 16>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

Json RequestHandler::requestObject(const std::vector<InputItem>& items) {
  const InputItem* item = userInfoItem(items);
  if (item != nullptr && item->message && item->message->kind == UserInfoValue::Kind::dictionary &&
      item->message->dictionary.is_object()) {
    return item->message->dictionary;
  }
  return Json::object();
}

std::string RequestHandler::profileIdentifier(const std::vector<InputItem>& items,
                                              bool profilesSupported) {
  if (!profilesSupported) return "default";
  const InputItem* item = userInfoItem(items);
  if (item != nullptr && item->profile && item->profile->kind == UserInfoValue::Kind::uuid) {
    return uuidText(item->profile->uuid);
  }
  return "default";
}

void RequestHandler::beginRequest(std::shared_ptr<platform::ExtensionContext> context) {
  if (!context) return;
  try {
    const std::vector<InputItem> items = context->inputItems();
    Json request = requestObject(items);
    const std::string profile = profileIdentifier(items, platform::systemVersionAtLeast(14, 0));
    // The reply routine keeps the context alive until it has completed the request.
    Relay::forProfile(profile)->handle(
        std::move(request), [context](const Json& reply) { context->completeRequest(reply); });
  } catch (...) {
    // No relay could take the request (out of memory): it is still answered, once.
    context->completeRequest(Json{{"ok", false}, {"error", "disconnected"}, {"messages", Json::array()}});
  }
}

}  // namespace karvo::safari
