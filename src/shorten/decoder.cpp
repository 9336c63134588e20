#include "shorten/decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "common/checked.hpp"
#include "shorten/bit_reader.hpp"
#include "shorten/errors.hpp"
#include "shorten/means.hpp"
#include "shorten/output_stage.hpp"

namespace sonavert::shorten {
namespace {

// Function codes.
enum : std::uint64_t {
    kDiff0 = 0,
    kDiff1 = 1,
    kDiff2 = 2,
    kDiff3 = 3,
    kQuit = 4,
    kBlocksize = 5,
    kBitshift = 6,
    kQlpc = 7,
    kZero = 8,
    kVerbatim = 9,
};

// Samples reconstructed per pass: with up to 1024 history samples the
// working window (history plus one pass, 64-bit each) stays in L1 cache.
constexpr std::size_t kChunk = 2048;

// Residuals of one width decoded before a code table is made for it.
constexpr std::uint64_t kTableAfterSamples = 4096;

// Bounds of the fenced fast paths (see reconstruct()):
// - fixed predictors: with |r| <= 2^36 and every sample in [-2^60, 2^60],
//   the largest intermediate, |r| + 3|s1| + 3|s2| + |s3|, is below 2^63;
// - a block mean: 2^24 samples in [-2^38, 2^38] never sum beyond 2^62;
// - below 16 bits of headroom the fast path would fail its proof anyway.
constexpr std::uint64_t kFixedProofBits = 60;
constexpr std::uint64_t kLpcProofBits = 31;  // see LpcPredictor
constexpr std::uint64_t kMeanSumBits = 38;
constexpr std::uint64_t kMinProofBits = 16;

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

struct StreamHeader {
    std::uint64_t sample_type;
    std::uint64_t channels;
    std::uint64_t blocksize;
    std::uint64_t maxnlpc;
    std::uint64_t nmean;
};

// Reads the six header codes and the skip codes, then tests the values in
// their fixed order (nskip first, then type, channels, blocksize, maxnlpc,
// nmean).
Result<StreamHeader> read_header(BitReader& reader) {
    std::uint64_t v[6];
    for (std::uint64_t& value : v) {
        SV_ASSIGN_OR_RETURN(value, reader.read_ulong());
    }
    const StreamHeader h{v[0], v[1], v[2], v[3], v[4]};
    const std::uint64_t nskip = v[5];
    if (nskip > kMaxSkip) return errors::implausible_nskip(nskip);
    for (std::uint64_t i = 0; i < nskip; ++i) {
        std::uint64_t ignored;
        if (!reader.next_uvar(1, ignored)) return reader.error();
    }
    if (h.sample_type != 3 && h.sample_type != 5 && h.sample_type != 8) {
        return errors::unsupported_sample_type(h.sample_type);
    }
    if (h.channels == 0 || h.channels > kMaxChannels) return errors::invalid_channel_count(h.channels);
    if (h.blocksize == 0 || h.blocksize > kMaxBlocksize) return errors::invalid_blocksize(h.blocksize);
    if (h.maxnlpc > kMaxLpcOrder) return errors::implausible_maxnlpc(h.maxnlpc);
    if (h.nmean > kMaxMeanBlocks) return errors::implausible_nmean(h.nmean);
    return h;
}

// The 16-bit output, frame by frame as it is returned: sample j of channel
// c is element j * channels + c, after `lead` bytes left for the caller.
// Either allocated once at its final size, or grown geometrically.
class FrameBuffer {
public:
    FrameBuffer(std::size_t channels, std::size_t lead) : channels_(channels), lead_(lead) {}

    // Allocates room for exactly `frames` frames, for a caller that returns
    // this buffer as it is.
    void allocate_exact(std::size_t frames) {
        buffer_ = ByteBuffer(lead_ + frames * channels_ * sizeof(std::int16_t));
        capacity_ = frames;
    }

    // Room for frames [0, end); `first` is the room to start with and `most`
    // (>= end) the most it will hold. Returns the first sample of frame 0.
    std::int16_t* reserve(std::size_t end, std::size_t first, std::size_t most) {
        if (end > capacity_) {
            const std::size_t grown = capacity_ == 0 ? first : 2 * capacity_;
            capacity_ = std::max(end, std::min(most, grown));
            buffer_.resize(lead_ + capacity_ * channels_ * sizeof(std::int16_t));
        }
        return samples();
    }

