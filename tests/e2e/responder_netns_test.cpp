// The responder on real sockets, inside network namespaces made by the test:
// a server namespace and a client namespace joined by a veth pair.

#include <dirent.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <cstring>

#include "core/fy_bootp_server.h"
#include "core/reply_batch.h"
#include "tests/e2e/udp_client.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/netns.h"

namespace fybootp {
namespace {

using testing::Addr;
using testing::MakeRequest;
using testing::NetnsLab;
using testing::ReceivedDatagram;
using testing::UdpClient;

const MacAddress kListed = {0x00, 0x00, 0x5E, 0x00, 0x53, 0x10};
const MacAddress kUnknownMaker = {0x02, 0x4B, 0x77, 0x00, 0x00, 0x01};
const MacAddress kOtherMaker = {0x00, 0x00, 0x5E, 0x00, 0x53, 0x99};
constexpr int kReplyWaitMs = 3000;

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

std::uint32_t Xid(const std::vector<std::uint8_t>& m) {
    return std::uint32_t{m[4]} << 24 | std::uint32_t{m[5]} << 16 | std::uint32_t{m[6]} << 8 | m[7];
}

class ResponderInNamespaces : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        lab = NetnsLab::Create("rsp", &whyNot);
        if (!lab) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(lab->AddServerAndDevice("192.0.2.1/24", "192.0.2.2/24"));
        server = std::make_unique<FyBootpServer>();
        server->m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}});
        server->SetHostName("srv");
        server->m_ipAddr = Addr(192, 0, 2, 1);
        server->m_subnetMask = Addr(255, 255, 255, 0);
        server->m_defaultGateway = Addr(192, 0, 2, 254);
    }

    void TearDown() override { server.reset(); }

    void SetStarted(std::int32_t value) {
        NetnsLab::Inside inside(*lab, "srv");
        ASSERT_TRUE(inside.Entered());
        ASSERT_EQ(server->put_Started(value), S_OK);
    }

    std::int32_t Started() {
        std::int32_t value = -1;
        server->get_Started(&value);
        return value;
    }

    std::unique_ptr<UdpClient> Client(const std::string& role = "cli") {
        NetnsLab::Inside inside(*lab, role);
        EXPECT_TRUE(inside.Entered());
        auto client = std::make_unique<UdpClient>();
        EXPECT_TRUE(client->Ok());
        return client;
    }

    // The next datagram must be the reply to xid.
    void ExpectReply(UdpClient& client, std::uint32_t xid, std::uint8_t yiaddrLast) {
        const std::optional<ReceivedDatagram> reply = client.Receive(kReplyWaitMs);
        ASSERT_TRUE(reply.has_value()) << "no reply for xid " << xid;
        EXPECT_EQ(reply->sourcePort, 67);
        ASSERT_EQ(reply->bytes.size(), 300u);
        EXPECT_EQ(reply->bytes[0], 2);
        EXPECT_EQ(Xid(reply->bytes), xid);
        EXPECT_EQ(reply->bytes[19], yiaddrLast);
    }

    std::unique_ptr<NetnsLab> lab;
    std::unique_ptr<FyBootpServer> server;
};

TEST_F(ResponderInNamespaces, ListedNodeAskingThreeTimesGetsThreeBroadcastReplies) {
    SetStarted(1);
    auto client = Client();
    for (std::uint32_t xid = 1; xid <= 3; ++xid) {
        ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, xid)));
        ExpectReply(*client, xid, 10);
    }
    std::int32_t logCount = 0;
    server->get_LogChangeCnt(&logCount);
    EXPECT_EQ(logCount, 3);
}

