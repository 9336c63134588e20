// The incremental decoder against the whole-stream decoder: the same frames
// for every read size, over encoder-made streams of every feature; the same
// error, met after the same frames, for cut streams; memory that follows
// the block, not the stream; and the edges of its interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "catalogue_support.hpp"
#include "shorten/decoder.hpp"
#include "shorten/errors.hpp"
#include "shorten/incremental.hpp"
#include "shorten_encoder.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Header;
using testing::Stream;
using testing::view;

// What reading the whole stream `size` frames at a time gives: the samples
// as the whole-stream decoder stores them, or the first error.
struct Reading {
    std::vector<int> samples;
    std::uint64_t frames = 0;
    std::optional<Error> error;
};

Reading read_all(ByteView stream, std::size_t size, Reconstruction mode = Reconstruction::Proven) {
    Reading out;
    Result<IncrementalDecoder> opened = IncrementalDecoder::open(stream, mode);
    if (!opened) {
        out.error = opened.error();
        return out;
    }
    IncrementalDecoder decoder = std::move(opened).value();  // moving keeps its state
    const auto channels = static_cast<std::size_t>(decoder.channel_count());
    std::vector<std::int16_t> buffer(size * channels);
    for (;;) {
        Result<std::size_t> n = decoder.read(buffer.data(), size);
        if (!n) {
            out.error = n.error();
            EXPECT_EQ(decoder.frames_made(), out.frames) << "a failed read hands nothing out";
            return out;
        }
        out.samples.insert(out.samples.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*n * channels));
        out.frames += *n;
        EXPECT_EQ(decoder.frames_made(), out.frames);
        if (*n < size) break;
    }
    Result<std::size_t> after = decoder.read(buffer.data(), size);
    EXPECT_TRUE(after.has_value() && *after == 0) << "reads after the end make nothing";
    return out;
}

std::vector<std::int32_t> random_signal(std::mt19937_64& rng, std::size_t n, int kind) {
    std::vector<std::int32_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (kind) {
            case 0: s[i] = static_cast<std::int32_t>(rng() % 65536) - 32768; break;      // noise
            case 1: s[i] = static_cast<std::int32_t>((i / 13) % 40) * 300 - 6000; break;  // steps
            case 2: s[i] = (static_cast<std::int32_t>(rng() % 2001) - 1000) * 4; break;  // multiples of 4
            default: s[i] = static_cast<std::int32_t>(rng() % 256) - 128; break;         // mu-law values
        }
    }
    return s;
}

using testing::opts;

TEST(IncrementalDecoder, SameFramesAsTheWholeStreamForEveryReadSize) {
    struct Case {
        const char* name;
        testkit::ShortenOptions options;
        std::size_t frames;
        int signal;
    };
    const Case cases[] = {
        {"mono, blocksize 256", opts(1), 3000, 0},
        {"stereo, blocksize 256", opts(2), 3001, 1},
        {"three channels, blocksize 7", opts(3, 7), 500, 0},
        {"blocksize 1", opts(2, 1), 300, 1},
        {"blocksize larger than the stream", opts(2, 5000), 1200, 0},
        {"nmean 0", opts(1, 256, 0, 0), 2000, 1},
        {"QLPC up to order 8", opts(2, 256, 8), 4000, 1},
        {"QLPC up to order 32", opts(1, 512, 32), 4000, 0},
        {"bitshift 2", opts(2, 256, 0, 4, 5, [](testkit::ShortenOptions& o) { o.bitshift = 2; }), 2000, 2},
        {"bitshift per block", opts(1, 64), 2000, 2},
        {"mu-law", opts(2, 256, 0, 0, 8), 3000, 3},
        {"blocksize changes",
         opts(2, 100, 0, 4, 5, [](testkit::ShortenOptions& o) { o.blocksize_schedule = {100, 3, 250}; }), 2000, 1},
        {"verbatim and skip codes", opts(2, 256, 0, 4, 5,
                                         [](testkit::ShortenOptions& o) {
                                             o.nskip = 5;
                                             o.leading_verbatim = {1, 2, 3};
                                             o.verbatim_inserts = {{4, {9, 9}}};
                                         }),
         1000, 0},
    };
    std::mt19937_64 rng(1612);
    for (const Case& c : cases) {
        const std::vector<std::int32_t> samples = random_signal(rng, c.frames * c.options.channels, c.signal);
        const Result<Bytes> stream = testkit::encode_shorten(samples, c.options);
        ASSERT_TRUE(stream.has_value()) << c.name << ": " << stream.error().message;
        const Result<DecodedShorten> whole = decode_shorten(view(*stream));
        ASSERT_TRUE(whole.has_value()) << c.name;
        ASSERT_EQ(whole->frames, c.frames) << c.name;
        const std::vector<int> expected = testing::pcm_values(whole->pcm);
        for (std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{255}, std::size_t{256},
                                 std::size_t{257}, std::size_t{4096}, c.frames, c.frames + 1}) {
            const Reading got = read_all(view(*stream), size);
            ASSERT_FALSE(got.error.has_value()) << c.name << ", reads of " << size << ": " << got.error->message;
            EXPECT_EQ(got.frames, c.frames) << c.name << ", reads of " << size;
            EXPECT_TRUE(got.samples == expected) << c.name << ", reads of " << size;
        }
        const Reading checked = read_all(view(*stream), 100, Reconstruction::Checked);
        EXPECT_TRUE(checked.samples == expected) << c.name << ", checked";
    }
}

