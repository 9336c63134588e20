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

// Which decoder a header's coding selects. PcuLaw: mu-law with the bits of
// every code byte reversed. PcuLawShorten: a linear Shorten stream whose
// 16-bit samples, written in the byte order of the stream's sample type
// (3: high byte first, 5: low byte first), are pculaw code bytes.
enum class Decoder { PlainPcm, MuLaw, ALaw, EmbeddedShorten, PcuLaw, PcuLawShorten };

// Which codings a reader takes: exactly those of the module's native
// functions (Strict), or also the variants that real corpora carry
// (Corpora): any "embedded-shorten-v..." compression part, Shorten stream
// version 1, pculaw, and Shorten payloads under a header that names no
// compression (see undeclared_shorten).
enum class Reading { Strict, Corpora };

// The decoder for the header's sample_coding (default "pcm"), or the error
// for a compression or base coding we do not handle. Reads sample_coding
// only.
Result<Decoder> choose_decoder(const sphere::HeaderFields& fields, Reading reading = Reading::Strict);
// The same for a sample_coding text `coding` already split into `parts`.
Result<Decoder> choose_decoder(std::string_view coding, const CodingParts& parts,
                               Reading reading = Reading::Strict);

// True when the coding names no compression and yet the payload is a
// Shorten stream: shorter than the declared payload size, and starting with
// "ajkg" and version 1 or 2 (some corpora were compressed without their
// headers being updated). A payload of the declared size or more is never
// taken for Shorten. `start`: the payload's first bytes (5 are enough),
// `length`: its whole length.
bool undeclared_shorten(const sphere::HeaderFields& fields, ByteView start, std::uint64_t length);

// choose_decoder for a header and its payload: under Corpora an undeclared
// Shorten payload selects EmbeddedShorten (PcuLawShorten for pculaw).
Result<Decoder> choose_decoder(const sphere::HeaderFields& fields, ByteView start, std::uint64_t length,
                               Reading reading);

// True for the decoders of Shorten streams, whose payload runs to the end
// of the file instead of the declared size.
inline bool reads_stream(Decoder decoder) noexcept {
    return decoder == Decoder::EmbeddedShorten || decoder == Decoder::PcuLawShorten;
}

// The mu-law code byte of a pculaw code byte: its bits reversed.
std::uint8_t mulaw_of_pculaw(std::uint8_t code) noexcept;

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
// `shorten_samples` reaches the Shorten decoders: MuLawCodes keeps the
// code bytes of a mu-law stream (see shorten::decode_shorten), and
// PcuLawShorten gives its code bytes (as mu-law codes) then; the other
// decoders ignore it. `reading`: Corpora reads Shorten stream version 1
// too.
Result<DecodedPcm> decode_with(Decoder decoder, const sphere::HeaderFields& fields, ByteView payload,
                               std::size_t lead = 0,
                               shorten::ShortenSamples shorten_samples = shorten::ShortenSamples::Levels,
                               Reading reading = Reading::Strict);

// The mu-law code bytes of a pculaw payload (every byte's bits reversed).
ByteBuffer mulaw_codes_of_pculaw(ByteView payload);

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
