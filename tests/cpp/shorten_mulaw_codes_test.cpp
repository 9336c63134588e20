// The Shorten decoders asked for the code bytes of mu-law streams: the bytes
// as they were coded (a negative zero stays 0x7F), from the whole-stream and
// the incremental decoder, through both reconstruction paths, with the
// errors and frame counts of a decode of levels.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <vector>

#include "catalogue_support.hpp"
#include "shorten/decoder.hpp"
#include "shorten/incremental.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Header;
using testing::Stream;
using testing::view;

Bytes stream_of(const Header& h, const std::function<void(Stream&)>& body) {
    Stream s(h);
    body(s);
    s.quit();
    return s.bytes();
}

Result<DecodedShorten> codes(const Bytes& stream, Reconstruction mode, std::size_t lead = 0,
                             std::optional<std::uint64_t> frames_needed = std::nullopt) {
    return decode_shorten(view(stream), mode, frames_needed, lead, ShortenSamples::MuLawCodes);
}

TEST(ShortenMuLawCodes, AreTheCodedBytes) {
    struct Case {
        const char* name;
        Header header;
        std::function<void(Stream&)> body;
        Bytes expected;
    };
    const Case cases[] = {
        {"bitshift 0: both zeros kept", {.type = 8}, [](Stream& s) { s.diff(0, 8, {-128, -1, 0, 127}); },
         {0x00, 0x7F, 0xFF, 0x80}},
        {"bitshift 1, beyond the codes", {.type = 8},
         [](Stream& s) { s.bitshift(1).diff(0, 13, {8, 9, 119, 5000}).diff(0, 13, {-8, -120, -5000, 0}); },
         {0xEF, 0xEE, 0x80, 0x80, 0x71, 0x00, 0x00, 0xFF}},
        {"ZERO is code 0xFF", {.type = 8}, [](Stream& s) { s.diff(0, 8, {-1, -1, -1, -1}).zero(); },
         {0x7F, 0x7F, 0x7F, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"stereo, interleaved", {.type = 8, .channels = 2, .blocksize = 2},
         [](Stream& s) { s.diff(0, 8, {-1, 5}).diff(0, 8, {0, -2}).zero().diff(0, 8, {-128, 127}); },
         {0x7F, 0xFF, 0xFA, 0x7E, 0xFF, 0x00, 0xFF, 0x80}},
        {"DIFF1 across blocks", {.type = 8, .blocksize = 2},
         [](Stream& s) { s.diff(1, 8, {-1, -1}).diff(1, 8, {2, 1}); }, {0x7F, 0x7E, 0xFF, 0xFE}},
    };
    for (const Case& c : cases) {
        const Bytes stream = stream_of(c.header, c.body);
        for (const Reconstruction mode : {Reconstruction::Proven, Reconstruction::Checked}) {
            Result<DecodedShorten> d = codes(stream, mode);
            ASSERT_TRUE(d.has_value()) << c.name << ": " << d.error().message;
            EXPECT_TRUE(d->codes && d->is_ulaw) << c.name;
            EXPECT_EQ(d->frames * d->channel_count, c.expected.size()) << c.name;
            EXPECT_EQ(Bytes(d->pcm.data(), d->pcm.data() + d->pcm.size()), c.expected) << c.name;
        }
        // The incremental decoder, one frame at a time.
        Result<IncrementalDecoder> inc = IncrementalDecoder::open(view(stream), Reconstruction::Proven,
                                                                  ShortenSamples::MuLawCodes);
        ASSERT_TRUE(inc.has_value()) << c.name;
        ASSERT_TRUE(inc->gives_codes()) << c.name;
        Bytes got, frame(inc->channel_count());
        for (;;) {
            Result<std::size_t> n = inc->read_codes(frame.data(), 1);
            ASSERT_TRUE(n.has_value()) << c.name << ": " << n.error().message;
            if (*n == 0) break;
            got.insert(got.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(ShortenMuLawCodes, KeepTheLeadAndTheFramesNeeded) {
    const Bytes stream = stream_of({.type = 8, .channels = 2, .blocksize = 3},
                                   [](Stream& s) { s.diff(0, 8, {-1, 0, 3}).diff(0, 8, {-5, -1, 127}); });
    Result<DecodedShorten> d = codes(stream, Reconstruction::Proven, 4, 2);
    ASSERT_TRUE(d.has_value()) << d.error().message;
    EXPECT_EQ(d->frames, 3u);
    ASSERT_EQ(d->pcm.size(), 4u + 2 * 2);  // the lead, then 2 frames of 2 codes
    EXPECT_EQ(Bytes(d->pcm.data() + 4, d->pcm.data() + d->pcm.size()), (Bytes{0x7F, 0x7B, 0xFF, 0x7F}));
}

TEST(ShortenMuLawCodes, LinearStreamsGiveLevels) {
    const Bytes stream = stream_of({.type = 5}, [](Stream& s) { s.diff(0, 8, {-1, 0, 300, -300}).zero(); });
    Result<DecodedShorten> levels = decode_shorten(view(stream));
    Result<DecodedShorten> asked = codes(stream, Reconstruction::Proven);
    ASSERT_TRUE(levels.has_value() && asked.has_value());
    EXPECT_FALSE(asked->codes);
    EXPECT_EQ(Bytes(asked->pcm.data(), asked->pcm.data() + asked->pcm.size()),
              Bytes(levels->pcm.data(), levels->pcm.data() + levels->pcm.size()));
    Result<IncrementalDecoder> inc =
        IncrementalDecoder::open(view(stream), Reconstruction::Proven, ShortenSamples::MuLawCodes);
    ASSERT_TRUE(inc.has_value());
    EXPECT_FALSE(inc->gives_codes());
    Bytes frame(1);
    EXPECT_THROW((void)inc->read_codes(frame.data(), 1), std::logic_error);
}

TEST(ShortenMuLawCodes, FailAsLevelsDo) {
    const Error domain = listed_unsupported("shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain");
    struct Case {
        const char* name;
        std::function<void(Stream&)> body;
    };
    const Case cases[] = {
        {"outside the codes at bitshift 0", [](Stream& s) { s.diff(0, 9, {1, 128, 0, 0}); }},
        {"after a ZERO block", [](Stream& s) { s.zero().diff(0, 9, {128, 0, 0, 0}); }},
    };
    for (const Case& c : cases) {
        const Bytes stream = stream_of({.type = 8}, c.body);
        Result<DecodedShorten> levels = decode_shorten(view(stream));
        ASSERT_FALSE(levels.has_value()) << c.name;
        EXPECT_EQ(levels.error(), domain) << c.name;
        for (const Reconstruction mode : {Reconstruction::Proven, Reconstruction::Checked}) {
            Result<DecodedShorten> d = codes(stream, mode);
            ASSERT_FALSE(d.has_value()) << c.name;
            EXPECT_EQ(d.error(), domain) << c.name;
        }
    }
    // A decoder that gives codes has no levels to read.
    const Bytes ok = stream_of({.type = 8}, [](Stream& s) { s.zero(); });
    Result<IncrementalDecoder> inc = IncrementalDecoder::open(view(ok), Reconstruction::Proven,
                                                              ShortenSamples::MuLawCodes);
    ASSERT_TRUE(inc.has_value());
    std::int16_t sample = 0;
    EXPECT_THROW((void)inc->read(&sample, 1), std::logic_error);
}

}  // namespace
}  // namespace sonavert::shorten
