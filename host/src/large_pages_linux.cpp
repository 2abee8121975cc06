// Linux: transparent huge pages, asked for with madvise(MADV_HUGEPAGE), which works where the system's
// setting is "madvise" (the usual default) as well as "always".
#include <sys/mman.h>

#include <cstdint>

#include "large_pages.h"

namespace karvo {

void advise_large_pages(void* data, std::size_t size) noexcept {
  constexpr std::uintptr_t kLargePage = 2 * 1024 * 1024;
  if (size < 2 * kLargePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
  if (last <= first) return;
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace karvo
