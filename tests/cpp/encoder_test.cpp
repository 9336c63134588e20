// The stream generators of the test kit: bit codes, hand-built streams, the
// Shorten encoder's command choices and option checks, the mu-law value
// mapping, the SPHERE writer and the tools' argument helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "shorten_encoder.hpp"
#include "sphere/fields.hpp"
#include "sphere/header.hpp"
#include "shorten_stream_writer.hpp"
#include "sphere_writer.hpp"
#include "tool_support.hpp"

namespace sonavert::testkit {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The bits of `bytes`, most significant first, as a string of '0'/'1'.
std::string bit_string(const Bytes& bytes, std::size_t skip_bytes = 0) {
    std::string bits;
    for (std::size_t i = skip_bytes; i < bytes.size(); ++i) {
        for (int b = 7; b >= 0; --b) bits.push_back(((bytes[i] >> b) & 1) ? '1' : '0');
    }
    return bits;
}

// A structural reader of streams, independent of the project's decoder: it
// walks the commands and keeps their arguments, reconstructing nothing.
class StreamWalker {
public:
    explicit StreamWalker(const Bytes& bytes) : bytes_(bytes) {}

    struct Command {
        std::uint64_t fn = 0;
        std::uint64_t energy = 0;             // DIFFn, QLPC
        std::vector<std::int64_t> coefs;      // QLPC
        std::vector<std::int64_t> residuals;  // DIFFn, QLPC
        std::uint64_t value = 0;              // BLOCKSIZE, BITSHIFT
        Bytes verbatim;                       // VERBATIM
    };
    struct Stream {
        ShortenHeader header;
        std::vector<Command> commands;  // up to and including QUIT
        std::size_t bits_left = 0;      // padding after QUIT
    };

    Stream walk() {
        Stream s;
        EXPECT_EQ(Bytes(bytes_.begin(), bytes_.begin() + 5), (Bytes{'a', 'j', 'k', 'g', 2}));
        pos_ = 40;
        ShortenHeader& h = s.header;
        for (std::uint64_t* field : {&h.sample_type, &h.channels, &h.blocksize, &h.maxnlpc, &h.nmean, &h.nskip}) {
            *field = ulong();
        }
        for (std::uint64_t i = 0; i < h.nskip; ++i) uvar(1);
        std::uint64_t blocksize = h.blocksize;
        while (!failed_) {
            Command c;
            c.fn = uvar(2);
            if (c.fn <= shorten::kDiff3 || c.fn == shorten::kQlpc) {
                c.energy = uvar(3);
                if (c.fn == shorten::kQlpc) {
                    const std::uint64_t order = uvar(2);
                    for (std::uint64_t j = 0; j < order; ++j) c.coefs.push_back(var(6));
                }
                for (std::uint64_t i = 0; i < blocksize && !failed_; ++i) {
                    c.residuals.push_back(var(static_cast<unsigned>(c.energy) + 1));
                }
            } else if (c.fn == shorten::kBlocksize) {
                c.value = blocksize = ulong();
            } else if (c.fn == shorten::kBitshift) {
                c.value = uvar(2);
            } else if (c.fn == shorten::kVerbatim) {
                const std::uint64_t count = uvar(5);
                for (std::uint64_t i = 0; i < count; ++i) c.verbatim.push_back(static_cast<std::uint8_t>(uvar(8)));
            } else if (c.fn != shorten::kQuit && c.fn != shorten::kZero) {
                ADD_FAILURE() << "unexpected function code " << c.fn;
                break;
            }
            s.commands.push_back(c);
            if (c.fn == shorten::kQuit) break;
        }
        EXPECT_FALSE(failed_) << "stream ran out of bits";
        s.bits_left = bytes_.size() * 8 - pos_;
        return s;
    }

private:
    unsigned bit() {
        if (pos_ >= bytes_.size() * 8) {
            failed_ = true;
            return 1;
        }
        const unsigned b = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return b;
    }
    std::uint64_t uvar(unsigned n) {
        std::uint64_t count = 0;
        while (bit() == 0) ++count;
        std::uint64_t low = 0;
        for (unsigned i = 0; i < n; ++i) low = (low << 1) | bit();
        return (count << n) | low;
    }
    std::int64_t var(unsigned n) {
        const std::uint64_t u = uvar(n);
        return (u & 1) ? -static_cast<std::int64_t>(u >> 1) - 1 : static_cast<std::int64_t>(u >> 1);
    }
    std::uint64_t ulong() { return uvar(static_cast<unsigned>(uvar(2))); }

