// The Shorten bitstream reader: single bits and the unary-prefixed codes
// read_uvar(n), read_var(n) and read_ulong(), most significant bit first.
//
// The reader behaves exactly like one that takes one bit at a time and fails
// at the first bit it needs beyond the last byte; internally it reads whole
// 64-bit words and counts leading zeros.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"
#include "common/error.hpp"

namespace sonavert::shorten {

// Widest low part of a code: wider codes are corrupt and could not be
// returned in 64 bits once the prefix is added.
inline constexpr std::uint64_t kMaxCodeWidth = 32;

// The unary prefix may hold at most 2^26 zeros; the 2^26 + 1-th zero fails.
// This stops a run of zero bytes from being read as one giant number while
// keeping every result below 2^63 ((2^26 << 32) | (2^32 - 1)).
inline constexpr std::uint64_t kRunawayZeros = (std::uint64_t{1} << 26) + 1;

enum class BitFault : std::uint8_t {
    None,
    Truncated,  // a bit was needed beyond the last byte
    Runaway,    // the unary prefix reached kRunawayZeros zeros
    Oversized,  // a width above kMaxCodeWidth
};

// The 8 bytes at `p` as a big-endian number.
inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Maps an unsigned code to a signed value: 0, 1, 2, 3, 4 give 0, -1, 1, -2, 2.
[[gnu::always_inline]] inline std::int64_t unfold_sign(std::uint64_t u) noexcept {
    return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
}

// The values of every code of one width n that fits in kBits bits: indexed
// by the next kBits bits of the stream, an entry holds the signed value of
// the code they begin with (0 where that code is longer than kBits bits).
class CodeTable {
public:
    static constexpr std::uint32_t kBits = 14;

    // n in 1..kBits - 1.
    explicit CodeTable(std::uint32_t n) noexcept;

    std::int16_t operator[](std::uint64_t word) const noexcept { return entries_[word >> (64 - kBits)]; }

private:
    // A code of at most kBits bits has a value within +-2^(kBits - 1).
    std::array<std::int16_t, std::size_t{1} << kBits> entries_;
};

class BitReader {
public:
    // A reader over `data` starting at byte `start_byte`, bit 0 (the MSB).
    // WATCHOUT: positions are counted in bits, so `data` must be shorter than
    // 2^61 bytes, which every 64-bit address space in use guarantees.
    BitReader(ByteView data, std::uint64_t start_byte) noexcept
        : data_(data.data()),
          size_(data.size()),
          pos_(start_byte * 8),
          fast_end_(data.size() >= 8 ? (data.size() - 7) * 8 : 0) {}

    Result<std::uint32_t> read_bit();
    Result<std::uint64_t> read_uvar(std::uint64_t n);
    Result<std::int64_t> read_var(std::uint64_t n);
    Result<std::uint64_t> read_ulong();

    // The stream byte of the next bit (counted from the stream's first
    // byte, wherever the bytes viewed begin).
    std::uint64_t byte_pos() const noexcept { return base_ + (pos_ >> 3); }

    // Goes on over `data`, which holds the stream's bytes from byte `base`
    // on: the bytes viewed so far and more after them (a stream that arrives
    // a part at a time), or a window further on that starts at or before
    // byte_pos() (a reader that keeps only the part of the stream it is in).
    // The position in the stream is kept. Only between codes, and never
    // after a failure.
    void extend(ByteView data, std::uint64_t base = 0) noexcept {
        pos_ = pos_ + base_ * 8 - base * 8;
        base_ = base;
        data_ = data.data();
        size_ = data.size();
        fast_end_ = data.size() >= 8 ? (data.size() - 7) * 8 : 0;
    }
    std::uint32_t bit_pos() const noexcept { return static_cast<std::uint32_t>(pos_ & 7); }
    // The index of the next bit, and a move to one (a reader that has not
    // failed, to a place between codes that a reader over the same data
    // reached).
    std::uint64_t bit_index() const noexcept { return base_ * 8 + pos_; }
    void seek_bit(std::uint64_t index) noexcept { pos_ = index - base_ * 8; }

