// The fuzz targets' reaction to a broken invariant: print it and abort, which
// the fuzzer reports as a crash with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "invariants.hpp"

inline void fuzz_check(const sonavert::testkit::CheckOutcome& outcome) {
    if (outcome.broken.empty()) return;
    std::fprintf(stderr, "invariant broken: %s\n", outcome.broken.c_str());
    std::abort();
}
