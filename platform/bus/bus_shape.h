#pragma once
// What a class looks like on the bus: its well-known name, the paths of its
// class object and of its one server object, and the interfaces of that
// object, each described by the same records a type library holds and
// reached through a call table of the interface's members.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/type_library.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace fybootp::bus {

// Calls the member at vtableIndex of the interface `object` points to (got
// by QueryInterface for the interface's IID), as DispatchTarget describes.
using MemberInvoker = HRESULT (*)(IUnknown* object, std::size_t vtableIndex,
                                  std::span<Variant> args, Variant* result);

struct BusInterface {
    std::string name;  // org.fybootp.IFyBootpServer
    IID iid = IID_NULL;
    TypeDesc type;  // the interface's members in vtable order
    MemberInvoker invoke = nullptr;
    // Properties whose changes are signalled (PropertiesChanged), at most
    // ten times a second, so that clients need not poll them.
    std::vector<std::string> signalled;
    // Members whose calls change state (for a property: its put); each
    // such call is reported to the class's audit hook.
    std::vector<std::string> audited{};
};

// Who made a call, as the bus daemon reported it when the caller was
// admitted.
struct CallerIdentity {
    std::string uniqueName;
    uid_t uid = 0;
};

// Told of every call of an audited member by an admitted caller, after the
// object answered (or the arguments were refused): the member's name, the
// arguments as they arrived, the status the caller got.
using AuditHook = std::function<void(const CallerIdentity& caller, std::string_view member,
                                     const std::vector<Variant>& args, HRESULT result)>;

struct BusClass {
    GUID clsid = IID_NULL;
    std::string busName;     // the well-known name
    std::string classPath;   // the class object
    std::string objectPath;  // the server object
    std::vector<BusInterface> interfaces;
    // Longer texts are refused before they reach the object.
    std::size_t maxTextBytes = SIZE_MAX;
    // Besides root, the members of this group may call; when it is empty,
    // root alone. The bus daemon's word on the caller's groups decides.
    std::optional<gid_t> callerGroup{};
    AuditHook audit{};
};

inline constexpr char kClassFactoryInterface[] = "org.fybootp.ClassFactory";

}  // namespace fybootp::bus
