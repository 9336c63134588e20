#include "shorten/stream_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "common/checked.hpp"
#include "shorten/checked_path.hpp"
#include "shorten/errors.hpp"

namespace sonavert::shorten {
namespace {

// A block mean: 2^24 samples in [-2^38, 2^38] never sum beyond 2^62, so
// while a block's samples stay within this many bits its sum is exact.
constexpr std::uint64_t kMeanSumBits = 38;

// When the caller's frame count is unknown, the output starts with room
// for this many samples per byte of stream, at least kMinFirstSamples: more
// than lossless coding of speech usually needs, so that it rarely grows.
// Untouched room costs no memory.
constexpr std::size_t kFirstSamplesPerByte = 3;
constexpr std::size_t kMinFirstSamples = 4096;
// A known frame count is allocated at once, at its final size, when it
// needs at most this many samples per byte of stream (every coded sample
// but those of ZERO blocks takes at least two bits). A larger count would
// let a short stream claim memory it cannot fill; it is grown instead.
constexpr std::uint64_t kExactSamplesPerByte = 4;

std::size_t first_room(ByteView stream, const StreamHeader& h, const OutputPlan& plan) {
    // A streaming reader holds about one block per channel at a time.
    if (plan.streaming) return static_cast<std::size_t>(h.blocksize);
    return std::max(kMinFirstSamples, static_cast<std::size_t>(std::min<std::uint64_t>(
                                          kMaxDecodedSamples, kFirstSamplesPerByte * stream.size() / h.channels)));
}

// The parts of a block that run once per block or chunk go inline into
// step(), as they did when it was one function: calls would cost more than
// the work of the smaller ones.
#define SV_INLINE_STEP [[gnu::always_inline]] inline

}  // namespace

StreamDecoder::StreamDecoder(ByteView stream, const StreamStart& start, Reconstruction mode, const OutputPlan& plan)
    : reader_(start.reader),
      mode_(mode),
      header_(start.header),
      rules_(StreamRules::of(header_)),
      history_len_(std::max<std::uint64_t>(3, header_.maxnlpc)),
      state_{header_.blocksize},
      stage_(header_.is_ulaw(), plan.samples == ShortenSamples::MuLawCodes, rules_.au1),
      window_(history_len_ + kChunk, 0),
      first_frames_(first_room(stream, header_, plan)),
      // Frames beyond the cap's share of each channel can never all be
      // decoded: a caller that needs them gets nothing stored.
      keep_(!plan.frames_needed                                          ? kMaxDecodedSamples
            : *plan.frames_needed > kMaxDecodedSamples / header_.channels ? 0
                                                                          : *plan.frames_needed),
      output_(header_.channels, plan.lead) {
    const StreamHeader& h = header_;
    // keep_ * channels <= 2^30, and the stream is far shorter than 2^61.
    if (plan.frames_needed && keep_ * h.channels <= kExactSamplesPerByte * stream.size()) {
        output_.allocate_exact(static_cast<std::size_t>(keep_));
    }
    channels_.reserve(h.channels);
    for (std::uint64_t c = 0; c < h.channels; ++c) {
        channels_.emplace_back(history_len_, static_cast<std::uint32_t>(h.nmean));
    }
    coefs_.reserve(h.maxnlpc);
    if (h.maxnlpc > 0) lpc_window_.resize(h.maxnlpc + kChunk);
}

// Where the block's output goes: as much of it as the channel still keeps,
// and nothing when the block takes the decoded count beyond its limit (it
// then fails at completion, unless an earlier error ends the decode first).
SV_INLINE_STEP
StreamDecoder::BlockOutput StreamDecoder::begin_output(Channel& ch) {
    if (state_.decoded + state_.blocksize > kMaxDecodedSamples) return {};
    const std::uint64_t stored = ch.stored;
    const std::uint64_t room = keep_ > stored ? std::min(keep_ - stored, state_.blocksize) : 0;
    if (room == 0) return {};
    const auto keep = static_cast<std::size_t>(keep_);
    const std::size_t stride = channels_.size();
    std::int16_t* frames =
        output_.reserve(static_cast<std::size_t>(stored + room), std::min(first_frames_, keep), keep);
    return {frames + static_cast<std::size_t>(stored) * stride + state_.current, room, stride};
}

// Block completion after the history update: mean, count, output stage.
SV_INLINE_STEP
Status StreamDecoder::complete_block(Channel& ch, const BlockTally& tally, std::uint64_t stored) {
    if (header_.nmean > 0) {
        if (tally.mean_overflow) return errors::reconstruction_overflow();
        const auto sum = static_cast<std::int64_t>(tally.mean_sum);
        const auto n = static_cast<std::int64_t>(state_.blocksize);
        std::int64_t mean = sum / n;
        if (rules_.output_unit_means) {
            // Rounded, then in output units: times 2^bitshift (<= 2^32).
            if (!checked_add(sum, n / 2, mean) ||
                !checked_mul(mean / n, std::int64_t{1} << stage_.bitshift(), mean)) {
                return errors::reconstruction_overflow();
            }
        }
        ch.means.push(mean);
    }
    state_.decoded += state_.blocksize;
    if (state_.decoded > kMaxDecodedSamples) return errors::exceeds_decoded_length();
    if (tally.type8_failed) return errors::type8_domain(tally.type8_value);
    ch.stored += stored;
    ch.count += state_.blocksize;
    state_.current = state_.current + 1 == channels_.size() ? 0 : state_.current + 1;
    return ok_status();
}

// One command; `quit` becomes true at QUIT. Inline in both step() and
// run(), so that the whole-stream loop pays no result object per command.
// The block's arguments after its function code: energy, and for QLPC the
// order and coefficients; then its mean offset, its proof bound and its
// code table.
SV_INLINE_STEP
Status StreamDecoder::read_block_arguments(Block& b) {
    std::uint64_t energy;
    if (!reader_.next_uvar(3, energy)) return reader_.error();
    b.width = energy + 1;  // energy < 2^30
    if (b.function == kQlpc) {
        SV_ASSIGN_OR_RETURN(const std::uint64_t order, reader_.read_uvar(2));
        if (order > header_.maxnlpc) return errors::qlpc_order_exceeds(order, header_.maxnlpc);
        coefs_.resize(order);
        for (std::int64_t& c : coefs_) {
            SV_ASSIGN_OR_RETURN(c, reader_.read_var(6));
        }
        b.coefs = coefs_.data();
        b.order = order;
    }
    if ((b.function == kDiff0 || b.function == kQlpc) && header_.nmean > 0 &&
        !channels_[state_.current].means.offset(b.mean_offset, rules_.output_unit_means, stage_.bitshift())) {
        return errors::reconstruction_overflow();
    }
    b.lpc_rounding = rules_.lpc_rounding;
    b.reach = b.function == kQlpc ? b.order : b.function;
    if (mode_ == Reconstruction::Proven && b.width <= kMaxCodeWidth) {
        prove_block(b, coefs_, rcoefs_);
        if (b.proof_bits != 0 && b.width < CodeTable::kBits) b.table = tables_.for_block(b.width, state_.blocksize);
    }
    return ok_status();
}

SV_INLINE_STEP
Status StreamDecoder::predicted_block(std::uint64_t function) {
    Block b{function, 0};
    SV_TRY(read_block_arguments(b));
    Channel& ch = channels_[state_.current];
    const std::size_t hlen = history_len_;
    std::copy(ch.history.begin(), ch.history.end(), window_.begin());
    std::int64_t* const s = window_.data() + hlen;
    const BlockOutput output = begin_output(ch);
    BlockTally tally;
    for (std::uint64_t done = 0; done < state_.blocksize;) {
        // A chunk lies wholly inside the stored part or wholly outside it.
        const std::uint64_t end = done < output.room ? output.room : state_.blocksize;
        const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(end - done, kChunk));
        std::int16_t* const out =
            done < output.room && !tally.type8_failed ? output.dst + done * output.stride : nullptr;
        std::int16_t* const narrow = stage_.is_identity() ? out : nullptr;
        ChunkScan scan;
        SV_TRY(reconstruct(b, s, m, narrow, output.stride, scan));
        tally_chunk(s, m, scan, out, output.stride, narrow != nullptr, tally);
        // The last history_len samples move to the front of the window.
        std::memmove(window_.data(), window_.data() + m, hlen * sizeof(std::int64_t));
        done += m;
    }
    std::copy(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(hlen), ch.history.begin());
    return complete_block(ch, tally, output.room);
}

