#include "tools/client/server_session.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "automation/fybootp_ids.h"
#include "host/fybootp_proxy.h"
#include "host/system_accounts.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_server.h"
#include "platform/com/bstr.h"
#include "tools/client/client_failure.h"
#include "tools/client/remote_bus.h"

namespace fybootp::tools {
namespace {

constexpr char kBusName[] = "org.fybootp.FyBootpServer";
constexpr char kServiceUnit[] = "FyBootp.service";
// Debian's SYS_UID_MAX is 999: system users are below this.
constexpr uid_t kFirstLoginUid = 1000;

// The bus itself first, so that "no bus" is told apart from a server that
// cannot be started: the proxy reports both as an activation failure.
void CheckBus() {
    sd_bus* bus = nullptr;
    const int r = bus::OpenClientBus(&bus);
    if (r >= 0) {
        sd_bus_flush_close_unref(bus);
        return;
    }
    const HRESULT status =
        (r == -EACCES || r == -EPERM) ? E_ACCESSDENIED : CO_E_SERVER_EXEC_FAILURE;
    throw Failure{"connecting to " + BusDescription(), status, Stage::kReaching,
                  std::string("no bus to reach (") + std::strerror(-r) +
                      "): is dbus running, and does FYBOOTP_BUS_ADDRESS name its socket?"};
}

// On the system bus, whoever the policy lets own the name gets the
// operator's calls, and its answers reach root's terminal: a server is
// taken only when its process runs as _fybootp or as root. The uid is the
// one the bus daemon recorded when that process connected, and the name is
// the unique one that the proxy calls, so the check and the calls concern
// the same process. A bus that FYBOOTP_BUS_ADDRESS names is the
// operator's own choice and is not checked. On another machine's system
// bus, _fybootp's uid there is unknown here: root or a system user (uid
// below 1000) is taken, as no login user may own the name there either.
void CheckServerOwner(const std::string& uniqueName) {
    const std::string what = "reaching the server";
    sd_bus* bus = nullptr;
    sd_bus_creds* creds = nullptr;
    int r = uniqueName.empty() ? -ENXIO : bus::OpenClientBus(&bus);
    if (r >= 0) {
        r = sd_bus_get_name_creds(bus, uniqueName.c_str(), SD_BUS_CREDS_EUID | SD_BUS_CREDS_UID,
                                  &creds);
    }
    // The daemon knows the socket's uid, which sd-bus hands out as the
    // effective one; a bus that tells only the real one is taken too.
    uid_t uid = 0;
    int known = r;
    if (r >= 0 && (known = sd_bus_creds_get_euid(creds, &uid)) < 0) {
        known = sd_bus_creds_get_uid(creds, &uid);
    }
    sd_bus_creds_unref(creds);
    sd_bus_flush_close_unref(bus);
    if (r < 0) throw Failure{what, RPC_E_DISCONNECTED, Stage::kReaching, {}};
    if (known < 0) {
        throw Failure{what, E_ACCESSDENIED, Stage::kReaching,
                      std::string("the bus does not say which user runs ") + kBusName +
                          ": refusing to talk to it"};
    }
    if (uid == 0) return;
    if (RemoteTarget() != nullptr) {
        if (uid < kFirstLoginUid) return;
        throw Failure{what, E_ACCESSDENIED, Stage::kReaching,
                      std::string("the owner of ") + kBusName + " there runs as uid " +
                          std::to_string(uid) +
                          ", neither root nor a system user: refusing to talk to it"};
    }
    const auto server = host::FindSystemUser(host::kServerUser);
    if (server && server->uid == uid) return;
    throw Failure{what, E_ACCESSDENIED, Stage::kReaching,
                  std::string("the owner of ") + kBusName + " runs as uid " + std::to_string(uid) +
                      ", not as " + host::kServerUser + " or root: refusing to talk to it"};
}

}  // namespace

std::string BusDescription() {
    if (const RemoteHost* remote = RemoteTarget()) return "the system bus of " + remote->given;
    const std::string address = bus::ClientBusAddress();
    return address.empty() ? "the system bus" : "the bus " + address;
}

std::unique_ptr<ServerSession> ServerSession::Open() {
    // On another machine the connection that activation opens says why it
    // failed, ssh's words included; a check of its own would cost an ssh.
    if (RemoteTarget() == nullptr) CheckBus();
    host::RegisterFyBootpProxy();
    void* raw = nullptr;
    const HRESULT status = bus::CoCreateInstance(
        CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER, IID_IFyBootpServer, &raw);
    if (Failed(status)) {
        // A connection through ssh that failed says why better than a status.
        if (const Failure* remote = LastRemoteFailure()) throw *remote;
        throw Failure{"reaching the server", status, Stage::kReaching, {}};
    }
    auto server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    // CreateInstance carries nothing of the operator's; every later call does.
    if (RemoteTarget() != nullptr || bus::ClientBusAddress().empty()) {
        CheckServerOwner(host::ServerNameOf(server.Get()));
    }
    return std::unique_ptr<ServerSession>(new ServerSession(std::move(server)));
}

std::string ServerSession::Text(TextGetter get, const std::string& what) {
    Bstr text;
    Check((m_server.Get()->*get)(text.Receive()), what);
    return text.Str();
}

void ServerSession::PutText(TextPutter put, const std::string& text, const std::string& what) {
    Bstr value(text);
    Check((m_server.Get()->*put)(value.Get()), what);
}

std::int32_t ServerSession::Long(LongGetter get, const std::string& what) {
    std::int32_t value = 0;
    Check((m_server.Get()->*get)(&value), what);
    return value;
}

void ServerSession::PutLong(LongPutter put, std::int32_t value, const std::string& what) {
    Check((m_server.Get()->*put)(value), what);
}

HRESULT ServerSession::Add(const std::string& mac, std::int32_t ipAddr, const std::string& what) {
    Bstr value(mac);
    const HRESULT status = m_server->AddBootpInfo(value.Get(), ipAddr);
    Check(status, what);
    return status;
}

HRESULT ServerSession::Delete(const std::string& mac, const std::string& what) {
    Bstr value(mac);
    const HRESULT status = m_server->DeleteBootpInfo(value.Get());
    Check(status, what);
    return status;
}

HRESULT ServerSession::Assign(const std::string& mac, std::int32_t ipAddr,
                              const std::string& what) {
    const HRESULT status = Add(mac, ipAddr, what);
    PutText(&IFyBootpServer::put_BootpInfosXml, Text(&IFyBootpServer::get_BootpInfosXml, what),
            what);
    return status;
}

std::string ServerSession::ServerName() const { return host::ServerNameOf(m_server.Get()); }

namespace {

// On another machine the unit is asked of its systemd over its bus; a pid
// there means nothing here. "" when no systemd answers.
std::string RemoteUnitOf(sd_bus* bus, pid_t pid) {
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    char* unit = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                           "org.freedesktop.systemd1.Manager", "GetUnitByPID", nullptr, &reply,
                           "u", static_cast<std::uint32_t>(pid)) >= 0 &&
        sd_bus_message_read(reply, "o", &path) > 0) {
        sd_bus_get_property_string(bus, "org.freedesktop.systemd1", path,
                                   "org.freedesktop.systemd1.Unit", "Id", nullptr, &unit);
    }
    std::string found = unit != nullptr ? unit : "";
    std::free(unit);
    sd_bus_message_unref(reply);
    return found;
}

}  // namespace

