// The host's version, kept in the program file as a what(1)-style mark, so that karvo-doctor finds the
// version of the karvo-host that a manifest names without running it.
#include "karvo_version.h"

// The mark must outlive the linker's dropping of unused code: on ELF `retain` keeps its section through
// --gc-sections; on Mach-O `used` alone marks the symbol as not to be stripped under -dead_strip.
#if defined(__ELF__)
#define KARVO_KEEP [[gnu::used, gnu::retain]]
#else
#define KARVO_KEEP [[gnu::used]]
#endif

namespace karvo {

KARVO_KEEP extern const char kVersionMark[] = "@(#)karvo-host " KARVO_VERSION;

}  // namespace karvo
