// Declarations only, after Apple's documentation; see ../README.md for what they prove.
#pragma once

#include <Foundation/Foundation.h>

extern "C" NSString* const SFExtensionMessageKey;
// macOS 14.0 and later.
extern "C" NSString* const SFExtensionProfileKey;
