// The start of a Shorten stream: the preamble ("ajkg" and version 2), the
// six header parameters with their skip codes, and the limits they are held
// to.
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

struct StreamHeader {
    std::uint64_t sample_type;  // 3, 5 (linear) or 8 (mu-law)
    std::uint64_t channels;     // 1..kMaxChannels
    std::uint64_t blocksize;    // 1..kMaxBlocksize
    std::uint64_t maxnlpc;      // 0..kMaxLpcOrder
    std::uint64_t nmean;        // 0..kMaxMeanBlocks
};

// A checked header and the reader placed after it, at the first command.
struct StreamStart {
    StreamHeader header;
    BitReader reader;
};

// Reads the preamble and the header of `stream` (which the reader views, so
// it must outlive it). Fails, in this order: missing magic, missing version
// byte, version not 2, a bit-reader fault inside the six parameters, nskip,
// a fault inside the skip codes, then sample type, channel count,
// blocksize, maxnlpc and nmean out of their bounds.
Result<StreamStart> read_stream_start(ByteView stream);

}  // namespace sonavert::shorten
