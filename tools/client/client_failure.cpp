#include "tools/client/client_failure.h"

#include <cstdio>

#include "platform/com/hresult_name.h"

namespace fybootp::tools {
namespace {

// A server that was reached before but is not there now.
bool ServerIsGone(HRESULT status) {
    return status == RPC_E_DISCONNECTED || status == CO_E_OBJNOTCONNECTED;
}

}  // namespace

void Check(HRESULT status, const std::string& what) {
    if (Failed(status)) {
        throw Failure{what, status, ServerIsGone(status) ? Stage::kReaching : Stage::kCall, {}};
    }
}

int ExitCodeOf(const Failure& failure) {
    return failure.stage == Stage::kReaching || ServerIsGone(failure.status) ? kExitUnreachable
                                                                             : kExitRefused;
}

std::string StatusText(HRESULT status) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(status));
    return std::string(HresultName(status)) + " (" + code + ")";
}

namespace {

// On another machine the remedies are taken there, with its own accounts.
std::string RemoteHint(const Failure& failure) {
    switch (failure.status) {
        case E_ACCESSDENIED:
            return "the bus there refused the call: the ssh user must be root or a member of "
                   "group fybootp there";
        case REGDB_E_CLASSNOTREG:
            return "the server is not registered there: run fybootp -RegServer there (as root)";
        case CO_E_SERVER_EXEC_FAILURE:
            return "the bus there could not start the server: journalctl -t FyBootp there says "
                   "why";
        default:
            return {};
    }
}

}  // namespace

std::string HintOf(const Failure& failure) {
    if (!failure.hint.empty()) return failure.hint;
    const bool reaching = failure.stage == Stage::kReaching;
    if (!failure.host.empty() && reaching) {
        if (std::string hint = RemoteHint(failure); !hint.empty()) return hint;
    }
    switch (failure.status) {
        case E_ACCESSDENIED:
            return reaching ? "the bus refused the call: run as root or as a member of group "
                              "fybootp"
                            : "the server could not read or write its files "
                              "(journalctl -t FyBootp says which)";
        case REGDB_E_CLASSNOTREG:
            return "the server is not registered: run fybootp -RegServer (as root)";
        case CO_E_SERVER_EXEC_FAILURE:
            return "the bus could not start the server: check the Exec line of its activation "
                   "file and journalctl -t FyBootp";
        case RPC_E_DISCONNECTED:
        case CO_E_OBJNOTCONNECTED:
            return "the server went away (it ended or was killed)";
        case E_OUTOFMEMORY:
            return "out of memory";
        case E_INVALIDARG:
            return "the server refused the argument";
        default:
            return reaching ? "cannot reach the server" : "the server refused the request";
    }
}

std::string FailureLine(const Failure& failure) {
    const std::string host = failure.host.empty() ? "" : failure.host + ": ";
    return "fybootpctl: " + host + failure.what + ": " + StatusText(failure.status) + ": " +
           HintOf(failure);
}

nlohmann::json FailureJson(const Failure& failure) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(failure.status));
    nlohmann::json error{{"what", failure.what},
                         {"status", std::string(HresultName(failure.status))},
                         {"code", code},
                         {"hint", HintOf(failure)},
                         {"exit", ExitCodeOf(failure)}};
    if (!failure.detail.empty()) error["detail"] = failure.detail;
    return {{"error", error}};
}

}  // namespace fybootp::tools
