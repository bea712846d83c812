// libFuzzer target: arbitrary bytes as the text form of a type library.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/platform/fuzz/typelib_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fybootp::fuzz::RunTypeLibraryInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "type library fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
