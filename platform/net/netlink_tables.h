#pragma once
// The machine's IPv4 address table and main route table, read from the
// kernel through rtnetlink on every call (no cache: interfaces come and go
// while the server runs). The rows are ordered the way the server's callers
// expect to index them, so that "the first row" has a stable meaning.
// Addresses are 32-bit values in network byte order, as they travel.

#include <cstdint>
#include <string>
#include <vector>

namespace fybootp::net {

struct AddressRow {             // one IPv4 address of an interface
    std::uint32_t address = 0;  // network byte order
    std::uint32_t mask = 0;     // network byte order, from the prefix length
    int interfaceIndex = 0;
    bool loopback = false;  // the interface has IFF_LOOPBACK
};

struct RouteRow {                   // one IPv4 route of the main table
    std::uint32_t destination = 0;  // network byte order
    std::uint8_t prefixLength = 0;
    // RTA_GATEWAY; for an on-link route without gateway, RTA_PREFSRC (the
    // local address, as other systems report the next hop of on-link
    // routes); else 0. Network byte order.
    std::uint32_t nextHop = 0;
    int interfaceIndex = 0;
    std::uint32_t metric = 0;
};

// Both return 0 or an errno value; on failure out is left empty.

// Address table: IPv4 addresses of interfaces that are up (IFF_UP), ordered
// by interface index, then in the order the kernel lists them, with all
// loopback rows moved last, so that the first row is the machine's real
// address whenever it has one.
int ReadAddressTable(std::vector<AddressRow>& out);

// Route table: unicast IPv4 routes of the main routing table, sorted
// ascending by destination (numeric in host order), then prefix length
// ascending, then metric ascending; rows equal in all three keep the
// kernel's order. A default route (0.0.0.0/0) is therefore first when it
// exists.
int ReadRouteTable(std::vector<RouteRow>& out);

// The host name from gethostname; empty on failure.
std::string LocalHostName();

}  // namespace fybootp::net
