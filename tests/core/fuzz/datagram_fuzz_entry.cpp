#include "tests/core/fuzz/datagram_fuzz_entry.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "core/bootp_message.h"
#include "core/fy_bootp_server.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/fake_responder_platform.h"

namespace fybootp::fuzz {
namespace {

using bootp::kMessageSize;

// Small limits, so that fuzzing reaches the full log and the full list
// within a few hundred inputs rather than never.
constexpr std::size_t kLogLimit = 64;
constexpr std::size_t kNewMacLimit = 16;
// A full new-address list is emptied after so many inputs, as an operator
// collecting it would, so that both a full list and recording stay reachable.
constexpr std::size_t kInputsWhileFull = 256;

// The server's identity, as the bytes every reply must carry.
constexpr std::array<std::uint8_t, 4> kServerAddress = {192, 0, 2, 1};
constexpr std::array<std::uint8_t, 4> kSubnetMask = {255, 255, 255, 0};
constexpr std::array<std::uint8_t, 4> kRouter = {192, 0, 2, 254};
// Longer than the 63 bytes of text that sname holds, so every reply shows the cut.
constexpr std::string_view kHostName =
    "fuzz-host-with-a-name-longer-than-the-sixty-three-bytes-that-sname-can-hold";
static_assert(kHostName.size() > bootp::kSnameSize);

constexpr MacAddress kListed = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr MacAddress kListedMaker = {0x02, 0x4B, 0x77, 0x00, 0x00, 0x01};
constexpr MacAddress kAllZero = {0, 0, 0, 0, 0, 0};
constexpr MacAddress kAllOnes = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Ipv4Address ToAddress(const std::array<std::uint8_t, 4>& b) {
    return testing::Addr(b[0], b[1], b[2], b[3]);
}

// Rows in table order: an address listed twice (its first row answers), a
// listed address with the maker's prefix (answered, never recorded), and
// the all-zero and all-ones addresses that a zeroed or filled chaddr hits.
std::vector<BootpNode> InitialRows() {
    return {
        {testing::Addr(192, 0, 2, 10), kListed},    {testing::Addr(192, 0, 2, 11), kListedMaker},
        {testing::Addr(192, 0, 2, 12), kListed},    {testing::Addr(198, 51, 100, 7), kAllZero},
        {testing::Addr(198, 51, 100, 8), kAllOnes},
    };
}
// Appended after the others, as an added row is: a second duplicate.
const BootpNode kAppendedRow = {testing::Addr(198, 51, 100, 9), kListedMaker};

bool HasMakerPrefix(const MacAddress& mac) {
    return mac[0] == 0x02 && mac[1] == 0x4B && mac[2] == 0x77;
}

std::string MacText(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

MacAddress ChaddrOf(std::span<const std::uint8_t> request) {
    MacAddress mac;
    std::copy_n(request.begin() + bootp::kChaddrOffset, mac.size(), mac.begin());
    return mac;
}

// The field a reply byte belongs to, for the report.
std::string_view FieldAt(std::size_t offset) {
    struct Field {
        std::size_t end;
        std::string_view name;
    };
    constexpr Field kFields[] = {
        {1, "op"},      {2, "htype"},   {3, "hlen"},    {4, "hops"},    {8, "xid"},
        {10, "secs"},   {12, "unused"}, {16, "ciaddr"}, {20, "yiaddr"}, {24, "siaddr"},
        {28, "giaddr"}, {44, "chaddr"}, {108, "sname"}, {236, "file"},  {300, "vend"},
    };
    for (const Field& field : kFields) {
        if (offset < field.end) return field.name;
    }
    return "past the end";
}

// The reply a listed node's request must get, written out field by field
// from the request, the row and the server's identity. Whatever is not
// written stays zero: hops, the field after secs, ciaddr, giaddr, the rest
// of sname, file, and the vendor area after the end option.
bootp::Message ExpectedReply(std::span<const std::uint8_t> request, const BootpNode& row) {
    bootp::Message out{};
    out[0] = 2;  // BOOTREPLY
    out[1] = 1;  // Ethernet
    out[2] = 6;
    std::copy_n(request.begin() + 4, 4, out.begin() + 4);  // xid
    std::copy_n(request.begin() + 8, 2, out.begin() + 8);  // secs
    std::memcpy(out.data() + 16, &row.ipAddr, 4);          // yiaddr, already in wire order
    std::copy(kServerAddress.begin(), kServerAddress.end(), out.begin() + 20);
    std::copy_n(request.begin() + 28, 16, out.begin() + 28);  // chaddr, all 16 bytes
    std::copy_n(kHostName.begin(), 63, out.begin() + 44);     // byte 63 of sname stays NUL
    constexpr std::array<std::uint8_t, 4> kCookie = {99, 130, 83, 99};
    std::copy(kCookie.begin(), kCookie.end(), out.begin() + 236);
    out[240] = 1;  // subnet mask
    out[241] = 4;
    std::copy(kSubnetMask.begin(), kSubnetMask.end(), out.begin() + 242);
    out[246] = 3;  // router
    out[247] = 4;
    std::copy(kRouter.begin(), kRouter.end(), out.begin() + 248);
    out[252] = 255;  // end
    return out;
}

std::string CompareReply(const bootp::Message& got, const bootp::Message& expected) {
    const auto [g, e] = std::mismatch(got.begin(), got.end(), expected.begin());
    if (g == got.end()) return {};
    const auto offset = static_cast<std::size_t>(g - got.begin());
    return "reply byte " + std::to_string(offset) + " (" + std::string(FieldAt(offset)) + ") is " +
           std::to_string(*g) + ", expected " + std::to_string(*e);
}

class CollectedReplies final : public ReplySink {
public:
    void Send(const bootp::Message& reply) override { m_replies.push_back(reply); }
    const std::vector<bootp::Message>& Replies() const { return m_replies; }

private:
    std::vector<bootp::Message> m_replies;
};

// What handling a datagram must do, worked out from the state before it
// with plain scans, independently of the table's index and the list's set.
struct Prediction {
    const BootpNode* answeredRow = nullptr;  // the row whose address the reply carries
    bool recorded = false;                   // the address joins the new-address list
};

Prediction Predict(const FyBootpServer& server, std::span<const std::uint8_t> datagram) {
    // Only a 300-byte BOOTREQUEST is handled; htype and hlen are not looked at.
    if (datagram.size() != kMessageSize || datagram[0] != 1) return {};
    const MacAddress mac = ChaddrOf(datagram);
    const auto& rows = server.m_nodes.Rows();
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const BootpNode& node) { return node.macAddr == mac; });
    if (row != rows.end()) {
        // Listed: answered unless replies are suppressed, recorded never.
        return {server.m_disableResponse == 0 ? &*row : nullptr, false};
    }
    const auto& records = server.m_newMacs.Records();
    const bool known = std::any_of(records.begin(), records.end(),
                                   [&](const NewMacRecord& r) { return r.macAddr == mac; });
    return {nullptr, HasMakerPrefix(mac) && !known && records.size() < kNewMacLimit};
}

struct Snapshot {
    std::size_t logsAppended;  // every entry ever appended: those kept and those dropped
    std::size_t newMacs;
    std::int32_t logChangeCnt;
    std::int32_t newMacCnt;
};

Snapshot Take(const FyBootpServer& server) {
    return {server.m_logs.Size() + server.m_logs.Dropped(), server.m_newMacs.Size(),
            server.m_logChangeCnt, server.m_newMacCnt};
}

// How far a counter moved; counters wrap, so the difference is taken modulo 2^32.
std::uint32_t Moved(std::int32_t before, std::int32_t after) {
    return static_cast<std::uint32_t>(after) - static_cast<std::uint32_t>(before);
}

class Harness {
public:
    Harness() : m_platform(std::make_shared<testing::FakeResponderPlatform>()) {
        std::lock_guard lock(m_server.m_lock);
        m_server.m_nodes.Replace(InitialRows());
        m_server.m_nodes.Append(kAppendedRow);
        m_rows = m_server.m_nodes.Rows();
        m_server.SetHostName(kHostName);
        m_server.m_ipAddr = ToAddress(kServerAddress);
        m_server.m_subnetMask = ToAddress(kSubnetMask);
        m_server.m_defaultGateway = ToAddress(kRouter);
    }

