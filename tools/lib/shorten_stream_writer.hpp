// Low-level writers of Shorten version 2 streams: the bit packer with the
// variable-length codes, and a command-by-command stream builder.
//
// These write exactly what they are told, valid or not, so tests can build
// streams by hand (malformed ones included). The encoder in
// shorten_encoder.hpp is built on them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "shorten/function_codes.hpp"

namespace sonavert::testkit {

// Packs codes into bytes, most significant bit first. The final partial
// byte is padded with zero bits by finish().
class BitWriter {
public:
    // Appends the low `count` bits of `value` (count 0..64), high bit first.
    void put_bits(std::uint64_t value, unsigned count);
    // Appends `count` zero bits (any count).
    void put_zeros(std::uint64_t count);
    // Unsigned code of width n: (value >> n) zeros, a one, the n low bits.
    // n must be 0..64; widths above 32 are written (for tests) as given.
    void put_uvar(std::uint64_t value, unsigned n);
    // Signed code: the zigzag mapping 0, -1, 1, -2, ... -> 0, 1, 2, 3, ...
    // written with put_uvar(u, n).
    void put_var(std::int64_t value, unsigned n);
    // Self-sized code: the bit length w of `value` as put_uvar(w, 2), then
    // put_uvar(value, w).
    void put_ulong(std::uint64_t value);

    std::uint64_t bit_count() const noexcept { return bytes_.size() * 8 + pending_; }
    // The bytes, the last one padded with zero bits. The writer is empty
    // afterwards.
    std::vector<std::uint8_t> finish();
    // Reserves room for about `bytes` bytes of output.
    void reserve(std::size_t bytes) { bytes_.reserve(bytes); }

private:
    // Appends the low `count` (<= 56) bits of `value`; the bits above
    // `count` must be zero.
    void put_short(std::uint64_t value, unsigned count) {
        acc_ = (acc_ << count) | value;
        pending_ += count;
        while (pending_ >= 8) {
            pending_ -= 8;
            bytes_.push_back(static_cast<std::uint8_t>(acc_ >> pending_));
        }
    }

    std::vector<std::uint8_t> bytes_;
    std::uint64_t acc_ = 0;   // the low `pending_` bits are not yet stored
    unsigned pending_ = 0;    // 0..7 between calls
};

// The zigzag mapping of read_var: u = 2v for v >= 0, -2v - 1 for v < 0.
inline std::uint64_t zigzag(std::int64_t v) noexcept {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

// The number of bits put_uvar(value, n) writes.
inline std::uint64_t uvar_bits(std::uint64_t value, unsigned n) noexcept {
    return (value >> n) + 1 + n;
}

// The six header parameters of a stream, written in this order.
struct ShortenHeader {
    std::uint64_t sample_type = 5;
    std::uint64_t channels = 1;
    std::uint64_t blocksize = 256;
    std::uint64_t maxnlpc = 0;
    std::uint64_t nmean = 0;
    std::uint64_t nskip = 0;
};

// Builds a stream command by command. Each method appends its command with
// its arguments exactly as given; nothing is checked.
class ShortenStreamWriter {
public:
    // Starts with the magic "ajkg" and the version byte.
    explicit ShortenStreamWriter(std::uint8_t version = 2);

    // The six parameters as self-sized codes, then `header.nskip` skip codes
    // (read_uvar(1) codes of value 0).
    ShortenStreamWriter& header(const ShortenHeader& header);
    // A bare function code (any value, also unknown ones).
    ShortenStreamWriter& function(std::uint64_t code);
    // DIFF0..DIFF3 (`order` 0..3): energy, then the residuals at width
    // energy + 1.
    ShortenStreamWriter& diff(unsigned order, unsigned energy, std::span<const std::int64_t> residuals);
    // QLPC: energy, order = coefs.size(), the coefficients at width 6, the
    // residuals at width energy + 1.
    ShortenStreamWriter& qlpc(unsigned energy, std::span<const std::int64_t> coefs,
                              std::span<const std::int64_t> residuals);
    ShortenStreamWriter& zero();
    ShortenStreamWriter& blocksize(std::uint64_t blocksize);
    ShortenStreamWriter& bitshift(std::uint64_t bitshift);
    // VERBATIM: the count, then each byte as a read_uvar(8) code.
    ShortenStreamWriter& verbatim(std::span<const std::uint8_t> bytes);
    // VERBATIM with any values as its read_uvar(8) codes, beyond a byte too.
    ShortenStreamWriter& verbatim_codes(std::span<const std::uint64_t> codes);
    ShortenStreamWriter& quit();

    BitWriter& bits() noexcept { return bits_; }
    // The whole stream: preamble, then the bitstream padded to a byte.
    std::vector<std::uint8_t> finish();

private:
    BitWriter bits_;
};

}  // namespace sonavert::testkit
