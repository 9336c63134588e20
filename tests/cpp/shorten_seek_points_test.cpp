// Seek points of the incremental decoder: a decoder resumed from any point
// makes the rest of the stream exactly as the decoder that recorded it did,
// samples and fault alike, over streams of every feature; points lie where
// the spacing says and take at most their share of the decoded size.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "shorten/decoder.hpp"
#include "shorten/incremental.hpp"
#include "shorten/seek_points.hpp"
#include "shorten_encoder.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The rest of a stream from a decoder: its samples, then its error or "".
struct Rest {
    std::vector<std::int16_t> samples;
    std::string error;
};

Rest rest_of(IncrementalDecoder& d) {
    Rest r;
    std::vector<std::int16_t> buffer(777 * d.channel_count());
    for (;;) {
        Result<std::size_t> n = d.read(buffer.data(), 777);
        if (!n) {
            r.error = n.error().message;
            return r;
        }
        r.samples.insert(r.samples.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n * d.channel_count()));
        if (*n < 777) return r;
    }
}

testkit::ShortenOptions options(std::uint32_t channels, std::uint32_t blocksize, std::uint32_t maxnlpc,
                                std::uint32_t nmean, std::uint32_t sample_type = 5) {
    return testing::opts(channels, blocksize, maxnlpc, nmean, sample_type);
}

Bytes encoded(const testkit::ShortenOptions& o, std::size_t frames, std::mt19937& gen) {
    std::vector<std::int32_t> s(frames * o.channels);
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = o.sample_type == 8 ? static_cast<std::int32_t>(gen() % 256) - 128
                                  : static_cast<std::int32_t>((i / 11) % 50) * 400 - 9000 + static_cast<int>(gen() % 64);
        if (o.bitshift > 0) s[i] = s[i] / 4 * 4;  // the low bits the shift drops are zero
    }
    const Result<Bytes> stream = testkit::encode_shorten(s, o);
    EXPECT_TRUE(stream.has_value());
    return stream.has_value() ? *stream : Bytes{};
}

TEST(SeekPoints, ResumingFromEveryPointMakesTheRestOfTheStream) {
    std::mt19937 gen(20);
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"mono", encoded(options(1, 256, 0, 4), 9000, gen)},
        {"stereo, nmean 0", encoded(options(2, 256, 0, 0), 9000, gen)},
        {"three channels, blocksize 7, QLPC 8", encoded(options(3, 7, 8, 4), 3000, gen)},
        {"QLPC 32, nmean 64", encoded(options(2, 300, 32, 64), 12000, gen)},
        {"mu-law", encoded(options(2, 256, 0, 0, 8), 6000, gen)},
    };
    {
        testkit::ShortenOptions o = options(2, 100, 0, 4);
        o.blocksize_schedule = {100, 3, 250};
        o.bitshift = 2;
        cases.emplace_back("blocksize changes, bitshift", encoded(o, 5000, gen));
    }
    {
        // A stream cut in its middle: points before the cut, and resumed
        // decoders fail at it as the one that recorded them did.
        Bytes cut = encoded(options(2, 256, 0, 4), 9000, gen);
        cut.resize(cut.size() / 2);
        cases.emplace_back("cut short", cut);
    }
    {
        // BITSHIFT and BLOCKSIZE commands in the middle, then an unknown
        // command: settings changed before a point are kept by it.
        testing::Header h;
        h.channels = 2;
        h.blocksize = 64;
        testing::Stream s(h);
        for (int b = 0; b < 120; ++b) {
            if (b == 30) s.bitshift(3);
            if (b == 60) s.blocksize(40);
            std::vector<std::int64_t> r(b >= 60 ? 40 : 64);
            for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::int64_t>((b * 7 + i) % 19) - 9;
            s.diff(b % 4, 6, r);
        }
        s.fn(30);
        cases.emplace_back("commands, then a fault", s.bytes());
    }
    for (const auto& [name, stream] : cases) {
        for (const std::uint64_t spacing : {std::uint64_t{1}, std::uint64_t{97}, std::uint64_t{1000}}) {
            Result<IncrementalDecoder> recorder = IncrementalDecoder::open(ByteView(stream));
            ASSERT_TRUE(recorder.has_value()) << name;
            SeekPoints points(recorder->point_values());
            recorder->record_points(&points, spacing);
            const Rest whole = rest_of(*recorder);
            const auto channels = static_cast<std::size_t>(recorder->channel_count());
            ASSERT_GT(points.size(), 1u) << name << ", spacing " << spacing;
            std::uint64_t previous = 0;
            // Every point, found by its own frame and by the frames just after it.
            for (std::uint64_t f = 0; f <= points.last_frame(); ++f) {
                const std::optional<SeekPoint> point = points.at_or_before(f);
                if (!point || point->frame != f) continue;
                EXPECT_GT(point->frame / spacing, previous / spacing) << name << ": one point per spacing";
                previous = point->frame;
                Result<IncrementalDecoder> resumed = IncrementalDecoder::open(ByteView(stream));
                ASSERT_TRUE(resumed.has_value());
                resumed->resume(*point);
                EXPECT_EQ(resumed->frames_made(), point->frame);
                const Rest rest = rest_of(*resumed);
                const std::string what = name + ", spacing " + std::to_string(spacing) + ", point at " + std::to_string(f);
                EXPECT_EQ(rest.error, whole.error) << what;
                // A read that meets a fault hands out nothing, so before one
                // the frames handed out depend on where the reads fell.
                if (whole.error.empty()) {
                    ASSERT_EQ(rest.samples.size(), whole.samples.size() - f * channels) << what;
                }
                const std::size_t common = std::min(rest.samples.size(), whole.samples.size() - f * channels);
                EXPECT_TRUE(std::equal(rest.samples.begin(), rest.samples.begin() + static_cast<std::ptrdiff_t>(common),
                                       whole.samples.begin() + static_cast<std::ptrdiff_t>(f * channels)))
                    << what;
                // The same, the decoder going on over a copy of the stream
                // from the point's byte on (a reader that keeps only the
                // part it reads): a byte read before it would be out of bounds.
                const auto at = static_cast<std::ptrdiff_t>(point->bit / 8);
                const Bytes window(stream.begin() + at, stream.end());
                Result<IncrementalDecoder> rebased = IncrementalDecoder::open(ByteView(stream));
                ASSERT_TRUE(rebased.has_value());
                rebased->resume(*point);
                rebased->extend(ByteView(window), point->bit / 8);
                const Rest moved = rest_of(*rebased);
                EXPECT_EQ(moved.error, rest.error) << what << ", rebased";
                EXPECT_EQ(moved.samples, rest.samples) << what << ", rebased";
            }
        }
    }
}

