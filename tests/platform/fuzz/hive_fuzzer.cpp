// libFuzzer target: arbitrary bytes as the text of a registry hive file.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include "tests/platform/fuzz/hive_fuzz_entry.h"
#include "tests/support/fuzz_target.h"

FYB_FUZZ_TARGET("hive text", fybootp::fuzz::RunHiveTextInput)
