// libFuzzer target: arbitrary bytes as an HTTP request to fybootp-web's
// router. Built only with the fuzz preset; scripts/fuzz runs it.

#include "tests/support/fuzz_target.h"
#include "tests/tools/fuzz/web_router_fuzz_entry.h"

FYB_FUZZ_TARGET("web router", fybootp::fuzz::RunWebRouterInput)
