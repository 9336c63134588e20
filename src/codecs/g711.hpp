// G.711 mu-law and A-law: expansion to signed 16-bit little-endian PCM, and
// compression of 16-bit linear samples to code words.
#pragma once

#include <array>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/g711_table.hpp"

namespace sonavert::codecs {

// The expansion tables (common/g711_table.hpp).
using ::sonavert::G711Table;
using ::sonavert::make_g711_table;

// Expands every byte of `data` to two bytes of little-endian PCM, after
// `lead` uninitialised bytes left for the caller. Never fails; throws
// std::bad_alloc only when the output cannot be allocated.
ByteBuffer expand_g711(ByteView data, bool alaw, std::size_t lead = 0);

// The mu-law code word of a 16-bit linear sample: the magnitude (the sign
// dropped before the scaling, so -1..-3 round towards zero) scaled to 14
// bits, clipped at 8159, biased by 33 and split into segment and step.
// Samples -1..-3 give negative zero (0x7F), which expands to 0 like 0xFF;
// every other code word comes back from its own expansion level.
std::uint8_t mulaw_from_linear(std::int16_t sample) noexcept;

// The A-law code word of a 16-bit linear sample: the sample scaled to 13
// bits by an arithmetic shift (rounding towards minus infinity), negative
// values folded to their ones' complement, then segment and step, with the
// even bits inverted. Every code word comes back from its expansion level.
std::uint8_t alaw_from_linear(std::int16_t sample) noexcept;

}  // namespace sonavert::codecs
