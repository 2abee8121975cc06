// The host's version, kept in the program file as a what(1)-style mark: the host reads no arguments,
// so karvo-doctor finds the version of the karvo-host that a manifest names here, without running it.
#include "karvo_version.h"

// `retain` keeps the mark when the linker drops unused sections (an ELF feature; Mach-O linkers keep
// it unless told to strip dead code).
#if defined(__ELF__)
#define KARVO_KEEP [[gnu::used, gnu::retain]]
#else
#define KARVO_KEEP [[gnu::used]]
#endif

namespace karvo {

KARVO_KEEP extern const char kVersionMark[] = "@(#)karvo-host " KARVO_VERSION;

}  // namespace karvo
