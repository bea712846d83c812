#pragma once
// The client's view of FyBootpServer in another process: a proxy that
// implements IFyBootpServer (vtable and IDispatch) and IFyServerControl by
// calls on the bus. Call RegisterFyBootpProxy once; then
// bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, CLSCTX_LOCAL_SERVER,
// IID_IFyBootpServer, &p) gives one.

#include <string>

#include "automation/fybootp_interfaces.h"

namespace fybootp::host {

void RegisterFyBootpProxy();

// The unique bus name of the server that such a proxy calls, so that a
// client can check who runs that server before its first call; "" for an
// object that is not such a proxy.
std::string ServerNameOf(IFyBootpServer* object);

}  // namespace fybootp::host
