// Test helper: composes Shorten bitstreams and whole streams by hand, code
// by code, valid or not, through the project's one stream writer
// (tools/lib/shorten_stream_writer.hpp). Nothing is checked.
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
#include "shorten_encoder.hpp"
#include "shorten_stream_writer.hpp"

namespace sonavert {
// Lets test failures show errors readably.
inline void PrintTo(const Error& e, std::ostream* os) {
    *os << (e.kind == ErrorKind::Invalid ? "Invalid" : "Unsupported") << " " << static_cast<unsigned>(e.code)
        << ": \"" << e.message << '"';
}
}  // namespace sonavert

namespace sonavert::shorten::testing {

// The codes of the project's one stream writer (testkit::BitWriter) under
// short names, writing into a writer of its own or into another one's.
class BitWriter {
public:
    BitWriter() : w_(&own_) {}
    explicit BitWriter(testkit::BitWriter& target) : w_(&target) {}
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    // The low `count` bits of `value`, most significant first.
    void bits(std::uint64_t value, unsigned count) { w_->put_bits(value, count); }
    void bit(std::uint64_t b) { w_->put_bits(b & 1, 1); }
    void zeros(std::uint64_t count) { w_->put_zeros(count); }
    // (value >> n) zeros, the stop bit, the n low bits.
    void uvar(std::uint64_t value, unsigned n) { w_->put_uvar(value, n); }
    void var(std::int64_t value, unsigned n) { w_->put_var(value, n); }
    // The value's bit length w as uvar(w, 2), then uvar(value, w).
    void ulong(std::uint64_t value) { w_->put_ulong(value); }

    std::uint64_t bit_count() const { return w_->bit_count(); }
    // The bytes so far, the last one padded with zero bits.
    std::vector<std::uint8_t> bytes() const {
        testkit::BitWriter copy = *w_;
        return copy.finish();
    }

private:
    testkit::BitWriter own_;
    testkit::BitWriter* w_;
};

struct Header {
    std::uint64_t type = 5;
    std::uint64_t channels = 1;
    std::uint64_t blocksize = 4;
    std::uint64_t maxnlpc = 0;
    std::uint64_t nmean = 0;
    std::uint64_t nskip = 0;
};

// A stream: "ajkg", version 2, then the bitstream, written command by
// command by testkit::ShortenStreamWriter; `w` adds codes of any kind.
class Stream {
public:
    // Preamble only.
    Stream() = default;
    // Preamble and the six header codes, then nskip skip codes of value 0.
    explicit Stream(const Header& h) {
        writer_.header({h.type, h.channels, h.blocksize, h.maxnlpc, h.nmean, h.nskip});
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    Stream& fn(std::uint64_t code) { return writer_.function(code), *this; }
    // DIFF0..DIFF3: the function code, energy, residuals at width energy + 1.
    Stream& diff(std::uint64_t order, unsigned energy, const std::vector<std::int64_t>& residuals) {
        return writer_.diff(static_cast<unsigned>(order), energy, residuals), *this;
    }
    Stream& qlpc(unsigned energy, const std::vector<std::int64_t>& coefs,
                 const std::vector<std::int64_t>& residuals) {
        return writer_.qlpc(energy, coefs, residuals), *this;
    }
    Stream& zero() { return writer_.zero(), *this; }
    Stream& blocksize(std::uint64_t n) { return writer_.blocksize(n), *this; }
    Stream& bitshift(std::uint64_t n) { return writer_.bitshift(n), *this; }
    Stream& verbatim(const std::vector<std::uint64_t>& codes) { return writer_.verbatim_codes(codes), *this; }
    Stream& quit() { return writer_.quit(), *this; }

    std::vector<std::uint8_t> bytes() const {
        testkit::ShortenStreamWriter copy = writer_;
        return copy.finish();
    }

private:
    testkit::ShortenStreamWriter writer_;

public:
    BitWriter w{writer_.bits()};
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

// Encoder options: channels, blocksize, maxnlpc, nmean, sample type; the
// rest as the encoder's defaults unless `more` changes them.
inline testkit::ShortenOptions opts(std::uint32_t channels, std::uint32_t blocksize = 256, std::uint32_t maxnlpc = 0,
                             std::uint32_t nmean = 4, std::uint32_t sample_type = 5,
                             void (*more)(testkit::ShortenOptions&) = nullptr) {
    testkit::ShortenOptions o;
    o.channels = channels;
    o.blocksize = blocksize;
    o.maxnlpc = maxnlpc;
    o.nmean = nmean;
    o.sample_type = sample_type;
    if (more != nullptr) more(o);
    return o;
}

}  // namespace sonavert::shorten::testing
