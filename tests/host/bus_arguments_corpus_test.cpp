#include <gtest/gtest.h>

#include "tests/host/fuzz/bus_arguments_fuzz_entry.h"
#include "tests/support/fuzz_corpus.h"

namespace fybootp {
namespace {

TEST(BusArgumentsFuzzCorpus, EveryInputKeepsTheInvariants) {
    testing::ExpectCorpusKeepsInvariants(FYB_BUS_ARGUMENTS_CORPUS, &fuzz::RunBusArgumentsInput);
}

}  // namespace
}  // namespace fybootp
