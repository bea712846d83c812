// The suggested address for a new device, as `next`, `assign --next` and the
// web page see it.
#include <gtest/gtest.h>

#include "tools/client/next_free_address.h"

namespace fybootp::tools {
namespace {

HostIdentity Host(const char* ip, const char* mask, const char* router) {
    HostIdentity host;
    host.ipAddr = ip;
    host.subnetMask = mask;
    host.defaultGateway = router;
    return host;
}

std::vector<NodeRow> Nodes(std::initializer_list<const char*> addresses) {
    std::vector<NodeRow> rows;
    for (const char* address : addresses) rows.push_back({address, "024B77000001"});
    return rows;
}

TEST(NextFreeAddress, SkipsTheTableTheServerTheRouterAndTheSubnetEnds) {
    struct Case {
        const char* name;
        HostIdentity host;
        std::vector<NodeRow> nodes;
        std::size_t count;
        std::vector<std::string> expected;
        std::string shortfall;
    };
    const Case cases[] = {
        {"server and router at the bottom", Host("192.0.2.1", "255.255.255.0", "192.0.2.2"),
         Nodes({"192.0.2.3", "192.0.2.5"}), 3, {"192.0.2.4", "192.0.2.6", "192.0.2.7"}, ""},
        {"server in the middle, unsorted table, a node outside the subnet",
         Host("10.1.2.200", "255.255.0.0", "10.1.0.1"), Nodes({"10.1.0.3", "10.9.0.2", "10.1.0.2"}),
         2, {"10.1.0.4", "10.1.0.5"}, ""},
        {"never the broadcast address", Host("192.0.2.1", "255.255.255.252", "0.0.0.0"), {}, 3,
         {"192.0.2.2"}, "no address is left in 192.0.2.0/30"},
        {"a full subnet", Host("192.0.2.1", "255.255.255.252", "192.0.2.2"), {}, 1, {},
         "no address is left in 192.0.2.0/30"},
        {"/31 and /32 have no host addresses", Host("192.0.2.1", "255.255.255.254", ""), {}, 1, {},
         "no address is left in 192.0.2.0/31"},
        {"a whole /8 goes by the table's size", Host("10.0.0.1", "255.0.0.0", ""), {}, 1,
         {"10.0.0.2"}, ""},
        {"no mask", Host("192.0.2.1", "", ""), {}, 1, {}, "the server has no usable subnet mask"},
        {"a mask with holes", Host("192.0.2.1", "255.0.255.0", ""), {}, 1, {},
         "the server has no usable subnet mask"},
        {"no address", Host("0.0.0.0", "255.255.255.0", ""), {}, 1, {},
         "the server has no IPv4 address"},
    };
    for (const Case& c : cases) {
        const FreeAddresses found = NextFreeAddresses(c.host, c.nodes, c.count);
        EXPECT_EQ(found.addresses, c.expected) << c.name;
        EXPECT_EQ(found.shortfall, c.shortfall) << c.name;
    }
}

TEST(NextFreeAddress, AFullLargeSubnetIsFoundExhaustedWithoutWalkingPastTheTable) {
    std::vector<NodeRow> nodes;
    for (int i = 2; i < 4095; ++i) {
        nodes.push_back({"10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), "X"});
    }
    const FreeAddresses found =
        NextFreeAddresses(Host("10.0.0.1", "255.255.240.0", ""), nodes, 2);
    EXPECT_EQ(found.addresses, std::vector<std::string>{});
    EXPECT_EQ(found.shortfall, "no address is left in 10.0.0.0/20");
}

}  // namespace
}  // namespace fybootp::tools
