// ---- Fenced fast path: wrapping reconstruction -----------------------------
// PRECONDITION for keeping the result of a fast pass (tested by
// pass_is_proven() after every pass): every residual lies within +-2^36
// (BitReader::read_var_run() guarantees it; codes read one by one are
// tested), and every history sample the predictor reads, the mean offset
// and every sample produced lie in [-2^K, 2^K], K = Block::proof_bits. By
// induction over the samples no step of the checked definition
// (checked_path.hpp) can then overflow, so the wrapped results are the exact
// ones. A pass whose proof fails is thrown away and redone checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shorten/bit_reader.hpp"
#include "shorten/block.hpp"
#include "shorten/means.hpp"

namespace sonavert::shorten {

// The OR of fold_sign() over s[0..m).
inline std::uint64_t fold_or(const std::int64_t* s, std::size_t m) noexcept {
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
ChunkScan scan_chunk(const std::int64_t* s, std::size_t m, std::int16_t* narrow, std::size_t stride) noexcept;

// The K of the bound for the fixed predictors: with |r| <= 2^36 and every
// sample in [-2^60, 2^60], the largest intermediate,
// |r| + 3|s1| + 3|s2| + |s3|, is below 2^63.
inline constexpr std::uint64_t kFixedProofBits = 60;

// prove_block() for a QLPC block of order 1 or more.
void prove_qlpc(Block& b, std::span<const std::int64_t> coefs, std::vector<std::int32_t>& rcoefs);

// Sets b.proof_bits, the K of the bound for the block's predictor (0 when it
// gets no fast pass), from its function, order and coefficients `coefs`;
// for QLPC also b.rcoefs, the coefficients reversed in 32 bits, kept in
// `rcoefs`.
inline void prove_block(Block& b, std::span<const std::int64_t> coefs, std::vector<std::int32_t>& rcoefs) {
    if (b.function == kQlpc && b.order > 0) {
        prove_qlpc(b, coefs, rcoefs);
    } else {
        b.proof_bits = kFixedProofBits;
    }
}

// One pass of m samples s[0..m) by the block's predictor (s[-1], s[-2], ...
// hold the history), also storing their low 16 bits at out[0], out[stride],
// ... On success `reader` has moved past the m residuals. False, with
// `reader` unmoved, when a code cannot be read or a residual is beyond
// +-2^36. `w32` is room for the QLPC window (maxnlpc + kChunk entries).
bool fast_block_pass(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m, std::int32_t* w32,
                     std::int16_t* out, std::size_t stride) noexcept;

// True when the CPU and the OS provide everything that x86-64-v3 code may
// use (CPUID and XGETBV); false on other architectures. Where it holds,
// fast_block_pass() and scan_chunk() run their x86-64-v3 variant, unless
// the build compiles the baseline only (SONAVERT_PORTABLE).
bool cpu_has_x86_64_v3() noexcept;

// True when the pass that made s[0..m) (scanned into `scan`) meets the
// precondition above, so that its samples are the exact ones.
inline bool pass_is_proven(const Block& b, const std::int64_t* s, const ChunkScan& scan) noexcept {
    const std::uint64_t inputs = fold_or(s - b.reach, b.reach) | fold_sign(b.mean_offset);
    return within(inputs | scan.folded, b.proof_bits);
}

}  // namespace sonavert::shorten