    std::size_t lead() const noexcept { return lead_; }
    std::int16_t* samples() noexcept { return reinterpret_cast<std::int16_t*>(buffer_.data() + lead_); }

    // The lead and the first `frames` frames (every channel stored at least
    // that many samples).
    ByteBuffer release(std::size_t frames) {
        const std::size_t size = lead_ + frames * channels_ * sizeof(std::int16_t);
        if (buffer_.size() != size) buffer_.resize(size);
        capacity_ = 0;
        return std::move(buffer_);
    }

private:
    std::size_t channels_;
    std::size_t lead_;
    std::size_t capacity_ = 0;  // frames
    ByteBuffer buffer_;
};

struct Channel {
    Channel(std::size_t history_len, std::uint32_t nmean) : history(history_len, 0), means(nmean) {}
    std::vector<std::int64_t> history;  // the last history_len samples, oldest first
    MeanHistory means;
    std::uint64_t stored = 0;  // the first samples, as many as the caller keeps
    std::uint64_t count = 0;   // samples decoded, stored or not
};

// Where a block's output goes: its first `room` samples to `dst`, the rest
// nowhere (decoded and checked, not stored).
struct BlockOutput {
    std::int16_t* dst = nullptr;  // the block's first sample; the next is `stride` further
    std::uint64_t room = 0;
    std::size_t stride = 1;
};

// A predicted block (DIFF0..DIFF3 or QLPC) as read from its arguments.
struct Block {
    std::uint64_t function;
    std::uint64_t width;  // energy + 1: the code width of the residuals
    const std::int64_t* coefs = nullptr;
    std::uint64_t order = 0;
    std::int64_t mean_offset = 0;
    std::uint64_t proof_bits = 0;  // K of the fast-path bound; 0: no fast path
    std::uint64_t reach = 0;       // history samples the predictor reads
    const CodeTable* table = nullptr;  // for the residuals, when they are narrow enough
    const std::int32_t* rcoefs = nullptr;  // QLPC fast path: the coefficients, reversed
};

// What block completion needs to know about the samples of a block.
struct BlockTally {
    std::uint64_t mean_sum = 0;  // the block's sum so far (exact while no overflow)
    bool mean_step_by_step = false;
    bool mean_overflow = false;
    bool type8_failed = false;
    std::int64_t type8_value = 0;
};

// The hot functions are compiled twice, for the x86-64 baseline and for
// x86-64-v3 (BMI2, LZCNT, AVX2), and the loader picks one for the CPU. That
// dispatch (ifunc) needs glibc's loader (musl has none); a SONAVERT_PORTABLE
// build compiles the baseline only.
#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && !defined(SONAVERT_PORTABLE)
#define SV_HOT_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define SV_HOT_CLONES
#endif

std::uint64_t fold_or(const std::int64_t* s, std::size_t m) noexcept {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < m; ++i) acc |= fold_sign(s[i]);
    return acc;
}

// What one pass over a chunk's samples yields.
struct ChunkScan {
    std::uint64_t folded = 0;  // OR of fold_sign() over the samples
    std::uint64_t sum = 0;     // their sum modulo 2^64
};

// One pass over s[0..m). When `narrow` is not null it also receives every
// sample's low 16 bits, `stride` elements apart: the final output whenever
// all samples fit 16 bits and the output stage leaves them unchanged.
SV_HOT_CLONES
ChunkScan scan_chunk(const std::int64_t* s, std::size_t m, std::int16_t* narrow, std::size_t stride) noexcept {
    std::uint64_t folded = 0, sum = 0;
    if (narrow != nullptr && stride == 1) {
        for (std::size_t i = 0; i < m; ++i) {
            folded |= fold_sign(s[i]);
            sum += static_cast<std::uint64_t>(s[i]);
            narrow[i] = static_cast<std::int16_t>(s[i]);
        }
    } else if (narrow != nullptr) {
        for (std::size_t i = 0; i < m; ++i) {
            folded |= fold_sign(s[i]);
            sum += static_cast<std::uint64_t>(s[i]);
            narrow[i * stride] = static_cast<std::int16_t>(s[i]);
        }
    } else {
        for (std::size_t i = 0; i < m; ++i) {
            folded |= fold_sign(s[i]);
            sum += static_cast<std::uint64_t>(s[i]);
        }
    }
    return {folded, sum};
}

// ---- Fenced fast path: wrapping reconstruction -----------------------------
// PRECONDITION for keeping its result (tested by Decoder::reconstruct()):
// every residual lies within +-2^36 (BitReader::read_var_run() guarantees
// it; codes read one by one are tested), and every history sample the
// predictor reads, the mean offset and every sample produced lie in
// [-2^K, 2^K], K = Block::proof_bits. By induction over the samples no step
// of the checked definition can then overflow, so the wrapped results are
// the exact ones.

constexpr std::uint64_t kFastResidualBits = BitReader::kRunValueBits;

// Every sink also stores each sample's low 16 bits in `out`, `stride`
// elements apart (a constant S when not 0): the final output whenever the
// pass's samples all fit 16 bits and the output stage leaves them unchanged.
// Stores made while decoding cost less than a second pass over the samples.

// The fixed predictors DIFF0..DIFF3 as a sink for read_var_run().
template <std::uint64_t F, std::size_t S>
struct FixedPredictor {
    std::int64_t* s;
    std::uint64_t mean_offset;
    std::uint64_t s1, s2, s3;
    std::int16_t* out;
    std::size_t stride;
    std::int64_t* next_s = s;       // where the next sample goes
    std::int16_t* next_out = out;

