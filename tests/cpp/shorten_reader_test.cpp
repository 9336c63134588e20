// The Shorten reader behind reads of frame ranges: every request, alone or
// in a sequence on one reader (forward, backward, overlapping), gives what
// the same request gives on a plain PCM file of the whole-stream decode; a
// fault after the requested frames is not seen, one before or inside them
// fails as decoding the whole file fails; reads to the end make every check
// of the whole-stream decode; memory and the bytes read from disk follow the
// frames read, not the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pipeline/drivers.hpp"
#include "pipeline/frames.hpp"
#include "pipeline_test_support.hpp"
#include "shorten_stream_builder.hpp"
#include "temp_file.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::pcm_fields;
using testing::sphere_file;
using testing::TempFile;

constexpr const char* kShorten = "pcm,embedded-shorten-v2.00";

Bytes shorten_file(const Bytes& stream, std::uint64_t frames, std::uint64_t channels) {
    return sphere_file(pcm_fields(std::to_string(frames), std::to_string(channels), "2", {{"sample_coding", kShorten}}),
                       stream);
}

// The file with the whole-stream decode of its samples stored as plain PCM:
// the oracle of every request.
Bytes pcm_twin(const Bytes& file, std::uint64_t frames, std::uint64_t channels) {
    const Result<ByteBuffer> pcm = decode_pcm(ByteView(file));
    EXPECT_TRUE(pcm.has_value()) << pcm.error().message;
    if (!pcm) return {};
    return sphere_file(pcm_fields(std::to_string(frames), std::to_string(channels), "2"),
                       Bytes(pcm->data(), pcm->data() + pcm->size()));
}

using Opened = testing::OpenedFile;
constexpr auto open = testing::open_file;

// The bytes of a request, or its error's message.
using Outcome = std::pair<std::string, Bytes>;

Outcome outcome(const Status& status, Bytes bytes) {
    if (!status) return {status.error().message, {}};
    return {"", std::move(bytes)};
}

Outcome read_fresh(const Opened& file, const FrameRequest& request) {
    Bytes out(*request_size(file.layout, request));
    const Status status = read_frames(file.source, file.layout, request, out.data());
    return outcome(status, std::move(out));
}

Outcome read_on(ShortenReader& reader, const Opened& file, const FrameRequest& request) {
    Bytes out(*request_size(file.layout, request));
    const Status status = reader.read(request, out.data());
    return outcome(status, std::move(out));
}

std::vector<std::int32_t> signal(std::mt19937& gen, std::size_t n, int kind) {
    std::vector<std::int32_t> s(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (kind) {
            case 0: s[i] = static_cast<std::int32_t>(gen() % 65536) - 32768; break;  // noise
            case 1: s[i] = static_cast<std::int32_t>((i / 13) % 40) * 300 - 6000; break;  // steps
            default: s[i] = static_cast<std::int32_t>(gen() % 256) - 128; break;  // mu-law values
        }
    }
    return s;
}

struct Encoded {
    Bytes file;
    std::uint64_t frames;
    std::uint64_t channels;
};

Encoded encoded(std::uint32_t channels, std::uint32_t blocksize, std::size_t frames, int kind,
                std::uint32_t maxnlpc = 0, std::uint32_t sample_type = 5, std::uint32_t nskip = 0) {
    std::mt19937 gen(static_cast<std::uint32_t>(frames * 31 + channels));
    testkit::ShortenOptions o;
    o.channels = channels;
    o.blocksize = blocksize;
    o.maxnlpc = maxnlpc;
    o.sample_type = sample_type;
    o.nmean = sample_type == 8 ? 0 : 4;
    o.nskip = nskip;
    const Result<Bytes> stream = testkit::encode_shorten(signal(gen, frames * channels, kind), o);
    EXPECT_TRUE(stream.has_value()) << stream.error().message;
    return {shorten_file(stream.has_value() ? *stream : Bytes{}, frames, channels), frames, channels};
}

