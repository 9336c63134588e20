#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalogue_support.hpp"
#include "codecs/g711.hpp"
#include "shorten/decoder.hpp"
#include "shorten/to_pcm.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using testing::Header;
using testing::pcm_values;
using testing::Stream;
using testing::view;
using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<int>;

const Error kTruncated = listed_invalid("truncated or corrupt shorten stream: ran past end of bitstream");
const Error kOverflow = listed_invalid("shorten reconstruction overflowed i64 (corrupt stream)");
constexpr std::int64_t k25 = std::int64_t{1} << 25;
constexpr std::int64_t k30 = std::int64_t{1} << 30;
constexpr std::int64_t k47 = std::int64_t{1} << 47;

// Decodes through both reconstruction paths, which must agree exactly.
Result<DecodedShorten> decode(const Bytes& stream) {
    Result<DecodedShorten> proven = decode_shorten(view(stream), Reconstruction::Proven);
    Result<DecodedShorten> checked = decode_shorten(view(stream), Reconstruction::Checked);
    EXPECT_EQ(proven.has_value(), checked.has_value());
    if (proven && checked) {
        EXPECT_EQ(proven->channel_count, checked->channel_count);
        EXPECT_EQ(proven->is_ulaw, checked->is_ulaw);
        EXPECT_EQ(pcm_values(proven->pcm), pcm_values(checked->pcm));
    } else if (!proven && !checked) {
        EXPECT_EQ(proven.error(), checked.error());
    }
    return proven;
}

Values samples(const Bytes& stream) {
    Result<DecodedShorten> d = decode(stream);
    if (!d) {
        ADD_FAILURE() << d.error().message;
        return {};
    }
    return pcm_values(d->pcm);
}

Error failure(const Bytes& stream) {
    Result<DecodedShorten> d = decode(stream);
    if (d) {
        ADD_FAILURE() << "decoded " << d->pcm.size() << " bytes";
        return Error{ErrorKind::Invalid, "(decoded)"};
    }
    return d.error();
}

Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