TEST(IncrementalDecoder, SkipsAsItReads) {
    std::mt19937_64 rng(7);
    const std::vector<std::int32_t> samples = random_signal(rng, 2 * 5000, 1);
    const Result<Bytes> stream = testkit::encode_shorten(samples, opts(2, 300));
    ASSERT_TRUE(stream.has_value());
    const std::vector<int> expected = testing::pcm_values(decode_shorten(view(*stream))->pcm);
    struct Case {
        std::uint64_t skip;
        std::size_t read;
    };
    for (const Case c : {Case{0, 10}, Case{1, 1}, Case{299, 2}, Case{300, 300}, Case{4999, 5}, Case{5000, 1},
                         Case{9999, 1}}) {
        Result<IncrementalDecoder> decoder = IncrementalDecoder::open(view(*stream));
        ASSERT_TRUE(decoder.has_value());
        const Result<std::uint64_t> skipped = decoder->skip(c.skip);
        ASSERT_TRUE(skipped.has_value());
        EXPECT_EQ(*skipped, std::min<std::uint64_t>(c.skip, 5000)) << c.skip;
        std::vector<std::int16_t> out(2 * c.read);
        const Result<std::size_t> n = decoder->read(out.data(), c.read);
        ASSERT_TRUE(n.has_value());
        const std::size_t first = static_cast<std::size_t>(*skipped);
        EXPECT_EQ(*n, std::min<std::size_t>(c.read, 5000 - first)) << c.skip;
        for (std::size_t i = 0; i < 2 * *n; ++i) ASSERT_EQ(out[i], expected[2 * first + i]) << c.skip << " " << i;
        EXPECT_EQ(decoder->frames_made(), first + *n);
    }
}

