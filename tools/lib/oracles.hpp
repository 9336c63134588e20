// Independent checks of the library's results, shared by the fuzz targets and
// the damage sweeps: the catalogue of error messages, a plain reference model
// of what decode_pcm and transcode must return for a parsed header, and a
// field-by-field check of WAV files.
//
// The reference model is written for clarity, byte by byte and from the
// formulas, and shares no code with the decoders it checks; for embedded
// Shorten it relies on shorten_to_pcm, which fuzz_shorten checks on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten_stream_writer.hpp"
#include "sphere/header.hpp"

namespace sonavert::testkit {

// Groups of catalogued messages (common/messages.inc: the hundreds of the
// code), as bits.
enum MessageGroup : unsigned {
    kHeaderMessages = 1u << 0,   // parse_header
    kDriverMessages = 1u << 1,   // declared payload size, truncation
    kWavMessages = 1u << 2,      // transcode's WAV limits and the WAV writer
    kCodingMessages = 1u << 3,   // decode_payload
    kShortenMessages = 1u << 4,  // the Shorten bit reader and decoder
};
// The messages each entry point may return.
inline constexpr unsigned kDecodePcmMessages = kHeaderMessages | kDriverMessages | kCodingMessages | kShortenMessages;
inline constexpr unsigned kTranscodeMessages = kDecodePcmMessages | kWavMessages;

// True when `message` has the form of `pattern` ({n}: a decimal integer,
// {q}: a quoted text, {t}: any text; everything else literal).
bool matches_pattern(std::string_view pattern, std::string_view message);

// True when `error` carries the code of a catalogued message of `groups`,
// with that entry's kind and a message of the form of its pattern.
bool is_catalogued(const Error& error, unsigned groups);

// The 16-bit level of a G.711 code word, by the G.711 formulas.
std::int16_t g711_level(std::uint8_t code, bool alaw);

// What decode_audio must deliver for a header.
struct ReferenceAudio {
    std::vector<std::uint8_t> pcm;  // interleaved little-endian samples
    std::uint16_t bits_per_sample = 0;
};

// The audio of a parsed header (one that parse_header returned), or nullopt
// when decoding must fail. Plain PCM and G.711 are decoded byte by byte from
// the payload; an embedded Shorten payload gives the first sample_count
// frames of shorten_to_pcm, after its channel count and length checks.
std::optional<ReferenceAudio> reference_audio(const sphere::SphereHeader& header);

// The message transcode must fail with for a header whose audio decoded to
// `audio`, or nullopt when it must succeed.
std::optional<std::string> reference_wav_error(const sphere::HeaderFields& fields,
                                               const ReferenceAudio& audio);

// Empty when `wav` is the canonical WAV file of `audio` with the header's
// channel count and sample rate; otherwise the first difference found.
std::string wav_mismatch(ByteView wav, const ReferenceAudio& audio, std::uint64_t channels,
                         std::uint64_t sample_rate);

// The six header parameters of a Shorten stream, read bit by bit without
// the library's bit reader; nullopt when the stream is not "ajkg" version 1
// or 2, or ends inside them.
std::optional<ShortenHeader> read_shorten_header(ByteView stream);

}  // namespace sonavert::testkit