    // Residuals come in order, so each sample goes to the next place; the
    // index is not needed (pointers that advance keep registers free).
    [[gnu::always_inline]] void operator()(std::size_t, std::int64_t residual) noexcept {
        const std::uint64_t r = static_cast<std::uint64_t>(residual);
        std::uint64_t v;
        if constexpr (F == kDiff0) {
            v = r + mean_offset;
        } else if constexpr (F == kDiff1) {
            v = r + s1;
        } else if constexpr (F == kDiff2) {
            v = r + 2 * s1 - s2;
        } else {
            v = r + 3 * (s1 - s2) + s3;
        }
        *next_s++ = static_cast<std::int64_t>(v);
        *next_out = static_cast<std::int16_t>(v);
        next_out += S != 0 ? S : stride;
        s3 = s2;
        s2 = s1;
        s1 = v;
    }
    // Takes up the state before sample i from the samples stored (the
    // window holds history before s[0]).
    [[gnu::always_inline]] void resume(std::size_t i) noexcept {
        next_s = s + i;
        next_out = out + i * (S != 0 ? S : stride);
        s1 = static_cast<std::uint64_t>(next_s[-1]);
        s2 = static_cast<std::uint64_t>(next_s[-2]);
        s3 = static_cast<std::uint64_t>(next_s[-3]);
    }
};

// QLPC as a sink: s = r + ((sum(c[k] * W[n-1-k]) - mo * sum(c) + 32) >> 5) + mo,
// which equals the definition's value whenever that one fits.
// The taps are products of 32-bit numbers: the fast path's bound for QLPC
// is at most 2^31 (kLpcProofBits), so every W it keeps fits 32 bits, and so
// does every coefficient. `w32` mirrors the window in 32 bits (w32[order + i]
// is s[i]) and rcoefs[order - 1 - k] is c[k], so the taps run forwards.
struct LpcPredictor {
    std::int64_t* s;
    std::uint64_t mean_offset;
    const std::int32_t* rcoefs;
    std::size_t order;
    std::uint64_t start;  // 32 - mo * sum(c)
    std::int32_t* w32;
    std::int16_t* out;
    std::size_t stride;

