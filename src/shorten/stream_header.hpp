// The start of a Shorten stream: the preamble ("ajkg" and the format
// version), the six header parameters with their skip codes, the limits they
// are held to, and the rules of the stream's version.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/bit_reader.hpp"

namespace sonavert::shorten {

// Header bounds. Each keeps a corrupt header from asking for absurd work or
// memory before a single sample is decoded.
inline constexpr std::uint64_t kMaxChannels = 256;                    // far beyond any recording
inline constexpr std::uint64_t kMaxBlocksize = std::uint64_t{1} << 24;  // 16M samples per block
inline constexpr std::uint64_t kMaxLpcOrder = 1024;                   // predictor taps per sample
inline constexpr std::uint64_t kMaxMeanBlocks = std::uint64_t{1} << 16;  // means kept per channel
inline constexpr std::uint64_t kMaxSkip = std::uint64_t{1} << 20;      // header skip codes
inline constexpr std::uint64_t kMaxBitshift = 32;                     // output shift
// Total decoded samples, over all channels: bounds the output (2 GiB of
// 16-bit PCM) that a few hundred bytes of stream could otherwise demand.
// Fuzzing builds may lower it (SONAVERT_MAX_DECODED_SAMPLES, set by
// fuzz/CMakeLists.txt) so that the streams that reach it decode quickly.
#ifdef SONAVERT_MAX_DECODED_SAMPLES
inline constexpr std::uint64_t kMaxDecodedSamples = SONAVERT_MAX_DECODED_SAMPLES;
#else
inline constexpr std::uint64_t kMaxDecodedSamples = std::uint64_t{1} << 30;
#endif

// The stream versions a reader accepts. Version 2 is what every current
// encoder writes; version 1 (shorten 1.x, the WSJ0 and WSJ1 discs) differs
// in its means, its QLPC rounding and its mu-law sample type (see
// StreamRules).
enum class Versions { OnlyV2, V1AndV2 };

struct StreamHeader {
    std::uint64_t sample_type;  // version 2: 3, 5 (linear) or 8 (mu-law); version 1: 0 (mu-law), 3 or 5
    std::uint64_t channels;     // 1..kMaxChannels
    std::uint64_t blocksize;    // 1..kMaxBlocksize
    std::uint64_t maxnlpc;      // 0..kMaxLpcOrder
    std::uint64_t nmean;        // 0..kMaxMeanBlocks
    std::uint8_t version = 2;   // 1 or 2

    // Mu-law samples: type 8, or version 1's type 0.
    bool is_ulaw() const noexcept { return sample_type == 8 || sample_type == 0; }
};

// What differs between the stream versions, in one place: a decoder holds
// these for its stream (and a snapshot of its state holds them too).
//   version 2: a block's mean is ((B + floor(blocksize / 2)) / blocksize)
//     * 2^b, b the bitshift of that block (means are kept in output units);
//     the mean offset is ((S + floor(nmean / 2)) / nmean) >> b_now, an
//     arithmetic shift by the bitshift in force; QLPC adds 32 before its
//     shift by 5.
//   version 1: a block's mean is B / blocksize, the mean offset S / nmean,
//     neither rounded nor shifted; QLPC adds nothing before its shift; type
//     0 is mu-law whose negative samples sit one step lower (see
//     au1_code).
// B: the sum of the block's samples; S: the sum of the last nmean means.
struct StreamRules {
    bool output_unit_means = true;  // version 2's rounding and scaling of means
    std::int64_t lpc_rounding = 32;
    bool au1 = false;               // version 1 type 0: au1_code, not type8_code

    static StreamRules of(const StreamHeader& h) noexcept {
        if (h.version == 2) return {};
        return StreamRules{false, 0, h.sample_type == 0};
    }
};

// A checked header and the reader placed after it, at the first command.
struct StreamStart {
    StreamHeader header;
    BitReader reader;
};

// Reads the preamble and the header of `stream` (which the reader views, so
// it must outlive it). Fails, in this order: missing magic, missing version
// byte, a version not accepted, a bit-reader fault inside the six
// parameters, nskip, a fault inside the skip codes, then sample type,
// channel count, blocksize, maxnlpc and nmean out of their bounds.
// OnlyV2 refuses every other version and type with the messages of a
// version-2 reader; V1AndV2 names the version (and the type) it refuses.
Result<StreamStart> read_stream_start(ByteView stream, Versions versions = Versions::OnlyV2);

}  // namespace sonavert::shorten
