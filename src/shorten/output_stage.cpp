#include "shorten/output_stage.hpp"

#include <algorithm>

#include "shorten/means.hpp"

namespace sonavert::shorten {

bool type8_code(std::int64_t v, std::uint32_t b, std::uint8_t& code) noexcept {
    const std::uint64_t x = fold_sign(v);
    std::uint64_t level;
    if (b == 0) {
        if (v < -128 || v > 127) return false;
        level = x;
    } else if (x >= 128) {
        level = 127;  // every candidate below is at least x
    } else {
        // Candidates x * 2^(b-k) + C(k) for k = 0..b; x < 128 and b <= 32
        // keep them below 2^40.
        level = x << b;
        std::uint64_t c = 0;
        for (std::uint32_t k = 1; k <= b; ++k) {
            c = c / 2 + 8 * k;
            level = std::min(level, (x << (b - k)) + c);
        }
        level = std::min<std::uint64_t>(level, 127);
    }
    code = static_cast<std::uint8_t>((v >= 0 ? 0xFF : 0x7F) - level);
    return true;
}

bool au1_code(std::int64_t v, std::uint32_t b, std::uint8_t& code) noexcept {
    if (v >= 0) return type8_code(v, b, code);
    if (b == 0 && v == -128) {
        code = 0x7F;
        return true;
    }
    return type8_code(v - 1, b, code);  // v < 0: no overflow
}

std::int16_t linear_pcm16(std::int64_t v, std::uint32_t b) noexcept {
    // v * 2^b fits 16 bits exactly when -(32768 >> b) <= v <= 32767 >> b.
    if (v > (std::int64_t{32767} >> b)) return 32767;
    if (v < -(std::int64_t{32768} >> b)) return -32768;
    return static_cast<std::int16_t>(static_cast<std::uint64_t>(v) << b);
}

OutputStage::OutputStage(bool ulaw, bool codes, bool au1) : ulaw_(ulaw), codes_(codes), au1_(au1) {
    if (ulaw_) {
        mulaw_ = make_g711_table(false);
        above_ = stored(0x80);
        below_ = stored(0x00);
        set_bitshift(0);
    }
}

void OutputStage::set_bitshift(std::uint32_t b) {
    bitshift_ = b;
    if (!ulaw_) return;
    for (int v = -128; v < 128; ++v) {
        std::uint8_t code = 0;
        // Cannot fail inside -128..127.
        (void)(au1_ ? au1_code(v, b, code) : type8_code(v, b, code));
        levels_[static_cast<std::size_t>(v + 128)] = stored(code);
    }
}

bool OutputStage::in_domain(const std::int64_t* s, std::size_t m, std::uint64_t folded,
                            std::int64_t& bad) const noexcept {
    if (!ulaw_ || bitshift_ != 0 || within(folded, 7)) return true;
    for (std::size_t i = 0; i < m; ++i) {
        if (s[i] < -128 || s[i] > 127) {
            bad = s[i];
            return false;
        }
    }
    return true;
}

// convert() with the stride a constant S (or `stride` when S is 0), so
// that the mono and stereo loops need no multiplication.
template <std::size_t S>
bool OutputStage::convert_strided(const std::int64_t* s, std::size_t m, std::uint64_t folded, std::int16_t* dst,
                                  std::size_t stride, std::int64_t& bad) const noexcept {
    const std::size_t step = S != 0 ? S : stride;
    const std::uint32_t b = bitshift_;
    if (!ulaw_) {
        if (b <= 15 && within(folded, 15 - b)) {  // every s * 2^b fits 16 bits
            for (std::size_t i = 0; i < m; ++i) {
                dst[i * step] = static_cast<std::int16_t>(static_cast<std::uint64_t>(s[i]) << b);
            }
        } else {
            for (std::size_t i = 0; i < m; ++i) dst[i * step] = linear_pcm16(s[i], b);
        }
        return true;
    }
    const std::int16_t* level = levels_.data() + 128;  // level[v] for v in -128..127
    if (within(folded, 7)) {  // every sample in -128..127
#pragma GCC unroll 4
        for (std::size_t i = 0; i < m; ++i) dst[i * step] = level[s[i]];
        return true;
    }
    if (b == 0) {
        for (std::size_t i = 0; i < m; ++i) {
            if (s[i] < -128 || s[i] > 127) {
                bad = s[i];
                return false;
            }
            dst[i * step] = level[s[i]];
        }
        return true;
    }
    // Beyond -128..127 the level is 127: code 0x80 or 0x00.
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t v = s[i];
        dst[i * step] = v > 127 ? above_ : v < -128 ? below_ : level[v];
    }
    return true;
}

bool OutputStage::convert(const std::int64_t* s, std::size_t m, std::uint64_t folded, std::int16_t* dst,
                          std::size_t stride, std::int64_t& bad) const noexcept {
    switch (stride) {
        case 1: return convert_strided<1>(s, m, folded, dst, stride, bad);
        case 2: return convert_strided<2>(s, m, folded, dst, stride, bad);
        default: return convert_strided<0>(s, m, folded, dst, stride, bad);
    }
}

}  // namespace sonavert::shorten