    const Bytes& bytes_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

StreamWalker::Stream walk(const Bytes& bytes) { return StreamWalker(bytes).walk(); }

// The command sequence in short: B for a predicted block (DIFFn or QLPC),
// Z for ZERO, S<n> for BITSHIFT, L<n> for BLOCKSIZE, V<count> for
// VERBATIM, Q for QUIT.
std::string shape(const StreamWalker::Stream& s) {
    std::string out;
    for (const auto& c : s.commands) {
        if (!out.empty()) out += ' ';
        if (c.fn <= shorten::kDiff3 || c.fn == shorten::kQlpc) out += 'B';
        if (c.fn == shorten::kZero) out += 'Z';
        if (c.fn == shorten::kQuit) out += 'Q';
        if (c.fn == shorten::kBitshift) out += 'S' + std::to_string(c.value);
        if (c.fn == shorten::kBlocksize) out += 'L' + std::to_string(c.value);
        if (c.fn == shorten::kVerbatim) out += 'V' + std::to_string(c.verbatim.size());
    }
    return out;
}

Bytes encode(const std::vector<std::int32_t>& samples, const ShortenOptions& options) {
    Result<Bytes> r = encode_shorten(samples, options);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message);
    return r ? std::move(r).value() : Bytes{};
}

// ---- bit codes -------------------------------------------------------------

TEST(BitWriter, CodesAreWrittenMostSignificantBitFirst) {
    struct Case {
        const char* what;
        void (*write)(BitWriter&);
        const char* bits;  // before the zero padding
    };
    const Case cases[] = {
        {"uvar(10, 2): two zeros, stop, low bits 10", [](BitWriter& w) { w.put_uvar(10, 2); }, "00110"},
        {"uvar(0, 0)", [](BitWriter& w) { w.put_uvar(0, 0); }, "1"},
        {"uvar(3, 0)", [](BitWriter& w) { w.put_uvar(3, 0); }, "0001"},
        {"uvar(2^32 - 1, 32)", [](BitWriter& w) { w.put_uvar(0xFFFFFFFFu, 32); },
         "111111111111111111111111111111111"},
        {"ulong(1): width 1, then the value", [](BitWriter& w) { w.put_ulong(1); }, "10111"},
        {"ulong(0): width 0", [](BitWriter& w) { w.put_ulong(0); }, "1001"},
        {"ulong(5)", [](BitWriter& w) { w.put_ulong(5); }, "1111101"},
        {"var 0, -1, 1, -2 at width 2",
         [](BitWriter& w) {
             for (std::int64_t v : {0, -1, 1, -2}) w.put_var(v, 2);
         },
         "100101110111"},
        {"var at width 1 of 2 needs a prefix", [](BitWriter& w) { w.put_var(2, 1); }, "0010"},
        {"prefix longer than one store",
         [](BitWriter& w) { w.put_uvar(std::uint64_t{130} << 3 | 5, 3); },
         nullptr},
        {"bits across a byte boundary", [](BitWriter& w) {
             w.put_bits(0x5, 3);
             w.put_bits(0xABCDEF012345ull, 48);
         },
         "101" "1010" "1011" "1100" "1101" "1110" "1111" "0000" "0001" "0010" "0011" "0100" "0101"},
    };
    for (const Case& c : cases) {
        BitWriter w;
        c.write(w);
        const std::uint64_t count = w.bit_count();
        const std::string bits = bit_string(w.finish());
        std::string expected = c.bits ? c.bits : std::string(130, '0') + "1101";
        EXPECT_EQ(count, expected.size()) << c.what;
        EXPECT_EQ(bits.size() % 8, 0u) << c.what;
        EXPECT_EQ(bits.substr(0, expected.size()), expected) << c.what;
        EXPECT_EQ(bits.find('1', expected.size()), std::string::npos) << c.what << ": padding must be zeros";
    }
}

TEST(BitWriter, ZigzagAndCodeLengths) {
    const std::pair<std::int64_t, std::uint64_t> pairs[] = {
        {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {2, 4}, {INT64_MAX, UINT64_MAX - 1}, {INT64_MIN, UINT64_MAX}};
    for (auto [v, u] : pairs) EXPECT_EQ(zigzag(v), u) << v;
    EXPECT_EQ(uvar_bits(10, 2), 5u);
    EXPECT_EQ(uvar_bits(0, 5), 6u);
    EXPECT_EQ(uvar_bits(1000, 0), 1001u);
}

// ---- hand-built streams ----------------------------------------------------

TEST(StreamWriter, ReproducesTheReferenceDiff1Stream) {
    // Type 5, one channel, blocksize 4, maxnlpc 0, nmean 0, nskip 0; a DIFF1
    // block with energy 1 and residuals 1, 1, -1, 0 (samples 1, 2, 1, 1).
    ShortenStreamWriter w;
    w.header({5, 1, 4, 0, 0, 0});
    const std::int64_t residuals[] = {1, 1, -1, 0};
    w.diff(1, 1, residuals).quit();
    EXPECT_EQ(w.finish(), (Bytes{0x61, 0x6A, 0x6B, 0x67, 0x02, 0xFB, 0x7F, 0x93, 0x33, 0x67, 0x6B, 0x10}));
}

TEST(StreamWriter, CommandsCarryTheirArguments) {
    ShortenStreamWriter w(3);
    const std::int64_t coefs[] = {40, -9};
    const std::int64_t residuals[] = {0, -3};
    const std::uint8_t bytes[] = {0x00, 0xFF};
    w.header({8, 2, 2, 2, 1, 2})
        .blocksize(2)
        .bitshift(32)
        .qlpc(3, coefs, residuals)
        .zero()
        .verbatim(bytes)
        .function(12)
        .quit();
    const Bytes out = w.finish();
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(out[4], 3);
    std::string expected;
    for (const char* part : {
             "0100" "11000",     // header: type 8 (width 4, value 8)
             "110" "110",        // channels 2
             "110" "110",        // blocksize 2
             "110" "110",        // maxnlpc 2
             "101" "11",         // nmean 1
             "110" "110",        // nskip 2
             "10", "10",         // two skip codes
             "0101", "110110",   // BLOCKSIZE 2
             "0110",             // BITSHIFT
             "00000000" "1" "00",  // 32: eight prefix zeros, stop, low bits 00
             "0111", "1011",     // QLPC, energy 3
             "110",              // order 2
             "01" "010000",      // coefficient 40 (u 80)
             "1" "010001",       // coefficient -9 (u 17)
             "10000", "10101",   // residuals 0, -3 at width 4
             "00100",            // ZERO
             "00101", "100010",  // VERBATIM, count 2
             "100000000",        // 0x00
             "111111111",        // 0xFF
             "000100",           // function 12
             "0100"}) {          // QUIT
        expected += part;
    }
    const std::string bits = bit_string(out, 5);
    EXPECT_EQ(bits.substr(0, expected.size()), expected);
    EXPECT_LT(bits.size() - expected.size(), 8u);
}

// ---- residual widths ---------------------------------------------------------

// The exact optimum by trying every energy the decoder can read.
ResidualCoding brute_force_energy(const std::vector<std::uint64_t>& u) {
    ResidualCoding best{0, UINT64_MAX};
    for (unsigned e = 0; e < 32; ++e) {
        std::uint64_t bits = uvar_bits(e, 3);
        bool fits = true;
        for (std::uint64_t v : u) {
            fits = fits && (v >> (e + 1)) <= (std::uint64_t{1} << 26);
            bits += uvar_bits(v, e + 1);
        }
        if (fits && bits < best.bits) best = ResidualCoding{e, bits};
    }
    return best;
}

TEST(EnergyChoice, MatchesExhaustiveSearch) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n = 1 + rng() % 300;
        const unsigned scale = static_cast<unsigned>(rng() % 36);
        std::vector<std::uint64_t> u(n);
        for (auto& v : u) v = scale == 0 ? 0 : rng() % (std::uint64_t{1} << scale);
        if (trial % 5 == 0) u[rng() % n] = std::uint64_t{1} << (20 + rng() % 16);  // one spike
        const ResidualCoding expected = brute_force_energy(u);
        const ResidualCoding got = choose_energy(u);
        ASSERT_EQ(got.bits, expected.bits) << "trial " << trial;
        std::uint64_t check = uvar_bits(got.energy, 3);
        for (std::uint64_t v : u) check += uvar_bits(v, got.energy + 1);
        ASSERT_EQ(check, got.bits) << "trial " << trial;
    }
}

