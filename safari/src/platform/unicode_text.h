// Unicode canonical equivalence of UTF-8 text, from the platform's own Unicode tables.
#pragma once

#include <string_view>

namespace karvo::safari::platform {

// True when `a` and `b` are valid UTF-8 and canonically equivalent (the same text in Normalization
// Form C); false when either is not valid UTF-8.
bool canonicallyEquivalent(std::string_view a, std::string_view b);

}  // namespace karvo::safari::platform