SV_INLINE_STEP
Status StreamDecoder::reconstruct(const Block& b, std::int64_t* s, std::size_t m, std::int16_t* narrow,
                                  std::size_t stride, ChunkScan& scan) {
    if (b.proof_bits != 0) {
        BitReader trial = reader_;
        // Samples that are not stored this way go to scratch space.
        std::int16_t* const out = narrow != nullptr ? narrow : scratch_.data();
        if (fast_block_pass(trial, b, s, m, lpc_window_.data(), out, narrow != nullptr ? stride : 1)) {
            scan = scan_chunk(s, m, nullptr, 1);
            if (pass_is_proven(b, s, scan)) {
                reader_ = trial;
                return ok_status();
            }
        }
        // The proof failed or a code could not be read: redo the pass
        // checked, so that errors arise in their exact order.
    }
    SV_TRY(checked_chunk(reader_, b, s, m));
    scan = scan_chunk(s, m, narrow, stride);
    return ok_status();
}

SV_INLINE_STEP
void StreamDecoder::tally_chunk(const std::int64_t* s, std::size_t m, const ChunkScan& scan, std::int16_t* out,
                                std::size_t stride, bool narrowed, BlockTally& tally) const {
    if (header_.nmean > 0 && !tally.mean_overflow) {
        if (!tally.mean_step_by_step && within(scan.folded, kMeanSumBits)) {
            tally.mean_sum += scan.sum;  // exact, see kMeanSumBits
        } else {
            tally.mean_step_by_step = true;
            std::int64_t sum = static_cast<std::int64_t>(tally.mean_sum);
            for (std::size_t i = 0; i < m && !tally.mean_overflow; ++i) {
                tally.mean_overflow = !checked_add(sum, s[i], sum);
            }
            tally.mean_sum = static_cast<std::uint64_t>(sum);
        }
    }
    if (out != nullptr && !(narrowed && within(scan.folded, 15))) {
        tally.type8_failed = !stage_.convert(s, m, scan.folded, out, stride, tally.type8_value);
    } else if (out == nullptr && !tally.type8_failed) {
        // Samples that are not stored still pass the output stage's check.
        tally.type8_failed = !stage_.in_domain(s, m, scan.folded, tally.type8_value);
    }
}

