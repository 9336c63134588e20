// Reads of SPHERE files for the package: the header block, the layout of
// a file whose audio can be read, and frame ranges of its samples (plain
// PCM and G.711 converted where they lie or a chunk at a time; Shorten
// through a ShortenReader).
#include "pipeline/frames.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "codecs/errors.hpp"
#include "codecs/g711.hpp"
#include "common/checked.hpp"
#include "pipeline/errors.hpp"
#include "pipeline/header_rules.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

// The first read of a header: enough for every ordinary header (1024 bytes
// is usual), small enough to cost nothing more than one page or so.
constexpr std::size_t kFirstHeaderRead = 4096;

// Plain PCM and G.711 are read and converted this many bytes at a time, so
// that a read of any length needs one small scratch buffer beyond its result.
constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;


std::size_t stored_width(Stored stored) noexcept {
    switch (stored) {
        case Stored::Pcm32Le:
        case Stored::Pcm32Be: return 4;
        case Stored::MuLaw:
        case Stored::ALaw:
        case Stored::PcuLaw: return 1;
        default: return 2;
    }
}

Result<Stored> stored_as(codecs::Decoder decoder, const sphere::HeaderFields& fields) {
    switch (decoder) {
        case codecs::Decoder::PlainPcm: {
            SV_ASSIGN_OR_RETURN(const codecs::PlainPcm pcm, codecs::check_plain_pcm(fields));
            if (pcm.bits_per_sample == 16) return pcm.big_endian ? Stored::Pcm16Be : Stored::Pcm16Le;
            return pcm.big_endian ? Stored::Pcm32Be : Stored::Pcm32Le;
        }
        case codecs::Decoder::MuLaw:
        case codecs::Decoder::ALaw: {
            const bool alaw = decoder == codecs::Decoder::ALaw;
            SV_ASSIGN_OR_RETURN(const std::int64_t width, sphere::require_int(fields, "sample_n_bytes"));
            if (width != 1) {
                return alaw ? codecs::errors::alaw_width_not_supported(width)
                            : codecs::errors::ulaw_width_not_supported(width);
            }
            return alaw ? Stored::ALaw : Stored::MuLaw;
        }
        case codecs::Decoder::EmbeddedShorten: return Stored::Shorten;
        case codecs::Decoder::PcuLaw:
            SV_TRY(codecs::check_g711(fields, false));
            return Stored::PcuLaw;
        case codecs::Decoder::PcuLawShorten: return Stored::PcuLawShorten;
    }
    throw std::logic_error("unknown decoder");
}

// Frames of a pculaw Shorten file: the whole file is read and decoded to
// mu-law codes, and the frames asked for converted from those.
Status read_pculaw_shorten(const ByteSource& source, const AudioLayout& layout, const FrameRequest& request,
                           std::uint8_t* out) {
    if (source.size() > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    ByteBuffer file(static_cast<std::size_t>(source.size()));
    SV_TRY(source.read_at(0, file.data(), file.size()));
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file.view()));
    SV_ASSIGN_OR_RETURN(const codecs::DecodedPcm codes,
                        codecs::decode_with(codecs::Decoder::PcuLawShorten, header.fields, header.payload, 0,
                                            shorten::ShortenSamples::MuLawCodes, codecs::Reading::Corpora));
    const std::uint8_t* first = codes.pcm.data() + static_cast<std::size_t>(request.first * layout.channels);
    convert_samples(Stored::MuLaw, first, request.count, layout.channels, request.pick, request.type, out);
    return ok_status();
}

}  // namespace

