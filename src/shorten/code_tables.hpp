// The residual code tables a decode uses, per width once the width has been
// used enough to pay for its table; each table is made once for the process.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "shorten/bit_reader.hpp"

namespace sonavert::shorten {

// The table of width n (1..CodeTable::kBits - 1), made once for the
// process on first use: a table depends on nothing but its width, and
// making one costs about as much as decoding thousands of samples, which a
// short read from a seek point would pay again and again.
inline const CodeTable& shared_code_table(std::uint32_t n) {
    static std::array<std::once_flag, CodeTable::kBits> made;
    static std::array<std::unique_ptr<const CodeTable>, CodeTable::kBits> tables;
    std::call_once(made[n], [n] { tables[n] = std::make_unique<const CodeTable>(n); });
    return *tables[n];
}

class CodeTableCache {
public:
    // Residuals of one width decoded before a code table is made for it: a
    // table costs about as much as decoding this many samples without it.
    static constexpr std::uint64_t kTableAfterSamples = 4096;

    // The table for a block of `samples` residuals of `width` (below
    // CodeTable::kBits), or null while the width has had too few samples.
    const CodeTable* for_block(std::uint64_t width, std::uint64_t samples) {
        const CodeTable*& table = tables_[width];
        std::uint64_t& seen = width_samples_[width];
        if (table == nullptr && seen >= kTableAfterSamples) table = &shared_code_table(static_cast<std::uint32_t>(width));
        seen += samples;
        return table;
    }

private:
    std::array<const CodeTable*, CodeTable::kBits> tables_{};
    std::array<std::uint64_t, CodeTable::kBits> width_samples_{};  // decoded at each width so far
};

}  // namespace sonavert::shorten
