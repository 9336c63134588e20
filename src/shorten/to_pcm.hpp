// A bare Shorten stream to interleaved signed 16-bit little-endian PCM.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/decoder.hpp"

namespace sonavert::shorten {

// The decoder already delivers the final 16-bit values (clamped linear
// samples, or mu-law codes through the G.711 table) block by block, so its
// result is the PCM: channel_count, is_ulaw, frames decoded, and `pcm` of
// 2 bytes per stored sample, frame by frame.
using ShortenPcm = DecodedShorten;

// Decodes `stream` and converts its samples to 16-bit PCM: linear samples
// are clamped to -32768..32767, mu-law codes go through the G.711 table.
// `pcm` holds every decoded frame.
Result<ShortenPcm> shorten_to_pcm(ByteView stream);

// The same for a caller that needs exactly `frames_needed` frames and fails
// with fewer: when `frames` >= `frames_needed`, `pcm` holds exactly the first
// `frames_needed` frames; otherwise it is of no use. Samples beyond those are
// decoded and checked but never stored (see decode_shorten). The first
// `lead` bytes of `pcm` are left uninitialised for the caller; the samples
// follow them. `samples`: levels, or a mu-law stream's code bytes.
// `versions`: the stream versions read (see read_stream_start).
Result<ShortenPcm> shorten_to_pcm(ByteView stream, std::uint64_t frames_needed, std::size_t lead = 0,
                                  ShortenSamples samples = ShortenSamples::Levels,
                                  Versions versions = Versions::OnlyV2);

}  // namespace sonavert::shorten
