// The extension context of one Safari request, in the terms the request handler needs: the input items
// with the two user-info values it reads, one reply item out, and the system-version check.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "../json_value.h"

namespace karvo::safari::platform {

// A value found in an input item's user info, told apart as far as the handler needs.
struct UserInfoValue {
  enum class Kind { dictionary, uuid, other };
  Kind kind = Kind::other;
  Json dictionary;                      // kind dictionary: a dictionary with string keys, as a JSON object
  std::array<std::uint8_t, 16> uuid{};  // kind uuid: the UUID's bytes
};

struct InputItem {
  bool isExtensionItem = true;            // false: an input item of some other class
  bool hasUserInfo = true;                // false: the item carries no user-info dictionary
  std::optional<UserInfoValue> message;   // the value under SFExtensionMessageKey
  std::optional<UserInfoValue> profile;   // the value under SFExtensionProfileKey
};

class ExtensionContext {
 public:
  virtual ~ExtensionContext() = default;

  // The request's input items, in order.
  virtual std::vector<InputItem> inputItems() const = 0;

  // Completes the request with a list of one new item whose user info holds `message` under
  // SFExtensionMessageKey and nothing else; no completion handler.
  virtual void completeRequest(const Json& message) = 0;
};

// True when the running system is at least version major.minor.
bool systemVersionAtLeast(int major, int minor);

}  // namespace karvo::safari::platform
