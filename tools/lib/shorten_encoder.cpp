#include "shorten_encoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "shorten/stream_header.hpp"
#include "shorten_stream_writer.hpp"

namespace sonavert::testkit {

namespace {

// The decoder's bounds (shorten/stream_header.hpp) hold for the encoder
// too: a stream outside them would be rejected, so it refuses to write one.
// The decoder accepts a unary prefix of at most 2^26 zeros; residual widths
// are raised until every code stays within it.
constexpr unsigned kMaxPrefixBits = 26;
// Residual widths: read_var(energy + 1) with energy 0..31.
constexpr unsigned kMinWidth = 1;
constexpr unsigned kMaxWidth = 32;
// Fitted QLPC orders stop here: fitting costs O(order * blocksize) per block
// and higher orders buy next to nothing on audio.
constexpr std::uint32_t kMaxFittedOrder = 32;
// QLPC coefficients carry 5 fractional bits (the decoder shifts by 5); this
// bound keeps every predictor sum far from the 64-bit limit.
constexpr double kCoefScale = 32.0;
constexpr std::int64_t kMaxCoef = 1 << 15;

// ---- messages --------------------------------------------------------------

Error option_out_of_range(const char* name, std::uint64_t value, const char* range) {
    return invalid("shorten encoder: " + std::string(name) + " must be " + range + ", got " +
                   std::to_string(value));
}
Error bad_sample_type(std::uint32_t type) {
    return invalid("shorten encoder: sample type must be 3, 5 or 8, got " + std::to_string(type));
}
Error ragged_input(std::uint64_t count, std::uint32_t channels) {
    return invalid("shorten encoder: " + std::to_string(count) + " samples are not a whole number of " +
                   std::to_string(channels) + "-channel frames");
}
Error not_shiftable(std::int64_t value, std::uint64_t index, std::uint32_t bitshift) {
    return invalid("shorten encoder: sample " + std::to_string(value) + " at index " + std::to_string(index) +
                   " is not a multiple of 2^" + std::to_string(bitshift));
}
Error mulaw_needs_no_shift() {
    return invalid("shorten encoder: mu-law streams are written with bitshift 0");
}
Error mulaw_value_out_of_range(std::int64_t value, std::uint64_t index) {
    return invalid("shorten encoder: mu-law value " + std::to_string(value) + " at index " +
                   std::to_string(index) + " is outside -128..127");
}
Error input_type_mismatch(const char* input, const char* types, std::uint32_t type) {
    return invalid("shorten encoder: " + std::string(input) + " input needs sample type " + types + ", got " +
                   std::to_string(type));
}
Error odd_pcm_length(std::uint64_t length) {
    return invalid("shorten encoder: 16-bit PCM input has an odd length " + std::to_string(length));
}

// ---- option checks ---------------------------------------------------------

Status check_options(const ShortenOptions& o) {
    if (o.channels < 1 || o.channels > shorten::kMaxChannels) return option_out_of_range("channels", o.channels, "1..256");
    if (o.sample_type != 3 && o.sample_type != 5 && o.sample_type != 8) return bad_sample_type(o.sample_type);
    if (o.blocksize < 1 || o.blocksize > shorten::kMaxBlocksize) {
        return option_out_of_range("blocksize", o.blocksize, "1..16777216");
    }
    for (std::uint32_t b : o.blocksize_schedule) {
        if (b < 1 || b > shorten::kMaxBlocksize) return option_out_of_range("blocksize", b, "1..16777216");
    }
    if (o.maxnlpc > shorten::kMaxLpcOrder) return option_out_of_range("maxnlpc", o.maxnlpc, "0..1024");
    if (o.nmean > shorten::kMaxMeanBlocks) return option_out_of_range("nmean", o.nmean, "0..65536");
    if (o.nskip > shorten::kMaxSkip) return option_out_of_range("nskip", o.nskip, "0..1048576");
    if (o.bitshift && *o.bitshift > shorten::kMaxBitshift) return option_out_of_range("bitshift", *o.bitshift, "0..32");
    if (o.sample_type == 8 && o.bitshift.value_or(0) != 0) return mulaw_needs_no_shift();
    return ok_status();
}

Status check_samples(std::span<const std::int32_t> samples, const ShortenOptions& o) {
    if (samples.size() % o.channels != 0) return ragged_input(samples.size(), o.channels);
    if (o.sample_type == 8) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (samples[i] < -128 || samples[i] > 127) return mulaw_value_out_of_range(samples[i], i);
        }
    } else if (o.bitshift && *o.bitshift > 0) {
        const std::uint64_t mask = (std::uint64_t{1} << *o.bitshift) - 1;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if ((static_cast<std::uint64_t>(static_cast<std::int64_t>(samples[i])) & mask) != 0) {
                return not_shiftable(samples[i], i, *o.bitshift);
            }
        }
    }
    return ok_status();
}

