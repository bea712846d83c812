#pragma once
// Where DetectHostInfo learns the machine's own identity. The real source
// asks the kernel; tests hand in tables of their own.

#include <string>
#include <vector>

#include "platform/net/netlink_tables.h"

namespace fybootp {

class HostInfoSource {
public:
    virtual ~HostInfoSource() = default;
    // The host name; empty when it cannot be had.
    virtual std::string HostName() const = 0;
    // As net::ReadAddressTable and net::ReadRouteTable: 0 or an errno, the
    // address table with loopback rows last, the route table ascending by
    // destination.
    virtual int ReadAddressTable(std::vector<net::AddressRow>& out) const = 0;
    virtual int ReadRouteTable(std::vector<net::RouteRow>& out) const = 0;
};

// The machine's own tables, read through netlink.
const HostInfoSource& SystemHostInfoSource();

}  // namespace fybootp
