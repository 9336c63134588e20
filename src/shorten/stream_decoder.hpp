// The command loop of a Shorten stream and the state it keeps: per channel
// its history and block means, the settings in force, the decoded-sample
// count, and the 16-bit output of the blocks made so far. Blocks are
// reconstructed by the fast passes where their proof holds and by the
// checked path elsewhere; both give the same samples and errors.
//
// decode_shorten() runs it to the end; IncrementalDecoder runs it one
// command at a time and takes the finished frames out as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.hpp"
#include "common/error.hpp"
#include "shorten/bit_reader.hpp"
#include "shorten/block.hpp"
#include "shorten/code_tables.hpp"
#include "shorten/decoder.hpp"
#include "shorten/fast_predictors.hpp"
#include "shorten/frame_buffer.hpp"
#include "shorten/means.hpp"
#include "shorten/output_stage.hpp"
#include "shorten/seek_points.hpp"
#include "shorten/stream_header.hpp"

namespace sonavert::shorten {

// What a decode keeps of the samples it makes.
struct OutputPlan {
    // Frames the caller needs: only the first `frames_needed` of each
    // channel are stored (see decode_shorten). nullopt: every frame.
    std::optional<std::uint64_t> frames_needed;
    std::size_t lead = 0;  // bytes left free in front of the samples
    // The caller takes frames out as they are finished (take_frames()), so
    // the output starts small and holds about one block per channel.
    bool streaming = false;
    // Mu-law streams: levels, or code bytes (held in the 16-bit slots
    // until finish() packs them one byte each).
    ShortenSamples samples = ShortenSamples::Levels;
};

class StreamDecoder {
public:
    // `stream` is the whole stream that start.reader views; it must outlive
    // the decoder.
    StreamDecoder(ByteView stream, const StreamStart& start, Reconstruction mode, const OutputPlan& plan);

    // Reads and carries out one command. Returns true once it was QUIT (the
    // decoder must not be stepped again), false after any other command.
    // Errors: the messages of the command loop, the blocks and the bit
    // reader, in the order the stream meets them; the decoder is of no use
    // after one.
    Result<bool> step();

    // step() until QUIT, then the result.
    Result<DecodedShorten> run();

    const StreamHeader& header() const noexcept { return header_; }
    // True when the samples held are mu-law code bytes (see OutputPlan).
    bool stores_codes() const noexcept { return stage_.stores_codes(); }

    // Between steps: the stream goes on in `stream`, which holds its bytes
    // from byte `base` on (BitReader::extend). byte_pos(): the stream byte
    // of the next bit to read.
    void extend(ByteView stream, std::uint64_t base = 0) noexcept { reader_.extend(stream, base); }
    std::uint64_t byte_pos() const noexcept { return reader_.byte_pos(); }

    // Streaming: the frames every channel has made so far (the frames that
    // QUIT would return if it came now), and the first sample of frame f,
    // for f from the first frame not yet dropped up to frames_complete().
    std::uint64_t frames_complete() const noexcept;
    const std::int16_t* frame(std::uint64_t f) noexcept;
    // Streaming: forgets the frames before `f` (<= frames_complete()).
    void drop_frames_before(std::uint64_t f) noexcept;
    // The size of the output buffer now.
    std::size_t output_bytes() const noexcept { return output_.size_bytes(); }

    // Seek points (streaming). at_point(): true between two cycles through
    // the channels with every channel at the same frame, which goes to
    // `frame`; the decoder can then save_point() to make a point there.
    bool at_point(std::uint64_t& frame) const noexcept;
    // A quick test that runs after every command: the frames of channel 0
    // when the next block is channel 0's, else 0. at_point() can hold only
    // where this has reached the frame asked for.
    std::uint64_t cycle_frames() const noexcept { return state_.current == 0 ? channels_[0].count : 0; }
    void save_point(SeekPoint& point) const;
    // Takes a decoder that has made no frames yet to `point` (of the same
    // stream, as save_point() made it): it goes on from there as the decoder
    // that saved it did, frame `point.frame` being the next it makes.
    void resume(const SeekPoint& point);

private:
    struct Channel {
        Channel(std::size_t history_len, std::uint32_t nmean) : history(history_len, 0), means(nmean) {}
        std::vector<std::int64_t> history;  // the last history_len samples, oldest first
        MeanHistory means;
        // The first samples, as many as the caller keeps, counted from the
        // first frame the output holds (frame base_).
        std::uint64_t stored = 0;
        std::uint64_t count = 0;   // samples decoded, stored or not
    };

    // Where a block's output goes: its first `room` samples to `dst`, the
    // rest nowhere (decoded and checked, not stored).
    struct BlockOutput {
        std::int16_t* dst = nullptr;  // the block's first sample; the next is `stride` further
        std::uint64_t room = 0;
        std::size_t stride = 1;
    };

    // What block completion needs to know about the samples of a block.
    struct BlockTally {
        std::uint64_t mean_sum = 0;  // the block's sum so far (exact while no overflow)
        bool mean_step_by_step = false;
        bool mean_overflow = false;
        bool type8_failed = false;
        std::int64_t type8_value = 0;
    };

    Status command(bool& quit);
    Status read_block_arguments(Block& b);
    Status predicted_block(std::uint64_t function);
    Status zero_block();
    Status reconstruct(const Block& b, std::int64_t* s, std::size_t m, std::int16_t* narrow, std::size_t stride,
                       ChunkScan& scan);
    void tally_chunk(const std::int64_t* s, std::size_t m, const ChunkScan& scan, std::int16_t* dst,
                     std::size_t stride, bool narrowed, BlockTally& tally) const;
    BlockOutput begin_output(Channel& ch);
    Status complete_block(Channel& ch, const BlockTally& tally, std::uint64_t stored);
    DecodedShorten finish();

    BitReader reader_;
    Reconstruction mode_;
    StreamHeader header_;
    StreamRules rules_;
    std::uint64_t history_len_;
    StreamState state_;
    OutputStage stage_;
    std::vector<Channel> channels_;
    std::vector<std::int64_t> coefs_;
    std::vector<std::int32_t> rcoefs_;
    std::vector<std::int32_t> lpc_window_;  // the QLPC fast path's 32-bit window
    std::vector<std::int16_t> scratch_ = std::vector<std::int16_t>(kChunk);
    CodeTableCache tables_;
    // history_len_ samples of history followed by one pass of new samples.
    std::vector<std::int64_t> window_;
    std::size_t first_frames_;  // the output's first room, when it grows
    std::uint64_t keep_;        // samples stored per channel, at most
    std::uint64_t base_ = 0;    // frames taken out of the front of the output (streaming)
    FrameBuffer output_;
};

}  // namespace sonavert::shorten
