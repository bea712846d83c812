// libFuzzer target: arbitrary bytes as a BootpInfosXml text and as the info
// file. Built only with the fuzz preset; scripts/fuzz runs it.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/document/fuzz/document_fuzz_entry.h"

namespace {

char g_directory[] = "/tmp/fyb-document-fuzz-XXXXXX";

void RemoveDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(g_directory, ignored);
}

// Each input starts in an empty directory. The copies kept of files that do
// not load have at most 100 names a second, and the fuzzer stores more
// unloadable files than that: the store would then rightly refuse to
// replace the file, and stop the run.
void EmptyDirectory() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(g_directory, ignored)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Each run writes FyBootpInfo.xml; keep it out of the caller's directory.
    if (::mkdtemp(g_directory) == nullptr || ::chdir(g_directory) != 0) std::abort();
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    EmptyDirectory();
    const std::string problem = fybootp::fuzz::RunDocumentInput(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "document fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
