#include "host/service_host.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "automation/class_object.h"
#include "automation/fybootp_ids.h"
#include "host/registration/registration.h"
#include "host/string_table.h"
#include "host/system_paths.h"
#include "platform/bus/bus_server.h"

namespace fybootp::host {
namespace {

constexpr char kServiceUnit[] = "FyBootp.service";

class SystemdServiceManager final : public ServiceManager {
public:
    // NOTIFY_SOCKET and INVOCATION_ID are inherited by children and prove
    // nothing: the process must sit in the unit's cgroup and be the one
    // systemd started itself. In test builds FYBOOTP_TEST_SERVICE_MAIN lets
    // tests stand in for systemd with a notify socket of their own.
    bool IsServiceMainProcess() override {
#ifdef FYB_TEST_HOOKS
        const char* test = std::getenv("FYBOOTP_TEST_SERVICE_MAIN");
        if (test != nullptr && std::strcmp(test, "1") == 0) return true;
#endif
        char* unit = nullptr;
        if (sd_pid_get_unit(0, &unit) < 0) return false;
        const bool ours = std::strcmp(unit, kServiceUnit) == 0;
        std::free(unit);
        return ours && getppid() == 1 && std::getenv("NOTIFY_SOCKET") != nullptr;
    }

    void Notify(const std::string& lines) override { sd_notify(0, lines.c_str()); }
};

HRESULT CreateClassObject(ServiceHost& host, const IID& iid, void** object) {
    // The type information is loaded from the registry on the first
    // IDispatch call and kept for the life of the process.
    static registry::Registry registry(RegistryRoot());
    static TypeInfoCache typeInfo(registry);
    const ClassObjectServices services{
        .lock = host.m_lockCount,
        .typeInfo = typeInfo,
        .documents = LibxmlDocumentFactory(),
        .hostInfo = SystemHostInfoSource(),
        .responderPlatform = nullptr,
        .disconnect = [](IUnknown* served) { bus::CoDisconnectObject(served, 0); },
    };
    IClassFactory* classObject = nullptr;
    const HRESULT hr = CreateFyBootpClassObject(services, &classObject);
    if (Failed(hr)) return hr;
    const HRESULT asked = classObject->QueryInterface(iid, object);
    classObject->Release();
    return asked;
}

void NoInitialisation() {}

}  // namespace

ServiceManager& SystemServiceManager() {
    static SystemdServiceManager manager;
    return manager;
}

ServiceHost& TheServiceHost() {
    static ServiceHost host;
    return host;
}

ClassTableRow* FyBootpClassTable() {
    static ClassTableRow table[] = {
        {&CLSID_FyBootpServer, &UpdateFyBootpServerRegistry, &CreateClassObject, 0, &NoInitialisation},
        {},
    };
    return table;
}

void InitHost(ServiceHost& host, int nameId, ClassTableRow* classTable, const GUID& typeLibId) {
    host.m_modulePath = ModuleFileName();
    std::string name;
    // An empty or missing string leaves the name empty; nothing tests it.
    LoadStringA(host.m_modulePath, nameId, &name, host.m_serviceName.size());
    host.m_serviceName.fill('\0');
    std::memcpy(host.m_serviceName.data(), name.data(), name.size());
    host.m_statusHandle = false;
    host.m_serviceStatus = ServiceStatus{};
    host.m_runsAsService = true;
    host.m_classTable = classTable;
    host.m_typeLibId = typeLibId;
    for (ClassTableRow* row = classTable; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->initialize != nullptr) row->initialize();
    }
}

long AddLock(ServiceHost& host) { return host.m_lockCount.AddLock(); }

long ReleaseLock(ServiceHost& host) { return host.m_lockCount.ReleaseLock(); }

}  // namespace fybootp::host
