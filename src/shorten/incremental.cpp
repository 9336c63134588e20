#include "shorten/incremental.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "shorten/stream_decoder.hpp"

namespace sonavert::shorten {

IncrementalDecoder::IncrementalDecoder(std::unique_ptr<StreamDecoder> decoder) noexcept
    : decoder_(std::move(decoder)), spacing_(shorten::point_spacing(decoder_->header())), next_point_(spacing_) {}
IncrementalDecoder::IncrementalDecoder(IncrementalDecoder&&) noexcept = default;
IncrementalDecoder& IncrementalDecoder::operator=(IncrementalDecoder&&) noexcept = default;
IncrementalDecoder::~IncrementalDecoder() = default;

Result<IncrementalDecoder> IncrementalDecoder::open(ByteView stream, Reconstruction mode, ShortenSamples samples,
                                                    Versions versions) {
    SV_ASSIGN_OR_RETURN(const StreamStart start, read_stream_start(stream, versions));
    OutputPlan plan;
    plan.streaming = true;
    plan.samples = samples;
    return IncrementalDecoder(std::make_unique<StreamDecoder>(stream, start, mode, plan));
}

std::uint64_t IncrementalDecoder::channel_count() const noexcept { return decoder_->header().channels; }

bool IncrementalDecoder::is_ulaw() const noexcept { return decoder_->header().is_ulaw(); }

bool IncrementalDecoder::gives_codes() const noexcept { return decoder_->stores_codes(); }

std::size_t IncrementalDecoder::buffered_bytes() const noexcept { return decoder_->output_bytes(); }

void IncrementalDecoder::extend(ByteView longer, std::uint64_t base) noexcept {
    if (!failed_ && !ended_) decoder_->extend(longer, base);
}

std::uint64_t IncrementalDecoder::stream_bytes_read() const noexcept { return decoder_->byte_pos() + 1; }

std::size_t IncrementalDecoder::point_values() const noexcept {
    return static_cast<std::size_t>(decoder_->header().channels) * channel_values(decoder_->header());
}

void IncrementalDecoder::record_points(SeekPoints* into, std::uint64_t spacing) noexcept {
    points_ = into;
    spacing_ = spacing != 0 ? spacing : shorten::point_spacing(decoder_->header());
    next_point_ = (made_ / spacing_ + 1) * spacing_;
}

void IncrementalDecoder::resume(const SeekPoint& point) {
    if (made_ != 0 || failed_ || ended_) throw std::logic_error("IncrementalDecoder::resume: a used decoder");
    decoder_->resume(point);
    made_ = point.frame;
    next_point_ = (point.frame / spacing_ + 1) * spacing_;
}

void IncrementalDecoder::note_point() {
    std::uint64_t frame;
    if (!decoder_->at_point(frame) || frame < next_point_) return;
    decoder_->save_point(point_);
    points_->add(point_);
    next_point_ = (frame / spacing_ + 1) * spacing_;
}

Result<std::size_t> IncrementalDecoder::read(std::int16_t* out, std::size_t max_frames) {
    if (gives_codes()) throw std::logic_error("read() of a decoder that gives mu-law codes");
    const auto copy = [out](std::size_t first, const std::int16_t* samples, std::size_t count) {
        std::memcpy(out + first, samples, count * sizeof(std::int16_t));
    };
    SV_ASSIGN_OR_RETURN(const std::uint64_t made, advance(copy, max_frames));
    return static_cast<std::size_t>(made);
}

Result<std::size_t> IncrementalDecoder::read_codes(std::uint8_t* out, std::size_t max_frames) {
    if (!gives_codes()) throw std::logic_error("read_codes() of a decoder that gives levels");
    // Each code is held in a 16-bit slot of the decoder's buffer.
    const auto copy = [out](std::size_t first, const std::int16_t* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[first + i] = static_cast<std::uint8_t>(samples[i]);
    };
    SV_ASSIGN_OR_RETURN(const std::uint64_t made, advance(copy, max_frames));
    return static_cast<std::size_t>(made);
}

Result<std::uint64_t> IncrementalDecoder::skip(std::uint64_t frames) { return advance(nullptr, frames); }

template <typename Copy>
Result<std::uint64_t> IncrementalDecoder::advance(Copy copy, std::uint64_t max_frames) {
    if (failed_) return *failed_;
    const auto channels = static_cast<std::size_t>(channel_count());
    std::uint64_t done = 0;
    while (done < max_frames) {
        const std::uint64_t ready = decoder_->frames_complete() - (made_ + done);
        if (ready > 0) {
            const std::uint64_t n = std::min(ready, max_frames - done);
            if constexpr (!std::is_same_v<Copy, std::nullptr_t>) {
                // n frames are held in the output buffer, so n * channels fits size_t.
                copy(static_cast<std::size_t>(done) * channels, decoder_->frame(made_ + done),
                     static_cast<std::size_t>(n) * channels);
            }
            done += n;
            continue;
        }
        if (ended_) break;
        // Every frame made so far is handed out: the buffer starts afresh.
        decoder_->drop_frames_before(made_ + done);
        Result<bool> quit = decoder_->step();
        if (!quit) {
            failed_ = std::make_unique<Error>(std::move(quit).error());
            return *failed_;
        }
        ended_ = *quit;
        if (points_ != nullptr && !ended_ && decoder_->cycle_frames() >= next_point_) note_point();
    }
    made_ += done;
    return done;
}

}  // namespace sonavert::shorten
