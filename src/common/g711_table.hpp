// The G.711 expansion tables: the 16-bit level of every mu-law and A-law
// code word. A leaf of its own, shared by payload decoding (codecs) and the
// Shorten output stage (mu-law streams).
#pragma once

#include <array>
#include <cstdint>

namespace sonavert {

using G711Table = std::array<std::int16_t, 256>;

// The 256 expansion levels of one law: the 14-bit mu-law level times 4
// (-32124..32124) or the 13-bit A-law level times 8 (-32256..32256).
// Built afresh by each caller into its own storage.
G711Table make_g711_table(bool alaw) noexcept;

}  // namespace sonavert
