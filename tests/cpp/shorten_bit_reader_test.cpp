#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "catalogue_support.hpp"
#include "shorten/bit_reader.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using testing::BitWriter;
using testing::view;

const std::string kTruncated = "truncated or corrupt shorten stream: ran past end of bitstream";

// The reader as defined: one bit at a time, every limit tested per bit.
class ReferenceReader {
public:
    ReferenceReader(const std::vector<std::uint8_t>& data, std::uint64_t start)
        : data_(data), byte_pos_(start) {}

    struct Out {
        bool ok;
        std::uint64_t value;
        std::string message;
    };

    Out bit() {
        if (byte_pos_ >= data_.size()) return {false, 0, kTruncated};
        const std::uint64_t b = (data_[byte_pos_] >> (7 - bit_pos_)) & 1;
        if (++bit_pos_ == 8) {
            bit_pos_ = 0;
            ++byte_pos_;
        }
        return {true, b, ""};
    }
    Out uvar(std::uint64_t n) {
        if (n > 32) return {false, 0, "oversized uvar width " + std::to_string(n)};
        std::uint64_t count = 0;
        for (;;) {
            const Out b = bit();
            if (!b.ok) return b;
            if (b.value == 1) break;
            if (++count == 67108865) return {false, 0, "runaway unary code"};
        }
        std::uint64_t low = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const Out b = bit();
            if (!b.ok) return b;
            low = (low << 1) | b.value;
        }
        return {true, (count << n) | low, ""};
    }
    Out var(std::uint64_t n) {
        Out u = uvar(n);
        if (u.ok) u.value = static_cast<std::uint64_t>((u.value & 1) ? -static_cast<std::int64_t>(u.value >> 1) - 1
                                                                      : static_cast<std::int64_t>(u.value >> 1));
        return u;
    }
    Out ulong() {
        const Out w = uvar(2);
        return w.ok ? uvar(w.value) : w;
    }
    std::uint64_t byte_pos() const { return byte_pos_; }
    std::uint32_t bit_pos() const { return bit_pos_; }

private:
    const std::vector<std::uint8_t>& data_;
    std::uint64_t byte_pos_;
    std::uint32_t bit_pos_ = 0;
};

enum class Op { Bit, Uvar, Var, Ulong };
struct Read {
    Op op;
    std::uint64_t n;
};

template <class T>
ReferenceReader::Out outcome(Result<T> r) {
    if (!r) {
        EXPECT_EQ(r.error().kind, ErrorKind::Invalid);
        return {false, 0, r.error().message};
    }
    return {true, static_cast<std::uint64_t>(*r), ""};
}

// Runs `reads` on both readers until the first failure; every value,
// message and position must agree. Returns the number of successful reads.
std::size_t compare(const std::vector<std::uint8_t>& data, std::uint64_t start, const std::vector<Read>& reads) {
    ReferenceReader ref(data, start);
    BitReader fast(view(data), start);
    std::size_t done = 0;
    for (const Read& r : reads) {
        ReferenceReader::Out want, got;
        switch (r.op) {
            case Op::Bit: want = ref.bit(), got = outcome(fast.read_bit()); break;
            case Op::Uvar: want = ref.uvar(r.n), got = outcome(fast.read_uvar(r.n)); break;
            case Op::Var: want = ref.var(r.n), got = outcome(fast.read_var(r.n)); break;
            case Op::Ulong: want = ref.ulong(), got = outcome(fast.read_ulong()); break;
        }
        EXPECT_EQ(got.ok, want.ok) << "read " << done << " of " << data.size() << " bytes";
        EXPECT_EQ(got.message, want.message) << "read " << done;
        if (!want.ok || !got.ok) break;
        EXPECT_EQ(got.value, want.value) << "read " << done;
        EXPECT_EQ(fast.byte_pos(), ref.byte_pos());
        EXPECT_EQ(fast.bit_pos(), ref.bit_pos());
        ++done;
    }
    return done;
}

template <class T>
Error error_of(const Result<T>& r) {
    if (r) {
        ADD_FAILURE() << "read succeeded";
        return Error{ErrorKind::Invalid, "(none)"};
    }
    return r.error();
}

