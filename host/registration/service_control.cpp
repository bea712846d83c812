#include "host/registration/service_control.h"

#include <systemd/sd-bus.h>

#include <cstdlib>

#include "host/registration/system_files.h"
#include "host/system_paths.h"
#include "platform/bus/bus_connection.h"

namespace fybootp::host {
namespace {

constexpr char kSystemd[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManager[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnit[] = "org.freedesktop.systemd1.Unit";

std::string Caption(const ServiceHost& host) { return host.m_serviceName.data(); }

// OpenSCManagerA: a connection on which systemd answers.
class ServiceManagerConnection {
public:
    ServiceManagerConnection() {
        // Registration is a client: a starter address says how a server was
        // activated, not which bus root's registration should trust.
        if (bus::OpenClientBus(&m_bus) < 0) {
            m_bus = nullptr;
            return;
        }
        sd_bus_message* reply = nullptr;
        const int asked = sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                             "org.freedesktop.DBus", "GetNameOwner", nullptr,
                                             &reply, "s", kSystemd);
        sd_bus_message_unref(reply);
        if (asked < 0) m_bus = sd_bus_flush_close_unref(m_bus);
    }
    ~ServiceManagerConnection() { sd_bus_flush_close_unref(m_bus); }
    ServiceManagerConnection(const ServiceManagerConnection&) = delete;
    ServiceManagerConnection& operator=(const ServiceManagerConnection&) = delete;

    bool Opened() const { return m_bus != nullptr; }

    // OpenServiceA: the unit is known to systemd (its file was loaded).
    bool OpenService() {
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        bool found = false;
        if (sd_bus_call_method(m_bus, kSystemd, kManagerPath, kManager, "LoadUnit", nullptr, &reply,
                               "s", kServiceUnitName) >= 0 &&
            sd_bus_message_read(reply, "o", &path) > 0) {
            char* state = nullptr;
            if (sd_bus_get_property_string(m_bus, kSystemd, path, kUnit, "LoadState", nullptr,
                                           &state) >= 0) {
                found = std::string_view(state) != "not-found";
                std::free(state);
            }
        }
        sd_bus_message_unref(reply);
        return found;
    }

    bool Call(const char* member, const char* types = nullptr, const char* first = nullptr,
              const char* second = nullptr) {
        sd_bus_message* reply = nullptr;
        const int result = types == nullptr
                               ? sd_bus_call_method(m_bus, kSystemd, kManagerPath, kManager, member,
                                                    nullptr, &reply, "")
                               : sd_bus_call_method(m_bus, kSystemd, kManagerPath, kManager, member,
                                                    nullptr, &reply, types, first, second);
        sd_bus_message_unref(reply);
        return result >= 0;
    }

private:
    sd_bus* m_bus = nullptr;
};

}  // namespace

bool IsServiceInstalled(ServiceHost&) {
    ServiceManagerConnection manager;
    return manager.Opened() && manager.OpenService();
}

bool InstallService(ServiceHost& host) {
    if (IsServiceInstalled(host)) return true;
    ServiceManagerConnection manager;
    if (!manager.Opened()) {
        ShowMessage(Caption(host), "Couldn't open service manager");
        return false;
    }
    // CreateServiceA: the unit file, then systemd reads its units again.
    const std::string text = ServiceUnitText(Caption(host), host.m_modulePath, ServerDirectory());
    if (WriteSystemFile(UnitPath(kServiceUnitName), text) != 0 || !manager.Call("Reload") ||
        !manager.OpenService()) {
        ShowMessage(Caption(host), "Couldn't create service");
        return false;
    }
    return true;
}

bool RemoveService(ServiceHost& host) {
    if (!IsServiceInstalled(host)) return true;
    ServiceManagerConnection manager;
    if (!manager.Opened()) {
        ShowMessage(Caption(host), "Couldn't open service manager");
        return false;
    }
    if (!manager.OpenService()) {
        ShowMessage(Caption(host), "Couldn't open service");
        return false;
    }
    // The stop is asked for, not waited for; systemd finishes it.
    manager.Call("StopUnit", "ss", kServiceUnitName, "replace");
    if (RemoveSystemFile(UnitPath(kServiceUnitName)) != 0 || !manager.Call("Reload")) {
        ShowMessage(Caption(host), "Service could not be deleted");
        return false;
    }
    return true;
}

}  // namespace fybootp::host
