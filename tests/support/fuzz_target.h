#pragma once
// The libFuzzer entry of a target whose entry function returns the
// invariant that did not hold, or nothing: a broken invariant is a crash
// that libFuzzer keeps, like any other.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FYB_FUZZ_TARGET(label, entry)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        const std::string problem = entry(data, size);                                 \
        if (!problem.empty()) {                                                        \
            std::fprintf(stderr, "%s fuzz: %s\n", label, problem.c_str());             \
            std::abort();                                                              \
        }                                                                              \
        return 0;                                                                      \
    }
