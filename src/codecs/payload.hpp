// Decoding a SPHERE payload by its sample coding: plain PCM in either byte
// order, G.711 mu-law and A-law, and embedded Shorten streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/decoder.hpp"
#include "sphere/header.hpp"

namespace sonavert::codecs {

struct DecodedPcm {
    std::uint16_t bits_per_sample = 0;  // 16 or 32; 8 for mu-law codes
    ByteBuffer pcm;                     // interleaved little-endian samples
    // `pcm` holds mu-law code bytes as stored, one per sample: asked for
    // (decode_with) and given by a mu-law Shorten stream.
    bool mulaw_codes = false;
};

// The first two comma-separated parts of a sample_coding text, each trimmed
// of White_Space (not lower-cased); views into the text. `compression` is
// empty when there is no second part. Parts after the second play no role.
struct CodingParts {
    std::string_view base;
    std::string_view compression;

    // A non-empty second part: the payload is a compressed stream that runs
    // to the end of the file rather than a declared number of bytes.
    bool compressed() const noexcept { return !compression.empty(); }
};
CodingParts split_coding(std::string_view coding);

// Which decoder a header's coding selects.
enum class Decoder { PlainPcm, MuLaw, ALaw, EmbeddedShorten };

// The decoder for the header's sample_coding (default "pcm"), or the error
// for a compression or base coding we do not handle. Reads sample_coding
// only.
Result<Decoder> choose_decoder(const sphere::HeaderFields& fields);
// The same for a sample_coding text `coding` already split into `parts`.
Result<Decoder> choose_decoder(std::string_view coding, const CodingParts& parts);

// How plain PCM is converted: its width and whether its bytes are swapped.
struct PlainPcm {
    std::uint16_t bits_per_sample = 0;  // 16 or 32
    bool big_endian = false;
};

// The checks of the plain PCM decoder (sample_n_bytes 2 or 4, then a known
// sample_byte_format), without touching the payload.
Result<PlainPcm> check_plain_pcm(const sphere::HeaderFields& fields);

// The check of the G.711 decoders: sample_n_bytes must be 1.
Status check_g711(const sphere::HeaderFields& fields, bool alaw);

// Writes the little-endian form of `payload` to `out`, which has room for
// payload.size() bytes and does not overlap it. Never fails.
void convert_plain_pcm(const PlainPcm& layout, ByteView payload, std::uint8_t* out) noexcept;

// The samples of `payload` by the decoder chosen for `fields`, after `lead`
// uninitialised bytes of `pcm` left for the caller (a file header, say).
// `shorten_samples` reaches the Shorten decoder: MuLawCodes keeps the code
// bytes of a mu-law stream (see shorten::decode_shorten); the other
// decoders ignore it.
Result<DecodedPcm> decode_with(Decoder decoder, const sphere::HeaderFields& fields, ByteView payload,
                               std::size_t lead = 0,
                               shorten::ShortenSamples shorten_samples = shorten::ShortenSamples::Levels);

// The samples of `payload` as little-endian PCM, decoded as the header's
// sample_coding (default "pcm"), sample_n_bytes and sample_byte_format say.
// `fields` must have passed validation. `payload` is the whole rest of the
// file for a compressed coding, else exactly the declared payload size.
// Errors: the coding messages of codecs/errors.hpp, and those of
// require_int and shorten_to_pcm unchanged.
Result<DecodedPcm> decode_payload(const sphere::HeaderFields& fields, ByteView payload);

// Copies `n` bytes from `in` to `out`, reversing the bytes of every whole
// group of `width` (2 or 4) bytes; a shorter tail is copied unchanged.
// The two ranges must not overlap.
void copy_byte_swapped(const std::uint8_t* in, std::uint8_t* out, std::size_t n,
                       unsigned width) noexcept;

}  // namespace sonavert::codecs
