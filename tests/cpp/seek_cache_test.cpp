// Seek points through the Shorten reader and the process-wide cache: reads
// at random ranges, on one reader, across readers sharing a cache and on
// many threads, give what a reader without points gives (samples or error);
// the cache keeps within its bound, lets the least recently used file go
// first, and keys points by the file's identity, so a changed file misses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/frames.hpp"
#include "pipeline/seek_cache.hpp"
#include "pipeline_test_support.hpp"
#include "shorten_encoder.hpp"
#include "shorten_stream_builder.hpp"
#include "temp_file.hpp"

namespace sonavert::pipeline {
namespace {

using testing::Bytes;
using testing::pcm_fields;
using testing::sphere_file;
using testing::TempFile;

struct File {
    Bytes bytes;
    std::uint64_t frames;
    std::uint64_t channels;
};

// A Shorten file of `frames` frames; `cut` bytes taken off its end.
File shorten_file(std::uint32_t channels, std::size_t frames, std::uint32_t seed, std::size_t cut = 0) {
    std::mt19937 gen(seed);
    std::vector<std::int32_t> s(frames * channels);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int32_t>((i / 7) % 90) * 300 - 13000 + static_cast<int>(gen() % 512);
    testkit::ShortenOptions o;
    o.channels = channels;
    o.blocksize = 256;
    o.nmean = 4;
    Bytes stream = *testkit::encode_shorten(s, o);
    stream.resize(stream.size() - cut);
    return {sphere_file(pcm_fields(std::to_string(frames), std::to_string(channels), "2",
                                   {{"sample_coding", "pcm,embedded-shorten-v2.00"}}),
                        stream),
            frames, channels};
}

using Opened = testing::OpenedFile;
constexpr auto open = testing::open_file;

// A request's bytes (their count and hash), or its error's message after "!".
std::string outcome(const Status& status, const Bytes& bytes) {
    if (!status) return "!" + status.error().message;
    return std::to_string(bytes.size()) + " bytes, hash " +
           std::to_string(std::hash<std::string>{}(std::string(bytes.begin(), bytes.end())));
}

std::string read_with(ShortenReader& reader, std::uint64_t first, std::uint64_t count, std::uint64_t channels) {
    Bytes out(count * channels * 2);
    return outcome(reader.read(FrameRequest{first, count, {}, SampleType::Int16}, out.data()), out);
}

std::string read_plain(const Opened& file, std::uint64_t first, std::uint64_t count) {
    Bytes out(count * file.layout.channels * 2);
    return outcome(read_frames(file.source, file.layout, FrameRequest{first, count, {}, SampleType::Int16}, out.data()),
                   out);
}

TEST(SeekPointCache, RandomReadsGiveWhatReadsWithoutPointsGive) {
    const File files[] = {
        shorten_file(2, 120000, 1),             // about 14 points
        shorten_file(1, 90000, 2, 20000),       // cut: reads reaching the cut fail
    };
    std::mt19937_64 gen(77);
    for (const File& f : files) {
        TempFile disk(f.bytes);
        SeekPointCache cache;
        for (const ByteSource& source : {ByteSource::of_memory(ByteView(f.bytes)), disk.source(f.bytes.size())}) {
            const Opened file = open(source);
            ShortenReader own(file.source, file.layout);           // its own points only
            ShortenReader shared(file.source, file.layout, &cache);  // and the cache's
            for (int k = 0; k < 60; ++k) {
                // Starts anywhere; lengths up to a few spacings; a tenth to the end.
                const std::uint64_t first = gen() % (f.frames + 1);
                const std::uint64_t count = k % 10 == 9 ? f.frames - first : std::min<std::uint64_t>(gen() % 30000, f.frames - first);
                const std::string want = read_plain(file, first, count);
                const std::string what = std::to_string(first) + " + " + std::to_string(count);
                EXPECT_EQ(read_with(own, first, count, f.channels), want) << what;
                EXPECT_EQ(read_with(shared, first, count, f.channels), want) << what;
                // A reader of its own, made for this read, finds the cache's points.
                ShortenReader once(file.source, file.layout, &cache);
                EXPECT_EQ(read_with(once, first, count, f.channels), want) << what << ", fresh reader";
            }
            EXPECT_GT(own.seek_points(), 3u);
        }
        EXPECT_EQ(cache.files(), 1u) << "points of a file on disk only";
    }
}

TEST(SeekPointCache, AReaderFromPointsHoldsOnlyThePartOfTheFileItReads) {
    // Far jumps back and forth over a file on disk whose points exist: the
    // samples are those of a read without points, and the reader holds about
    // what one read needs, not the file up to where it reads.
    const File f = shorten_file(2, 300000, 3);
    TempFile disk(f.bytes);
    const Opened file = open(disk.source(f.bytes.size()));
    const std::uint64_t payload = f.bytes.size() - file.layout.payload_offset;
    SeekPointCache cache;
    ShortenReader first(file.source, file.layout, &cache);
    ASSERT_EQ(read_with(first, f.frames - 1, 1, f.channels), read_plain(file, f.frames - 1, 1));  // every point
    ShortenReader reader(file.source, file.layout, &cache);
    for (const std::uint64_t at : std::vector<std::uint64_t>{295000, 1000, 290000, 2000, 150000, 3000}) {
        EXPECT_EQ(read_with(reader, at, 4000, f.channels), read_plain(file, at, 4000)) << "at " << at;
        EXPECT_LT(reader.payload_bytes_held(), payload / 4) << "at " << at;
    }
}

TEST(SeekPointCache, StaysWithinItsBoundAndLetsTheLeastRecentlyUsedGo) {
    const File f = shorten_file(2, 60000, 3);
    std::vector<std::unique_ptr<TempFile>> disks;
    SeekPointCache cache(6000);
    std::size_t most = 0;
    for (int i = 0; i < 12; ++i) {
        disks.push_back(std::make_unique<TempFile>(f.bytes));
        const Opened file = open(disks.back()->source(f.bytes.size()));
        const std::string want = read_plain(file, 0, f.frames);
        ShortenReader reader(file.source, file.layout, &cache);
        ASSERT_EQ(read_with(reader, 0, f.frames, f.channels), want);
        most = std::max(most, cache.bytes());
        EXPECT_LE(cache.bytes(), cache.limit());
    }
    EXPECT_GT(most, 3000u) << "the bound was reached";
    EXPECT_LT(cache.files(), 12u);
    // The newest file is held, the oldest gone.
    const auto identity = [&](std::size_t i) {
        return *file_identity(open(disks[i]->source(f.bytes.size())).source.descriptor());
    };
    EXPECT_TRUE(cache.at_or_before(identity(11), f.frames).has_value());
    EXPECT_FALSE(cache.at_or_before(identity(0), f.frames).has_value());
    // One file over the bound alone keeps the points that fit, the first ones.
    cache.set_limit(1000);
    EXPECT_LE(cache.bytes(), 1000u);
    const std::optional<shorten::SeekPoint> first = cache.at_or_before(identity(11), f.frames);
    if (first) {
        EXPECT_LT(first->frame, f.frames / 2);
    }
    cache.set_limit(0);
    EXPECT_EQ(cache.bytes(), 0u);
    EXPECT_EQ(cache.files(), 0u);
}

TEST(SeekPointCache, AChangedFileIsNeverServedTheOldPoints) {
    // Other samples, the shorter file padded after its stream's end.
    File before = shorten_file(1, 40000, 4);
    File after = shorten_file(1, 40000, 5);
    const std::size_t size = std::max(before.bytes.size(), after.bytes.size());
    before.bytes.resize(size);
    after.bytes.resize(size);
    TempFile disk(before.bytes);
    SeekPointCache cache;
    const Opened file = open(disk.source(before.bytes.size()));
    {
        ShortenReader reader(file.source, file.layout, &cache);
        ASSERT_NE(read_with(reader, 0, before.frames, 1)[0], '!');
    }
    const FileIdentity old = *file_identity(file.source.descriptor());
    ASSERT_TRUE(cache.at_or_before(old, before.frames).has_value());
    // Rewrite in place, with a modification time that differs.
    ASSERT_EQ(::pwrite(file.source.descriptor(), after.bytes.data(), after.bytes.size(), 0),
              static_cast<ssize_t>(after.bytes.size()));
    const struct timespec times[2] = {{0, UTIME_OMIT}, {old.mtime_ns / 1'000'000'000 + 5, 0}};
    ASSERT_EQ(::futimens(file.source.descriptor(), times), 0);
    const Opened changed = open(disk.source(after.bytes.size()));
    EXPECT_FALSE(cache.at_or_before(*file_identity(changed.source.descriptor()), 0).has_value());
    ShortenReader fresh(changed.source, changed.layout, &cache);
    EXPECT_EQ(read_with(fresh, 30000, 5000, 1), read_plain(open(ByteSource::of_memory(ByteView(after.bytes))), 30000, 5000));
}

TEST(SeekPointCache, ManyThreadsOverOneFileReadWhatOneReads) {
    const File f = shorten_file(2, 150000, 6);
    TempFile disk(f.bytes);
    const Opened file = open(disk.source(f.bytes.size()));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::mt19937_64 gen(8);
    for (int k = 0; k < 64; ++k) {
        const std::uint64_t first = gen() % f.frames;
        ranges.emplace_back(first, std::min<std::uint64_t>(gen() % 20000, f.frames - first));
    }
    std::vector<std::string> want;
    for (const auto& [first, count] : ranges) want.push_back(read_plain(file, first, count));
    SeekPointCache cache;
    std::vector<int> wrong(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t k = 0; k < ranges.size(); ++k) {
                const std::size_t i = (k * 5 + static_cast<std::size_t>(t) * 11) % ranges.size();
                ShortenReader reader(file.source, file.layout, &cache);
                if (read_with(reader, ranges[i].first, ranges[i].second, f.channels) != want[i]) ++wrong[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << "thread " << t;
    EXPECT_EQ(cache.files(), 1u);
}

}  // namespace
}  // namespace sonavert::pipeline
