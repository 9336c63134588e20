#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/drivers.hpp"
#include "pipeline/wav_writer.hpp"
#include "sphere/fields.hpp"
#include "pipeline_test_support.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::describe;
using testing::from_hex;
using testing::pcm_fields;
using testing::sphere_file;
using Fields = std::vector<std::pair<std::string, std::string>>;

Bytes bytes_of(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
    return b;
}

std::string run_error(Result<ByteBuffer> r) {
    return r.has_value() ? "<success, " + std::to_string(r->size()) + " bytes>" : describe(r.error());
}

TEST(Drivers, WorkedExampleWithTrailingBytes) {
    const Bytes payload = counting(64010);
    const Bytes file = sphere_file(
        pcm_fields("16000", "2", "2", {{"sample_coding", "pcm"}, {"sample_byte_format", "01"}}), payload);
    const Bytes first(payload.begin(), payload.begin() + 64000);

    Result<ByteBuffer> pcm = decode_pcm(ByteView(file));
    ASSERT_TRUE(pcm.has_value()) << pcm.error().message;
    EXPECT_EQ(bytes_of(*pcm), first);

    Result<ByteBuffer> wav = transcode_to_wav(ByteView(file));
    ASSERT_TRUE(wav.has_value()) << wav.error().message;
    Bytes expected = from_hex(
        "52 49 46 46 24 FA 00 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 02 00 80 3E 00 00 "
        "00 FA 00 00 04 00 10 00 64 61 74 61 00 FA 00 00");
    expected.insert(expected.end(), first.begin(), first.end());
    EXPECT_EQ(wav->size(), 64044u);
    EXPECT_EQ(bytes_of(*wav), expected);
}

TEST(Drivers, DecodedPcmForEachCodingAndExtent) {
    struct Case {
        const char* name;
        Fields fields;
        Bytes payload;
        Bytes pcm;
        std::uint16_t bits;
    };
    const Case cases[] = {
        {"exactly the declared size", pcm_fields("2", "1", "2"), from_hex("01 02 03 04"),
         from_hex("01 02 03 04"), 16},
        {"trailing bytes ignored", pcm_fields("1", "1", "2"), from_hex("01 02 03 04"),
         from_hex("01 02"), 16},
        {"no coding field is pcm", pcm_fields("2", "1", "2", {{"sample_byte_format", "10"}}),
         from_hex("01 02 03 04 FF"), from_hex("02 01 04 03"), 16},
        {"empty second part is plain", pcm_fields("1", "2", "2", {{"sample_coding", "pcm,"}, {"sample_byte_format", "10"}}),
         from_hex("01 02 03 04 05"), from_hex("02 01 04 03"), 16},
        {"32-bit big-endian", pcm_fields("1", "2", "4", {{"sample_byte_format", "10"}}),
         from_hex("01 02 03 04 05 06 07 08"), from_hex("04 03 02 01 08 07 06 05"), 32},
        {"sample_count 0, empty payload", pcm_fields("0", "1", "2"), {}, {}, 16},
        {"sample_count 0, payload ignored", pcm_fields("0", "1", "4"), from_hex("01 02"), {}, 32},
        {"a-law doubles", pcm_fields("2", "1", "1", {{"sample_coding", "alaw"}}), from_hex("55 D5 00"),
         from_hex("F8 FF 08 00"), 16},
        {"mu-law", pcm_fields("1", "2", "1", {{"sample_coding", "mu-law"}}), from_hex("55 D5"),
         from_hex("34 FD CC 02"), 16},
    };
    for (const Case& c : cases) {
        const Bytes file = sphere_file(c.fields, c.payload);
        Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
        ASSERT_TRUE(header.has_value()) << c.name << ": " << header.error().message;
        Result<codecs::DecodedPcm> audio = decode_audio(*header);
        ASSERT_TRUE(audio.has_value()) << c.name << ": " << audio.error().message;
        EXPECT_EQ(audio->bits_per_sample, c.bits) << c.name;
        EXPECT_EQ(bytes_of(audio->pcm), c.pcm) << c.name;

        Result<ByteBuffer> pcm = decode_pcm(ByteView(file));
        ASSERT_TRUE(pcm.has_value()) << c.name;
        EXPECT_EQ(bytes_of(*pcm), c.pcm) << c.name;

        // Plain PCM goes straight into the WAV buffer; the file must be the
        // one the writer makes from the decoded audio.
        Result<ByteBuffer> wav = transcode_to_wav(ByteView(file));
        ASSERT_TRUE(wav.has_value()) << c.name << ": " << wav.error().message;
        const auto channels = static_cast<std::uint16_t>(*sphere::require_int(header->fields, "channel_count"));
        const auto rate = static_cast<std::uint32_t>(*sphere::require_int(header->fields, "sample_rate"));
        Result<ByteBuffer> written = write_wav(channels, rate, c.bits, ByteView(c.pcm));
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(bytes_of(*wav), bytes_of(*written)) << c.name;
        EXPECT_EQ(wav->data()[34], c.bits) << c.name;
    }
}