// Requests of a sequence read on one reader; n is the file's frames.
std::vector<std::pair<std::uint64_t, std::uint64_t>> sequence(std::mt19937& gen, std::uint64_t n) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> s = {
        {0, std::min<std::uint64_t>(n, 1000)},   {n / 2, std::min<std::uint64_t>(n - n / 2, 777)},
        {n - std::min<std::uint64_t>(n, 5), std::min<std::uint64_t>(n, 5)},  // to the end
        {0, 0},  {n, 0},  {n / 3, 1},  {n / 3 + 1, 2},  {n / 3, 40},  // on, then back over it
        {0, n},  {7 % (n + 1), n - 7 % (n + 1)},
    };
    for (int k = 0; k < 12; ++k) {
        const std::uint64_t first = gen() % (n + 1);
        s.emplace_back(first, gen() % (n - first + 1));
    }
    return s;
}

TEST(ShortenReader, EveryRequestAndSequenceMatchesTheWholeStreamDecode) {
    const struct {
        const char* name;
        Encoded file;
    } cases[] = {
        {"mono noise, blocksize 256", encoded(1, 256, 9000, 0)},
        {"stereo noise on disk beyond the first reads", encoded(2, 256, 200000, 0)},
        {"three channels, blocksize 7, QLPC", encoded(3, 7, 3000, 1, 8)},
        {"stereo steps, QLPC 32", encoded(2, 512, 20000, 1, 32)},
        {"mu-law", encoded(2, 256, 5000, 2, 0, 8)},
        {"one block of the whole stream", encoded(1, 300000, 300000, 0)},
        {"skip codes beyond the first read", encoded(1, 256, 2000, 0, 0, 5, 200000)},
    };
    std::mt19937 gen(2026);
    for (const auto& c : cases) {
        const Bytes twin = pcm_twin(c.file.file, c.file.frames, c.file.channels);
        const Opened oracle = open(ByteSource::of_memory(ByteView(twin)));
        TempFile disk(c.file.file);
        for (const ByteSource& source : {ByteSource::of_memory(ByteView(c.file.file)), disk.source(c.file.file.size())}) {
            const Opened file = open(source);
            ASSERT_EQ(file.layout.stored, Stored::Shorten) << c.name;
            ShortenReader reader(file.source, file.layout);
            for (const auto& [first, count] : sequence(gen, c.file.frames)) {
                std::vector<std::uint64_t> pick;
                if (gen() % 2) for (unsigned n = 1 + gen() % 3; n > 0; --n) pick.push_back(gen() % c.file.channels);
                const FrameRequest request{first, count, pick, static_cast<SampleType>(gen() % 4)};
                const Outcome want = read_fresh(oracle, request);
                ASSERT_EQ(want.first, "");
                const std::string what = std::string(c.name) + ", frames " + std::to_string(first) + " + " +
                                         std::to_string(count) + ", type " + std::to_string(int(request.type));
                EXPECT_EQ(read_fresh(file, request), want) << what << ", alone";
                EXPECT_EQ(read_on(reader, file, request), want) << what << ", in sequence";
                EXPECT_EQ(reader.position(), count == 0 ? reader.position() : first + count) << what;
            }
        }
    }
}

// A mono stream of `blocks` DIFF0 blocks of 256 ramp samples, then `tail`.
Bytes ramp_stream(std::uint64_t channels, int blocks, void (*tail)(shorten::testing::Stream&)) {
    shorten::testing::Header h;
    h.channels = channels;
    h.blocksize = 256;
    shorten::testing::Stream s(h);
    for (int b = 0; b < blocks; ++b) {
        std::vector<std::int64_t> residuals(256);
        for (int i = 0; i < 256; ++i) residuals[static_cast<std::size_t>(i)] = (b * 256 + i) % 1000 - 500;
        s.diff(0, 10, residuals);
    }
    tail(s);
    return s.bytes();
}

