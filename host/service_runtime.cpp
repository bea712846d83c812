#include "host/service_runtime.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "host/audit_trail.h"
#include "host/bus_shapes.h"
#include "host/system_accounts.h"
#include "platform/bus/bus_server.h"
#include "platform/com/hresult_name.h"

namespace fybootp::host {
namespace {

// A local server that no client has referenced this long after its start
// ends as if its count had returned to 0: a stray activation leaves no
// process behind.
constexpr std::chrono::seconds kUnreferencedLimit{30};

std::chrono::milliseconds UnreferencedLimit() {
#ifdef FYB_TEST_HOOKS
    // Test builds: FYBOOTP_TEST_UNREFERENCED_MS shortens the wait, so that a
    // test sees the end without waiting half a minute.
    if (const char* text = std::getenv("FYBOOTP_TEST_UNREFERENCED_MS")) {
        char* end = nullptr;
        const long ms = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && ms > 0) return std::chrono::milliseconds(ms);
    }
#endif
    return kUnreferencedLimit;
}

constexpr int kControlSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2};

void PostQuit(ServiceHost& host) {
    if (bus::RunLoop* loop = host.m_runThreadId.load()) loop->PostQuit();
}

int OnSignal(sd_event_source*, const struct signalfd_siginfo* info, void* userdata) {
    auto& host = *static_cast<ServiceHost*>(userdata);
    const auto number = static_cast<int>(info->ssi_signo);
    if (number == SIGTERM) {
        ServiceControl(host, SERVICE_CONTROL_STOP);
    } else if (number == SIGINT) {
        // An operator's ^C ends a local server started by hand; a service
        // stops only through its stop control.
        if (!host.m_runsAsService) {
            host.m_stopRequested = true;
            PostQuit(host);
        }
    } else {
        ServiceControl(host, kUnknownControl);
    }
    return 0;
}

// The name of the first signal that cannot be watched, or null. A signal
// without its watch would stay blocked and never be handled.
const char* WatchControlSignals(ServiceHost& host, bus::RunLoop& loop, int* error) {
    for (const int number : kControlSignals) {
        *error = sd_event_add_signal(loop.Event(), nullptr, number, &OnSignal, &host);
        if (*error < 0) return sigabbrev_np(number);
    }
    return nullptr;
}

// A server that cannot start, or that ends for another reason than being
// asked to (its bus went away), says why and ends with 1.
void ReportFailure(ServiceHost& host, const std::string& text) {
    if (host.m_runsAsService) {
        host.m_eventLog->Write(journal::Priority::kError, text);
    } else {
        std::fprintf(stderr, "%s: %s\n", host.m_serviceName.data(), text.c_str());
    }
    host.m_serviceStatus.dwWin32ExitCode = 1;
}

// The name is owned already, or the server object cannot be built. Left
// running, the server could never be reached.
void ReportPublicationFailure(ServiceHost& host, const std::string& reason) {
    ReportFailure(host, "cannot publish FyBootpServer: " + reason);
}

std::string StatusText(HRESULT hr) {
    char code[80];
    const std::string_view name = HresultName(hr);
    std::snprintf(code, sizeof(code), "0x%08X (%.*s)", static_cast<std::uint32_t>(hr),
                  static_cast<int>(name.size()), name.data());
    return code;
}

std::string Describe(HRESULT hr) {
    if (hr == bus::kNameTaken) return "the bus name " + std::string(kBusName) + " is owned already";
    return "the server object cannot be built: " + StatusText(hr);
}

}  // namespace

void BlockControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : kControlSignals) sigaddset(&set, number);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StartHost(ServiceHost& host) {
    // Before the bus, the node table and the network: nothing a client or a
    // device sends is ever parsed as root.
    if (std::string why; !host.m_dropPrivileges(&why)) {
        ReportFailure(host, "cannot give up root: " + why);
        return;
    }
    // Only the server's run loop takes its signals from a signal watch, and
    // no thread exists yet, so every thread it starts inherits the mask.
    // Registration keeps the default dispositions: a SIGTERM ends it.
    BlockControlSignals();
    if (host.m_runsAsService) {
        if (host.m_serviceManager->IsServiceMainProcess()) {
            ServiceEntry(host);
            return;
        }
        // Not started by systemd: the process runs as a local server.
        host.m_runsAsService = false;
    }
    RunServer(host);
}

void ServiceEntry(ServiceHost& host) {
    host.m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    // The control handler is the run loop's signal watch; the signals must
    // be blocked for it to receive them.
    sigset_t blocked;
    host.m_statusHandle =
        pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGTERM) == 1;
    if (!host.m_statusHandle) {
        ReportHostEvent(host, "Handler not installed");
        return;
    }
    ReportServiceState(host, SERVICE_START_PENDING);
    host.m_serviceStatus.dwWin32ExitCode = 0;
    host.m_serviceStatus.dwCheckPoint = 0;
    host.m_serviceStatus.dwWaitHint = 0;
    RunServer(host);
    ReportServiceState(host, SERVICE_STOPPED);
    // Only a stop that was asked for: systemd tells a failure by the exit
    // code, and the journal has said why already.
    if (host.m_serviceStatus.dwWin32ExitCode == 0) ReportHostEvent(host, "Service stopped");
}