ServerOwner QueryServerOwner() {
    ServerOwner owner;
    sd_bus* bus = nullptr;
    if (bus::OpenClientBus(&bus) < 0) return owner;
    const bool remote = RemoteTarget() != nullptr;
    const std::uint64_t mask = remote ? SD_BUS_CREDS_PID : SD_BUS_CREDS_PID | SD_BUS_CREDS_UNIT;
    sd_bus_creds* creds = nullptr;
    if (sd_bus_get_name_creds(bus, kBusName, mask, &creds) >= 0) {
        owner.running = true;
        pid_t pid = 0;
        if (sd_bus_creds_get_pid(creds, &pid) >= 0) owner.pid = pid;
        const char* unit = nullptr;
        if (remote) {
            if (owner.pid > 0) owner.unit = RemoteUnitOf(bus, owner.pid);
        } else if (sd_bus_creds_get_unit(creds, &unit) >= 0 && unit != nullptr) {
            owner.unit = unit;
        } else if (char* found = nullptr;
                   owner.pid > 0 && sd_pid_get_unit(owner.pid, &found) >= 0) {
            owner.unit = found;
            std::free(found);
        }
        owner.service = owner.unit == kServiceUnit;
    }
    sd_bus_creds_unref(creds);
    sd_bus_flush_close_unref(bus);
    return owner;
}

}  // namespace fybootp::tools
