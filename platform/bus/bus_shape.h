#pragma once
// What a class looks like on the bus: its well-known name, the paths of its
// class object and of its one server object, and the interfaces of that
// object, each described by the same records a type library holds and
// reached through a call table of the interface's members.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
};

// Who made a call, as the bus daemon reported it when the caller was
// admitted.
struct CallerIdentity {
    std::string uniqueName;
    uid_t uid = 0;
};

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
};

inline constexpr char kClassFactoryInterface[] = "org.fybootp.ClassFactory";

}  // namespace fybootp::bus