Status ByteSource::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) const {
    std::uint64_t end = 0;
    if (!checked_add(offset, std::uint64_t{n}, end) || end > size_) {
        os_error_ = 0;
        return errors::file_shrank();
    }
    if (fd_ < 0) {
        if (n != 0) std::memcpy(out, memory_.data() + offset, n);
        return ok_status();
    }
    while (n != 0) {
        const std::size_t step = n < (std::size_t{1} << 30) ? n : (std::size_t{1} << 30);
        const ssize_t got = ::pread(fd_, out, step, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            os_error_ = errno;
            return errors::read_failed(std::strerror(os_error_));
        }
        if (got == 0) {
            os_error_ = 0;
            return errors::file_shrank();
        }
        out += got;
        offset += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return ok_status();
}

Result<HeaderBlock> read_header(const ByteSource& source) {
    const std::uint64_t size = source.size();
    std::uint64_t want = size < kFirstHeaderRead ? size : kFirstHeaderRead;
    ByteBuffer bytes(static_cast<std::size_t>(want));
    SV_TRY(source.read_at(0, bytes.data(), bytes.size()));
    for (;;) {
        const std::uint64_t needed = sphere::header_bytes_needed(bytes.view());
        if (needed <= bytes.size() || bytes.size() == size) break;
        // Grows at least twice as much each time, so a file with few line
        // feeds costs a linear number of bytes read.
        std::uint64_t next = needed > 2 * want ? needed : 2 * want;
        if (next > size) next = size;
        if (next > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
        const std::size_t had = bytes.size();
        bytes.resize(static_cast<std::size_t>(next));
        SV_TRY(source.read_at(had, bytes.data() + had, bytes.size() - had));
        want = next;
    }
    HeaderBlock block{std::move(bytes), {}};
    SV_ASSIGN_OR_RETURN(block.header, sphere::parse_header(block.bytes.view(), size));
    return block;
}

Result<Stored> stored_coding(const sphere::SphereHeader& header, std::uint64_t file_length) {
    SV_ASSIGN_OR_RETURN(const codecs::Decoder decoder,
                        codecs::choose_decoder(header.fields, header.payload, file_length - header.header_size,
                                               codecs::Reading::Corpora));
    return stored_as(decoder, header.fields);
}

std::uint16_t decoded_width(Stored stored) noexcept {
    return (stored == Stored::Pcm32Le || stored == Stored::Pcm32Be) ? 32 : 16;
}

Result<AudioLayout> check_audio(const sphere::SphereHeader& header, std::uint64_t file_length) {
    const sphere::HeaderFields& fields = header.fields;
    AudioLayout layout;
    layout.payload_offset = header.header_size;
    SV_TRY(check_readable(header));
    layout.counts_every_channel = counts_every_channel(header, file_length - header.header_size);
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    const std::uint64_t available = file_length - header.header_size;
    if (!codecs::split_coding(coding).compressed() && !layout.counts_every_channel &&
        !codecs::undeclared_shorten(fields, header.payload, available)) {
        SV_ASSIGN_OR_RETURN(const std::uint64_t declared, sphere::declared_payload_size(fields));
        if (available < declared) return errors::payload_truncated(declared, available);
    }
    SV_ASSIGN_OR_RETURN(layout.stored, stored_coding(header, file_length));
    layout.bits_per_sample = decoded_width(layout.stored);
    // Validation has checked these: channels and rate >= 1, count >= 0.
    SV_ASSIGN_OR_RETURN(const std::int64_t channels, sphere::require_int(fields, "channel_count"));
    SV_ASSIGN_OR_RETURN(const std::int64_t frames, sphere::require_int(fields, "sample_count"));
    SV_ASSIGN_OR_RETURN(const std::int64_t rate, sphere::require_int(fields, "sample_rate"));
    layout.channels = static_cast<std::uint64_t>(channels);
    layout.frames = static_cast<std::uint64_t>(frames);
    if (layout.counts_every_channel) layout.frames /= layout.channels;
    layout.sample_rate = static_cast<std::uint64_t>(rate);
    if (layout.stored != Stored::Shorten && layout.stored != Stored::PcuLawShorten) {
        // The declared payload (count x channels x width) fits the file, so
        // a frame's size cannot overflow.
        layout.stored_frame_bytes = layout.channels * stored_width(layout.stored);
    }
    return layout;
}

Result<std::uint64_t> request_size(const AudioLayout& layout, const FrameRequest& request) {
    const std::uint64_t per_frame = request.pick.empty() ? layout.channels : request.pick.size();
    std::uint64_t bytes = 0;
    if (!checked_mul(per_frame, std::uint64_t{sample_size(request.type)}, bytes) ||
        !checked_mul(bytes, request.count, bytes) || bytes > std::numeric_limits<std::size_t>::max() / 2) {
        return errors::request_too_large();
    }
    return bytes;
}

Status read_frames(const ByteSource& source, const AudioLayout& layout, const FrameRequest& request,
                   std::uint8_t* out, SeekPointCache* cache) {
    if (request.first > layout.frames || request.count > layout.frames - request.first) {
        throw std::logic_error("read_frames: the request lies outside the file");
    }
    if (layout.stored == Stored::Shorten) return ShortenReader(source, layout, cache).read(request, out);
    if (layout.stored == Stored::PcuLawShorten) return read_pculaw_shorten(source, layout, request, out);
    if (request.count == 0) return ok_status();
    const std::uint64_t per_frame = request.pick.empty() ? layout.channels : request.pick.size();
    const std::size_t out_frame = static_cast<std::size_t>(per_frame) * sample_size(request.type);
    const std::uint64_t frame_bytes = layout.stored_frame_bytes;
    const std::uint64_t start = layout.payload_offset + request.first * frame_bytes;
    // A file in memory is converted where it lies; a file on disk through a
    // scratch buffer of whole frames.
    if (const std::uint8_t* in = source.memory_at(start, request.count * frame_bytes)) {
        convert_samples(layout.stored, in, request.count, layout.channels, request.pick, request.type, out);
        return ok_status();
    }
    ByteBuffer scratch;
    std::uint64_t chunk_frames = kChunkBytes / frame_bytes;
    if (chunk_frames == 0) chunk_frames = 1;
    if (chunk_frames > request.count) chunk_frames = request.count;
    for (std::uint64_t done = 0; done < request.count; done += chunk_frames) {
        const std::uint64_t n = request.count - done < chunk_frames ? request.count - done : chunk_frames;
        const std::size_t bytes = static_cast<std::size_t>(n * frame_bytes);
        if (scratch.size() < bytes) scratch = ByteBuffer(bytes);
        SV_TRY(source.read_at(start + done * frame_bytes, scratch.data(), bytes));
        convert_samples(layout.stored, scratch.data(), n, layout.channels, request.pick, request.type,
                        out + done * out_frame);
    }
    return ok_status();
}

Result<std::array<std::uint8_t, kWavHeaderSize>> wav_header_for(std::int64_t channels, std::int64_t sample_rate,
                                                                std::uint16_t bits_per_sample,
                                                                std::uint64_t pcm_length) {
    if (channels < 1 || sample_rate < 1) throw std::logic_error("wav_header_for: no such header");
    if (channels > std::numeric_limits<std::uint16_t>::max()) return errors::channel_count_too_large("WAV");
    if (sample_rate > std::numeric_limits<std::uint32_t>::max()) return errors::sample_rate_too_large("WAV");
    return wav_header(static_cast<std::uint16_t>(channels), static_cast<std::uint32_t>(sample_rate),
                      bits_per_sample, pcm_length);
}

}  // namespace sonavert::pipeline
