// The package's and the command's reading of real corpora's headers:
// refusals that name the cause, Switchboard-1's count over channels, and
// NIST's sample_checksum.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipeline/checksum.hpp"
#include "pipeline/drivers.hpp"
#include "pipeline/frames.hpp"
#include "pipeline/header_rules.hpp"
#include "pipeline_test_support.hpp"
#include "sphere_test_support.hpp"

namespace sonavert::pipeline {
namespace {

using sphere::testing::view_of;
using testing::Bytes;

ByteView view(const Bytes& b) { return ByteView(b.data(), b.size()); }

Result<AudioLayout> layout_of(ByteView file) {
    SV_ASSIGN_OR_RETURN(const sphere::SphereHeader header, sphere::parse_header(file));
    return check_audio(header, file.size());
}

TEST(HeaderRules, RefusalsNameTheCause) {
    // The four required fields of a two-channel file of 4 frames, then
    // `lines`; the payload holds the declared 16 bytes unless a case says.
    struct Case {
        const char* lines;
        std::size_t payload;
        const char* message;  // "" when read
        const char* native;   // what decode_pcm says ("" when it decodes)
    };
    const Case cases[] = {
        {"channels_interleaved -s5 FALSE\n", 16,
         "channels_interleaved is \"FALSE\": channels stored one after another are not supported", ""},
        {"channels_interleaved -s5 false\n", 16,
         "channels_interleaved is \"false\": channels stored one after another are not supported", ""},
        {"channels_interleaved -s4 TRUE\n", 16, "", ""},
        {"sample_byte_format -s12 shortpack-v0\n", 9,
         "shortpack compression (sample_byte_format \"shortpack-v0\") is not supported",
         "audio payload truncated: header declares 16 bytes but only 9 present"},
        {"sample_byte_format -s12 shortpack-v0\n", 16,
         "shortpack compression (sample_byte_format \"shortpack-v0\") is not supported",
         "unrecognized sample_byte_format \"shortpack-v0\" (supported: '1', '01', '10')"},
        {"sample_coding -s22 pcm,embedded-wavpack1.0\n", 9,
         "wavpack compression (sample_coding \"pcm,embedded-wavpack1.0\") is not supported",
         "compressed coding \"pcm,embedded-wavpack1.0\" not supported yet (compression: \"embedded-wavpack1.0\")"},
        // The refusals come in a fixed order, before the payload's size.
        {"channels_interleaved -s5 FALSE\nsample_byte_format -s12 shortpack-v0\n", 3,
         "channels_interleaved is \"FALSE\": channels stored one after another are not supported",
         "audio payload truncated: header declares 16 bytes but only 3 present"},
    };
    for (const Case& c : cases) {
        const std::string required = "sample_count -i 4\nsample_rate -i 8000\nchannel_count -i 2\nsample_n_bytes -i 2\n";
        const std::string file =
            sphere::testing::sphere_file(required + c.lines + "end_head\n", std::string(c.payload, '\x01'));
        const Result<AudioLayout> layout = layout_of(view_of(file));
        EXPECT_EQ(layout ? "" : layout.error().message, c.message) << c.lines;
        const Result<ByteBuffer> native = decode_pcm(view_of(file));
        EXPECT_EQ(native ? "" : native.error().message, c.native) << c.lines;
        sphere::SphereHeader header = *sphere::parse_header(view_of(file));
        const Result<bool> adapted = adapt_header(header, header.payload.size());
        EXPECT_EQ(adapted ? "" : adapted.error().message, c.message) << c.lines;
    }
}

TEST(HeaderRules, HeadersWithCrLfLinesAreRefusedWhereDecodePcmReadsThem) {
    const std::string payload(32000 * 2, '\0');
    const std::string crlf = sphere::testing::sphere_file(
        "sample_count -i 32000\r\nsample_rate -i 8000\r\nchannel_count -i 1\r\nsample_n_bytes -i 2\r\n\r\nend_head\r\n",
        payload);
    const Result<AudioLayout> layout = layout_of(view_of(crlf));
    ASSERT_FALSE(layout.has_value());
    EXPECT_EQ(layout.error().message,
              "SPHERE header lines end in CR LF: the file was copied as text, which also alters its samples");
    EXPECT_TRUE(decode_pcm(view_of(crlf)).has_value());
    // One stray carriage return is white space, as the parser reads it.
    const std::string stray = sphere::testing::sphere_file(
        "sample_count -i 32000\r\nsample_rate -i 8000\nchannel_count -i 1\nsample_n_bytes -i 2\nend_head\n", payload);
    EXPECT_TRUE(layout_of(view_of(stray)).has_value());
}

TEST(HeaderRules, SwitchboardCountsOverChannelsOnlyWhenThePayloadSaysSo) {
    struct Case {
        const char* count;
        const char* channels;
        const char* width;
        const char* coding;
        std::size_t payload;
        std::uint64_t frames;  // 0: the truncation message below
        bool every_channel;
    };
    const Case cases[] = {
        {"8", "2", "2", "pcm", 16, 4, true},       // 8 x 2 bytes: the count is over both channels
        {"8", "2", "2", "pcm", 32, 8, false},      // the declared size: per channel
        {"8", "2", "2", "pcm", 40, 8, false},      // more than declared: per channel, as ever
        {"8", "2", "2", "pcm", 18, 0, false},      // neither: truncated
        {"8", "2", "2", "pcm", 15, 0, false},
        {"9", "2", "2", "pcm", 18, 0, false},      // an odd total cannot be two channels'
        {"8", "1", "2", "pcm", 8, 0, false},       // one channel: truncated
        {"12", "4", "1", "ulaw", 12, 3, true},     // any width and channel count
        {"12", "3", "1", "alaw", 12, 4, true},
        {"0", "2", "2", "pcm", 0, 0, false},       // nothing declared, nothing there
    };
    for (const Case& c : cases) {
        const Bytes file = testing::sphere_file(
            testing::pcm_fields(c.count, c.channels, c.width, {{"sample_coding", c.coding}}), Bytes(c.payload, 0x55));
        const Result<AudioLayout> layout = layout_of(view(file));
        const std::string what = std::string(c.count) + "x" + c.channels + "x" + c.width + " in " +
                                 std::to_string(c.payload);
        if (c.frames == 0 && c.payload != 0) {
            ASSERT_FALSE(layout.has_value()) << what;
            EXPECT_EQ(layout.error().message.rfind("audio payload truncated", 0), 0u) << what;
            continue;
        }
        ASSERT_TRUE(layout.has_value()) << what << ": " << layout.error().message;
        EXPECT_EQ(layout->frames, c.frames) << what;
        EXPECT_EQ(layout->counts_every_channel, c.every_channel) << what;
        // The samples read are the payload's, every one of them.
        const FrameRequest all{0, layout->frames, {}, SampleType::Int16};
        std::vector<std::uint8_t> out(static_cast<std::size_t>(*request_size(*layout, all)));
        ASSERT_TRUE(read_frames(ByteSource::of_memory(view(file)), *layout, all, out.data()).ok()) << what;
    }
}

// --- checksums -----------------------------------------------------------------------

Result<ChecksumCheck> check_of(const Bytes& file) { return check_checksum(ByteSource::of_memory(view(file))); }

std::uint16_t sum16(const std::vector<std::int16_t>& samples) {
    std::uint32_t sum = 0;
    for (const std::int16_t s : samples) sum += static_cast<std::uint16_t>(s);
    return static_cast<std::uint16_t>(sum);
}

TEST(Checksum, SumsOfEveryCodingThatCarriesOne) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 600; ++i) samples.push_back(static_cast<std::int16_t>((i * 7919) % 65536 - 32768));
    const std::uint16_t expected = sum16(samples);
    Bytes le, be;
    for (const std::int16_t s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        le.insert(le.end(), {static_cast<std::uint8_t>(u & 0xFF), static_cast<std::uint8_t>(u >> 8)});
        be.insert(be.end(), {static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u & 0xFF)});
    }
    Bytes codes;
    std::uint32_t code_sum = 0;
    for (int i = 0; i < 600; ++i) {
        codes.push_back(static_cast<std::uint8_t>(i * 37));
        code_sum += codes.back();
    }
    const std::string sum = std::to_string(expected), codes_sum = std::to_string(code_sum % 65536);
    const Bytes shorten = testing::shorten_stream({std::vector<std::int16_t>(samples.begin(), samples.begin() + 300),
                                                   std::vector<std::int16_t>(samples.begin() + 300, samples.end())});
    struct Case {
        const char* name;
        Bytes file;
        ChecksumState state;
    };
    std::vector<Case> cases = {
        {"PCM 01", testing::sphere_file(testing::pcm_fields("600", "1", "2", {{"sample_checksum", sum}}), le),
         ChecksumState::Match},
        {"PCM 10", testing::sphere_file(testing::pcm_fields("300", "2", "2", {{"sample_byte_format", "10"},
                                                                               {"sample_checksum", sum}}), be),
         ChecksumState::Match},
        {"PCM 10 summed as 01", testing::sphere_file(testing::pcm_fields("600", "1", "2", {{"sample_byte_format", "10"},
                                                                                         {"sample_checksum", sum}}), le),
         ChecksumState::Mismatch},
        {"mu-law", testing::sphere_file(testing::pcm_fields("600", "1", "1", {{"sample_coding", "ulaw"},
                                                                              {"sample_checksum", codes_sum}}), codes),
         ChecksumState::Match},
        {"A-law", testing::sphere_file(testing::pcm_fields("200", "3", "1", {{"sample_coding", "alaw"},
                                                                             {"sample_checksum", codes_sum}}), codes),
         ChecksumState::Match},
        {"Switchboard count", testing::sphere_file(testing::pcm_fields("600", "2", "2", {{"sample_checksum", sum}}), le),
         ChecksumState::Match},
        {"no checksum", testing::sphere_file(testing::pcm_fields("600", "1", "2"), le), ChecksumState::Unchecked},
        {"32-bit", testing::sphere_file(testing::pcm_fields("300", "1", "4", {{"sample_checksum", sum}}), le),
         ChecksumState::Unchecked},
        {"Shorten", testing::sphere_file(testing::pcm_fields("300", "2", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"},
                                                                               {"sample_checksum", std::to_string(sum16(
                                                                                   [&] {
                                                                                       std::vector<std::int16_t> v;
                                                                                       for (int f = 0; f < 300; ++f) {
                                                                                           v.push_back(samples[f]);
                                                                                           v.push_back(samples[300 + f]);
                                                                                       }
                                                                                       return v;
                                                                                   }()))}}),
                                     shorten),
         ChecksumState::Match},
        {"linear Shorten, 1-byte header", testing::sphere_file(testing::pcm_fields("300", "2", "1",
                                                                                   {{"sample_coding", "pcm,embedded-shorten-v2.00"},
                                                                                    {"sample_checksum", "0"}}),
                                                               shorten),
         ChecksumState::Unchecked},
        // Frames past sample_count are not summed, as they are not read.
        {"Shorten cut", testing::sphere_file(testing::pcm_fields("1", "2", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"},
                                                                                 {"sample_checksum", std::to_string(
                                                                                     sum16({samples[0], samples[300]}))}}),
                                             shorten),
         ChecksumState::Match},
    };
    for (const Case& c : cases) {
        const Result<ChecksumCheck> check = check_of(c.file);
        ASSERT_TRUE(check.has_value()) << c.name << ": " << check.error().message;
        EXPECT_EQ(check->state, c.state) << c.name << " sums to " << check->computed;
    }
    EXPECT_EQ(checksum16(view(le), false), expected);
    EXPECT_EQ(checksum16(view(be), true), expected);
}

