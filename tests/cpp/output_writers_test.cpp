// The writers of SPHERE, AU, AIFF, raw and G.711 WAV files and the
// conversion the sph2pipe-style command runs, on files made here.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "pipeline/aiff_writer.hpp"
#include "pipeline/au_writer.hpp"
#include "pipeline/convert.hpp"
#include "pipeline/drivers.hpp"
#include "pipeline/sphere_writer.hpp"
#include "pipeline/wav_writer.hpp"
#include "pipeline_test_support.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::from_hex;
using testing::sphere_file;

Bytes bytes_of(const ByteBuffer& b) { return Bytes(b.data(), b.data() + b.size()); }

std::string text_of(const ByteBuffer& b, std::size_t n) {
    return std::string(reinterpret_cast<const char*>(b.data()), std::min(n, b.size()));
}

// Little-endian 16-bit samples.
Bytes le16(const std::vector<int>& samples) {
    Bytes out;
    for (int s : samples) {
        out.push_back(static_cast<std::uint8_t>(s));
        out.push_back(static_cast<std::uint8_t>(s >> 8));
    }
    return out;
}

Result<ByteBuffer> convert_file(const Bytes& file, const ConvertRequest& request) {
    Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
    if (!header) return std::move(header).error();
    return convert(*header, request);
}

ConvertRequest request(OutputFormat format, FormRequest form = FormRequest::AsStored) {
    ConvertRequest r;
    r.format = format;
    r.form = form;
    return r;
}

TEST(OutputWriters, ExtendedSampleRates) {
    struct Case { std::uint64_t rate; const char* hex; };
    const Case cases[] = {
        {1, "3F FF 80 00 00 00 00 00 00 00"},     {8000, "40 0B FA 00 00 00 00 00 00 00"},
        {20000, "40 0D 9C 40 00 00 00 00 00 00"}, {44100, "40 0E AC 44 00 00 00 00 00 00"},
        {4294967295u, "40 1E FF FF FF FF 00 00 00 00"},
    };
    for (const Case& c : cases) {
        std::uint8_t got[10];
        store_extended(got, c.rate);
        EXPECT_EQ(Bytes(got, got + 10), from_hex(c.hex)) << c.rate;
    }
}

// One stereo frame set, converted to every form and byte order.
TEST(OutputWriters, SampleConversionsBetweenForms) {
    const Bytes pcm16 = le16({0, -1, 256, -32768, 32767, 100});
    const SampleView in{SampleForm::Pcm16, false, 2, 3, ByteView(pcm16)};
    struct Case { SampleForm to; bool big_endian; std::optional<std::uint32_t> channel; const char* hex; };
    const Case cases[] = {
        {SampleForm::Pcm16, false, std::nullopt, "00 00 FF FF 00 01 00 80 FF 7F 64 00"},
        {SampleForm::Pcm16, true, std::nullopt, "00 00 FF FF 01 00 80 00 7F FF 00 64"},
        {SampleForm::Pcm16, true, 1u, "FF FF 80 00 00 64"},
        {SampleForm::Pcm32, false, 0u, "00 00 00 00 00 00 00 01 00 00 FF 7F"},
        {SampleForm::MuLaw, false, std::nullopt, "FF 7F E7 00 80 F2"},
        {SampleForm::ALaw, false, 0u, "D5 C5 AA"},
    };
    for (const Case& c : cases) {
        const Selection sel{0, 3, c.channel};
        Result<ByteBuffer> out = write_raw(in, sel, c.to);
        ASSERT_TRUE(out.has_value());
        if (!c.big_endian) {
            EXPECT_EQ(bytes_of(*out), from_hex(c.hex)) << c.hex;
        }
        Bytes direct(*converted_size(in, sel, c.to));
        convert_samples(in, sel, c.to, c.big_endian, direct.data());
        EXPECT_EQ(direct, from_hex(c.hex)) << c.hex;
    }
    // 32 bits to 16 keep the top half; one law to the other goes through 16 bits.
    const Bytes pcm32 = from_hex("FF FF 34 12 00 00 00 80");
    Result<ByteBuffer> top = write_raw(SampleView{SampleForm::Pcm32, false, 1, 2, ByteView(pcm32)},
                                       Selection{0, 2, std::nullopt}, SampleForm::Pcm16);
    EXPECT_EQ(bytes_of(*top), from_hex("34 12 00 80"));
    const Bytes mulaw = from_hex("FF 7F 80 00");
    Result<ByteBuffer> alaw = write_raw(SampleView{SampleForm::MuLaw, false, 1, 4, ByteView(mulaw)},
                                        Selection{0, 4, std::nullopt}, SampleForm::ALaw);
    EXPECT_EQ(bytes_of(*alaw), from_hex("D5 D5 AA 2A"));
}

