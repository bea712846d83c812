#pragma once
// Which bus the server and its clients meet on: FYBOOTP_BUS_ADDRESS when it
// is set (tests and the demo run a private bus), else DBUS_STARTER_ADDRESS
// when a bus activated this process, else the system bus.

#include <systemd/sd-bus.h>

#include <string>

namespace fybootp::bus {

inline constexpr char kAddressVariable[] = "FYBOOTP_BUS_ADDRESS";
inline constexpr char kStarterAddressVariable[] = "DBUS_STARTER_ADDRESS";

// The address chosen by the rule above; "" for the system bus.
std::string ChosenBusAddress();

// 0 and a started connection with one reference in *bus, or a negative errno.
int OpenBus(sd_bus** bus);

}  // namespace fybootp::bus
