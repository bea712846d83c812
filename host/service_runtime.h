#pragma once
// The service runtime: the service course under systemd or the local
// server course, the class objects on the bus, the run loop and the
// shutdown order, and the host's status messages.
//
// Shutdown order in both courses: the loop ends (the well-known name given
// up, the calls queued then answered) -> class objects revoked (server
// object disconnected and destroyed) -> bus closed -> (service) stopped
// reported -> (service) "Service stopped" written, only when the stop was
// asked for. A lost bus, like a failed start, is written as an error and
// ends the process with 1.

#include <string_view>

#include "host/service_host.h"

namespace fybootp::host {

// Control codes; SIGTERM arrives as the stop control and SIGHUP, SIGUSR1
// and SIGUSR2 as codes the service does not know.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD kUnknownControl = 200;

void StartHost(ServiceHost& host);
void ServiceEntry(ServiceHost& host);
void ServiceControl(ServiceHost& host, DWORD control);
// The state as sd_notify lines; true when the report went out.
bool ReportServiceState(ServiceHost& host, DWORD state);
void RunServer(ServiceHost& host);
HRESULT PublishClassObjects(ServiceHost& host, DWORD classContext, DWORD flags);
HRESULT WithdrawClassObjects(ServiceHost& host);
// At most 255 characters: to the journal for a service, else a line on
// standard output.
void ReportHostEvent(ServiceHost& host, std::string_view message);

// Signals that must reach the run loop, blocked before the server starts
// its first thread so that none is delivered to the responder's thread.
void BlockControlSignals();

}  // namespace fybootp::host
