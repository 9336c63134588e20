#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue_support.hpp"
#include "pipeline/wav_writer.hpp"
#include "pipeline_test_support.hpp"

namespace sonavert::pipeline {
namespace {

using testing::describe;
using testing::from_hex;

std::vector<std::uint8_t> bytes_of(const ByteBuffer& b) {
    return std::vector<std::uint8_t>(b.data(), b.data() + b.size());
}

std::uint32_t le32_at(const ByteBuffer& b, std::size_t at) {
    const std::uint8_t* p = b.data() + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16_at(const ByteBuffer& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.data()[at] | (b.data()[at + 1] << 8));
}

std::string tag_at(const ByteBuffer& b, std::size_t at) {
    return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// A view claiming `size` bytes. Only for calls that must fail before they
// read or allocate anything: no test reads past its first byte.
ByteView fake_view(std::uint64_t size) {
    static const std::uint8_t byte = 0;
    return ByteView(&byte, static_cast<std::size_t>(size));
}

TEST(WavWriter, HeaderBytesOfTheTwoReferenceLayouts) {
    struct Case {
        const char* name;
        std::uint16_t channels;
        std::uint32_t rate;
        std::size_t pcm_length;
        const char* header_hex;
    };
    const Case cases[] = {
        {"16-bit stereo 16000 Hz", 2, 16000, 64000,
         "52 49 46 46 24 FA 00 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 02 00 80 3E 00 00 "
         "00 FA 00 00 04 00 10 00 64 61 74 61 00 FA 00 00"},
        {"expanded G.711 mono 8000 Hz", 1, 8000, 16000,
         "52 49 46 46 A4 3E 00 00 57 41 56 45 66 6D 74 20 10 00 00 00 01 00 01 00 40 1F 00 00 "
         "80 3E 00 00 02 00 10 00 64 61 74 61 80 3E 00 00"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> pcm(c.pcm_length);
        for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::uint8_t>(i * 7 + 3);
        Result<ByteBuffer> wav = write_wav(c.channels, c.rate, 16, ByteView(pcm));
        ASSERT_TRUE(wav.has_value()) << c.name << ": " << wav.error().message;
        std::vector<std::uint8_t> expected = from_hex(c.header_hex);
        ASSERT_EQ(expected.size(), 44u);
        expected.insert(expected.end(), pcm.begin(), pcm.end());
        EXPECT_EQ(bytes_of(*wav), expected) << c.name;
    }
}

TEST(WavWriter, FieldsForEveryLayout) {
    struct Case {
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint16_t bits;
        std::size_t pcm_length;
        std::uint32_t byte_rate;
        std::uint16_t block_align;
    };
    const Case cases[] = {
        {1, 8000, 16, 0, 16000, 2},                     // empty PCM: 44 bytes
        {2, 44100, 32, 16, 352800, 8},                  // 32-bit stereo
        {6, 48000, 16, 24, 576000, 12},                 // more than two channels
        {2, 536870911, 32, 8, 4294967288u, 8},          // largest byte_rate that fits
        {65535, 1, 8, 2, 65535, 65535},                 // widest channel field
        {32767, 2, 16, 4, 131068, 65534},               // largest 16-bit block_align
        {16383, 1, 32, 4, 65532, 65532},                // largest 32-bit block_align
        {1, 4294967295u, 8, 2, 4294967295u, 1},         // largest sample rate
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> pcm(c.pcm_length, 0x5A);
        Result<ByteBuffer> wav = write_wav(c.channels, c.rate, c.bits, ByteView(pcm));
        ASSERT_TRUE(wav.has_value()) << wav.error().message;
        const ByteBuffer& b = *wav;
        ASSERT_EQ(b.size(), 44 + c.pcm_length);
        EXPECT_EQ(tag_at(b, 0), "RIFF");
        EXPECT_EQ(tag_at(b, 8), "WAVE");
        EXPECT_EQ(tag_at(b, 12), "fmt ");
        EXPECT_EQ(le32_at(b, 4), 36 + c.pcm_length);
        EXPECT_EQ(le32_at(b, 16), 16u);
        EXPECT_EQ(le16_at(b, 20), 1u);
        EXPECT_EQ(le16_at(b, 22), c.channels);
        EXPECT_EQ(le32_at(b, 24), c.rate);
        EXPECT_EQ(le32_at(b, 28), c.byte_rate);
        EXPECT_EQ(le16_at(b, 32), c.block_align);
        EXPECT_EQ(le16_at(b, 34), c.bits);
        EXPECT_EQ(tag_at(b, 36), "data");
        EXPECT_EQ(le32_at(b, 40), c.pcm_length);
    }
}

TEST(WavWriter, OddLengthGetsAZeroPadByteCountedOnlyByRiff) {
    for (std::size_t length : {1u, 3u, 1001u}) {
        std::vector<std::uint8_t> pcm(length, 0xFF);
        Result<ByteBuffer> wav = write_wav(1, 8000, 16, ByteView(pcm));
        ASSERT_TRUE(wav.has_value());
        ASSERT_EQ(wav->size(), 45 + length);
        EXPECT_EQ(le32_at(*wav, 4), length + 37);
        EXPECT_EQ(le32_at(*wav, 40), length);
        EXPECT_EQ(wav->data()[44 + length], 0);
        EXPECT_EQ(wav->data()[43 + length], 0xFF);
    }
}

TEST(WavWriter, LimitsAndTheirOrder) {
    const std::uint64_t ok_length = 4;
    struct Case {
        const char* name;
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint16_t bits;
        std::uint64_t pcm_length;
        std::string message;
    };
    const Case cases[] = {
        {"12-bit", 1, 8000, 12, ok_length, "bits_per_sample must be a multiple of 8, got 12"},
        {"width checked before everything", 65535, 4294967295u, 65535, 4294967260u,
         "bits_per_sample must be a multiple of 8, got 65535"},
        {"byte_rate one past 32 bits", 2, 536870912, 32, ok_length,
         "WAV byte_rate exceeds 32-bit field"},
        {"byte_rate at the widest inputs", 65535, 4294967295u, 65528, ok_length,
         "WAV byte_rate exceeds 32-bit field"},
        {"byte_rate before size", 2, 536870912, 32, 4294967260u,
         "WAV byte_rate exceeds 32-bit field"},
        {"odd length padded past the limit", 1, 8000, 16, 4294967259u,
         "output exceeds the 4 GB RIFF/WAV size limit (4294967259 bytes of PCM)"},
        {"even length past the limit", 1, 8000, 16, 4294967260u,
         "output exceeds the 4 GB RIFF/WAV size limit (4294967260 bytes of PCM)"},
        {"largest size_t", 1, 8000, 16, SIZE_MAX,
         "output exceeds the 4 GB RIFF/WAV size limit (18446744073709551615 bytes of PCM)"},
        {"block_align of 32768 16-bit channels", 32768, 1, 16, ok_length,
         "WAV block_align exceeds 16-bit field"},
        {"block_align of 16384 32-bit channels", 16384, 8000, 32, ok_length,
         "WAV block_align exceeds 16-bit field"},
        // block_align comes last, so the three checks callers rely on keep
        // their messages; these two also show that 4294967258 (even) and
        // 4294967257 (odd) pass the size check, without allocating them.
        {"block_align after byte_rate", 40000, 30000, 32, ok_length,
         "WAV byte_rate exceeds 32-bit field"},
        {"block_align after size", 40000, 1, 16, 4294967260u,
         "output exceeds the 4 GB RIFF/WAV size limit (4294967260 bytes of PCM)"},
        {"largest even length passes the size check", 40000, 1, 16, 4294967258u,
         "WAV block_align exceeds 16-bit field"},
        {"largest odd length passes the size check", 40000, 1, 16, 4294967257u,
         "WAV block_align exceeds 16-bit field"},
    };
    for (const Case& c : cases) {
        Result<ByteBuffer> wav = write_wav(c.channels, c.rate, c.bits, fake_view(c.pcm_length));
        ASSERT_FALSE(wav.has_value()) << c.name;
        EXPECT_EQ(describe(wav.error()), describe(listed_invalid(c.message))) << c.name;
    }
}

}  // namespace
}  // namespace sonavert::pipeline