TEST(EnergyChoice, KnownBlocks) {
    struct Case {
        std::vector<std::uint64_t> u;
        unsigned energy;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, 0},
        {{2, 2, 1, 0}, 0},          // the residuals 1, 1, -1, 0
        {{100, 120, 90, 255}, 6},  // width 7: one prefix bit for 255
        {{std::uint64_t{1} << 40}, 31},  // the widest code the decoder reads
    };
    for (const Case& c : cases) EXPECT_EQ(choose_energy(c.u).energy, c.energy);
}

// ---- encoder: commands chosen ------------------------------------------------

ShortenOptions mono(std::uint32_t blocksize, std::uint32_t nmean = 0) {
    ShortenOptions o;
    o.blocksize = blocksize;
    o.nmean = nmean;
    return o;
}

TEST(Encoder, SmallBlockGivesTheExpectedBytes) {
    // 1, 2, 1, 1: DIFF1 (residuals 1, 1, -1, 0) at energy 0 is the cheapest.
    ShortenStreamWriter w;
    w.header({5, 1, 4, 0, 0, 0});
    const std::int64_t residuals[] = {1, 1, -1, 0};
    w.diff(1, 0, residuals).quit();
    Bytes want = w.finish();
    want.resize(5 + (want.size() - 5 + 3) / 4 * 4, 0);  // zero bytes to whole words after the preamble
    EXPECT_EQ(encode({1, 2, 1, 1}, mono(4)), want);
}

