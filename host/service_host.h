#pragma once
// The process-wide host record: service name, service status, the run
// loop that stands in for the run thread, the service flag, the lock count
// and the class table. One per process; filled by InitHost before the
// command line is read and never torn down.

#include <array>
#include <atomic>
#include <string>

#include "platform/bus/run_loop.h"
#include "platform/com/class_factory.h"
#include "platform/com/module_lock.h"
#include "host/server_user.h"
#include "platform/journal/journal.h"

namespace fybootp::host {

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;

struct ServiceStatus {
    DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD dwCurrentState = SERVICE_STOPPED;
    DWORD dwControlsAccepted = SERVICE_ACCEPT_STOP;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};

struct ServiceHost;

// One COM class the executable serves; an all-null row ends the table.
struct ClassTableRow {
    const GUID* clsid = nullptr;
    // Applies the class's registry script (register true, or remove).
    HRESULT (*updateRegistry)(ServiceHost& host, bool doRegister) = nullptr;
    // Makes the class object and hands out the asked interface.
    HRESULT (*createClassObject)(ServiceHost& host, const IID& iid, void** object) = nullptr;
    DWORD cookie = 0;
    void (*initialize)() = nullptr;
};

// What the service control manager is on this system: systemd.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // True only in the main process of the service's unit.
    virtual bool IsServiceMainProcess() = 0;
    // One status report: "READY=1\nSTATUS=Running" and the like.
    virtual void Notify(const std::string& lines) = 0;
};
ServiceManager& SystemServiceManager();

struct ServiceHost {
    std::array<char, 256> m_serviceName{};
    bool m_statusHandle = false;  // the stop control reaches us
    ServiceStatus m_serviceStatus;
    // The run loop; PostQuit on it is what posting WM_QUIT to the run
    // thread is. Set by RunServer, read from any thread.
    std::atomic<bus::RunLoop*> m_runThreadId{nullptr};
    std::atomic<bool> m_runsAsService{true};
    ModuleLock m_lockCount;
    std::string m_modulePath;
    ClassTableRow* m_classTable = nullptr;
    GUID m_typeLibId = IID_NULL;

    // Where status messages and service reports go; tests put their own.
    journal::Sink* m_eventLog = &journal::SystemSink();
    ServiceManager* m_serviceManager = &SystemServiceManager();
    // How the process gives up root before it serves; tests that run the
    // host in process put their own.
    bool (*m_dropPrivileges)(std::string* why) = &DropToServerUser;
    // Set when the process is to end whatever the count (a stop control).
    std::atomic<bool> m_stopRequested{false};
};

// The process's one record.
ServiceHost& TheServiceHost();

// Fills the record: the service name from string resource `nameId` of the
// executable, the class table, the type library identity; then runs each
// row's initialisation.
void InitHost(ServiceHost& host, int nameId, ClassTableRow* classTable, const GUID& typeLibId);

long AddLock(ServiceHost& host);
// At 0, ends the loop of a local server; a service goes on.
long ReleaseLock(ServiceHost& host);

// The executable's class table: one row, FyBootpServer.
ClassTableRow* FyBootpClassTable();

}  // namespace fybootp::host
