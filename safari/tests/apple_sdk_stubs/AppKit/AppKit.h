// Declarations only, after Apple's documentation; see ../README.md for what they prove.
#pragma once

#include <Foundation/Foundation.h>

@interface NSRunningApplication : NSObject
@property(readonly, copy) NSString* bundleIdentifier;
@end

@interface NSWorkspaceOpenConfiguration : NSObject <NSCopying>
+ (instancetype)configuration;
@property BOOL activates;
@property BOOL addsToRecentItems;
@property BOOL hides;
@property(copy) NSArray<NSString*>* arguments;
@end

@interface NSWorkspace : NSObject
@property(class, readonly, strong) NSWorkspace* sharedWorkspace;
- (NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication* app, NSError* error))completionHandler;
@end