TEST(Drivers, CompressedCodingGetsTheWholeRestOfTheFile) {
    // 1000 frames of 2 channels of noise as a Shorten stream, followed by
    // junk that the decoder never reads. The declared size (1000 x 2 x 1
    // bytes) is shorter than the stream, so cutting there would break it.
    std::vector<std::int16_t> left(1000), right(1000);
    std::uint32_t state = 12345;
    for (int i = 0; i < 1000; ++i) {
        state = state * 1664525u + 1013904223u;
        left[i] = static_cast<std::int16_t>(state >> 16);
        right[i] = static_cast<std::int16_t>(state >> 8);
    }
    Bytes stream = testing::shorten_stream({left, right});
    ASSERT_GT(stream.size(), 2000u);
    stream.insert(stream.end(), 100, 0xAB);
    Bytes expected;
    for (int i = 0; i < 1000; ++i) {
        for (std::int16_t v : {left[i], right[i]}) {
            expected.push_back(static_cast<std::uint8_t>(v));
            expected.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(v) >> 8));
        }
    }
    for (const char* coding : {"ulaw,embedded-shorten-v2.00", "pcm , embedded-shorten-v2.00,x",
                               "anything,embedded-shorten-v2.00"}) {
        const Bytes file =
            sphere_file(pcm_fields("1000", "2", "1", {{"sample_coding", coding}}), stream);
        Result<ByteBuffer> pcm = decode_pcm(ByteView(file));
        ASSERT_TRUE(pcm.has_value()) << coding << ": " << pcm.error().message;
        EXPECT_EQ(bytes_of(*pcm), expected) << coding;
        Result<ByteBuffer> wav = transcode_to_wav(ByteView(file));
        ASSERT_TRUE(wav.has_value()) << coding;
        Result<ByteBuffer> written = write_wav(2, 16000, 16, ByteView(expected));
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(bytes_of(*wav), bytes_of(*written)) << coding;
    }
}

// A lending source that counts its allocations.
struct CountingSource {
    static inline int allocations = 0;
    static std::uint8_t* allocate(std::size_t size, void*& owner) {
        ++allocations;
        owner = std::malloc(size);
        if (owner == nullptr) throw std::bad_alloc();
        return static_cast<std::uint8_t*>(owner);
    }
    static void release(void* owner) noexcept { std::free(owner); }
};

