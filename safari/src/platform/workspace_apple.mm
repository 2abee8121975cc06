#import <AppKit/AppKit.h>

#include <memory>

#include "workspace.h"

namespace karvo::safari::platform {

std::optional<std::string> applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
  NSURL* url = [[NSWorkspace sharedWorkspace] URLForApplicationWithBundleIdentifier:@(bundleIdentifier.c_str())];
  const char* path = url.path.UTF8String;
  return path != nullptr ? std::optional<std::string>(path) : std::nullopt;
}

void openApplication(const std::string& path, const OpenConfiguration& configuration,
                     OpenCompletion completion) {
  NSWorkspaceOpenConfiguration* open = [NSWorkspaceOpenConfiguration configuration];
  open.activates = configuration.activates;
  open.addsToRecentItems = configuration.addsToRecentItems;
  NSMutableArray<NSString*>* arguments = [NSMutableArray array];
  for (const std::string& argument : configuration.arguments) [arguments addObject:@(argument.c_str())];
  open.arguments = arguments;
  // The block keeps its own copy of the completion; it may run after the caller stopped waiting.
  auto done = std::make_shared<OpenCompletion>(std::move(completion));
  [[NSWorkspace sharedWorkspace]
      openApplicationAtURL:[NSURL fileURLWithPath:@(path.c_str())]
             configuration:open
         completionHandler:^(NSRunningApplication* application, NSError* error) {
           (void)application;
           if (!*done) return;
           if (error != nil) {
             const char* description = error.localizedDescription.UTF8String;
             (*done)(std::string(description != nullptr ? description : ""));
           } else {
             (*done)(std::nullopt);
           }
         }];
}

}  // namespace karvo::safari::platform
