#include "codecs/g711.hpp"

#include <bit>
#include <cstring>

namespace sonavert::codecs {
namespace {

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

ByteBuffer expand_g711(ByteView data, bool alaw, std::size_t lead) {
    if (data.empty() && lead == 0) return ByteBuffer();
    const G711Table table = make_g711_table(alaw);
    // data.size() comes from an object in memory, so twice it fits size_t.
    ByteBuffer out(lead + data.size() * 2);
    std::uint8_t* dst = out.data() + lead;
    const std::uint8_t* in = data.data();
    const std::size_t n = data.size();
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Four samples per 64-bit store: faster under GCC and Clang alike
        // than one 16-bit store per sample (which Clang unrolls into four
        // separate stores).
        const auto level = [&table](std::uint8_t code) {
            return std::uint64_t{static_cast<std::uint16_t>(table[code])};
        };
        for (; i + 4 <= n; i += 4) {
            const std::uint64_t four =
                level(in[i]) | level(in[i + 1]) << 16 | level(in[i + 2]) << 32 | level(in[i + 3]) << 48;
            std::memcpy(dst + 2 * i, &four, sizeof four);
        }
    }
    for (; i < n; ++i) store_le16(dst + 2 * i, static_cast<std::uint16_t>(table[in[i]]));
    return out;
}

}  // namespace sonavert::codecs
