#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue_support.hpp"
#include "codecs/g711.hpp"
#include "codecs/payload.hpp"
#include "pipeline_test_support.hpp"

namespace sonavert::codecs {
namespace {

using testing::Bytes;
using testing::describe;
using testing::from_hex;

Bytes bytes_of(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

// Fields of a validated header; a null value leaves the field out.
sphere::HeaderFields fields_of(std::optional<std::string> coding,
                               std::optional<std::string> n_bytes,
                               std::optional<std::string> byte_format,
                               std::string channels = "1", std::string count = "2") {
    sphere::HeaderFields f;
    f.set("sample_rate", "8000");
    f.set("channel_count", channels);
    f.set("sample_count", count);
    if (n_bytes) f.set("sample_n_bytes", *n_bytes);
    if (coding) f.set("sample_coding", *coding);
    if (byte_format) f.set("sample_byte_format", *byte_format);
    return f;
}

const std::nullopt_t absent = std::nullopt;

struct Decoded {
    std::uint16_t bits;
    const char* pcm_hex;
};

TEST(DecodePayload, PlainAndG711Rows) {
    struct Case {
        std::optional<std::string> coding;
        std::optional<std::string> n_bytes;
        std::optional<std::string> format;
        const char* payload_hex;
        Decoded expected;
    };
    const Case cases[] = {
        // Little-endian PCM is copied unchanged: absent coding, absent
        // format, "1" and "01", 16 and 32 bits.
        {absent, "2", absent, "12 34 56 78", {16, "12 34 56 78"}},
        {"pcm", "2", "01", "12 34 56 78", {16, "12 34 56 78"}},
        {"pcm", "2", "1", "12 34 56 78", {16, "12 34 56 78"}},
        {"pcm", "4", "01", "01 02 03 04", {32, "01 02 03 04"}},
        {"pcm", "4", absent, "01 02 03 04", {32, "01 02 03 04"}},
        // Big-endian: every sample's bytes reversed.
        {"pcm", "2", "10", "12 34 56 78", {16, "34 12 78 56"}},
        {"pcm", "4", "10", "01 02 03 04", {32, "04 03 02 01"}},
        {"pcm", "4", "10", "01 02 03 04 05 06 07 08 09 0A 0B 0C",
         {32, "04 03 02 01 08 07 06 05 0C 0B 0A 09"}},
        // A group shorter than one sample at the end stays as it is.
        {"pcm", "2", "10", "01 02 03", {16, "02 01 03"}},
        {"pcm", "4", "10", "01 02 03 04 05 06", {32, "04 03 02 01 05 06"}},
        // Empty payloads.
        {"pcm", "2", "10", "", {16, ""}},
        {"pcm", "4", "01", "", {32, ""}},
        {"ulaw", "1", absent, "", {16, ""}},
        // Case, blanks, and empty or ignored later parts.
        {" PCM\t", "2", "10", "12 34", {16, "34 12"}},
        {"Pcm", "2", "01", "12 34", {16, "12 34"}},
        {"pcm,", "2", "10", "12 34", {16, "34 12"}},
        {"pcm, \t", "2", "10", "12 34", {16, "34 12"}},
        {"pcm,,embedded-shorten-v2.00", "2", "01", "12 34", {16, "12 34"}},
        {"pcm\xC2\xA0", "2", "01", "12 34", {16, "12 34"}},  // U+00A0 is White_Space
        // G.711: 0x55 and 0xD5 tell the laws apart.
        {"ulaw", "1", absent, "55 D5 FF 7F 80 00", {16, "34 FD CC 02 00 00 00 00 7C 7D 84 82"}},
        {"mulaw", "1", "10", "55 D5", {16, "34 FD CC 02"}},
        {"mu-law", "1", "junk", "55 D5", {16, "34 FD CC 02"}},
        {"Mu-Law", "1", absent, "55 D5", {16, "34 FD CC 02"}},
        {"ULAW,", "1", absent, "55 D5", {16, "34 FD CC 02"}},
        {"alaw", "1", absent, "55 D5", {16, "F8 FF 08 00"}},
        {"a-law", "1", "10", "55 D5", {16, "F8 FF 08 00"}},
        {"A-LAW", "1", absent, "55 D5", {16, "F8 FF 08 00"}},
    };
    for (const Case& c : cases) {
        const std::string label = c.coding.value_or("<absent>") + " n=" + c.n_bytes.value_or("-") +
                                  " format=" + c.format.value_or("<absent>") + " payload " +
                                  c.payload_hex;
        const Bytes payload = from_hex(c.payload_hex);
        Result<DecodedPcm> r = decode_payload(fields_of(c.coding, c.n_bytes, c.format), ByteView(payload));
        ASSERT_TRUE(r.has_value()) << label << ": " << r.error().message;
        EXPECT_EQ(r->bits_per_sample, c.expected.bits) << label;
        EXPECT_EQ(bytes_of(r->pcm), from_hex(c.expected.pcm_hex)) << label;
    }
}

TEST(DecodePayload, EveryMessageWithItsKindAndValues) {
    struct Case {
        std::optional<std::string> coding;
        std::optional<std::string> n_bytes;
        std::optional<std::string> format;
        Error expected;
    };
    const Case cases[] = {
        // Unknown base codings, shown trimmed, lower-cased and quoted.
        {"u-law", "1", absent, listed_unsupported("sample_coding \"u-law\" not supported yet")},
        {"a_law", "1", absent, listed_unsupported("sample_coding \"a_law\" not supported yet")},
        {" LINEAR ", "2", absent, listed_unsupported("sample_coding \"linear\" not supported yet")},
        {"", "2", absent, listed_unsupported("sample_coding \"\" not supported yet")},
        {" , ", "2", absent, listed_unsupported("sample_coding \"\" not supported yet")},
        {",pcm", "2", absent,
         listed_unsupported("compressed coding \",pcm\" not supported yet (compression: \"pcm\")")},
        {"Pcm\"x", "2", absent, listed_unsupported("sample_coding \"pcm\\\"x\" not supported yet")},
        // Compression other than embedded Shorten: whole text as stored,
        // compression trimmed and lower-cased; nothing else is read.
        {"pcm,shorten", "2", absent,
         listed_unsupported("compressed coding \"pcm,shorten\" not supported yet (compression: \"shorten\")")},
        {"PCM, SHORTEN ,x", absent, "junk",
         listed_unsupported("compressed coding \"PCM, SHORTEN ,x\" not supported yet (compression: \"shorten\")")},
        {"pcm,embedded-shorten-v2.0", "2", absent,
         listed_unsupported("compressed coding \"pcm,embedded-shorten-v2.0\" not supported yet "
                     "(compression: \"embedded-shorten-v2.0\")")},
        {"bogus,embedded-shorten-v1.00", "3", absent,
         listed_unsupported("compressed coding \"bogus,embedded-shorten-v1.00\" not supported yet "
                     "(compression: \"embedded-shorten-v1.00\")")},
        // PCM widths, checked before the byte format.
        {"pcm", "1", "01", listed_unsupported("8-bit PCM not supported yet (supported: 16, 32 bit)")},
        {"pcm", "3", "bogus", listed_unsupported("24-bit PCM not supported yet (supported: 16, 32 bit)")},
        {"pcm", "8", "10", listed_unsupported("64-bit PCM not supported yet (supported: 16, 32 bit)")},
        {"pcm", "9223372036854775807", "01",
         listed_unsupported("73786976294838206456-bit PCM not supported yet (supported: 16, 32 bit)")},
        // Byte formats, compared byte for byte.
        {"pcm", "4", "0123", listed_unsupported("unrecognized sample_byte_format \"0123\" (supported: '1', '01', '10')")},
        {"pcm", "4", "3210", listed_unsupported("unrecognized sample_byte_format \"3210\" (supported: '1', '01', '10')")},
        {"pcm", "2", "", listed_unsupported("unrecognized sample_byte_format \"\" (supported: '1', '01', '10')")},
        {"pcm", "2", "001", listed_unsupported("unrecognized sample_byte_format \"001\" (supported: '1', '01', '10')")},
        {"pcm", "2", "Big\tEndian",
         listed_unsupported("unrecognized sample_byte_format \"Big\\tEndian\" (supported: '1', '01', '10')")},
        // G.711 widths, reported under the law's short name.
        {"ulaw", "2", absent, listed_unsupported("ulaw expects 1-byte samples, got sample_n_bytes=2")},
        {"mu-law", "2", absent, listed_unsupported("ulaw expects 1-byte samples, got sample_n_bytes=2")},
        {"mulaw", "4", "bogus", listed_unsupported("ulaw expects 1-byte samples, got sample_n_bytes=4")},
        {"a-law", "2", absent, listed_unsupported("alaw expects 1-byte samples, got sample_n_bytes=2")},
        {"alaw", "9223372036854775807", absent,
         listed_unsupported("alaw expects 1-byte samples, got sample_n_bytes=9223372036854775807")},
        // Errors of the field readings pass through unchanged.
        {"pcm", absent, absent, listed_invalid("SPHERE header missing required field: sample_n_bytes")},
        {"ulaw", absent, absent, listed_invalid("SPHERE header missing required field: sample_n_bytes")},
    };
    const Bytes payload = from_hex("00 00");
    for (const Case& c : cases) {
        const std::string label = c.coding.value_or("<absent>") + " n=" + c.n_bytes.value_or("-") +
                                  " format=" + c.format.value_or("<absent>");
        Result<DecodedPcm> r = decode_payload(fields_of(c.coding, c.n_bytes, c.format), ByteView(payload));
        ASSERT_FALSE(r.has_value()) << label;
        EXPECT_EQ(describe(r.error()), describe(c.expected)) << label;
    }
}

// The vectorised swap against a byte-by-byte reference, over lengths that
// cover every tail and both alignments of input and output.
TEST(CopyByteSwapped, MatchesSampleBySampleReversal) {
    Bytes in(1000 + 16);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (unsigned width : {2u, 4u}) {
        for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 64u, 1000u}) {
            for (std::size_t offset : {0u, 1u, 3u}) {
                Bytes expected(in.begin() + offset, in.begin() + offset + n);
                std::size_t whole = n - n % width;
                for (std::size_t s = 0; s < whole; s += width) {
                    std::reverse(expected.begin() + s, expected.begin() + s + width);
                }
                Bytes out(n + 16, 0xEE);
                copy_byte_swapped(in.data() + offset, out.data() + offset, n, width);
                EXPECT_EQ(Bytes(out.begin() + offset, out.begin() + offset + n), expected)
                    << "width " << width << " n " << n << " offset " << offset;
                EXPECT_EQ(out[offset + n], 0xEE) << "wrote past the end";
            }
        }
    }
}

// --- Embedded Shorten -------------------------------------------------------

std::vector<std::int16_t> ramp(std::size_t n, int start, int step) {
    std::vector<std::int16_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int16_t>(start + step * static_cast<int>(i));
    return v;
}

// Interleaved little-endian 16-bit PCM of the first `frames` frames.
Bytes interleave(const std::vector<std::vector<std::int16_t>>& channels, std::size_t frames) {
    Bytes out;
    for (std::size_t f = 0; f < frames; ++f) {
        for (const auto& ch : channels) {
            const auto v = static_cast<std::uint16_t>(ch[f]);
            out.push_back(static_cast<std::uint8_t>(v));
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    }
    return out;
}

TEST(DecodePayload, EmbeddedShortenIsCutToTheDeclaredLengthAndAlways16Bit) {
    const std::vector<std::vector<std::int16_t>> stereo = {ramp(1300, -650, 1), ramp(1300, 32767, -50)};
    const std::vector<std::vector<std::int16_t>> mono = {ramp(1000, 5, 7)};
    const Bytes stereo_stream = testing::shorten_stream(stereo);
    const Bytes mono_stream = testing::shorten_stream(mono);
    struct Case {
        std::string coding;
        std::string n_bytes;
        std::optional<std::string> format;
        const Bytes* stream;
        std::string channels;
        std::string count;
        Bytes expected;
    };
    const Case cases[] = {
        {"pcm,embedded-shorten-v2.00", "2", "01", &mono_stream, "1", "1000", interleave(mono, 1000)},
        // Neither width nor byte order is read: the result stays 16-bit LE.
        {"pcm,embedded-shorten-v2.00", "4", "10", &mono_stream, "1", "1000", interleave(mono, 1000)},
        {"ulaw,EMBEDDED-SHORTEN-V2.00", "1", absent, &mono_stream, "1", "1000", interleave(mono, 1000)},
        {"bogus,\tembedded-shorten-v2.00", "9", "junk", &mono_stream, "1", "1000", interleave(mono, 1000)},
        {",embedded-shorten-v2.00", "2", absent, &mono_stream, "1", "0", {}},
        // Longer than declared: the first sample_count frames, no message.
        {"pcm,embedded-shorten-v2.00", "2", "10", &stereo_stream, "2", "1200", interleave(stereo, 1200)},
        {"pcm,embedded-shorten-v2.00", "2", "10", &stereo_stream, "2", "1300", interleave(stereo, 1300)},
        {"pcm,embedded-shorten-v2.00", "2", "10", &stereo_stream, "+0002", "1", interleave(stereo, 1)},
    };
    for (const Case& c : cases) {
        const std::string label = c.coding + " channels " + c.channels + " count " + c.count;
        Result<DecodedPcm> r =
            decode_payload(fields_of(c.coding, c.n_bytes, c.format, c.channels, c.count),
                           ByteView(*c.stream));
        ASSERT_TRUE(r.has_value()) << label << ": " << r.error().message;
        EXPECT_EQ(r->bits_per_sample, 16) << label;
        EXPECT_EQ(bytes_of(r->pcm), c.expected) << label;
    }
}

TEST(DecodePayload, EmbeddedShortenCrossChecksAndTheirOrder) {
    const Bytes stereo = testing::shorten_stream({ramp(1000, 0, 1), ramp(1000, 0, -1)});
    const Bytes mono = testing::shorten_stream({ramp(1000, 0, 3)});
    const Bytes junk = from_hex("61 6A 6B 00 02");
    const std::string coding = "pcm,embedded-shorten-v2.00";
    struct Case {
        const char* name;
        const Bytes* stream;
        std::optional<std::string> channels;
        std::optional<std::string> count;
        Error expected;
    };
    const Case cases[] = {
        {"channel count differs", &stereo, "1", "1000",
         listed_unsupported("shorten channel count 2 disagrees with SPHERE header channel_count 1")},
        {"channels checked before length", &mono, "3", "999999",
         listed_unsupported("shorten channel count 1 disagrees with SPHERE header channel_count 3")},
        {"fewer frames than declared", &mono, "1", "1200",
         listed_invalid("shorten stream decoded 1000 samples/channel, but the SPHERE header declares 1200 "
                 "(truncated or QUIT came early)")},
        {"stereo, one frame short", &stereo, "2", "1001",
         listed_invalid("shorten stream decoded 1000 samples/channel, but the SPHERE header declares 1001 "
                 "(truncated or QUIT came early)")},
        {"expected length beyond 64 bits", &stereo, "2", "4611686018427387904",
         listed_invalid("shorten stream decoded 1000 samples/channel, but the SPHERE header declares "
                 "4611686018427387904 (truncated or QUIT came early)")},
        {"stream errors come first and unchanged", &junk, absent, absent,
         listed_invalid("not a shorten stream (missing 'ajkg' magic)")},
        {"channel_count reading passes through", &mono, absent, "1000",
         listed_invalid("SPHERE header missing required field: channel_count")},
        {"sample_count reading passes through", &mono, "1", absent,
         listed_invalid("SPHERE header missing required field: sample_count")},
    };
    for (const Case& c : cases) {
        sphere::HeaderFields f;
        f.set("sample_coding", coding);
        if (c.channels) f.set("channel_count", *c.channels);
        if (c.count) f.set("sample_count", *c.count);
        Result<DecodedPcm> r = decode_payload(f, ByteView(*c.stream));
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(describe(r.error()), describe(c.expected)) << c.name;
    }
}

}  // namespace
}  // namespace sonavert::codecs