TEST(Encoder, PicksThePredictorThatFitsTheSignal) {
    struct Case {
        const char* what;
        std::vector<std::int32_t> samples;
        std::uint64_t fn;
    };
    std::vector<std::int32_t> constant(64, 1001), ramp(64), parabola(64), silent(64, 0);
    for (int i = 0; i < 64; ++i) {
        ramp[i] = 1001 + 37 * i;
        parabola[i] = 3 * i * i - 1001;
    }
    const Case cases[] = {
        {"silence", silent, shorten::kZero},
        {"constant", constant, shorten::kDiff1},
        {"ramp", ramp, shorten::kDiff2},
        {"parabola", parabola, shorten::kDiff3},
    };
    for (const Case& c : cases) {
        // Two blocks: the second one starts from a history of the same signal.
        const auto s = walk(encode(c.samples, mono(32)));
        ASSERT_GE(s.commands.size(), 2u) << c.what;
        const auto& second = s.commands[s.commands.size() - 2];
        EXPECT_EQ(second.fn, c.fn) << c.what;
        if (c.fn != shorten::kZero) {
            EXPECT_EQ(second.energy, 0u) << c.what;
        }
    }
}

TEST(Encoder, Diff0UsesTheRunningMeanOfPreviousBlocks) {
    // Wobble around a large offset: every block mean is 20001, so from the
    // third block on the offset is 20001 and DIFF0 leaves only the wobble.
    std::vector<std::int32_t> samples;
    for (int i = 0; i < 16; ++i) samples.insert(samples.end(), {19999, 20003, 20001, 20001});
    const auto s = walk(encode(samples, mono(16, 2)));
    const auto& last = s.commands[3];
    ASSERT_EQ(last.fn, shorten::kDiff0);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(last.residuals[i], samples[48 + i] - 20001) << i;
}

TEST(Encoder, BitshiftFollowsSharedTrailingZeros) {
    // Blocks of multiples of 4, of 8 (the shift grows), silence (no change),
    // then odd samples (back to 0).
    std::vector<std::int32_t> samples;
    for (std::int32_t v : {4, -12, 8, 20}) samples.push_back(v);
    for (std::int32_t v : {8, -16, 24, 40}) samples.push_back(v);
    for (int i = 0; i < 4; ++i) samples.push_back(0);
    for (std::int32_t v : {3, 1, 2, 2}) samples.push_back(v);
    EXPECT_EQ(shape(walk(encode(samples, mono(4)))), "S2 B S3 B Z S0 B Q");
}

TEST(Encoder, FixedBitshiftIsSetOnce) {
    ShortenOptions o = mono(2);
    o.bitshift = 1;
    EXPECT_EQ(shape(walk(encode({2, 4, 6, 8, 0, 0, 4, 4}, o))), "S1 B B Z B Q");
}

