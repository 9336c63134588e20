#include "shorten/fast_predictors.hpp"

#include <algorithm>
#include <bit>

namespace sonavert::shorten {
namespace {

// Bounds of the fenced fast path (see fast_predictors.hpp): for QLPC see
// LpcPredictor; below 16 bits of headroom the fast path would fail its
// proof anyway.
constexpr std::uint64_t kLpcProofBits = 31;
constexpr std::uint64_t kMinProofBits = 16;

// The hot functions are compiled twice, for the x86-64 baseline and for
// x86-64-v3 (BMI2, LZCNT, AVX2); CPUID, read once at load time, picks one.
// Not target_clones: its resolvers read the compiler runtime's CPU model,
// which some runtimes (Zig's) leave empty, so the baseline would always run,
// and they need the loader's ifunc support, which musl lacks. A
// SONAVERT_PORTABLE build compiles the baseline only.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(SONAVERT_PORTABLE)
#define SV_CPU_DISPATCH 1
const bool kHasX86_64_v3 = cpu_has_x86_64_v3();

// The features are named as well as the level: a compiler that is handed the
// baseline as an explicit feature list (Zig's) would otherwise keep to it.
#define SV_TARGET_X86_64_V3 \
    gnu::target("arch=x86-64-v3,avx,avx2,bmi,bmi2,lzcnt,fma,f16c,movbe,popcnt,sse4.2,cx16,sahf")
#endif

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

// QLPC as a sink: s = r + ((sum(c[k] * W[n-1-k]) - mo * sum(c) + R) >> 5) + mo,
// R being the block's rounding constant (32 or 0),
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
    std::uint64_t start;  // R - mo * sum(c)
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
    std::uint64_t start;  // R - mo * sum(c)
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

[[gnu::always_inline]] inline ChunkScan scan_chunk_body(const std::int64_t* s, std::size_t m,
                                                        std::int16_t* narrow, std::size_t stride) noexcept {
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

[[gnu::always_inline]] inline bool fast_block_pass_body(BitReader& reader, const Block& b, std::int64_t* s,
                                                       std::size_t m, std::int32_t* w32, std::int16_t* out,
                                                       std::size_t stride) noexcept {
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
        predictor.start = static_cast<std::uint64_t>(b.lpc_rounding) - mo * coef_sum;
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
                     LpcPredictor{s, mo, b.rcoefs, b.order, static_cast<std::uint64_t>(b.lpc_rounding) - mo * coef_sum, w32, out, stride});
}
}  // namespace

bool cpu_has_x86_64_v3() noexcept {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    auto cpuid = [](unsigned leaf, unsigned sub, unsigned (&r)[4]) {
        __asm__("cpuid" : "=a"(r[0]), "=b"(r[1]), "=c"(r[2]), "=d"(r[3]) : "a"(leaf), "c"(sub));
    };
    unsigned r[4];
    cpuid(0, 0, r);
    if (r[0] < 7) return false;
    cpuid(1, 0, r);
    const unsigned ecx1 = r[2];
    // SSE3, SSSE3, FMA, CX16, SSE4.1, SSE4.2, MOVBE, POPCNT, OSXSAVE, AVX, F16C
    constexpr unsigned kEcx1 = (1u << 0) | (1u << 9) | (1u << 12) | (1u << 13) | (1u << 19) | (1u << 20) |
                               (1u << 22) | (1u << 23) | (1u << 27) | (1u << 28) | (1u << 29);
    if ((ecx1 & kEcx1) != kEcx1) return false;
    cpuid(7, 0, r);
    constexpr unsigned kEbx7 = (1u << 3) | (1u << 5) | (1u << 8);  // BMI1, AVX2, BMI2
    if ((r[1] & kEbx7) != kEbx7) return false;
    cpuid(0x80000000u, 0, r);
    if (r[0] < 0x80000001u) return false;
    cpuid(0x80000001u, 0, r);
    if ((r[2] & 0x21u) != 0x21u) return false;  // LAHF/SAHF, LZCNT
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    return (xcr0_lo & 0x6u) == 0x6u;  // the OS saves the SSE and AVX registers
#else
    return false;
#endif
}

void prove_qlpc(Block& b, std::span<const std::int64_t> coefs, std::vector<std::int32_t>& rcoefs) {
    // |c| <= 2^cb and order <= 2^ob: with inputs in [-2^K, 2^K] every
    // partial sum of c[k] * (W - mo) is within 2^(ob + cb + K + 1).
    std::uint64_t coef_folded = 0;
    for (std::int64_t c : coefs) coef_folded |= fold_sign(c);
    const std::uint64_t cb = static_cast<std::uint64_t>(std::bit_width(coef_folded));
    const std::uint64_t ob = static_cast<std::uint64_t>(std::bit_width(b.order - 1));
    std::uint64_t k = cb + ob > 61 ? 0 : std::min(kLpcProofBits, 61 - cb - ob);
    if (cb <= 30) {  // every coefficient fits 32 bits
        rcoefs.assign(coefs.rbegin(), coefs.rend());
        b.rcoefs = rcoefs.data();
    } else {
        k = 0;
    }
    b.proof_bits = k >= kMinProofBits ? k : 0;
}

#ifdef SV_CPU_DISPATCH
namespace {

[[SV_TARGET_X86_64_V3]] ChunkScan scan_chunk_v3(const std::int64_t* s, std::size_t m, std::int16_t* narrow,
                                  std::size_t stride) noexcept {
    return scan_chunk_body(s, m, narrow, stride);
}

[[SV_TARGET_X86_64_V3]] bool fast_block_pass_v3(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m,
                                  std::int32_t* w32, std::int16_t* out, std::size_t stride) noexcept {
    return fast_block_pass_body(reader, b, s, m, w32, out, stride);
}

}  // namespace
#endif

ChunkScan scan_chunk(const std::int64_t* s, std::size_t m, std::int16_t* narrow, std::size_t stride) noexcept {
#ifdef SV_CPU_DISPATCH
    if (kHasX86_64_v3) return scan_chunk_v3(s, m, narrow, stride);
#endif
    return scan_chunk_body(s, m, narrow, stride);
}

bool fast_block_pass(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m, std::int32_t* w32,
                     std::int16_t* out, std::size_t stride) noexcept {
#ifdef SV_CPU_DISPATCH
    if (kHasX86_64_v3) return fast_block_pass_v3(reader, b, s, m, w32, out, stride);
#endif
    return fast_block_pass_body(reader, b, s, m, w32, out, stride);
}

}  // namespace sonavert::shorten
