// Every message of the conversion pipeline (drivers and WAV writer), one
// helper per message, each with its kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// --- Output writers and the sph2pipe-style conversion ----------------------

// `format`: "WAV", "AU", "AIFF" and so on.
inline Error channel_count_too_large_for(std::string_view format) {
    return invalid("channel_count too large for " + std::string(format));
}

inline Error sample_rate_too_large_for(std::string_view format) {
    return invalid("sample_rate too large for " + std::string(format));
}

// `format`: as above; `samples`: bytes of sample data.
inline Error format_size_limit(std::string_view format, std::uint64_t samples) {
    return invalid("output exceeds the 4 GB " + std::string(format) + " size limit (" + std::to_string(samples) +
                   " bytes of samples)");
}

// `amount`: bytes, or samples when their byte count does not fit 64 bits.
inline Error output_too_large(std::uint64_t amount) {
    return invalid("output too large for this machine (" + std::to_string(amount) + ")");
}

// `channel` counted from 1, as the command line counts.
inline Error no_such_channel(std::uint64_t channel, std::int64_t channels) {
    return invalid("channel " + std::to_string(channel) + " requested, but the file has " +
                   std::to_string(channels) + (channels == 1 ? " channel" : " channels"));
}

inline Error range_starts_after_end(std::uint64_t first, std::uint64_t frames) {
    return invalid("range starts at sample " + std::to_string(first) + ", after the end of the file (" +
                   std::to_string(frames) + " samples)");
}

inline Error range_ends_before_start(std::uint64_t first, std::uint64_t end) {
    return invalid("range ends at sample " + std::to_string(end) + ", before its start at sample " +
                   std::to_string(first));
}

}  // namespace sonavert::pipeline::errors
