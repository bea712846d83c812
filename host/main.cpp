// fybootp: the server process. Its result is its exit code: 0 to 255 as
// themselves, any other result 1, and a non-zero result also on standard
// error in a form scripts read.

#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "automation/fybootp_ids.h"
#include "host/command_line.h"
#include "host/service_runtime.h"
#include "host/string_table.h"

int main() {
    using namespace fybootp::host;
    // Files that decide what runs get their modes from us, never from
    // whoever started us with a loose umask.
    ::umask(022);
    ServiceHost& host = TheServiceHost();
    InitHost(host, kServiceNameId, FyBootpClassTable(), fybootp::LIBID_FYBOOTPLib);
    long result = 0;
    try {
        result = RunEntry(host, DefaultRegistrationOps(), ProcessCommandLine());
    } catch (const std::bad_alloc&) {
        result = fybootp::E_OUTOFMEMORY;
    } catch (...) {
        result = fybootp::E_UNEXPECTED;
    }
    if (result != 0) std::fprintf(stderr, "%s\n", ResultLine(result).c_str());
    return ExitCodeOf(result);
}
