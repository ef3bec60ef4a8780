#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

void adviseSequentialFill(void* address, std::size_t length) {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kThreshold = std::size_t{8} << 20;
  if (address == nullptr || length < kThreshold) return;
  // madvise() works on whole pages: advise only the pages inside the buffer.
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  auto begin = reinterpret_cast<std::uintptr_t>(address);
  std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  std::uintptr_t last = (begin + length) & ~(page - 1);
  if (last <= first) return;
  // Only a hint: where huge pages are off or unavailable it fails harmlessly.
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)address;
  (void)length;
#endif
}

}  // namespace platform
