// A bare Shorten stream to interleaved signed 16-bit little-endian PCM.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::shorten {

struct ShortenPcm {
    std::uint64_t channel_count = 0;  // the stream header's channel count, 1..256
    bool is_ulaw = false;             // the stream carried mu-law samples
    ByteBuffer pcm;                   // 2 bytes per decoded sample, frame by frame
};

// Decodes `stream` and converts its samples to 16-bit PCM: linear samples
// are clamped to -32768..32767, mu-law codes go through the G.711 table.
Result<ShortenPcm> shorten_to_pcm(ByteView stream);

}  // namespace sonavert::shorten