    // Hot-loop form of read_uvar: stores the value and returns true, or
    // returns false and keeps the failure for error(). Inline and free of
    // error objects so that a copy of the reader lives in registers.
    [[gnu::always_inline]] inline bool next_uvar(std::uint64_t n, std::uint64_t& out) noexcept;
    bool next_var(std::uint64_t n, std::int64_t& out) noexcept {
        std::uint64_t u;
        if (!next_uvar(n, u)) return false;
        out = unfold_sign(u);
        return true;
    }

    // Reads up to `count` signed codes of width n (1..32) in order, handing
    // each to sink(i, value), and returns how many it read. Between codes it
    // may call sink.resume(i), i being the next index: a sink that keeps
    // state in registers then takes it up again from what it stored. It loads 8 bytes
    // at a time and stops before a code longer than kRunCodeBits bits, and
    // where it would have to load from the last 7 bytes of the data (the
    // caller goes on with next_var()). Every value it hands on lies within
    // +-2^kRunValueBits. `table` (optional) is the CodeTable of width n.
    template <class Sink>
    [[gnu::always_inline]] inline std::size_t read_var_run(std::uint64_t n, std::size_t count, const CodeTable* table,
                                                          Sink&& sink) noexcept;

    // The error of the last failed next_* call.
    Error error() const;

    // Bits a word loaded at any bit offset is sure to hold: 64 minus the
    // up to 7 bits of the first byte already consumed.
    static constexpr std::uint32_t kWordBits = 57;
    // read_var_run() reads codes of at most 57 bits: (z << n) | low with
    // z + 1 + n <= 57 and n <= 32 is below 25 * 2^32 < 2^37, so the signed
    // values lie within +-2^36.
    static constexpr std::uint32_t kRunCodeBits = kWordBits;
    static constexpr std::uint32_t kRunValueBits = 36;
    // Codes decoded from one load of the word on the table path.
    static constexpr std::uint32_t kTableGroup = 4;

private:
    struct SlowCode {
        std::uint64_t value;
        std::uint64_t pos;
        BitFault fault;
    };
    // The exact bit-by-bit definition, word-wise, safe at the end of data.
    static SlowCode uvar_slow(const std::uint8_t* data, std::uint64_t size, std::uint64_t pos,
                              std::uint64_t n) noexcept;

