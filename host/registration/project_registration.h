#pragma once
// Project registration: the server's entry in the current project of the
// maker's product, through the product's project component. The switches
// RegFyServer and UnregFyServer lead here before the server registration.

#include "host/service_host.h"

namespace fybootp::host {

// The context the component is asked for in: in-process server and
// handler, local and remote server.
inline constexpr DWORD kProjectDocumentContext = 0x17;
// The project file's path is read into a buffer of this size.
inline constexpr DWORD kProjectPathBuffer = 260;

// S_OK or another non-negative status of the last component call; a
// negative HRESULT of a COM, storage or component step; or a positive
// Win32 error code of reading the registry (2 without the product key or
// value, 234 for a path that with its NUL is longer than 260 bytes).
long UpdateProjectEntry(ServiceHost& host, bool doRegister, const GUID& clsid);

}  // namespace fybootp::host