TEST(Checksum, SumsOfLongRunsAndEveryLengthEqualTheSumOfValues) {
    Bytes bytes(70001);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(state >> 24 | 0x80);  // large bytes: lanes fill fastest
    }
    for (const std::size_t n : {0, 2, 14, 2040, 2048, 4082, 70000}) {
        std::uint32_t le = 0, be = 0, codes = 0;
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            le += bytes[i] | bytes[i + 1] << 8;
            be += bytes[i] << 8 | bytes[i + 1];
        }
        for (std::size_t i = 0; i < n + 1; ++i) codes += bytes[i];
        EXPECT_EQ(checksum16(ByteView(bytes.data(), n), false), le % 65536) << n;
        EXPECT_EQ(checksum16(ByteView(bytes.data(), n), true), be % 65536) << n;
        EXPECT_EQ(checksum8(ByteView(bytes.data(), n + 1)), codes % 65536) << n + 1;
    }
}

TEST(Checksum, MuLawShortenSumsTheStoredCodeBytes) {
    // 0x7F and 0xFF both expand to 0: only the codes tell them apart.
    Bytes codes;
    std::uint32_t sum = 0;
    for (int i = 0; i < 512; ++i) {
        codes.push_back(i % 3 == 0 ? 0x7F : static_cast<std::uint8_t>(i));
        sum += codes.back();
    }
    testkit::ShortenOptions options;
    options.sample_type = 8;
    const Result<Bytes> stream = testkit::encode_shorten_mulaw(view(codes), options);
    ASSERT_TRUE(stream.has_value()) << stream.error().message;
    const Bytes file = testing::sphere_file(
        testing::pcm_fields("512", "1", "1", {{"sample_coding", "ulaw,embedded-shorten-v2.00"},
                                              {"sample_checksum", std::to_string(sum % 65536)}}),
        *stream);
    const Result<ChecksumCheck> check = check_of(file);
    ASSERT_TRUE(check.has_value()) << check.error().message;
    EXPECT_EQ(check->state, ChecksumState::Match) << check->computed;
}