TEST(OutputWriters, SelectionsOutsideTheSamplesAreCallerFaults) {
    const Bytes pcm = le16({1, 2, 3, 4});
    const SampleView in{SampleForm::Pcm16, false, 2, 2, ByteView(pcm)};
    EXPECT_THROW((void)converted_size(in, Selection{1, 2, std::nullopt}, SampleForm::Pcm16), std::logic_error);
    EXPECT_THROW((void)converted_size(in, Selection{0, 1, 2u}, SampleForm::Pcm16), std::logic_error);
    EXPECT_THROW((void)converted_size(in, Selection{~0ull, 2, std::nullopt}, SampleForm::Pcm16), std::logic_error);
    const SampleView short_data{SampleForm::Pcm16, false, 2, 3, ByteView(pcm)};
    EXPECT_THROW((void)converted_size(short_data, everything(short_data), SampleForm::Pcm16), std::logic_error);
}

TEST(OutputWriters, HeaderLimitsOfAuAiffAndWav) {
    const Bytes pcm = le16({1, 2});
    const SampleView in{SampleForm::Pcm16, false, 1, 2, ByteView(pcm)};
    const Selection all = everything(in);
    struct Case { const char* name; Result<ByteBuffer> result; const char* message; };
    std::vector<Case> cases;
    cases.push_back({"AU rate", write_au(4294967296ull, in, all, SampleForm::Pcm16), "sample_rate too large for AU"});
    cases.push_back({"WAV rate", write_wav_samples(4294967296ull, in, all, SampleForm::MuLaw),
                     "sample_rate too large for WAV"});
    cases.push_back({"WAV G.711 byte rate", write_wav_samples(4294967295ull, SampleView{SampleForm::MuLaw, false, 2, 1,
                                                                                         ByteView(pcm)},
                                                              Selection{0, 1, std::nullopt}, SampleForm::MuLaw),
                     "WAV byte_rate exceeds 32-bit field"});
    const Bytes wide(70000 * 2);
    const SampleView many{SampleForm::Pcm16, false, 70000, 1, ByteView(wide)};
    cases.push_back({"AIFF channels", write_aiff(8000, many, everything(many), SampleForm::Pcm16),
                     "channel_count too large for AIFF"});
    cases.push_back({"WAV channels", write_wav_samples(8000, many, everything(many), SampleForm::Pcm16),
                     "channel_count too large for WAV"});
    for (const Case& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.name;
        EXPECT_EQ(c.result.error().message, c.message) << c.name;
    }
    // The same 70000 channels fit the 32-bit field of AU.
    Result<ByteBuffer> au = write_au(8000, many, everything(many), SampleForm::Pcm16);
    ASSERT_TRUE(au.has_value());
    EXPECT_EQ(Bytes(au->data() + 20, au->data() + 24), from_hex("00 01 11 70"));
}

TEST(OutputWriters, G711WavHasFactChunkAndNoPadByte) {
    const Bytes codes = from_hex("01 02 03");
    const SampleView in{SampleForm::ALaw, false, 1, 3, ByteView(codes)};
    Result<ByteBuffer> wav = write_wav_samples(8000, in, everything(in), SampleForm::ALaw);
    ASSERT_TRUE(wav.has_value());
    EXPECT_EQ(bytes_of(*wav), from_hex("52 49 46 46 35 00 00 00 57 41 56 45 66 6D 74 20 12 00 00 00 06 00 01 00 "
                                       "40 1F 00 00 40 1F 00 00 01 00 08 00 00 00 66 61 63 74 04 00 00 00 03 00 "
                                       "00 00 64 61 74 61 03 00 00 00 01 02 03"));
}

