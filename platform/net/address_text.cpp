#include "platform/net/address_text.h"

#include <arpa/inet.h>

#include <cstdio>

namespace fybootp::net {

std::uint32_t InetAddr(std::string_view text) {
    // inet_addr needs a NUL-terminated string; text from a client may not be.
    const std::string copy(text);
    return inet_addr(copy.c_str());
}

std::size_t InetNtoa(std::uint32_t networkOrder, char* out) {
    const auto* b = reinterpret_cast<const unsigned char*>(&networkOrder);
    const int n = std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return static_cast<std::size_t>(n);
}

std::string InetNtoa(std::uint32_t networkOrder) {
    char text[16];
    const std::size_t n = InetNtoa(networkOrder, text);
    return std::string(text, n);
}

}  // namespace fybootp::net