TEST(Encoder, ChannelsRotateAndTheLastShortCycleGetsABlocksize) {
    ShortenOptions o = mono(4);
    o.channels = 3;
    std::vector<std::int32_t> samples;
    for (int f = 0; f < 10; ++f) {
        for (int c = 0; c < 3; ++c) samples.push_back(c == 1 ? 0 : 100 * c + f + 1);
    }
    const auto s = walk(encode(samples, o));
    EXPECT_EQ(s.header.channels, 3u);
    EXPECT_EQ(shape(s), "B Z B B Z B L2 B Z B Q");
    EXPECT_EQ(s.commands[7].residuals.size(), 2u);
}

TEST(Encoder, BlocksizeScheduleCyclesAndIsClippedAtTheEnd) {
    ShortenOptions o = mono(3);
    o.blocksize_schedule = {3, 5};
    std::vector<std::int32_t> samples(3 + 5 + 3 + 2, 7);
    const auto s = walk(encode(samples, o));
    std::vector<std::uint64_t> sizes;
    std::uint64_t current = s.header.blocksize;
    for (const auto& c : s.commands) {
        if (c.fn == shorten::kBlocksize) current = c.value;
        if (c.fn <= shorten::kDiff3) sizes.push_back(current);
    }
    EXPECT_EQ(sizes, (std::vector<std::uint64_t>{3, 5, 3, 2}));
}

TEST(Encoder, HeaderSkipCodesAndVerbatimSections) {
    ShortenOptions o = mono(2);
    o.nskip = 3;
    o.maxnlpc = 5;
    o.nmean = 7;
    o.sample_type = 3;
    o.leading_verbatim = {'R', 'I', 'F', 'F'};
    o.verbatim_inserts = {{1, {9}}, {0, {8}}, {99, {}}};
    const auto s = walk(encode({1, 3, 5, 7}, o));
    EXPECT_EQ(s.header.sample_type, 3u);
    EXPECT_EQ(s.header.nskip, 3u);
    EXPECT_EQ(s.header.maxnlpc, 5u);
    EXPECT_EQ(s.header.nmean, 7u);
    EXPECT_EQ(shape(s), "V4 V1 B V1 B V0 Q");
    EXPECT_EQ(s.commands[0].verbatim, (Bytes{'R', 'I', 'F', 'F'}));
    EXPECT_EQ(s.commands[1].verbatim, Bytes{8});
    EXPECT_EQ(s.commands[3].verbatim, Bytes{9});
    EXPECT_TRUE(s.commands[5].verbatim.empty());
}

TEST(Encoder, EmptyInputIsHeaderAndQuit) {
    const Bytes stream = encode({}, mono(256, 4));
    const auto s = walk(stream);
    EXPECT_EQ(shape(s), "Q");
    EXPECT_EQ((stream.size() - 5) % 4, 0u);  // padded to whole words
    EXPECT_LT(s.bits_left, 32u);
}

TEST(Encoder, QlpcIsChosenForAResonantSignal) {
    // A decaying resonance with noise: a second-order predictor beats the
    // fixed ones by far.
    std::mt19937 rng(5);
    std::vector<std::int32_t> samples(2048);
    double y1 = 0, y2 = 0;
    for (auto& v : samples) {
        const double y = 1.8 * y1 - 0.95 * y2 + static_cast<double>(static_cast<int>(rng() % 2001) - 1000);
        y2 = y1;
        y1 = y;
        v = static_cast<std::int32_t>(y) | 1;
    }
    ShortenOptions o = mono(256, 4);
    o.maxnlpc = 4;
    const Bytes with_lpc = encode(samples, o);
    const auto s = walk(with_lpc);
    std::size_t qlpc_blocks = 0;
    for (const auto& c : s.commands) {
        if (c.fn != shorten::kQlpc) continue;
        ++qlpc_blocks;
        EXPECT_GE(c.coefs.size(), 2u);
        EXPECT_LE(c.coefs.size(), 4u);
    }
    EXPECT_GE(qlpc_blocks, 6u);
    EXPECT_LT(with_lpc.size(), encode(samples, mono(256, 4)).size());
}

// ---- encoder: rejected options and inputs ---------------------------------------

