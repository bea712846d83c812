#include "platform/net/netlink_tables.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace fybootp::net {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Messages and attributes start on four-byte boundaries of the datagram, but
// nothing promises that the datagram itself suits our structs' alignment, so
// every read below is a memcpy from an offset checked against the length.
constexpr std::size_t kMessageHeaderLength = NLMSG_ALIGN(sizeof(nlmsghdr));
constexpr std::size_t kAttributeHeaderLength = RTA_ALIGN(sizeof(rtattr));
constexpr std::uint16_t kAttributeTypeMask =
    static_cast<std::uint16_t>(~(NLA_F_NESTED | NLA_F_NET_BYTEORDER));

// Bounds for a reader fed garbage; a full Internet route table is a few
// thousand datagrams of at most 32 KiB each.
constexpr int kMaxDatagrams = 1 << 20;
constexpr std::size_t kMaxDatagramSize = std::size_t{1} << 20;
constexpr int kMaxReceiveRetries = 64;
// The kernel flags a dump that raced with a change; tables change rarely,
// so a few fresh reads settle it.
constexpr int kDumpAttempts = 3;
// The kernel always answers a dump; the timeout only keeps a caller from
// hanging forever should it not.
constexpr int kReceiveTimeoutSeconds = 5;

template <typename T>
bool ReadAt(Bytes bytes, std::size_t offset, T& out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

// An attribute of a fixed-size type; any other size means a malformed message.
template <typename T>
int ReadValue(Bytes value, T& out) {
    if (value.size() != sizeof(T)) return EPROTO;
    std::memcpy(&out, value.data(), sizeof(T));
    return 0;
}

// The attributes that follow a message's fixed header T.
template <typename T>
Bytes AttributesAfter(Bytes payload) {
    constexpr std::size_t start = NLMSG_ALIGN(sizeof(T));
    return start < payload.size() ? payload.subspan(start) : Bytes{};
}

// Hands each attribute's type and value to visit, which returns 0 to go on or
// an errno value to stop. Every step advances at least one header, so the
// loop ends; a tail shorter than a header is padding, as RTA_OK treats it.
template <typename Visit>
int ForEachAttribute(Bytes bytes, Visit&& visit) {
    std::size_t offset = 0;
    rtattr header{};
    while (ReadAt(bytes, offset, header)) {
        if (header.rta_len < kAttributeHeaderLength || header.rta_len > bytes.size() - offset) {
            return EPROTO;
        }
        const int error = visit(static_cast<std::uint16_t>(header.rta_type & kAttributeTypeMask),
                                bytes.subspan(offset + kAttributeHeaderLength,
                                              header.rta_len - kAttributeHeaderLength));
        if (error != 0) return error;
        offset += RTA_ALIGN(header.rta_len);
    }
    return 0;
}

// Netlink carries errors as negated errno values.
int ErrnoFromStatus(int status) { return status < 0 && status > -4096 ? -status : EPROTO; }

using Visitor = std::function<int(std::uint16_t type, Bytes payload)>;

// One NETLINK_ROUTE socket for one table read; a fresh socket per read means
// no answer to an earlier, abandoned request can still be queued on it.
class RouteSocket {
public:
    RouteSocket() = default;
    ~RouteSocket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;

    int Open() {
        m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (m_fd < 0) return errno;
        const timeval timeout{kReceiveTimeoutSeconds, 0};
        if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
            return errno;
        }
        // Bound explicitly so that the kernel's port id is known before the
        // first answer, whose nlmsg_pid must match it.
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) < 0) {
            return errno;
        }
        socklen_t length = sizeof(local);
        if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) < 0) return errno;
        m_portId = local.nl_pid;
        return 0;
    }

    // Asks for a dump with the given request body and hands every message of
    // the answer to visit. EINTR means the kernel flagged the dump as
    // interrupted by a concurrent change (NLM_F_DUMP_INTR): the rows may be
    // inconsistent and the read should be repeated.
    template <typename Body>
    int Dump(std::uint16_t type, const Body& body, const Visitor& visit) {
        std::array<std::uint8_t, kMessageHeaderLength + NLMSG_ALIGN(sizeof(Body))> request{};
        nlmsghdr header{};
        header.nlmsg_len = static_cast<std::uint32_t>(request.size());
        header.nlmsg_type = type;
        header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        header.nlmsg_seq = ++m_sequence;
        header.nlmsg_pid = m_portId;
        std::memcpy(request.data(), &header, sizeof(header));
        std::memcpy(request.data() + kMessageHeaderLength, &body, sizeof(body));

        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(m_fd, request.data(), request.size(), 0,
                     reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) < 0) {
            return errno;
        }
        return ReceiveDump(header.nlmsg_seq, visit);
    }