// ---- cost model --------------------------------------------------------------

// Total bits of the residual codes at width k (prefix, stop bit, k bits).
std::uint64_t residual_bits(std::span<const std::uint64_t> u, unsigned k) {
    std::uint64_t sum = 0;
    for (std::uint64_t v : u) sum += v >> k;
    return sum + u.size() * (k + 1);
}

// The width (energy + 1) that minimises the energy code plus the residual
// codes, exactly. `or_u`, the OR of all values, has the bit length of the
// largest one; `sum_u` is their sum.
//
// residual_bits(k) is convex in k (its forward differences never decrease),
// so a walk from an estimate finds its minimum; the energy code, which
// grows by one bit every 8 widths and by at most 3 in all, can only move the
// optimum below that minimum, to widths whose residual cost is at most 3
// bits higher.
ResidualCoding best_width(std::span<const std::uint64_t> u, std::uint64_t or_u, std::uint64_t sum_u) {
    const unsigned bits_of_max = static_cast<unsigned>(std::bit_width(or_u));
    const unsigned min_k = std::max(kMinWidth, bits_of_max > kMaxPrefixBits ? bits_of_max - kMaxPrefixBits : 0u);
    const std::uint64_t mean = u.empty() ? 0 : sum_u / u.size();
    unsigned k = std::clamp(static_cast<unsigned>(std::bit_width(mean)), min_k, kMaxWidth);
    std::uint64_t best = residual_bits(u, k);
    bool moved_up = false;
    while (k < kMaxWidth) {
        const std::uint64_t next = residual_bits(u, k + 1);
        if (next >= best) break;
        best = next;
        ++k;
        moved_up = true;
    }
    if (!moved_up) {
        while (k > min_k) {
            const std::uint64_t next = residual_bits(u, k - 1);
            if (next >= best) break;
            best = next;
            --k;
        }
    }
    const std::uint64_t floor_bits = best;
    ResidualCoding choice{k - 1, best + uvar_bits(k - 1, 3)};
    for (unsigned j = k; j-- > min_k;) {
        const std::uint64_t bits = residual_bits(u, j);
        if (bits > floor_bits + 3) break;
        const std::uint64_t total = bits + uvar_bits(j - 1, 3);
        if (total < choice.bits) choice = ResidualCoding{j - 1, total};
    }
    return choice;
}

// Levinson-Durbin on autocorrelations r[0..p]: coefficient sets for every
// order, a[k][j] weighting the sample j + 1 back, and the prediction
// error after each order. Stops early (fewer orders) when the recursion
// becomes unstable.
struct LpcFit {
    std::vector<std::vector<double>> coefs;  // coefs[k - 1] has k entries
    std::vector<double> error;               // error[k - 1]
};

LpcFit levinson(std::span<const double> r) {
    LpcFit fit;
    const std::size_t p = r.size() - 1;
    double err = r[0];
    std::vector<double> a;
    for (std::size_t k = 1; k <= p; ++k) {
        double acc = r[k];
        for (std::size_t j = 0; j + 1 < k; ++j) acc -= a[j] * r[k - 1 - j];
        const double refl = acc / err;
        if (!std::isfinite(refl) || std::fabs(refl) >= 1.0) break;
        std::vector<double> next(k);
        for (std::size_t j = 0; j + 1 < k; ++j) next[j] = a[j] - refl * a[k - 2 - j];
        next[k - 1] = refl;
        a = std::move(next);
        err *= 1.0 - refl * refl;
        if (!(err > 0.0)) break;
        fit.coefs.push_back(a);
        fit.error.push_back(err);
    }
    return fit;
}

// ---- the encoder -------------------------------------------------------------

struct ChannelState {
    std::vector<std::int64_t> history;  // history_len values, oldest first
    std::vector<std::int64_t> means;    // ring of the last nmean block means
    std::size_t next_mean = 0;
    std::int64_t mean_sum = 0;
};

