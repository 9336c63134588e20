#include "shorten/bit_reader.hpp"

#include <algorithm>

#include "shorten/errors.hpp"

namespace sonavert::shorten {
namespace {

// Up to 8 bytes from `p` (of which `available` exist) as a big-endian
// number; missing bytes read as zero.
std::uint64_t load_be64_tail(const std::uint8_t* p, std::uint64_t available) noexcept {
    if (available >= 8) return load_be64(p);
    std::uint64_t v = 0;
    for (std::uint64_t i = 0; i < available; ++i) v |= std::uint64_t{p[i]} << (56 - 8 * i);
    return v;
}

}  // namespace

CodeTable::CodeTable(std::uint32_t n) noexcept {
    // Indices below 2^n begin with kBits - n zeros: codes too long for the table.
    std::fill_n(entries_.begin(), std::size_t{1} << n, 0);
    // The code of (zeros << n) | low is `zeros` zero bits, a one and the n
    // bits of low: it fills the 2^(kBits - length) entries that begin with it.
    for (std::uint32_t zeros = 0; zeros + 1 + n <= kBits; ++zeros) {
        const std::uint32_t length = zeros + 1 + n;
        const std::uint32_t span = 1u << (kBits - length);
        for (std::uint32_t low = 0; low < (1u << n); ++low) {
            const auto value = static_cast<std::int16_t>(unfold_sign((std::uint64_t{zeros} << n) | low));
            const std::uint32_t first = ((1u << n) | low) << (kBits - length);
            std::fill_n(entries_.begin() + first, span, value);
        }
    }
}

BitReader::SlowCode BitReader::uvar_slow(const std::uint8_t* data, std::uint64_t size,
                                         std::uint64_t pos, std::uint64_t n) noexcept {
    if (n > kMaxCodeWidth) return {0, pos, BitFault::Oversized};
    const std::uint64_t total = size * 8;
    std::uint64_t zeros = 0;
    // Unary prefix, one word at a time. The zero bits of a word are counted
    // only as far as the data goes, so the runaway limit counts zeros that
    // are present and truncation is reported only for a missing bit.
    for (;;) {
        if (pos >= total) return {0, pos, BitFault::Truncated};
        const std::uint64_t byte = pos >> 3;
        const std::uint32_t skip = static_cast<std::uint32_t>(pos & 7);
        const std::uint64_t word = load_be64_tail(data + byte, size - byte) << skip;
        const std::uint64_t valid = std::min<std::uint64_t>(64, (size - byte) * 8) - skip;
        if (word != 0) {  // the stop bit lies within the valid bits
            const std::uint64_t z = static_cast<std::uint64_t>(std::countl_zero(word));
            if (zeros + z >= kRunawayZeros) return {0, pos, BitFault::Runaway};
            zeros += z;
            pos += z + 1;
            break;
        }
        if (zeros + valid >= kRunawayZeros) return {0, pos, BitFault::Runaway};
        zeros += valid;
        pos += valid;
    }
    std::uint64_t low = 0;
    if (n > 0) {
        if (total - pos < n) return {0, total, BitFault::Truncated};
        const std::uint64_t byte = pos >> 3;
        // (pos & 7) + n <= 39 bits, all within the loaded word.
        low = (load_be64_tail(data + byte, size - byte) << (pos & 7)) >> (64 - n);
        pos += n;
    }
    return {(zeros << n) | low, pos, BitFault::None};
}

Error BitReader::error() const {
    switch (fault_) {
        case BitFault::Runaway: return errors::runaway_unary();
        case BitFault::Oversized: return errors::oversized_width(fault_width_);
        case BitFault::Truncated:
        case BitFault::None: break;
    }
    return errors::ran_past_end();
}

Result<std::uint32_t> BitReader::read_bit() {
    if (pos_ >= size_ * 8) {
        fault_ = BitFault::Truncated;
        return errors::ran_past_end();
    }
    const std::uint32_t bit = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
    ++pos_;
    return bit;
}

Result<std::uint64_t> BitReader::read_uvar(std::uint64_t n) {
    std::uint64_t value;
    if (!next_uvar(n, value)) return error();
    return value;
}

Result<std::int64_t> BitReader::read_var(std::uint64_t n) {
    std::int64_t value;
    if (!next_var(n, value)) return error();
    return value;
}

Result<std::uint64_t> BitReader::read_ulong() {
    SV_ASSIGN_OR_RETURN(const std::uint64_t width, read_uvar(2));
    return read_uvar(width);
}

}  // namespace sonavert::shorten