// The SPHERE writer on headers unlike the corpus's: no sample_coding or
// byte format, a checksum, blank and oddly spaced lines, a long header.
TEST(OutputWriters, SphereHeaderRewriting) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> fields;
        FormRequest form;
        std::string lines;  // expected between the size line and end_head
    };
    const std::vector<std::pair<std::string, std::string>> base = {
        {"sample_count", "2"}, {"channel_count", "1"}, {"sample_rate", "8000"}, {"sample_n_bytes", "2"}};
    auto with = [&](std::vector<std::pair<std::string, std::string>> more) {
        auto all = base;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Case cases[] = {
        {"pcm without coding or format", base, FormRequest::AsStored,
         "sample_count -i 2\nchannel_count -i 1\nsample_rate -i 8000\nsample_n_bytes -i 2\n"
         "sample_byte_format -s2 01\n"},
        {"mu-law from pcm adds the coding", with({{"sample_checksum", "123"}, {"sample_byte_format", "10"}}),
         FormRequest::MuLaw,
         "sample_count -i 2\nchannel_count -i 1\nsample_rate -i 8000\nsample_n_bytes -i 1\n"
         "sample_coding -s4 ulaw\n"},
        {"kept fields stay in their order", with({{"sample_sig_bits", "16"}, {"speaker", "x y"}}), FormRequest::ALaw,
         "sample_count -i 2\nchannel_count -i 1\nsample_rate -i 8000\nsample_n_bytes -i 1\nsample_sig_bits -i 8\n"
         "speaker -s3 x y\nsample_coding -s4 alaw\n"},
    };
    for (const Case& c : cases) {
        const Bytes file = sphere_file(c.fields, le16({5, -5}));
        Result<ByteBuffer> out = convert_file(file, request(OutputFormat::Sphere, c.form));
        ASSERT_TRUE(out.has_value()) << c.name << ": " << out.error().message;
        const std::string text = text_of(*out, 1024);
        EXPECT_EQ(text.substr(0, 16), "NIST_1A\n   1024\n") << c.name;
        EXPECT_EQ(text.substr(16, c.lines.size() + 9), c.lines + "end_head\n") << c.name;
        for (std::size_t at = 16 + c.lines.size() + 9; at < 1024; ++at) {
            ASSERT_EQ(text[at], at % 32 == 0 ? '\n' : ' ') << c.name << " at " << at;
        }
        // What it wrote reads back as the samples asked for.
        Result<sphere::SphereHeader> again = sphere::parse_header(out->view());
        ASSERT_TRUE(again.has_value()) << c.name << ": " << again.error().message;
        EXPECT_EQ(again->payload.size(), c.form == FormRequest::AsStored ? 4u : 2u) << c.name;
    }

    // A header that outgrows one block takes two, and says so.
    std::vector<std::pair<std::string, std::string>> long_fields = base;
    for (int i = 0; i < 40; ++i) long_fields.push_back({"note_" + std::to_string(i), std::string(20, 'n')});
    Result<ByteBuffer> two = convert_file(sphere_file(long_fields, le16({1, 2})), request(OutputFormat::Sphere));
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(text_of(*two, 16), "NIST_1A\n   2048\n");
    EXPECT_EQ(two->size(), 2048u + 4u);
}

TEST(OutputWriters, RangesBySecondsAndSamples) {
    using Unit = RangeRequest::Unit;
    struct Case {
        const char* name;
        RangeRequest range;
        std::uint64_t first, count;
        const char* error;
    };
    const Case cases[] = {
        {"none", {}, 0, 5000, nullptr},
        {"seconds truncate", {Unit::Seconds, 0.12345, 0.54321, 0, 0}, 987, 3358, nullptr},
        {"open begin", {Unit::Seconds, 0, 0.05, 0, 0}, 0, 400, nullptr},
        {"open end in samples", {Unit::Samples, 0, 0, 100, 0}, 100, 4900, nullptr},
        {"0:0 is everything", {Unit::Samples, 0, 0, 0, 0}, 0, 5000, nullptr},
        {"end past the file is cut", {Unit::Samples, 0, 0, 10, 9000}, 10, 4990, nullptr},
        {"begin at the end: empty", {Unit::Samples, 0, 0, 5000, 0}, 5000, 0, nullptr},
        {"begin after the end", {Unit::Samples, 0, 0, 5001, 0}, 0, 0,
         "range starts at sample 5001, after the end of the file (5000 samples)"},
        {"end before begin", {Unit::Samples, 0, 0, 500, 400}, 0, 0,
         "range ends at sample 400, before its start at sample 500"},
        {"huge seconds", {Unit::Seconds, 1e300, 0, 0, 0}, 0, 0,
         "range starts at sample 18446744073709551615, after the end of the file (5000 samples)"},
    };
    for (const Case& c : cases) {
        Result<Selection> sel = select_range(c.range, 5000, 8000);
        if (c.error) {
            ASSERT_FALSE(sel.has_value()) << c.name;
            EXPECT_EQ(sel.error().message, c.error) << c.name;
            continue;
        }
        ASSERT_TRUE(sel.has_value()) << c.name << ": " << sel.error().message;
        EXPECT_EQ(sel->first, c.first) << c.name;
        EXPECT_EQ(sel->count, c.count) << c.name;
    }
}

