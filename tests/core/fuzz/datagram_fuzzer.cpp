// libFuzzer target: arbitrary bytes as a datagram received on port 67.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/core/fuzz/datagram_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fybootp::fuzz::RunDatagramInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "datagram fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