private:
    int ReceiveDump(std::uint32_t sequence, const Visitor& visit) {
        bool interrupted = false;
        for (int datagrams = 0; datagrams < kMaxDatagrams; ++datagrams) {
            std::size_t length = 0;
            if (const int error = ReceiveDatagram(length); error != 0) return error;
            const Bytes datagram(m_buffer.data(), length);
            std::size_t offset = 0;
            nlmsghdr header{};
            while (ReadAt(datagram, offset, header)) {
                if (header.nlmsg_len < kMessageHeaderLength ||
                    header.nlmsg_len > datagram.size() - offset) {
                    return EPROTO;
                }
                const Bytes payload = datagram.subspan(offset + kMessageHeaderLength,
                                                       header.nlmsg_len - kMessageHeaderLength);
                offset += NLMSG_ALIGN(header.nlmsg_len);
                if (header.nlmsg_seq != sequence || header.nlmsg_pid != m_portId) continue;
                if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;

                int status = 0;
                switch (header.nlmsg_type) {
                    case NLMSG_NOOP:
                        break;
                    case NLMSG_DONE:
                        // The kernel appends the dump's own result; an
                        // empty payload is taken as success.
                        if (ReadAt(payload, 0, status) && status < 0) {
                            return ErrnoFromStatus(status);
                        }
                        return interrupted ? EINTR : 0;
                    case NLMSG_ERROR:
                        // nlmsgerr starts with the status; 0 is a bare
                        // acknowledgement.
                        if (!ReadAt(payload, 0, status)) return EPROTO;
                        if (status != 0) return ErrnoFromStatus(status);
                        break;
                    case NLMSG_OVERRUN:
                        return ENOBUFS;
                    default:
                        if (const int error = visit(header.nlmsg_type, payload); error != 0) {
                            return error;
                        }
                        break;
                }
            }
        }
        return EOVERFLOW;
    }

    // Receives the next datagram from the kernel into m_buffer.
    int ReceiveDatagram(std::size_t& length) {
        for (int attempt = 0; attempt < kMaxReceiveRetries; ++attempt) {
            // Peeking with MSG_TRUNC reports the datagram's full size, so the
            // buffer grows to fit instead of the message being cut short.
            const ssize_t size = ::recv(m_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
            if (size < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            const auto needed = static_cast<std::size_t>(size);
            if (needed > kMaxDatagramSize) return EMSGSIZE;
            if (m_buffer.size() < needed) m_buffer.resize(needed);

            sockaddr_nl from{};
            iovec iov{m_buffer.data(), m_buffer.size()};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof(from);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            const ssize_t received = ::recvmsg(m_fd, &msg, 0);
            if (received < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if ((msg.msg_flags & MSG_TRUNC) != 0) return EMSGSIZE;
            // Only the kernel (port 0) answers dumps; a privileged process
            // could send to our port, and its datagrams are not ours to read.
            if (from.nl_pid != 0) continue;
            length = static_cast<std::size_t>(received);
            return 0;
        }
        return EAGAIN;
    }

    int m_fd = -1;
    std::uint32_t m_portId = 0;
    std::uint32_t m_sequence = 0;
    std::vector<std::uint8_t> m_buffer = std::vector<std::uint8_t>(32 * 1024);
};

// Reads a table with readOnce until a dump comes back uninterrupted.
template <typename Row, typename ReadOnce>
int ReadConsistent(std::vector<Row>& out, ReadOnce readOnce) {
    out.clear();
    for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
        std::vector<Row> rows;
        const int error = readOnce(rows);
        if (error == 0) {
            out = std::move(rows);
            return 0;
        }
        if (error != EINTR) return error;
    }
    return EAGAIN;
}

struct LinkState {
    bool up = false;
    bool loopback = false;
};
using LinkStates = std::map<int, LinkState>;

int ParseLink(Bytes payload, LinkStates& links) {
    ifinfomsg info;
    if (!ReadAt(payload, 0, info)) return EPROTO;
    links[info.ifi_index] = {(info.ifi_flags & IFF_UP) != 0, (info.ifi_flags & IFF_LOOPBACK) != 0};
    return 0;
}

std::uint32_t MaskFromPrefix(unsigned prefixLength) {
    // A shift by the full width is undefined, hence /0 on its own.
    return prefixLength == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - prefixLength));
}

