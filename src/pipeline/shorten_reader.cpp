// pipeline::ShortenReader: frames of a Shorten file decoded in order by the
// incremental decoder, the payload of a file on disk read as the decoder
// reaches it, resuming from seek points recorded on the way.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "codecs/errors.hpp"
#include "pipeline/frames.hpp"
#include "shorten/incremental.hpp"

namespace sonavert::pipeline {
namespace {

// A Shorten payload on disk is read into memory as the decoder reaches it:
// first this much (the stream header and the first blocks of most files),
// then at least twice what is there, and always this much beyond what the
// frames to be made are likely to need (from the payload's average bytes
// per frame, twice over). When the decoder still runs into the end of what
// has been read, more is read and the read is made again from where it
// started: the result is the same.
constexpr std::uint64_t kFirstShortenRead = 64 * 1024;
constexpr std::uint64_t kShortenReadAhead = 64 * 1024;
// A decoder that resumes from a seek point is opened over this much of the
// payload's start: the stream header of every encoder's files.
constexpr std::uint64_t kShortenHeadRead = 4 * 1024;
// Decoded Shorten samples are converted this many at a time (a scratch of
// 128 KiB), and frames skipped this many per step, so that reading ahead
// keeps pace with a long skip.
constexpr std::size_t kShortenChunkSamples = 64 * 1024;
constexpr std::uint64_t kShortenSkipFrames = 1 << 16;

}  // namespace

struct ShortenReader::State {
    const ByteSource* source;
    const AudioLayout* layout;
    std::uint64_t length;      // of the payload, the stream
    ByteView memory;           // the stream where it lies, for a source in memory
    // Else the part of the payload the decoder is in: bytes [window, filled)
    // of it, read into `buffer` from its start. A read that resumes from a
    // seek point outside them reads on from the point's byte into the same
    // buffer, so that the memory a reader touches follows how much it reads
    // at once, not where in the file it reads. `head`: the payload's first
    // bytes (the stream header), over which a decoder that resumes is
    // opened.
    ByteBuffer buffer, head;
    std::uint64_t window = 0, filled = 0;
    std::optional<shorten::IncrementalDecoder> decoder;
    std::vector<std::int16_t> scratch;
    // The reader's seek points, and those recorded by the read running,
    // which go to `points` and the cache when it ends.
    std::optional<shorten::SeekPoints> points, fresh;
    SeekPointCache* cache = nullptr;
    std::optional<FileIdentity> identity;  // of the file when the reader was made

    bool in_memory() const noexcept { return memory.data() != nullptr || length == 0; }
    bool whole() const noexcept { return in_memory() || (window == 0 && filled == length); }
    // True when the bytes from `at` up to `filled` are all read.
    bool reads_on_from(std::uint64_t at) const noexcept { return at >= window && at <= filled; }
    // The bytes read, and the stream byte the first of them is.
    ByteView view() const noexcept {
        return in_memory() ? memory : ByteView(buffer.data(), static_cast<std::size_t>(filled - window));
    }
    std::uint64_t base() const noexcept { return in_memory() ? 0 : window; }

    // Reads the payload into memory up to at least `want` bytes (cut to the
    // payload), in steps that at least double what is there, and hands the
    // longer view to the decoder.
    Status fill_to(std::uint64_t want) {
        if (whole() || want <= filled) return ok_status();
        std::uint64_t next = std::max(want, filled + std::max(filled - window, kFirstShortenRead));
        if (next > length) next = length;
        const auto held = static_cast<std::size_t>(filled - window);
        if (buffer.size() < next - window) {
            ByteBuffer larger(static_cast<std::size_t>(next - window));
            if (held != 0) std::memcpy(larger.data(), buffer.data(), held);
            buffer = std::move(larger);
        }
        SV_TRY(source->read_at(layout->payload_offset + filled, buffer.data() + held,
                               static_cast<std::size_t>(next - filled)));
        filled = next;
        if (decoder) decoder->extend(view(), base());
        return ok_status();
    }

    // True when the decoder failed needing bytes beyond those read, and
    // the payload goes on beyond them. (A decoder never goes back before
    // the window it started in.)
    bool cut_short() const noexcept {
        return !in_memory() && filled < length && decoder && decoder->failed() &&
               decoder->stream_bytes_read() > filled;
    }

    // Before a decoder starts at the stream's first byte: the reading starts
    // again there, unless it is there already.
    void rewind() noexcept {
        if (!in_memory() && window != 0) window = filled = 0;
    }

