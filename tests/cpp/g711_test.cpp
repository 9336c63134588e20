#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/g711.hpp"

namespace sonavert::codecs {
namespace {

// The expansion levels straight from the G.711 segment/quantisation rules,
// written independently of the table code: sign, 3-bit segment, 4-bit step.
int reference_mulaw(int code) {
    const int u = ~code & 0xFF;
    const int segment = (u >> 4) & 7;
    const int step = u & 15;
    const int magnitude = ((2 * step + 33) << segment) - 33;  // 14-bit level / 4... scaled below
    return (u & 0x80) ? -4 * magnitude : 4 * magnitude;
}

int reference_alaw(int code) {
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 7;
    const int step = a & 15;
    const int magnitude = segment == 0 ? 2 * step + 1 : (2 * step + 33) << (segment - 1);
    return (a & 0x80) ? 8 * magnitude : -8 * magnitude;
}

std::vector<int> expand(std::vector<std::uint8_t> in, bool alaw) {
    ByteBuffer out = expand_g711(ByteView(in.data(), in.size()), alaw);
    EXPECT_EQ(out.size(), 2 * in.size());
    std::vector<int> values;
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        values.push_back(static_cast<std::int16_t>(out.data()[i] | (out.data()[i + 1] << 8)));
    }
    return values;
}

TEST(G711, EveryCodeWordMatchesTheSegmentFormula) {
    for (bool alaw : {false, true}) {
        const G711Table table = make_g711_table(alaw);
        for (int c = 0; c < 256; ++c) {
            const int expected = alaw ? reference_alaw(c) : reference_mulaw(c);
            EXPECT_EQ(table[c], expected) << "code " << c << (alaw ? " A-law" : " mu-law");
            EXPECT_EQ(table[c], -table[c ^ 0x80]) << "code " << c;
            EXPECT_NE(table[c], -32768);
        }
    }
}

TEST(G711, TellingRows) {
    struct Row { int code, mulaw, alaw; };
    const Row rows[] = {
        {0x00, -32124, -5504}, {0x0F, -16764, -6784}, {0x10, -15996, -2752}, {0x2A, -5372, -32256},
        {0x55, -716, -8},      {0x70, -120, -688},    {0x7E, -8, -880},      {0x7F, 0, -848},
        {0x80, 32124, 5504},   {0xAA, 5372, 32256},   {0xD5, 716, 8},        {0xFE, 8, 880},
        {0xFF, 0, 848},
    };
    const G711Table mu = make_g711_table(false), a = make_g711_table(true);
    for (const Row& r : rows) {
        EXPECT_EQ(mu[r.code], r.mulaw) << r.code;
        EXPECT_EQ(a[r.code], r.alaw) << r.code;
    }
}

TEST(G711, ExpandsBytesLittleEndianInOrder) {
    EXPECT_EQ(expand({0xFF, 0x80, 0x00}, false), (std::vector<int>{0, 32124, -32124}));
    EXPECT_EQ(expand({0xD5, 0x55, 0xAA, 0x2A}, true), (std::vector<int>{8, -8, 32256, -32256}));
    ByteBuffer raw = expand_g711(ByteView(std::vector<std::uint8_t>{0x80}.data(), 1), false);
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw.data()[0], 0x7C);
    EXPECT_EQ(raw.data()[1], 0x7D);
    EXPECT_TRUE(expand({}, true).empty());
    EXPECT_EQ(expand_g711(ByteView(), false).size(), 0u);
}

// Four samples go out per store and the rest one by one: every length
// around that step, every code word in every place of a group of four.
TEST(G711, ExpandsEveryLengthAndPlaceAsTheTableSays) {
    for (bool alaw : {false, true}) {
        const G711Table table = make_g711_table(alaw);
        for (std::size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 1027u}) {
            std::vector<std::uint8_t> in(n);
            for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 37 + n);
            const std::vector<int> out = expand(in, alaw);
            ASSERT_EQ(out.size(), n);
            for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(out[i], table[in[i]]) << "length " << n << " at " << i;
        }
    }
}

// Samples whose code words the recorded converter outputs pin down: the
// last sample of a step and the first of the next, around segment edges,
// zero and the clip. Both laws.
TEST(G711, EncodesTheRecordedEdgeSamples) {
    struct Row { int sample, mulaw, alaw; };
    const Row rows[] = {
        {0, 0xFF, 0xD5},      {1, 0xFF, 0xD5},     {3, 0xFF, 0xD5},      {4, 0xFE, 0xD5},
        {7, 0xFE, 0xD5},      {8, 0xFE, 0xD5},     {15, 0xFD, 0xD5},     {16, 0xFD, 0xD4},
        {-1, 0x7F, 0x55},     {-3, 0x7F, 0x55},    {-4, 0x7E, 0x55},     {-8, 0x7E, 0x55},
        {-9, 0x7E, 0x55},     {-16, 0x7D, 0x55},   {-17, 0x7D, 0x54},    {-59, 0x78, 0x56},
        {-98, 0x73, 0x53},    {-115, 0x71, 0x52},  {-170, 0x6D, 0x5F},   {-266, 0x67, 0x45},
        {-1211, 0x4B, 0x67},  {32124, 0x80, 0xAA}, {32767, 0x80, 0xAA},  {-32768, 0x00, 0x2A},
        {-32124, 0x00, 0x2A}, {256, 0xE7, 0xC5},   {-256, 0x67, 0x5A},
    };
    for (const Row& r : rows) {
        const auto x = static_cast<std::int16_t>(r.sample);
        EXPECT_EQ(mulaw_from_linear(x), r.mulaw) << "mu-law of " << r.sample;
        EXPECT_EQ(alaw_from_linear(x), r.alaw) << "A-law of " << r.sample;
    }
}

// Every 16-bit sample: its code word expands to a level less than one step
// of its segment away, the levels never decrease as the samples grow, and
// every code word (but mu-law's negative zero) survives a round trip.
TEST(G711, EncodersQuantiseWithinOneStepAndInvertTheExpansion) {
    for (bool alaw : {false, true}) {
        const G711Table table = make_g711_table(alaw);
        int previous = -32768;
        for (int x = -32768; x <= 32767; ++x) {
            const auto sample = static_cast<std::int16_t>(x);
            const std::uint8_t code = alaw ? alaw_from_linear(sample) : mulaw_from_linear(sample);
            const int level = table[code];
            const int segment = ((alaw ? code ^ 0x55 : ~code) >> 4) & 7;
            const int step = alaw && segment < 2 ? 16 : 8 << segment;
            ASSERT_LT(std::abs(level - x), step) << (alaw ? "A-law " : "mu-law ") << x;
            ASSERT_GE(level, previous) << (alaw ? "A-law " : "mu-law ") << x;
            previous = level;
        }
        for (int c = 0; c < 256; ++c) {
            const std::uint8_t back = alaw ? alaw_from_linear(table[c]) : mulaw_from_linear(table[c]);
            EXPECT_EQ(back, (!alaw && c == 0x7F) ? 0xFF : c) << (alaw ? "A-law " : "mu-law ") << c;
        }
    }
}

}  // namespace
}  // namespace sonavert::codecs
