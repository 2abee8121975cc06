// Declarations only, after Apple's documentation; see ../README.md for what they prove.
#pragma once

#include <Foundation/Foundation.h>

extern "C" NSString* const SFExtensionMessageKey;
// macOS 14.0 and later: weakly imported below that, so its address is null on older systems.
extern "C" NSString* const SFExtensionProfileKey __attribute__((weak_import));
