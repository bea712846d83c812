// libFuzzer target: arbitrary bytes as the text of a registry hive file.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/platform/fuzz/hive_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fybootp::fuzz::RunHiveTextInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "hive text fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