    std::string Run(std::span<const std::uint8_t> input) {
        {
            std::lock_guard lock(m_server.m_lock);
            if (m_server.m_newMacs.Size() < kNewMacLimit) {
                m_inputsWhileFull = 0;
            } else if (++m_inputsWhileFull > kInputsWhileFull) {
                m_server.m_newMacs.Clear();
                m_inputsWhileFull = 0;
            }
        }
        if (std::string problem = HandleOne(input); !problem.empty()) return problem;
        if (input.size() != kMessageSize) return {};
        // Again as a BOOTREQUEST: for an input that already was one, this is
        // a repeated request, which must be answered again and recorded once.
        bootp::Message request;
        std::copy(input.begin(), input.end(), request.begin());
        request[0] = 1;
        if (std::string problem = HandleOne(request); !problem.empty()) {
            return "as a BOOTREQUEST: " + problem;
        }
        return {};
    }

private:
    std::string HandleOne(std::span<const std::uint8_t> datagram) {
        // The byte after secs, which the server never reads, decides whether
        // replies are suppressed, so both settings meet the same datagrams.
        const std::int32_t disable = datagram.size() > 10 ? (datagram[10] & 1) : 0;
        (void)m_server.put_DisableResponse(disable);

        std::lock_guard lock(m_server.m_lock);
        const Prediction prediction = Predict(m_server, datagram);
        const Snapshot before = Take(m_server);
        CollectedReplies replies;
        m_server.HandleDatagram(datagram, replies);
        const Snapshot after = Take(m_server);

        if (std::string problem = CheckReplies(datagram, prediction, replies); !problem.empty()) {
            return problem;
        }
        if (std::string problem = CheckChanges(datagram, prediction, before, after);
            !problem.empty()) {
            return problem;
        }
        return CheckState();
    }

