// The fenced fast paths (wrapping reconstruction under a proven bound, run
// reading with code tables, 16-bit narrowing, block sums) against the
// checked definition, on random streams whose samples climb through the
// bounds of every fast path and into overflow.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/catalogue.hpp"
#include "shorten/decoder.hpp"
#include "shorten/fast_predictors.hpp"
#include "shorten_stream_builder.hpp"

namespace sonavert::shorten {
namespace {

using testing::Header;
using testing::pcm_values;
using testing::Stream;
using testing::view;
using Bytes = std::vector<std::uint8_t>;

class RandomStreams {
public:
    explicit RandomStreams(std::uint64_t seed) : rng_(seed) {}

    Bytes next() {
        Header h;
        h.type = pick({5, 5, 3, 8});
        h.channels = pick({1, 1, 2, 3});
        h.blocksize = pick({1, 2, 5, 64, 256, 2049, 4100});
        h.maxnlpc = pick({1, 2, 3, 8, 40});
        h.nmean = pick({0, 0, 1, 4, 300});
        Stream s(h);
        std::uint64_t blocksize = h.blocksize;
        const int commands = 4 + static_cast<int>(rng_() % 30);
        for (int c = 0; c < commands; ++c) {
            const std::uint64_t kind = rng_() % 22;
            if (kind == 0) {
                blocksize = pick({1, 3, 17, 300, 2048, 2049});
                s.blocksize(blocksize);
            } else if (kind == 1) {
                s.bitshift(rng_() % 3 ? 0 : rng_() % 33);
            } else if (kind == 2) {
                s.zero();
            } else if (kind == 3) {
                s.verbatim({rng_() % 256, rng_() % 700});
            } else if (kind < 6) {
                // Samples anywhere in the 64-bit range: a gain of +-2^j
                // (QLPC, coefficient +-32 * 2^j) on the previous sample, or
                // a residual of up to 2^47.
                blocksize = 1 + rng_() % 3;
                s.blocksize(blocksize);
                if (rng_() % 2) {
                    const std::int64_t gain = std::int64_t{32} << (rng_() % 11);
                    s.qlpc(31, {rng_() % 2 ? gain : -gain}, residuals(blocksize, 31));
                } else {
                    std::vector<std::int64_t> big(blocksize);
                    for (std::int64_t& r : big) r = static_cast<std::int64_t>(rng_() >> (17 + rng_() % 40)) - (1 << 20);
                    s.diff(rng_() % 4, 31, big);
                }
            } else if (kind < 10) {
                const unsigned energy = energy_();
                s.diff(rng_() % 4, energy, residuals(blocksize, energy));
            } else {
                const unsigned energy = energy_();
                const std::uint64_t order = rng_() % 4 == 0 ? 0 : 1 + rng_() % std::min<std::uint64_t>(h.maxnlpc, 10);
                s.qlpc(energy, coefs(order), residuals(blocksize, energy));
            }
        }
        s.quit();
        return s.bytes();
    }

private:
    std::uint64_t pick(std::initializer_list<std::uint64_t> values) {
        return *(values.begin() + rng_() % values.size());
    }
    unsigned energy_() { return static_cast<unsigned>(rng_() % 4 == 0 ? rng_() % 32 : rng_() % 12); }

    // Mostly within the energy, some with prefixes of up to 2^6 zeros (up
    // to 2^36 at energy 31).
    std::vector<std::int64_t> residuals(std::uint64_t count, unsigned energy) {
        std::vector<std::int64_t> out(count);
        for (std::int64_t& r : out) {
            const unsigned bits = energy + (rng_() % 16 == 0 ? 1 + static_cast<unsigned>(rng_() % 6) : 0);
            r = static_cast<std::int64_t>(rng_() & ((std::uint64_t{1} << bits) - 1));
            if (rng_() & 1) r = -r - 1;
        }
        return out;
    }

    // Coefficients that grow the samples quickly (32 * 2^j is a gain of 2^j)
    // or keep them in check.
    std::vector<std::int64_t> coefs(std::uint64_t order) {
        std::vector<std::int64_t> out(order);
        for (std::int64_t& c : out) {
            switch (rng_() % 4) {
                case 0: c = std::int64_t{32} << (rng_() % 6); break;
                case 1: c = -(std::int64_t{32} << (rng_() % 3)); break;
                default: c = static_cast<std::int64_t>(rng_() % 63) - 31; break;
            }
        }
        return out;
    }

    std::mt19937_64 rng_;
};

// The outcome: the catalogue name of the error, or "decoded".
std::string outcome(const Result<DecodedShorten>& r) {
    if (r) return "decoded";
    const CatalogueEntry* entry = catalogue_entry(r.error().code);
    return entry != nullptr ? std::string(entry->name) : "unlisted: " + r.error().message;
}

// The kernel's own CPUID reading against GCC's runtime, which knows the
// x86-64-v3 level (Clang's runtimes do not all fill in the CPU model).
TEST(ShortenFastPath, SeesTheX86_64_v3LevelAsTheCompilerRuntimeDoes) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    EXPECT_EQ(cpu_has_x86_64_v3(), __builtin_cpu_supports("x86-64-v3") != 0);
#else
    GTEST_SKIP() << "no reference for the CPU level in this build";
#endif
}

TEST(ShortenFastPath, EqualsCheckedDefinition) {
    RandomStreams streams(2024);
    std::mt19937_64 rng(99);
    std::map<std::string, int> outcomes;
    for (int i = 0; i < 1200; ++i) {
        const Bytes full = streams.next();
        for (int variant = 0; variant < 4; ++variant) {
            Bytes stream = full;
            if (variant == 1 || variant == 2) stream.resize(5 + rng() % (full.size() - 4));  // cut short
            if (variant == 3) {  // corrupted: three bits flipped after the preamble
                for (int flip = 0; flip < 3; ++flip) stream[5 + rng() % (stream.size() - 5)] ^= 1 << (rng() % 8);
            }
            // Every stream also as version 1 (its means and QLPC rounding).
            for (const std::uint8_t version : {2, 1}) {
                stream[4] = version;
                const auto decode = [&](Reconstruction mode) {
                    return decode_shorten(view(stream), mode, std::nullopt, 0, ShortenSamples::Levels,
                                          Versions::V1AndV2);
                };
                const Result<DecodedShorten> proven = decode(Reconstruction::Proven);
                const Result<DecodedShorten> checked = decode(Reconstruction::Checked);
                const std::string what = "stream " + std::to_string(i) + " variant " + std::to_string(variant) +
                                         " version " + std::to_string(version);
                ASSERT_EQ(proven.has_value(), checked.has_value()) << what;
                if (proven) {
                    ASSERT_EQ(proven->channel_count, checked->channel_count);
                    ASSERT_EQ(proven->is_ulaw, checked->is_ulaw);
                    ASSERT_EQ(pcm_values(proven->pcm), pcm_values(checked->pcm)) << what;
                } else {
                    ASSERT_EQ(proven.error(), checked.error()) << what;
                }
                ++outcomes[outcome(proven) + (version == 1 ? " (version 1)" : "")];
            }
        }
    }
    // The streams reach every ending that the fast paths must get right.
    for (const auto& [ending, count] : outcomes) std::printf("  %s: %d\n", ending.c_str(), count);
    for (const char* ending : {"decoded", "reconstruction_overflow", "ran_past_end", "type8_domain",
                               "decoded (version 1)", "reconstruction_overflow (version 1)"}) {
        EXPECT_GT(outcomes[ending], 50) << ending;
    }
}

}  // namespace
}  // namespace sonavert::shorten
