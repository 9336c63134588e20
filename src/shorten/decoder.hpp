// The Shorten stream decoder ("ajkg", version 2, and version 1 when asked)
// for a whole stream: header, command loop, block reconstruction, and the output stage
// to 16-bit PCM. (IncrementalDecoder in incremental.hpp makes the same
// frames a few at a time.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/stream_header.hpp"

namespace sonavert::shorten {

// What a decode stores of a sample-type-8 (mu-law) stream: the 16-bit
// levels of its codes, or the code bytes themselves, one byte per sample,
// exactly as they were coded (so a stored 0x7F stays 0x7F, where its level
// 0 would come back as 0xFF). Linear streams are stored as levels either way.
enum class ShortenSamples { Levels, MuLawCodes };

// A decoded stream, its samples already in their final form.
struct DecodedShorten {
    std::uint64_t channel_count = 0;  // the header's channel count, 1..256
    bool is_ulaw = false;             // sample type 8 (or 0 of version 1): the samples were mu-law codes
    bool codes = false;               // `pcm` holds mu-law code bytes (MuLawCodes asked, is_ulaw)
    std::uint64_t sample_type = 0;    // the header's sample type
    std::uint64_t frames = 0;         // frames decoded: the shortest channel's samples
    // Interleaved frame by frame (channel 0 first), signed 16-bit little
    // endian: linear samples shifted by the bitshift (saturating) and clamped,
    // mu-law codes expanded through the G.711 table. Frames of an incomplete
    // last cycle through the channels are dropped. When `codes`, one mu-law
    // code byte per sample in the same order instead.
    ByteBuffer pcm;
};

// How blocks are reconstructed. Both give identical samples and errors.
enum class Reconstruction {
    Proven,   // wrapping arithmetic where a bound proves no step overflows
    Checked,  // every step overflow-checked (tests compare the two)
};

// Decodes a complete stream. Errors: every message of errors.hpp.
//
// By default `pcm` holds every frame. A caller that needs exactly
// `frames_needed` frames (and fails with fewer) passes that number: every
// sample is still decoded and checked, with the same errors, but only the
// first `frames_needed` of each channel are stored, and none when the
// decoded-sample cap rules that many out for the stream's channel count.
// Then, when `frames` >= `frames_needed`, `pcm` holds exactly the first
// `frames_needed` frames; otherwise it is of no use.
//
// The first `lead` bytes of `pcm` are left uninitialised for the caller (a
// file header, say); the samples follow them.
//
// `samples` chooses levels or code bytes for a mu-law stream; the errors
// and the frames decoded are the same either way.
//
// `versions`: the stream versions read (see read_stream_start); OnlyV2
// refuses a version-1 stream.
Result<DecodedShorten> decode_shorten(ByteView stream,
                                      Reconstruction mode = Reconstruction::Proven,
                                      std::optional<std::uint64_t> frames_needed = std::nullopt,
                                      std::size_t lead = 0, ShortenSamples samples = ShortenSamples::Levels,
                                      Versions versions = Versions::OnlyV2);

}  // namespace sonavert::shorten