    [[gnu::always_inline]] void operator()(std::size_t i, std::int64_t residual) noexcept {
        std::uint64_t sum = start;
        const std::int32_t* w = w32 + i;  // oldest first
        for (std::size_t k = 0; k < order; ++k) {
            sum += static_cast<std::uint64_t>(std::int64_t{rcoefs[k]} * w[k]);
        }
        const std::uint64_t v = static_cast<std::uint64_t>(residual) +
                                static_cast<std::uint64_t>(static_cast<std::int64_t>(sum) >> 5) + mean_offset;
        s[i] = static_cast<std::int64_t>(v);
        w32[order + i] = static_cast<std::int32_t>(v);
        out[i * stride] = static_cast<std::int16_t>(v);
    }
    void resume(std::size_t) noexcept {}  // every sample is found by its index
};

// QLPC of a small fixed order P with the last P samples in registers: no
// load waits for the store of a sample just made.
template <std::size_t P>
struct SmallLpcPredictor {
    std::int64_t* s;
    std::uint64_t mean_offset;
    std::uint64_t start;  // 32 - mo * sum(c)
    std::uint64_t c[P];   // c[k] weighs w[k], the k-th most recent sample
    std::uint64_t w[P];
    std::int16_t* out;
    std::size_t stride;

    [[gnu::always_inline]] void operator()(std::size_t i, std::int64_t residual) noexcept {
        std::uint64_t sum = start;
        for (std::size_t k = 0; k < P; ++k) sum += c[k] * w[k];
        const std::uint64_t v = static_cast<std::uint64_t>(residual) +
                                static_cast<std::uint64_t>(static_cast<std::int64_t>(sum) >> 5) + mean_offset;
        s[i] = static_cast<std::int64_t>(v);
        out[i * stride] = static_cast<std::int16_t>(v);
        for (std::size_t k = P - 1; k > 0; --k) w[k] = w[k - 1];
        w[0] = v;
    }
    // Takes up the state before sample i from the samples stored.
    [[gnu::always_inline]] void resume(std::size_t i) noexcept {
        const std::int64_t* before = s + i;
        for (std::size_t k = 0; k < P; ++k) w[k] = static_cast<std::uint64_t>(before[-1 - static_cast<std::ptrdiff_t>(k)]);
    }
};

// Reads m residuals into `predict`; false when a code cannot be read or a
// residual is beyond the fast path's bound.
template <class Predict>
[[gnu::always_inline]] inline bool fast_pass(BitReader& reader, std::uint64_t width, const CodeTable* table,
                                             std::size_t m, Predict predict) noexcept {
    BitReader rd = reader;  // a local copy stays in registers
    std::size_t i = rd.read_var_run(width, m, table, predict);
    for (; i < m; ++i) {  // the last bytes of the data, or a long code
        std::uint64_t u;
        if (!rd.next_uvar(width, u) || (u >> (kFastResidualBits + 1)) != 0) return false;
        predict(i, unfold_sign(u));
    }
    reader = rd;
    return true;
}

template <std::uint64_t F, std::size_t S>
[[gnu::always_inline]] inline bool fast_fixed_pass(BitReader& reader, const Block& b, std::int64_t* s,
                                                   std::size_t m, std::int16_t* out, std::size_t stride) noexcept {
    const FixedPredictor<F, S> predictor{s,
                                         static_cast<std::uint64_t>(b.mean_offset),
                                         static_cast<std::uint64_t>(s[-1]),
                                         static_cast<std::uint64_t>(s[-2]),
                                         static_cast<std::uint64_t>(s[-3]),
                                         out,
                                         stride};
    return fast_pass(reader, b.width, b.table, m, predictor);
}

template <std::uint64_t F>
[[gnu::always_inline]] inline bool fast_fixed_pass(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m,
                                                   std::int16_t* out, std::size_t stride) noexcept {
    switch (stride) {  // mono and stereo with constant strides
        case 1: return fast_fixed_pass<F, 1>(reader, b, s, m, out, stride);
        case 2: return fast_fixed_pass<F, 2>(reader, b, s, m, out, stride);
        default: return fast_fixed_pass<F, 0>(reader, b, s, m, out, stride);
    }
}

// One pass of m samples by the block's predictor, also storing their low
// 16 bits at out[0], out[stride], ...
SV_HOT_CLONES
bool fast_block_pass(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m, std::int32_t* w32,
                     std::int16_t* out, std::size_t stride) noexcept {
    switch (b.function) {
        case kDiff0: return fast_fixed_pass<kDiff0>(reader, b, s, m, out, stride);
        case kDiff1: return fast_fixed_pass<kDiff1>(reader, b, s, m, out, stride);
        case kDiff2: return fast_fixed_pass<kDiff2>(reader, b, s, m, out, stride);
        case kDiff3: return fast_fixed_pass<kDiff3>(reader, b, s, m, out, stride);
        default: break;
    }
    if (b.order == 0) return fast_fixed_pass<kDiff0>(reader, b, s, m, out, stride);
    const std::uint64_t mo = static_cast<std::uint64_t>(b.mean_offset);
    std::uint64_t coef_sum = 0;
    for (std::size_t k = 0; k < b.order; ++k) coef_sum += static_cast<std::uint64_t>(b.coefs[k]);
    auto small = [&]<std::size_t P>(SmallLpcPredictor<P> predictor) __attribute__((always_inline)) {
        predictor.s = s;
        predictor.mean_offset = mo;
        predictor.start = 32 - mo * coef_sum;
        for (std::size_t k = 0; k < P; ++k) {
            predictor.c[k] = static_cast<std::uint64_t>(b.coefs[k]);
            predictor.w[k] = static_cast<std::uint64_t>(s[-1 - static_cast<std::ptrdiff_t>(k)]);
        }
        predictor.out = out;
        predictor.stride = stride;
        return fast_pass(reader, b.width, b.table, m, predictor);
    };
    switch (b.order) {
        case 1: return small(SmallLpcPredictor<1>{});
        case 2: return small(SmallLpcPredictor<2>{});
        case 3: return small(SmallLpcPredictor<3>{});
        case 4: return small(SmallLpcPredictor<4>{});
        case 5: return small(SmallLpcPredictor<5>{});
        case 6: return small(SmallLpcPredictor<6>{});
        case 7: return small(SmallLpcPredictor<7>{});
        case 8: return small(SmallLpcPredictor<8>{});
        default: break;
    }
    const std::int64_t* history = s - b.order;
    for (std::size_t k = 0; k < b.order; ++k) w32[k] = static_cast<std::int32_t>(history[k]);
    return fast_pass(reader, b.width, b.table, m,
                     LpcPredictor{s, mo, b.rcoefs, b.order, 32 - mo * coef_sum, w32, out, stride});
}

// ---- Checked path: the definition, every step tested ----------------------

// The sample whose residual is r; w[-1], w[-2], ... are the samples before it.
bool checked_sample(const Block& b, std::int64_t r, const std::int64_t* w, std::int64_t& v) noexcept {
    const std::int64_t mo = b.mean_offset;
    std::int64_t t, u;
    switch (b.function) {
        case kDiff0: return checked_add(r, mo, v);
        case kDiff1: return checked_add(r, w[-1], v);
        case kDiff2:
            return checked_mul<std::int64_t>(2, w[-1], t) && checked_add(r, t, t) && checked_sub(t, w[-2], v);
        case kDiff3:
            return checked_mul<std::int64_t>(3, w[-1], t) && checked_add(r, t, t) &&
                   checked_mul<std::int64_t>(3, w[-2], u) && checked_sub(t, u, t) && checked_add(t, w[-3], v);
        default: break;
    }
    if (b.order == 0) return checked_add(r, mo, v);
    std::int64_t sum = 0;  // c[0] weighs the most recent sample
    for (std::size_t k = 0; k < b.order; ++k) {
        if (!checked_sub(w[-1 - static_cast<std::ptrdiff_t>(k)], mo, t) || !checked_mul(b.coefs[k], t, t) ||
            !checked_add(sum, t, sum)) {
            return false;
        }
    }
    return checked_add<std::int64_t>(sum, 32, sum) && checked_add(r, sum >> 5, t) && checked_add(t, mo, v);
}

Status checked_chunk(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) {
        std::int64_t r;
        if (!reader.next_var(b.width, r)) return reader.error();
        std::int64_t v;
        if (!checked_sample(b, r, s + i, v)) return errors::reconstruction_overflow();
        s[i] = v;
    }
    return ok_status();
}

