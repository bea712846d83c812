#include <gtest/gtest.h>

#include "tests/host/fuzz/registry_script_fuzz_entry.h"
#include "tests/support/fuzz_corpus.h"

namespace fybootp {
namespace {

TEST(RegistryScriptFuzzCorpus, EveryInputKeepsTheInvariants) {
    testing::ExpectCorpusKeepsInvariants(FYB_REGISTRY_SCRIPT_CORPUS, &fuzz::RunRegistryScriptInput);
}

}  // namespace
}  // namespace fybootp
