// Every message of the conversion pipeline (drivers and WAV writer), one
// helper per message, each with its kind.
#pragma once

#include <cstdint>
#include <string>

#include "common/error.hpp"

namespace sonavert::pipeline::errors {

// --- Drivers ---------------------------------------------------------------

inline Error payload_truncated(std::uint64_t size, std::uint64_t available) {
    return invalid("audio payload truncated: header declares " + std::to_string(size) +
                   " bytes but only " + std::to_string(available) + " present");
}

inline Error channel_count_too_large() { return invalid("channel_count too large for WAV"); }

inline Error sample_rate_too_large() { return invalid("sample_rate too large for WAV"); }

// --- WAV writer ------------------------------------------------------------

inline Error bits_not_multiple_of_8(std::uint16_t bits) {
    return invalid("bits_per_sample must be a multiple of 8, got " + std::to_string(bits));
}

inline Error byte_rate_too_large() { return invalid("WAV byte_rate exceeds 32-bit field"); }

inline Error wav_too_large(std::uint64_t pcm_length) {
    return invalid("output exceeds the 4 GB RIFF/WAV size limit (" + std::to_string(pcm_length) +
                   " bytes of PCM)");
}

// Our own: channel count x bytes per sample does not fit the 16-bit
// block_align field, and writing it wrapped would describe another layout.
inline Error block_align_too_large() { return invalid("WAV block_align exceeds 16-bit field"); }

}  // namespace sonavert::pipeline::errors
