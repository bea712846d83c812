#pragma once
// The service entry: a systemd unit, FyBootp.service, made and removed
// through systemd's own bus interface (org.freedesktop.systemd1) on the
// system bus (or the bus FYBOOTP_BUS_ADDRESS names). Where systemd does
// not answer, the service manager cannot be opened.

#include <string>

#include "host/service_host.h"

namespace fybootp::host {

inline constexpr char kServiceUnitName[] = "FyBootp.service";

// The unit's path below FYBOOTP_ROOT.
std::string ServiceUnitPath();

// The unit file's text: demand start, ExecStart the bare module path,
// after and requiring the bus socket, Type=notify, run in the state
// directory with CAP_NET_BIND_SERVICE alone, sandboxed.
std::string ServiceUnitText(const std::string& description, const std::string& modulePath,
                            const std::string& stateDirectory);

// Quoted for an ExecStart= line: specifiers and variables escaped.
std::string QuoteUnitWord(const std::string& word);

bool IsServiceInstalled(ServiceHost& host);
// True when the service exists afterwards.
bool InstallService(ServiceHost& host);
// True when no service is left to remove or it was deleted.
bool RemoveService(ServiceHost& host);

}  // namespace fybootp::host
