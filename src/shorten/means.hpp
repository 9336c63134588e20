// The block means of one channel and the mean offset they give.
#pragma once

#include <cstdint>
#include <vector>

namespace sonavert::shorten {

// Folds the sign of x: x when x >= 0, -x - 1 when x < 0. OR-ing the folded
// values of many numbers into `acc` and testing within(acc, k) proves that
// every one of them lies in [-2^k, 2^k).
inline std::uint64_t fold_sign(std::int64_t x) noexcept {
    return static_cast<std::uint64_t>(x ^ (x >> 63));
}
inline bool within(std::uint64_t folded_or, std::uint64_t k) noexcept {
    return k < 64 && (folded_or >> k) == 0;
}

// Keeps the last `nmean` block means of a channel (a ring that starts empty
// and counts missing entries as zeros) and computes the mean offset from S,
// the sum of those means added oldest first, every partial sum and the
// final addition tested for signed 64-bit overflow:
//   version 2: ((S + nmean / 2) / nmean) >> bitshift (arithmetic shift),
//   version 1: S / nmean.
class MeanHistory {
public:
    explicit MeanHistory(std::uint32_t nmean) : nmean_(nmean) {}

    void push(std::int64_t mean);

    // Stores the offset and returns true, or returns false on overflow.
    // nmean must be above zero; `rounded_shifted` chooses version 2's rule,
    // which shifts by `bitshift` (0..32).
    bool offset(std::int64_t& out, bool rounded_shifted, std::uint32_t bitshift);

    // The means held, oldest first, as `nmean` values at `out`: a ring not
    // yet full is written with zeros in front, which count the same.
    void save(std::int64_t* out) const;
    // Holds the `nmean` means at `in`, oldest first, as save() wrote them.
    void restore(const std::int64_t* in);

private:
    // Means at or beyond 2^46 in magnitude are "large": while none is held,
    // no partial sum of at most 2^16 means can leave [-2^62, 2^62], so the
    // running sum is exact.
    static constexpr std::uint64_t kSmallBits = 46;
    // Ring slots per block of the summary used when large means are held.
    static constexpr std::size_t kSpan = 256;

    struct Summary {
        __int128 sum = 0, max_prefix = 0, min_prefix = 0;
        bool stale = true;
    };

    bool exact_sum(std::int64_t& out);
    // Adds the means of slots [begin, end) to `partial` in order; false
    // when a partial sum leaves the signed 64-bit range.
    bool add_slots(std::size_t begin, std::size_t end, __int128& partial);
    const Summary& summary(std::size_t span);

    std::uint32_t nmean_;
    std::vector<std::int64_t> ring_;  // grows to nmean_ entries
    std::size_t oldest_ = 0;          // slot of the oldest entry once the ring is full
    std::uint64_t running_ = 0;       // sum of the ring, modulo 2^64
    std::uint32_t large_ = 0;         // large means in the ring
    std::vector<Summary> spans_;      // per kSpan slots: sum and extreme prefix sums
};

}  // namespace sonavert::shorten
