// Every message of payload decoding by coding, one helper per message, each
// with its kind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/text.hpp"

namespace sonavert::codecs::errors {

// `coding`: the whole sample_coding text as stored; `compression`: its
// second part, trimmed and lower-cased.
inline Error compression_not_supported(std::string_view coding, std::string_view compression) {
    return unsupported("compressed coding " + text::quoted(coding) +
                       " not supported yet (compression: " + text::quoted(compression) + ")");
}

// `coding`: the first part, trimmed and lower-cased.
inline Error coding_not_supported(std::string_view coding) {
    return unsupported("sample_coding " + text::quoted(coding) + " not supported yet");
}

// `bits`: 8 x sample_n_bytes, already in decimal (it may exceed 64 bits).
inline Error pcm_width_not_supported(std::string_view bits) {
    return unsupported(std::string(bits) + "-bit PCM not supported yet (supported: 16, 32 bit)");
}

inline Error byte_format_not_recognized(std::string_view format) {
    return unsupported("unrecognized sample_byte_format " + text::quoted(format) +
                       " (supported: '1', '01', '10')");
}

// `law`: "ulaw" or "alaw".
inline Error g711_width_not_supported(std::string_view law, std::int64_t sample_n_bytes) {
    return unsupported(std::string(law) + " expects 1-byte samples, got sample_n_bytes=" +
                       std::to_string(sample_n_bytes));
}

inline Error shorten_channels_disagree(std::uint64_t decoded, std::int64_t declared) {
    return unsupported("shorten channel count " + std::to_string(decoded) +
                       " disagrees with SPHERE header channel_count " + std::to_string(declared));
}

inline Error shorten_too_short(std::uint64_t per_channel, std::int64_t declared) {
    return invalid("shorten stream decoded " + std::to_string(per_channel) +
                   " samples/channel, but the SPHERE header declares " + std::to_string(declared) +
                   " (truncated or QUIT came early)");
}

}  // namespace sonavert::codecs::errors
