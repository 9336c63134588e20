#include "codecs/g711.hpp"

#include <bit>

namespace sonavert::codecs {
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

// Mu-law works on 14-bit magnitudes: the largest that is not clipped, and
// the bias that makes every segment start at a power of two.
constexpr std::uint32_t kMulawClip = 8159;
constexpr std::uint32_t kMulawBias = 33;

}  // namespace

std::uint8_t mulaw_from_linear(std::int16_t sample) noexcept {
    const std::int32_t x = sample;
    const std::uint8_t mask = x < 0 ? 0x7F : 0xFF;
    std::uint32_t magnitude = static_cast<std::uint32_t>(x < 0 ? -x : x) >> 2;
    if (magnitude > kMulawClip) magnitude = kMulawClip;
    magnitude += kMulawBias;  // 33..8192
    // Segment s holds the biased magnitudes [2^(s+5), 2^(s+6)); 8192 only
    // arises from the clip and takes the top code of segment 7.
    const int segment = std::bit_width(magnitude) - 6;
    if (segment > 7) return static_cast<std::uint8_t>(0x7F ^ mask);
    const std::uint32_t step = (magnitude >> (segment + 1)) & 0x0Fu;
    return static_cast<std::uint8_t>(((static_cast<std::uint32_t>(segment) << 4) | step) ^ mask);
}

std::uint8_t alaw_from_linear(std::int16_t sample) noexcept {
    std::int32_t x = sample >> 3;  // arithmetic: rounds towards minus infinity
    std::uint8_t mask = 0xD5;
    if (x < 0) {
        mask = 0x55;
        x = -x - 1;
    }
    const auto magnitude = static_cast<std::uint32_t>(x);  // 0..4095
    // Segments 0 and 1 share a step of 2; segment s >= 1 holds [2^(s+4), 2^(s+5)).
    const int width = std::bit_width(magnitude);
    const int segment = width <= 5 ? 0 : width - 5;
    const std::uint32_t step = (magnitude >> (segment < 2 ? 1 : segment)) & 0x0Fu;
    return static_cast<std::uint8_t>(((static_cast<std::uint32_t>(segment) << 4) | step) ^ mask);
}

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

ByteBuffer expand_g711(ByteView data, bool alaw, std::size_t lead) {
    if (data.empty() && lead == 0) return ByteBuffer();
    const G711Table table = make_g711_table(alaw);
    // data.size() comes from an object in memory, so twice it fits size_t.
    ByteBuffer out(lead + data.size() * 2);
    std::uint8_t* dst = out.data() + lead;
    for (std::size_t i = 0; i < data.size(); ++i) {
        store_le16(dst + 2 * i, static_cast<std::uint16_t>(table[data[i]]));
    }
    return out;
}

}  // namespace sonavert::codecs