    std::string CheckReplies(std::span<const std::uint8_t> datagram, const Prediction& prediction,
                             const CollectedReplies& replies) const {
        const std::size_t expected = prediction.answeredRow != nullptr ? 1 : 0;
        if (replies.Replies().size() != expected) {
            return std::to_string(replies.Replies().size()) + " replies to a datagram of " +
                   std::to_string(datagram.size()) + " bytes that needs " +
                   std::to_string(expected);
        }
        if (expected == 0) return {};
        return CompareReply(replies.Replies().front(),
                            ExpectedReply(datagram, *prediction.answeredRow));
    }

    // Every change to the lists is counted once, and nothing else moves.
    std::string CheckChanges(std::span<const std::uint8_t> datagram, const Prediction& prediction,
                             const Snapshot& before, const Snapshot& after) const {
        const std::size_t recorded = prediction.recorded ? 1 : 0;
        const std::size_t logged = recorded + (prediction.answeredRow != nullptr ? 1 : 0);
        if (after.newMacs - before.newMacs != recorded) {
            return "the new-address list went from " + std::to_string(before.newMacs) + " to " +
                   std::to_string(after.newMacs) + ", expected " + std::to_string(recorded) +
                   " more";
        }
        if (after.logsAppended - before.logsAppended != logged) {
            return std::to_string(after.logsAppended - before.logsAppended) +
                   " log entries appended, expected " + std::to_string(logged);
        }
        if (Moved(before.newMacCnt, after.newMacCnt) != recorded) {
            return "NewMacCnt moved by " +
                   std::to_string(Moved(before.newMacCnt, after.newMacCnt)) + " for " +
                   std::to_string(recorded) + " recorded";
        }
        if (Moved(before.logChangeCnt, after.logChangeCnt) != logged) {
            return "LogChangeCnt moved by " +
                   std::to_string(Moved(before.logChangeCnt, after.logChangeCnt)) + " for " +
                   std::to_string(logged) + " log entries";
        }
        if (logged == 0) return {};
        const MacAddress mac = ChaddrOf(datagram);
        if (recorded != 0 && m_server.m_newMacs.Records().back().macAddr != mac) {
            return "the recorded address is not " + MacText(mac);
        }
        const LogEntry& entry = m_server.m_logs.Records().back();
        if (entry.macAddr != mac) return "the log entry is not for " + MacText(mac);
        const LogMessage expected =
            recorded != 0 ? LogMessage::kUnknownMaker : LogMessage::kAddressAssigned;
        if (entry.message != expected) return "the log entry carries the wrong message";
        if (recorded == 0 && entry.ipAddr != prediction.answeredRow->ipAddr) {
            return "the log entry names another address than the reply";
        }
        return {};
    }

    // What holds after every datagram, whatever it was.
    std::string CheckState() const {
        if (m_server.m_logs.Size() > kLogLimit) {
            return "the log holds " + std::to_string(m_server.m_logs.Size()) + " entries";
        }
        const auto& records = m_server.m_newMacs.Records();
        if (records.size() > kNewMacLimit) {
            return "the new-address list holds " + std::to_string(records.size()) + " addresses";
        }
        for (auto it = records.begin(); it != records.end(); ++it) {
            const MacAddress& mac = it->macAddr;
            if (!HasMakerPrefix(mac)) return "the new-address list holds " + MacText(mac);
            const bool listed =
                std::any_of(m_rows.begin(), m_rows.end(),
                            [&](const BootpNode& row) { return row.macAddr == mac; });
            if (listed) return "the new-address list holds the listed " + MacText(mac);
            const bool repeated = std::any_of(
                records.begin(), it, [&](const NewMacRecord& r) { return r.macAddr == mac; });
            if (repeated) return "the new-address list holds " + MacText(mac) + " twice";
        }
        const auto& rows = m_server.m_nodes.Rows();
        const bool sameTable = std::equal(rows.begin(), rows.end(), m_rows.begin(), m_rows.end(),
                                          [](const BootpNode& a, const BootpNode& b) {
                                              return a.ipAddr == b.ipAddr && a.macAddr == b.macAddr;
                                          });
        if (!sameTable) return "handling a datagram changed the node table";
        return {};
    }

    std::shared_ptr<testing::FakeResponderPlatform> m_platform;
    FyBootpServer m_server{ServerConfig{m_platform, nullptr, kLogLimit, kNewMacLimit}};
    std::vector<BootpNode> m_rows;      // the table as built, to compare against
    std::size_t m_inputsWhileFull = 0;  // inputs since the new-address list filled
};

}  // namespace

std::string RunDatagramInput(const std::uint8_t* data, std::size_t size) {
    // Built on first use and kept: the lists carry over from input to input.
    static Harness harness;
    return harness.Run(std::span<const std::uint8_t>(data, size));
}

}  // namespace fybootp::fuzz
