#include "pipeline/checksum.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "codecs/errors.hpp"
#include "codecs/payload.hpp"
#include "pipeline/errors.hpp"
#include "shorten/incremental.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

// Plain payloads are read from a file this many bytes at a time.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;
// Shorten frames are made and summed this many at a time.
constexpr std::size_t kShortenFrames = 4096;
// A file up to this size is read whole with one read (its header and
// payload at once) rather than its header first.
constexpr std::uint64_t kWholeRead = std::uint64_t{8} << 20;
// A thread keeps its read buffer for the next file up to this size (a
// corpus of short files reads into memory already touched); a larger one
// is released after the file.
constexpr std::size_t kKeptBuffer = std::size_t{16} << 20;

constexpr std::string_view kNoChecksum = "the header has no sample_checksum";
constexpr std::string_view kNotSixteenBit = "sample_checksum covers 16-bit samples and 1-byte G.711 codes only";

// Sums of the bytes at even and at odd offsets, which make the sum of the
// 16-bit values in either byte order.
struct ByteSums {
    std::uint64_t even = 0, odd = 0;

    // `n` bytes at `p`, where p starts at an even offset of the samples.
    void add(const std::uint8_t* p, std::size_t n) noexcept {
        std::size_t i = 0;
        if constexpr (std::endian::native == std::endian::little) {
            // Eight bytes at a time, four 16-bit lanes per sum: a lane takes
            // at most 255 bytes of 255 before it is folded in.
            constexpr std::uint64_t kLow = 0x00FF00FF00FF00FFull;
            constexpr std::size_t kRun = 255 * 8;
            while (n - i >= 8) {
                const std::size_t end = i + std::min(kRun, (n - i) / 8 * 8);
                std::uint64_t e = 0, o = 0;
                for (; i < end; i += 8) {
                    std::uint64_t w;
                    std::memcpy(&w, p + i, 8);
                    e += w & kLow;
                    o += (w >> 8) & kLow;
                }
                even += fold(e);
                odd += fold(o);
            }
        }
        for (; i + 1 < n; i += 2) {
            even += p[i];
            odd += p[i + 1];
        }
        if (i < n) even += p[i];
    }
    static std::uint64_t fold(std::uint64_t lanes) noexcept {
        return (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
    }
    std::uint16_t of16(bool big_endian) const noexcept {
        const std::uint64_t low = big_endian ? odd : even, high = big_endian ? even : odd;
        return static_cast<std::uint16_t>(low + (high << 8));
    }
    std::uint16_t of8() const noexcept { return static_cast<std::uint16_t>(even + odd); }
};

// The read buffer of this thread, at least `size` bytes.
std::vector<std::uint8_t>& read_buffer(std::size_t size) {
    thread_local std::vector<std::uint8_t> buffer;
    if (buffer.size() < size) buffer.resize(size);
    return buffer;
}

void release_large_buffer() {
    std::vector<std::uint8_t>& buffer = read_buffer(0);
    if (buffer.capacity() > kKeptBuffer) std::vector<std::uint8_t>().swap(buffer);
}

// [offset, offset + size) of the source: where it lies in memory, else read
// into this thread's buffer.
Result<ByteView> bytes_at(const ByteSource& source, std::uint64_t offset, std::uint64_t size) {
    if (const std::uint8_t* p = source.memory_at(offset, size)) return ByteView(p, static_cast<std::size_t>(size));
    if (size > SIZE_MAX / 2) return errors::request_too_large();
    std::vector<std::uint8_t>& buffer = read_buffer(static_cast<std::size_t>(size));
    SV_TRY(source.read_at(offset, buffer.data(), static_cast<std::size_t>(size)));
    return ByteView(buffer.data(), static_cast<std::size_t>(size));
}

// The byte sums of a plain (PCM or G.711) payload of `size` bytes.
Result<ByteSums> sum_plain(const ByteSource& source, std::uint64_t offset, std::uint64_t size) {
    ByteSums sums;
    for (std::uint64_t done = 0; done < size;) {
        const std::uint64_t n = std::min<std::uint64_t>(size - done, kReadChunk);
        SV_ASSIGN_OR_RETURN(const ByteView bytes, bytes_at(source, offset + done, n));
        sums.add(bytes.data(), bytes.size());
        done += n;
    }
    return sums;
}

// Decodes the Shorten payload to its end, with the checks of decoding it
// whole in their order (the stream's faults, then its channel count, then
// its length), summing the first `frames` frames as the decoder makes them,
// a block at a time while the block is in cache (no second pass over the
// file's samples): code bytes when `codes` (a 1-byte mu-law file), else the
// 16-bit levels. Nothing (once decoded and checked) for a linear stream
// under a 1-byte header, whose samples carry no checksum of ours.
Result<std::optional<ByteSums>> sum_shorten(ByteView stream, const AudioLayout& layout, bool codes) {
    SV_ASSIGN_OR_RETURN(shorten::IncrementalDecoder decoder,
                        shorten::IncrementalDecoder::open(stream, shorten::Reconstruction::Proven,
                                                          codes ? shorten::ShortenSamples::MuLawCodes
                                                                : shorten::ShortenSamples::Levels,
                                                          shorten::Versions::V1AndV2));
    const std::uint64_t channels = decoder.channel_count();
    const bool gives_codes = decoder.gives_codes();
    thread_local std::vector<std::int16_t> block;
    block.resize(static_cast<std::size_t>(channels) * kShortenFrames);
    ByteSums sums;
    std::uint64_t made = 0;
    for (;;) {
        Result<std::size_t> got = gives_codes
                                      ? decoder.read_codes(reinterpret_cast<std::uint8_t*>(block.data()), kShortenFrames)
                                      : decoder.read(block.data(), kShortenFrames);
        if (!got) return std::move(got).error();
        if (*got == 0) break;
        const std::uint64_t kept = made >= layout.frames ? 0 : std::min<std::uint64_t>(*got, layout.frames - made);
        const std::size_t samples = static_cast<std::size_t>(kept * channels);
        if (gives_codes) {
            sums.add(reinterpret_cast<const std::uint8_t*>(block.data()), samples);
        } else if constexpr (std::endian::native == std::endian::little) {
            sums.add(reinterpret_cast<const std::uint8_t*>(block.data()), samples * 2);
        } else {
            for (std::size_t i = 0; i < samples; ++i) {
                const auto value = static_cast<std::uint16_t>(block[i]);
                sums.even += value & 0xFFu;
                sums.odd += value >> 8;
            }
        }
        made += *got;
    }
    if (channels != layout.channels) {
        return codecs::errors::shorten_channels_disagree(channels, static_cast<std::int64_t>(layout.channels));
    }
    if (made < layout.frames) return codecs::errors::shorten_too_short(made, static_cast<std::int64_t>(layout.frames));
    if (codes && !gives_codes) return std::optional<ByteSums>();
    return std::optional<ByteSums>(sums);
}

// The code bytes of a pculaw Shorten payload as the file stores them (the
// decoder gives them as mu-law codes, whose bits are those of the stored
// bytes reversed), summed; the whole stream is decoded and checked.
Result<ByteSums> sum_pculaw_shorten(ByteView stream, const sphere::HeaderFields& fields) {
    SV_ASSIGN_OR_RETURN(const codecs::DecodedPcm codes,
                        codecs::decode_with(codecs::Decoder::PcuLawShorten, fields, stream, 0,
                                            shorten::ShortenSamples::MuLawCodes, codecs::Reading::Corpora));
    ByteSums sums;
    for (const std::uint8_t code : codes.pcm.view()) sums.even += codecs::mulaw_of_pculaw(code);
    return sums;
}

Result<ChecksumCheck> check_opened(const ByteSource& source, const sphere::SphereHeader& header,
                                   const AudioLayout& layout) {
    const sphere::HeaderFields& fields = header.fields;
    SV_ASSIGN_OR_RETURN(const std::int64_t width, sphere::require_int(fields, "sample_n_bytes"));
    ChecksumCheck check;
    bool summed = true, big_endian = false;
    ByteSums sums;
    if (layout.stored == Stored::PcuLawShorten) {
        const std::uint64_t offset = layout.payload_offset;
        SV_ASSIGN_OR_RETURN(const ByteView stream, bytes_at(source, offset, source.size() - offset));
        SV_ASSIGN_OR_RETURN(sums, sum_pculaw_shorten(stream, fields));
        summed = width == 1;
    } else if (layout.stored == Stored::Shorten) {
        const std::uint64_t offset = layout.payload_offset;
        SV_ASSIGN_OR_RETURN(const ByteView stream, bytes_at(source, offset, source.size() - offset));
        SV_ASSIGN_OR_RETURN(const std::optional<ByteSums> shorten_sums, sum_shorten(stream, layout, width == 1));
        summed = shorten_sums.has_value() && (width == 1 || width == 2);
        if (shorten_sums) sums = *shorten_sums;
    } else {
        SV_ASSIGN_OR_RETURN(sums, sum_plain(source, layout.payload_offset, layout.frames * layout.stored_frame_bytes));
        big_endian = layout.stored == Stored::Pcm16Be;
        summed = layout.stored == Stored::Pcm16Le || big_endian || layout.stored == Stored::MuLaw ||
                 layout.stored == Stored::ALaw || layout.stored == Stored::PcuLaw;
    }
    if (!fields.find("sample_checksum")) {
        check.unchecked_because = kNoChecksum;
        return check;
    }
    if (!summed) {
        check.unchecked_because = kNotSixteenBit;
        return check;
    }
    SV_ASSIGN_OR_RETURN(check.declared, sphere::require_int(fields, "sample_checksum"));
    check.computed = width == 1 ? sums.of8() : sums.of16(big_endian);
    check.state = check.declared == check.computed ? ChecksumState::Match : ChecksumState::Mismatch;
    return check;
}

}  // namespace