Status StreamDecoder::zero_block() {
    Channel& ch = channels_[state_.current];
    const std::size_t n = static_cast<std::size_t>(state_.blocksize);
    auto& h = ch.history;
    if (n >= h.size()) {
        std::fill(h.begin(), h.end(), 0);
    } else {
        std::move(h.begin() + static_cast<std::ptrdiff_t>(n), h.end(), h.begin());
        std::fill(h.end() - static_cast<std::ptrdiff_t>(n), h.end(), 0);
    }
    // Every output stage maps 0 to the PCM value 0 (mu-law: code 0xFF).
    const BlockOutput output = begin_output(ch);
    const std::int16_t zero = stage_.zero();
    if (output.room == 0) {
        // Nothing is stored (and dst is null).
    } else if (output.stride == 1 && zero == 0) {
        std::memset(output.dst, 0, static_cast<std::size_t>(output.room) * sizeof(std::int16_t));
    } else {
        for (std::size_t i = 0; i < output.room; ++i) output.dst[i * output.stride] = zero;
    }
    return complete_block(ch, BlockTally{}, output.room);
}

SV_INLINE_STEP
Status StreamDecoder::command(bool& quit) {
    std::uint64_t function;
    if (!reader_.next_uvar(2, function)) return reader_.error();
    switch (function) {
        case kDiff0:
        case kDiff1:
        case kDiff2:
        case kDiff3:
        case kQlpc: return predicted_block(function);
        case kZero: return zero_block();
        case kQuit: quit = true; return ok_status();
        case kBlocksize: {
            SV_ASSIGN_OR_RETURN(const std::uint64_t n, reader_.read_ulong());
            if (n == 0 || n > kMaxBlocksize) return errors::invalid_blocksize(n);
            state_.blocksize = n;
            return ok_status();
        }
        case kBitshift: {
            SV_ASSIGN_OR_RETURN(const std::uint64_t n, reader_.read_uvar(2));
            if (n > kMaxBitshift) return errors::implausible_bitshift(n);
            state_.bitshift = static_cast<std::uint32_t>(n);
            stage_.set_bitshift(state_.bitshift);
            return ok_status();
        }
        case kVerbatim: {
            SV_ASSIGN_OR_RETURN(const std::uint64_t count, reader_.read_uvar(5));
            for (std::uint64_t i = 0; i < count; ++i) {
                std::uint64_t ignored;
                if (!reader_.next_uvar(8, ignored)) return reader_.error();
            }
            return ok_status();
        }
        default: return errors::unknown_function(function);
    }
}