std::vector<std::uint8_t> bits_of(const std::string& text) {
    BitWriter w;
    for (char c : text) {
        if (c != ' ') w.bit(c == '1');
    }
    return w.bytes();
}

TEST(ShortenBitReader, Codes) {
    struct Case {
        const char* bits;
        Op op;
        std::uint64_t n;
        std::uint64_t value;  // as unsigned; read_var results two's complement
        std::uint64_t bits_read;
    };
    const Case cases[] = {
        {"1", Op::Uvar, 0, 0, 1},
        {"0001", Op::Uvar, 0, 3, 4},
        {"00110", Op::Uvar, 2, 10, 5},
        {"1 11111111 11111111 11111111 11111111", Op::Uvar, 32, 4294967295u, 33},
        {"10111", Op::Ulong, 0, 1, 5},
        {"1 11 1 101", Op::Ulong, 0, 5, 7},
        {"1 00 1", Op::Ulong, 0, 0, 4},  // width 0, then a bare stop bit
        {"10", Op::Var, 1, 0, 2},
        {"11", Op::Var, 1, static_cast<std::uint64_t>(-1), 2},
        {"010", Op::Var, 1, 1, 3},
        {"011", Op::Var, 1, static_cast<std::uint64_t>(-2), 3},
        {"0010", Op::Var, 1, 2, 4},
        {"1", Op::Bit, 0, 1, 1},
        {"0", Op::Bit, 0, 0, 1},
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> data = bits_of(c.bits);
        BitReader r(view(data), 0);
        ReferenceReader::Out got;
        switch (c.op) {
            case Op::Bit: got = outcome(r.read_bit()); break;
            case Op::Uvar: got = outcome(r.read_uvar(c.n)); break;
            case Op::Var: got = outcome(r.read_var(c.n)); break;
            case Op::Ulong: got = outcome(r.read_ulong()); break;
        }
        ASSERT_TRUE(got.ok) << c.bits << ": " << got.message;
        EXPECT_EQ(got.value, c.value) << c.bits;
        EXPECT_EQ(r.byte_pos() * 8 + r.bit_pos(), c.bits_read) << c.bits;
    }
}

TEST(ShortenBitReader, Failures) {
    struct Case {
        const char* bits;
        Op op;
        std::uint64_t n;
        std::string message;
    };
    const Case cases[] = {
        {"1111", Op::Uvar, 33, "oversized uvar width 33"},
        {"1111", Op::Var, 4294967296, "oversized uvar width 4294967296"},
        {"00000000 1 01", Op::Ulong, 0, "oversized uvar width 33"},  // a width code of 33
        {"", Op::Bit, 0, kTruncated},
        {"", Op::Uvar, 0, kTruncated},
        {"00000000", Op::Uvar, 0, kTruncated},  // the data ends inside the prefix
        {"00000001", Op::Uvar, 1, kTruncated},  // ... or inside the low bits
        {"01111111", Op::Uvar, 7, kTruncated},
        {"00000000 1 00 1", Op::Ulong, 0, kTruncated},  // width 32, then 1 of 32 low bits
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> data = bits_of(c.bits);
        BitReader r(view(data), 0);
        Error e{ErrorKind::Invalid, ""};
        switch (c.op) {
            case Op::Bit: e = error_of(r.read_bit()); break;
            case Op::Uvar: e = error_of(r.read_uvar(c.n)); break;
            case Op::Var: e = error_of(r.read_var(c.n)); break;
            case Op::Ulong: e = error_of(r.read_ulong()); break;
        }
        EXPECT_EQ(e, listed_invalid(c.message)) << c.bits;
    }
}

TEST(ShortenBitReader, WidthIsTestedBeforeAnyBitIsRead) {
    const std::vector<std::uint8_t> data = bits_of("1 0 1");
    BitReader r(view(data), 0);
    EXPECT_EQ(error_of(r.read_uvar(33)), listed_invalid("oversized uvar width 33"));
    EXPECT_EQ(r.byte_pos(), 0u);
    EXPECT_EQ(r.bit_pos(), 0u);
    // An empty stream reports the width, not the end of data.
    BitReader empty(ByteView(), 0);
    EXPECT_EQ(error_of(empty.read_uvar(40)), listed_invalid("oversized uvar width 40"));
}