class Encoder {
public:
    Encoder(std::span<const std::int32_t> samples, const ShortenOptions& options)
        : samples_(samples),
          o_(options),
          history_len_(std::max<std::uint32_t>(3, options.maxnlpc)),
          channels_(options.channels) {
        for (ChannelState& ch : channels_) {
            ch.history.assign(history_len_, 0);
            ch.means.assign(o_.nmean, 0);
        }
        inserts_ = o_.verbatim_inserts;
        std::stable_sort(inserts_.begin(), inserts_.end(),
                         [](const VerbatimInsert& a, const VerbatimInsert& b) {
                             return a.before_block < b.before_block;
                         });
        // About one byte per 16-bit sample for typical audio.
        out_.bits().reserve(samples.size() + 64 + o_.leading_verbatim.size() * 2);
    }

    std::vector<std::uint8_t> run();

private:
    void emit_due_inserts();
    void encode_block(std::uint32_t channel, std::uint64_t frame, std::uint32_t n);
    std::int64_t mean_offset(const ChannelState& ch) const;
    void try_qlpc(std::uint32_t n, std::int64_t offset);
    void complete_block(ChannelState& ch, std::uint32_t n);

    std::span<const std::int32_t> samples_;
    const ShortenOptions& o_;
    std::uint32_t history_len_;
    std::vector<ChannelState> channels_;
    std::vector<VerbatimInsert> inserts_;
    std::size_t next_insert_ = 0;
    std::uint64_t block_index_ = 0;
    std::uint32_t bitshift_ = 0;
    ShortenStreamWriter out_;

    // Per-block scratch: work_ = history followed by the block; u_[p] the
    // zigzagged residuals of DIFFp; qlpc_u_ and qlpc_coefs_ the best QLPC.
    std::vector<std::int64_t> work_;
    std::array<std::vector<std::uint64_t>, 4> u_;
    std::vector<std::uint64_t> qlpc_u_;
    std::vector<std::int64_t> qlpc_coefs_;
    std::vector<double> centred_;
    ResidualCoding qlpc_width_;
    std::uint64_t qlpc_bits_ = 0;
};

std::vector<std::uint8_t> Encoder::run() {
    ShortenHeader header;
    header.sample_type = o_.sample_type;
    header.channels = o_.channels;
    header.blocksize = o_.blocksize;
    header.maxnlpc = o_.maxnlpc;
    header.nmean = o_.nmean;
    header.nskip = o_.nskip;
    out_.header(header);
    if (!o_.leading_verbatim.empty()) out_.verbatim(o_.leading_verbatim);

    const std::uint64_t frames = samples_.size() / o_.channels;
    std::uint64_t frame = 0;
    std::uint32_t current_blocksize = o_.blocksize;
    for (std::uint64_t cycle = 0; frame < frames; ++cycle) {
        const std::uint32_t wanted = o_.blocksize_schedule.empty()
                                         ? o_.blocksize
                                         : o_.blocksize_schedule[cycle % o_.blocksize_schedule.size()];
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, frames - frame));
        if (n != current_blocksize) {
            out_.blocksize(n);
            current_blocksize = n;
        }
        for (std::uint32_t c = 0; c < o_.channels; ++c) {
            emit_due_inserts();
            encode_block(c, frame, n);
            ++block_index_;
        }
        frame += n;
    }
    block_index_ = UINT64_MAX;
    emit_due_inserts();
    out_.quit();
    // Zero bytes up to whole 32-bit words after the 5-byte preamble, as
    // shorten itself writes: some decoders read a word at a time and take
    // whatever follows an unpadded end for stream bits.
    std::vector<std::uint8_t> stream = out_.finish();
    while ((stream.size() - 5) % 4 != 0) stream.push_back(0);
    return stream;
}

void Encoder::emit_due_inserts() {
    while (next_insert_ < inserts_.size() && inserts_[next_insert_].before_block <= block_index_) {
        out_.verbatim(inserts_[next_insert_].bytes);
        ++next_insert_;
    }
}

// Means are kept in output units: the offset comes back to the block's
// units by an arithmetic shift by the bitshift in force.
std::int64_t Encoder::mean_offset(const ChannelState& ch) const {
    if (o_.nmean == 0) return 0;
    const auto nmean = static_cast<std::int64_t>(o_.nmean);
    return ((ch.mean_sum + nmean / 2) / nmean) >> bitshift_;
}

