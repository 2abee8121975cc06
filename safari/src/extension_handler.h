// The extension's request handler: takes the request object and the profile out of a Safari request,
// hands the request to that profile's relay and returns the relay's reply as the request's only item.
// The platform's principal class, "SafariWebExtensionHandler", calls beginRequest for every request.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json_value.h"
#include "platform/extension_context.h"

namespace karvo::safari {

class RequestHandler {
 public:
  RequestHandler() = delete;

  // Queues the request on its profile's relay and returns at once; the relay completes the context later,
  // exactly once, from its own queue.
  static void beginRequest(std::shared_ptr<platform::ExtensionContext> context);

  // The request object: the first input item's message when it is a dictionary, else an empty object.
  static Json requestObject(const std::vector<platform::InputItem>& items);

  // The profile identifier: with profiles supported (macOS 14 and later), the first input item's profile
  // UUID as text; otherwise, or when that is no UUID, "default".
  static std::string profileIdentifier(const std::vector<platform::InputItem>& items,
                                       bool profilesSupported);
};

// The canonical text of a UUID: upper-case hexadecimal digits in groups of 8, 4, 4, 4 and 12.
std::string uuidText(const std::array<std::uint8_t, 16>& bytes);

}  // namespace karvo::safari
