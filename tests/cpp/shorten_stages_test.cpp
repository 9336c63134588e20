#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "shorten/means.hpp"
#include "shorten/output_stage.hpp"

namespace sonavert::shorten {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// The mean offset as defined: the last nmean means of the whole list,
// added oldest first, every step checked. False on overflow.
bool reference_offset(const std::vector<std::int64_t>& means, std::uint32_t nmean, std::int64_t& out) {
    const std::size_t first = means.size() > nmean ? means.size() - nmean : 0;
    std::int64_t sum = 0;
    for (std::size_t i = first; i < means.size(); ++i) {
        if (__builtin_add_overflow(sum, means[i], &sum)) return false;
    }
    if (__builtin_add_overflow(sum, static_cast<std::int64_t>(nmean / 2), &sum)) return false;
    out = sum / static_cast<std::int64_t>(nmean);
    return true;
}

TEST(ShortenMeans, Examples) {
    struct Case {
        std::uint32_t nmean;
        std::vector<std::int64_t> means;
        bool ok;
        std::int64_t offset;
    };
    const Case cases[] = {
        {4, {}, true, 0},
        {4, {8}, true, 2},                   // missing entries count as zero
        {4, {8, 2}, true, 3},
        {1, {-5}, true, -5},
        {2, {-7, 0}, true, -3},              // (-7 + 1) / 2 truncates toward zero
        {3, {1, 2, 3, 4, 5}, true, 4},       // only the last three: (12 + 1) / 3
        {2, {kMax, 0}, false, 0},            // the rounding addition overflows
        {2, {kMax, 1}, false, 0},
        {3, {kMax, 1, -5}, false, 0},        // oldest first: kMax + 1 overflows...
        {3, {-5, kMax, 1}, true, (kMax - 3) / 3},  // ... while -5 + kMax + 1 does not
        {2, {kMin, -1}, false, 0},
        {2, {kMin, 0}, true, (kMin + 1) / 2},
    };
    for (const Case& c : cases) {
        MeanHistory h(c.nmean);
        for (std::int64_t m : c.means) h.push(m);
        std::int64_t got = 12345;
        EXPECT_EQ(h.offset(got, true, 0), c.ok) << "nmean " << c.nmean << ", " << c.means.size() << " means";
        if (c.ok) {
            EXPECT_EQ(got, c.offset);
        }
    }
}

// Version 2 shifts the rounded offset by the bitshift in force (an
// arithmetic shift: toward minus infinity); version 1 neither rounds nor
// shifts, so its division cannot overflow.
TEST(ShortenMeans, VersionRules) {
    struct Case {
        std::uint32_t nmean;
        std::vector<std::int64_t> means;
        bool v2;
        std::uint32_t shift;
        bool ok;
        std::int64_t offset;
    };
    const Case cases[] = {
        {2, {-7, 0}, true, 1, true, -2},    // (-7 + 1) / 2 = -3, >> 1 = -2
        {2, {-7, 0}, true, 0, true, -3},
        {2, {-7, 0}, false, 3, true, -3},   // -7 / 2, no shift
        {4, {8, 2}, true, 2, true, 0},      // (10 + 2) / 4 = 3, >> 2 = 0
        {4, {8, 2}, false, 0, true, 2},     // 10 / 4
        {4, {-1, 0, 0, 0}, true, 32, true, 0},   // (-1 + 2) / 4 = 0
        {1, {-1}, true, 32, true, -1},      // -1 >> 32 stays -1
        {1, {kMin}, true, 32, true, kMin >> 32},
        {2, {kMax, 0}, false, 0, true, kMax / 2},  // no rounding addition
        {2, {kMax, 0}, true, 5, false, 0},
    };
    for (const Case& c : cases) {
        MeanHistory h(c.nmean);
        for (std::int64_t m : c.means) h.push(m);
        std::int64_t got = 12345;
        EXPECT_EQ(h.offset(got, c.v2, c.shift), c.ok) << "nmean " << c.nmean << " v2 " << c.v2 << " shift " << c.shift;
        if (c.ok) {
            EXPECT_EQ(got, c.offset) << "nmean " << c.nmean << " v2 " << c.v2 << " shift " << c.shift;
        }
    }
}

// Long random sequences, with stretches of means large enough to overflow.
TEST(ShortenMeans, MatchesReferenceOverSlidingWindows) {
    std::mt19937_64 rng(3);
    for (std::uint32_t nmean : {1u, 2u, 3u, 255u, 256u, 257u, 700u}) {
        MeanHistory h(nmean);
        std::vector<std::int64_t> means;
        int overflows = 0;
        for (int i = 0; i < 3000; ++i) {
            std::int64_t m;
            switch ((i / 400) % 3) {
                case 0: m = static_cast<std::int64_t>(rng() % 2001) - 1000; break;
                case 1: m = static_cast<std::int64_t>(rng()); break;  // any 64-bit value
                default: m = static_cast<std::int64_t>(rng()) >> (1 + rng() % 20); break;
            }
            if (rng() % 50 == 0) m = rng() % 2 ? kMax : kMin;
            h.push(m);
            means.push_back(m);
            std::int64_t want = 0, got = 0;
            const bool ok = reference_offset(means, nmean, want);
            ASSERT_EQ(h.offset(got, true, 0), ok) << "nmean " << nmean << " after " << i + 1;
            if (ok) {
                ASSERT_EQ(got, want) << "nmean " << nmean << " after " << i + 1;
            }
            overflows += !ok;
        }
        if (nmean > 1) {  // one mean plus nmean / 2 = 0 always fits
            EXPECT_GT(overflows, 0) << nmean;
        }
    }
}

// The code byte by the definition: the smallest candidate compared in 128
// bits, capped at 127.
int reference_type8(std::int64_t v, std::uint32_t b) {
    const __int128 x = v >= 0 ? v : -static_cast<__int128>(v) - 1;
    __int128 level;
    if (b == 0) {
        if (v < -128 || v > 127) return -1;
        level = x;
    } else {
        level = x << b;
        __int128 c = 0;
        for (std::uint32_t k = 1; k <= b; ++k) {
            c = c / 2 + 8 * k;
            const __int128 candidate = (x << (b - k)) + c;
            if (candidate < level) level = candidate;
        }
        if (level > 127) level = 127;
    }
    return static_cast<int>((v >= 0 ? 0xFF : 0x7F) - level);
}

TEST(ShortenOutputStage, Type8Codes) {
    struct Case {
        std::int64_t v;
        std::uint32_t b;
        int code;  // -1: outside the domain
    };
    const Case cases[] = {
        {0, 0, 0xFF},    {1, 0, 0xFE},     {127, 0, 0x80},  {-1, 0, 0x7F},  {-128, 0, 0x00},
        {128, 0, -1},    {-129, 0, -1},    {kMax, 0, -1},   {8, 1, 0xEF},   {9, 1, 0xEE},
        {119, 1, 0x80},  {118, 1, 0x81},   {kMax, 1, 0x80}, {-8, 1, 0x71},  {-120, 1, 0x00},
        {-119, 1, 0x01}, {kMin, 32, 0x00}, {0, 32, 0xFF},   {kMax, 32, 0x80},
    };
    for (const Case& c : cases) {
        std::uint8_t code = 0;
        EXPECT_EQ(type8_code(c.v, c.b, code), c.code >= 0) << c.v << " b " << c.b;
        if (c.code >= 0) {
            EXPECT_EQ(code, c.code) << c.v << " b " << c.b;
        }
    }
    std::vector<std::int64_t> values;
    for (std::int64_t v = -300; v <= 300; ++v) values.push_back(v);
    for (int shift = 7; shift < 63; shift += 4) {
        values.push_back(std::int64_t{1} << shift);
        values.push_back(-(std::int64_t{1} << shift) - 1);
    }
    for (std::uint32_t b = 0; b <= 32; ++b) {
        for (std::int64_t v : values) {
            std::uint8_t code = 0;
            const int want = reference_type8(v, b);
            ASSERT_EQ(type8_code(v, b, code), want >= 0) << v << " b " << b;
            if (want >= 0) {
                ASSERT_EQ(code, want) << v << " b " << b;
            }
        }
    }
}

TEST(ShortenOutputStage, LinearSamples) {
    auto reference = [](std::int64_t v, std::uint32_t b) {
        const __int128 shifted = static_cast<__int128>(v) << b;
        const __int128 saturated = shifted > kMax ? kMax : shifted < kMin ? kMin : shifted;
        return static_cast<int>(saturated > 32767 ? 32767 : saturated < -32768 ? -32768 : saturated);
    };
    const std::int64_t values[] = {0,      1,      -1,     2,          -2,          40000, -40000, 32767, -32768,
                                   32768,  -32769, 16384,  -16385,     8191,        kMax,  kMin,   kMax / 2,
                                   kMin / 2, std::int64_t{1} << 62, -(std::int64_t{1} << 62), 3, -3};
    for (std::uint32_t b = 0; b <= 32; ++b) {
        for (std::int64_t v : values) EXPECT_EQ(linear_pcm16(v, b), reference(v, b)) << v << " b " << b;
    }
}

}  // namespace
}  // namespace sonavert::shorten
