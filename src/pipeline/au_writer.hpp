// The Sun/NeXT AU file: a 24-byte big-endian header, then the samples.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/samples.hpp"

namespace sonavert::pipeline {

inline constexpr std::size_t kAuHeaderSize = 24;

// An AU file of the samples of `sel` in form `to`: magic ".snd", data
// offset 24, data size, encoding (1 mu-law, 27 A-law, 3 and 5 for 16- and
// 32-bit linear), sample rate and channel count, all big-endian 32-bit;
// linear samples big-endian. Errors (Invalid), in this order: a sample rate
// beyond 32 bits, the channel count beyond 32 bits, a data size beyond
// 2^32 - 2 (2^32 - 1 means "unknown" in the format).
Result<ByteBuffer> write_au(std::uint64_t sample_rate, const SampleView& in, const Selection& sel, SampleForm to);

}  // namespace sonavert::pipeline