TEST(ShortenBitReader, BitsAfterTheLastCodeAreNeverRead) {
    // Codes 1, 1, 1 fill 6 bits; the 2 bits after them are never examined.
    for (const char* tail : {"00", "01", "11"}) {
        const std::vector<std::uint8_t> data = bits_of(std::string("11 11 11") + tail);
        BitReader r(view(data), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(*r.read_uvar(1), 1u);
        EXPECT_EQ(r.byte_pos(), 0u);
        EXPECT_EQ(r.bit_pos(), 6u);
    }
}

TEST(ShortenBitReader, RunawayLimitCountsZerosPresent) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 26;
    const std::string kRunaway = "runaway unary code";
    struct Case {
        std::uint64_t lead;   // bits read before the code
        std::uint64_t zeros;  // zeros of the prefix that are present
        bool stop_bit;        // a stop bit and low bits 10101 follow
        std::string message;  // empty: read (2^26 << 5) | 0b10101
    };
    const Case cases[] = {
        {0, kLimit, true, ""},
        {3, kLimit, true, ""},
        {0, kLimit, false, kTruncated},     // exactly 2^26 zeros, then the data ends
        {0, kLimit + 8, false, kRunaway},   // the 2^26 + 1-th zero is present
        {3, kLimit + 1, true, kRunaway},
        {3, kLimit + 5, false, kRunaway},
        {0, kLimit + 4096, true, kRunaway},
    };
    for (const Case& c : cases) {
        BitWriter w;
        w.zeros(c.lead + c.zeros);
        if (c.stop_bit) w.bits(0b110101, 6);
        ASSERT_TRUE(c.stop_bit || w.bit_count() % 8 == 0);  // no padding zeros
        const std::vector<std::uint8_t> data = w.bytes();
        BitReader r(view(data), 0);
        for (std::uint64_t i = 0; i < c.lead; ++i) ASSERT_EQ(*r.read_bit(), 0u);
        Result<std::uint64_t> got = r.read_uvar(5);
        if (c.message.empty()) {
            ASSERT_TRUE(got.has_value()) << got.error().message;
            EXPECT_EQ(*got, (kLimit << 5) | 0b10101);
        } else {
            EXPECT_EQ(error_of(got), listed_invalid(c.message)) << "lead " << c.lead << " zeros " << c.zeros;
        }
    }
}

// Random codes written with the writer, read back at every end of data.
TEST(ShortenBitReader, MatchesBitByBitReaderAtEveryEndOfData) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        BitWriter w;
        std::vector<Read> reads;
        for (int i = 0; i < 60; ++i) {
            const Op op = static_cast<Op>(rng() % 4);
            const std::uint64_t n = rng() % 50 == 0 ? 33 : rng() % 33;  // 33 fails the width test
            const std::uint64_t prefix = rng() % 8 == 0 ? rng() % 200 : rng() % 4;
            const std::uint64_t low = n >= 64 ? 0 : rng() & ((std::uint64_t{1} << n) - 1);
            switch (op) {
                case Op::Bit: w.bit(rng() & 1); break;
                case Op::Uvar:
                case Op::Var:
                    if (n <= 32) w.uvar((prefix << n) | low, static_cast<unsigned>(n));
                    break;
                case Op::Ulong: w.ulong(rng() >> (rng() % 64)); break;
            }
            reads.push_back({op, n});
        }
        const std::vector<std::uint8_t> full = w.bytes();
        for (std::size_t len = 0; len <= full.size(); ++len) {
            const std::vector<std::uint8_t> data(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            compare(data, 0, reads);
        }
    }
}

TEST(ShortenBitReader, MatchesBitByBitReaderOnRandomBytes) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::uint8_t> data(rng() % 64);
        const bool sparse = trial % 3 == 0;  // long zero runs
        for (std::uint8_t& b : data) b = static_cast<std::uint8_t>(sparse && rng() % 4 ? 0 : rng());
        std::vector<Read> reads;
        for (int i = 0; i < 200; ++i) reads.push_back({static_cast<Op>(rng() % 4), rng() % 50 == 0 ? 33 : rng() % 33});
        const std::uint64_t start = rng() % (data.size() + 2);  // also beyond the end
        compare(data, start, reads);
    }
}