TEST(ShortenReader, FaultsAfterTheFramesReadAreNotSeenAndOthersFailAsTheWholeDecode) {
    // 12 blocks: frames 0..3071 are sound in every case.
    const Bytes good = shorten_file(ramp_stream(1, 12, [](auto& s) { s.quit(); }), 3072, 1);
    Bytes cut = shorten_file(ramp_stream(1, 12, [](auto&) {}), 3072, 1);
    cut.resize(cut.size() - 1400);  // in block 8 (frames 2048..2303): blocks are 384 bytes
    const struct {
        const char* name;
        Bytes file;
        // A read that ends after this many frames, or at the file's end,
        // fails; one that ends before succeeds.
        std::uint64_t sound;
    } cases[] = {
        {"an unknown command after the frames", shorten_file(ramp_stream(1, 12, [](auto& s) { s.fn(30); }), 4000, 1),
         3072},
        {"QUIT before the declared frames", shorten_file(ramp_stream(1, 12, [](auto& s) { s.quit(); }), 4000, 1), 3072},
        {"the stream cut short", cut, 2000},
        {"a fault after the declared frames",
         shorten_file(ramp_stream(1, 12, [](auto& s) { s.diff(0, 10, {1, 2}); }), 2000, 1), 1999},
        {"channel counts disagree, then a fault",
         shorten_file(ramp_stream(1, 12, [](auto& s) { s.fn(30); }), 1000, 2), 0},
        {"channel counts disagree", shorten_file(ramp_stream(1, 12, [](auto& s) { s.quit(); }), 1000, 2), 0},
    };
    const Opened reference = open(ByteSource::of_memory(ByteView(good)));
    for (const auto& c : cases) {
        const Result<ByteBuffer> whole = decode_pcm(ByteView(c.file));
        ASSERT_FALSE(whole.has_value()) << c.name;
        const std::string fault = whole.error().message;
        TempFile disk(c.file);
        for (const ByteSource& source : {ByteSource::of_memory(ByteView(c.file)), disk.source(c.file.size())}) {
            const Opened file = open(source);
            const std::uint64_t n = file.layout.frames;
            if (c.sound > 0) {
                const FrameRequest before{c.sound / 2, c.sound - c.sound / 2, {}, SampleType::Int16};
                EXPECT_EQ(read_fresh(file, before), read_fresh(reference, before)) << c.name << ", before the fault";
            }
            // Across the fault, and to the end: the whole decode's message.
            const std::uint64_t from = c.sound > 0 ? c.sound - 1 : 0;
            const FrameRequest requests[] = {{from, std::min<std::uint64_t>(c.sound + 600, n) - from, {}, SampleType::Float32},
                                             {0, n, {}, SampleType::Int16},
                                             {n - 1, 1, {}, SampleType::Int32}};
            for (const FrameRequest& request : requests) {
                ASSERT_TRUE(request.first + request.count > c.sound || request.first + request.count == n);
                EXPECT_EQ(read_fresh(file, request).first, fault) << c.name << ", from " << request.first;
            }
        }
    }
}

TEST(ShortenReader, AFileWithoutFramesIsCheckedWhenAllOfItIsRead) {
    const Bytes bad = shorten_file(ramp_stream(1, 2, [](auto& s) { s.fn(30); }), 0, 1);
    const Bytes fine = shorten_file(ramp_stream(1, 2, [](auto& s) { s.quit(); }), 0, 1);
    const FrameRequest all{0, 0, {}, SampleType::Float64};
    EXPECT_EQ(read_fresh(open(ByteSource::of_memory(ByteView(bad))), all).first,
              decode_pcm(ByteView(bad)).error().message);
    EXPECT_EQ(read_fresh(open(ByteSource::of_memory(ByteView(fine))), all), Outcome("", {}));
}

TEST(ShortenReader, MemoryAndBytesReadFollowTheFramesRead) {
    const Encoded e = encoded(2, 256, 600000, 0);
    TempFile disk(e.file);
    const Opened file = open(disk.source(e.file.size()));
    const std::uint64_t payload = e.file.size() - file.layout.payload_offset;
    ShortenReader reader(file.source, file.layout);
    std::vector<std::uint8_t> out(16000 * 2 * 2);
    for (std::uint64_t first = 0; first < e.frames; first += 16000) {
        const FrameRequest block{first, std::min<std::uint64_t>(16000, e.frames - first), {}, SampleType::Int16};
        ASSERT_TRUE(reader.read(block, out.data()).ok());
        // A block of 256 frames per channel and the conversion's scratch.
        EXPECT_LE(reader.buffered_bytes(), std::size_t{256} * 1024) << "at frame " << first;
        if (first == 0) {
            EXPECT_LT(reader.payload_bytes_held(), payload / 4) << "the first block read most of the file";
        }
    }
    EXPECT_EQ(reader.payload_bytes_held(), payload);
    const ShortenReader in_memory(ByteSource::of_memory(ByteView(e.file)), file.layout);
    EXPECT_EQ(in_memory.payload_bytes_held(), 0u);
}

}  // namespace
}  // namespace sonavert::pipeline
