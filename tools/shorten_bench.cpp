// Times shorten_to_pcm on a stream file:
//   shorten_bench STREAM [REPEATS]
// Prints, per run, the wall time, decoded samples per second, and the
// process's peak resident size and minor page faults so far.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "shorten/to_pcm.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s STREAM [REPEATS]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const std::vector<std::uint8_t> stream((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 1;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto result = sonavert::shorten::shorten_to_pcm(sonavert::ByteView(stream.data(), stream.size()));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!result) {
            std::fprintf(stderr, "error: %s\n", result.error().message.c_str());
            return 1;
        }
        const double samples = static_cast<double>(result->pcm.size() / 2);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("%.0f samples, %zu bytes of stream: %.3f s, %.1f Msamples/s, peak RSS %.1f MiB, %ld minor faults\n",
                    samples, stream.size(), seconds, samples / seconds / 1e6, usage.ru_maxrss / 1024.0,
                    usage.ru_minflt);
    }
    return 0;
}
