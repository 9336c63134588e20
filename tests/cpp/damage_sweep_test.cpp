// Damage sweeps: every valid sample file the project's generators make
// (every coding, every Shorten sample type and command, one and two
// channels), cut at every length and with every single bit of its first
// 4 KiB flipped, must give either a success that agrees with the header or
// one of the catalogued messages; the checks are those of the fuzz targets
// (tools/lib/invariants.hpp). A crash, a sanitizer report or a broken
// invariant fails the sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/catalogue.hpp"
#include "invariants.hpp"
#include "oracles.hpp"
#include "pipeline/drivers.hpp"
#include "sample_files.hpp"
#include "shorten/to_pcm.hpp"

namespace sonavert::testkit {
namespace {

constexpr std::size_t kFlipRegion = 4096;

using Check = CheckOutcome (*)(ByteView);

struct Tally {
    std::size_t inputs = 0;
    std::size_t successes = 0;
};

// Runs every check on one damaged input; false (with a test failure) when
// an invariant broke.
bool run_checks(const std::vector<Check>& checks, ByteView input, const std::string& what, Tally& tally) {
    for (Check check : checks) {
        const CheckOutcome outcome = check(input);
        if (!outcome.broken.empty()) {
            ADD_FAILURE() << what << ": " << outcome.broken;
            return false;
        }
        ++tally.inputs;
        tally.successes += outcome.succeeded ? 1 : 0;
    }
    return true;
}

// Every prefix of the file, then every single-bit flip in its first 4 KiB.
void sweep(const SampleFile& file, const std::vector<Check>& checks, Tally& cuts, Tally& flips) {
    const std::vector<std::uint8_t>& bytes = file.bytes;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        if (!run_checks(checks, ByteView(bytes.data(), n), file.name + " cut to " + std::to_string(n) + " bytes",
                        cuts)) {
            return;
        }
    }
    std::vector<std::uint8_t> damaged = bytes;
    for (std::size_t i = 0; i < std::min(bytes.size(), kFlipRegion); ++i) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            damaged[i] ^= static_cast<std::uint8_t>(1u << bit);
            const bool ok = run_checks(checks, damaged, file.name + " with bit " + std::to_string(bit) +
                                                            " of byte " + std::to_string(i) + " flipped",
                                       flips);
            damaged[i] = bytes[i];
            if (!ok) return;
        }
    }
}

TEST(SampleFiles, SphereFilesDecodeToTheirDeclaredLength) {
    const std::vector<SampleFile> files = sample_sphere_files();
    std::set<std::string> names;
    for (const SampleFile& file : files) {
        names.insert(file.name);
        for (Check check : {check_parse_header, check_header_reader, check_decode_pcm, check_transcode}) {
            const CheckOutcome outcome = check(file.bytes);
            EXPECT_TRUE(outcome.succeeded && outcome.broken.empty()) << file.name << ": " << outcome.broken;
        }
        Result<ByteBuffer> pcm = pipeline::decode_pcm(file.bytes);
        ASSERT_TRUE(pcm.has_value()) << file.name;
        // 32-bit samples only for plain PCM of four bytes; 16 bits otherwise.
        const std::uint64_t width = file.name.rfind("pcm32", 0) == 0 ? 4 : 2;
        EXPECT_EQ(pcm->size(), file.frames * file.channels * width) << file.name;
    }
    EXPECT_EQ(names.size(), files.size());
}

TEST(SampleFiles, ShortenStreamsDecodeToTheirFrames) {
    std::set<std::pair<bool, std::uint64_t>> kinds;  // (mu-law, channels)
    for (const SampleFile& file : sample_shorten_streams()) {
        const CheckOutcome outcome = check_shorten_to_pcm(file.bytes);
        EXPECT_TRUE(outcome.succeeded && outcome.broken.empty()) << file.name << ": " << outcome.broken;
        Result<shorten::ShortenPcm> pcm = shorten::shorten_to_pcm(file.bytes);
        ASSERT_TRUE(pcm.has_value()) << file.name;
        EXPECT_EQ(pcm->channel_count, file.channels) << file.name;
        EXPECT_EQ(pcm->pcm.size(), 2 * file.channels * file.frames) << file.name;
        kinds.insert({pcm->is_ulaw, pcm->channel_count});
    }
    EXPECT_EQ(kinds, (std::set<std::pair<bool, std::uint64_t>>{{false, 1}, {false, 2}, {true, 1}, {true, 2}}));
}

