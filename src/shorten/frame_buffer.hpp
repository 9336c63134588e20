// The decoder's 16-bit output buffer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"

namespace sonavert::shorten {

// The 16-bit output, frame by frame as it is returned: sample j of channel
// c is element j * channels + c, after `lead` bytes left for the caller.
// Either allocated once at its final size, or grown geometrically.
class FrameBuffer {
public:
    FrameBuffer(std::size_t channels, std::size_t lead) : channels_(channels), lead_(lead) {}

    // Allocates room for exactly `frames` frames, for a caller that returns
    // this buffer as it is.
    void allocate_exact(std::size_t frames) {
        buffer_ = ByteBuffer(lead_ + frames * channels_ * sizeof(std::int16_t));
        capacity_ = frames;
    }

    // Room for frames [0, end); `first` is the room to start with and `most`
    // (>= end) the most it will hold. Returns the first sample of frame 0.
    std::int16_t* reserve(std::size_t end, std::size_t first, std::size_t most) {
        if (end > capacity_) {
            const std::size_t grown = capacity_ == 0 ? first : 2 * capacity_;
            capacity_ = std::max(end, std::min(most, grown));
            buffer_.resize(lead_ + capacity_ * channels_ * sizeof(std::int16_t));
        }
        return samples();
    }

    std::size_t lead() const noexcept { return lead_; }
    std::size_t size_bytes() const noexcept { return buffer_.size(); }
    std::int16_t* samples() noexcept { return reinterpret_cast<std::int16_t*>(buffer_.data() + lead_); }

    // Moves frames [frames, live) to the front, for a reader that has taken
    // the first `frames` of the `live` frames held.
    void drop_front(std::size_t frames, std::size_t live) noexcept {
        if (frames == 0) return;
        std::int16_t* s = samples();
        std::memmove(s, s + frames * channels_, (live - frames) * channels_ * sizeof(std::int16_t));
    }

    // The lead and the first `frames` frames (every channel stored at least
    // that many samples).
    ByteBuffer release(std::size_t frames) {
        const std::size_t size = lead_ + frames * channels_ * sizeof(std::int16_t);
        if (buffer_.size() != size) buffer_.resize(size);
        capacity_ = 0;
        return std::move(buffer_);
    }

private:
    std::size_t channels_;
    std::size_t lead_;
    std::size_t capacity_ = 0;  // frames
    ByteBuffer buffer_;
};

}  // namespace sonavert::shorten
