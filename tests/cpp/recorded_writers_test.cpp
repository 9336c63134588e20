// The writers byte by byte against the whole outputs recorded from the
// converter this command stands in for (frames 1000..1100 of every corpus
// file, in every format, form and channel choice). Skipped when the corpus
// beside the project is absent.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "command/args.hpp"
#include "pipeline/convert.hpp"
#include "recorded_outputs.hpp"
#include "sphere/header.hpp"

namespace sonavert::pipeline {
namespace {

using testing::RecordedRow;

std::vector<std::string_view> split(const std::string& options, const std::string& path,
                                    std::vector<std::string>& storage) {
    std::istringstream in(options);
    for (std::string word; in >> word;) storage.push_back(word);
    storage.push_back(path);
    return std::vector<std::string_view>(storage.begin(), storage.end());
}

bool has(const std::string& options, const std::string& word) {
    std::istringstream in(options);
    for (std::string w; in >> w;) {
        if (w == word) return true;
    }
    return false;
}

// The recorded bytes, with the one difference this command makes on
// purpose applied: an A-law AU file says A-law (27) in its encoding field,
// where the recorded files say mu-law (1).
std::vector<std::uint8_t> expected_bytes(const std::string& file, const std::string& options,
                                         std::vector<std::uint8_t> bytes) {
    const bool linear = has(options, "-p") || has(options, "aif");
    const bool alaw_out = !linear && (has(options, "-a") || (file == "123_2alaw.sph" && !has(options, "-u")));
    if (has(options, "au") && alaw_out) bytes[15] = 27;
    return bytes;
}

TEST(RecordedWriters, EveryWholeRecordedOutputByteByByte) {
    const std::optional<testing::RecordedTable> table = testing::load_recorded_table();
    if (!table) GTEST_SKIP() << "no corpus at " << testing::corpus_root();
    int rows = 0, channel_errors = 0;
    for (const auto& [file, options_rows] : *table) {
        const std::vector<std::uint8_t> input = testing::read_bytes(testing::corpus_file(file));
        ASSERT_FALSE(input.empty()) << file;
        Result<sphere::SphereHeader> header = sphere::parse_header(ByteView(input));
        ASSERT_TRUE(header.has_value()) << file << ": " << header.error().message;
        for (const auto& [options, row] : options_rows) {
            if (!row.output) continue;
            ++rows;
            std::vector<std::string> storage;
            const auto line = command::parse_command_line(split(options, file, storage));
            ASSERT_TRUE(line.has_value()) << options;
            Result<ByteBuffer> out = convert(*header, line->request);
            if (testing::is_mono_corpus_file(file) && has(options, "2")) {
                // Recorded as channel 1 with exit 0: a mono file has no channel 2.
                ASSERT_FALSE(out.has_value()) << file << " " << options;
                EXPECT_EQ(out.error().message, "channel 2 requested, but the file has 1 channel");
                ++channel_errors;
                continue;
            }
            ASSERT_TRUE(out.has_value()) << file << " " << options << ": " << out.error().message;
            EXPECT_EQ(row.exit, 0);
            const std::vector<std::uint8_t> got(out->data(), out->data() + out->size());
            EXPECT_EQ(got, expected_bytes(file, options, *row.output)) << file << " " << options;
        }
    }
    EXPECT_EQ(rows, 660);
    EXPECT_EQ(channel_errors, 5 * 4 * 5);  // 5 mono files x 4 forms x 5 formats
}

}  // namespace
}  // namespace sonavert::pipeline
