#include "common/bytes.hpp"

// SONAVERT_PORTABLE leaves out the Linux-only advice; the data are the same.
#if defined(__linux__) && !defined(SONAVERT_PORTABLE)
#include <sys/mman.h>
#define SV_ADVISE_HUGE_PAGES 1
#endif

namespace sonavert {

void advise_huge_pages(std::uint8_t* data, std::size_t size) noexcept {
#if defined(SV_ADVISE_HUGE_PAGES) && defined(MADV_HUGEPAGE)
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
