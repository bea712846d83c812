// Every input of the document fuzz corpus, replayed through the fuzz
// target's entry in the normal test run. A crashing input that fuzzing
// finds goes into the corpus and stays a regression case.

#include <gtest/gtest.h>

#include <filesystem>

#include "document/info_file.h"
#include "tests/document/document_test_support.h"
#include "tests/document/fuzz/document_fuzz_entry.h"

namespace fybootp {
namespace {

class DocumentFuzzCorpus : public testing::InfoFileTest {};

TEST_F(DocumentFuzzCorpus, EveryInputKeepsTheInvariants) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(FYB_DOCUMENT_CORPUS)) {
        inputs.push_back(entry.path());
    }
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs) {
        const std::string bytes = testing::ReadFile(input.string());
        std::filesystem::remove(kInfoFileName);
        EXPECT_EQ(fuzz::RunDocumentInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size()),
                  "")
            << input.filename();
    }
}

}  // namespace
}  // namespace fybootp
