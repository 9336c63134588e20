// The residual code tables of one decode, made per width once the width has
// been used enough to pay for its table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "shorten/bit_reader.hpp"

namespace sonavert::shorten {

class CodeTableCache {
public:
    // Residuals of one width decoded before a code table is made for it: a
    // table costs about as much as decoding this many samples without it.
    static constexpr std::uint64_t kTableAfterSamples = 4096;

    // The table for a block of `samples` residuals of `width` (below
    // CodeTable::kBits), or null while the width has had too few samples.
    const CodeTable* for_block(std::uint64_t width, std::uint64_t samples) {
        std::unique_ptr<CodeTable>& table = tables_[width];
        std::uint64_t& seen = width_samples_[width];
        if (!table && seen >= kTableAfterSamples) {
            table = std::make_unique<CodeTable>(static_cast<std::uint32_t>(width));
        }
        seen += samples;
        return table.get();
    }

private:
    std::array<std::unique_ptr<CodeTable>, CodeTable::kBits> tables_;
    std::array<std::uint64_t, CodeTable::kBits> width_samples_{};  // decoded at each width so far
};

}  // namespace sonavert::shorten
