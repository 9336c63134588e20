#include "shorten/seek_points.hpp"

#include <algorithm>
#include <stdexcept>

namespace sonavert::shorten {

std::size_t channel_values(const StreamHeader& header) noexcept {
    // The history is max(3, maxnlpc) samples (StreamDecoder).
    return static_cast<std::size_t>(std::max<std::uint64_t>(3, header.maxnlpc) + header.nmean);
}

std::uint64_t point_spacing(const StreamHeader& header) noexcept {
    const SeekPoints probe(static_cast<std::size_t>(header.channels) * channel_values(header));
    // A frame decodes to 2 bytes per channel; the header's values are small
    // (channels, maxnlpc and nmean are bounded), so this cannot overflow.
    const std::uint64_t frame_bytes = 2 * header.channels;
    return (kPointShare * probe.point_bytes() + frame_bytes - 1) / frame_bytes;
}

SeekPoint SeekPoints::point(std::size_t i) const {
    const Entry& e = entries_[i];
    SeekPoint p{e.frame, e.bit, e.state, {}};
    const auto first = values_.begin() + static_cast<std::ptrdiff_t>(i * stride_);
    p.channels.assign(first, first + static_cast<std::ptrdiff_t>(stride_));
    return p;
}

void SeekPoints::insert(std::size_t at, const Entry& entry, const std::int64_t* values) {
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at), entry);
    values_.insert(values_.begin() + static_cast<std::ptrdiff_t>(at * stride_), values, values + stride_);
}

void SeekPoints::add(const SeekPoint& point) {
    if (point.channels.size() != stride_) throw std::logic_error("SeekPoints: a point of another stream");
    const auto at = std::lower_bound(entries_.begin(), entries_.end(), point.frame,
                                     [](const Entry& e, std::uint64_t f) { return e.frame < f; });
    if (at != entries_.end() && at->frame == point.frame) return;
    insert(static_cast<std::size_t>(at - entries_.begin()), Entry{point.frame, point.bit, point.state},
           point.channels.data());
}

void SeekPoints::merge(const SeekPoints& other) {
    if (other.stride_ != stride_) throw std::logic_error("SeekPoints: points of another stream");
    // Points of one stream come in order of frame: most merges only append.
    for (std::size_t i = 0; i < other.entries_.size(); ++i) {
        const Entry& e = other.entries_[i];
        const auto at = std::lower_bound(entries_.begin(), entries_.end(), e.frame,
                                         [](const Entry& x, std::uint64_t f) { return x.frame < f; });
        if (at != entries_.end() && at->frame == e.frame) continue;
        insert(static_cast<std::size_t>(at - entries_.begin()), e, other.values_.data() + i * stride_);
    }
}

std::optional<SeekPoint> SeekPoints::at_or_before(std::uint64_t frame) const {
    const auto after = std::upper_bound(entries_.begin(), entries_.end(), frame,
                                        [](std::uint64_t f, const Entry& e) { return f < e.frame; });
    if (after == entries_.begin()) return std::nullopt;
    return point(static_cast<std::size_t>(after - entries_.begin()) - 1);
}

void SeekPoints::keep_first(std::size_t count) {
    if (count >= entries_.size()) return;
    entries_.resize(count);
    values_.resize(count * stride_);
    entries_.shrink_to_fit();
    values_.shrink_to_fit();
}

void SeekPoints::clear() noexcept {
    entries_.clear();
    values_.clear();
}

}  // namespace sonavert::shorten