void ServiceControl(ServiceHost& host, DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            ReportServiceState(host, SERVICE_STOP_PENDING);
            host.m_stopRequested = true;
            PostQuit(host);
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN:
            break;
        default:
            ReportHostEvent(host, "Bad service request");
            break;
    }
}

bool ReportServiceState(ServiceHost& host, DWORD state) {
    host.m_serviceStatus.dwCurrentState = state;
    // Only a service has a manager to report to.
    if (!host.m_runsAsService) return false;
    switch (state) {
        case SERVICE_START_PENDING:
            host.m_serviceManager->Notify("STATUS=Starting");
            break;
        case SERVICE_RUNNING:
            host.m_serviceManager->Notify("READY=1\nSTATUS=Running");
            break;
        case SERVICE_STOP_PENDING:
            host.m_serviceManager->Notify("STOPPING=1\nSTATUS=Stopping");
            break;
        default:
            host.m_serviceManager->Notify("STATUS=Stopped");
            break;
    }
    return true;
}

namespace {

// Everything the loop needs before it serves, each step checked; false when
// one failed, which has been reported.
bool PrepareToServe(ServiceHost& host, bus::RunLoop& loop,
                    std::unique_ptr<bus::BusServer>& server) {
    // Root and group fybootp may call; who changed what goes to the event
    // log, the journal also for a local server, so that the trail is whole.
    bus::BusClass shape = FyBootpBusClass();
    shape.callerGroup = FindSystemGroup(kClientGroup);
    shape.audit = AuditTrail(*host.m_eventLog);
    std::string failedCall = "sd_event_new";
    const int r = loop.Ok() ? bus::BusServer::Open(loop, {std::move(shape)}, &server, &failedCall)
                            : -ENOMEM;
    if (r < 0) {
        ReportPublicationFailure(host, "no bus: " + failedCall + ": " + std::strerror(-r));
        return false;
    }
    int error = 0;
    if (const char* signal = WatchControlSignals(host, loop, &error)) {
        ReportFailure(host, std::string("cannot watch SIG") + signal +
                                ": sd_event_add_signal: " + std::strerror(-error));
        return false;
    }
    const HRESULT published = PublishClassObjects(
        host, bus::CLSCTX_LOCAL_SERVER | bus::CLSCTX_REMOTE_SERVER, bus::REGCLS_MULTIPLEUSE);
    if (Failed(published)) {
        ReportPublicationFailure(host, Describe(published));
        return false;
    }
    if (!host.m_runsAsService && !loop.AddTimer(UnreferencedLimit(), [&host, &server] {
            if (!server->EverReferenced() && host.m_lockCount.Count() == 0) PostQuit(host);
        })) {
        ReportFailure(host, "cannot arm the 30 s timer: RunLoop::AddTimer failed");
        return false;
    }
    return true;
}

}  // namespace

void RunServer(ServiceHost& host) {
    bus::RunLoop loop;
    host.m_runThreadId = &loop;
    host.m_lockCount.SetZeroHook([&host] {
        if (!host.m_runsAsService) PostQuit(host);
    });
    std::unique_ptr<bus::BusServer> server;
    if (PrepareToServe(host, loop, server)) {
        ReportHostEvent(host, "Service started");
        if (host.m_runsAsService) ReportServiceState(host, SERVICE_RUNNING);
        if (const std::string why = server->RunMessageLoop(loop); !why.empty()) {
            ReportFailure(host, why);
        }
    }
    if (server) {
        const HRESULT withdrawn = WithdrawClassObjects(host);
        if (Failed(withdrawn) && host.m_serviceStatus.dwWin32ExitCode == 0) {
            ReportFailure(host, "cannot withdraw the class object: " + StatusText(withdrawn));
        }
    }
    server.reset();
    host.m_runThreadId = nullptr;
}

HRESULT PublishClassObjects(ServiceHost& host, DWORD classContext, DWORD flags) {
    for (ClassTableRow* row = host.m_classTable; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->createClassObject == nullptr) continue;
        void* raw = nullptr;
        HRESULT hr = row->createClassObject(host, IID_IUnknown, &raw);
        if (Succeeded(hr)) {
            auto* classObject = static_cast<IUnknown*>(raw);
            hr = bus::CoRegisterClassObject(*row->clsid, classObject, classContext, flags,
                                            &row->cookie);
            // The bus holds the only reference from here on.
            classObject->Release();
        }
        if (Failed(hr)) return hr;
    }
    return S_OK;
}

HRESULT WithdrawClassObjects(ServiceHost& host) {
    for (ClassTableRow* row = host.m_classTable; row != nullptr && row->clsid != nullptr; ++row) {
        if (row->cookie == 0) continue;
        const HRESULT hr = bus::CoRevokeClassObject(std::exchange(row->cookie, 0));
        if (Failed(hr)) return hr;
    }
    return S_OK;
}

void ReportHostEvent(ServiceHost& host, std::string_view message) {
    const std::string text(message.substr(0, 255));
    if (host.m_runsAsService) {
        host.m_eventLog->Write(journal::Priority::kInfo, text);
    } else {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
}

}  // namespace fybootp::host
