// The checked reconstruction: the definition of every predictor, each
// product, difference and sum tested for signed 64-bit overflow. The fast
// passes are proven equal to it (see fast_predictors.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.hpp"
#include "shorten/bit_reader.hpp"
#include "shorten/block.hpp"

namespace sonavert::shorten {

// The sample whose residual is r; w[-1], w[-2], ... are the samples before
// it. False when a step overflows.
bool checked_sample(const Block& b, std::int64_t r, const std::int64_t* w, std::int64_t& v) noexcept;

// Reads m residuals and reconstructs s[0..m) (s[-1], s[-2], ... hold the
// samples before them). Errors: the bit reader's, and the overflow message.
Status checked_chunk(BitReader& reader, const Block& b, std::int64_t* s, std::size_t m);

}  // namespace sonavert::shorten
