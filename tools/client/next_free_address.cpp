#include "tools/client/next_free_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>

#include "tools/client/address_args.h"

namespace fybootp::tools {
namespace {

// The interface keeps addresses in network byte order; arithmetic over a
// subnet wants them as numbers.
std::optional<std::uint32_t> HostOrder(const std::string& dotted) {
    std::string why;
    const std::optional<std::int32_t> ipAddr = ParseIpv4(dotted, &why);
    if (!ipAddr) return std::nullopt;
    return ntohl(static_cast<std::uint32_t>(*ipAddr));
}

std::string Dotted(std::uint32_t address) {
    return Ipv4Text(static_cast<std::int32_t>(htonl(address)));
}

bool IsContiguousMask(std::uint32_t mask) { return std::countl_one(mask) + std::countr_zero(mask) == 32; }

}  // namespace

FreeAddresses NextFreeAddresses(const HostIdentity& host, const std::vector<NodeRow>& nodes,
                                std::size_t count) {
    FreeAddresses found;
    const std::optional<std::uint32_t> server = HostOrder(host.ipAddr);
    const std::optional<std::uint32_t> mask = HostOrder(host.subnetMask);
    if (!server || *server == 0) {
        found.shortfall = "the server has no IPv4 address";
        return found;
    }
    if (!mask || *mask == 0 || !IsContiguousMask(*mask)) {
        found.shortfall = "the server has no usable subnet mask";
        return found;
    }
    const std::uint32_t network = *server & *mask;
    const std::uint32_t broadcast = network | ~*mask;

    std::vector<std::uint32_t> taken;
    taken.reserve(nodes.size() + 2);
    taken.push_back(*server);
    if (const std::optional<std::uint32_t> router = HostOrder(host.defaultGateway)) {
        taken.push_back(*router);
    }
    for (const NodeRow& node : nodes) {
        if (const std::optional<std::uint32_t> address = HostOrder(node.ipAddr)) {
            taken.push_back(*address);
        }
    }
    std::sort(taken.begin(), taken.end());

    // Walk the subnet and the sorted taken list side by side: each step
    // either passes a taken address or yields a free one, so a full /8 with
    // a large table costs the table's size, not the subnet's.
    auto next = std::lower_bound(taken.begin(), taken.end(), network + 1);
    for (std::uint64_t candidate = std::uint64_t{network} + 1;
         candidate < broadcast && found.addresses.size() < count; ++candidate) {
        while (next != taken.end() && *next < candidate) ++next;
        if (next != taken.end() && *next == candidate) continue;
        found.addresses.push_back(Dotted(static_cast<std::uint32_t>(candidate)));
    }
    if (found.addresses.size() < count) {
        found.shortfall = "no address is left in " + Dotted(network) + "/" +
                          std::to_string(std::countl_one(*mask));
    }
    return found;
}

}  // namespace fybootp::tools
