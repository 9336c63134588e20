// The rules that differ between Shorten stream versions: version 2's block
// means in output units under a bitshift, and version 1's unrounded means,
// QLPC without a rounding constant and its mu-law sample type 0; and which
// versions and sample types each reader takes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue_support.hpp"
#include "codecs/g711.hpp"
#include "shorten/decoder.hpp"
#include "shorten/incremental.hpp"
#include "shorten/output_stage.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using testing::Header;
using testing::pcm_values;
using testing::Stream;
using testing::view;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<int>;

const Error kOverflow = listed_invalid("shorten reconstruction overflowed i64 (corrupt stream)");
constexpr std::int64_t k47 = std::int64_t{1} << 47;

Bytes mono(Header h, const std::function<void(Stream&)>& body, std::uint8_t version = 2) {
    Stream s(h);
    body(s);
    s.quit();
    Bytes bytes = s.bytes();
    bytes[4] = version;
    return bytes;
}

// Decodes with both reconstructions and the incremental decoder, which
// must agree; the levels, or the error.
Result<Values> decode(const Bytes& stream, Versions versions = Versions::V1AndV2) {
    Result<DecodedShorten> proven =
        decode_shorten(view(stream), Reconstruction::Proven, std::nullopt, 0, ShortenSamples::Levels, versions);
    Result<DecodedShorten> checked =
        decode_shorten(view(stream), Reconstruction::Checked, std::nullopt, 0, ShortenSamples::Levels, versions);
    EXPECT_EQ(proven.has_value(), checked.has_value());
    if (!proven) {
        if (!checked) {
            EXPECT_EQ(proven.error(), checked.error());
        }
        return proven.error();
    }
    const Values values = pcm_values(proven->pcm);
    if (checked) {
        EXPECT_EQ(pcm_values(checked->pcm), values);
    }
    Result<IncrementalDecoder> inc =
        IncrementalDecoder::open(view(stream), Reconstruction::Proven, ShortenSamples::Levels, versions);
    EXPECT_TRUE(inc.has_value());
    if (inc) {
        std::vector<std::int16_t> out(values.size() + 8);
        Result<std::size_t> n = inc->read(out.data(), out.size());
        EXPECT_TRUE(n.has_value());
        if (n) {
            EXPECT_EQ(Values(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*n)), values);
        }
    }
    return values;
}

struct Case {
    const char* name;
    Header header;
    std::function<void(Stream&)> body;
    Values expected;
};

void expect_samples(const Case& c, std::uint8_t version) {
    const Result<Values> got = decode(mono(c.header, c.body, version));
    ASSERT_TRUE(got.has_value()) << c.name << ": " << got.error().message;
    EXPECT_EQ(*got, c.expected) << c.name;
}

