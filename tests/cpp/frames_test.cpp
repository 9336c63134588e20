#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/drivers.hpp"
#include "pipeline/frames.hpp"
#include "pipeline/wav_writer.hpp"
#include "sphere/fields.hpp"
#include "pipeline_test_support.hpp"
#include "temp_file.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::describe;
using testing::pcm_fields;
using testing::sphere_file;
using testing::TempFile;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// What parse_header says of a whole file, as text, to compare outcomes.
std::string outcome(const Result<sphere::SphereHeader>& r) {
    if (!r) return describe(r.error());
    return "header of " + std::to_string(r->header_size) + " bytes";
}

Bytes noise(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

TEST(Frames, HeaderFromMemoryAndDiskAgreesWithTheWholeFileParse) {
    const Bytes valid = sphere_file(pcm_fields("4", "1", "2"), Bytes(8, 1));
    std::string late_size = "NIST_1A" + std::string(9000, ' ') + "\n   12000\n";
    late_size += "sample_count -i 0\nsample_rate -i 1\nchannel_count -i 1\nsample_n_bytes -i 2\nend_head\n";
    late_size.resize(12000, ' ');
    std::string big = "NIST_1A\n   20000\nsample_count -i 0\nsample_rate -i 1\nchannel_count -i 1\n"
                      "sample_n_bytes -i 2\n";
    for (int i = 0; i < 900; ++i) {
        const std::string n = std::to_string(i);
        big.append(1, 'f').append(n).append(" -i ").append(n).append(1, '\n');
    }
    big += "end_head\n";
    big.resize(20000, ' ');
    const std::vector<std::pair<const char*, Bytes>> files = {
        {"valid", valid},
        {"empty", {}},
        {"wrong magic", bytes_of("RIFF....WAVE")},
        {"magic only", bytes_of("NIST_1A")},
        {"no size line", bytes_of("NIST_1A\n   1024")},
        {"claims more than the file", bytes_of("NIST_1A\n   9999\nend_head\n")},
        {"claims 2^64 - 1", bytes_of("NIST_1A\n18446744073709551615\n")},
        {"bad size line", bytes_of("NIST_1A\n 12x\n")},
        {"no line feeds in 10 kB", Bytes(10000, 'N')},
        {"late size line", bytes_of(late_size)},
        {"header beyond the first read", bytes_of(big)},
        {"noise", noise(5000, 7)},
    };
    for (const auto& [what, file] : files) {
        const std::string expected = outcome(sphere::parse_header(ByteView(file)));
        TempFile disk(file);
        for (const ByteSource& source : {ByteSource::of_memory(ByteView(file)), disk.source(file.size())}) {
            const Result<HeaderBlock> block = read_header(source);
            EXPECT_EQ(block ? outcome(block->header) : describe(block.error()), expected) << what;
            if (block) {
                EXPECT_LE(block->bytes.size(), file.size()) << what;
            }
        }
    }
}

TEST(Frames, HeaderBytesNeeded) {
    struct Row {
        const char* prefix;
        std::uint64_t needed;
    };
    const Row rows[] = {
        {"", 1},                     // more is needed
        {"NIST", 5},                 // the magic so far
        {"NISX_1A\n", 8},            // decided: wrong magic
        {"NIST_1A\n  10", 13},       // the size line not yet ended
        {"NIST_1A\n  1024\n", 1024},  // the declared size
        {"NIST_1A\n  4\n", 12},      // declared less than is there
        {"NIST_1A\n x\n", 11},       // decided: a bad size line
    };
    for (const Row& r : rows) {
        const std::string p = r.prefix;
        EXPECT_EQ(sphere::header_bytes_needed(ByteView(reinterpret_cast<const std::uint8_t*>(p.data()), p.size())),
                  r.needed)
            << p;
    }
}

TEST(Frames, AudioChecksFailAsDecodingDoesInTheSameOrder) {
    const std::vector<std::pair<const char*, Bytes>> files = {
        {"truncated payload", sphere_file(pcm_fields("4", "1", "2"), Bytes(7, 0))},
        {"truncated before a bad coding", sphere_file(pcm_fields("4", "1", "2", {{"sample_coding", "xyz"}}), {})},
        {"unknown coding", sphere_file(pcm_fields("0", "1", "2", {{"sample_coding", "xyz"}}), {})},
        {"unknown compression", sphere_file(pcm_fields("0", "1", "2", {{"sample_coding", "pcm,zip"}}), {})},
        {"24-bit PCM", sphere_file(pcm_fields("0", "1", "3"), {})},
        {"bad byte format", sphere_file(pcm_fields("0", "1", "2", {{"sample_byte_format", "0123"}}), {})},
        {"two-byte mu-law", sphere_file(pcm_fields("0", "1", "2", {{"sample_coding", "ulaw"}}), {})},
        {"payload size overflows", sphere_file(pcm_fields("4611686018427387904", "4", "2"), {})},
    };
    for (const auto& [what, file] : files) {
        const Result<ByteBuffer> decoded = decode_pcm(ByteView(file));
        ASSERT_FALSE(decoded.has_value()) << what;
        const Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
        ASSERT_TRUE(header.has_value()) << what;
        const Result<AudioLayout> layout = check_audio(*header, file.size());
        ASSERT_FALSE(layout.has_value()) << what;
        EXPECT_EQ(describe(layout.error()), describe(decoded.error())) << what;
    }
}

// The samples of decode_pcm's output (16 or 32-bit little-endian) as ints.
std::vector<std::int64_t> as_ints(const ByteBuffer& pcm, unsigned bits) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i + bits / 8 <= pcm.size(); i += bits / 8) {
        if (bits == 16) {
            out.push_back(static_cast<std::int16_t>(pcm.data()[i] | pcm.data()[i + 1] << 8));
        } else {
            std::int32_t v;
            std::memcpy(&v, pcm.data() + i, 4);
            out.push_back(v);
        }
    }
    return out;
}

