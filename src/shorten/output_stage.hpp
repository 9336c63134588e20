// The last step of every block: reconstructed samples to 16-bit PCM.
// Linear samples are shifted left by the bitshift (saturating) and clamped
// to -32768..32767; mu-law samples become code bytes (type8_code) and then
// levels of the G.711 mu-law table, or stay code bytes for a caller that
// asked for them (each held in a 16-bit slot).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/g711_table.hpp"

namespace sonavert::shorten {

// The mu-law code byte of a reconstructed sample v of a sample-type-8
// stream under bitshift b (0..32). Returns false only when b is 0 and v
// lies outside -128..127.
bool type8_code(std::int64_t v, std::uint32_t b, std::uint8_t& code) noexcept;

// The mu-law code byte of a reconstructed sample v of a version-1 type-0
// stream under bitshift b (0..32): type8_code of v when v >= 0, of v - 1
// when v < 0, and under bitshift 0 the code 0x7F for v = -128. Returns
// false only when b is 0 and v lies outside -128..127.
bool au1_code(std::int64_t v, std::uint32_t b, std::uint8_t& code) noexcept;

// v * 2^b saturated to 64 bits and then clamped to 16 bits, which is v * 2^b
// clamped to -32768..32767 (b is 0..32).
std::int16_t linear_pcm16(std::int64_t v, std::uint32_t b) noexcept;

class OutputStage {
public:
    // `codes`: mu-law samples are stored as their code bytes (0..255), not
    // as levels. Linear samples are stored as levels either way. `au1`:
    // mu-law codes by au1_code rather than type8_code.
    explicit OutputStage(bool ulaw, bool codes = false, bool au1 = false);

    void set_bitshift(std::uint32_t b);
    std::uint32_t bitshift() const noexcept { return bitshift_; }

    // True when samples that fit 16 bits pass unchanged (linear, bitshift 0).
    bool is_identity() const noexcept { return !ulaw_ && bitshift_ == 0; }

    // What a sample 0 (a ZERO block's) is stored as: 0, or the mu-law code
    // 0xFF when code bytes are stored.
    std::int16_t zero() const noexcept { return stores_codes() ? 0xFF : 0; }

    // True when mu-law code bytes are stored.
    bool stores_codes() const noexcept { return ulaw_ && codes_; }

    // Converts the m samples s[0..m) into dst[0], dst[stride], ...,
    // dst[(m - 1) * stride]. `folded` is the OR of fold_sign() over them. For
    // mu-law under bitshift 0 a sample outside -128..127 fails: returns false
    // with the first such sample in `bad`.
    bool convert(const std::int64_t* s, std::size_t m, std::uint64_t folded, std::int16_t* dst,
                 std::size_t stride, std::int64_t& bad) const noexcept;

    // convert()'s check alone, for samples that are not stored: false, with
    // the first offending sample in `bad`, exactly where convert() fails.
    bool in_domain(const std::int64_t* s, std::size_t m, std::uint64_t folded, std::int64_t& bad) const noexcept;

private:
    template <std::size_t S>
    bool convert_strided(const std::int64_t* s, std::size_t m, std::uint64_t folded, std::int16_t* dst,
                         std::size_t stride, std::int64_t& bad) const noexcept;

    // A mu-law code as stored: its level, or the code itself.
    std::int16_t stored(std::uint8_t code) const noexcept { return codes_ ? code : mulaw_[code]; }

    bool ulaw_;
    bool codes_;
    bool au1_;
    std::uint32_t bitshift_ = 0;
    G711Table mulaw_{};
    // Mu-law only: what samples -128..127 are stored as (index v + 128).
    std::array<std::int16_t, 256> levels_{};
    // Mu-law only: what samples above 127 and below -128 are stored as
    // under a bitshift (codes 0x80 and 0x00).
    std::int16_t above_ = 0, below_ = 0;
};

}  // namespace sonavert::shorten
