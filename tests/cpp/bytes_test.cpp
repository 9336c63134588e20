#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/bytes.hpp"

namespace sonavert {
namespace {

// A lending source that counts what it hands out and takes back.
struct CountingSource {
    static inline int live = 0;
    static inline int allocations = 0;
    static std::uint8_t* allocate(std::size_t size, void*& owner) {
        ++live;
        ++allocations;
        owner = std::malloc(size);
        if (owner == nullptr) throw std::bad_alloc();
        return static_cast<std::uint8_t*>(owner);
    }
    static void release(void* owner) noexcept {
        --live;
        std::free(owner);
    }
};
const BufferSource kCounting{CountingSource::allocate, CountingSource::release};

TEST(ByteBuffer, LentMemoryIsHandedOverOnlyAtItsFullSize) {
    CountingSource::live = CountingSource::allocations = 0;
    {
        ScopedBufferSource lend(&kCounting);
        ByteBuffer whole(100), cut(100), empty(0);
        EXPECT_EQ(CountingSource::allocations, 2);  // an empty buffer takes no memory
        cut.shrink(60);
        void* owner = whole.release_exact_owner();
        ASSERT_NE(owner, nullptr);
        EXPECT_TRUE(whole.empty());
        EXPECT_EQ(cut.release_exact_owner(), nullptr);  // a cut result must be copied
        EXPECT_EQ(cut.size(), 60u);
        EXPECT_EQ(empty.release_exact_owner(), nullptr);
        CountingSource::release(owner);
    }
    EXPECT_EQ(CountingSource::live, 0);
    ByteBuffer heap(10);  // the loan ended with its scope
    EXPECT_EQ(heap.release_exact_owner(), nullptr);
    EXPECT_EQ(CountingSource::allocations, 2);
}

TEST(ByteBuffer, GrowingALentBufferMovesItToTheHeapWithItsBytes) {
    CountingSource::live = 0;
    {
        ScopedBufferSource lend(&kCounting);
        ByteBuffer grown(4);
        std::memcpy(grown.data(), "abcd", 4);
        grown.resize(4096);
        EXPECT_EQ(CountingSource::live, 0);
        EXPECT_EQ(std::memcmp(grown.data(), "abcd", 4), 0);
        EXPECT_EQ(grown.release_exact_owner(), nullptr);

        ByteBuffer moved(8);
        ByteBuffer target = std::move(moved);
        EXPECT_EQ(CountingSource::live, 1);
        target = ByteBuffer();
        EXPECT_EQ(CountingSource::live, 0);
    }
}

}  // namespace
}  // namespace sonavert
