#pragma once
// The service entry: a systemd unit, FyBootp.service, made and removed
// through systemd's own bus interface (org.freedesktop.systemd1) on the
// system bus (or the bus FYBOOTP_BUS_ADDRESS names). Where systemd does
// not answer, the service manager cannot be opened.

#include <string>

#include "host/registration/unit_files.h"
#include "host/service_host.h"

namespace fybootp::host {

bool IsServiceInstalled(ServiceHost& host);
// True when the service exists afterwards.
bool InstallService(ServiceHost& host);
// True when no service is left to remove or it was deleted.
bool RemoveService(ServiceHost& host);

}  // namespace fybootp::host
