// libFuzzer target: arbitrary bytes as the text form of a type library.
// Built only with the fuzz preset; scripts/fuzz runs it.

#include "tests/platform/fuzz/typelib_fuzz_entry.h"
#include "tests/support/fuzz_target.h"

FYB_FUZZ_TARGET("type library", fybootp::fuzz::RunTypeLibraryInput)
