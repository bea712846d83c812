#include "tools/server_session.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>

#include "automation/fybootp_ids.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_server.h"
#include "platform/com/bstr.h"
#include "tools/ctl_failure.h"

namespace fybootp::tools {
namespace {

constexpr char kBusName[] = "org.fybootp.FyBootpServer";
constexpr char kServiceUnit[] = "FyBootp.service";

// The bus itself first, so that "no bus" is told apart from a server that
// cannot be started: the proxy reports both as an activation failure.
void CheckBus() {
    sd_bus* bus = nullptr;
    const int r = bus::OpenBus(&bus);
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

}  // namespace

std::string BusDescription() {
    const std::string address = bus::ChosenBusAddress();
    return address.empty() ? "the system bus" : "the bus " + address;
}

std::unique_ptr<ServerSession> ServerSession::Open() {
    CheckBus();
    host::RegisterFyBootpProxy();
    void* raw = nullptr;
    const HRESULT status = bus::CoCreateInstance(
        CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER, IID_IFyBootpServer, &raw);
    if (Failed(status)) throw Failure{"reaching the server", status, Stage::kReaching, {}};
    return std::unique_ptr<ServerSession>(
        new ServerSession(ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw))));
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

ServerOwner QueryServerOwner() {
    ServerOwner owner;
    sd_bus* bus = nullptr;
    if (bus::OpenBus(&bus) < 0) return owner;
    sd_bus_creds* creds = nullptr;
    if (sd_bus_get_name_creds(bus, kBusName, SD_BUS_CREDS_PID | SD_BUS_CREDS_UNIT, &creds) >= 0) {
        owner.running = true;
        pid_t pid = 0;
        if (sd_bus_creds_get_pid(creds, &pid) >= 0) owner.pid = pid;
        const char* unit = nullptr;
        if (sd_bus_creds_get_unit(creds, &unit) >= 0 && unit != nullptr) {
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