// 32-bit PCM stays 32-bit unless fewer bits are asked for; other widths get
// the decoder's message; a channel beyond the file's is an error before
// the range is looked at.
TEST(OutputWriters, ConversionOfWidthsAndChannels) {
    const Bytes pcm32 = from_hex("01 00 34 12 02 00 CC ED");
    const Bytes file32 = sphere_file({{"sample_count", "2"}, {"channel_count", "1"}, {"sample_rate", "8000"},
                                      {"sample_n_bytes", "4"}, {"sample_byte_format", "01"}},
                                     pcm32);
    Result<ByteBuffer> raw32 = convert_file(file32, request(OutputFormat::Raw));
    EXPECT_EQ(bytes_of(*raw32), pcm32);
    Result<ByteBuffer> au32 = convert_file(file32, request(OutputFormat::Au));
    EXPECT_EQ(Bytes(au32->data() + 12, au32->data() + 16), from_hex("00 00 00 05"));
    EXPECT_EQ(Bytes(au32->data() + 24, au32->data() + 32), from_hex("12 34 00 01 ED CC 00 02"));
    Result<ByteBuffer> aif32 = convert_file(file32, request(OutputFormat::Aiff));
    EXPECT_EQ(Bytes(aif32->data() + 26, aif32->data() + 28), from_hex("00 20"));
    Result<ByteBuffer> wav32 = convert_file(file32, request(OutputFormat::Wav));
    EXPECT_EQ(wav32->size(), 44u + 8u);
    Result<ByteBuffer> p16 = convert_file(file32, request(OutputFormat::Raw, FormRequest::Pcm16));
    EXPECT_EQ(bytes_of(*p16), from_hex("34 12 CC ED"));
    Result<ByteBuffer> aif16 = convert_file(file32, request(OutputFormat::Aiff, FormRequest::MuLaw));
    EXPECT_EQ(Bytes(aif16->data() + 54, aif16->data() + 58), from_hex("12 34 ED CC"));

    for (const char* width : {"1", "3"}) {
        const Bytes file = sphere_file({{"sample_count", "1"}, {"channel_count", "1"}, {"sample_rate", "8000"},
                                        {"sample_n_bytes", width}},
                                       Bytes(3));
        Result<ByteBuffer> out = convert_file(file, request(OutputFormat::Wav, FormRequest::Pcm16));
        ASSERT_FALSE(out.has_value());
        EXPECT_EQ(out.error().message, std::to_string(8 * std::stoi(width)) +
                                           "-bit PCM not supported yet (supported: 16, 32 bit)");
    }

    ConvertRequest channel2 = request(OutputFormat::Raw);
    channel2.channel = 2;
    channel2.range = RangeRequest{RangeRequest::Unit::Samples, 0, 0, 5, 0};
    Result<ByteBuffer> out = convert_file(file32, channel2);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().message, "channel 2 requested, but the file has 1 channel");
}

// A whole Shorten file to 16-bit WAV takes the path without a copy; it must
// give what the module's transcode gives, and what a cut of everything gives.
TEST(OutputWriters, WholeShortenFileToWavMatchesTranscode) {
    const Bytes stream = testing::shorten_stream({{1, -2, 300, -32768, 32767}, {0, 5, -5, 7, -7}});
    const Bytes file = sphere_file({{"sample_count", "5"}, {"channel_count", "2"}, {"sample_rate", "16000"},
                                    {"sample_n_bytes", "2"}, {"sample_coding", "pcm,embedded-shorten-v2.00"}},
                                   stream);
    Result<ByteBuffer> reference = transcode_to_wav(ByteView(file));
    ASSERT_TRUE(reference.has_value()) << reference.error().message;
    for (FormRequest form : {FormRequest::AsStored, FormRequest::Pcm16}) {
        Result<ByteBuffer> whole = convert_file(file, request(OutputFormat::Wav, form));
        ASSERT_TRUE(whole.has_value()) << whole.error().message;
        EXPECT_EQ(bytes_of(*whole), bytes_of(*reference));
    }
    ConvertRequest cut = request(OutputFormat::Wav);
    cut.range = RangeRequest{RangeRequest::Unit::Samples, 0, 0, 0, 5};
    Result<ByteBuffer> general = convert_file(file, cut);
    ASSERT_TRUE(general.has_value());
    EXPECT_EQ(bytes_of(*general), bytes_of(*reference));
}

}  // namespace
}  // namespace sonavert::pipeline
