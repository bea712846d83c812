#include "platform/bus/bus_connection.h"

#include <cstdlib>

namespace fybootp::bus {

std::string ChosenBusAddress() {
    for (const char* name : {kAddressVariable, kStarterAddressVariable}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

int OpenBus(sd_bus** bus) {
    *bus = nullptr;
    const std::string address = ChosenBusAddress();
    if (address.empty()) return sd_bus_open_system(bus);
    sd_bus* opened = nullptr;
    int r = sd_bus_new(&opened);
    if (r < 0) return r;
    if ((r = sd_bus_set_address(opened, address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(opened, 1)) < 0 || (r = sd_bus_start(opened)) < 0) {
        sd_bus_unref(opened);
        return r;
    }
    *bus = opened;
    return 0;
}

}  // namespace fybootp::bus