// The expected value of sample `s` of `bits` bits as `type`, as a double.
double expected_value(std::int64_t s, unsigned bits, SampleType type) {
    switch (type) {
        case SampleType::Int16: return static_cast<double>(bits == 16 ? s : s >> 16);
        case SampleType::Int32: return static_cast<double>(bits == 16 ? s * 65536 : s);
        case SampleType::Float32: {
            const float v = static_cast<float>(static_cast<double>(s) / (bits == 16 ? 32768.0 : 2147483648.0));
            return v < 1.0f ? v : 1.0f - 1.0f / 16777216.0f;
        }
        case SampleType::Float64: return static_cast<double>(s) / (bits == 16 ? 32768.0 : 2147483648.0);
    }
    return 0;
}

double read_value(const std::uint8_t* p, SampleType type) {
    switch (type) {
        case SampleType::Int16: { std::int16_t v; std::memcpy(&v, p, 2); return v; }
        case SampleType::Int32: { std::int32_t v; std::memcpy(&v, p, 4); return v; }
        case SampleType::Float32: { float v; std::memcpy(&v, p, 4); return v; }
        case SampleType::Float64: { double v; std::memcpy(&v, p, 8); return v; }
    }
    return 0;
}

struct Coded {
    const char* what;
    Bytes file;
};

std::vector<Coded> coded_files() {
    const Bytes pcm16 = noise(3 * 2 * 50, 1), pcm32 = noise(3 * 4 * 50, 2), g711 = noise(3 * 50, 3);
    std::vector<std::vector<std::int16_t>> channels(3, std::vector<std::int16_t>(50));
    std::mt19937 gen(4);
    for (auto& c : channels) for (auto& s : c) s = static_cast<std::int16_t>(gen());
    const Bytes shorten = testing::shorten_stream(channels);
    return {
        {"pcm 16 le", sphere_file(pcm_fields("50", "3", "2", {{"sample_byte_format", "01"}}), pcm16)},
        {"pcm 16 be", sphere_file(pcm_fields("50", "3", "2", {{"sample_byte_format", "10"}}), pcm16)},
        {"pcm 32 le", sphere_file(pcm_fields("50", "3", "4"), pcm32)},
        {"pcm 32 be", sphere_file(pcm_fields("50", "3", "4", {{"sample_byte_format", "10"}}), pcm32)},
        {"mu-law", sphere_file(pcm_fields("50", "3", "1", {{"sample_coding", "mu-law"}}), g711)},
        {"a-law", sphere_file(pcm_fields("50", "3", "1", {{"sample_coding", "alaw"}}), g711)},
        {"shorten", sphere_file(pcm_fields("50", "3", "2", {{"sample_coding", "pcm,embedded-shorten-v2.00"}}),
                                shorten)},
    };
}

