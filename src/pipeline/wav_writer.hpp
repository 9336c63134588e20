// The canonical 44-byte RIFF/WAV header in front of integer PCM.
#pragma once

#include <array>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "pipeline/samples.hpp"

namespace sonavert::pipeline {

// Size of the header write_wav puts in front of the PCM.
inline constexpr std::size_t kWavHeaderSize = 44;

// A whole WAV file: RIFF header, a 16-byte `fmt ` chunk of format tag 1
// (integer PCM) and a `data` chunk holding `pcm` (interleaved little-endian
// samples) unchanged, plus a zero pad byte when its length is odd.
//
// Checks, in this order, all Invalid: `bits_per_sample` a multiple of 8;
// byte_rate (sample_rate x block_align) within 32 bits; the padded file
// within the 4 GB RIFF limit; block_align (channel_count x bytes per sample)
// within its 16-bit field. Every check runs before anything is allocated or
// `pcm` is read.
Result<ByteBuffer> write_wav(std::uint16_t channel_count, std::uint32_t sample_rate,
                             std::uint16_t bits_per_sample, ByteView pcm);

// The header alone, for a writer that sends the PCM (and the pad byte of an
// odd length) after it itself: the checks of write_wav in the same order.
Result<std::array<std::uint8_t, kWavHeaderSize>> wav_header(std::uint16_t channel_count, std::uint32_t sample_rate,
                                                            std::uint16_t bits_per_sample, std::uint64_t pcm_length);

// write_wav without the copy: the same checks in the same order for
// `pcm_length` bytes of PCM, then the buffer of the final size with the
// header (and pad byte) written. The caller fills the `pcm_length` bytes
// from offset kWavHeaderSize.
Result<ByteBuffer> start_wav(std::uint16_t channel_count, std::uint32_t sample_rate,
                             std::uint16_t bits_per_sample, std::uint64_t pcm_length);

// write_wav for PCM already in place: `file` holds kWavHeaderSize bytes of
// room and then the PCM. The same checks in the same order; then the header
// (and pad byte) is written into `file`, which becomes the result.
Result<ByteBuffer> finish_wav(ByteBuffer&& file, std::uint16_t channel_count, std::uint32_t sample_rate,
                              std::uint16_t bits_per_sample);

// Size of the header of a G.711 WAV file: RIFF header, an 18-byte `fmt `
// chunk, a `fact` chunk and the `data` chunk's header.
inline constexpr std::size_t kWavG711HeaderSize = 58;

// A WAV file of the samples of `sel` in form `to`, for callers that hold
// decoded samples. Linear forms: the layout and checks of write_wav.
// G.711: format tag 7 (mu-law) or 6 (A-law), 8 bits, block_align the
// channel count, an 18-byte `fmt ` chunk (extension size 0), a `fact` chunk
// holding the frame count, then `data`, with no pad byte after an odd
// count, as the files of the tools this command stands in for have it (the
// chunk is the last one, so readers are not misled). Errors (Invalid),
// in this order: more than 65535 channels; a sample rate beyond 32 bits;
// then those of write_wav (G.711: the byte rate, the 4 GB limit).
Result<ByteBuffer> write_wav_samples(std::uint64_t sample_rate, const SampleView& in, const Selection& sel,
                                     SampleForm to);

}  // namespace sonavert::pipeline
