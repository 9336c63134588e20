#include "pipeline/frames.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "codecs/errors.hpp"
#include "codecs/g711.hpp"
#include "common/checked.hpp"
#include "pipeline/errors.hpp"
#include "shorten/incremental.hpp"
#include "sphere/fields.hpp"

namespace sonavert::pipeline {
namespace {

// The first read of a header: enough for every ordinary header (1024 bytes
// is usual), small enough to cost nothing more than one page or so.
constexpr std::size_t kFirstHeaderRead = 4096;

// Plain PCM and G.711 are read and converted this many bytes at a time, so
// that a read of any length needs one small scratch buffer beyond its result.
constexpr std::size_t kChunkBytes = std::size_t{256} * 1024;

// A Shorten payload on disk is read into memory as the decoder reaches it:
// first this much (the stream header and the first blocks of most files),
// then at least twice what is there, and always this much beyond what the
// frames to be made are likely to need, so that the decoder rarely runs
// into the end of what has been read (when it does, the whole stream is
// read and decoded afresh: the result is the same).
constexpr std::uint64_t kFirstShortenRead = 64 * 1024;
constexpr std::uint64_t kShortenReadAhead = 256 * 1024;
// Decoded Shorten samples are converted this many at a time (a scratch of
// 128 KiB), and frames skipped this many per step, so that reading ahead
// keeps pace with a long skip.
constexpr std::size_t kShortenChunkSamples = 64 * 1024;
constexpr std::uint64_t kShortenSkipFrames = 1 << 16;

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
    const std::string_view coding = sphere::field_text(fields, "sample_coding", "pcm");
    const std::uint64_t available = file_length - header.header_size;
    if (!codecs::split_coding(coding).compressed() &&
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
    layout.sample_rate = static_cast<std::uint64_t>(rate);
    if (layout.stored != Stored::Shorten && layout.stored != Stored::PcuLawShorten) {
        // The declared payload (count x channels x width) fits the file, so
        // a frame's size cannot overflow.
        layout.stored_frame_bytes = layout.channels * stored_width(layout.stored);
    }
    return layout;
}

std::size_t sample_size(SampleType type) noexcept {
    switch (type) {
        case SampleType::Int16: return 2;
        case SampleType::Float64: return 8;
        default: return 4;
    }
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

struct ShortenReader::State {
    const ByteSource* source;
    const AudioLayout* layout;
    std::uint64_t length;      // of the payload, the stream
    ByteView memory;           // the stream where it lies, for a source in memory
    ByteBuffer buffer;         // else the payload, read into it up to `filled`
    std::uint64_t filled = 0;
    std::optional<shorten::IncrementalDecoder> decoder;
    std::vector<std::int16_t> scratch;

    bool in_memory() const noexcept { return memory.data() != nullptr || length == 0; }
    bool whole() const noexcept { return in_memory() || filled == length; }
    ByteView view() const noexcept {
        return in_memory() ? memory : ByteView(buffer.data(), static_cast<std::size_t>(filled));
    }

    // Reads the payload into memory up to at least `want` bytes (cut to the
    // payload), in steps that at least double what is there, and hands the
    // longer view to the decoder.
    Status fill_to(std::uint64_t want) {
        if (whole() || want <= filled) return ok_status();
        if (buffer.empty()) buffer = ByteBuffer(static_cast<std::size_t>(length));
        std::uint64_t next = std::max({want, 2 * filled, kFirstShortenRead});
        if (next > length) next = length;
        SV_TRY(source->read_at(layout->payload_offset + filled, buffer.data() + filled,
                               static_cast<std::size_t>(next - filled)));
        filled = next;
        if (decoder) decoder->extend(view());
        return ok_status();
    }

    // Before the decoder makes `frames` more frames: the bytes they are
    // likely to need, from the payload's average per frame, twice over.
    Status fill_for(std::uint64_t frames) {
        if (whole()) return ok_status();
        const std::uint64_t declared = std::max<std::uint64_t>(layout->frames, 1);
        const double per_frame = static_cast<double>(length) / static_cast<double>(declared);
        const double more = 2.0 * per_frame * static_cast<double>(frames) + double{kShortenReadAhead};
        const std::uint64_t at = decoder ? decoder->stream_bytes_read() : 0;
        return fill_to(more >= static_cast<double>(length) ? length : at + static_cast<std::uint64_t>(more));
    }

    // Opens the stream afresh: its header, then the header's channel count
    // against it. On disagreement the rest of the stream is decoded first,
    // so that a fault in it wins, as in decoding the whole file.
    Status start() {
        decoder.reset();
        SV_TRY(fill_to(kFirstShortenRead));
        SV_ASSIGN_OR_RETURN(shorten::IncrementalDecoder opened,
                            shorten::IncrementalDecoder::open(view(), shorten::Reconstruction::Proven,
                                                              shorten::ShortenSamples::Levels,
                                                              shorten::Versions::V1AndV2));
        decoder.emplace(std::move(opened));
        if (decoder->channel_count() != layout->channels) {
            SV_TRY(fill_to(length));
            SV_TRY(decoder->skip(std::numeric_limits<std::uint64_t>::max()));
            return codecs::errors::shorten_channels_disagree(decoder->channel_count(),
                                                             static_cast<std::int64_t>(layout->channels));
        }
        return ok_status();
    }

    // The stream ended after `made` frames, fewer than the file declares.
    Error too_short() const {
        return codecs::errors::shorten_too_short(decoder->frames_made(), static_cast<std::int64_t>(layout->frames));
    }

    Status skip_to(std::uint64_t frame) {
        while (decoder->frames_made() < frame) {
            const std::uint64_t n = std::min<std::uint64_t>(frame - decoder->frames_made(), kShortenSkipFrames);
            SV_TRY(fill_for(n));
            SV_ASSIGN_OR_RETURN(const std::uint64_t got, decoder->skip(n));
            if (got < n) return too_short();
        }
        return ok_status();
    }

    Status read_once(const FrameRequest& request, std::uint8_t* out) {
        const std::uint64_t end = request.first + request.count;
        // A read to the last frame decodes the whole stream: it is read at once.
        if (end == layout->frames) SV_TRY(fill_to(length));
        if (!decoder || decoder->frames_made() > request.first) SV_TRY(start());
        SV_TRY(skip_to(request.first));
        const auto channels = static_cast<std::size_t>(layout->channels);
        const std::size_t out_frame = (request.pick.empty() ? channels : request.pick.size()) * sample_size(request.type);
        // Samples the decoder makes are native-endian.
        const Stored native = std::endian::native == std::endian::little ? Stored::Pcm16Le : Stored::Pcm16Be;
        const bool direct = native == Stored::Pcm16Le && request.type == SampleType::Int16 && request.pick.empty() &&
                            reinterpret_cast<std::uintptr_t>(out) % alignof(std::int16_t) == 0;
        const std::size_t chunk = std::max<std::size_t>(1, kShortenChunkSamples / channels);
        for (std::uint64_t done = 0; done < request.count;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(request.count - done, chunk));
            SV_TRY(fill_for(n));
            std::uint8_t* target = out + static_cast<std::size_t>(done) * out_frame;
            if (!direct && scratch.size() < n * channels) scratch.resize(chunk * channels);
            std::int16_t* into = direct ? reinterpret_cast<std::int16_t*>(target) : scratch.data();
            SV_ASSIGN_OR_RETURN(const std::size_t got, decoder->read(into, n));
            if (got < n) return too_short();
            if (!direct) {
                convert_samples(native, reinterpret_cast<const std::uint8_t*>(scratch.data()), n, layout->channels,
                                request.pick, request.type, target);
            }
            done += n;
        }
        if (end == layout->frames) {
            // The rest of the stream, decoded and checked as the whole file is.
            SV_TRY(decoder->skip(std::numeric_limits<std::uint64_t>::max()));
        }
        return ok_status();
    }
};

ShortenReader::ShortenReader(const ByteSource& source, const AudioLayout& layout)
    : state_(std::make_unique<State>()) {
    state_->source = &source;
    state_->layout = &layout;
    state_->length = source.size() - layout.payload_offset;
    if (state_->length > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    if (const std::uint8_t* in = source.memory_at(layout.payload_offset, state_->length)) {
        state_->memory = ByteView(in, static_cast<std::size_t>(state_->length));
    }
}
ShortenReader::ShortenReader(ShortenReader&&) noexcept = default;
ShortenReader& ShortenReader::operator=(ShortenReader&&) noexcept = default;
ShortenReader::~ShortenReader() = default;

Status ShortenReader::read(const FrameRequest& request, std::uint8_t* out) {
    if (request.first > state_->layout->frames || request.count > state_->layout->frames - request.first) {
        throw std::logic_error("ShortenReader: the request lies outside the file");
    }
    // An empty request reads nothing, but all of a file without frames is
    // a read to its end: the stream is checked.
    if (request.count == 0 && state_->layout->frames != 0) return ok_status();
    const Status status = state_->read_once(request, out);
    if (status || state_->whole()) return status;
    // The part of the stream in memory may have cut it short: the whole
    // stream decides, decoded afresh.
    SV_TRY(state_->fill_to(state_->length));
    state_->decoder.reset();
    return state_->read_once(request, out);
}

std::uint64_t ShortenReader::position() const noexcept {
    return state_->decoder ? state_->decoder->frames_made() : 0;
}

std::uint64_t ShortenReader::payload_bytes_read() const noexcept { return state_->in_memory() ? 0 : state_->filled; }

std::size_t ShortenReader::buffered_bytes() const noexcept {
    return (state_->decoder ? state_->decoder->buffered_bytes() : 0) + state_->scratch.size() * sizeof(std::int16_t);
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

Status read_frames(const ByteSource& source, const AudioLayout& layout, const FrameRequest& request,
                   std::uint8_t* out) {
    if (request.first > layout.frames || request.count > layout.frames - request.first) {
        throw std::logic_error("read_frames: the request lies outside the file");
    }
    if (layout.stored == Stored::Shorten) return ShortenReader(source, layout).read(request, out);
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