// Every cut of a stream fails as the whole-stream decoder fails, after
// handing out only frames that the uncut stream makes too.
TEST(IncrementalDecoder, CutStreamsFailTheSameAfterTheSameFrames) {
    std::mt19937_64 rng(99);
    struct Case {
        const char* name;
        testkit::ShortenOptions options;
        int signal;
    };
    const Case cases[] = {
        {"stereo", opts(2, 40), 0},
        {"QLPC", opts(1, 64, 6), 1},
        {"mu-law", opts(2, 50, 0, 0, 8), 3},
    };
    for (const Case& c : cases) {
        const std::vector<std::int32_t> samples = random_signal(rng, 400 * c.options.channels, c.signal);
        const Bytes full = *testkit::encode_shorten(samples, c.options);
        const std::vector<int> all = testing::pcm_values(decode_shorten(view(full))->pcm);
        // The encoder pads to whole words after QUIT; every cut before the
        // padding lacks some of the stream (QUIT ends in a nonzero byte or
        // spills zero bits into the next one, which such a cut drops too).
        std::size_t end = full.size();
        while (end > 0 && full[end - 1] == 0) --end;
        std::size_t with_frames = 0;
        for (std::size_t n = 0; n < end; ++n) {
            const ByteView cut(full.data(), n);
            const Result<DecodedShorten> whole = decode_shorten(cut);
            ASSERT_FALSE(whole.has_value()) << c.name << " cut to " << n;
            for (std::size_t size : {std::size_t{1}, std::size_t{33}}) {
                const Reading got = read_all(cut, size);
                ASSERT_TRUE(got.error.has_value()) << c.name << " cut to " << n;
                EXPECT_EQ(*got.error, whole.error()) << c.name << " cut to " << n;
                ASSERT_LE(got.samples.size(), all.size());
                EXPECT_TRUE(std::equal(got.samples.begin(), got.samples.end(), all.begin()))
                    << c.name << " cut to " << n;
                with_frames += got.frames > 0 ? 1 : 0;
            }
        }
        EXPECT_GT(with_frames, full.size() / 2) << c.name << ": most cuts come after some frames";
    }
}

// A stream handed over a part at a time: while each part reaches beyond
// where the decoder reads, the frames are those of the whole stream; a
// decoder that runs into the end of its part fails as a cut stream does.
TEST(IncrementalDecoder, GoesOnOverALongerViewOfTheSameStream) {
    std::mt19937_64 rng(77);
    const std::vector<std::int32_t> samples = random_signal(rng, 2 * 5000, 0);
    const Bytes full = *testkit::encode_shorten(samples, opts(2, 128, 4));
    const std::vector<int> all = testing::pcm_values(decode_shorten(view(full))->pcm);
    for (const std::size_t ahead : {std::size_t{2000}, std::size_t{9000}}) {
        std::size_t have = std::min<std::size_t>(full.size(), 64);
        Result<IncrementalDecoder> decoder = IncrementalDecoder::open(ByteView(full.data(), have));
        ASSERT_TRUE(decoder.has_value());
        std::vector<std::int16_t> out(2 * 50);
        std::vector<int> got;
        for (;;) {
            have = std::min<std::size_t>(full.size(), decoder->stream_bytes_read() + ahead);
            decoder->extend(ByteView(full.data(), have));
            const Result<std::size_t> n = decoder->read(out.data(), 50);
            ASSERT_TRUE(n.has_value()) << "ahead " << ahead << ": " << n.error().message;
            got.insert(got.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(2 * *n));
            if (*n < 50) break;
        }
        EXPECT_TRUE(got == all) << "ahead " << ahead;
        EXPECT_LE(decoder->stream_bytes_read(), full.size());
    }
    // Never extended: the part ends the stream, as a cut.
    const ByteView part(full.data(), full.size() / 2);
    Result<IncrementalDecoder> cut = IncrementalDecoder::open(part);
    ASSERT_TRUE(cut.has_value());
    const Result<std::uint64_t> skipped = cut->skip(5000);
    ASSERT_FALSE(skipped.has_value());
    EXPECT_EQ(skipped.error(), decode_shorten(part).error());
    cut->extend(view(full));  // too late: the fault stays
    EXPECT_EQ(cut->skip(1).error(), skipped.error());
}

TEST(IncrementalDecoder, MemoryFollowsTheBlockNotTheStream) {
    std::mt19937_64 rng(5);
    const std::size_t frames = 200000;
    const std::vector<std::int32_t> samples = random_signal(rng, 2 * frames, 1);
    const Result<Bytes> stream = testkit::encode_shorten(samples, opts(2, 256));
    ASSERT_TRUE(stream.has_value());
    Result<IncrementalDecoder> decoder = IncrementalDecoder::open(view(*stream));
    ASSERT_TRUE(decoder.has_value());
    std::vector<std::int16_t> out(2 * 1000);
    std::size_t most = 0;
    for (;;) {
        const Result<std::size_t> n = decoder->read(out.data(), 1000);
        ASSERT_TRUE(n.has_value());
        most = std::max(most, decoder->buffered_bytes());
        if (*n < 1000) break;
    }
    EXPECT_EQ(decoder->frames_made(), frames);
    // At most two blocks of every channel are held (the buffer doubles).
    EXPECT_LE(most, 2u * 2 * 256 * sizeof(std::int16_t));
    EXPECT_GT(most, 0u);
}

