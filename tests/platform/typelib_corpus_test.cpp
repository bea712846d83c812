// Every input of the type library text fuzz corpus, replayed through the
// fuzz target's entry in the normal test run. A crashing input that fuzzing
// finds goes into the corpus and stays a regression case.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/platform/fuzz/typelib_fuzz_entry.h"

namespace fybootp {
namespace {

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TypeLibraryFuzzCorpus, EveryInputKeepsTheInvariants) {
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(FYB_TYPELIB_CORPUS)) {
        const std::vector<std::uint8_t> bytes = ReadBytes(entry.path());
        EXPECT_EQ(fuzz::RunTypeLibraryInput(bytes.data(), bytes.size()), "")
            << entry.path().filename();
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace fybootp
