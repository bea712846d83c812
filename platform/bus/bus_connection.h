#pragma once
// Which bus the server and its clients meet on. FYBOOTP_BUS_ADDRESS comes
// first for both (tests and the demo run a private bus), else the system
// bus. The server also takes DBUS_STARTER_ADDRESS, the bus that activated
// it. A client never does: that variable describes the process's own
// activation, and a client that inherited it (from a shell or a service
// that a bus started) would otherwise talk to whatever bus it names.

#include <systemd/sd-bus.h>

#include <functional>
#include <string>

namespace fybootp::bus {

inline constexpr char kAddressVariable[] = "FYBOOTP_BUS_ADDRESS";
inline constexpr char kStarterAddressVariable[] = "DBUS_STARTER_ADDRESS";

// The server's address by the rule above; "" for the system bus.
std::string ChosenBusAddress();
// A client's address: FYBOOTP_BUS_ADDRESS only; "" for the system bus.
std::string ClientBusAddress();

// 0 and a started connection with one reference in *bus, or a negative
// errno: on the server's bus, and on a client's.
int OpenBus(sd_bus** bus);
int OpenClientBus(sd_bus** bus);

// A client that reaches its bus another way (a bus on another machine,
// through ssh) opens every client connection with this instead, until it
// sets an empty one. Same contract as OpenClientBus.
using ClientBusOpener = std::function<int(sd_bus** bus)>;
void SetClientBusOpener(ClientBusOpener opener);

}  // namespace fybootp::bus