// Keeps the values a run hands on, in order.
struct CollectingSink {
    std::vector<std::int64_t>& got;
    void operator()(std::size_t i, std::int64_t v) {
        EXPECT_EQ(i, got.size());
        got.push_back(v);
    }
    // The run only ever resumes where it stopped.
    void resume(std::size_t i) { EXPECT_EQ(i, got.size()); }
};

// read_var_run() reads exactly what read_var() would, stops only before a
// long code or one within the last 8 bytes, and keeps its value bound.
TEST(ShortenBitReader, RunsMatchBitByBitReader) {
    std::mt19937_64 rng(5);
    for (std::uint64_t n = 1; n <= 32; ++n) {
        const CodeTable table(static_cast<std::uint32_t>(n < CodeTable::kBits ? n : 1));
        for (int trial = 0; trial < 6; ++trial) {
            BitWriter w;
            w.bits(rng(), static_cast<unsigned>(rng() % 8));  // start off a byte boundary
            const std::uint64_t lead = w.bit_count();
            const int codes = 300;
            for (int i = 0; i < codes; ++i) {
                // Mostly short prefixes, some long ones (to 60 zeros).
                const std::uint64_t prefix = rng() % 16 == 0 ? rng() % 61 : rng() % 3;
                w.uvar((prefix << n) | (rng() & ((std::uint64_t{1} << n) - 1)), static_cast<unsigned>(n));
            }
            const std::vector<std::uint8_t> full = w.bytes();
            for (std::size_t len : {full.size(), full.size() - 1, full.size() - 9, full.size() / 2}) {
                const std::vector<std::uint8_t> data(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
                for (const CodeTable* t : {static_cast<const CodeTable*>(nullptr), &table}) {
                    if (t != nullptr && n >= CodeTable::kBits) continue;
                    ReferenceReader ref(data, 0);
                    BitReader fast(view(data), 0);
                    for (std::uint64_t i = 0; i < lead; ++i) ASSERT_TRUE(ref.bit().ok && fast.read_bit());
                    std::vector<std::int64_t> got;
                    CollectingSink sink{got};
                    const std::size_t count = fast.read_var_run(n, codes, t, sink);
                    ASSERT_EQ(count, got.size());
                    for (std::int64_t v : got) {
                        const ReferenceReader::Out want = ref.var(n);
                        ASSERT_TRUE(want.ok);
                        EXPECT_EQ(v, static_cast<std::int64_t>(want.value)) << "n " << n;
                        EXPECT_LE(v < 0 ? -v : v, std::int64_t{1} << BitReader::kRunValueBits);
                    }
                    EXPECT_EQ(fast.byte_pos(), ref.byte_pos());
                    EXPECT_EQ(fast.bit_pos(), ref.bit_pos());
                    if (count < static_cast<std::size_t>(codes)) {
                        // It stopped before a code that is long or starts
                        // within the last 8 bytes.
                        const std::uint64_t at = ref.byte_pos() * 8 + ref.bit_pos();
                        ReferenceReader probe = ref;
                        const ReferenceReader::Out next = probe.var(n);
                        const std::uint64_t length = probe.byte_pos() * 8 + probe.bit_pos() - at;
                        EXPECT_TRUE(!next.ok || length > BitReader::kRunCodeBits || at / 8 + 8 > data.size())
                            << "n " << n << " stopped at code " << count << " of length " << length;
                    }
                }
            }
        }
    }
}

TEST(ShortenBitReader, RunRejectsWidthsOutsideOneToThirtyTwo) {
    const std::vector<std::uint8_t> data(64, 0xFF);
    for (std::uint64_t n : {0, 33}) {
        BitReader r(view(data), 0);
        std::vector<std::int64_t> got;
        CollectingSink sink{got};
        EXPECT_EQ(r.read_var_run(n, 10, nullptr, sink), 0u);
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(r.byte_pos(), 0u);
    }
}

}  // namespace
}  // namespace sonavert::shorten
