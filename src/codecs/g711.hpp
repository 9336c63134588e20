// G.711 mu-law and A-law expansion to signed 16-bit little-endian PCM.
#pragma once

#include <array>
#include <cstdint>

#include "common/bytes.hpp"

namespace sonavert::codecs {

using G711Table = std::array<std::int16_t, 256>;

// The 256 expansion levels of one law: the 14-bit mu-law level times 4
// (-32124..32124) or the 13-bit A-law level times 8 (-32256..32256).
// Built afresh by each caller into its own storage.
G711Table make_g711_table(bool alaw) noexcept;

// Expands every byte of `data` to two bytes of little-endian PCM, after
// `lead` uninitialised bytes left for the caller. Never fails; throws
// std::bad_alloc only when the output cannot be allocated.
ByteBuffer expand_g711(ByteView data, bool alaw, std::size_t lead = 0);

}  // namespace sonavert::codecs
