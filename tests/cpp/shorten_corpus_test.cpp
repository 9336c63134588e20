// Real Shorten streams from the SPHERE corpus beside the project (skipped
// when it is absent): every one decodes to its header's frame count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "invariants.hpp"
#include "shorten/decoder.hpp"

namespace sonavert::shorten {
namespace {

namespace fs = std::filesystem;

fs::path corpus_dir() {
    if (const char* env = std::getenv("SONAVERT_CORPUS")) return fs::path(env);
    return fs::path(SONAVERT_SOURCE_DIR) / ".." / "shared" / "corpus";
}

// The integer value of a "name -i value" line of the header text.
long header_int(const std::string& header, const std::string& name) {
    const std::size_t at = header.find("\n" + name + " -i ");
    if (at == std::string::npos) return -1;
    return std::stol(header.substr(at + name.size() + 5));
}

TEST(ShortenCorpus, StreamsDecodeToTheirSampleCount) {
    const fs::path dir = corpus_dir() / "tidigits";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    int files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 8 || name.substr(name.size() - 8) != "_shn.sph") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string text(file.begin(), file.end());
        const std::size_t header_size = std::stoul(text.substr(text.find('\n') + 1));
        const std::string header = text.substr(0, header_size);
        ASSERT_LE(header_size, file.size()) << name;
        const ByteView stream(file.data() + header_size, file.size() - header_size);

        Result<DecodedShorten> proven = decode_shorten(stream, Reconstruction::Proven);
        ASSERT_TRUE(proven.has_value()) << name << ": " << proven.error().message;
        const long channels = header_int(header, "channel_count");
        EXPECT_EQ(static_cast<long>(proven->channel_count), channels) << name;
        EXPECT_EQ(proven->is_ulaw, header.find("ulaw,embedded-shorten") != std::string::npos) << name;
        EXPECT_EQ(static_cast<long>(proven->pcm.size() / 2), header_int(header, "sample_count") * channels) << name;

        Result<DecodedShorten> checked = decode_shorten(stream, Reconstruction::Checked);
        ASSERT_TRUE(checked.has_value()) << name;
        EXPECT_TRUE(proven->pcm.size() == checked->pcm.size() &&
                    std::equal(proven->pcm.data(), proven->pcm.data() + proven->pcm.size(), checked->pcm.data()))
            << name;

        // The fuzz invariants hold for real streams too, the incremental
        // decoder making the same frames among them.
        const testkit::CheckOutcome incremental = testkit::check_shorten_to_pcm(stream);
        EXPECT_TRUE(incremental.succeeded && incremental.broken.empty()) << name << ": " << incremental.broken;
        ++files;
    }
    EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace sonavert::shorten
