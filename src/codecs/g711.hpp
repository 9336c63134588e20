// G.711 mu-law and A-law expansion to signed 16-bit little-endian PCM.
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

}  // namespace sonavert::codecs