void Encoder::encode_block(std::uint32_t channel, std::uint64_t frame, std::uint32_t n) {
    ChannelState& ch = channels_[channel];
    const std::uint32_t h = history_len_;
    const std::int32_t* src = samples_.data() + frame * o_.channels + channel;
    const std::size_t stride = o_.channels;

    std::uint32_t any_bits = 0;
    for (std::uint32_t i = 0; i < n; ++i) any_bits |= static_cast<std::uint32_t>(src[i * stride]);

    work_.resize(h + n);
    std::copy(ch.history.begin(), ch.history.end(), work_.begin());
    BitWriter& bits = out_.bits();
    if (any_bits == 0) {
        std::fill(work_.begin() + h, work_.end(), 0);
        out_.zero();
        complete_block(ch, n);
        return;
    }

    std::uint32_t shift = 0;
    if (o_.bitshift) {
        shift = *o_.bitshift;
    } else if (o_.sample_type != 8) {
        shift = static_cast<std::uint32_t>(std::countr_zero(any_bits));
    }
    if (shift != bitshift_) {
        out_.bitshift(shift);
        bitshift_ = shift;
    }
    // Multiples of 2^shift: the arithmetic shift is exact.
    for (std::uint32_t i = 0; i < n; ++i) work_[h + i] = static_cast<std::int64_t>(src[i * stride]) >> shift;

    const std::int64_t offset = mean_offset(ch);
    for (auto& u : u_) u.resize(n);
    std::array<std::uint64_t, 4> or_u{}, sum_u{};
    // w[-1], w[-2], w[-3] are the last history values (history_len >= 3).
    const std::int64_t* w = work_.data() + h;
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
        const std::int64_t s = w[i], s1 = w[i - 1], s2 = w[i - 2], s3 = w[i - 3];
        const std::uint64_t u0 = zigzag(s - offset);
        const std::uint64_t u1 = zigzag(s - s1);
        const std::uint64_t u2 = zigzag(s - 2 * s1 + s2);
        const std::uint64_t u3 = zigzag(s - 3 * s1 + 3 * s2 - s3);
        u_[0][i] = u0;
        u_[1][i] = u1;
        u_[2][i] = u2;
        u_[3][i] = u3;
        or_u[0] |= u0;
        or_u[1] |= u1;
        or_u[2] |= u2;
        or_u[3] |= u3;
        sum_u[0] += u0;
        sum_u[1] += u1;
        sum_u[2] += u2;
        sum_u[3] += u3;
    }

    unsigned best_fn = 0;
    ResidualCoding best{};
    std::uint64_t best_bits = UINT64_MAX;
    for (unsigned p = 0; p < 4; ++p) {
        // OR of the values has the bit length of their maximum.
        const ResidualCoding c = best_width(u_[p], or_u[p], sum_u[p]);
        const std::uint64_t total = uvar_bits(shorten::kDiff0 + p, 2) + c.bits;
        if (total < best_bits) {
            best_bits = total;
            best = c;
            best_fn = shorten::kDiff0 + p;
        }
    }
    qlpc_bits_ = UINT64_MAX;
    if (o_.maxnlpc > 0) try_qlpc(n, offset);

    const std::vector<std::uint64_t>* residuals = &u_[best_fn];
    if (qlpc_bits_ < best_bits) {
        best = qlpc_width_;
        out_.function(shorten::kQlpc);
        bits.put_uvar(best.energy, 3);
        bits.put_uvar(qlpc_coefs_.size(), 2);
        for (std::int64_t c : qlpc_coefs_) bits.put_var(c, 6);
        residuals = &qlpc_u_;
    } else {
        out_.function(best_fn);
        bits.put_uvar(best.energy, 3);
    }
    const unsigned width = best.energy + 1;
    for (std::uint64_t u : *residuals) bits.put_uvar(u, width);
    complete_block(ch, n);
}

