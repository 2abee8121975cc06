// The extension's JSON value model and the typed reads that every piece of relay logic uses.
//
// Requests, replies and the application's messages are JSON values: null, booleans, numbers, strings,
// arrays and string-keyed objects. Every read of a member is typed: a member of another JSON type counts
// as absent. The one widening is the boolean read, which also takes a number equal to 1 or 0 (the
// platform's JSON facility hands booleans over as numbers).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace karvo::safari {

using Json = nlohmann::json;

// The member `key` of `object` when `object` is an object and the member is a string; else nullptr.
const std::string* stringMember(const Json& object, std::string_view key);

// The member `key` of `object` when it is an object; else nullptr.
const Json* objectMember(const Json& object, std::string_view key);

// The member `key` of `object` when it is an array whose elements are all objects; else nullptr.
const Json* objectArrayMember(const Json& object, std::string_view key);

// true/false for a boolean, or a number equal to 1 or 0; nothing for any other value.
std::optional<bool> asBool(const Json& value);
std::optional<bool> boolMember(const Json& object, std::string_view key);

// Whole-text comparison by Unicode canonical equivalence (the precomposed and the decomposed form of a
// text are equal; for ASCII this is byte equality). Text that is not valid UTF-8 equals only itself.
bool textEquals(std::string_view a, std::string_view b);

// True when `object`'s member `key` is a string canonically equivalent to `text`.
bool memberTextEquals(const Json& object, std::string_view key, std::string_view text);

}  // namespace karvo::safari
