// Stored samples of a SPHERE payload converted to the sample types of a
// read (int16, int32, float32, float64), with a choice of channels.
#include <bit>
#include <cstring>

#include "codecs/g711.hpp"
#include "pipeline/frames.hpp"

namespace sonavert::pipeline {
namespace {

template <class T>
void store_le(std::uint8_t* p, T value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &value, sizeof value);
    } else {
        std::uint8_t bytes[sizeof value];
        std::memcpy(bytes, &value, sizeof value);
        for (std::size_t i = 0; i < sizeof value; ++i) p[i] = bytes[sizeof value - 1 - i];
    }
}

// One stored sample as a signed integer of its decoded width.
template <Stored S>
inline std::int32_t load(const std::uint8_t* p, const codecs::G711Table& table) noexcept {
    if constexpr (S == Stored::Pcm16Le || S == Stored::Shorten) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
    } else if constexpr (S == Stored::Pcm16Be) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[1] | (p[0] << 8)));
    } else if constexpr (S == Stored::Pcm32Le) {
        return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                         std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    } else if constexpr (S == Stored::Pcm32Be) {
        return static_cast<std::int32_t>(std::uint32_t{p[3]} | std::uint32_t{p[2]} << 8 |
                                         std::uint32_t{p[1]} << 16 | std::uint32_t{p[0]} << 24);
    } else {
        return table[p[0]];
    }
}

// A sample of `Bits` bits written as `T`: integers keep their place in the
// full scale, floats are the sample over 2^(Bits - 1).
template <SampleType T, unsigned Bits>
inline void store(std::uint8_t* out, std::int32_t s) noexcept {
    if constexpr (T == SampleType::Int16) {
        store_le(out, static_cast<std::int16_t>(Bits == 16 ? s : s >> 16));
    } else if constexpr (T == SampleType::Int32) {
        store_le(out, Bits == 16 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(s) << 16) : s);
    } else if constexpr (T == SampleType::Float64) {
        store_le(out, std::bit_cast<std::uint64_t>(static_cast<double>(s) / (Bits == 16 ? 32768.0 : 2147483648.0)));
    } else if constexpr (Bits == 16) {
        store_le(out, std::bit_cast<std::uint32_t>(static_cast<float>(s) / 32768.0f));  // exact
    } else {
        // float holds 24 bits: the largest 32-bit samples would round to 1.0,
        // so they end at the largest float below 1.
        constexpr float kBelowOne = 1.0f - 1.0f / 16777216.0f;
        float v = static_cast<float>(static_cast<double>(s) / 2147483648.0);
        if (v > kBelowOne) v = kBelowOne;
        store_le(out, std::bit_cast<std::uint32_t>(v));
    }
}

template <Stored S, SampleType T>
void convert_as(const std::uint8_t* in, std::uint64_t frames, std::uint64_t channels,
                std::span<const std::uint64_t> pick, std::uint8_t* out) noexcept {
    constexpr std::size_t width =
        S == Stored::Shorten ? 2
                             : (S == Stored::Pcm32Le || S == Stored::Pcm32Be
                                    ? 4
                                    : (S == Stored::MuLaw || S == Stored::ALaw || S == Stored::PcuLaw ? 1 : 2));
    constexpr unsigned bits = (S == Stored::Pcm32Le || S == Stored::Pcm32Be) ? 32 : 16;
    constexpr std::size_t item = T == SampleType::Int16 ? 2 : (T == SampleType::Float64 ? 8 : 4);
    codecs::G711Table table{};
    if constexpr (S == Stored::MuLaw || S == Stored::ALaw) table = codecs::make_g711_table(S == Stored::ALaw);
    if constexpr (S == Stored::PcuLaw) {
        const codecs::G711Table mulaw = codecs::make_g711_table(false);
        for (std::size_t c = 0; c < table.size(); ++c) {
            table[c] = mulaw[codecs::mulaw_of_pculaw(static_cast<std::uint8_t>(c))];
        }
    }
    if (pick.empty()) {
        const std::uint64_t n = frames * channels;
        for (std::uint64_t i = 0; i < n; ++i) store<T, bits>(out + i * item, load<S>(in + i * width, table));
        return;
    }
    const std::size_t frame_bytes = static_cast<std::size_t>(channels) * width;
    for (std::uint64_t f = 0; f < frames; ++f) {
        const std::uint8_t* frame = in + f * frame_bytes;
        for (const std::uint64_t c : pick) {
            store<T, bits>(out, load<S>(frame + c * width, table));
            out += item;
        }
    }
}

template <Stored S>
void convert_stored(const std::uint8_t* in, std::uint64_t frames, std::uint64_t channels,
                    std::span<const std::uint64_t> pick, SampleType type, std::uint8_t* out) noexcept {
    switch (type) {
        case SampleType::Int16: return convert_as<S, SampleType::Int16>(in, frames, channels, pick, out);
        case SampleType::Int32: return convert_as<S, SampleType::Int32>(in, frames, channels, pick, out);
        case SampleType::Float32: return convert_as<S, SampleType::Float32>(in, frames, channels, pick, out);
        case SampleType::Float64: return convert_as<S, SampleType::Float64>(in, frames, channels, pick, out);
    }
}
}  // namespace

std::size_t sample_size(SampleType type) noexcept {
    switch (type) {
        case SampleType::Int16: return 2;
        case SampleType::Float64: return 8;
        default: return 4;
    }
}

void convert_samples(Stored stored, const std::uint8_t* in, std::uint64_t frames, std::uint64_t channels,
                     std::span<const std::uint64_t> pick, SampleType type, std::uint8_t* out) noexcept {
    switch (stored) {
        case Stored::Pcm16Le:
        case Stored::Shorten: return convert_stored<Stored::Pcm16Le>(in, frames, channels, pick, type, out);
        case Stored::Pcm16Be: return convert_stored<Stored::Pcm16Be>(in, frames, channels, pick, type, out);
        case Stored::Pcm32Le: return convert_stored<Stored::Pcm32Le>(in, frames, channels, pick, type, out);
        case Stored::Pcm32Be: return convert_stored<Stored::Pcm32Be>(in, frames, channels, pick, type, out);
        case Stored::MuLaw: return convert_stored<Stored::MuLaw>(in, frames, channels, pick, type, out);
        case Stored::ALaw: return convert_stored<Stored::ALaw>(in, frames, channels, pick, type, out);
        case Stored::PcuLaw: return convert_stored<Stored::PcuLaw>(in, frames, channels, pick, type, out);
        case Stored::PcuLawShorten: break;  // decoded to mu-law first (read_frames)
    }
}

}  // namespace sonavert::pipeline
