// The AIFF file: a FORM of a COMM chunk and an SSND chunk of big-endian
// linear PCM.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/samples.hpp"

namespace sonavert::pipeline {

inline constexpr std::size_t kAiffHeaderSize = 54;

// The form an AIFF file stores for `to`: AIFF holds linear PCM only, so
// both G.711 forms become 16-bit linear; Pcm16 and Pcm32 stay.
SampleForm aiff_form(SampleForm to) noexcept;

// An AIFF file of the samples of `sel` in aiff_form(to): "FORM", its size,
// "AIFF"; a COMM chunk of 18 bytes (channels, frames, bits per sample, the
// sample rate as an 80-bit extended float); an SSND chunk with offset and
// block size 0 and the samples big-endian. The sample rate is >= 1.
// Errors (Invalid), in this order: more than 65535 channels; a FORM size
// beyond 32 bits.
Result<ByteBuffer> write_aiff(std::uint64_t sample_rate, const SampleView& in, const Selection& sel, SampleForm to);

// The 80-bit IEEE extended form of `value` (>= 1), big-endian, as AIFF
// stores its sample rate.
void store_extended(std::uint8_t* p, std::uint64_t value) noexcept;

}  // namespace sonavert::pipeline
