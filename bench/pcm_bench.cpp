// The plain PCM path of decode_pcm (little-endian, and byte-swapped 16- and
// 32-bit) against a plain copy of the same number of bytes, both into a new
// buffer (as decode_pcm makes one) and into a warm one (the copy loop alone).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/payload.hpp"
#include "common/bytes.hpp"
#include "pipeline/drivers.hpp"

namespace sonavert {
namespace {

std::vector<std::uint8_t> sphere_file(std::size_t payload_bytes, int n_bytes, const char* format) {
    const std::string lines = "sample_count -i " + std::to_string(payload_bytes / n_bytes) +
                              "\nchannel_count -i 1\nsample_n_bytes -i " + std::to_string(n_bytes) +
                              "\nsample_rate -i 16000\nsample_coding -s3 pcm\nsample_byte_format -s2 " +
                              format + "\nend_head\n";
    std::string head = "NIST_1A\n   1024\n" + lines;
    head.resize(1024, ' ');
    std::vector<std::uint8_t> file(head.begin(), head.end());
    file.resize(1024 + payload_bytes);
    for (std::size_t i = 1024; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 131);
    return file;
}

void set_bytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void DecodePcm(benchmark::State& state, int n_bytes, const char* format) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> file = sphere_file(size, n_bytes, format);
    for (auto _ : state) {
        Result<ByteBuffer> pcm = pipeline::decode_pcm(ByteView(file));
        if (!pcm.has_value()) state.SkipWithError(pcm.error().message.c_str());
        benchmark::DoNotOptimize(pcm);
    }
    set_bytes(state, size);
}
void BM_DecodePcmLittleEndian16(benchmark::State& s) { DecodePcm(s, 2, "01"); }
void BM_DecodePcmBigEndian16(benchmark::State& s) { DecodePcm(s, 2, "10"); }
void BM_DecodePcmBigEndian32(benchmark::State& s) { DecodePcm(s, 4, "10"); }

// The whole WAV file: decoding plus the writer's copy into the final buffer.
void BM_TranscodeLittleEndian16(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> file = sphere_file(size, 2, "01");
    for (auto _ : state) {
        Result<ByteBuffer> wav = pipeline::transcode_to_wav(ByteView(file));
        if (!wav.has_value()) state.SkipWithError(wav.error().message.c_str());
        benchmark::DoNotOptimize(wav);
    }
    set_bytes(state, size);
}

// The reference: a new buffer of the same size, filled by memcpy.
void BM_CopyIntoNewBuffer(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> in(size, 0x5A);
    for (auto _ : state) {
        ByteBuffer out = ByteBuffer::copy_of(ByteView(in));
        benchmark::DoNotOptimize(out.data());
    }
    set_bytes(state, size);
}

// The copy loops alone, into a buffer that stays mapped.
void BM_MemcpyWarm(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> in(size, 0x5A);
    std::vector<std::uint8_t> out(size);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), size);
        benchmark::ClobberMemory();
    }
    set_bytes(state, size);
}
void SwapWarm(benchmark::State& state, unsigned width) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> in(size, 0x5A);
    std::vector<std::uint8_t> out(size);
    for (auto _ : state) {
        codecs::copy_byte_swapped(in.data(), out.data(), size, width);
        benchmark::ClobberMemory();
    }
    set_bytes(state, size);
}
void BM_SwapWarm16(benchmark::State& s) { SwapWarm(s, 2); }
void BM_SwapWarm32(benchmark::State& s) { SwapWarm(s, 4); }

// 1 MiB stays in cache; 16 MiB is a few minutes of audio; 64 MiB is beyond
// the last-level cache and above the allocator's threshold for fresh maps.
#define SV_SIZES ->Arg(1 << 20)->Arg(16 << 20)->Arg(64 << 20)->Unit(benchmark::kMicrosecond)
BENCHMARK(BM_CopyIntoNewBuffer) SV_SIZES;
BENCHMARK(BM_DecodePcmLittleEndian16) SV_SIZES;
BENCHMARK(BM_DecodePcmBigEndian16) SV_SIZES;
BENCHMARK(BM_DecodePcmBigEndian32) SV_SIZES;
BENCHMARK(BM_TranscodeLittleEndian16) SV_SIZES;
BENCHMARK(BM_MemcpyWarm) SV_SIZES;
BENCHMARK(BM_SwapWarm16) SV_SIZES;
BENCHMARK(BM_SwapWarm32) SV_SIZES;

}  // namespace
}  // namespace sonavert
