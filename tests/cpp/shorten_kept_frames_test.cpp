// Decoding for a caller that needs a given number of frames: the decoder
// stores only those, and nothing else about the decode changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "catalogue_support.hpp"
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
    // Room left in front of the samples changes nothing else.
    constexpr std::size_t kLead = 44;
    const Result<DecodedShorten> led = decode_shorten(stream, Reconstruction::Proven, needed, kLead);
    ASSERT_TRUE(led.has_value()) << what;
    ASSERT_EQ(led->pcm.size(), kLead + kept->pcm.size()) << what;
    EXPECT_TRUE(kept->pcm.empty() || std::memcmp(led->pcm.data() + kLead, kept->pcm.data(), kept->pcm.size()) == 0)
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

// Channels whose blocks differ in length run out of step; each sample
// still lands in its own frame, whether the output is allocated at once
// (a known, plausible frame count) or grown while decoding.
TEST(ShortenKeptFrames, ChannelsOutOfStepKeepTheirFrames) {
    // Long last blocks coded as residuals make a stream long enough for its
    // frames to be allocated at once; as ZERO blocks, a short one whose
    // output grows.
    for (const bool zero_tail : {false, true}) {
        testkit::ShortenStreamWriter w;
        w.header({5, 2, 8, 0, 0, 0});
        std::vector<std::int64_t> column[2];
        std::int64_t next[2] = {100, -100};
        auto block = [&](int c, std::size_t n) {
            std::vector<std::int64_t> r(n);
            for (std::int64_t& v : r) {
                v = next[c];
                column[c].push_back(v);
                next[c] += c == 0 ? 1 : -1;
            }
            w.diff(0, 9, r);
        };
        auto last = [&](int c) {
            if (!zero_tail) return block(c, 5000);
            column[c].insert(column[c].end(), 5000, 0);
            w.zero();
        };
        // Channel 0 takes 8 + 3 + 3 + 5000 samples, channel 1 3 + 3 + 3 +
        // 5000: the last blocks cover the same frames from different starts.
        block(0, 8);
        w.blocksize(3);
        block(1, 3);
        block(0, 3);
        block(1, 3);
        block(0, 3);
        block(1, 3);
        w.blocksize(5000);
        last(0);
        last(1);
        const Bytes stream = w.quit().finish();
        const std::size_t frames = std::min(column[0].size(), column[1].size());
        ASSERT_EQ(frames, 5009u);
        for (const std::optional<std::uint64_t> needed :
             {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{frames},
              std::optional<std::uint64_t>{frames - 7}}) {
            const Result<DecodedShorten> d = decode_shorten(stream, Reconstruction::Proven, needed);
            ASSERT_TRUE(d.has_value()) << d.error().message;
            EXPECT_EQ(d->frames, frames);
            const std::size_t kept = needed.value_or(frames);
            ASSERT_EQ(d->pcm.size(), kept * 4);
            for (std::size_t f = 0; f < kept; ++f) {
                for (int c = 0; c < 2; ++c) {
                    const std::uint8_t* p = d->pcm.data() + 4 * f + 2 * c;
                    const auto got = static_cast<std::int16_t>(p[0] | (p[1] << 8));
                    ASSERT_EQ(got, column[c][f]) << "frame " << f << " channel " << c << " zero tail " << zero_tail;
                }
            }
        }
    }
}

TEST(ShortenKeptFrames, MuLawDomainIsCheckedWhereNothingIsStored) {
    const Error domain = listed_unsupported("shorten type-8 reconstructed value 300 is outside the 8-bit mu-law domain");
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