TEST(ShortenVersion2, MeansAreKeptInOutputUnits) {
    const Case cases[] = {
        // Mean (8 + 2) / 4 = 2, times 2^2: the next block's offset is 8.
        {"mean scaled by its block's bitshift", {.nmean = 1},
         [](Stream& s) { s.bitshift(2).diff(0, 3, {2, 2, 2, 2}).bitshift(0).diff(0, 0, {0, 0, 0, 0}); },
         {8, 8, 8, 8, 8, 8, 8, 8}},
        // Mean (-12 + 2) / 4 = -2, times 2 = -4; -4 >> 3 = -1 (toward minus infinity).
        {"offset shifted by the bitshift in force", {.nmean = 1},
         [](Stream& s) { s.bitshift(1).diff(0, 3, {-3, -3, -3, -3}).bitshift(3).diff(0, 0, {0, 0, 0, 0}); },
         {-6, -6, -6, -6, -8, -8, -8, -8}},
        // Mean 5 * 4 = 20; offset (20 + 1) / 2 = 10, >> 2 = 2.
        {"offset rounded before its shift", {.nmean = 2},
         [](Stream& s) { s.bitshift(2).diff(0, 4, {5, 5, 5, 5}).diff(0, 0, {0, 0, 0, 0}); },
         {20, 20, 20, 20, 8, 8, 8, 8}},
        // Offset 16 >> 1 = 8; QLPC c = 32 around it: 9, 10, 11, 12, doubled.
        {"QLPC with the offset under a bitshift", {.maxnlpc = 1, .nmean = 1},
         [](Stream& s) { s.bitshift(1).diff(0, 4, {8, 8, 8, 8}).qlpc(0, {32}, {0, 0, 0, 0}); },
         {16, 16, 16, 16, 18, 20, 22, 24}},
        {"bitshift 15 scales a mean of 2^47 to 2^62", {.nmean = 1},
         [](Stream& s) { s.bitshift(15).blocksize(1).diff(1, 31, {k47}).diff(1, 0, {0}); }, {32767, 32767}},
    };
    for (const Case& c : cases) expect_samples(c, 2);
    // 2^47 * 2^16 is beyond 64 bits.
    const Bytes overflow = mono({.nmean = 1}, [](Stream& s) { s.bitshift(16).blocksize(1).diff(1, 31, {k47}); });
    EXPECT_EQ(decode(overflow).error(), kOverflow);
    EXPECT_EQ(decode(overflow, Versions::OnlyV2).error(), kOverflow);
}

