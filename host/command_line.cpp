#include "host/command_line.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "automation/fybootp_ids.h"
#include "host/registration/registration.h"
#include "host/service_runtime.h"
#include "host/system_paths.h"
#include "platform/com/hresult_name.h"
#include "platform/registry/registry.h"

namespace fybootp::host {
namespace {

enum class Switch { kUnregServer, kRegServer, kService, kEmbedding, kRegFyServer, kUnregFyServer };

// In the order they are compared.
constexpr std::array<std::pair<std::string_view, Switch>, 6> kSwitches{{
    {"UnregServer", Switch::kUnregServer},
    {"RegServer", Switch::kRegServer},
    {"Service", Switch::kService},
    {"Embedding", Switch::kEmbedding},
    {"RegFyServer", Switch::kRegFyServer},
    {"UnregFyServer", Switch::kUnregFyServer},
}};

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// lstrcmpiA on switches: ASCII case folding, whatever the locale.
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

// CharNextA: one UTF-8 character; a stray byte counts as one.
std::size_t CharLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

long Act(ServiceHost& host, const RegistrationOps& ops, Switch which) {
    // The project step loads the component that the registry names, so
    // the registry is judged before it; a refusal is never dropped.
    if (const long refused = ops.checkTrust(host); refused != 0) return refused;
    switch (which) {
        case Switch::kUnregServer:
            return ops.unregisterHost(host);
        case Switch::kRegServer:
            return ops.registerHost(host, true, false);
        case Switch::kService:
            return ops.registerHost(host, true, true);
        case Switch::kRegFyServer: {
            // Only a failure of the project step stops the registration;
            // its Win32 codes (a missing project key) are dropped.
            const long project = ops.updateProjectEntry(host, true, CLSID_FyBootpServer);
            return project < 0 ? project : ops.registerHost(host, true, true);
        }
        case Switch::kUnregFyServer: {
            const long project = ops.updateProjectEntry(host, false, IID_NULL);
            return project < 0 ? project : ops.unregisterHost(host);
        }
        case Switch::kEmbedding:
            break;
    }
    return 0;
}

// The AppID key decides whether the process may run, and "LocalService"
// whether it tries the service course.
long RunDecision(ServiceHost& host, bool embedding) {
    registry::Registry registry(RegistryRoot());
    registry::HKEY appIds{};
    registry::LONG status = registry.OpenKey(registry::HKEY_CLASSES_ROOT, "AppID", &appIds);
    if (status != registry::ERROR_SUCCESS) return status;
    registry::HKEY appId{};
    status = registry.OpenKey(appIds, GuidToString(APPID_FyBootp), &appId);
    if (status != registry::ERROR_SUCCESS) {
        registry.CloseKey(appIds);
        return status;
    }
    std::array<char, 260> value{};
    DWORD size = static_cast<DWORD>(value.size());
    host.m_runsAsService = registry.QueryValue(appId, "LocalService", nullptr, value.data(),
                                               &size) == registry::ERROR_SUCCESS;
    // A service start carries no "Embedding": a process that systemd
    // started for the unit while "LocalService" is set runs too.
    if (embedding || (host.m_runsAsService && host.m_serviceManager->IsServiceMainProcess())) {
        StartHost(host);
    }
    registry.CloseKey(appId);
    registry.CloseKey(appIds);
    return static_cast<long>(host.m_serviceStatus.dwWin32ExitCode);
}

}  // namespace

const RegistrationOps& DefaultRegistrationOps() { return SystemRegistrationOps(); }

std::optional<std::size_t> FindNextSwitch(std::string_view text, std::string_view separators) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = CharLength(static_cast<unsigned char>(text[i]));
        if (length == 1 && separators.find(text[i]) != std::string_view::npos) return i + 1;
        i += length;
    }
    return std::nullopt;
}

std::string ProcessCommandLine() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    for (char& c : raw) {
        if (c == '\0') c = ' ';
    }
    return raw;
}

long RunEntry(ServiceHost& host, const RegistrationOps& registration,
              std::string_view commandLine) {
    bool embedding = false;
    std::size_t position = 0;
    while (const auto next = FindNextSwitch(commandLine.substr(position), "-/")) {
        position += *next;
        const std::string_view rest = commandLine.substr(position);
        for (const auto& [name, which] : kSwitches) {
            if (!EqualIgnoringAsciiCase(rest, name)) continue;
            if (which != Switch::kEmbedding) return Act(host, registration, which);
            embedding = true;
            break;
        }
    }
    return RunDecision(host, embedding);
}

int ExitCodeOf(long result) { return result >= 0 && result <= 255 ? static_cast<int>(result) : 1; }

std::string ResultLine(long result) {
    const auto code = static_cast<std::uint32_t>(result);
    const std::string_view name = HresultName(static_cast<HRESULT>(code));
    char line[128];
    std::snprintf(line, sizeof(line), "fybootp: result 0x%08X (%.*s)", code,
                  static_cast<int>(name.size()), name.data());
    return line;
}

}  // namespace fybootp::host