TEST(Encoder, RejectsBadOptionsWithTheirMessages) {
    struct Case {
        void (*tweak)(ShortenOptions&);
        std::vector<std::int32_t> samples;
        const char* message;
    };
    const Case cases[] = {
        {[](ShortenOptions& o) { o.channels = 0; }, {}, "shorten encoder: channels must be 1..256, got 0"},
        {[](ShortenOptions& o) { o.channels = 257; }, {}, "shorten encoder: channels must be 1..256, got 257"},
        {[](ShortenOptions& o) { o.sample_type = 4; }, {}, "shorten encoder: sample type must be 3, 5 or 8, got 4"},
        {[](ShortenOptions& o) { o.blocksize = 0; }, {}, "shorten encoder: blocksize must be 1..16777216, got 0"},
        {[](ShortenOptions& o) { o.blocksize_schedule = {4, 16777217}; }, {},
         "shorten encoder: blocksize must be 1..16777216, got 16777217"},
        {[](ShortenOptions& o) { o.maxnlpc = 1025; }, {}, "shorten encoder: maxnlpc must be 0..1024, got 1025"},
        {[](ShortenOptions& o) { o.nmean = 65537; }, {}, "shorten encoder: nmean must be 0..65536, got 65537"},
        {[](ShortenOptions& o) { o.nskip = 1048577; }, {}, "shorten encoder: nskip must be 0..1048576, got 1048577"},
        {[](ShortenOptions& o) { o.bitshift = 33; }, {}, "shorten encoder: bitshift must be 0..32, got 33"},
        {[](ShortenOptions& o) {
             o.sample_type = 8;
             o.bitshift = 1;
         },
         {}, "shorten encoder: mu-law streams are written with bitshift 0"},
        {[](ShortenOptions& o) { o.channels = 2; }, {1, 2, 3},
         "shorten encoder: 3 samples are not a whole number of 2-channel frames"},
        {[](ShortenOptions& o) { o.bitshift = 2; }, {4, 8, 6},
         "shorten encoder: sample 6 at index 2 is not a multiple of 2^2"},
        {[](ShortenOptions& o) { o.sample_type = 8; }, {0, 127, -128, 128},
         "shorten encoder: mu-law value 128 at index 3 is outside -128..127"},
    };
    for (const Case& c : cases) {
        ShortenOptions o;
        c.tweak(o);
        const Result<Bytes> r = encode_shorten(c.samples, o);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error(), invalid(c.message));
    }
}

TEST(Encoder, ByteInputsNeedTheirSampleType) {
    const std::uint8_t bytes[] = {1, 2, 3};
    ShortenOptions o;
    o.sample_type = 8;
    EXPECT_EQ(encode_shorten_pcm16(ByteView(bytes, 2), o).error(),
              invalid("shorten encoder: 16-bit PCM input needs sample type 3 or 5, got 8"));
    o.sample_type = 5;
    EXPECT_EQ(encode_shorten_mulaw(ByteView(bytes, 3), o).error(),
              invalid("shorten encoder: mu-law input needs sample type 8, got 5"));
    EXPECT_EQ(encode_shorten_pcm16(ByteView(bytes, 3), o).error(),
              invalid("shorten encoder: 16-bit PCM input has an odd length 3"));
}

TEST(Encoder, Pcm16InputIsReadLittleEndian) {
    const std::uint8_t pcm[] = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F};
    ShortenOptions o = mono(4);
    const Result<Bytes> from_bytes = encode_shorten_pcm16(ByteView(pcm, sizeof pcm), o);
    ASSERT_TRUE(from_bytes.has_value());
    EXPECT_EQ(*from_bytes, encode({1, -1, -32768, 32767}, o));
}

// ---- mu-law values -------------------------------------------------------------

// The decoder's code for a type-8 value at bitshift 0.
int type8_code(int v) { return v >= 0 ? 0xFF - v : 0x7F - (-v - 1); }

TEST(MulawValues, InvertTheDecoderCodeMappingForAllCodes) {
    std::vector<bool> seen(256, false);
    for (int c = 0; c < 256; ++c) {
        const std::int32_t v = mulaw_code_to_value(static_cast<std::uint8_t>(c));
        ASSERT_GE(v, -128) << c;
        ASSERT_LE(v, 127) << c;
        EXPECT_EQ(type8_code(v), c) << "code " << c;
        EXPECT_FALSE(seen[v + 128]) << "value " << v << " twice";
        seen[v + 128] = true;
    }
    EXPECT_EQ(mulaw_code_to_value(0xFF), 0);
    EXPECT_EQ(mulaw_code_to_value(0x80), 127);
    EXPECT_EQ(mulaw_code_to_value(0x7F), -1);
    EXPECT_EQ(mulaw_code_to_value(0x00), -128);
}

