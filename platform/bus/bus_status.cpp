#include "platform/bus/bus_status.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/com/hresult_name.h"

namespace fybootp::bus {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The status our own error names carry, or nothing.
bool ParseOwnError(std::string_view name, HRESULT* hr) {
    if (!StartsWith(name, kErrorPrefix)) return false;
    const std::string_view digits = name.substr(std::strlen(kErrorPrefix));
    std::uint32_t code = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code, 16);
    if (ec != std::errc{} || end != digits.data() + digits.size() || digits.size() != 8) {
        return false;
    }
    *hr = MakeHresult(code);
    return true;
}

HRESULT FromDbusError(std::string_view name, CallKind kind) {
    const bool activation = kind == CallKind::kActivation;
    if (StartsWith(name, "org.freedesktop.DBus.Error.Spawn.")) return CO_E_SERVER_EXEC_FAILURE;
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner") {
        // Nobody can be started for the well-known name: the class is not
        // registered. The unique name of a server that went: it is gone.
        return activation ? REGDB_E_CLASSNOTREG : RPC_E_DISCONNECTED;
    }
    if (name == "org.freedesktop.DBus.Error.NoReply" ||
        name == "org.freedesktop.DBus.Error.Timeout" ||
        name == "org.freedesktop.DBus.Error.TimedOut" ||
        name == "org.freedesktop.DBus.Error.Disconnected") {
        return activation ? CO_E_SERVER_EXEC_FAILURE : RPC_E_DISCONNECTED;
    }
    if (name == "org.freedesktop.DBus.Error.AccessDenied") return E_ACCESSDENIED;
    if (name == "org.freedesktop.DBus.Error.InvalidArgs" ||
        name == "org.freedesktop.DBus.Error.InvalidSignature") {
        return E_INVALIDARG;
    }
    if (name == "org.freedesktop.DBus.Error.UnknownMethod" ||
        name == "org.freedesktop.DBus.Error.UnknownProperty" ||
        name == "org.freedesktop.DBus.Error.PropertyReadOnly" ||
        name == "org.freedesktop.DBus.Error.UnknownInterface") {
        return DISP_E_MEMBERNOTFOUND;
    }
    if (name == "org.freedesktop.DBus.Error.UnknownObject") return RPC_E_DISCONNECTED;
    if (name == "org.freedesktop.DBus.Error.NoMemory") return E_OUTOFMEMORY;
    return E_FAIL;
}

}  // namespace

std::string ErrorName(HRESULT hr) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s%08X", kErrorPrefix, static_cast<std::uint32_t>(hr));
    return name;
}

int SetHresultError(sd_bus_error* error, HRESULT hr, std::string_view detail) {
    const std::string name = ErrorName(hr);
    const std::string_view symbol = HresultName(hr);
    return sd_bus_error_setf(error, name.c_str(), "%.*s: %.*s", static_cast<int>(symbol.size()),
                             symbol.data(), static_cast<int>(detail.size()), detail.data());
}

HRESULT HresultFromBusError(const sd_bus_error* error, int r, CallKind kind) {
    if (error != nullptr && sd_bus_error_is_set(error)) {
        HRESULT hr = E_FAIL;
        if (ParseOwnError(error->name, &hr)) return hr;
        return FromDbusError(error->name, kind);
    }
    // No error from the peer: the connection itself failed.
    switch (-r) {
        case ENOMEM:
            return E_OUTOFMEMORY;
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        default:
            return kind == CallKind::kActivation ? CO_E_SERVER_EXEC_FAILURE : RPC_E_DISCONNECTED;
    }
}

}  // namespace fybootp::bus
