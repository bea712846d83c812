#include "platform/bus/bus_connection.h"

#include <cstdlib>
#include <initializer_list>
#include <utility>

namespace fybootp::bus {
namespace {

std::string FirstSet(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return {};
}

int OpenAt(const std::string& address, sd_bus** bus) {
    *bus = nullptr;
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

ClientBusOpener& Opener() {
    static ClientBusOpener opener;
    return opener;
}

}  // namespace

std::string ChosenBusAddress() { return FirstSet({kAddressVariable, kStarterAddressVariable}); }

std::string ClientBusAddress() { return FirstSet({kAddressVariable}); }

int OpenBus(sd_bus** bus) { return OpenAt(ChosenBusAddress(), bus); }

int OpenClientBus(sd_bus** bus) {
    if (const ClientBusOpener& opener = Opener()) {
        *bus = nullptr;
        return opener(bus);
    }
    return OpenAt(ClientBusAddress(), bus);
}

void SetClientBusOpener(ClientBusOpener opener) { Opener() = std::move(opener); }

}  // namespace fybootp::bus
