// The principal class of the extension, "SafariWebExtensionHandler", over the platform's extension
// context; and the system-version check.
#import <Foundation/Foundation.h>
#import <SafariServices/SafariServices.h>

#include <memory>

#include "../extension_handler.h"
#include "extension_context.h"
#include "foundation_json.h"

namespace karvo::safari::platform {
namespace {

UserInfoValue userInfoValue(id value) {
  UserInfoValue converted;
  if ([value isKindOfClass:[NSUUID class]]) {
    NSUUID* uuid = value;
    converted.kind = UserInfoValue::Kind::uuid;
    [uuid getUUIDBytes:converted.uuid.data()];
  } else if ([value isKindOfClass:[NSDictionary class]]) {
    if (auto dictionary = jsonFromFoundation(value)) {
      converted.kind = UserInfoValue::Kind::dictionary;
      converted.dictionary = std::move(*dictionary);
    }
  }
  return converted;
}

class AppleExtensionContext final : public ExtensionContext {
 public:
  explicit AppleExtensionContext(NSExtensionContext* context) : context_(context) {}

  std::vector<InputItem> inputItems() const override {
    @autoreleasepool {
      std::vector<InputItem> items;
      for (id element in context_.inputItems) {
        InputItem item;
        if (![element isKindOfClass:[NSExtensionItem class]]) {
          item.isExtensionItem = false;
          items.push_back(std::move(item));
          continue;
        }
        NSExtensionItem* extensionItem = element;
        if (NSDictionary* userInfo = extensionItem.userInfo) {
          if (id message = userInfo[SFExtensionMessageKey]) item.message = userInfoValue(message);
          if (@available(macOS 14.0, *)) {
            if (id profile = userInfo[SFExtensionProfileKey]) item.profile = userInfoValue(profile);
          }
        } else {
          item.hasUserInfo = false;
        }
        items.push_back(std::move(item));
      }
      return items;
    }
  }

  // Runs on the relay's queue, a thread without an autorelease pool of its own.
  void completeRequest(const Json& message) override {
    @autoreleasepool {
      NSExtensionItem* item = [[NSExtensionItem alloc] init];
      id reply = foundationFromJson(message);
      item.userInfo = @{SFExtensionMessageKey : reply != nil ? reply : @{}};
      [context_ completeRequestReturningItems:@[ item ] completionHandler:nil];
    }
  }

 private:
  NSExtensionContext* context_;  // held until the request is completed
};

}  // namespace

bool systemVersionAtLeast(int major, int minor) {
  @autoreleasepool {
    const NSOperatingSystemVersion version = {major, minor, 0};
    return [[NSProcessInfo processInfo] isOperatingSystemAtLeastVersion:version];
  }
}

}  // namespace karvo::safari::platform

@interface SafariWebExtensionHandler : NSObject <NSExtensionRequestHandling>
@end

@implementation SafariWebExtensionHandler

- (void)beginRequestWithExtensionContext:(NSExtensionContext*)context {
  @autoreleasepool {
    karvo::safari::RequestHandler::beginRequest(
        std::make_shared<karvo::safari::platform::AppleExtensionContext>(context));
  }
}

@end
