// libFuzzer target: arbitrary bytes as a datagram received on port 67.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include "tests/core/fuzz/datagram_fuzz_entry.h"
#include "tests/support/fuzz_target.h"

FYB_FUZZ_TARGET("datagram", fybootp::fuzz::RunDatagramInput)
