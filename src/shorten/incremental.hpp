// A Shorten stream decoded a few frames at a time. It keeps what the
// stream's next blocks need (each channel's history and block means, the
// settings in force) and the frames of the block it is in, so its memory
// follows the blocksize and the channel count, not the stream's length.
//
// The frames are those decode_shorten() returns for the same stream, in the
// same 16-bit form, and a fault in the stream fails with the message that
// decode_shorten() gives for it. Unlike decode_shorten(), frames before a
// fault are handed out before the fault is met: a reader that stops early
// never sees a fault further on.
//
// WATCHOUT: a stream whose channels fall out of step (BLOCKSIZE changes
// inside a cycle through the channels, so that one channel's blocks run
// ahead of another's) keeps the frames of the channel ahead until the others
// catch up; that lead is bounded only by the decoded-sample limit. Streams
// of every encoder keep their channels in step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/decoder.hpp"
#include "shorten/seek_points.hpp"

namespace sonavert::shorten {

class StreamDecoder;

class IncrementalDecoder {
public:
    // Reads the stream header; fails with decode_shorten()'s messages, in
    // its order. The view must outlive the decoder (views never own).
    // `samples`: MuLawCodes makes a mu-law stream's frames its code bytes,
    // read with read_codes() (see decode_shorten). `versions`: the stream
    // versions read (see read_stream_start).
    static Result<IncrementalDecoder> open(ByteView stream, Reconstruction mode = Reconstruction::Proven,
                                           ShortenSamples samples = ShortenSamples::Levels,
                                           Versions versions = Versions::OnlyV2);

    IncrementalDecoder(IncrementalDecoder&&) noexcept;
    IncrementalDecoder& operator=(IncrementalDecoder&&) noexcept;
    ~IncrementalDecoder();

    std::uint64_t channel_count() const noexcept;
    bool is_ulaw() const noexcept;
    // True when the frames are mu-law code bytes: opened for MuLawCodes and
    // is_ulaw(). Then read_codes() hands them out and read() must not be
    // called; otherwise the reverse.
    bool gives_codes() const noexcept;
    std::uint64_t frames_made() const noexcept { return made_; }  // frames handed out so far
    // True once a read met a fault: every later call fails the same.
    bool failed() const noexcept { return failed_ != nullptr; }
    // The bytes of decoded samples it holds now: the frames made but not yet
    // handed out and the room of the block being made.
    std::size_t buffered_bytes() const noexcept;

    // Makes up to `max_frames` next frames into `out`, which has room for
    // channel_count() * max_frames samples: interleaved, channel 0 first,
    // native-endian int16, the values decode_shorten() stores. Returns the
    // frames made: max_frames, or fewer only when the stream has ended
    // (QUIT); 0 once it has ended. A fault in the stream fails with
    // decode_shorten()'s message for it; `out` then holds no useful samples,
    // frames_made() stays where it was, and every later call fails the same.
    Result<std::size_t> read(std::int16_t* out, std::size_t max_frames);

    // read() for a decoder that gives_codes(): `out` has room for
    // channel_count() * max_frames code bytes, which it gets in the same
    // order.
    Result<std::size_t> read_codes(std::uint8_t* out, std::size_t max_frames);

    // read() into nowhere: decodes and checks up to `frames` next frames,
    // returning how many there were.
    Result<std::uint64_t> skip(std::uint64_t frames);

    // For a stream that arrives a part at a time: the decoder goes on in
    // `longer`, which holds the stream's bytes from byte `base` on: those
    // from the next one the decoder reads (stream_bytes_read() - 1, or a
    // resumed point's byte) and more after them. A stream cut short by the
    // view fails as a truncated stream, for good: the caller that has more
    // of it opens the longer view anew. stream_bytes_read(): how many bytes
    // of the stream the decoder has gone into so far.
    void extend(ByteView longer, std::uint64_t base = 0) noexcept;
    std::uint64_t stream_bytes_read() const noexcept;

    // Seek points (seek_points.hpp). From now on the decoder adds to `into`
    // a point at the first place it passes at or after each multiple of
    // point_spacing() frames (null: no more points). `into` must outlive
    // the recording and hold point_values() values per point. `spacing`
    // (tests) replaces the stream's spacing; points of one stream made with
    // different spacings are all sound and may be mixed.
    void record_points(SeekPoints* into, std::uint64_t spacing = 0) noexcept;
    std::uint64_t point_spacing() const noexcept { return spacing_; }
    std::size_t point_values() const noexcept;
    // Takes a decoder that has made no frames yet to a point of its stream
    // (recorded by a decoder opened over the same stream): it goes on as that
    // decoder did, frames_made() being point.frame.
    void resume(const SeekPoint& point);

private:
    explicit IncrementalDecoder(std::unique_ptr<StreamDecoder> decoder) noexcept;
    // Hands out up to `max_frames` frames: `copy(first, samples, count)`
    // takes the `count` samples at `samples`, the first of them sample
    // `first` of the read; a null `copy` drops them.
    template <typename Copy>
    Result<std::uint64_t> advance(Copy copy, std::uint64_t max_frames);

    void note_point();

    std::unique_ptr<StreamDecoder> decoder_;
    std::uint64_t spacing_;
    SeekPoints* points_ = nullptr;
    std::uint64_t next_point_;  // the frame at or after which the next point lies
    SeekPoint point_;           // room for the point being recorded
    std::uint64_t made_ = 0;
    bool ended_ = false;
    std::unique_ptr<Error> failed_;  // the fault met, kept for every later call
};

}  // namespace sonavert::shorten