Bytes raw(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Mono 16-bit streams: the header, `body`, QUIT.
Bytes mono(Header h, const std::function<void(Stream&)>& body) {
    Stream s(h);
    body(s);
    s.quit();
    return s.bytes();
}

// Blocks of one sample that take the channel's samples (from 0) along the
// ramp step, 2 * step, ..., n * step (DIFF1, then DIFF2 extrapolation).
// Means play no part in DIFF1 and DIFF2.
void ramp(Stream& s, std::uint64_t n, std::int64_t step = k47) {
    s.blocksize(1).diff(1, 31, {step});
    for (std::uint64_t i = 1; i < n; ++i) s.diff(2, 0, {0});
}

TEST(ShortenDecoder, WorkedExample) {
    const Bytes bytes = {0x61, 0x6A, 0x6B, 0x67, 0x02, 0xFB, 0x7F, 0x93, 0x33, 0x67, 0x6B, 0x10};
    Result<DecodedShorten> d = decode(bytes);
    ASSERT_TRUE(d.has_value()) << d.error().message;
    EXPECT_EQ(d->channel_count, 1u);
    EXPECT_FALSE(d->is_ulaw);
    EXPECT_EQ(pcm_values(d->pcm), (Values{1, 2, 1, 1}));
    // The stream builder writes the same bytes.
    EXPECT_EQ(mono({}, [](Stream& s) { s.diff(1, 1, {1, 1, -1, 0}); }), bytes);
}

// The header with `skip_codes` skip codes (QUIT follows when all nskip of
// them are there).
Bytes header_only(Header h, std::uint64_t skip_codes) {
    Stream s;
    for (std::uint64_t v : {h.type, h.channels, h.blocksize, h.maxnlpc, h.nmean, h.nskip}) s.w.ulong(v);
    for (std::uint64_t i = 0; i < skip_codes; ++i) s.w.uvar(3, 1);
    if (skip_codes == h.nskip) s.quit();
    return s.bytes();
}

TEST(ShortenDecoder, PreambleAndHeaderFailures) {
    const Error magic = listed_invalid("not a shorten stream (missing 'ajkg' magic)");
    const Error type4 = listed_unsupported("shorten sample type 4 not supported (16-bit PCM and mu-law only)");
    struct Case {
        const char* name;
        Bytes stream;
        Error error;
    };
    const Case cases[] = {
        {"empty", {}, magic},
        {"3 bytes", raw("ajk"), magic},
        {"wrong magic", raw("ajkh\x02"), magic},
        {"upper case", raw("AJKG\x02"), magic},
        {"4 bytes", raw("ajkg"), listed_invalid("truncated shorten stream: missing version byte")},
        {"version 3", raw("ajkg\x03"), listed_unsupported("shorten version 3 not supported (only v2 is validated)")},
        {"version 255", raw("ajkg\xff"), listed_unsupported("shorten version 255 not supported (only v2 is validated)")},
        {"version only", raw("ajkg\x02"), kTruncated},
        {"type 4", header_only({.type = 4}, 0), type4},
        {"type 0", header_only({.type = 0}, 0),
         listed_unsupported("shorten sample type 0 not supported (16-bit PCM and mu-law only)")},
        // The skip codes are read before the sample type is tested.
        {"type 4, skip codes missing", header_only({.type = 4, .nskip = 3}, 2), kTruncated},
        {"type 4 after skip codes", header_only({.type = 4, .nskip = 3}, 3), type4},
        {"nskip first", header_only({.type = 4, .channels = 0, .nskip = 1048577}, 0),
         listed_invalid("implausible nskip 1048577")},
        {"channels 0", header_only({.channels = 0}, 0), listed_invalid("invalid shorten channel count 0")},
        {"channels 257", header_only({.channels = 257}, 0), listed_invalid("invalid shorten channel count 257")},
        {"type before channels", header_only({.type = 4, .channels = 0}, 0), type4},
        {"blocksize 0", header_only({.blocksize = 0}, 0), listed_invalid("invalid shorten blocksize 0")},
        {"blocksize 2^24 + 1", header_only({.blocksize = 16777217}, 0),
         listed_invalid("invalid shorten blocksize 16777217")},
        {"channels before blocksize", header_only({.channels = 0, .blocksize = 0}, 0),
         listed_invalid("invalid shorten channel count 0")},
        {"maxnlpc 1025", header_only({.maxnlpc = 1025}, 0), listed_unsupported("implausible maxnlpc 1025")},
        {"blocksize before maxnlpc", header_only({.blocksize = 0, .maxnlpc = 1025}, 0),
         listed_invalid("invalid shorten blocksize 0")},
        {"nmean 65537", header_only({.nmean = 65537}, 0), listed_unsupported("implausible nmean 65537")},
        {"maxnlpc before nmean", header_only({.maxnlpc = 1025, .nmean = 65537}, 0),
         listed_unsupported("implausible maxnlpc 1025")},
        {"header cut short", cut(header_only({.blocksize = 256}, 0), 7), kTruncated},
    };
    for (const Case& c : cases) EXPECT_EQ(failure(c.stream), c.error) << c.name;
}

TEST(ShortenDecoder, QuitAfterHeader) {
    struct Case {
        Header header;
        std::uint64_t channels;
        bool ulaw;
    };
    const Case cases[] = {
        {{.type = 3}, 1, false},
        {{.type = 5, .channels = 2}, 2, false},
        {{.type = 8, .channels = 256}, 256, true},
        {{.blocksize = 16777216, .maxnlpc = 1024, .nmean = 65536}, 1, false},
        {{.maxnlpc = 3, .nskip = 1048576}, 1, false},
    };
    for (const Case& c : cases) {
        Result<DecodedShorten> d = decode(header_only(c.header, c.header.nskip));
        ASSERT_TRUE(d.has_value()) << d.error().message;
        EXPECT_EQ(d->channel_count, c.channels);
        EXPECT_EQ(d->is_ulaw, c.ulaw);
        EXPECT_TRUE(d->pcm.empty());
    }
}

TEST(ShortenDecoder, CommandFailures) {
    struct Case {
        const char* name;
        Header header;
        std::function<void(Stream&)> body;  // QUIT is not appended
        Error error;
    };
    const Case cases[] = {
        {"function 10", {}, [](Stream& s) { s.fn(10); }, listed_invalid("unknown shorten function code 10")},
        {"function 13", {}, [](Stream& s) { s.fn(13); }, listed_invalid("unknown shorten function code 13")},
        {"bitshift 33", {}, [](Stream& s) { s.bitshift(33); },
         listed_unsupported("shorten bitshift 33 is implausibly large (corrupt or unsupported)")},
        {"BLOCKSIZE 0", {}, [](Stream& s) { s.blocksize(0); }, listed_invalid("invalid shorten blocksize 0")},
        {"BLOCKSIZE 2^24 + 1", {}, [](Stream& s) { s.blocksize(16777217); },
         listed_invalid("invalid shorten blocksize 16777217")},
        // The order test comes before any coefficient is read.
        {"QLPC order above maxnlpc", {.maxnlpc = 1},
         [](Stream& s) { s.fn(kQlpc), s.w.uvar(0, 3), s.w.uvar(2, 2); },
         listed_invalid("shorten QLPC order 2 exceeds maxnlpc 1")},
        {"QLPC order 1025", {.maxnlpc = 1024},
         [](Stream& s) { s.fn(kQlpc), s.w.uvar(0, 3), s.w.uvar(1025, 2); },
         listed_invalid("shorten QLPC order 1025 exceeds maxnlpc 1024")},
        {"energy 32", {}, [](Stream& s) { s.diff(0, 32, {1, 2, 3, 4}).quit(); },
         listed_invalid("oversized uvar width 33")},
        {"energy 200", {}, [](Stream& s) { s.diff(3, 200, {}); }, listed_invalid("oversized uvar width 201")},
        {"block cut short", {}, [](Stream& s) { s.diff(1, 3, {1, 2}); }, kTruncated},
        {"no QUIT", {}, [](Stream& s) { s.diff(1, 3, {1, 2, 3, 4}); }, kTruncated},
        {"VERBATIM cut short", {}, [](Stream& s) { s.fn(kVerbatim), s.w.uvar(3, 5), s.w.uvar(7, 8); },
         kTruncated},
        {"coefficients cut short", {.maxnlpc = 2},
         [](Stream& s) { s.fn(kQlpc), s.w.uvar(0, 3), s.w.uvar(2, 2), s.w.var(5, 6); }, kTruncated},
    };
    for (const Case& c : cases) {
        Stream s(c.header);
        c.body(s);
        EXPECT_EQ(failure(s.bytes()), c.error) << c.name;
    }
}

TEST(ShortenDecoder, Reconstruction) {
    const codecs::G711Table mu = codecs::make_g711_table(false);
    struct Case {
        const char* name;
        Header header;
        std::function<void(Stream&)> body;
        Values expected;
    };
    const Case cases[] = {
        {"DIFF0", {}, [](Stream& s) { s.diff(0, 3, {5, -3, 0, 7}); }, {5, -3, 0, 7}},
        {"DIFF1", {}, [](Stream& s) { s.diff(1, 3, {1, 1, -1, 0}); }, {1, 2, 1, 1}},
        {"DIFF2", {}, [](Stream& s) { s.diff(2, 3, {1, 0, 0, 0}); }, {1, 2, 3, 4}},
        {"DIFF3", {}, [](Stream& s) { s.diff(3, 3, {1, 0, 0, 0}); }, {1, 3, 6, 10}},
        {"history carries over", {},
         [](Stream& s) { s.diff(1, 0, {1, 1, 1, 1}).diff(2, 0, {0, 0, 0, 0}); },
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"QLPC order 2", {.maxnlpc = 2},
         [](Stream& s) { s.diff(1, 3, {4, 4, 4, 4}).qlpc(0, {48, -16}, {0, 0, 0, 0}); },
         {4, 8, 12, 16, 19, 21, 23, 25}},
        {"QLPC shift rounds down", {.maxnlpc = 1},
         [](Stream& s) { s.diff(0, 5, {0, 0, 0, 25}).qlpc(0, {-33}, {0, 0, 0, 0}); },
         {0, 0, 0, 25, -25, 26, -26, 27}},
        {"QLPC reads the history of ZERO", {.maxnlpc = 8},
         [](Stream& s) { s.diff(3, 3, {1, 0, 0, 0}).blocksize(2).zero().qlpc(0, {0, 0, 0, 32}, {0, 0}); },
         {1, 3, 6, 10, 0, 0, 7, 11}},
        {"ZERO resets the predictor", {},
         [](Stream& s) { s.diff(1, 0, {1, 1, 1, 1}).zero().diff(1, 0, {1, 0, 0, 0}); },
         {1, 2, 3, 4, 0, 0, 0, 0, 1, 1, 1, 1}},
        {"BLOCKSIZE", {}, [](Stream& s) { s.blocksize(2).diff(0, 4, {9, 8}).blocksize(3).diff(1, 0, {0, 1, 0}); },
         {9, 8, 8, 9, 9}},
        {"VERBATIM is skipped", {},
         [](Stream& s) { s.verbatim({1, 2, 255, 1000}).diff(0, 3, {1, 2, 3, 4}).verbatim({}); }, {1, 2, 3, 4}},
        {"clamped to 16 bits", {},
         [](Stream& s) { s.diff(0, 16, {40000, -40000, 32767, -32768}); }, {32767, -32768, 32767, -32768}},
        {"bitshift saturates the output, not the history", {},
         [](Stream& s) { s.bitshift(2).diff(1, 14, {3, 9997, -9990, 0}).bitshift(0).diff(1, 0, {0, 0, 0, 0}); },
         {12, 32767, 40, 40, 10, 10, 10, 10}},
        {"bitshift 15", {}, [](Stream& s) { s.bitshift(15).diff(0, 3, {1, -1, 2, 0}); }, {32767, -32768, 32767, 0}},
        {"bitshift 16", {}, [](Stream& s) { s.bitshift(16).diff(0, 3, {1, -1, 0, 0}); }, {32767, -32768, 0, 0}},
        {"bitshift 32", {}, [](Stream& s) { s.bitshift(32).diff(0, 3, {1, -1, 0, 0}); }, {32767, -32768, 0, 0}},
        {"type 8, bitshift 0", {.type = 8}, [](Stream& s) { s.diff(0, 8, {-128, -1, 0, 127}); },
         {mu[0x00], mu[0x7F], mu[0xFF], mu[0x80]}},
        {"type 8, bitshift 1", {.type = 8},
         [](Stream& s) { s.bitshift(1).diff(0, 13, {8, 9, 119, 5000}).diff(0, 13, {-8, -120, -5000, 0}); },
         {mu[0xEF], mu[0xEE], mu[0x80], mu[0x80], mu[0x71], mu[0x00], mu[0x00], mu[0xFF]}},
        {"type 8 ZERO", {.type = 8}, [](Stream& s) { s.bitshift(3).zero(); }, {0, 0, 0, 0}},
        {"block mean truncates toward zero", {.nmean = 1},
         [](Stream& s) { s.diff(0, 3, {-2, -3, -1, -1}).diff(0, 0, {0, 0, 0, 0}); },
         {-2, -3, -1, -1, -1, -1, -1, -1}},
        {"missing means count as zero", {.nmean = 4},
         [](Stream& s) { s.diff(0, 4, {8, 8, 8, 8}).diff(0, 0, {0, 0, 0, 0}).diff(0, 0, {0, 0, 0, 0}); },
         {8, 8, 8, 8, 2, 2, 2, 2, 3, 3, 3, 3}},
        {"ZERO appends a mean of 0", {.nmean = 1},
         [](Stream& s) { s.diff(0, 4, {8, 8, 8, 8}).zero().diff(0, 0, {0, 0, 0, 0}); },
         {8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"QLPC subtracts and adds the mean offset", {.maxnlpc = 1, .nmean = 1},
         [](Stream& s) { s.diff(0, 4, {8, 8, 8, 8}).qlpc(0, {32}, {0, 0, 0, 0}); },
         {8, 8, 8, 8, 9, 10, 11, 12}},
        // Mean offset (33 + 2) / 4 = 8 over nmean 2 gives (8 + 1) / 2 = 4.
        {"QLPC order 0", {.nmean = 2},
         [](Stream& s) { s.diff(0, 4, {7, 8, 9, 9}).qlpc(2, {}, {1, -2, 3, 0}); }, {7, 8, 9, 9, 5, 2, 7, 4}},
        // A coefficient of 2^30 does not fit the 32-bit taps: the block is
        // reconstructed step by step. Each prediction is 2^25 * s + 1.
        {"QLPC coefficient of 2^30", {.maxnlpc = 1},
         [](Stream& s) {
             s.diff(0, 3, {0, 0, 0, 1}).qlpc(28, {k30}, {1 - k25, -4 - 2 * k25, 3 + 3 * k25, -1 - 4 * k25});
         },
         {0, 0, 0, 1, 2, -3, 4, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(samples(mono(c.header, c.body)), c.expected) << c.name;
}

// An order-0 QLPC block and a DIFF0 block read the same residuals and add
// the same mean offset.
TEST(ShortenDecoder, QlpcOrder0IsDiff0) {
    for (std::uint64_t nmean : {0, 1, 3}) {
        auto stream = [&](bool qlpc) {
            return mono({.maxnlpc = 2, .nmean = nmean}, [&](Stream& s) {
                s.diff(0, 6, {7, -30, 9, 12}).diff(2, 3, {1, 2, 3, 4});
                if (qlpc) {
                    s.qlpc(3, {}, {5, -6, 7, 0});
                } else {
                    s.diff(0, 3, {5, -6, 7, 0});
                }
            });
        };
        EXPECT_EQ(samples(stream(true)), samples(stream(false))) << "nmean " << nmean;
    }
}

TEST(ShortenDecoder, Channels) {
    struct Case {
        const char* name;
        Header header;
        std::function<void(Stream&)> body;
        Values expected;
    };
    const Case cases[] = {
        {"interleaved, incomplete cycle dropped", {.channels = 2},
         [](Stream& s) { s.diff(0, 4, {1, 2, 3, 4}).verbatim({9}).diff(0, 4, {5, 6, 7, 8}).diff(0, 4, {9, 9, 9, 9}); },
         {1, 5, 2, 6, 3, 7, 4, 8}},
        {"shortest channel decides", {.channels = 2},
         [](Stream& s) { s.diff(0, 4, {1, 2, 3, 4}).blocksize(2).diff(0, 4, {5, 6}); }, {1, 5, 2, 6}},
        {"one block of three channels", {.channels = 3}, [](Stream& s) { s.diff(0, 4, {1, 2, 3, 4}); }, {}},
        {"three channels", {.channels = 3, .blocksize = 2},
         [](Stream& s) { s.diff(0, 4, {1, 2}).diff(0, 4, {3, 4}).diff(0, 4, {5, 6}).diff(0, 4, {7, 8}); },
         {1, 3, 5, 2, 4, 6}},
        {"history and means per channel", {.channels = 2, .nmean = 1},
         [](Stream& s) {
             s.diff(1, 4, {8, 0, 0, 0}).diff(1, 4, {4, 0, 0, 0});
             s.diff(0, 0, {0, 0, 0, 0}).diff(1, 0, {0, 0, 0, 1});
         },
         {8, 4, 8, 4, 8, 4, 8, 4, 8, 4, 8, 4, 8, 4, 8, 5}},
    };
    for (const Case& c : cases) EXPECT_EQ(samples(mono(c.header, c.body)), c.expected) << c.name;
}

TEST(ShortenDecoder, Type8DomainAtBitshift0) {
    const Error e128 =
        listed_unsupported("shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain");
    struct Case {
        const char* name;
        std::function<void(Stream&)> body;
        Error error;
    };
    const Case cases[] = {
        {"128", [](Stream& s) { s.diff(0, 8, {0, 128, 0, 0}); }, e128},
        {"-129", [](Stream& s) { s.diff(0, 8, {-129, 0, 0, 0}); },
         listed_unsupported("shorten type-8 reconstructed value -129 is outside the 8-bit mu-law domain")},
        {"first of several", [](Stream& s) { s.diff(0, 10, {0, 128, 500, -300}); }, e128},
        // The whole block is read before its output stage.
        {"truncation later in the block", [](Stream& s) { s.fn(0), s.w.uvar(8, 3), s.w.var(128, 9); }, kTruncated},
    };
    for (const Case& c : cases) {
        Stream s({.type = 8});
        c.body(s);
        if (c.error != kTruncated) s.quit();
        EXPECT_EQ(failure(s.bytes()), c.error) << c.name;
    }
}

TEST(ShortenDecoder, Overflow) {
    struct Case {
        const char* name;
        Header header;
        std::function<void(Stream&)> body;
        Error error;
    };
    const Case cases[] = {
        // 2 * s1 overflows although r + 2 * s1 - s2 would fit.
        {"DIFF2 after 2^62", {}, [](Stream& s) { ramp(s, 32768); s.diff(2, 31, {-(std::int64_t{1} << 30)}); },
         kOverflow},
        {"DIFF3 3 * s1", {}, [](Stream& s) { ramp(s, 24576); s.diff(3, 0, {0}); }, kOverflow},  // 3 * 2^61.58
        {"DIFF3 3 * s1 fits", {}, [](Stream& s) { ramp(s, 21845); s.diff(3, 0, {0}); }, kTruncated},
        // The overflowing sample comes before the end of the data.
        {"before truncation", {}, [](Stream& s) { ramp(s, 32768); s.blocksize(4).diff(2, 0, {0, 0}); },
         kOverflow},
        // Block means: the sum of a block overflows at completion, but only
        // after the whole block has been read.
        {"block mean", {.nmean = 1},
         [](Stream& s) { s.blocksize(1).diff(1, 31, {k47}).blocksize(32767).diff(2, 0, std::vector<std::int64_t>(32767, 0)).quit(); },
         kOverflow},
        {"block mean after truncation", {.nmean = 1},
         [](Stream& s) { s.blocksize(1).diff(1, 31, {k47}).blocksize(32767).diff(2, 0, std::vector<std::int64_t>(32766, 0)); },
         kTruncated},
        // The last means 2^62 - 2^48, 2^62 - 2^47 and 2^62 overflow the mean
        // offset at the third addition, before any residual is read.
        {"mean offset", {.nmean = 3}, [](Stream& s) { ramp(s, 32768); s.fn(0), s.w.uvar(0, 3); }, kOverflow},
        {"mean offset, QLPC", {.maxnlpc = 1, .nmean = 3},
         [](Stream& s) { ramp(s, 32768); s.fn(kQlpc), s.w.uvar(0, 3), s.w.uvar(0, 2); }, kOverflow},
        {"means that fit", {.nmean = 2}, [](Stream& s) { ramp(s, 32768); s.fn(0), s.w.uvar(0, 3); }, kTruncated},
        // Cases at the bounds of the fast paths. Samples of 3 * 2^48 (below
        // 2^50): 11000 of them overflow the block's sum, 10922 do not.
        {"block sum of samples below 2^50", {.nmean = 1},
         [](Stream& s) { ramp(s, 12288, std::int64_t{1} << 36); s.blocksize(11000).diff(1, 0, std::vector<std::int64_t>(11000, 0)); },
         kOverflow},
        {"block sum that fits", {.nmean = 1},
         [](Stream& s) { ramp(s, 12288, std::int64_t{1} << 36); s.blocksize(10922).diff(1, 0, std::vector<std::int64_t>(10922, 0)).fn(0), s.w.uvar(0, 3); },
         kTruncated},
        // -32 * 2^60 overflows although the shifted sum would be small.
        {"QLPC product", {.maxnlpc = 1},
         [](Stream& s) { ramp(s, 8192); s.qlpc(0, {-32}, {0}); }, kOverflow},
        {"QLPC product that fits", {.maxnlpc = 1},
         [](Stream& s) { ramp(s, 2048); s.qlpc(0, {-32}, {0}).fn(0), s.w.uvar(0, 3); }, kTruncated},
        // History -2^56, -2^56: each product -64 * -2^56 is 2^62, their sum
        // 2^63 does not fit.
        {"QLPC sum of products", {.maxnlpc = 2},
         [](Stream& s) { ramp(s, 512, -k47); s.diff(1, 0, {0}).qlpc(0, {-64, -64}, {0}); }, kOverflow},
        // 2^30 * 2^34 under the step-by-step reconstruction.
        {"QLPC coefficient of 2^30", {.maxnlpc = 1},
         [](Stream& s) { s.blocksize(1).diff(0, 31, {std::int64_t{1} << 34}).qlpc(0, {k30}, {0}); }, kOverflow},
        {"QLPC coefficient of 2^30, product that fits", {.maxnlpc = 1},
         [](Stream& s) { s.blocksize(1).diff(0, 31, {std::int64_t{1} << 32}).qlpc(0, {k30}, {0}).fn(0), s.w.uvar(0, 3); },
         kTruncated},
        {"QLPC sum of products that fits", {.maxnlpc = 2},
         [](Stream& s) { ramp(s, 512, -k47); s.diff(1, 0, {0}).qlpc(0, {-64, -63}, {0}).fn(0), s.w.uvar(0, 3); },
         kTruncated},
    };
    for (const Case& c : cases) {
        Stream s(c.header);
        c.body(s);
        EXPECT_EQ(failure(s.bytes()), c.error) << c.name;
    }
}

// 2^62 in a linear stream: the history keeps it, the output saturates.
TEST(ShortenDecoder, SaturatedShiftOfLargeSamples) {
    Stream s(Header{});
    s.bitshift(2);
    ramp(s, 32768);  // ends at 2^62
    s.diff(1, 0, {0}).quit();
    const Values v = samples(s.bytes());
    ASSERT_EQ(v.size(), 32769u);
    EXPECT_EQ(v.back(), 32767);
}

TEST(ShortenDecoder, DecodedLengthLimit) {
    // 64 ZERO blocks of 2^24 samples: exactly 2^30 decoded samples.
    auto zeros = [](std::uint64_t type, std::uint64_t channels, const std::function<void(Stream&)>& tail) {
        Stream s({.type = type, .channels = channels, .blocksize = 16777216});
        for (int i = 0; i < 64; ++i) s.zero();
        tail(s);
        s.quit();
        return s.bytes();
    };
    const Error limit = listed_invalid("shorten stream exceeds the maximum decoded length");
    {
        Result<DecodedShorten> d = decode_shorten(view(zeros(5, 1, [](Stream&) {})));
        ASSERT_TRUE(d.has_value()) << d.error().message;
        EXPECT_EQ(d->pcm.size(), std::size_t{1} << 31);
    }
    // One more sample, also in a block that QUIT would drop.
    EXPECT_EQ(decode_shorten(view(zeros(5, 1, [](Stream& s) { s.blocksize(1).zero(); }))).error(), limit);
    EXPECT_EQ(decode_shorten(view(zeros(5, 2, [](Stream& s) { s.blocksize(1).zero(); }))).error(), limit);
    // The limit is tested before the mu-law domain.
    EXPECT_EQ(decode_shorten(view(zeros(8, 1, [](Stream& s) { s.blocksize(1).diff(0, 9, {300}); }))).error(),
              limit);
}

}  // namespace
}  // namespace sonavert::shorten
