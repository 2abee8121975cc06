// Canonical equivalence through Foundation's Unicode normalisation. Called from the relays' queues,
// threads without an autorelease pool of their own: the body drains its own.
#import <Foundation/Foundation.h>

#include "foundation_text.h"
#include "unicode_text.h"

namespace karvo::safari::platform {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  // Foundation may take a leading U+FEFF for a byte order mark and drop it while decoding. The character
  // is a starter that composes with nothing, so leading ones are compared here, pair by pair.
  while (a.starts_with(kByteOrderMark) && b.starts_with(kByteOrderMark)) {
    a.remove_prefix(kByteOrderMark.size());
    b.remove_prefix(kByteOrderMark.size());
  }
  if (a.starts_with(kByteOrderMark) || b.starts_with(kByteOrderMark)) return false;
  @autoreleasepool {
    NSString* left = foundationText(a);
    NSString* right = foundationText(b);
    if (left == nil || right == nil) return false;
    // Both in Normalization Form C, then compared code unit by code unit.
    return [left.precomposedStringWithCanonicalMapping isEqualToString:right.precomposedStringWithCanonicalMapping];
  }
}

}  // namespace karvo::safari::platform
