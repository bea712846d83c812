// Every input of the datagram fuzz corpus, replayed through the fuzz
// target's entry in the normal test run. A crashing input that fuzzing
// finds goes into the corpus and stays a regression case.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/core/fuzz/datagram_fuzz_entry.h"

namespace fybootp {
namespace {

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(DatagramFuzzCorpus, EveryInputKeepsTheInvariants) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(FYB_DATAGRAM_CORPUS)) {
        inputs.push_back(entry.path());
    }
    ASSERT_FALSE(inputs.empty());
    // In name order, so that a failure repeats: the entry's server carries
    // its lists over from one input to the next.
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
        const std::vector<std::uint8_t> bytes = ReadBytes(input);
        EXPECT_EQ(fuzz::RunDatagramInput(bytes.data(), bytes.size()), "") << input.filename();
    }
}

}  // namespace
}  // namespace fybootp