TEST_F(ResponderInNamespaces, IgnoredDatagramsDoNotStopTheResponder) {
    SetStarted(1);
    auto client = Client();
    auto shorter = MakeRequest(kListed, 10);
    shorter.resize(299);
    auto longer = MakeRequest(kListed, 11);
    longer.resize(301);
    auto huge = MakeRequest(kListed, 12);
    huge.resize(600);
    auto reply = MakeRequest(kListed, 13);
    reply[0] = 2;
    for (const auto& d : {std::vector<std::uint8_t>{}, shorter, longer, huge, reply}) {
        ASSERT_TRUE(client->SendBroadcast(d));
    }
    // Unknown ones: recorded once, or ignored, but never answered.
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kUnknownMaker, 14)));
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kOtherMaker, 15)));

    // The first reply that comes back must be the one to this request.
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 99)));
    ExpectReply(*client, 99, 10);
    EXPECT_EQ(Started(), 1);

    std::lock_guard lock(server->m_lock);
    EXPECT_EQ(server->m_logChangeCnt, 2);
    EXPECT_EQ(server->m_newMacCnt, 1);
}

TEST_F(ResponderInNamespaces, DisableResponseSilencesListedNodes) {
    SetStarted(1);
    server->put_DisableResponse(1);
    auto client = Client();
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 1)));
    // Requests are handled in order: once the unknown address behind it is
    // recorded, the first request has been handled too.
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kUnknownMaker, 2)));
    for (int i = 0; i < 300; ++i) {
        std::int32_t recorded = 0;
        server->get_NewMacCnt(&recorded);
        if (recorded == 1) break;
        usleep(10000);
    }
    server->put_DisableResponse(0);
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 3)));
    ExpectReply(*client, 3, 10);  // and not the reply to the first
    std::int32_t logCount = 0;
    server->get_LogChangeCnt(&logCount);
    EXPECT_EQ(logCount, 2);  // the unknown address and the last reply
}

TEST_F(ResponderInNamespaces, TwoRowsForOneAddressAnswerWithTheFirst) {
    server->m_nodes.Replace({{Addr(192, 0, 2, 20), kListed}, {Addr(192, 0, 2, 21), kListed}});
    SetStarted(1);
    auto client = Client();
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 7)));
    ExpectReply(*client, 7, 20);
}

TEST_F(ResponderInNamespaces, StartWhileRunningOpensNothingMore) {
    SetStarted(1);
    const std::size_t before = OpenDescriptors();
    SetStarted(1);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(Started(), 1);
    auto client = Client();
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 8)));
    ExpectReply(*client, 8, 10);
    EXPECT_FALSE(client->Receive(200).has_value());  // one socket, one reply
}

TEST_F(ResponderInNamespaces, PortTakenLeavesStartedZeroAndNothingOpen) {
    NetnsLab::Inside inside(*lab, "srv");
    ASSERT_TRUE(inside.Entered());
    UdpClient holder(67);
    ASSERT_TRUE(holder.Ok());
    const std::size_t before = OpenDescriptors();
    EXPECT_EQ(server->put_Started(1), S_OK);
    EXPECT_EQ(Started(), 0);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ResponderInNamespaces, StopClosesThePortAndStartOpensItAgain) {
    SetStarted(1);
    SetStarted(0);
    EXPECT_EQ(Started(), 0);
    {
        NetnsLab::Inside inside(*lab, "srv");
        UdpClient probe(67);  // the port is free again
        EXPECT_TRUE(probe.Ok());
    }
    SetStarted(1);
    EXPECT_EQ(Started(), 1);
    auto client = Client();
    ASSERT_TRUE(client->SendBroadcast(MakeRequest(kListed, 5)));
    ExpectReply(*client, 5, 10);
}

