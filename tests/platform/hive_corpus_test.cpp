#include <gtest/gtest.h>

#include "tests/platform/fuzz/hive_fuzz_entry.h"
#include "tests/support/fuzz_corpus.h"

namespace fybootp {
namespace {

TEST(HiveTextFuzzCorpus, EveryInputKeepsTheInvariants) {
    testing::ExpectCorpusKeepsInvariants(FYB_HIVE_CORPUS, &fuzz::RunHiveTextInput);
}

}  // namespace
}  // namespace fybootp
