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

// Where the memory of byte buffers comes from. By default the C heap. A
// caller may lend another source for the duration of a call on its thread
// (ScopedBufferSource): the extension module lends one that allocates each
// buffer as a result object, so the buffer that becomes a call's result needs
// no final copy and no second set of fresh pages.
struct BufferSource {
    // Memory for `size` (> 0) bytes; sets `owner` to the handle that release()
    // takes. Throws std::bad_alloc when memory cannot be had.
    std::uint8_t* (*allocate)(std::size_t size, void*& owner);
    void (*release)(void* owner) noexcept;
};

namespace detail {
inline thread_local const BufferSource* current_buffer_source = nullptr;
}

// Asks the system to back the whole pages of a block of at least 8 MiB with
// huge pages, where it can: such blocks are fresh mappings, and their first
// touch otherwise faults once per 4 KiB page. Changes nothing visible.
void advise_huge_pages(std::uint8_t* data, std::size_t size) noexcept;

// Lends `source` to every ByteBuffer allocated on this thread while it lives.
class ScopedBufferSource {
public:
    explicit ScopedBufferSource(const BufferSource* source) noexcept
        : previous_(std::exchange(detail::current_buffer_source, source)) {}
    ~ScopedBufferSource() { detail::current_buffer_source = previous_; }
    ScopedBufferSource(const ScopedBufferSource&) = delete;
    ScopedBufferSource& operator=(const ScopedBufferSource&) = delete;

private:
    const BufferSource* previous_;
};

// An owned byte buffer. It is allocated once at a given size and its bytes
// start uninitialised: every producer writes all of them, so zero-filling
// would only touch fresh pages twice. shrink() only lowers the size; a
// producer whose final size is unknown in advance grows it with resize().
// Throws std::bad_alloc when memory cannot be had.
class ByteBuffer {
public:
    ByteBuffer() = default;
    explicit ByteBuffer(std::size_t size) : size_(size) {
        if (size == 0) return;
        if (const BufferSource* source = detail::current_buffer_source) {
            data_ = source->allocate(size, owner_);
            release_ = source->release;
            capacity_ = size;
        } else {
            data_ = static_cast<std::uint8_t*>(std::malloc(size));
            if (data_ == nullptr) throw std::bad_alloc();
        }
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept { take(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            free_memory();
            take(other);
        }
        return *this;
    }
    ~ByteBuffer() { free_memory(); }

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
    // uninitialised. The data may move (large heap blocks are remapped, not
    // copied; a lent buffer moves to the heap). Throws std::bad_alloc when
    // memory cannot be had.
    void resize(std::size_t size) {
        if (size == 0) {
            free_memory();
            return;
        }
        if (owner_ != nullptr) {
            auto* moved = static_cast<std::uint8_t*>(std::malloc(size));
            if (moved == nullptr) throw std::bad_alloc();
            std::memcpy(moved, data_, size < size_ ? size : size_);
            free_memory();
            data_ = moved;
            size_ = size;
            return;
        }
        void* moved = std::realloc(data_, size);
        if (moved == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(moved);
        if (size > size_) advise_huge_pages(data_, size);
        size_ = size;
    }

    // When the memory came from a lent source and the buffer still has the
    // size it was allocated with, hands over the source's owner handle and
    // leaves the buffer empty; otherwise returns null and changes nothing.
    void* release_exact_owner() noexcept {
        if (owner_ == nullptr || size_ != capacity_) return nullptr;
        void* owner = owner_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        owner_ = nullptr;
        release_ = nullptr;
        return owner;
    }

private:
    void free_memory() noexcept {
        if (owner_ != nullptr) {
            release_(owner_);
        } else {
            std::free(data_);
        }
        data_ = nullptr;
        size_ = capacity_ = 0;
        owner_ = nullptr;
        release_ = nullptr;
    }
    void take(ByteBuffer& other) noexcept {
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        owner_ = std::exchange(other.owner_, nullptr);
        release_ = std::exchange(other.release_, nullptr);
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;       // size at allocation, for lent memory
    void* owner_ = nullptr;          // the lending source's handle, or null
    void (*release_)(void*) noexcept = nullptr;
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