    const std::uint8_t* data_;
    std::uint64_t size_;
    std::uint64_t pos_;       // bit index of the next bit in data_
    std::uint64_t base_ = 0;  // the stream byte that data_[0] holds
    std::uint64_t fast_end_;  // below this bit index 8 bytes can be loaded at pos_ / 8
    BitFault fault_ = BitFault::None;
    std::uint64_t fault_width_ = 0;
};

[[gnu::always_inline]] inline bool BitReader::next_uvar(std::uint64_t n, std::uint64_t& out) noexcept {
    // Fast path. Precondition: the 8 bytes from byte pos_ / 8 exist, and the
    // whole code (prefix, stop bit, n low bits) lies within the first 57
    // bits of them. Then no bit beyond the data is needed and the prefix is
    // far below the runaway limit, so the result equals the bit-by-bit one.
    if (n <= kMaxCodeWidth && pos_ < fast_end_) [[likely]] {
        const std::uint64_t word = load_be64(data_ + (pos_ >> 3)) << (pos_ & 7);
        const std::uint32_t zeros = static_cast<std::uint32_t>(std::countl_zero(word | 1));
        const std::uint64_t length = zeros + 1 + n;
        if (length <= kWordBits) [[likely]] {
            const std::uint64_t rest = (word << zeros) & ~(std::uint64_t{1} << 63);  // drop the stop bit
            out = (std::uint64_t{zeros} << n) | (rest >> (63 - n));
            pos_ += length;
            return true;
        }
    }
    const SlowCode code = uvar_slow(data_, size_, pos_, n);
    pos_ = code.pos;
    if (code.fault != BitFault::None) [[unlikely]] {
        fault_ = code.fault;
        fault_width_ = n;
        return false;
    }
    out = code.value;
    return true;
}

template <class Sink>
[[gnu::always_inline]] inline std::size_t BitReader::read_var_run(std::uint64_t n, std::size_t count,
                                                                 const CodeTable* table, Sink&& sink) noexcept {
    if (n == 0 || n > kMaxCodeWidth) return 0;
    const std::uint32_t down = static_cast<std::uint32_t>(63 - n);
    std::uint64_t word = 0;    // the next unread bits, left-aligned; zeros after the valid ones
    std::uint64_t valid = 0;   // valid bits in word, at most kRunCodeBits
    std::uint64_t end = pos_;  // the bit after the valid ones: the next unread bit is end - valid
    std::size_t i = 0;
    // Refills the word at the next unread bit; false within the last 8 bytes.
    auto refill = [&]() __attribute__((always_inline)) {
        const std::uint64_t cur = end - valid;
        if (cur >= fast_end_) return false;
        word = load_be64(data_ + (cur >> 3)) << (cur & 7);
        valid = kRunCodeBits;
        end = cur + kRunCodeBits;
        return true;
    };
    // Counts the prefix zeros; false when the code is not within the valid bits.
    auto counted = [&](std::uint64_t& length, std::uint64_t& left, std::int64_t& value) __attribute__((always_inline)) {
        const std::uint64_t zeros = static_cast<std::uint32_t>(std::countl_zero(word));
        length = zeros + 1 + n;
        if (__builtin_sub_overflow(valid, length, &left)) return false;
        // word << zeros starts with the stop bit: 2^n + low after the shift.
        value = unfold_sign(((word << zeros) >> down) + ((zeros - 1) << n));
        return true;
    };
    if (table != nullptr) {
        // Codes of at most kBits bits come from the table: the word is
        // loaded afresh for each group of kTableGroup codes, which always
        // fit in the 57 bits a load holds. A longer code is decoded by
        // counting its zeros, from a word loaded where it starts.
        std::uint64_t cur = pos_;
        const std::uint64_t n1 = n + 1;
        auto step = [&]() __attribute__((always_inline)) {
            // The length comes from counting zeros, which is quicker than
            // waiting for the table; the table gives the value. The word is
            // never zero here (see the marker below), so the count needs no
            // test for zero.
            const std::uint64_t length = static_cast<std::uint32_t>(__builtin_clzll(word)) + n1;
            if (length > CodeTable::kBits) return false;
            const std::int64_t value = (*table)[word];
            word <<= length;
            cur += length;
            sink(i, value);
            ++i;
            return true;
        };
        static_assert(kTableGroup * CodeTable::kBits <= kWordBits);
        while (i < count && cur < fast_end_) {
            // Bit 0 is set as a marker. It lies beyond the kWordBits bits a
            // group may use, so no code read changes, and as a group shifts
            // out at most kTableGroup * kBits < 64 bits before its last
            // count, every word counted still holds it.
            word = (load_be64(data_ + (cur >> 3)) << (cur & 7)) | 1;
            if (count - i >= kTableGroup) {
                if (step() && step() && step() && step()) continue;
                // The sink takes up its state again from what it stored, so
                // that no state has to be kept for each way out of the group.
                sink.resume(i);
                if (cur >= fast_end_) break;
                word = load_be64(data_ + (cur >> 3)) << (cur & 7);
            } else if (step()) {
                continue;
            }
            // A long code at cur, at most kRunCodeBits bits, or stop.
            valid = kRunCodeBits;
            std::uint64_t length, left;
            std::int64_t value;
            if (!counted(length, left, value)) break;
            cur += length;
            sink(i, value);
            ++i;
        }
        pos_ = cur;
        return i;
    } else {
        for (; i < count; ++i) {
            std::uint64_t length, left;
            std::int64_t value;
            if (!counted(length, left, value)) [[unlikely]] {
                if (!refill() || !counted(length, left, value)) break;
            }
            word <<= length;
            valid = left;
            sink(i, value);
        }
    }
    pos_ = end - valid;
    return i;
}

}  // namespace sonavert::shorten