int ParseAddress(Bytes payload, const LinkStates& links, std::vector<AddressRow>& rows) {
    ifaddrmsg header;
    if (!ReadAt(payload, 0, header)) return EPROTO;
    if (header.ifa_family != AF_INET) return 0;
    if (header.ifa_prefixlen > 32) return EPROTO;
    // IFA_ADDRESS is the peer on point-to-point links; IFA_LOCAL is always
    // ours, and the kernel sends it for every IPv4 address.
    std::uint32_t local = 0;
    std::uint32_t address = 0;
    bool hasLocal = false;
    bool hasAddress = false;
    const int error =
        ForEachAttribute(AttributesAfter<ifaddrmsg>(payload), [&](std::uint16_t type, Bytes value) {
            if (type == IFA_LOCAL) {
                hasLocal = true;
                return ReadValue(value, local);
            }
            if (type == IFA_ADDRESS) {
                hasAddress = true;
                return ReadValue(value, address);
            }
            return 0;
        });
    if (error != 0) return error;
    const int index = static_cast<int>(header.ifa_index);
    const auto link = links.find(index);
    // An interface that appeared between the two dumps counts as down.
    if (link == links.end() || !link->second.up || !(hasLocal || hasAddress)) return 0;
    AddressRow row;
    row.address = hasLocal ? local : address;
    row.mask = MaskFromPrefix(header.ifa_prefixlen);
    row.interfaceIndex = index;
    row.loopback = link->second.loopback;
    rows.push_back(row);
    return 0;
}

int ReadAddressTableOnce(std::vector<AddressRow>& rows) {
    RouteSocket socket;
    if (const int error = socket.Open(); error != 0) return error;
    // Addresses carry no interface flags, so the links come first.
    LinkStates links;
    ifinfomsg linkRequest{};
    linkRequest.ifi_family = AF_UNSPEC;
    const int error = socket.Dump(RTM_GETLINK, linkRequest, [&](std::uint16_t type, Bytes payload) {
        return type == RTM_NEWLINK ? ParseLink(payload, links) : 0;
    });
    if (error != 0) return error;
    ifaddrmsg addressRequest{};
    addressRequest.ifa_family = AF_INET;
    return socket.Dump(RTM_GETADDR, addressRequest, [&](std::uint16_t type, Bytes payload) {
        return type == RTM_NEWADDR ? ParseAddress(payload, links, rows) : 0;
    });
}

// The first hop of a multipath route stands for the route, as a single next
// hop is all a row can hold.
int ReadFirstHop(Bytes value, std::uint32_t& gateway, int& interfaceIndex) {
    rtnexthop hop;
    if (!ReadAt(value, 0, hop) || hop.rtnh_len < sizeof(hop) || hop.rtnh_len > value.size()) {
        return EPROTO;
    }
    interfaceIndex = hop.rtnh_ifindex;
    static_assert(sizeof(rtnexthop) % RTNH_ALIGNTO == 0, "attributes follow the hop directly");
    return ForEachAttribute(value.subspan(sizeof(hop), hop.rtnh_len - sizeof(hop)),
                            [&](std::uint16_t type, Bytes attribute) {
                                return type == RTA_GATEWAY ? ReadValue(attribute, gateway) : 0;
                            });
}

