// A Shorten version 2 encoder: interleaved samples in, a stream out that the
// decoder reconstructs exactly. It mirrors the decoder's state (history,
// running block means in output units, bitshift) and picks per block the cheapest of ZERO,
// DIFF0..DIFF3 and, with maxnlpc > 0, a fitted QLPC predictor, each with
// its best residual width.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::testkit {

// A VERBATIM command placed before the block with index `before_block`
// (blocks counted over all channels from 0; an index at or past the last
// block puts it just before QUIT).
struct VerbatimInsert {
    std::uint64_t before_block = 0;
    std::vector<std::uint8_t> bytes;
};

struct ShortenOptions {
    std::uint32_t channels = 1;     // 1..256
    std::uint32_t sample_type = 5;  // 3 or 5: 16-bit linear; 8: mu-law
    std::uint32_t blocksize = 256;  // 1..16777216, the header's blocksize
    std::uint32_t nmean = 4;        // 0..65536 block means behind DIFF0/QLPC offsets
    std::uint32_t maxnlpc = 0;      // 0..1024; > 0 also tries QLPC up to this order
    std::uint32_t nskip = 0;        // 0..1048576 skip codes after the header
    // nullopt: per block, shift out the trailing zero bits the block's
    // samples share (a BITSHIFT command whenever that changes). A value:
    // that shift for the whole stream; every sample must be a multiple of
    // 2^bitshift. Mu-law streams always use 0.
    std::optional<std::uint32_t> bitshift;
    // When not empty, cycle k (one block per channel) has the length
    // schedule[k % size]; a BLOCKSIZE command precedes every change.
    std::vector<std::uint32_t> blocksize_schedule;
    // Bytes of a VERBATIM command right after the header (none when empty).
    std::vector<std::uint8_t> leading_verbatim;
    std::vector<VerbatimInsert> verbatim_inserts;
};

// Encodes interleaved samples. For sample types 3 and 5 they are the linear
// values the decoder is to deliver (any 32-bit value; the PCM conversion
// clamps to 16 bits); for type 8 they are mu-law reconstruction values
// -128..127 (see mulaw_code_to_value). The sample count must be a whole
// number of frames. A final short cycle is coded after a BLOCKSIZE command.
// The stream is padded with zero bytes to whole 32-bit words after its
// 5-byte preamble.
Result<std::vector<std::uint8_t>> encode_shorten(std::span<const std::int32_t> samples,
                                                 const ShortenOptions& options);

// Encodes interleaved 16-bit little-endian PCM (sample type 3 or 5).
Result<std::vector<std::uint8_t>> encode_shorten_pcm16(ByteView pcm, const ShortenOptions& options);

// Encodes interleaved mu-law code bytes (sample type 8).
Result<std::vector<std::uint8_t>> encode_shorten_mulaw(ByteView codes, const ShortenOptions& options);

// Encodes bytes by the options' sample type: mu-law codes for type 8,
// 16-bit little-endian PCM otherwise.
Result<std::vector<std::uint8_t>> encode_shorten_bytes(ByteView bytes, const ShortenOptions& options);

// The cheapest residual coding of a block: the energy whose width
// (energy + 1) minimises the energy code plus the residual codes, and that
// total in bits. `zigzagged` holds the residuals as read_var maps them
// (0, -1, 1, -2, ... -> 0, 1, 2, 3, ...). Widths that would need a unary
// prefix longer than the decoder accepts (2^26 zeros) are never chosen.
struct ResidualCoding {
    unsigned energy = 0;
    std::uint64_t bits = 0;
};
ResidualCoding choose_energy(std::span<const std::uint64_t> zigzagged);

// The value a type-8 stream carries for a mu-law code at bitshift 0, the
// inverse of the decoder's code mapping: 0xFF..0x80 -> 0..127 and
// 0x7F..0x00 -> -1..-128.
constexpr std::int32_t mulaw_code_to_value(std::uint8_t code) noexcept {
    return code >= 0x80 ? 0xFF - code : code - 0x80;
}

}  // namespace sonavert::testkit
