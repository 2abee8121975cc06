// Apple platforms only: text between Foundation strings and UTF-8 bytes. Both directions carry an
// explicit length, since a C string ends at the first U+0000 and JSON strings and keys may hold one.
#pragma once

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

namespace karvo::safari::platform {

// The UTF-8 bytes of `value` when it is a string; nothing for nil, any other object, or a string that
// has no UTF-8 form (an unpaired surrogate).
inline std::optional<std::string> utf8Text(id value) {
  if (![value isKindOfClass:[NSString class]]) return std::nullopt;
  NSString* text = value;
  if (text.length == 0) return std::string();
  const NSUInteger size = [text lengthOfBytesUsingEncoding:NSUTF8StringEncoding];
  if (size == 0) return std::nullopt;
  std::string bytes(size, '\0');
  NSUInteger used = 0;
  NSRange remaining = NSMakeRange(0, 0);
  const BOOL converted = [text getBytes:bytes.data()
                              maxLength:size
                             usedLength:&used
                               encoding:NSUTF8StringEncoding
                                options:0
                                  range:NSMakeRange(0, text.length)
                         remainingRange:&remaining];
  if (!converted || used != size || remaining.length != 0) return std::nullopt;
  return bytes;
}

// A Foundation string of the UTF-8 bytes `text`; nil when they are not valid UTF-8.
inline NSString* foundationText(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

}  // namespace karvo::safari::platform
