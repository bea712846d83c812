#pragma once
// FyBootpServer on the bus: its names and paths, and its two interfaces.
// IFyBootpServer is made at run time from the type library built into the
// executable; IFyServerControl, which the library does not describe, from
// its call table here.

#include "platform/bus/bus_shape.h"

namespace fybootp::host {

inline constexpr char kBusName[] = "org.fybootp.FyBootpServer";
inline constexpr char kClassObjectPath[] = "/org/fybootp/FyBootpServer";
inline constexpr char kServerObjectPath[] = "/org/fybootp/FyBootpServer/Server";
inline constexpr char kServerInterface[] = "org.fybootp.IFyBootpServer";
inline constexpr char kControlInterface[] = "org.fybootp.IFyServerControl";

// The shape, with the members that are audited but neither the caller
// group nor the audit hook, which the running server adds; throws
// std::bad_alloc, and std::runtime_error when the built-in type library
// does not load (a build fault).
const bus::BusClass& FyBootpBusClass();

// IFyServerControl's members in vtable order, as type library records.
TypeDesc ServerControlTypeDesc();

}  // namespace fybootp::host
