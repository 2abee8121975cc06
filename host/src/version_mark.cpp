// The host's version, kept in the program file as a what(1)-style mark: the host reads no arguments,
// so karvo-doctor finds the version of the karvo-host that a manifest names here, without running it.
// `retain` keeps the mark when the linker drops unused sections.
#include "karvo_version.h"

namespace karvo {

[[gnu::used, gnu::retain]] extern const char kVersionMark[] = "@(#)karvo-host " KARVO_VERSION;

}  // namespace karvo