    // Reads the whole payload and hands it to the decoder (which has read
    // no further than the stream header).
    Status read_all() {
        if (in_memory()) return ok_status();
        rewind();
        SV_TRY(fill_to(length));
        decoder->extend(view(), 0);
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

    // Opens a decoder over `stream` (the stream's first bytes or more): its
    // header, then the header's channel count against it. On disagreement
    // the rest of the stream is decoded first, so that a fault in it wins,
    // as in decoding the whole file.
    Status open(ByteView stream) {
        decoder.reset();
        SV_ASSIGN_OR_RETURN(shorten::IncrementalDecoder opened,
                            shorten::IncrementalDecoder::open(stream, shorten::Reconstruction::Proven,
                                                              shorten::ShortenSamples::Levels,
                                                              shorten::Versions::V1AndV2));
        decoder.emplace(std::move(opened));
        if (decoder->channel_count() != layout->channels) {
            SV_TRY(read_all());
            SV_TRY(decoder->skip(std::numeric_limits<std::uint64_t>::max()));
            return codecs::errors::shorten_channels_disagree(decoder->channel_count(),
                                                             static_cast<std::int64_t>(layout->channels));
        }
        if (!points) {
            points.emplace(decoder->point_values());
            fresh.emplace(decoder->point_values());
            // Room for the points of the frames declared, when that is no
            // more than the payload's size (a header can claim anything).
            const std::uint64_t expected = layout->frames / decoder->point_spacing() + 1;
            if (expected <= length / points->point_bytes()) points->reserve(static_cast<std::size_t>(expected));
        }
        decoder->record_points(&*fresh);
        return ok_status();
    }

    // Opens the stream afresh at its start.
    Status start() {
        decoder.reset();
        rewind();
        SV_TRY(fill_to(kFirstShortenRead));
        return open(view());
    }

    // Opens the stream afresh at `point`: over its first bytes, then on
    // from the point's byte. A point that does not fit the stream, or a
    // header longer than the first bytes, and the stream starts at its
    // start instead.
    Status start_at(const shorten::SeekPoint& point) {
        if (in_memory()) {
            SV_TRY(start());
            if (point.channels.size() == decoder->point_values()) decoder->resume(point);
            return ok_status();
        }
        if (head.empty()) {
            head = ByteBuffer(static_cast<std::size_t>(std::min(length, kShortenHeadRead)));
            SV_TRY(source->read_at(layout->payload_offset, head.data(), head.size()));
        }
        if (!open(head.view()) || point.channels.size() != decoder->point_values()) return start();
        decoder->resume(point);
        const std::uint64_t at = point.bit / 8;
        if (!reads_on_from(at)) window = filled = at;
        decoder->extend(view(), window);
        return ok_status();
    }

    // The cache's key for the file, while the file is as it was when the
    // reader was made.
    const FileIdentity* cache_key() const {
        if (cache == nullptr || !identity || file_identity(source->descriptor()) != identity) return nullptr;
        return &*identity;
    }

    // Puts the decoder where a read from `frame` is quickest to reach: the
    // last seek point at or before it (the reader's or the cache's), or
    // where the decoder stands when that is nearer and not beyond it.
    Status position(std::uint64_t frame, const FileIdentity* key) {
        std::optional<shorten::SeekPoint> point;
        if (points) point = points->at_or_before(frame);
        if (key != nullptr) {
            std::optional<shorten::SeekPoint> shared = cache->at_or_before(*key, frame);
            if (shared && (!point || shared->frame > point->frame)) point = std::move(shared);
        }
        // A decoder that met a fault cannot go on, though the frames asked
        // for may all lie before the fault.
        const bool usable = decoder && !decoder->failed() && decoder->frames_made() <= frame;
        if (point && point->frame > 0 && (!usable || point->frame > decoder->frames_made())) {
            return start_at(*point);
        }
        if (!usable) return start();
        return ok_status();
    }

    // The points the last read recorded go to the reader's and the cache.
    void keep_points(const FileIdentity* key) {
        if (!fresh || fresh->empty()) return;
        points->merge(*fresh);
        if (key != nullptr) cache->add(*key, *fresh);
        fresh->clear();
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

    Status read_once(const FrameRequest& request, std::uint8_t* out, const FileIdentity* key) {
        const std::uint64_t end = request.first + request.count;
        SV_TRY(position(request.first, key));
        // A read to the last frame decodes the rest of the stream: it is read at once.
        if (end == layout->frames) SV_TRY(fill_to(length));
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

ShortenReader::ShortenReader(const ByteSource& source, const AudioLayout& layout, SeekPointCache* cache)
    : state_(std::make_unique<State>()) {
    state_->source = &source;
    state_->layout = &layout;
    if (cache != nullptr && source.descriptor() >= 0) {
        state_->cache = cache;
        state_->identity = file_identity(source.descriptor());
    }
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
    const FileIdentity* key = state_->cache_key();
    Status status = state_->read_once(request, out, key);
    // The part of the stream in memory may have cut it short: the decoder
    // needed bytes beyond it. More is read, twice as much each time, and the
    // read made afresh, until the stream decides.
    while (!status && state_->cut_short()) {
        status = state_->fill_to(state_->filled + std::max(state_->filled - state_->window, kFirstShortenRead));
        if (status) {
            state_->decoder.reset();
            status = state_->read_once(request, out, key);
        }
    }
    state_->keep_points(key);
    return status;
}

std::size_t ShortenReader::seek_points() const noexcept { return state_->points ? state_->points->size() : 0; }

std::size_t ShortenReader::seek_point_bytes() const noexcept {
    return state_->points ? state_->points->bytes() : 0;
}

std::uint64_t ShortenReader::position() const noexcept {
    return state_->decoder ? state_->decoder->frames_made() : 0;
}

std::uint64_t ShortenReader::payload_bytes_held() const noexcept {
    const State& s = *state_;
    return s.in_memory() ? 0 : s.buffer.size() + s.head.size();
}

std::size_t ShortenReader::buffered_bytes() const noexcept {
    return (state_->decoder ? state_->decoder->buffered_bytes() : 0) + state_->scratch.size() * sizeof(std::int16_t);
}

}  // namespace sonavert::pipeline
