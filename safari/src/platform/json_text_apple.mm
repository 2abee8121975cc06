// JSON text through the platform's NSJSONSerialization, with no options.
#include "json_text.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "foundation_json.h"
#include "foundation_text.h"

namespace karvo::safari::platform {

std::optional<Json> jsonFromFoundation(id value) {
  if (value == nil || value == [NSNull null]) return Json();
  if ([value isKindOfClass:[NSString class]]) {
    auto text = utf8Text(value);
    if (!text) return std::nullopt;
    return Json(std::move(*text));
  }
  if ([value isKindOfClass:[NSNumber class]]) {
    NSNumber* number = value;
    // A BOOL is a signed char on Intel Macs: handed on as it is, true would become the number 1.
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) return Json(number.boolValue != NO);
    // The type encoding tells floating point from integers for every kind of number, a decimal number
    // (always "d") included.
    const char type = number.objCType[0];
    if (type == 'd' || type == 'f') return Json(number.doubleValue);
    if (type == 'Q' && number.unsignedLongLongValue >
                           static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
      return Json(static_cast<std::uint64_t>(number.unsignedLongLongValue));
    }
    return Json(static_cast<std::int64_t>(number.longLongValue));
  }
  if ([value isKindOfClass:[NSArray class]]) {
    NSArray* elements = value;
    Json array = Json::array();
    for (id element in elements) {
      auto converted = jsonFromFoundation(element);
      if (!converted) return std::nullopt;
      array.push_back(std::move(*converted));
    }
    return array;
  }
  if ([value isKindOfClass:[NSDictionary class]]) {
    NSDictionary* members = value;
    Json object = Json::object();
    for (id key in members) {
      auto name = utf8Text(key);  // nothing for a key that is not a string
      auto converted = jsonFromFoundation(members[key]);
      if (!name || !converted) return std::nullopt;
      object[std::move(*name)] = std::move(*converted);
    }
    return object;
  }
  return std::nullopt;
}

id foundationFromJson(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return [NSNull null];
    case Json::value_t::boolean:
      return value.get<bool>() ? @YES : @NO;
    case Json::value_t::number_integer:
      return @(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return @(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return @(value.get<double>());
    case Json::value_t::string: {
      return foundationText(value.get_ref<const std::string&>());
    }
    case Json::value_t::array: {
      NSMutableArray* array = [NSMutableArray arrayWithCapacity:value.size()];
      for (const Json& element : value) {
        id converted = foundationFromJson(element);
        if (converted == nil) return nil;
        [array addObject:converted];
      }
      return array;
    }
    case Json::value_t::object: {
      NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:value.size()];
      for (const auto& [key, member] : value.items()) {
        NSString* name = foundationText(key);
        id converted = foundationFromJson(member);
        if (name == nil || converted == nil) return nil;
        dictionary[name] = converted;
      }
      return dictionary;
    }
    default:
      return nil;
  }
}

std::optional<Json> parseJson(std::string_view text) {
  @autoreleasepool {
    NSData* data = [NSData dataWithBytes:text.data() length:text.size()];
    NSError* error = nil;
    id value = [NSJSONSerialization JSONObjectWithData:data options:0 error:&error];
    if (value == nil) return std::nullopt;
    return jsonFromFoundation(value);
  }
}

std::optional<std::string> serializeJson(const Json& value) {
  @autoreleasepool {
    id object = foundationFromJson(value);
    if (object == nil || ![NSJSONSerialization isValidJSONObject:object]) return std::nullopt;
    NSError* error = nil;
    NSData* data = [NSJSONSerialization dataWithJSONObject:object options:0 error:&error];
    if (data == nil) return std::nullopt;
    return std::string(static_cast<const char*>(data.bytes), data.length);
  }
}

}  // namespace karvo::safari::platform
