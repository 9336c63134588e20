#include "pipeline/au_writer.hpp"

#include <cstring>
#include <limits>

#include "pipeline/errors.hpp"
#include "pipeline/header_bytes.hpp"

namespace sonavert::pipeline {
namespace {

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

std::uint32_t au_encoding(SampleForm form) noexcept {
    switch (form) {
        case SampleForm::MuLaw: return 1;
        case SampleForm::ALaw: return 27;
        case SampleForm::Pcm16: return 3;
        case SampleForm::Pcm32: return 5;
    }
    return 0;
}

}  // namespace

Result<ByteBuffer> write_au(std::uint64_t sample_rate, const SampleView& in, const Selection& sel, SampleForm to) {
    if (sample_rate > kMax32) return errors::sample_rate_too_large("AU");
    const std::uint32_t channels = selected_channels(in, sel);
    SV_ASSIGN_OR_RETURN(ByteBuffer out,
                        header_and_samples(kAuHeaderSize, in, sel, to, true, kAuHeaderSize + kMax32 - 1, "AU"));
    std::uint8_t* p = out.data();
    put_tag(p, ".snd");
    store_be32(p + 4, kAuHeaderSize);
    store_be32(p + 8, static_cast<std::uint32_t>(out.size() - kAuHeaderSize));
    store_be32(p + 12, au_encoding(to));
    store_be32(p + 16, static_cast<std::uint32_t>(sample_rate));
    store_be32(p + 20, channels);
    return out;
}

}  // namespace sonavert::pipeline
