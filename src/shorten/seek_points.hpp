// Seek points of a Shorten stream: places where a decode can resume, each
// holding all that the rest of the decode depends on besides the stream's
// bits (SPHERE files carry no seek table, so a reader records them as it
// decodes and keeps them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "shorten/stream_header.hpp"

namespace sonavert::shorten {

// The decoder's per-stream values that the rest of a decode depends on.
// WATCHOUT: a seek point copies it whole, so a value added here is kept by
// seek points without more; a per-stream value kept elsewhere is lost.
struct StreamState {
    std::uint64_t blocksize = 0;
    std::uint64_t decoded = 0;   // samples decoded, every channel together
    std::size_t current = 0;     // the channel of the next block
    std::uint32_t bitshift = 0;
};
static_assert(std::is_trivially_copyable_v<StreamState>);

// One place to resume from: between two cycles through the channels, every
// channel at frame `frame`.
struct SeekPoint {
    std::uint64_t frame = 0;
    std::uint64_t bit = 0;  // where the next command starts, in bits from the stream's first byte
    StreamState state;
    // Per channel, channel 0 first: its history (oldest first), then its
    // block means (MeanHistory::save).
    std::vector<std::int64_t> channels;
};

// The values a point holds per channel, and the frames between points, of
// a stream with this header: points are recorded at the first place at or
// after every multiple of the spacing, which is chosen so that the points
// of a stream take at most kPointShare of the bytes of its 16-bit samples.
std::size_t channel_values(const StreamHeader& header) noexcept;
std::uint64_t point_spacing(const StreamHeader& header) noexcept;
inline constexpr std::uint64_t kPointShare = 200;  // 1/200: 0.5%

// The points of one stream, in order of frame, packed: the memory of a point
// is its fixed part and its channel values, nothing per point besides.
// Not thread-safe.
class SeekPoints {
public:
    explicit SeekPoints(std::size_t values_per_point) : stride_(values_per_point) {}

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    std::uint64_t last_frame() const noexcept { return entries_.empty() ? 0 : entries_.back().frame; }
    // The bytes the points hold in memory (their vectors' capacity).
    std::size_t bytes() const noexcept {
        return entries_.capacity() * sizeof(Entry) + values_.capacity() * sizeof(std::int64_t);
    }
    // Room for `count` points in all, taken at once.
    void reserve(std::size_t count) {
        entries_.reserve(count);
        values_.reserve(count * stride_);
    }
    // Gives back memory held beyond the points.
    void shrink() {
        entries_.shrink_to_fit();
        values_.shrink_to_fit();
    }
    std::size_t point_bytes() const noexcept { return sizeof(Entry) + stride_ * sizeof(std::int64_t); }

    // Adds a point (point.channels holds values_per_point values); a point at
    // a frame already held is the same point and is not added again.
    void add(const SeekPoint& point);
    // Adds every point of `other` (of the same stream) not held yet.
    void merge(const SeekPoints& other);
    // The last point at or before `frame`, if any.
    std::optional<SeekPoint> at_or_before(std::uint64_t frame) const;
    // Keeps the first `count` points.
    void keep_first(std::size_t count);
    // Forgets every point, keeping the memory for more.
    void clear() noexcept;

private:
    struct Entry {
        std::uint64_t frame;
        std::uint64_t bit;
        StreamState state;
    };
    SeekPoint point(std::size_t i) const;
    void insert(std::size_t at, const Entry& entry, const std::int64_t* values);

    std::size_t stride_;
    std::vector<Entry> entries_;
    std::vector<std::int64_t> values_;  // stride_ per entry
};

}  // namespace sonavert::shorten
