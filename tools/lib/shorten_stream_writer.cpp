#include "shorten_stream_writer.hpp"

#include <bit>

namespace sonavert::testkit {

namespace {
// put_short takes at most this many bits at once: with up to 7 bits
// pending, 7 + 56 bits still fit the 64-bit accumulator.
constexpr unsigned kMaxShortBits = 56;
}  // namespace

void BitWriter::put_bits(std::uint64_t value, unsigned count) {
    if (count > 32) {
        put_bits(value >> 32, count - 32);
        count = 32;
    }
    const std::uint64_t mask = count == 0 ? 0 : (~std::uint64_t{0} >> (64 - count));
    put_short(value & mask, count);
}

void BitWriter::put_zeros(std::uint64_t count) {
    while (count > kMaxShortBits) {
        put_short(0, kMaxShortBits);
        count -= kMaxShortBits;
    }
    put_short(0, static_cast<unsigned>(count));
}

void BitWriter::put_uvar(std::uint64_t value, unsigned n) {
    const std::uint64_t prefix = n >= 64 ? 0 : value >> n;
    if (n < kMaxShortBits && prefix < kMaxShortBits - n) {
        // Fast path: prefix zeros, stop bit and low bits in one store.
        const std::uint64_t low = value & ((std::uint64_t{1} << n) - 1);
        put_short((std::uint64_t{1} << n) | low, static_cast<unsigned>(prefix) + 1 + n);
        return;
    }
    put_zeros(prefix);
    put_short(1, 1);
    put_bits(value, n);
}

void BitWriter::put_var(std::int64_t value, unsigned n) { put_uvar(zigzag(value), n); }

void BitWriter::put_ulong(std::uint64_t value) {
    const auto width = static_cast<unsigned>(std::bit_width(value));
    put_uvar(width, 2);
    put_uvar(value, width);
}

std::vector<std::uint8_t> BitWriter::finish() {
    if (pending_ > 0) put_short(0, 8 - pending_);
    acc_ = 0;
    std::vector<std::uint8_t> out;
    out.swap(bytes_);
    return out;
}

ShortenStreamWriter::ShortenStreamWriter(std::uint8_t version) {
    for (std::uint8_t b : {std::uint8_t{'a'}, std::uint8_t{'j'}, std::uint8_t{'k'}, std::uint8_t{'g'}, version}) {
        bits_.put_bits(b, 8);
    }
}

ShortenStreamWriter& ShortenStreamWriter::header(const ShortenHeader& h) {
    for (std::uint64_t v : {h.sample_type, h.channels, h.blocksize, h.maxnlpc, h.nmean, h.nskip}) {
        bits_.put_ulong(v);
    }
    for (std::uint64_t i = 0; i < h.nskip; ++i) bits_.put_uvar(0, 1);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::function(std::uint64_t code) {
    bits_.put_uvar(code, 2);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::diff(unsigned order, unsigned energy,
                                               std::span<const std::int64_t> residuals) {
    function(shorten::kDiff0 + order);
    bits_.put_uvar(energy, 3);
    for (std::int64_t r : residuals) bits_.put_var(r, energy + 1);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::qlpc(unsigned energy, std::span<const std::int64_t> coefs,
                                               std::span<const std::int64_t> residuals) {
    function(shorten::kQlpc);
    bits_.put_uvar(energy, 3);
    bits_.put_uvar(coefs.size(), 2);
    for (std::int64_t c : coefs) bits_.put_var(c, 6);
    for (std::int64_t r : residuals) bits_.put_var(r, energy + 1);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::zero() { return function(shorten::kZero); }

ShortenStreamWriter& ShortenStreamWriter::blocksize(std::uint64_t blocksize) {
    function(shorten::kBlocksize);
    bits_.put_ulong(blocksize);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::bitshift(std::uint64_t bitshift) {
    function(shorten::kBitshift);
    bits_.put_uvar(bitshift, 2);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::verbatim(std::span<const std::uint8_t> bytes) {
    function(shorten::kVerbatim);
    bits_.put_uvar(bytes.size(), 5);
    for (std::uint8_t b : bytes) bits_.put_uvar(b, 8);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::verbatim_codes(std::span<const std::uint64_t> codes) {
    function(shorten::kVerbatim);
    bits_.put_uvar(codes.size(), 5);
    for (std::uint64_t c : codes) bits_.put_uvar(c, 8);
    return *this;
}

ShortenStreamWriter& ShortenStreamWriter::quit() { return function(shorten::kQuit); }

std::vector<std::uint8_t> ShortenStreamWriter::finish() { return bits_.finish(); }

}  // namespace sonavert::testkit
