#pragma once
// The address an operator would pick for a new device: the lowest one in the
// server's subnet that no node holds and that is not the server's own, the
// router, the network or the broadcast address. fybootpctl's `next` and
// `assign --next` and the web page's suggestion all come from here, so they
// always agree.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/client/interface_texts.h"

namespace fybootp::tools {

struct FreeAddresses {
    std::vector<std::string> addresses;  // dotted, lowest first
    // Why fewer than asked were found: "" when all were, else e.g.
    // "no address is left in 192.0.2.0/24" or "the server has no subnet mask".
    std::string shortfall;
};

// Up to `count` free addresses, lowest first, for `count` devices at once.
FreeAddresses NextFreeAddresses(const HostIdentity& host, const std::vector<NodeRow>& nodes,
                                std::size_t count);

}  // namespace fybootp::tools
