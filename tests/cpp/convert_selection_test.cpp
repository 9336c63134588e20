// convert_selection: the conversion of frames and a channel chosen by the
// caller gives what the command's conversion gives for the same choice, in
// every format and form, on files made here; its own edges and errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/g711_table.hpp"
#include "pipeline/convert.hpp"
#include "pipeline_test_support.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::sphere_file;

Bytes bytes_of(const Result<ByteBuffer>& b) { return b ? Bytes(b->data(), b->data() + b->size()) : Bytes{}; }

// A stereo mu-law Shorten file of 6 frames whose codes include both zeros.
Bytes mulaw_shorten_file() {
    testkit::ShortenOptions options;
    options.channels = 2;
    options.sample_type = 8;
    const std::vector<std::int32_t> samples = {-1, 0, 5, -1, 127, -128, 0, -1, -2, 3, -1, -1};
    Result<Bytes> stream = testkit::encode_shorten(samples, options);
    EXPECT_TRUE(stream.has_value());
    return sphere_file({{"sample_count", "6"}, {"channel_count", "2"}, {"sample_rate", "8000"},
                        {"sample_n_bytes", "1"}, {"sample_coding", "ulaw,embedded-shorten-v2.00"}},
                       stream.has_value() ? *stream : Bytes{});
}

Bytes pcm16_file() {
    Bytes payload;
    for (int i = 0; i < 12; ++i) {
        const int s = (i % 2 ? -1 : 1) * 1000 * i;
        payload.push_back(static_cast<std::uint8_t>(s));
        payload.push_back(static_cast<std::uint8_t>(s >> 8));
    }
    return sphere_file({{"sample_count", "6"}, {"channel_count", "2"}, {"sample_rate", "16000"},
                        {"sample_n_bytes", "2"}, {"sample_byte_format", "01"}},
                       payload);
}

TEST(ConvertSelection, GivesTheCommandsOutputForTheSameChoice) {
    struct Choice {
        std::uint64_t first, count;
        std::optional<std::uint32_t> channel;  // from 0
    };
    const Choice choices[] = {{0, 6, std::nullopt}, {1, 3, std::nullopt}, {2, 4, 1}, {0, 6, 0}, {6, 0, std::nullopt}};
    int compared = 0;
    for (const Bytes& file : {mulaw_shorten_file(), pcm16_file()}) {
        Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
        ASSERT_TRUE(header.has_value()) << header.error().message;
        for (const OutputFormat format :
             {OutputFormat::Sphere, OutputFormat::Raw, OutputFormat::Wav, OutputFormat::Au, OutputFormat::Aiff}) {
            for (const FormRequest form :
                 {FormRequest::AsStored, FormRequest::Pcm16, FormRequest::MuLaw, FormRequest::ALaw}) {
                for (const Choice& c : choices) {
                    ConvertRequest request;
                    request.format = format;
                    request.form = form;
                    if (c.channel) request.channel = *c.channel + 1;
                    if (c.first != 0 || c.count != 6) {
                        request.range = {RangeRequest::Unit::Samples, 0, 0, c.first, c.first + c.count};
                    }
                    const Result<ByteBuffer> expected = convert(*header, request);
                    const Result<ByteBuffer> got = convert_selection(*header, format, form, {c.first, c.count, c.channel});
                    ASSERT_TRUE(expected.has_value() && got.has_value());
                    EXPECT_EQ(bytes_of(got), bytes_of(expected)) << static_cast<int>(format) << " "
                                                                 << static_cast<int>(form) << " from " << c.first;
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 2 * 5 * 4 * 5);
}

TEST(ConvertSelection, MuLawShortenCodesStayAsStored) {
    const Bytes file = mulaw_shorten_file();  // the header views it
    Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
    ASSERT_TRUE(header.has_value());
    // Samples -1 and 0 are codes 0x7F and 0xFF: both the level 0, each kept.
    const Bytes codes = {0x7F, 0xFF, 0xFA, 0x7F, 0x80, 0x00, 0xFF, 0x7F, 0x7E, 0xFC, 0x7F, 0x7F};
    EXPECT_EQ(bytes_of(convert_selection(*header, OutputFormat::Raw, FormRequest::AsStored, {0, 6, std::nullopt})),
              codes);
    EXPECT_EQ(bytes_of(convert_selection(*header, OutputFormat::Raw, FormRequest::MuLaw, {1, 2, 0})),
              (Bytes{0xFA, 0x80}));
    // 16-bit: the levels of the codes, both zeros 0.
    const G711Table mu = make_g711_table(false);
    Bytes levels;
    for (std::size_t i = 0; i < 4; ++i) {
        levels.push_back(static_cast<std::uint8_t>(mu[codes[i]]));
        levels.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(mu[codes[i]]) >> 8));
    }
    EXPECT_EQ(mu[0x7F], 0);
    EXPECT_EQ(bytes_of(convert_selection(*header, OutputFormat::Raw, FormRequest::Pcm16, {0, 2, std::nullopt})),
              levels);
}

TEST(ConvertSelection, EdgesAndErrors) {
    const Bytes file = pcm16_file();  // the header views it
    Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
    ASSERT_TRUE(header.has_value());
    struct Case {
        const char* name;
        Selection sel;
        std::size_t bytes;   // of raw output
        const char* error;   // or null
    };
    const Case cases[] = {
        {"frames past the end are cut", {4, 100, std::nullopt}, 2 * 2 * 2, nullptr},
        {"the end itself: empty", {6, 1, 1}, 0, nullptr},
        {"first after the end", {7, 0, std::nullopt}, 0,
         "range starts at sample 7, after the end of the file (6 samples)"},
        {"channel beyond the file's", {0, 1, 2}, 0, "channel 3 requested, but the file has 2 channels"},
    };
    for (const Case& c : cases) {
        const Result<ByteBuffer> out = convert_selection(*header, OutputFormat::Raw, FormRequest::AsStored, c.sel);
        if (c.error) {
            ASSERT_FALSE(out.has_value()) << c.name;
            EXPECT_EQ(out.error().message, c.error) << c.name;
        } else {
            ASSERT_TRUE(out.has_value()) << c.name << ": " << out.error().message;
            EXPECT_EQ(out->size(), c.bytes) << c.name;
        }
    }
}

}  // namespace
}  // namespace sonavert::pipeline
