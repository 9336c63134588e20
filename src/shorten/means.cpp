#include "shorten/means.hpp"

#include <algorithm>
#include <limits>

#include "common/checked.hpp"

namespace sonavert::shorten {
namespace {

constexpr __int128 kMin = std::numeric_limits<std::int64_t>::min();
constexpr __int128 kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

void MeanHistory::push(std::int64_t mean) {
    std::size_t slot;
    if (ring_.size() < nmean_) {
        slot = ring_.size();
        ring_.push_back(mean);
        if (slot / kSpan >= spans_.size()) spans_.emplace_back();
    } else {
        slot = oldest_;
        const std::int64_t old = ring_[slot];
        running_ -= static_cast<std::uint64_t>(old);
        if (!within(fold_sign(old), kSmallBits)) --large_;
        ring_[slot] = mean;
        oldest_ = slot + 1 == nmean_ ? 0 : slot + 1;
    }
    running_ += static_cast<std::uint64_t>(mean);
    if (!within(fold_sign(mean), kSmallBits)) ++large_;
    spans_[slot / kSpan].stale = true;
}

bool MeanHistory::offset(std::int64_t& out, bool rounded_shifted, std::uint32_t bitshift) {
    std::int64_t sum;
    if (large_ == 0) {
        sum = static_cast<std::int64_t>(running_);  // exact, see kSmallBits
    } else if (!exact_sum(sum)) {
        return false;
    }
    const auto n = static_cast<std::int64_t>(nmean_);
    if (!rounded_shifted) {
        out = sum / n;
        return true;
    }
    std::int64_t rounded;
    if (!checked_add(sum, n / 2, rounded)) return false;
    out = (rounded / n) >> bitshift;  // bitshift <= 32
    return true;
}

void MeanHistory::save(std::int64_t* out) const {
    const std::size_t missing = nmean_ - ring_.size();
    std::fill(out, out + missing, 0);
    const bool full = missing == 0;
    // Oldest first: a ring that is not yet full starts at slot 0.
    const std::size_t first = full ? oldest_ : 0;
    std::copy(ring_.begin() + static_cast<std::ptrdiff_t>(first), ring_.end(), out + missing);
    std::copy(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(first),
              out + missing + (ring_.size() - first));
}

void MeanHistory::restore(const std::int64_t* in) {
    ring_.assign(in, in + nmean_);
    oldest_ = 0;
    running_ = 0;
    large_ = 0;
    for (const std::int64_t mean : ring_) {
        running_ += static_cast<std::uint64_t>(mean);
        if (!within(fold_sign(mean), kSmallBits)) ++large_;
    }
    spans_.assign((ring_.size() + kSpan - 1) / kSpan, Summary{});
}

bool MeanHistory::exact_sum(std::int64_t& out) {
    __int128 partial = 0;
    // Oldest first: a ring that is not yet full starts at slot 0.
    const bool ok = ring_.size() < nmean_
                        ? add_slots(0, ring_.size(), partial)
                        : add_slots(oldest_, ring_.size(), partial) && add_slots(0, oldest_, partial);
    if (!ok) return false;
    out = static_cast<std::int64_t>(partial);
    return true;
}

bool MeanHistory::add_slots(std::size_t begin, std::size_t end, __int128& partial) {
    std::size_t i = begin;
    while (i < end) {
        const std::size_t span = i / kSpan;
        const std::size_t span_end = std::min((span + 1) * kSpan, ring_.size());
        if (i == span * kSpan && span_end <= end) {  // a whole span: use its summary
            const Summary& s = summary(span);
            if (partial + s.max_prefix > kMax || partial + s.min_prefix < kMin) return false;
            partial += s.sum;
            i = span_end;
            continue;
        }
        for (const std::size_t stop = std::min(end, span_end); i < stop; ++i) {
            partial += ring_[i];
            if (partial > kMax || partial < kMin) return false;
        }
    }
    return true;
}

const MeanHistory::Summary& MeanHistory::summary(std::size_t span) {
    Summary& s = spans_[span];
    if (s.stale) {
        const std::size_t begin = span * kSpan, end = std::min(begin + kSpan, ring_.size());
        __int128 sum = 0, hi = kMin, lo = kMax;  // every span holds at least one slot
        for (std::size_t i = begin; i < end; ++i) {
            sum += ring_[i];
            hi = std::max(hi, sum);
            lo = std::min(lo, sum);
        }
        s = Summary{sum, hi, lo, false};
    }
    return s;
}

}  // namespace sonavert::shorten
