#include "host/registration/unit_files.h"

#include "host/system_accounts.h"
#include "host/system_paths.h"

namespace fybootp::host {
namespace {

std::string EscapedSpecifiers(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '%') escaped += '%';
        escaped += c;
    }
    return escaped;
}

// What both units share: who runs, where, and the sandbox. The server parses
// datagrams from the network and texts from clients, so it runs as its own
// user and sees as little of the system as it can still work with: the bus
// and the journal (AF_UNIX), BOOTP (AF_INET), the address and route tables
// (AF_NETLINK), and its own directory to write.
std::string CommonServiceLines(const std::string& workingDirectory) {
    return std::string("User=") + kServerUser + "\nGroup=" + kServerUser +
           "\n"
           "WorkingDirectory=" +
           EscapedSpecifiers(workingDirectory) +
           "\n"
           // systemd makes the innermost directory the user's; the registry
           // beside it stays root's.
           "StateDirectory=fybootp/server\n"
           "StateDirectoryMode=0750\n"
           "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
           "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
           "NoNewPrivileges=yes\n"
           "ProtectSystem=strict\n"
           "ProtectHome=yes\n"
           "PrivateTmp=yes\n"
           "PrivateDevices=yes\n"
           "PrivateMounts=yes\n"
           "PrivateIPC=yes\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectClock=yes\n"
           "ProtectHostname=yes\n"
           "ProtectProc=invisible\n"
           "ProcSubset=pid\n"
           "RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK\n"
           "RestrictNamespaces=yes\n"
           "RestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\n"
           "LockPersonality=yes\n"
           "MemoryDenyWriteExecute=yes\n"
           "SystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\n"
           "SystemCallFilter=~@privileged @resources\n"
           "SystemCallErrorNumber=EPERM\n"
           "RemoveIPC=yes\n"
           "KeyringMode=private\n"
           "DevicePolicy=closed\n"
           "UMask=0077\n";
}

}  // namespace

std::string UnitPath(const char* unitName) {
    std::string root = SystemRoot();
    if (root.back() != '/') root += '/';
    return root + "etc/systemd/system/" + unitName;
}

std::string QuoteUnitWord(const std::string& word) {
    std::string quoted = "\"";
    for (const char c : word) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';  // a specifier otherwise
        if (c == '$') quoted += '$';  // a variable otherwise
        quoted += c;
    }
    return quoted + "\"";
}

std::string ServiceUnitText(const std::string& description, const std::string& modulePath,
                            const std::string& workingDirectory) {
    return "# Written by fybootp -Service; fybootp -RegServer and -UnregServer remove it.\n"
           "[Unit]\n"
           "Description=" +
           description +
           "\n"
           // The server publishes its class object on the system bus.
           "Requires=dbus.socket\n"
           "After=dbus.socket\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           QuoteUnitWord(modulePath) +
           "\n"
           "Restart=on-failure\n" +
           CommonServiceLines(workingDirectory);
}

std::string LocalUnitText(const std::string& description, const std::string& modulePath,
                          const std::string& workingDirectory) {
    return "# Written by fybootp -RegServer; fybootp -UnregServer removes it. The bus starts\n"
           "# it on the first call to the server's name.\n"
           "[Unit]\n"
           "Description=" +
           description +
           " (local server)\n"
           "Requires=dbus.socket\n"
           "After=dbus.socket\n"
           "\n"
           "[Service]\n"
           "Type=dbus\n"
           "BusName=org.fybootp.FyBootpServer\n"
           "ExecStart=" +
           QuoteUnitWord(modulePath) + " -Embedding\n" + CommonServiceLines(workingDirectory);
}

}  // namespace fybootp::host
