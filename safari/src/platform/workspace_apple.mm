// The platform's workspace. Both calls run on a relay's queue, a thread without an autorelease pool of
// its own: each body drains its own.
#import <AppKit/AppKit.h>

#include <memory>

#include "foundation_text.h"
#include "workspace.h"

namespace karvo::safari::platform {

std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
  @autoreleasepool {
    NSString* identifier = foundationText(bundleIdentifier);
    if (identifier == nil) return std::nullopt;
    NSURL* url = [[NSWorkspace sharedWorkspace] URLForApplicationWithBundleIdentifier:identifier];
    return url != nil ? utf8Text(url.path) : std::nullopt;
  }
}

void openApplication(const std::string& path, const OpenConfiguration& configuration,
                     OpenCompletion completion) {
  @autoreleasepool {
    NSString* location = foundationText(path);
    NSMutableArray<NSString*>* arguments = [NSMutableArray arrayWithCapacity:configuration.arguments.size()];
    bool convertible = location != nil;
    for (const std::string& argument : configuration.arguments) {
      NSString* text = foundationText(argument);
      if (text == nil) {
        convertible = false;  // nothing is opened without every argument it was meant to get
        break;
      }
      [arguments addObject:text];
    }
    if (!convertible) {
      if (completion) completion("The application at " + path + " cannot be opened: not valid UTF-8.");
      return;
    }
    NSWorkspaceOpenConfiguration* open = [NSWorkspaceOpenConfiguration configuration];
    open.activates = configuration.activates ? YES : NO;
    open.addsToRecentItems = configuration.addsToRecentItems ? YES : NO;
    open.arguments = arguments;
    // The block keeps its own copy of the completion; it may run after the caller stopped waiting.
    auto done = std::make_shared<OpenCompletion>(std::move(completion));
    [[NSWorkspace sharedWorkspace]
        openApplicationAtURL:[NSURL fileURLWithPath:location]
               configuration:open
           completionHandler:^(NSRunningApplication* application, NSError* error) {
             (void)application;
             if (!*done) return;
             if (error != nil) {
               (*done)(utf8Text(error.localizedDescription).value_or(""));
             } else {
               (*done)(std::nullopt);
             }
           }];
  }
}

}  // namespace karvo::safari::platform