namespace sonavert::codecs {
namespace {

// The codings real corpora carry: the package and the command (Corpora)
// read them, the native module (Strict) keeps its refusals.
TEST(ChooseDecoder, StrictAndCorporaReadings) {
    const Error pculaw = listed_unsupported("sample_coding \"pculaw\" not supported yet");
    struct Row {
        const char* coding;
        std::optional<Decoder> strict;
        std::optional<Decoder> corpora;
    };
    const Row rows[] = {
        {"pcm,embedded-shorten-v2.00", Decoder::EmbeddedShorten, Decoder::EmbeddedShorten},
        {"pcm,embedded-shorten-v1.1", std::nullopt, Decoder::EmbeddedShorten},
        {"ulaw,Embedded-Shorten-V1.09", std::nullopt, Decoder::EmbeddedShorten},
        {"pcm,embedded-shorten-v", std::nullopt, Decoder::EmbeddedShorten},
        {"pculaw,embedded-shorten-v2.00", Decoder::EmbeddedShorten, Decoder::PcuLawShorten},
        {"pculaw", std::nullopt, Decoder::PcuLaw},
        {" PCULAW ", std::nullopt, Decoder::PcuLaw},
        {"pcm,embedded-wavpack1.0", std::nullopt, std::nullopt},
        {"pcm,shorten", std::nullopt, std::nullopt},
        {"pcm,embedded-shorten", std::nullopt, std::nullopt},
        {"ulaw", Decoder::MuLaw, Decoder::MuLaw},
    };
    for (const Row& r : rows) {
        const sphere::HeaderFields f = fields_of(r.coding, "2", "01");
        const Result<Decoder> strict = choose_decoder(f, Reading::Strict);
        const Result<Decoder> corpora = choose_decoder(f, Reading::Corpora);
        EXPECT_EQ(strict.has_value(), r.strict.has_value()) << r.coding;
        EXPECT_EQ(corpora.has_value(), r.corpora.has_value()) << r.coding;
        if (strict && r.strict) {
            EXPECT_EQ(*strict, *r.strict) << r.coding;
        }
        if (corpora && r.corpora) {
            EXPECT_EQ(*corpora, *r.corpora) << r.coding;
        }
        if (!corpora && !strict) {
            EXPECT_EQ(corpora.error(), strict.error()) << r.coding;
        }
    }
    EXPECT_EQ(choose_decoder(fields_of("pculaw", "1", absent)).error(), pculaw);
}

// A Shorten payload under a header that names no compression: only when it
// is shorter than declared and starts with "ajkg" and version 1 or 2.
TEST(ChooseDecoder, UndeclaredShorten) {
    const sphere::HeaderFields pcm = fields_of("pcm", "2", "01", "1", "100");  // 200 bytes declared
    const Bytes v1 = {'a', 'j', 'k', 'g', 1, 0xFB}, v2 = {'a', 'j', 'k', 'g', 2}, v3 = {'a', 'j', 'k', 'g', 3};
    struct Row {
        const char* what;
        const sphere::HeaderFields& fields;
        const Bytes& start;
        std::uint64_t length;
        bool shorten;
    };
    const sphere::HeaderFields compressed = fields_of("pcm,embedded-shorten-v2.00", "2", "01", "1", "100");
    const sphere::HeaderFields pculaw = fields_of("pculaw", "1", absent, "1", "100");
    const Row rows[] = {
        {"version 1, shorter", pcm, v1, 150, true},
        {"version 2, shorter", pcm, v2, 5, true},
        {"declared size", pcm, v2, 200, false},
        {"longer", pcm, v2, 201, false},
        {"version 3", pcm, v3, 150, false},
        {"only the magic seen", pcm, Bytes(v2.begin(), v2.begin() + 4), 150, false},
        {"coding names compression", compressed, v2, 150, false},
        {"pculaw", pculaw, v2, 50, true},
    };
    for (const Row& r : rows) {
        const ByteView start(r.start.data(), r.start.size());
        EXPECT_EQ(undeclared_shorten(r.fields, start, r.length), r.shorten) << r.what;
        const Result<Decoder> corpora = choose_decoder(r.fields, start, r.length, Reading::Corpora);
        ASSERT_TRUE(corpora.has_value()) << r.what;
        EXPECT_EQ(reads_stream(*corpora), r.shorten || &r.fields == &compressed) << r.what;
        // The native module looks at the coding alone.
        const Result<Decoder> strict = choose_decoder(r.fields, start, r.length, Reading::Strict);
        const Result<Decoder> by_coding = choose_decoder(r.fields);
        ASSERT_EQ(strict.has_value(), by_coding.has_value()) << r.what;
        if (strict) {
            EXPECT_EQ(*strict, *by_coding) << r.what;
        }
    }
    EXPECT_EQ(*choose_decoder(pculaw, ByteView(v2.data(), v2.size()), 50, Reading::Corpora), Decoder::PcuLawShorten);
}

TEST(PcuLaw, CodeBytesAreMuLawWithTheirBitsReversed) {
    const std::pair<std::uint8_t, std::uint8_t> pairs[] = {
        {0x00, 0x00}, {0xFF, 0xFF}, {0x01, 0x80}, {0x80, 0x01}, {0x0F, 0xF0}, {0xB5, 0xAD}, {0x6F, 0xF6}};
    for (const auto& [pc, mu] : pairs) EXPECT_EQ(mulaw_of_pculaw(pc), mu) << int{pc};
    for (unsigned c = 0; c < 256; ++c) {
        const auto code = static_cast<std::uint8_t>(c);
        EXPECT_EQ(mulaw_of_pculaw(mulaw_of_pculaw(code)), code);
    }
    const Bytes payload = {0x01, 0xF6, 0xFF};
    const Result<DecodedPcm> d = decode_with(Decoder::PcuLaw, fields_of("pculaw", "1", absent, "1", "3"),
                                             ByteView(payload.data(), payload.size()), 0,
                                             shorten::ShortenSamples::Levels, Reading::Corpora);
    ASSERT_TRUE(d.has_value());
    const Bytes mulaw = {0x80, 0x6F, 0xFF};
    EXPECT_EQ(bytes_of(d->pcm), bytes_of(expand_g711(ByteView(mulaw.data(), mulaw.size()), false)));
    EXPECT_EQ(decode_with(Decoder::PcuLaw, fields_of("pculaw", "2", absent), ByteView(payload.data(), 2)).error(),
              listed_unsupported("ulaw expects 1-byte samples, got sample_n_bytes=2"));
}

}  // namespace
}  // namespace sonavert::codecs