class Decoder {
public:
    Decoder(ByteView stream, const BitReader& reader, const StreamHeader& h, Reconstruction mode,
            std::optional<std::uint64_t> frames_needed, std::size_t lead)
        : reader_(reader),
          mode_(mode),
          header_(h),
          history_len_(std::max<std::uint64_t>(3, h.maxnlpc)),
          blocksize_(h.blocksize),
          stage_(h.sample_type == 8),
          window_(history_len_ + kChunk, 0),
          first_frames_(std::max(kMinFirstSamples, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                       kMaxDecodedSamples,
                                                       kFirstSamplesPerByte * stream.size() / h.channels)))),
          // Frames beyond the cap's share of each channel can never all be
          // decoded: a caller that needs them gets nothing stored.
          keep_(!frames_needed                                     ? kMaxDecodedSamples
                : *frames_needed > kMaxDecodedSamples / h.channels ? 0
                                                                   : *frames_needed),
          output_(h.channels, lead) {
        // keep_ * channels <= 2^30, and the stream is far shorter than 2^61.
        if (frames_needed && keep_ * h.channels <= kExactSamplesPerByte * stream.size()) {
            output_.allocate_exact(static_cast<std::size_t>(keep_));
        }
        channels_.reserve(h.channels);
        for (std::uint64_t c = 0; c < h.channels; ++c) {
            channels_.emplace_back(history_len_, static_cast<std::uint32_t>(h.nmean));
        }
        coefs_.reserve(h.maxnlpc);
        if (h.maxnlpc > 0) lpc_window_.resize(h.maxnlpc + kChunk);
    }

    Result<DecodedShorten> run();