// A server with an office card carrying the default route and an
// automation card without one: the reply must leave through the automation
// card, where the request came in, or the device never sees it.
TEST(ResponderWithTwoCards, ReplyLeavesThroughTheInterfaceOfTheRequest) {
    std::string whyNot;
    auto lab = NetnsLab::Create("two", &whyNot);
    if (!lab) GTEST_SKIP() << whyNot;
    ASSERT_FALSE(lab->Add("srv").empty());
    ASSERT_FALSE(lab->Add("cli").empty());
    ASSERT_FALSE(lab->Add("office").empty());
    ASSERT_TRUE(
        lab->Link("srv", "office0", "198.51.100.1/24", "office", "off0", "198.51.100.2/24"));
    ASSERT_TRUE(lab->Link("srv", "auto0", "192.0.2.1/24", "cli", "cli0", "192.0.2.2/24"));
    ASSERT_TRUE(lab->Ip("srv", "route add default via 198.51.100.2 dev office0"));
    ASSERT_TRUE(lab->Sh("srv", "sysctl -qw net.ipv4.conf.all.rp_filter=0"));
    for (const char* dev : {"office0", "auto0"}) {
        ASSERT_TRUE(lab->Ip("srv", std::string("neigh replace 255.255.255.255 lladdr "
                                               "ff:ff:ff:ff:ff:ff nud permanent dev ") +
                                       dev));
    }
    ASSERT_TRUE(lab->PrepareBroadcast("cli", "cli0"));
    ASSERT_TRUE(lab->PrepareBroadcast("office", "off0"));

    FyBootpServer server;
    server.m_nodes.Replace({{Addr(192, 0, 2, 10), kListed}});
    {
        NetnsLab::Inside inside(*lab, "srv");
        ASSERT_TRUE(inside.Entered());
        server.put_Started(1);
    }
    std::unique_ptr<UdpClient> device, office;
    {
        NetnsLab::Inside inside(*lab, "cli");
        device = std::make_unique<UdpClient>();
    }
    {
        NetnsLab::Inside inside(*lab, "office");
        office = std::make_unique<UdpClient>();
    }
    ASSERT_TRUE(device->SendBroadcast(MakeRequest(kListed, 42)));
    const auto reply = device->Receive(kReplyWaitMs);
    ASSERT_TRUE(reply.has_value()) << "the reply left through the office card";
    EXPECT_EQ(Xid(reply->bytes), 42u);
    EXPECT_FALSE(office->Receive(200).has_value());
}

// A batch of replies handed to the real socket in one go: replies of one
// size and interface leave as one segmented send, and still arrive as
// separate datagrams, in order, each the size it was.
void ExpectBatchArrivesInOrder(const NetnsLab& lab, UdpClient& client, int rounds) {
    NetnsLab::Inside inside(lab, "srv");
    ASSERT_TRUE(inside.Entered());
    net::OpenResult opened = net::OpenBroadcastServerSocket(67);
    ASSERT_NE(opened.socket, nullptr) << opened.error;
    const int srv0 = static_cast<int>(if_nametoindex("srv0"));
    ASSERT_GT(srv0, 0);
    const std::size_t sizes[] = {300, 300, 300, 300, 299, 300, 300};
    const int interfaces[] = {srv0, srv0, srv0, srv0, srv0, 0, 0};
    std::vector<std::vector<std::uint8_t>> replies;
    std::vector<net::OutboundDatagram> batch;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        replies.push_back(std::vector<std::uint8_t>(sizes[i], static_cast<std::uint8_t>(i)));
    }
    for (std::size_t i = 0; i < replies.size(); ++i) batch.push_back({replies[i], interfaces[i]});
    for (int round = 0; round < rounds; ++round) {
        EXPECT_EQ(SendAll(*opened.socket, batch), 0u) << "round " << round;
        for (std::size_t i = 0; i < replies.size(); ++i) {
            const std::optional<ReceivedDatagram> got = client.Receive(kReplyWaitMs);
            ASSERT_TRUE(got.has_value()) << "round " << round << ", datagram " << i;
            EXPECT_EQ(got->sourcePort, 67);
            EXPECT_EQ(got->bytes, replies[i]) << "round " << round << ", datagram " << i;
        }
        EXPECT_FALSE(client.Receive(200).has_value());
    }
}

TEST_F(ResponderInNamespaces, BatchOfRepliesArrivesAsSeparateDatagramsInOrder) {
    auto client = Client();
    ExpectBatchArrivesInOrder(*lab, *client, 1);
}

// On a link whose MTU is below a reply's IP size the kernel refuses the
// segmented send (EINVAL) while a plain send still goes out fragmented:
// the socket falls back, and both the refused batch and later ones arrive.
TEST_F(ResponderInNamespaces, RefusedSegmentedSendFallsBackWithoutLosingReplies) {
    ASSERT_TRUE(lab->Ip("srv", "link set srv0 mtu 300"));
    auto client = Client();
    ExpectBatchArrivesInOrder(*lab, *client, 2);
}

}  // namespace
}  // namespace fybootp
