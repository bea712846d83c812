#pragma once
// A node table as the interface's text: `count` rows from `first` on, row i
// with MAC 02:4B:77:00:00:i and address 192.0.2.i.

#include <cstdint>
#include <cstdio>
#include <string>

namespace fybootp::testing {

inline std::string TableWith(std::uint8_t first, std::uint8_t count) {
    std::string text = "<FyBootpInfo><Nodes>";
    for (unsigned i = first; i < first + count; ++i) {
        char node[96];
        std::snprintf(node, sizeof node,
                      "<Node><IpAddr>192.0.2.%u</IpAddr><MacAddr>024B770000%02X</MacAddr></Node>",
                      i, i);
        text += node;
    }
    return text + "</Nodes></FyBootpInfo>";
}

}  // namespace fybootp::testing
