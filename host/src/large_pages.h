// Large pages for large message buffers: a message of many megabytes then faults its memory in a few
// large steps rather than in thousands of small ones.
#pragma once

#include <cstddef>

namespace karvo {

// Asks the system to back the whole large pages inside [data, data + size) with large pages when they are
// first touched; buffers under a few megabytes are left as they are. Advice only: where the system has no
// such pages nothing changes, and a failure is ignored.
void advise_large_pages(void* data, std::size_t size) noexcept;

}  // namespace karvo
