#pragma once
// What can end a client's request, and the exit code and message each
// gives. Commands throw these; main reports them once.

#include <nlohmann/json.hpp>
#include <string>
#include <utility>

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
    Failure(std::string what_, HRESULT status_, Stage stage_, std::string hint_,
            std::string host_ = {}, std::string detail_ = {})
        : what(std::move(what_)),
          status(status_),
          stage(stage_),
          hint(std::move(hint_)),
          host(std::move(host_)),
          detail(std::move(detail_)) {}

    std::string what;  // "adding 02:4B:77:00:00:01", what the operator asked for
    HRESULT status = 0;
    Stage stage = Stage::kCall;
    std::string hint;    // empty: the status's own hint
    std::string host;    // the remote machine as given to -H; empty for this one
    std::string detail;  // ssh's own words; the hint quotes their last line
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
// "fybootpctl: [<host>: ]<what>: E_ACCESSDENIED (0x80070005): <hint>".
std::string FailureLine(const Failure& failure);
// {"error": {"what", "status", "code", "hint", "exit"[, "detail"]}} for --json.
nlohmann::json FailureJson(const Failure& failure);

}  // namespace fybootp::tools
