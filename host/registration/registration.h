#pragma once
// Registration with the system: the AppID and class entries written by the
// executable's registry scripts, the type library, the service entry, and
// on Linux the bus activation file and policy that make LocalServer32 work.
// The switches RegServer, Service and UnregServer lead here.

#include <filesystem>
#include <string>

#include "host/command_line.h"
#include "host/service_host.h"
#include "platform/com/hresult.h"

namespace fybootp::host {

// What registration must know before it reads the registry or writes
// anything: the registry is private (RegistryIsPrivate; else 5, the Win32
// code of a denied access) and the module, which bus activation and the
// service run as root, is trusted (fs::FindDistrust; else E_ACCESSDENIED).
// A refusal is also a message naming the file. S_OK otherwise.
long CheckRegistrationTrust(ServiceHost& host);

// Status: the refusal of CheckRegistrationTrust, a Win32 error code of
// opening the AppID keys for writing, or the result of RegisterClasses.
long RegisterHost(ServiceHost& host, bool registerTypeLib, bool asService);
// The refusal of CheckRegistrationTrust, else S_OK.
long UnregisterHost(ServiceHost& host);

// The script of REGISTRY resource `id` of the executable, with %MODULE%
// standing for the module's path, applied in the direction asked.
HRESULT ApplyRegistryScript(ServiceHost& host, int id, bool doRegister);

HRESULT RegisterClasses(ServiceHost& host, bool registerTypeLib);
// S_OK.
HRESULT UnregisterClasses(ServiceHost& host, bool unregisterTypeLib);

HRESULT RegisterTypeLibrary(ServiceHost& host);
// The status of loading the library.
HRESULT UnregisterTypeLibrary(ServiceHost& host);

// The .tlb file beside a module: the file name's extension (from its last
// ".") replaced, or ".tlb" appended when the name has none.
std::string TypeLibFileBeside(const std::string& modulePath);
// The folder of a path, its last separator kept.
std::string HelpDirectoryOf(const std::string& path);

// The class script of FyBootpServer, for the class table.
HRESULT UpdateFyBootpServerRegistry(ServiceHost& host, bool doRegister);

// The operations the registration switches reach.
const RegistrationOps& SystemRegistrationOps();

}  // namespace fybootp::host
