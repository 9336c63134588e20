// Decoded samples as the output writers take them, and the one conversion
// loop that cuts a range of frames and a channel out of them and stores them
// in another form and byte order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::pipeline {

// How one sample is stored.
enum class SampleForm {
    Pcm16,  // signed 16-bit linear
    Pcm32,  // signed 32-bit linear
    MuLaw,  // one G.711 mu-law code word
    ALaw,   // one G.711 A-law code word
};

// Bytes per sample of a form: 2, 4 or 1.
unsigned sample_bytes(SampleForm form) noexcept;

// True for the two G.711 forms.
inline bool is_g711(SampleForm form) noexcept { return form == SampleForm::MuLaw || form == SampleForm::ALaw; }

// Interleaved frames of `channels` samples each (a view, never owned).
// `data` holds at least frames x channels x sample_bytes(form) bytes; the
// PCM forms are little-endian unless `big_endian`.
struct SampleView {
    SampleForm form = SampleForm::Pcm16;
    bool big_endian = false;
    std::uint32_t channels = 1;
    std::uint64_t frames = 0;
    ByteView data;
};

// The part of a SampleView to write: `count` frames from `first`, every
// channel or only channel `channel` (counted from 0).
struct Selection {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::optional<std::uint32_t> channel;
};

// The whole of `in`.
Selection everything(const SampleView& in) noexcept;

// Channels in the output of `sel` from `in`.
inline std::uint32_t selected_channels(const SampleView& in, const Selection& sel) noexcept {
    return sel.channel ? 1u : in.channels;
}

// The byte count of the samples of `sel` stored as `to`, or an Invalid
// error when it overflows 64 bits or the addressable size. Throws
// std::logic_error when `sel` does not lie within `in` (the caller checks
// ranges and channels before any writer runs).
Result<std::uint64_t> converted_size(const SampleView& in, const Selection& sel, SampleForm to);

// Stores the samples of `sel` in form `to` at `out`, which has room for
// converted_size() bytes; PCM is written big-endian when `big_endian_out`.
// Conversions: the same form is copied (bytes reordered as asked); 32 bits
// to 16 keep the top 16 bits; G.711 expands to 16 bits through the G.711
// table (and to 32 bits below a zero low half); linear samples to G.711 go
// through 16 bits and the encoders of codecs/g711.hpp; one law to the other
// through the 16-bit level. Never fails.
void convert_samples(const SampleView& in, const Selection& sel, SampleForm to, bool big_endian_out,
                     std::uint8_t* out) noexcept;

// A buffer of `header` bytes followed by the converted samples of `sel`,
// the header bytes left for the caller. `header` + converted_size() must
// stay within `limit`, the size fields of the format named `format`, or
// that format's size-limit message is the error.
Result<ByteBuffer> header_and_samples(std::uint64_t header, const SampleView& in, const Selection& sel,
                                      SampleForm to, bool big_endian_out, std::uint64_t limit,
                                      std::string_view format);

// Raw samples: those of `sel` in form `to`, PCM little-endian, no header.
Result<ByteBuffer> write_raw(const SampleView& in, const Selection& sel, SampleForm to);

}  // namespace sonavert::pipeline
