// libFuzzer target: arbitrary bytes as a registry script. Built only with
// the fuzz preset; scripts/fuzz runs it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/host/fuzz/registry_script_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = fybootp::fuzz::RunRegistryScriptInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "registry script fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
