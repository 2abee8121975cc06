// Apple platforms only: between Foundation's JSON objects (what NSJSONSerialization and the extension
// context carry) and the extension's JSON value model.
#pragma once

#import <Foundation/Foundation.h>

#include <optional>

#include "../json_value.h"

namespace karvo::safari::platform {

// NSDictionary (string keys only), NSArray, NSString, NSNumber (booleans stay booleans), NSNull.
// Nothing for any other object, or a dictionary with a key that is not a string.
std::optional<Json> jsonFromFoundation(id value);

// The Foundation object for a JSON value; nil when a string is not valid UTF-8.
id foundationFromJson(const Json& value);

}  // namespace karvo::safari::platform
