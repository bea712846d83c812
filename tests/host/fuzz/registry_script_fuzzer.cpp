// libFuzzer target: arbitrary bytes as a registry script. Built only with
// the fuzz preset; scripts/fuzz runs it.

#include "tests/host/fuzz/registry_script_fuzz_entry.h"
#include "tests/support/fuzz_target.h"

FYB_FUZZ_TARGET("registry script", fybootp::fuzz::RunRegistryScriptInput)
