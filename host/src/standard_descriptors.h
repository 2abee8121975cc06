// Standard input, output and error as every program of the host's tree finds them at start.
#pragma once

namespace karvo {

// Opens the null device on each of descriptors 0, 1 and 2 that is closed; false when one of them cannot
// be opened. A program calls it first thing, before it opens anything else: otherwise the next socket or
// file it opens takes a closed standard number, and what it writes to that stream (a log line, a browser
// frame) goes there instead.
bool ensure_standard_descriptors() noexcept;

}  // namespace karvo
