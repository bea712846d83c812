// Requests flowing while the run thread changes the table and the host
// identity. Meant for ThreadSanitizer: any unguarded access is a report.
// Each reply must carry one whole identity, never a mix of two.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/fy_bootp_server.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/fake_responder_platform.h"

namespace fybootp {
namespace {

using testing::Addr;
using testing::FakeResponderPlatform;
using testing::MakeRequest;

struct Identity {
    const char* name;
    Ipv4Address ip, mask, gateway;
};
const Identity kAlpha{"alpha", Addr(192, 0, 2, 1), Addr(255, 255, 255, 0), Addr(192, 0, 2, 254)};
const Identity kBravo{"bravo-longer-name", Addr(198, 51, 100, 1), Addr(255, 255, 0, 0),
                      Addr(198, 51, 100, 254)};

Ipv4Address Read(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    Ipv4Address value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

bool Carries(const std::vector<std::uint8_t>& reply, const Identity& id) {
    return Read(reply, 20) == id.ip && Read(reply, 242) == id.mask &&
           Read(reply, 248) == id.gateway &&
           std::strcmp(reinterpret_cast<const char*>(reply.data() + 44), id.name) == 0;
}

TEST(ResponderConcurrency, RequestsDuringTableAndIdentityChangesGiveWholeReplies) {
    auto platform = std::make_shared<FakeResponderPlatform>();
    FyBootpServer server(ServerConfig{platform, nullptr});
    const MacAddress anchor = {0x00, 0x00, 0x5E, 0x00, 0x53, 0x01};
    server.m_nodes.Replace({{Addr(192, 0, 2, 10), anchor}});
    // Requests may be answered before the first change below.
    server.SetHostName(kAlpha.name);
    server.m_ipAddr = kAlpha.ip;
    server.m_subnetMask = kAlpha.mask;
    server.m_defaultGateway = kAlpha.gateway;
    ASSERT_EQ(server.put_Started(1), S_OK);

    std::atomic<bool> done{false};
    std::thread clients([&] {
        // Bounded: a fixed number of requests, the listed one and unknown ones.
        for (std::uint32_t i = 0; i < 20000 && !done; ++i) {
            if (i % 4 == 3) {
                platform->network->Deliver(
                    MakeRequest({0x02, 0x4B, 0x77, 0, static_cast<std::uint8_t>(i >> 8),
                                 static_cast<std::uint8_t>(i)},
                                i));
            } else {
                platform->network->Deliver(MakeRequest(anchor, i));
            }
            if (i % 64 == 0) std::this_thread::yield();
        }
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (std::uint32_t round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        const Identity& id = round % 2 ? kBravo : kAlpha;
        std::lock_guard lock(server.m_lock);
        server.SetHostName(id.name);
        server.m_ipAddr = id.ip;
        server.m_subnetMask = id.mask;
        server.m_defaultGateway = id.gateway;
        std::vector<BootpNode> rows;
        for (std::uint8_t k = 0; k < 50; ++k) rows.push_back({k, {0, 0, 0, 0, round % 7 == 0, k}});
        rows.push_back({Addr(192, 0, 2, 10), anchor});
        server.m_nodes.Replace(std::move(rows));
        server.m_nodes.Append({1, {0, 0, 0, 1, 1, 1}});
        server.m_nodes.Erase(0);
        server.m_newMacs.RemoveListedIn(server.m_nodes);
        if (round % 16 == 0) server.m_logs.Clear();
    }
    done = true;
    clients.join();
    ASSERT_EQ(server.put_Started(0), S_OK);

    const auto sent = platform->network->Sent();
    EXPECT_GT(sent.size(), 0u);
    for (const auto& reply : sent) {
        ASSERT_TRUE(Carries(reply.bytes, kAlpha) || Carries(reply.bytes, kBravo));
        ASSERT_EQ(Read(reply.bytes, 16), Addr(192, 0, 2, 10));
    }
}

}  // namespace
}  // namespace fybootp