private:
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
    std::uint64_t history_len_;
    std::uint64_t blocksize_;
    std::uint64_t decoded_ = 0;
    std::size_t current_ = 0;
    OutputStage stage_;
    std::vector<Channel> channels_;
    std::vector<std::int64_t> coefs_;
    std::vector<std::int32_t> rcoefs_;
    std::vector<std::int32_t> lpc_window_;  // the QLPC fast path's 32-bit window
    std::vector<std::int16_t> scratch_ = std::vector<std::int16_t>(kChunk);
    // Code tables by residual width, made when a width is first used.
    std::array<std::unique_ptr<CodeTable>, CodeTable::kBits> tables_;
    std::array<std::uint64_t, CodeTable::kBits> width_samples_{};  // decoded at each width so far
    // history_len_ samples of history followed by one pass of new samples.
    std::vector<std::int64_t> window_;
    std::size_t first_frames_;  // the output's first room, when it grows
    std::uint64_t keep_;        // samples stored per channel, at most
    FrameBuffer output_;
};

Result<DecodedShorten> Decoder::run() {
    for (;;) {
        std::uint64_t function;
        if (!reader_.next_uvar(2, function)) return reader_.error();
        switch (function) {
            case kDiff0:
            case kDiff1:
            case kDiff2:
            case kDiff3:
            case kQlpc: SV_TRY(predicted_block(function)); break;
            case kZero: SV_TRY(zero_block()); break;
            case kQuit: return finish();
            case kBlocksize: {
                SV_ASSIGN_OR_RETURN(const std::uint64_t n, reader_.read_ulong());
                if (n == 0 || n > kMaxBlocksize) return errors::invalid_blocksize(n);
                blocksize_ = n;
                break;
            }
            case kBitshift: {
                SV_ASSIGN_OR_RETURN(const std::uint64_t n, reader_.read_uvar(2));
                if (n > kMaxBitshift) return errors::implausible_bitshift(n);
                stage_.set_bitshift(static_cast<std::uint32_t>(n));
                break;
            }
            case kVerbatim: {
                SV_ASSIGN_OR_RETURN(const std::uint64_t count, reader_.read_uvar(5));
                for (std::uint64_t i = 0; i < count; ++i) {
                    std::uint64_t ignored;
                    if (!reader_.next_uvar(8, ignored)) return reader_.error();
                }
                break;
            }
            default: return errors::unknown_function(function);
        }
    }
}