// Fits a linear predictor to the block (mean offset removed), quantises it
// and records its exact cost in qlpc_bits_ when it can be coded.
void Encoder::try_qlpc(std::uint32_t n, std::int64_t offset) {
    const std::uint32_t h = history_len_;
    const std::uint32_t max_order = std::min({o_.maxnlpc, kMaxFittedOrder, n > 1 ? n - 1 : 0});
    if (max_order == 0) return;
    centred_.resize(n);
    for (std::uint32_t i = 0; i < n; ++i) centred_[i] = static_cast<double>(work_[h + i] - offset);
    std::vector<double> r(max_order + 1, 0.0);
    for (std::uint32_t lag = 0; lag <= max_order; ++lag) {
        double acc = 0.0;
        for (std::uint32_t i = lag; i < n; ++i) acc += centred_[i] * centred_[i - lag];
        r[lag] = acc;
    }
    if (!(r[0] > 0.0)) return;
    const LpcFit fit = levinson(r);
    if (fit.coefs.empty()) return;

    // Estimated bits: the residual entropy falls with log2 of the error,
    // each coefficient costs about a byte.
    std::size_t order = 1;
    double best_estimate = INFINITY;
    for (std::size_t k = 1; k <= fit.coefs.size(); ++k) {
        const double e = std::max(fit.error[k - 1] / n, 1e-9);
        const double estimate = 0.5 * n * std::log2(e) + 8.0 * static_cast<double>(k);
        if (estimate < best_estimate) {
            best_estimate = estimate;
            order = k;
        }
    }
    qlpc_coefs_.resize(order);
    std::uint64_t head_bits = uvar_bits(shorten::kQlpc, 2) + uvar_bits(order, 2);
    for (std::size_t j = 0; j < order; ++j) {
        const auto q = static_cast<std::int64_t>(std::lround(fit.coefs[order - 1][j] * kCoefScale));
        qlpc_coefs_[j] = std::clamp(q, -kMaxCoef, kMaxCoef);
        head_bits += uvar_bits(zigzag(qlpc_coefs_[j]), 6);
    }

    // The decoder's prediction, term for term.
    qlpc_u_.resize(n);
    std::uint64_t or_u = 0, sum_u = 0;
    // order <= maxnlpc <= history_len: w[i - 1 - j] never leaves work_.
    const std::int64_t* w = work_.data() + h;
    const auto signed_order = static_cast<std::ptrdiff_t>(order);
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
        std::int64_t sum = 0;
        for (std::ptrdiff_t j = 0; j < signed_order; ++j) sum += qlpc_coefs_[j] * (w[i - 1 - j] - offset);
        sum += 32;
        const std::uint64_t u = zigzag(w[i] - (sum >> 5) - offset);
        qlpc_u_[i] = u;
        or_u |= u;
        sum_u += u;
    }
    qlpc_width_ = best_width(qlpc_u_, or_u, sum_u);
    qlpc_bits_ = head_bits + qlpc_width_.bits;
}

// The decoder's block completion: new history, then the block mean, in
// output units (times 2^bitshift).
void Encoder::complete_block(ChannelState& ch, std::uint32_t n) {
    std::copy(work_.end() - history_len_, work_.end(), ch.history.begin());
    if (o_.nmean == 0) return;
    std::int64_t block_sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) block_sum += work_[history_len_ + i];
    const auto len = static_cast<std::int64_t>(n);
    const std::int64_t mean = (block_sum + len / 2) / len * (std::int64_t{1} << bitshift_);
    ch.mean_sum += mean - ch.means[ch.next_mean];
    ch.means[ch.next_mean] = mean;
    ch.next_mean = (ch.next_mean + 1) % ch.means.size();
}

}  // namespace

Result<std::vector<std::uint8_t>> encode_shorten(std::span<const std::int32_t> samples,
                                                 const ShortenOptions& options) {
    SV_TRY(check_options(options));
    SV_TRY(check_samples(samples, options));
    Encoder encoder(samples, options);
    return encoder.run();
}

Result<std::vector<std::uint8_t>> encode_shorten_bytes(ByteView bytes, const ShortenOptions& options) {
    return options.sample_type == 8 ? encode_shorten_mulaw(bytes, options) : encode_shorten_pcm16(bytes, options);
}

ResidualCoding choose_energy(std::span<const std::uint64_t> zigzagged) {
    std::uint64_t any_bits = 0, sum = 0;
    for (std::uint64_t u : zigzagged) {
        any_bits |= u;
        sum += u;
    }
    return best_width(zigzagged, any_bits, sum);
}

Result<std::vector<std::uint8_t>> encode_shorten_pcm16(ByteView pcm, const ShortenOptions& options) {
    if (options.sample_type != 3 && options.sample_type != 5) {
        return input_type_mismatch("16-bit PCM", "3 or 5", options.sample_type);
    }
    if (pcm.size() % 2 != 0) return odd_pcm_length(pcm.size());
    std::vector<std::int32_t> samples(pcm.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    }
    return encode_shorten(samples, options);
}

Result<std::vector<std::uint8_t>> encode_shorten_mulaw(ByteView codes, const ShortenOptions& options) {
    if (options.sample_type != 8) return input_type_mismatch("mu-law", "8", options.sample_type);
    std::vector<std::int32_t> samples(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) samples[i] = mulaw_code_to_value(codes[i]);
    return encode_shorten(samples, options);
}

}  // namespace sonavert::testkit