TEST(MulawValues, CodesAreEncodedAsTheirValues) {
    Bytes codes(256);
    std::vector<std::int32_t> values(256);
    for (int c = 0; c < 256; ++c) {
        codes[c] = static_cast<std::uint8_t>(c);
        values[c] = mulaw_code_to_value(static_cast<std::uint8_t>(c));
    }
    ShortenOptions o = mono(64);
    o.sample_type = 8;
    const Result<Bytes> from_codes = encode_shorten_mulaw(ByteView(codes.data(), codes.size()), o);
    ASSERT_TRUE(from_codes.has_value());
    EXPECT_EQ(*from_codes, encode(values, o));
    // Never a BITSHIFT, even for values with shared trailing zeros.
    for (const auto& c : walk(*from_codes).commands) EXPECT_NE(c.fn, shorten::kBitshift);
}

// ---- SPHERE writer --------------------------------------------------------------

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(SphereWriter, WritesTypedFieldsPaddedToTheHeaderSize) {
    SphereWriter w;
    w.add_int("sample_count", -3).add_string("sample_coding", "pcm,embedded-shorten-v2.00").add_real("x", "1e400");
    const std::uint8_t payload[] = {0xFF, 0x00};
    const Result<Bytes> file = w.build(ByteView(payload, 2));
    ASSERT_TRUE(file.has_value());
    ASSERT_EQ(file->size(), 1026u);
    const std::string head =
        "NIST_1A\n   1024\nsample_count -i -3\nsample_coding -s26 pcm,embedded-shorten-v2.00\nx -r 1e400\n"
        "end_head\n";
    const std::string text = as_text(*file);
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.find_first_not_of(' ', head.size()), 1024u);
    EXPECT_EQ(file->at(1024), 0xFF);
    EXPECT_EQ(file->at(1025), 0x00);
}

TEST(SphereWriter, OutputParsesBackToItsFields) {
    SphereWriter w;
    w.add_int("channel_count", 2)
        .add_int("sample_count", 3)
        .add_int("sample_rate", 8000)
        .add_int("sample_n_bytes", 2)
        .add_string("sample_coding", "pcm,embedded-shorten-v2.00")
        .add_string("note", "two  inner spaces")
        .add_real("gain", "-1.5e3")
        .add_string("long", std::string(3000, 'x'));
    const std::uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Result<Bytes> file = w.build(ByteView(payload, sizeof payload));
    ASSERT_TRUE(file.has_value());
    const Result<sphere::SphereHeader> h = sphere::parse_header(ByteView(file->data(), file->size()));
    ASSERT_TRUE(h.has_value()) << h.error().message;
    EXPECT_EQ(h->header_size, 4096u);
    EXPECT_EQ(Bytes(h->payload.begin(), h->payload.end()), Bytes(payload, payload + sizeof payload));
    EXPECT_EQ(sphere::field_text(h->fields, "sample_coding", ""), "pcm,embedded-shorten-v2.00");
    EXPECT_EQ(sphere::field_text(h->fields, "note", ""), "two  inner spaces");
    EXPECT_EQ(sphere::field_text(h->fields, "gain", ""), "-1.5e3");
    EXPECT_EQ(sphere::field_text(h->fields, "long", "").size(), 3000u);
    EXPECT_EQ(*sphere::declared_payload_size(h->fields), 12u);
}

TEST(SphereWriter, GrowsInSteps) {
    SphereWriter w;
    w.add_string("long", std::string(1500, 'a'));
    const Result<Bytes> file = w.build({});
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->size(), 2048u);
    EXPECT_EQ(as_text(*file).substr(0, 16), "NIST_1A\n   2048\n");
}

TEST(SphereWriter, ExactSizesAndRawLines) {
    SphereWriter w;
    w.header_size(40).size_line("+0040 \r").add_line("bogus line").add_line("");
    const Result<Bytes> file = w.build({});
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(as_text(*file), "NIST_1A\n+0040 \r\nbogus line\n\nend_head\n   ");

    SphereWriter tight;
    tight.header_size(25);  // exactly the magic, size and terminator lines
    const Result<Bytes> exact = tight.build({});
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(as_text(*exact), "NIST_1A\n     25\nend_head\n");
}

