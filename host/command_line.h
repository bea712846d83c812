#pragma once
// The entry's command-line rules: a switch is "-" or "/" followed by its
// name with nothing behind it, anywhere in the full command line (program
// path included), compared without regard to ASCII case; at most one acts.

#include <optional>
#include <string>
#include <string_view>

#include "host/service_host.h"

namespace fybootp::host {

// The operations of registration, which the registration switches reach.
// Each returns an HRESULT or a Win32 error code. checkTrust (S_OK or the
// refusal) runs before any step that reads the registry to load or run
// something.
struct RegistrationOps {
    long (*checkTrust)(ServiceHost& host) = nullptr;
    long (*unregisterHost)(ServiceHost& host) = nullptr;
    long (*registerHost)(ServiceHost& host, bool registerTypeLib, bool asService) = nullptr;
    long (*updateProjectEntry)(ServiceHost& host, bool doRegister, const GUID& clsid) = nullptr;
};
// The operations of registration with the system (host/registration).
const RegistrationOps& DefaultRegistrationOps();

// The position just after the first character of text that is one of the
// separators, stepping whole UTF-8 characters; nullopt at the end.
std::optional<std::size_t> FindNextSwitch(std::string_view text, std::string_view separators);

// The process's full command line: /proc/self/cmdline, its arguments
// joined by single blanks.
std::string ProcessCommandLine();

// The entry: one registration action, or the run decision (and the run).
// Returns the process's result (see ExitCodeOf).
long RunEntry(ServiceHost& host, const RegistrationOps& registration, std::string_view commandLine);

// The exit code of a result: 0 to 255 as themselves, anything else 1.
int ExitCodeOf(long result);
// "fybootp: result 0x80030002 (STG_E_FILENOTFOUND)".
std::string ResultLine(long result);

}  // namespace fybootp::host
