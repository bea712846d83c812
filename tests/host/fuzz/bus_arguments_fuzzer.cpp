// libFuzzer target: arbitrary bytes as a call to the server object.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include "tests/host/fuzz/bus_arguments_fuzz_entry.h"
#include "tests/support/fuzz_target.h"

FYB_FUZZ_TARGET("bus arguments", fybootp::fuzz::RunBusArgumentsInput)