TEST(ShortenVersion1, MeansQlpcAndMuLaw) {
    const codecs::G711Table mu = codecs::make_g711_table(false);
    const Case cases[] = {
        // Mean 34 / 4 = 8 (version 2: 9); offset 8 / 2 = 4 (version 2: 5).
        {"means neither rounded nor scaled", {.nmean = 2},
         [](Stream& s) { s.diff(0, 4, {7, 8, 9, 10}).diff(0, 0, {0, 0, 0, 0}); }, {7, 8, 9, 10, 4, 4, 4, 4}},
        {"offset not shifted", {.nmean = 1},
         [](Stream& s) { s.bitshift(2).diff(0, 4, {6, 6, 6, 6}).diff(0, 0, {0, 0, 0, 0}); },
         {24, 24, 24, 24, 24, 24, 24, 24}},
        // (16 * 1) >> 5 = 0, where version 2 adds 32 first.
        {"QLPC adds no rounding constant", {.maxnlpc = 1},
         [](Stream& s) { s.diff(0, 3, {1, 1, 1, 1}).qlpc(0, {16}, {0, 0, 0, 0}); }, {1, 1, 1, 1, 0, 0, 0, 0}},
        {"QLPC shift toward minus infinity", {.maxnlpc = 1},
         [](Stream& s) { s.diff(0, 3, {1, 1, 1, 1}).qlpc(0, {-16}, {0, 0, 0, 0}); }, {1, 1, 1, 1, -1, 0, 0, 0}},
        {"type 0 at bitshift 0", {.type = 0},
         [](Stream& s) { s.diff(0, 8, {-128, -1, 0, 127}); }, {mu[0x7F], mu[0x7E], mu[0xFF], mu[0x80]}},
        {"type 0 at bitshift 1", {.type = 0},
         [](Stream& s) { s.bitshift(1).diff(0, 13, {8, -8, -9, -121}); },
         {mu[0xEF], mu[0x6F], mu[0x6E], mu[0x00]}},
        {"type 0 ZERO", {.type = 0}, [](Stream& s) { s.zero(); }, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) expect_samples(c, 1);
    // The same streams as version 2 differ where the rules do.
    EXPECT_EQ(*decode(mono({.nmean = 2}, cases[0].body)), (Values{7, 8, 9, 10, 5, 5, 5, 5}));
    EXPECT_EQ(*decode(mono({.maxnlpc = 1}, cases[2].body)), (Values{1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST(ShortenVersion1, MuLawCodeBytes) {
    const Bytes stream = mono({.type = 0}, [](Stream& s) { s.diff(0, 8, {-128, -1, 0, 127}).zero(); }, 1);
    Result<DecodedShorten> d = decode_shorten(view(stream), Reconstruction::Proven, std::nullopt, 0,
                                              ShortenSamples::MuLawCodes, Versions::V1AndV2);
    ASSERT_TRUE(d.has_value()) << d.error().message;
    EXPECT_TRUE(d->is_ulaw && d->codes);
    EXPECT_EQ(Bytes(d->pcm.data(), d->pcm.data() + d->pcm.size()),
              (Bytes{0x7F, 0x7E, 0xFF, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}));
    for (std::int64_t v : {128, -129}) {
        const Bytes bad = mono({.type = 0}, [v](Stream& s) { s.diff(0, 9, {0, 0, 0, v}); }, 1);
        EXPECT_EQ(decode(bad).error(),
                  listed_unsupported("shorten type-8 reconstructed value " + std::to_string(v) +
                                     " is outside the 8-bit mu-law domain"));
    }
}

TEST(ShortenVersion1, Au1CodeIsType8OneStepLower) {
    for (std::uint32_t b : {0u, 1u, 3u, 32u}) {
        for (std::int64_t v = -300; v <= 300; ++v) {
            std::uint8_t got = 0, want = 0;
            const bool ok = au1_code(v, b, got);
            EXPECT_EQ(ok, b > 0 || (v >= -128 && v <= 127)) << v << " at " << b;
            if (!ok) continue;
            if (b == 0 && v == -128) {
                EXPECT_EQ(got, 0x7F);
                continue;
            }
            ASSERT_TRUE(type8_code(v >= 0 ? v : v - 1, b, want));
            EXPECT_EQ(got, want) << v << " at " << b;
        }
    }
}

TEST(ShortenVersions, WhichVersionsAndTypesEachReaderTakes) {
    auto stream = [](std::uint8_t version, std::uint64_t type) {
        return mono({.type = type}, [](Stream& s) { s.diff(1, 3, {1, 1, -1, 0}); }, version);
    };
    const std::string both = " not supported (version 1: types 0, 3, 5; version 2: types 3, 5, 8)";
    struct Refusal {
        std::uint8_t version;
        std::uint64_t type;
        Versions versions;
        Error error;
    };
    const Refusal refusals[] = {
        {1, 5, Versions::OnlyV2, listed_unsupported("shorten version 1 not supported (only v2 is validated)")},
        {2, 0, Versions::OnlyV2,
         listed_unsupported("shorten sample type 0 not supported (16-bit PCM and mu-law only)")},
        {0, 5, Versions::V1AndV2, listed_unsupported("shorten stream version 0 not supported (versions 1 and 2 are read)")},
        {3, 5, Versions::V1AndV2, listed_unsupported("shorten stream version 3 not supported (versions 1 and 2 are read)")},
        {2, 0, Versions::V1AndV2, listed_unsupported("shorten version 2 stream of sample type 0" + both)},
        {1, 8, Versions::V1AndV2, listed_unsupported("shorten version 1 stream of sample type 8" + both)},
        {1, 7, Versions::V1AndV2, listed_unsupported("shorten version 1 stream of sample type 7" + both)},
    };
    for (const Refusal& r : refusals) {
        const Result<Values> got = decode(stream(r.version, r.type), r.versions);
        ASSERT_FALSE(got.has_value()) << int{r.version} << " type " << r.type;
        EXPECT_EQ(got.error(), r.error);
    }
    for (std::uint64_t type : {3u, 5u}) {
        EXPECT_EQ(*decode(stream(1, type)), (Values{1, 2, 1, 1}));
        EXPECT_EQ(*decode(stream(2, type)), *decode(stream(2, type), Versions::OnlyV2));
    }
}

}  // namespace
}  // namespace sonavert::shorten