TEST(SphereWriter, RejectsBadTypedFields) {
    struct Case {
        void (*add)(SphereWriter&);
        const char* message;
    };
    const Case cases[] = {
        {[](SphereWriter& w) { w.add_int("", 1); }, "sphere writer: field name \"\" is empty or holds white space"},
        {[](SphereWriter& w) { w.add_int("a b", 1); },
         "sphere writer: field name \"a b\" is empty or holds white space"},
        {[](SphereWriter& w) { w.add_string("n", "x\ny"); }, "sphere writer: value of field \"n\" holds a line feed"},
        {[](SphereWriter& w) { w.header_size(24); }, "sphere writer: header needs 25 bytes but its size is 24"},
    };
    for (const Case& c : cases) {
        SphereWriter w;
        c.add(w);
        EXPECT_EQ(w.build({}).error(), invalid(c.message));
    }
}

// ---- tool helpers -----------------------------------------------------------------

TEST(ToolSupport, ParsesUnsignedNumbersStrictly) {
    EXPECT_EQ(parse_unsigned("0", 5), 0u);
    EXPECT_EQ(parse_unsigned("005", 5), 5u);
    EXPECT_EQ(parse_unsigned("18446744073709551615", UINT64_MAX), UINT64_MAX);
    for (const char* bad : {"", "6", "-1", "+1", "1 ", "0x1", "05 "}) {
        EXPECT_FALSE(parse_unsigned(bad, 5).has_value()) << bad;
    }
    EXPECT_FALSE(parse_unsigned("18446744073709551616", UINT64_MAX).has_value());
}

TEST(ToolSupport, EncoderFlags) {
    std::vector<std::string> argv_text = {"tool",        "--channels",           "2",     "--bitshift=3",
                                          "--maxnlpc=8", "--blocksize-schedule", "1,2,3", "--bitshift",
                                          "auto",        "--type",               "8",     "other"};
    std::vector<char*> argv;
    for (auto& s : argv_text) argv.push_back(s.data());
    ArgCursor args(static_cast<int>(argv.size()), argv.data());
    ShortenOptions o;
    std::vector<std::string> rest;
    while (!args.done()) {
        const std::string flag = args.next();
        Result<bool> known = apply_encoder_flag(flag, args, o);
        ASSERT_TRUE(known.has_value()) << flag;
        if (!*known) rest.push_back(flag);
    }
    EXPECT_EQ(o.channels, 2u);
    EXPECT_EQ(o.maxnlpc, 8u);
    EXPECT_EQ(o.sample_type, 8u);
    EXPECT_FALSE(o.bitshift.has_value());
    EXPECT_EQ(o.blocksize_schedule, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(rest, std::vector<std::string>{"other"});
}

TEST(ToolSupport, BadFlagValuesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--blocksize"}, "missing value for --blocksize"},
        {{"--nmean", "x"}, "bad value for --nmean: 'x' (expected a number 0..4294967295)"},
        {{"--channels=4294967296"}, "bad value for --channels: '4294967296' (expected a number 0..4294967295)"},
        {{"--bitshift", "-1"}, "bad value for --bitshift: '-1' (expected auto or a number)"},
        {{"--blocksize-schedule", "4,,5"},
         "bad value for --blocksize-schedule: '' (expected a number 0..4294967295)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> text = {"tool"};
        text.insert(text.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (auto& s : text) argv.push_back(s.data());
        ArgCursor args(static_cast<int>(argv.size()), argv.data());
        ShortenOptions o;
        const Result<bool> r = apply_encoder_flag(args.next(), args, o);
        ASSERT_FALSE(r.has_value()) << c.message;
        EXPECT_EQ(r.error(), invalid(c.message));
    }
}

TEST(ToolSupport, WavHeaderForVerbatimSections) {
    const Bytes h = make_wav_header(2, 16000, 16, 400);
    const Bytes expected = {'R', 'I', 'F', 'F', 0xB4, 0x01, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                            16,  0,   0,    0,    1,    0,    2, 0, 0x80, 0x3E, 0,  0,   0,   0xFA, 0, 0,
                            4,   0,   16,   0,    'd',  'a',  't', 'a', 0x90, 0x01, 0, 0};
    EXPECT_EQ(h, expected);
}

}  // namespace
}  // namespace sonavert::testkit