// Random ranges, channel picks and types, from memory and from disk, against
// the whole-file decoder's samples.
TEST(Frames, RandomRequestsMatchTheWholeFileDecode) {
    std::mt19937 gen(12);
    for (const Coded& coded : coded_files()) {
        const Result<ByteBuffer> whole = decode_pcm(ByteView(coded.file));
        ASSERT_TRUE(whole.has_value()) << coded.what;
        TempFile disk(coded.file);
        const ByteSource sources[] = {ByteSource::of_memory(ByteView(coded.file)), disk.source(coded.file.size())};
        for (const ByteSource& source : sources) {
            const Result<HeaderBlock> block = read_header(source);
            ASSERT_TRUE(block.has_value()) << coded.what;
            const Result<AudioLayout> layout = check_audio(block->header, source.size());
            ASSERT_TRUE(layout.has_value()) << coded.what;
            const std::vector<std::int64_t> samples = as_ints(*whole, layout->bits_per_sample);
            for (int trial = 0; trial < 60; ++trial) {
                FrameRequest request;
                request.first = gen() % 51;
                request.count = gen() % (51 - request.first);
                std::vector<std::uint64_t> pick;
                if (gen() % 2) for (unsigned n = 1 + gen() % 5; n > 0; --n) pick.push_back(gen() % 3);
                request.pick = pick;
                request.type = static_cast<SampleType>(gen() % 4);
                const Result<std::uint64_t> size = request_size(*layout, request);
                ASSERT_TRUE(size.has_value());
                std::vector<std::uint8_t> out(*size + 1, 0xAB);
                const Status status = read_frames(source, *layout, request, out.data());
                ASSERT_TRUE(status.ok()) << coded.what;
                EXPECT_EQ(out.back(), 0xAB) << coded.what << ": wrote past the request";
                const std::size_t item = sample_size(request.type);
                std::size_t k = 0;
                for (std::uint64_t f = request.first; f < request.first + request.count; ++f) {
                    for (std::size_t j = 0; j < (pick.empty() ? 3 : pick.size()); ++j, ++k) {
                        const std::uint64_t c = pick.empty() ? j : pick[j];
                        const double want = expected_value(samples[f * 3 + c], layout->bits_per_sample, request.type);
                        ASSERT_EQ(read_value(out.data() + k * item, request.type), want)
                            << coded.what << " frame " << f << " channel " << c;
                    }
                }
            }
        }
    }
}

TEST(Frames, ShrunkFileAndBadDescriptorAreErrors) {
    const Bytes file = sphere_file(pcm_fields("5000", "1", "2"), noise(10000, 9));
    TempFile disk(file);
    disk.truncate(6000);
    // A size taken before the file shrank: the read runs into the end.
    const ByteSource stale = disk.source(file.size());
    const Result<HeaderBlock> block = read_header(stale);
    ASSERT_TRUE(block.has_value());
    Result<AudioLayout> layout = check_audio(block->header, stale.size());
    ASSERT_TRUE(layout.has_value());
    std::vector<std::uint64_t> none;
    const FrameRequest all{0, 5000, none, SampleType::Int16};
    std::vector<std::uint8_t> out(*request_size(*layout, all));
    const Status past_end = read_frames(stale, *layout, all, out.data());
    ASSERT_FALSE(past_end.ok());
    EXPECT_EQ(past_end.error().message, "the file ended early: it became shorter while it was read");
    EXPECT_EQ(stale.os_error(), 0);

    const ByteSource closed = ByteSource::of_descriptor(1 << 20, 4096);  // no such descriptor
    const Result<HeaderBlock> failed = read_header(closed);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(closed.os_error(), EBADF);
    EXPECT_EQ(failed.error().message, std::string("reading the file failed: ") + std::strerror(EBADF));
}

TEST(Frames, WavHeaderMatchesTheWriterAndItsChecks) {
    const Bytes pcm(64000, 0);
    const Result<ByteBuffer> whole = write_wav(2, 16000, 16, ByteView(pcm));
    const auto header = wav_header_for(2, 16000, 16, pcm.size());
    ASSERT_TRUE(whole.has_value() && header.has_value());
    EXPECT_EQ(Bytes(header->begin(), header->end()), Bytes(whole->data(), whole->data() + kWavHeaderSize));
    struct Row {
        std::int64_t channels, rate;
        std::uint16_t bits;
        std::uint64_t length;
        const char* message;
    };
    const Row rows[] = {
        {65536, 1LL << 32, 16, 0, "channel_count too large for WAV"},
        {1, 1LL << 32, 16, 0, "sample_rate too large for WAV"},
        {1, 8000, 12, 0, "bits_per_sample must be a multiple of 8, got 12"},
        {32768, 1LL << 31, 16, 0, "WAV byte_rate exceeds 32-bit field"},
        {32768, 8000, 16, 0, "WAV block_align exceeds 16-bit field"},
        {1, 8000, 16, 4294967260u, "output exceeds the 4 GB RIFF/WAV size limit (4294967260 bytes of PCM)"},
    };
    for (const Row& r : rows) {
        const auto failed = wav_header_for(r.channels, r.rate, r.bits, r.length);
        ASSERT_FALSE(failed.has_value()) << r.message;
        EXPECT_EQ(failed.error().message, r.message);
    }
}

TEST(Frames, EveryFieldLineInOrder) {
    const Bytes file = sphere_file(pcm_fields("0", "1", "2", {{"note", "a b"}, {"sample_count", "0"}}), {});
    const Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(file));
    ASSERT_TRUE(header.has_value());
    std::string seen;
    sphere::for_each_field(header->fields, [&](const sphere::FieldEntry& f) {
        seen.append(f.name).append(1, ':').append(1, f.type).append(1, ':').append(f.value).append(1, ';');
    });
    EXPECT_EQ(seen, "sample_count:i:0;channel_count:i:1;sample_n_bytes:i:2;sample_rate:i:16000;note:s:a b;"
                    "sample_count:i:0;");
}

}  // namespace
}  // namespace sonavert::pipeline
