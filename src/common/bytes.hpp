// Byte views (borrowed, never freed by their holder) and owned byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace sonavert {

// A read-only view of bytes owned by someone else.
using ByteView = std::span<const std::uint8_t>;

// An owned byte buffer. It is allocated once at a given size and its bytes
// start uninitialised: every producer writes all of them, so zero-filling
// would only touch fresh pages twice. shrink() only lowers the size; a
// producer whose final size is unknown in advance grows it with resize().
// Throws std::bad_alloc when memory cannot be had.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t size) : size_(size) {
        if (size != 0) {
            data_ = static_cast<std::uint8_t*>(std::malloc(size));
            if (data_ == nullptr) throw std::bad_alloc();
        }
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~ByteBuffer() { std::free(data_); }

    // A buffer holding a copy of `bytes`.
    static ByteBuffer copy_of(ByteView bytes) {
        ByteBuffer out(bytes.size());
        if (!bytes.empty()) std::memcpy(out.data_, bytes.data(), bytes.size());
        return out;
    }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    ByteView view() const noexcept { return ByteView(data_, size_); }

    // Lowers the size to `size` (<= size()); the memory is kept.
    void shrink(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }

    // Changes the size to `size` for a buffer that grows while it is filled,
    // keeping the first min(size(), size) bytes; added bytes are
    // uninitialised. The data may move (large blocks are remapped, not
    // copied). Throws std::bad_alloc when memory cannot be had.
    void resize(std::size_t size) {
        if (size == 0) {
            std::free(data_);
            data_ = nullptr;
            size_ = 0;
            return;
        }
        void* moved = std::realloc(data_, size);
        if (moved == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(moved);
        size_ = size;
    }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Little-endian stores.
inline void store_le16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace sonavert
