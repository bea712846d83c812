#pragma once
// The systemd units of the server: FyBootp.service for the service course
// and fybootp-local.service for the local server that the bus starts on
// demand where systemd manages the bus. Both start the module as
// `_fybootp` with CAP_NET_BIND_SERVICE alone, in its working directory,
// behind the same sandbox.

#include <string>

namespace fybootp::host {

inline constexpr char kServiceUnitName[] = "FyBootp.service";
inline constexpr char kLocalUnitName[] = "fybootp-local.service";

// Below FYBOOTP_ROOT, in etc/systemd/system.
std::string UnitPath(const char* unitName);

// Quoted for an ExecStart= line: specifiers and variables escaped.
std::string QuoteUnitWord(const std::string& word);

// Demand start, after and requiring the bus socket, Type=notify, restarted
// when it fails.
std::string ServiceUnitText(const std::string& description, const std::string& modulePath,
                            const std::string& workingDirectory);
// Type=dbus on the server's bus name, ExecStart the module with
// "-Embedding".
std::string LocalUnitText(const std::string& description, const std::string& modulePath,
                          const std::string& workingDirectory);

}  // namespace fybootp::host