Result<bool> StreamDecoder::step() {
    bool quit = false;
    SV_TRY(command(quit));
    return quit;
}

Result<DecodedShorten> StreamDecoder::run() {
    for (bool quit = false; !quit;) SV_TRY(command(quit));
    return finish();
}

std::uint64_t StreamDecoder::frames_complete() const noexcept {
    std::uint64_t frames = channels_[0].stored;
    for (const Channel& ch : channels_) frames = std::min(frames, ch.stored);
    return base_ + frames;
}

const std::int16_t* StreamDecoder::frame(std::uint64_t f) noexcept {
    return output_.samples() + static_cast<std::size_t>(f - base_) * channels_.size();
}

void StreamDecoder::drop_frames_before(std::uint64_t f) noexcept {
    const std::uint64_t dropped = f - base_;
    if (dropped == 0) return;
    std::uint64_t live = 0;
    for (const Channel& ch : channels_) live = std::max(live, ch.stored);
    output_.drop_front(static_cast<std::size_t>(dropped), static_cast<std::size_t>(live));
    for (Channel& ch : channels_) ch.stored -= dropped;
    base_ = f;
}

bool StreamDecoder::at_point(std::uint64_t& frame) const noexcept {
    if (state_.current != 0) return false;
    frame = channels_[0].count;
    for (const Channel& ch : channels_) {
        if (ch.count != frame) return false;
    }
    return true;
}

void StreamDecoder::save_point(SeekPoint& point) const {
    point.frame = channels_[0].count;
    point.bit = reader_.bit_index();
    point.state = state_;
    const std::size_t per_channel = channel_values(header_);
    point.channels.resize(per_channel * channels_.size());
    std::int64_t* out = point.channels.data();
    for (const Channel& ch : channels_) {
        std::copy(ch.history.begin(), ch.history.end(), out);
        ch.means.save(out + ch.history.size());
        out += per_channel;
    }
}

void StreamDecoder::resume(const SeekPoint& point) {
    const std::size_t per_channel = channel_values(header_);
    if (base_ != 0 || frames_complete() != 0 || point.channels.size() != per_channel * channels_.size()) {
        throw std::logic_error("StreamDecoder::resume: a used decoder or a point of another stream");
    }
    reader_.seek_bit(point.bit);
    state_ = point.state;
    stage_.set_bitshift(state_.bitshift);
    const std::int64_t* in = point.channels.data();
    for (Channel& ch : channels_) {
        std::copy(in, in + ch.history.size(), ch.history.begin());
        ch.means.restore(in + ch.history.size());
        ch.count = point.frame;
        in += per_channel;
    }
    base_ = point.frame;
}

DecodedShorten StreamDecoder::finish() {
    DecodedShorten d;
    d.channel_count = header_.channels;
    d.is_ulaw = header_.is_ulaw();
    d.sample_type = header_.sample_type;
    d.codes = stage_.stores_codes();
    std::uint64_t decoded_frames = channels_[0].count;
    for (const Channel& ch : channels_) decoded_frames = std::min(decoded_frames, ch.count);
    d.frames = decoded_frames;
    // Every channel stored min(count, keep_) samples, at least this many.
    d.pcm = output_.release(static_cast<std::size_t>(std::min(decoded_frames, keep_)));
    if (d.codes) {
        // One byte per code: byte i is written after the bytes of slot i
        // were read, and slot i lies at or after it, so this packs in place.
        // The memory of the second half is kept until the buffer is freed.
        std::uint8_t* p = d.pcm.data() + output_.lead();
        const std::size_t n = (d.pcm.size() - output_.lead()) / 2;
        const std::int16_t* slots = reinterpret_cast<const std::int16_t*>(p);
        for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(slots[i]);
        d.pcm.shrink(output_.lead() + n);
        return d;
    }
    if constexpr (std::endian::native == std::endian::big) {
        std::uint8_t* p = d.pcm.data();
        for (std::size_t i = output_.lead(); i + 1 < d.pcm.size(); i += 2) std::swap(p[i], p[i + 1]);
    }
    return d;
}

}  // namespace sonavert::shorten
