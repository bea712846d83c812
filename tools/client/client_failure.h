#pragma once
// What can end a client's request, and the exit code and message each
// gives. Commands throw these; main reports them once.

#include <nlohmann/json.hpp>
#include <string>

#include "platform/com/hresult.h"

namespace fybootp::tools {

// The exit codes that --help documents. Scripts rely on them.
enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,      // the server answered with a failure status
    kExitUsage = 2,        // bad arguments or addresses; nothing was called
    kExitUnreachable = 3,  // no bus, not registered, access denied, server gone
};

// Where a status arose: while reaching the server (the bus, its policy,
// activation) or as the answer of a server that was reached.
enum class Stage { kReaching, kCall };

struct Failure {
    std::string what;  // "adding 02:4B:77:00:00:01", what the operator asked for
    HRESULT status = 0;
    Stage stage = Stage::kCall;
    std::string hint;  // empty: the status's own hint
};

// Arguments that cannot be used; the message names the argument and why.
struct UsageFailure {
    std::string message;
};

// Throws a Failure when status is a failure.
void Check(HRESULT status, const std::string& what);

int ExitCodeOf(const Failure& failure);
// "E_ACCESSDENIED (0x80070005)".
std::string StatusText(HRESULT status);
std::string HintOf(const Failure& failure);
// "fybootpctl: <what>: E_ACCESSDENIED (0x80070005): <hint>".
std::string FailureLine(const Failure& failure);
// {"error": {"what", "status", "code", "hint", "exit"}} for --json.
nlohmann::json FailureJson(const Failure& failure);

}  // namespace fybootp::tools
