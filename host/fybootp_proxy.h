#pragma once
// The client's view of FyBootpServer in another process: a proxy that
// implements IFyBootpServer (vtable and IDispatch) and IFyServerControl by
// calls on the bus. Call RegisterFyBootpProxy once; then
// bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, CLSCTX_LOCAL_SERVER,
// IID_IFyBootpServer, &p) gives one.

namespace fybootp::host {

void RegisterFyBootpProxy();

}  // namespace fybootp::host
