// A predicted block (DIFF0..DIFF3 or QLPC) as its arguments describe it: what
// the fast and the checked reconstruction both read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shorten/bit_reader.hpp"
#include "shorten/function_codes.hpp"

namespace sonavert::shorten {

// Samples reconstructed per pass: with up to 1024 history samples the
// working window (history plus one pass, 64-bit each) stays in L1 cache.
inline constexpr std::size_t kChunk = 2048;

struct Block {
    std::uint64_t function;
    std::uint64_t width;  // energy + 1: the code width of the residuals
    const std::int64_t* coefs = nullptr;
    std::uint64_t order = 0;
    std::int64_t mean_offset = 0;
    std::int64_t lpc_rounding = 32;  // QLPC: added before the shift by 5 (StreamRules)
    std::uint64_t proof_bits = 0;  // K of the fast-path bound; 0: no fast path
    std::uint64_t reach = 0;       // history samples the predictor reads
    const CodeTable* table = nullptr;  // for the residuals, when they are narrow enough
    const std::int32_t* rcoefs = nullptr;  // QLPC fast path: the coefficients, reversed
};

}  // namespace sonavert::shorten