int ParseRoute(Bytes payload, std::vector<RouteRow>& rows) {
    rtmsg header;
    if (!ReadAt(payload, 0, header)) return EPROTO;
    // Cached clones are per-destination copies, not routes anyone added.
    if (header.rtm_family != AF_INET || header.rtm_type != RTN_UNICAST ||
        (header.rtm_flags & RTM_F_CLONED) != 0) {
        return 0;
    }
    if (header.rtm_dst_len > 32) return EPROTO;
    // rtm_table holds only eight bits; RTA_TABLE has the full id.
    std::uint32_t table = header.rtm_table;
    std::uint32_t gateway = 0;
    std::uint32_t preferredSource = 0;
    RouteRow row;
    row.prefixLength = header.rtm_dst_len;
    const int error = ForEachAttribute(
        AttributesAfter<rtmsg>(payload), [&](std::uint16_t type, Bytes value) -> int {
            switch (type) {
                case RTA_TABLE:
                    return ReadValue(value, table);
                case RTA_DST:
                    return ReadValue(value, row.destination);
                case RTA_GATEWAY:
                    return ReadValue(value, gateway);
                case RTA_PREFSRC:
                    return ReadValue(value, preferredSource);
                case RTA_OIF:
                    return ReadValue(value, row.interfaceIndex);
                case RTA_PRIORITY:
                    return ReadValue(value, row.metric);
                case RTA_MULTIPATH:
                    return ReadFirstHop(value, gateway, row.interfaceIndex);
                default:
                    return 0;
            }
        });
    if (error != 0) return error;
    if (table != RT_TABLE_MAIN) return 0;
    row.nextHop = gateway != 0 ? gateway : preferredSource;
    rows.push_back(row);
    return 0;
}

int ReadRouteTableOnce(std::vector<RouteRow>& rows) {
    RouteSocket socket;
    if (const int error = socket.Open(); error != 0) return error;
    // Without strict checking the kernel dumps every table whatever the
    // request says, so the filtering happens in ParseRoute.
    rtmsg request{};
    request.rtm_family = AF_INET;
    return socket.Dump(RTM_GETROUTE, request, [&](std::uint16_t type, Bytes payload) {
        return type == RTM_NEWROUTE ? ParseRoute(payload, rows) : 0;
    });
}

}  // namespace

int ReadAddressTable(std::vector<AddressRow>& out) {
    if (const int error = ReadConsistent(out, ReadAddressTableOnce); error != 0) return error;
    std::stable_sort(out.begin(), out.end(), [](const AddressRow& a, const AddressRow& b) {
        return a.interfaceIndex < b.interfaceIndex;
    });
    // Callers take the first row as the machine's address; loopback is
    // only the answer when there is nothing else.
    std::stable_partition(out.begin(), out.end(),
                          [](const AddressRow& row) { return !row.loopback; });
    return 0;
}

int ReadRouteTable(std::vector<RouteRow>& out) {
    if (const int error = ReadConsistent(out, ReadRouteTableOnce); error != 0) return error;
    std::stable_sort(out.begin(), out.end(), [](const RouteRow& a, const RouteRow& b) {
        const auto key = [](const RouteRow& row) {
            return std::make_tuple(ntohl(row.destination), row.prefixLength, row.metric);
        };
        return key(a) < key(b);
    });
    return 0;
}

std::string LocalHostName() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (::gethostname(name.data(), name.size()) != 0) return {};
    // POSIX leaves the termination of a cut name unspecified.
    name.back() = '\0';
    return std::string(name.data());
}

}  // namespace fybootp::net
