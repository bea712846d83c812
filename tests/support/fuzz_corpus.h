#pragma once
// A fuzz target's seed corpus, replayed through its entry in the normal
// test run: a crashing input that fuzzing finds goes into the corpus and
// stays a regression case.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fybootp::testing {

using FuzzEntry = std::string (*)(const std::uint8_t* data, std::size_t size);

// Every input of the folder, in name order so that a failure repeats; each
// must give the entry's empty answer.
inline void ExpectCorpusKeepsInvariants(const char* folder, FuzzEntry entry) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        inputs.push_back(file.path());
    }
    ASSERT_FALSE(inputs.empty()) << folder;
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                              std::istreambuf_iterator<char>()};
        EXPECT_EQ(entry(bytes.data(), bytes.size()), "") << input.filename();
    }
}

}  // namespace fybootp::testing
