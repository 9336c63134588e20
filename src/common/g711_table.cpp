#include "common/g711_table.hpp"

namespace sonavert {
namespace {

// The table is computed 8 code words per step; the loop body has no
// dependence between lanes, so compilers turn it into vector code.
constexpr int kLanes = 8;

inline std::int16_t mulaw_level(std::uint32_t c) noexcept {
    const std::uint32_t u = ~c & 0xFFu;
    std::int32_t t = static_cast<std::int32_t>(((u & 0x0Fu) << 3) + 0x84u);
    t <<= (u & 0x70u) >> 4;
    return static_cast<std::int16_t>((u & 0x80u) ? 0x84 - t : t - 0x84);
}

inline std::int16_t alaw_level(std::uint32_t c) noexcept {
    const std::uint32_t a = c ^ 0x55u;
    std::int32_t t = static_cast<std::int32_t>((a & 0x0Fu) << 4);
    const std::uint32_t seg = (a & 0x70u) >> 4;
    if (seg == 0) {
        t += 8;
    } else {
        t += 0x108;
        t <<= seg - 1;  // seg 1 shifts by 0
    }
    return static_cast<std::int16_t>((a & 0x80u) ? t : -t);
}

}  // namespace

G711Table make_g711_table(bool alaw) noexcept {
    G711Table table{};
    for (std::uint32_t base = 0; base < 256; base += kLanes) {
        if (alaw) {
            for (int lane = 0; lane < kLanes; ++lane) table[base + lane] = alaw_level(base + lane);
        } else {
            for (int lane = 0; lane < kLanes; ++lane) table[base + lane] = mulaw_level(base + lane);
        }
    }
    return table;
}

}  // namespace sonavert