TEST(Checksum, EveryFlippedBitOfAPayloadIsFound) {
    std::vector<std::int16_t> left, right;
    for (int i = 0; i < 200; ++i) {
        left.push_back(static_cast<std::int16_t>(i * 97 - 9000));
        right.push_back(static_cast<std::int16_t>(4000 - i * 41));
    }
    std::vector<std::int16_t> interleaved;
    for (int i = 0; i < 200; ++i) interleaved.insert(interleaved.end(), {left[i], right[i]});
    const std::string sum = std::to_string(sum16(interleaved));
    const Bytes stream = testing::shorten_stream({left, right});
    const Bytes pcm(reinterpret_cast<const std::uint8_t*>(interleaved.data()),
                    reinterpret_cast<const std::uint8_t*>(interleaved.data()) + interleaved.size() * 2);
    const Bytes files[] = {
        testing::sphere_file(testing::pcm_fields("200", "2", "2", {{"sample_checksum", sum}}), pcm),
        testing::sphere_file(testing::pcm_fields("200", "2", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"},
                                                                   {"sample_checksum", sum}}),
                             stream),
    };
    for (const Bytes& file : files) {
        ASSERT_EQ(check_of(file)->state, ChecksumState::Match);
        const std::size_t header = file.size() - (&file == &files[0] ? pcm.size() : stream.size());
        for (std::size_t byte = header; byte < file.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes damaged = file;
                damaged[byte] ^= static_cast<std::uint8_t>(1u << bit);
                const Result<ChecksumCheck> check = check_of(damaged);
                // A flip is a mismatch, a stream that no longer decodes, or
                // a flip in what the stream never reads (its padding).
                const bool found = !check || check->state == ChecksumState::Mismatch;
                const bool same = check && check->state == ChecksumState::Match &&
                                  decode_pcm(view(damaged)).has_value() &&
                                  decode_pcm(view(damaged))->view().size() == pcm.size() &&
                                  std::equal(pcm.begin(), pcm.end(), decode_pcm(view(damaged))->data());
                EXPECT_TRUE(found || same) << "byte " << byte << " bit " << bit;
            }
        }
    }
}

}  // namespace
}  // namespace sonavert::pipeline
