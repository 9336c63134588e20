#include "common/bytes.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sonavert {

void advise_huge_pages(std::uint8_t* data, std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr std::size_t kMinimum = std::size_t{8} << 20;
    if (size < kMinimum) return;
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kPage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace sonavert
