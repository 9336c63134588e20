// Decoding for a caller that needs a given number of frames: the decoder
// stores only those, and nothing else about the decode changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sample_files.hpp"
#include "shorten/decoder.hpp"
#include "shorten/to_pcm.hpp"
#include "shorten_stream_writer.hpp"

namespace sonavert::shorten {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Decodes `stream` whole and for `needed` frames, and checks that the two
// agree: the same error, or the same header values and frame count, with
// the needed frames' samples equal to the whole decode's first ones.
void expect_same_decode(const Bytes& stream, std::uint64_t needed, const std::string& what) {
    const Result<DecodedShorten> all = decode_shorten(stream);
    const Result<DecodedShorten> kept = decode_shorten(stream, Reconstruction::Proven, needed);
    ASSERT_EQ(all.has_value(), kept.has_value()) << what;
    if (!all) {
        EXPECT_EQ(kept.error(), all.error()) << what;
        return;
    }
    EXPECT_EQ(kept->channel_count, all->channel_count) << what;
    EXPECT_EQ(kept->is_ulaw, all->is_ulaw) << what;
    EXPECT_EQ(kept->frames, all->frames) << what;
    EXPECT_EQ(all->pcm.size(), all->frames * all->channel_count * 2) << what;
    if (kept->frames < needed) return;  // the caller fails; what is stored does not matter
    ASSERT_EQ(kept->pcm.size(), needed * kept->channel_count * 2) << what;
    EXPECT_TRUE(kept->pcm.empty() || std::memcmp(kept->pcm.data(), all->pcm.data(), kept->pcm.size()) == 0)
        << what;
}

TEST(ShortenKeptFrames, SameDecodeForEveryNeedAndDamage) {
    for (const testkit::SampleFile& file : testkit::sample_shorten_streams()) {
        for (std::uint64_t needed : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, file.frames - 1,
                                     file.frames, file.frames + 1, std::uint64_t{1} << 62}) {
            expect_same_decode(file.bytes, needed, file.name + " needing " + std::to_string(needed));
        }
        // Damaged streams fail (or not) alike, also in the part not stored.
        Bytes damaged = file.bytes;
        for (std::size_t i = 5; i < damaged.size(); ++i) {
            for (unsigned bit : {0u, 3u, 6u}) {
                damaged[i] ^= static_cast<std::uint8_t>(1u << bit);
                expect_same_decode(damaged, file.frames / 2, file.name + " damaged at " + std::to_string(i));
                damaged[i] = file.bytes[i];
            }
        }
    }
}

TEST(ShortenKeptFrames, MuLawDomainIsCheckedWhereNothingIsStored) {
    const Error domain = unsupported("shorten type-8 reconstructed value 300 is outside the 8-bit mu-law domain");
    const std::int64_t first[] = {1, 2, 3, 4}, bad_later[] = {1, 300, 0, 0}, bad_next[] = {300, 0, 0, 0};
    // In the block's part beyond the needed frames, and in a later block.
    for (const std::int64_t* second : {bad_later, bad_next}) {
        testkit::ShortenStreamWriter w;
        w.header({8, 1, 4, 0, 0, 0});
        w.diff(0, 3, first);
        w.diff(0, 9, std::span<const std::int64_t>(second, 4));
        const Bytes stream = w.quit().finish();
        for (std::uint64_t needed : {1, 2, 4, 5}) {
            const Result<DecodedShorten> d = decode_shorten(stream, Reconstruction::Proven, needed);
            ASSERT_FALSE(d.has_value()) << needed;
            EXPECT_EQ(d.error(), domain) << needed;
        }
    }
}

TEST(ShortenKeptFrames, NothingIsStoredWhenTheCapRulesTheFramesOut) {
    // 64 ZERO blocks of 2^24 samples over two channels: 2^29 frames, the
    // most two channels can hold. Needing one frame more stores nothing.
    testkit::ShortenStreamWriter w;
    w.header({5, 2, std::uint64_t{1} << 24, 0, 0, 0});
    for (int i = 0; i < 64; ++i) w.zero();
    const Bytes stream = w.quit().finish();
    for (std::uint64_t needed : {(std::uint64_t{1} << 29) + 1, std::uint64_t{1} << 62}) {
        const Result<ShortenPcm> d = shorten_to_pcm(stream, needed);
        ASSERT_TRUE(d.has_value()) << d.error().message;
        EXPECT_EQ(d->frames, std::uint64_t{1} << 29);
        EXPECT_TRUE(d->pcm.empty());
    }
    const Result<ShortenPcm> some = shorten_to_pcm(stream, 1000);
    ASSERT_TRUE(some.has_value());
    EXPECT_EQ(some->pcm.size(), 4000u);
    EXPECT_EQ(std::vector<std::uint8_t>(some->pcm.data(), some->pcm.data() + 4000), std::vector<std::uint8_t>(4000, 0));
}

}  // namespace
}  // namespace sonavert::shorten
