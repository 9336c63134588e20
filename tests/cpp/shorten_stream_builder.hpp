// Test helper: composes Shorten bitstreams and whole streams by hand, code
// by code, valid or not. Nothing is checked.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/function_codes.hpp"

namespace sonavert {
// Lets test failures show errors readably.
inline void PrintTo(const Error& e, std::ostream* os) {
    *os << (e.kind == ErrorKind::Invalid ? "Invalid" : "Unsupported") << " " << static_cast<unsigned>(e.code)
        << ": \"" << e.message << '"';
}
}  // namespace sonavert

namespace sonavert::shorten::testing {

class BitWriter {
public:
    // The low `count` bits of `value`, most significant first.
    void bits(std::uint64_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) bit((value >> i) & 1);
    }
    void bit(std::uint64_t b) {
        if (count_ % 8 == 0) bytes_.push_back(0);
        if (b != 0) bytes_.back() |= static_cast<std::uint8_t>(0x80u >> (count_ % 8));
        ++count_;
    }
    void zeros(std::uint64_t count) {
        for (; count > 0 && count_ % 8 != 0; --count) bit(0);
        bytes_.resize(bytes_.size() + count / 8, 0);
        count_ += count / 8 * 8;
        for (count %= 8; count > 0; --count) bit(0);
    }
    // (value >> n) zeros, the stop bit, the n low bits.
    void uvar(std::uint64_t value, unsigned n) {
        zeros(n >= 64 ? 0 : value >> n);
        bit(1);
        bits(value, n);
    }
    void var(std::int64_t value, unsigned n) {
        uvar((static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63), n);
    }
    // The value's bit length w as uvar(w, 2), then uvar(value, w).
    void ulong(std::uint64_t value) {
        const unsigned width = static_cast<unsigned>(std::bit_width(value));
        uvar(width, 2);
        uvar(value, width);
    }

    std::uint64_t bit_count() const { return count_; }
    // The bytes, the last one padded with zero bits.
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t count_ = 0;
};

struct Header {
    std::uint64_t type = 5;
    std::uint64_t channels = 1;
    std::uint64_t blocksize = 4;
    std::uint64_t maxnlpc = 0;
    std::uint64_t nmean = 0;
    std::uint64_t nskip = 0;
};

// Function codes (DIFF0..DIFF3 are 0..3).

// A stream: "ajkg", version 2, then the bitstream.
class Stream {
public:
    // Preamble only.
    Stream() = default;
    // Preamble and the six header codes, then nskip skip codes of value 0.
    explicit Stream(const Header& h) {
        for (std::uint64_t v : {h.type, h.channels, h.blocksize, h.maxnlpc, h.nmean, h.nskip}) w.ulong(v);
        for (std::uint64_t i = 0; i < h.nskip; ++i) w.uvar(0, 1);
    }

    Stream& fn(std::uint64_t code) { return w.uvar(code, 2), *this; }
    // DIFF0..DIFF3: the function code, energy, residuals at width energy + 1.
    Stream& diff(std::uint64_t order, unsigned energy, const std::vector<std::int64_t>& residuals) {
        fn(order);
        w.uvar(energy, 3);
        for (std::int64_t r : residuals) w.var(r, energy + 1);
        return *this;
    }
    Stream& qlpc(unsigned energy, const std::vector<std::int64_t>& coefs,
                 const std::vector<std::int64_t>& residuals) {
        fn(kQlpc);
        w.uvar(energy, 3);
        w.uvar(coefs.size(), 2);
        for (std::int64_t c : coefs) w.var(c, 6);
        for (std::int64_t r : residuals) w.var(r, energy + 1);
        return *this;
    }
    Stream& zero() { return fn(kZero); }
    Stream& blocksize(std::uint64_t n) { return fn(kBlocksize), w.ulong(n), *this; }
    Stream& bitshift(std::uint64_t n) { return fn(kBitshift), w.uvar(n, 2), *this; }
    Stream& verbatim(const std::vector<std::uint64_t>& codes) {
        fn(kVerbatim);
        w.uvar(codes.size(), 5);
        for (std::uint64_t c : codes) w.uvar(c, 8);
        return *this;
    }
    Stream& quit() { return fn(kQuit); }

    std::vector<std::uint8_t> bytes() const {
        const std::vector<std::uint8_t>& bits = w.bytes();
        std::vector<std::uint8_t> out(5 + bits.size());
        const std::uint8_t preamble[5] = {'a', 'j', 'k', 'g', 2};
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = i < 5 ? preamble[i] : bits[i - 5];
        return out;
    }

    BitWriter w;
};

inline ByteView view(const std::vector<std::uint8_t>& bytes) { return ByteView(bytes.data(), bytes.size()); }

// The signed 16-bit little-endian samples of a PCM buffer.
inline std::vector<int> pcm_values(const ByteBuffer& pcm) {
    std::vector<int> out;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        out.push_back(static_cast<std::int16_t>(pcm.data()[i] | (pcm.data()[i + 1] << 8)));
    }
    return out;
}

}  // namespace sonavert::shorten::testing