std::uint16_t checksum16(ByteView bytes, bool big_endian) noexcept {
    ByteSums sums;
    sums.add(bytes.data(), bytes.size());
    return sums.of16(big_endian);
}

std::uint16_t checksum8(ByteView bytes) noexcept {
    ByteSums sums;
    sums.add(bytes.data(), bytes.size());
    return sums.of8();
}

Result<ChecksumCheck> check_checksum(const ByteSource& source) {
    Result<ChecksumCheck> check = [&]() -> Result<ChecksumCheck> {
        if (const std::uint8_t* whole = source.memory_at(0, source.size())) {
            // In memory (or read whole below): parsed where it lies.
            const ByteView file(whole, static_cast<std::size_t>(source.size()));
            SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
            SV_ASSIGN_OR_RETURN(const AudioLayout layout, check_audio(header, file.size()));
            return check_opened(source, header, layout);
        }
        if (source.size() <= kWholeRead) {
            // A file of the usual size is read in one go.
            SV_ASSIGN_OR_RETURN(const ByteView file, bytes_at(source, 0, source.size()));
            return check_checksum(ByteSource::of_memory(file));
        }
        SV_ASSIGN_OR_RETURN(const HeaderBlock block, read_header(source));
        SV_ASSIGN_OR_RETURN(const AudioLayout layout, check_audio(block.header, source.size()));
        return check_opened(source, block.header, layout);
    }();
    release_large_buffer();
    return check;
}

}  // namespace sonavert::pipeline
