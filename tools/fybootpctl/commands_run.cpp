#include <string>

#include "document/dom_error.h"
#include "document/dom_routines.h"
#include "document/info_file.h"
#include "tools/fybootpctl/commands.h"
#include "tools/client/client_failure.h"
#include "tools/client/server_session.h"

namespace fybootp::tools {
namespace {

struct RunState {
    bool started = false;
    std::int32_t disableResponse = 0;
    std::int32_t logChangeCnt = 0;
    std::int32_t newMacCnt = 0;
};

RunState ReadRunState(ServerSession& session) {
    RunState state;
    state.started = session.Long(&IFyBootpServer::get_Started, "reading Started") != 0;
    state.disableResponse =
        session.Long(&IFyBootpServer::get_DisableResponse, "reading DisableResponse");
    state.logChangeCnt = session.Long(&IFyBootpServer::get_LogChangeCnt, "reading LogChangeCnt");
    state.newMacCnt = session.Long(&IFyBootpServer::get_NewMacCnt, "reading NewMacCnt");
    return state;
}

nlohmann::json RunStateJson(const RunState& state) {
    return {{"started", state.started},
            {"disableResponse", state.disableResponse},
            {"logChangeCnt", state.logChangeCnt},
            {"newMacCnt", state.newMacCnt}};
}

// The numbers have no interface text of their own; --xml writes them in the
// interface's vocabulary style, with the host identity as HostInfoXml has it.
std::string StatusXml(const RunState& state, const std::string& hostXml) {
    try {
        NewDocument made = NewInfoDocument();
        const Node status = AppendElement(made.root, "Status");
        AppendTextElement(status, "Started", state.started ? "1" : "0");
        AppendTextElement(status, "DisableResponse", std::to_string(state.disableResponse));
        AppendTextElement(status, "LogChangeCnt", std::to_string(state.logChangeCnt));
        AppendTextElement(status, "NewMacCnt", std::to_string(state.newMacCnt));
        const HostIdentity host = ReadHost(hostXml);
        const Node info = AppendElement(made.root, "HostInfo");
        AppendTextElement(info, "Override", host.override ? "1" : "0");
        AppendTextElement(info, "Name", host.name);
        AppendTextElement(info, "IpAddr", host.ipAddr);
        AppendTextElement(info, "SubnetMask", host.subnetMask);
        AppendTextElement(info, "DefaultGateway", host.defaultGateway);
        return DocumentText(made.document);
    } catch (const DomError& error) {
        throw Failure{"writing the status", error.Status(), Stage::kCall, {}};
    }
}

std::string HostXml(ServerSession& session) {
    return session.Text(&IFyBootpServer::get_HostInfoXml, "reading the host identity");
}

std::string ServerLine(const ServerOwner& owner) {
    if (!owner.running) return "not running";
    std::string line = owner.service ? "running as the service " + owner.unit
                                     : std::string("running as a local server");
    if (owner.pid > 0) line += ", pid " + std::to_string(owner.pid);
    return line;
}

void PrintRunState(ServerSession& session, Format format) {
    const RunState state = ReadRunState(session);
    if (format == Format::kXml) return PrintXml(StatusXml(state, HostXml(session)));
    if (format == Format::kJson) return PrintJson(RunStateJson(state));
    PrintText(AlignedColumns({{"responder", state.started ? "started" : "stopped"},
                              {"replies", state.disableResponse != 0 ? "disabled" : "enabled"}}));
}

}  // namespace

void ShowStatus(Format format) {
    auto session = ServerSession::Open();
    const RunState state = ReadRunState(*session);
    const std::string hostXml = HostXml(*session);
    const ServerOwner owner = QueryServerOwner();
    if (format == Format::kXml) return PrintXml(StatusXml(state, hostXml));
    const HostIdentity host = ReadHost(hostXml);
    if (format == Format::kJson) {
        nlohmann::json document = RunStateJson(state);
        document["server"] = {{"running", owner.running},
                              {"pid", owner.pid},
                              {"unit", owner.unit},
                              {"service", owner.service}};
        document["host"] = HostJson(host);
        return PrintJson(document);
    }
    PrintText(AlignedColumns(
        {{"server", ServerLine(owner)},
         {"responder", state.started ? "started" : "stopped"},
         {"replies", state.disableResponse != 0 ? "disabled" : "enabled"},
         {"LogChangeCnt", std::to_string(state.logChangeCnt)},
         {"NewMacCnt", std::to_string(state.newMacCnt)},
         {"host name", host.name},
         {"host ip", host.ipAddr},
         {"subnet mask", host.subnetMask},
         {"router", host.defaultGateway},
         {"override", host.override ? "on (fixed by the operator)" : "off (detected at start)"}}));
}

void SetStarted(bool started, Format format) {
    auto session = ServerSession::Open();
    const std::string what = started ? "starting the responder" : "stopping the responder";
    session->PutLong(&IFyBootpServer::put_Started, started ? 1 : 0, what);
    // A start that fails still answers S_OK; only Started read back tells.
    if (started && session->Long(&IFyBootpServer::get_Started, what) == 0) {
        throw Failure{what, E_FAIL, Stage::kCall,
                      "the responder did not start: UDP port 67 may be taken by another program "
                      "(journalctl -t FyBootp)"};
    }
    PrintRunState(*session, format);
}

void SetReplies(bool enabled, Format format) {
    auto session = ServerSession::Open();
    session->PutLong(&IFyBootpServer::put_DisableResponse, enabled ? 0 : 1,
                     enabled ? "enabling replies" : "disabling replies");
    PrintRunState(*session, format);
}

void ShowHost(Format format) {
    auto session = ServerSession::Open();
    PrintHost(HostXml(*session), format);
}

void SetHost(const HostSettings& settings, Format format) {
    auto session = ServerSession::Open();
    HostChange change;
    change.override = true;
    change.name = settings.name;
    change.ipAddr = settings.ipAddr;
    change.subnetMask = settings.subnetMask;
    change.defaultGateway = settings.defaultGateway;
    session->PutText(&IFyBootpServer::put_HostInfoXml, HostInfoText(change),
                     "setting the host identity");
    PrintHost(HostXml(*session), format);
}

void AutoHost(Format format) {
    auto session = ServerSession::Open();
    HostChange change;
    change.override = false;
    session->PutText(&IFyBootpServer::put_HostInfoXml, HostInfoText(change),
                     "handing the host identity back to detection");
    PrintHost(HostXml(*session), format);
    if (format == Format::kHuman) {
        PrintText("the identity is detected again when the server next starts");
    }
}

}  // namespace fybootp::tools