TEST(Drivers, ResultIsTheOneBufferItWasMadeIn) {
    // Every coding writes its samples once, into the buffer that becomes the
    // result (after room for the WAV header, for transcode): one allocation
    // from the lent source, handed over whole.
    std::vector<std::int16_t> left(3000), right(3000);
    for (int i = 0; i < 3000; ++i) {
        left[i] = static_cast<std::int16_t>((i * 37) % 2000 - 1000);
        right[i] = static_cast<std::int16_t>((i * 91) % 1500 - 700);
    }
    const Bytes stereo = testing::shorten_stream({left, right});
    const Bytes mono = testing::shorten_stream({left});
    const std::pair<Fields, Bytes> files[] = {
        {pcm_fields("1000", "2", "2", {{"sample_byte_format", "01"}}), Bytes(4000, 7)},
        {pcm_fields("1000", "2", "2", {{"sample_byte_format", "10"}}), Bytes(4000, 7)},
        {pcm_fields("1000", "1", "1", {{"sample_coding", "ulaw"}}), Bytes(1000, 7)},
        {pcm_fields("1000", "1", "1", {{"sample_coding", "alaw"}}), Bytes(1000, 7)},
        {pcm_fields("3000", "2", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"}}), stereo},
        {pcm_fields("2999", "1", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"}}), mono},
    };
    const BufferSource counting{CountingSource::allocate, CountingSource::release};
    for (const auto& [fields, payload] : files) {
        const Bytes file = sphere_file(fields, payload);
        for (const bool wav : {false, true}) {
            CountingSource::allocations = 0;
            ScopedBufferSource lend(&counting);
            Result<ByteBuffer> out = wav ? transcode_to_wav(ByteView(file)) : decode_pcm(ByteView(file));
            ASSERT_TRUE(out.has_value()) << out.error().message;
            EXPECT_EQ(CountingSource::allocations, 1) << fields[0].second << " wav " << wav;
            void* owner = out->release_exact_owner();
            EXPECT_NE(owner, nullptr) << fields[0].second << " wav " << wav;
            CountingSource::release(owner);
        }
    }
}

TEST(Drivers, ErrorsAndTheirOrder) {
    const Bytes four = from_hex("01 02 03 04");
    struct Case {
        const char* name;
        Fields fields;
        Bytes payload;
        std::optional<std::string> decode_pcm_error;  // null: decode_pcm succeeds
        std::string transcode_error;
    };
    const std::string truncated_4_3 =
        "Invalid: audio payload truncated: header declares 4 bytes but only 3 present";
    const Case cases[] = {
        {"one byte short", pcm_fields("2", "1", "2"), from_hex("01 02 03"), truncated_4_3, truncated_4_3},
        {"worked example one byte short", pcm_fields("16000", "2", "2"), Bytes(63999),
         "Invalid: audio payload truncated: header declares 64000 bytes but only 63999 present",
         "Invalid: audio payload truncated: header declares 64000 bytes but only 63999 present"},
        {"empty payload", pcm_fields("1", "1", "2"), {},
         "Invalid: audio payload truncated: header declares 2 bytes but only 0 present",
         "Invalid: audio payload truncated: header declares 2 bytes but only 0 present"},
        {"blank second part still checks the size",
         pcm_fields("2", "1", "2", {{"sample_coding", "pcm, "}}), from_hex("01 02 03"), truncated_4_3,
         truncated_4_3},
        {"declared size overflows", pcm_fields("4611686018427387904", "2", "2"), four,
         "Invalid: declared payload size overflows", "Invalid: declared payload size overflows"},
        {"compressed coding skips the size check",
         pcm_fields("1000", "1", "2", {{"sample_coding", "pcm,shorten"}}), from_hex("01"),
         "Unsupported: compressed coding \"pcm,shorten\" not supported yet (compression: \"shorten\")",
         "Unsupported: compressed coding \"pcm,shorten\" not supported yet (compression: \"shorten\")"},
        {"embedded shorten skips the size check",
         pcm_fields("1000", "1", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"}}), from_hex("01"),
         "Invalid: not a shorten stream (missing 'ajkg' magic)",
         "Invalid: not a shorten stream (missing 'ajkg' magic)"},
        {"truncation before decoding", pcm_fields("2", "1", "3"), from_hex("01"),
         "Invalid: audio payload truncated: header declares 6 bytes but only 1 present",
         "Invalid: audio payload truncated: header declares 6 bytes but only 1 present"},
        {"decoding before WAV limits", pcm_fields("1", "70000", "3", {{"sample_rate", "4294967296"}}),
         Bytes(210000), "Unsupported: 24-bit PCM not supported yet (supported: 16, 32 bit)",
         "Unsupported: 24-bit PCM not supported yet (supported: 16, 32 bit)"},
        {"byte format before WAV limits",
         pcm_fields("1", "70000", "2", {{"sample_byte_format", "0123"}}), Bytes(140000),
         "Unsupported: unrecognized sample_byte_format \"0123\" (supported: '1', '01', '10')",
         "Unsupported: unrecognized sample_byte_format \"0123\" (supported: '1', '01', '10')"},
        {"coding before WAV limits", pcm_fields("1", "70000", "2", {{"sample_coding", "raw"}}),
         Bytes(140000), "Unsupported: sample_coding \"raw\" not supported yet",
         "Unsupported: sample_coding \"raw\" not supported yet"},
        {"G.711 width before WAV limits", pcm_fields("1", "1", "2", {{"sample_coding", "alaw"}, {"sample_rate", "4294967296"}}),
         four, "Unsupported: alaw expects 1-byte samples, got sample_n_bytes=2",
         "Unsupported: alaw expects 1-byte samples, got sample_n_bytes=2"},
        {"G.711 channel_count 65536", pcm_fields("1", "65536", "1", {{"sample_coding", "ulaw"}}),
         Bytes(65536), std::nullopt, "Invalid: channel_count too large for WAV"},
        {"truncation before WAV limits", pcm_fields("1", "65536", "2"), from_hex("01"),
         "Invalid: audio payload truncated: header declares 131072 bytes but only 1 present",
         "Invalid: audio payload truncated: header declares 131072 bytes but only 1 present"},
        {"channel_count 65536", pcm_fields("1", "65536", "2"), Bytes(131072), std::nullopt,
         "Invalid: channel_count too large for WAV"},
        {"channel_count reported before sample_rate",
         pcm_fields("1", "65536", "2", {{"sample_rate", "4294967296"}}), Bytes(131072), std::nullopt,
         "Invalid: channel_count too large for WAV"},
        {"sample_rate 2^32", pcm_fields("1", "1", "2", {{"sample_rate", "4294967296"}}), four,
         std::nullopt, "Invalid: sample_rate too large for WAV"},
        {"sample_rate far beyond", pcm_fields("1", "1", "2", {{"sample_rate", "9223372036854775807"}}),
         four, std::nullopt, "Invalid: sample_rate too large for WAV"},
        // The largest values pass the driver and meet the writer's limits.
        {"sample_rate 2^32 - 1", pcm_fields("1", "1", "2", {{"sample_rate", "4294967295"}}), four,
         std::nullopt, "Invalid: WAV byte_rate exceeds 32-bit field"},
        {"channel_count 65535", pcm_fields("1", "65535", "2", {{"sample_rate", "1"}}), Bytes(131070),
         std::nullopt, "Invalid: WAV block_align exceeds 16-bit field"},
        {"header errors pass through", {{"sample_rate", "8000"}}, four,
         "Invalid: SPHERE header missing required field: sample_count",
         "Invalid: SPHERE header missing required field: sample_count"},
    };
    for (const Case& c : cases) {
        const Bytes file = sphere_file(c.fields, c.payload);
        const std::string pcm_outcome = run_error(decode_pcm(ByteView(file)));
        if (c.decode_pcm_error) {
            EXPECT_EQ(pcm_outcome, *c.decode_pcm_error) << c.name;
        } else {
            EXPECT_EQ(pcm_outcome.rfind("<success", 0), 0u) << c.name << ": " << pcm_outcome;
        }
        EXPECT_EQ(run_error(transcode_to_wav(ByteView(file))), c.transcode_error) << c.name;
    }
}

}  // namespace
}  // namespace sonavert::pipeline