TEST(DamageSweep, SphereFiles) {
    for (const SampleFile& file : sample_sphere_files()) {
        Tally cuts, flips;
        sweep(file, {check_parse_header, check_header_reader, check_decode_pcm, check_transcode}, cuts, flips);
        // Not vacuous: cutting inside the header always fails, and many flips
        // (in the samples, in padding) leave a decodable file.
        EXPECT_LT(cuts.successes, cuts.inputs) << file.name;
        EXPECT_GT(flips.successes, 0u) << file.name;
        EXPECT_LT(flips.successes, flips.inputs) << file.name;
    }
}

TEST(DamageSweep, ShortenStreams) {
    for (const SampleFile& file : sample_shorten_streams()) {
        Tally cuts, flips;
        sweep(file, {check_shorten_to_pcm}, cuts, flips);
        // Only cuts inside the zero padding after QUIT (up to 3 bytes) decode.
        EXPECT_LE(cuts.successes, 3u) << file.name << ": a cut stream lacks its QUIT";
        EXPECT_GT(flips.successes, 0u) << file.name;
        EXPECT_LT(flips.successes, flips.inputs) << file.name;
    }
}

// The catalogue's patterns: placeholders match what they stand for and
// nothing else.
TEST(MessageCatalogue, PatternsMatchTheirPlaceholdersOnly) {
    struct Case {
        const char* pattern;
        const char* message;
        bool matches;
    };
    const Case cases[] = {
        {"header claims {n} bytes but only {n} available", "header claims 10 bytes but only 9 available", true},
        {"header claims {n} bytes but only {n} available", "header claims ten bytes but only 9 available", false},
        {"header claims {n} bytes but only {n} available", "header claims  bytes but only 9 available", false},
        {"sample_count must be >= 0, got {n}", "sample_count must be >= 0, got -1", true},
        {"sample_count must be >= 0, got {n}", "sample_count must be >= 0, got -1 ", false},
        {"field {q} is not an integer", "field \"a b\" is not an integer", true},
        {"field {q} is not an integer", "field a is not an integer", false},
        {"field {q} declared integer but value is {q}", "field \"x\" declared integer but value is \"\"", true},
        // A quoted text may hold the literal that follows the placeholder.
        {"field {q} declared integer but value is {q}",
         "field \"a\" declared integer but value is \" declared integer but value is \"", true},
        {"invalid header size line: {q}", "invalid header size line", false},
        {"SPHERE header missing required field: {t}", "SPHERE header missing required field: ", true},
    };
    for (const Case& c : cases) EXPECT_EQ(matches_pattern(c.pattern, c.message), c.matches) << c.message;
}

TEST(MessageCatalogue, CodeKindGroupAndTextCount) {
    const Error runaway = shorten::errors::runaway_unary();
    EXPECT_TRUE(is_catalogued(runaway, kShortenMessages));
    EXPECT_FALSE(is_catalogued(runaway, kHeaderMessages));  // wrong group
    EXPECT_FALSE(is_catalogued(Error{ErrorKind::Unsupported, runaway.message, runaway.code},
                               kShortenMessages));  // wrong kind
    EXPECT_FALSE(is_catalogued(Error{runaway.kind, "runaway unary", runaway.code},
                               kShortenMessages));  // text not of the pattern
    EXPECT_FALSE(is_catalogued(Error{runaway.kind, runaway.message, Code::shorten_ran_past_end},
                               kShortenMessages));  // another entry's code
    EXPECT_FALSE(is_catalogued(invalid("runaway unary code"), kShortenMessages));  // no code
    EXPECT_TRUE(is_catalogued(codecs::errors::coding_not_supported("x"), kCodingMessages));
}

}  // namespace
}  // namespace sonavert::testkit
