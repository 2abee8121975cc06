// macOS: memory from malloc takes no advice of this kind; the system's own page size serves.
#include "large_pages.h"

namespace karvo {

void advise_large_pages(void*, std::size_t) noexcept {}

}  // namespace karvo