TEST(SeekPoints, TheStreamsSpacingKeepsPointsWithinTheirShare) {
    struct Case {
        std::uint64_t channels, maxnlpc, nmean;
    };
    for (const Case c : {Case{1, 0, 0}, Case{2, 0, 4}, Case{2, 32, 4}, Case{8, 3, 64}}) {
        StreamHeader h{};
        h.channels = c.channels;
        h.maxnlpc = c.maxnlpc;
        h.nmean = c.nmean;
        const std::uint64_t spacing = point_spacing(h);
        const SeekPoints probe(static_cast<std::size_t>(c.channels) * channel_values(h));
        // One point per spacing: its bytes against the spacing's 16-bit samples.
        EXPECT_LE(probe.point_bytes() * kPointShare, spacing * 2 * c.channels) << c.channels << " " << c.nmean;
        EXPECT_GT(probe.point_bytes() * kPointShare, (spacing - 1) * 2 * c.channels) << "no wider than needed";
    }
    // A stereo 16-bit stream of the usual settings: a point about every half
    // second at 16 kHz.
    StreamHeader usual{};
    usual.channels = 2;
    usual.nmean = 4;
    EXPECT_LE(point_spacing(usual), 16000u);
}

TEST(SeekPoints, MergeKeepsOnePointPerFrameInOrder) {
    std::mt19937 gen(3);
    const Bytes stream = encoded(options(1, 50, 0, 4), 5000, gen);
    SeekPoints a(0), b(0);
    for (const auto& [into, spacing] : {std::pair{&a, 300}, std::pair{&b, 200}}) {
        Result<IncrementalDecoder> d = IncrementalDecoder::open(ByteView(stream));
        ASSERT_TRUE(d.has_value());
        *into = SeekPoints(d->point_values());
        d->record_points(into, static_cast<std::uint64_t>(spacing));
        ASSERT_TRUE(d->skip(~std::uint64_t{0}).has_value());
    }
    const std::size_t before = a.size();
    a.merge(b);
    a.merge(b);
    // Frames 600, 1200, ... are in both.
    EXPECT_EQ(a.size(), before + b.size() - 5000 / 600) << "shared frames are kept once";
    std::uint64_t last = 0;
    for (std::uint64_t f = 0; f < 5000; ++f) {
        const std::optional<SeekPoint> p = a.at_or_before(f);
        if (!p) continue;
        EXPECT_LE(p->frame, f);
        EXPECT_GE(p->frame, last);
        last = p->frame;
    }
    a.keep_first(3);
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(a.bytes(), 3 * a.point_bytes());
}

}  // namespace
}  // namespace sonavert::shorten