TEST(IncrementalDecoder, Edges) {
    // QUIT right after the header: no frames, the header's channels and type.
    const Bytes empty = Stream(Header{.type = 8, .channels = 3}).quit().bytes();
    Result<IncrementalDecoder> quiet = IncrementalDecoder::open(view(empty));
    ASSERT_TRUE(quiet.has_value());
    EXPECT_EQ(quiet->channel_count(), 3u);
    EXPECT_TRUE(quiet->is_ulaw());
    std::int16_t sink[3];
    EXPECT_EQ(*quiet->read(sink, 1), 0u);
    EXPECT_EQ(*quiet->skip(10), 0u);
    EXPECT_EQ(quiet->frames_made(), 0u);

    // Two channels, blocks for channel 0, 1, 0: one block's frames.
    const Bytes uneven = Stream(Header{.channels = 2, .blocksize = 2})
                             .diff(1, 1, {1, 1})
                             .diff(1, 1, {-1, -1})
                             .diff(1, 1, {3, 3})
                             .quit()
                             .bytes();
    const Reading three = read_all(view(uneven), 1);
    EXPECT_FALSE(three.error.has_value());
    EXPECT_EQ(three.samples, (std::vector<int>{1, -1, 2, -2}));

    // Channels out of step (BLOCKSIZE inside a cycle): channel 0 runs two
    // samples ahead; the frames are those both channels have.
    const Bytes drifting = Stream(Header{.channels = 2, .blocksize = 4})
                               .diff(0, 4, {1, 2, 3, 4})
                               .blocksize(2)
                               .diff(0, 4, {5, 6})
                               .diff(0, 4, {7, 8})
                               .diff(0, 4, {9, 10})
                               .quit()
                               .bytes();
    for (std::size_t size : {std::size_t{1}, std::size_t{3}, std::size_t{10}}) {
        const Reading got = read_all(view(drifting), size);
        EXPECT_EQ(got.samples, (std::vector<int>{1, 5, 2, 6, 3, 9, 4, 10})) << size;
        EXPECT_EQ(got.samples, testing::pcm_values(decode_shorten(view(drifting))->pcm)) << size;
    }

    // A failure is kept: the same error again, nothing more handed out.
    const Bytes bad = Stream(Header{.channels = 1, .blocksize = 2}).diff(0, 1, {1, 2}).fn(12).bytes();
    Result<IncrementalDecoder> failing = IncrementalDecoder::open(view(bad));
    ASSERT_TRUE(failing.has_value());
    std::int16_t two[2];
    EXPECT_EQ(*failing->read(two, 2), 2u);  // the block before the fault
    EXPECT_EQ(two[0], 1);
    EXPECT_EQ(two[1], 2);
    const Error unknown = listed_invalid("unknown shorten function code 12");
    EXPECT_EQ(failing->read(two, 1).error(), unknown);
    EXPECT_EQ(failing->skip(1).error(), unknown);
    EXPECT_EQ(failing->frames_made(), 2u);

    // The header's faults, in the whole-stream decoder's order.
    for (const Bytes& stream : {Bytes{'a', 'j', 'k'}, Bytes{'a', 'j', 'k', 'g'}, Bytes{'a', 'j', 'k', 'g', 3},
                                Stream(Header{.type = 4, .nskip = 2}).bytes(),
                                Stream(Header{.channels = 0}).bytes()}) {
        const Result<IncrementalDecoder> opened = IncrementalDecoder::open(view(stream));
        ASSERT_FALSE(opened.has_value());
        EXPECT_EQ(opened.error(), decode_shorten(view(stream)).error());
    }
}

}  // namespace
}  // namespace sonavert::shorten