Status Decoder::predicted_block(std::uint64_t function) {
    std::uint64_t energy;
    if (!reader_.next_uvar(3, energy)) return reader_.error();
    Block b{function, energy + 1};  // energy < 2^30
    if (function == kQlpc) {
        SV_ASSIGN_OR_RETURN(const std::uint64_t order, reader_.read_uvar(2));
        if (order > header_.maxnlpc) return errors::qlpc_order_exceeds(order, header_.maxnlpc);
        coefs_.resize(order);
        for (std::int64_t& c : coefs_) {
            SV_ASSIGN_OR_RETURN(c, reader_.read_var(6));
        }
        b.coefs = coefs_.data();
        b.order = order;
    }
    Channel& ch = channels_[current_];
    if ((function == kDiff0 || function == kQlpc) && header_.nmean > 0 &&
        !ch.means.offset(b.mean_offset)) {
        return errors::reconstruction_overflow();
    }
    b.reach = function == kQlpc ? b.order : function;
    if (mode_ == Reconstruction::Proven && b.width <= kMaxCodeWidth) {
        std::uint64_t k = kFixedProofBits;
        if (function == kQlpc && b.order > 0) {
            // |c| <= 2^cb and order <= 2^ob: with inputs in [-2^K, 2^K] every
            // partial sum of c[k] * (W - mo) is within 2^(ob + cb + K + 1).
            std::uint64_t coef_folded = 0;
            for (std::int64_t c : coefs_) coef_folded |= fold_sign(c);
            const std::uint64_t cb = static_cast<std::uint64_t>(std::bit_width(coef_folded));
            const std::uint64_t ob = static_cast<std::uint64_t>(std::bit_width(b.order - 1));
            k = cb + ob > 61 ? 0 : std::min(kLpcProofBits, 61 - cb - ob);
            if (cb <= 30) {  // every coefficient fits 32 bits
                rcoefs_.assign(coefs_.rbegin(), coefs_.rend());
                b.rcoefs = rcoefs_.data();
            } else {
                k = 0;
            }
        }
        b.proof_bits = k >= kMinProofBits ? k : 0;
        if (b.proof_bits != 0 && b.width < CodeTable::kBits) {
            // A table costs about as much as decoding kTableAfterSamples
            // samples without it, so it is made once a width has had those.
            std::unique_ptr<CodeTable>& table = tables_[b.width];
            std::uint64_t& seen = width_samples_[b.width];
            if (!table && seen >= kTableAfterSamples) {
                table = std::make_unique<CodeTable>(static_cast<std::uint32_t>(b.width));
            }
            seen += blocksize_;
            b.table = table.get();
        }
    }

    const std::size_t hlen = history_len_;
    std::copy(ch.history.begin(), ch.history.end(), window_.begin());
    std::int64_t* const s = window_.data() + hlen;
    const BlockOutput output = begin_output(ch);
    BlockTally tally;
    for (std::uint64_t done = 0; done < blocksize_;) {
        // A chunk lies wholly inside the stored part or wholly outside it.
        const std::uint64_t end = done < output.room ? output.room : blocksize_;
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

Status Decoder::reconstruct(const Block& b, std::int64_t* s, std::size_t m, std::int16_t* narrow,
                            std::size_t stride, ChunkScan& scan) {
    if (b.proof_bits != 0) {
        BitReader trial = reader_;
        // Samples that are not stored this way go to scratch space.
        std::int16_t* const out = narrow != nullptr ? narrow : scratch_.data();
        if (fast_block_pass(trial, b, s, m, lpc_window_.data(), out, narrow != nullptr ? stride : 1)) {
            scan = scan_chunk(s, m, nullptr, 1);
            const std::uint64_t inputs = fold_or(s - b.reach, b.reach) | fold_sign(b.mean_offset);
            if (within(inputs | scan.folded, b.proof_bits)) {
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

void Decoder::tally_chunk(const std::int64_t* s, std::size_t m, const ChunkScan& scan, std::int16_t* out,
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

// Where the block's output goes: as much of it as the channel still keeps,
// and nothing when the block takes the decoded count beyond its limit (it
// then fails at completion, unless an earlier error ends the decode first).
BlockOutput Decoder::begin_output(Channel& ch) {
    if (decoded_ + blocksize_ > kMaxDecodedSamples) return {};
    const std::uint64_t stored = ch.stored;
    const std::uint64_t room = keep_ > stored ? std::min(keep_ - stored, blocksize_) : 0;
    if (room == 0) return {};
    const auto keep = static_cast<std::size_t>(keep_);
    const std::size_t stride = channels_.size();
    std::int16_t* frames =
        output_.reserve(static_cast<std::size_t>(stored + room), std::min(first_frames_, keep), keep);
    return {frames + static_cast<std::size_t>(stored) * stride + current_, room, stride};
}

Status Decoder::zero_block() {
    Channel& ch = channels_[current_];
    const std::size_t n = static_cast<std::size_t>(blocksize_);
    auto& h = ch.history;
    if (n >= h.size()) {
        std::fill(h.begin(), h.end(), 0);
    } else {
        std::move(h.begin() + static_cast<std::ptrdiff_t>(n), h.end(), h.begin());
        std::fill(h.end() - static_cast<std::ptrdiff_t>(n), h.end(), 0);
    }
    // Every output stage maps 0 to the PCM value 0 (mu-law: code 0xFF).
    const BlockOutput output = begin_output(ch);
    if (output.room == 0) {
        // Nothing is stored (and dst is null).
    } else if (output.stride == 1) {
        std::memset(output.dst, 0, static_cast<std::size_t>(output.room) * sizeof(std::int16_t));
    } else {
        for (std::size_t i = 0; i < output.room; ++i) output.dst[i * output.stride] = 0;
    }
    return complete_block(ch, BlockTally{}, output.room);
}

// Block completion after the history update: mean, count, output stage.
Status Decoder::complete_block(Channel& ch, const BlockTally& tally, std::uint64_t stored) {
    if (header_.nmean > 0) {
        std::int64_t rounded;
        if (tally.mean_overflow ||
            !checked_add(static_cast<std::int64_t>(tally.mean_sum), static_cast<std::int64_t>(blocksize_ / 2),
                         rounded)) {
            return errors::reconstruction_overflow();
        }
        ch.means.push(rounded / static_cast<std::int64_t>(blocksize_));
    }
    decoded_ += blocksize_;
    if (decoded_ > kMaxDecodedSamples) return errors::exceeds_decoded_length();
    if (tally.type8_failed) return errors::type8_domain(tally.type8_value);
    ch.stored += stored;
    ch.count += blocksize_;
    current_ = current_ + 1 == channels_.size() ? 0 : current_ + 1;
    return ok_status();
}

DecodedShorten Decoder::finish() {
    DecodedShorten d;
    d.channel_count = header_.channels;
    d.is_ulaw = header_.sample_type == 8;
    std::uint64_t decoded_frames = channels_[0].count;
    for (const Channel& ch : channels_) decoded_frames = std::min(decoded_frames, ch.count);
    d.frames = decoded_frames;
    // Every channel stored min(count, keep_) samples, at least this many.
    d.pcm = output_.release(static_cast<std::size_t>(std::min(decoded_frames, keep_)));
    if constexpr (std::endian::native == std::endian::big) {
        std::uint8_t* p = d.pcm.data();
        for (std::size_t i = output_.lead(); i + 1 < d.pcm.size(); i += 2) std::swap(p[i], p[i + 1]);
    }
    return d;
}

}  // namespace

Result<DecodedShorten> decode_shorten(ByteView stream, Reconstruction mode,
                                      std::optional<std::uint64_t> frames_needed, std::size_t lead) {
    if (stream.size() < 4 || std::memcmp(stream.data(), "ajkg", 4) != 0) return errors::missing_magic();
    if (stream.size() == 4) return errors::missing_version();
    if (stream[4] != 2) return errors::unsupported_version(stream[4]);
    BitReader reader(stream, 5);
    SV_ASSIGN_OR_RETURN(const StreamHeader header, read_header(reader));
    Decoder decoder(stream, reader, header, mode, frames_needed, lead);
    return decoder.run();
}

}  // namespace sonavert::shorten
