// DetectHostInfo: the identity taken from the machine when the file fixes
// none. Fed with tables here; the last fixture reads a real network
// namespace that the test builds.

#include <gtest/gtest.h>

#include "document/startup_load.h"
#include "platform/net/address_text.h"
#include "tests/document/document_test_support.h"
#include "tests/support/netns.h"

namespace fybootp {
namespace {

using testing::Ip;

class HostDetection : public ::testing::Test {
protected:
    FyBootpServer m_server;
    testing::FakeHostInfoSource m_source = testing::DetectableHost();
};

TEST_F(HostDetection, TakesTheFirstAddressRowAndTheFirstRoutesNextHop) {
    m_server.m_override = 1;
    DetectHostInfo(m_server, m_source);
    EXPECT_EQ(m_server.HostName(), "detected-host");
    EXPECT_EQ(m_server.m_ipAddr, Ip("198.51.100.7"));
    EXPECT_EQ(m_server.m_subnetMask, Ip("255.255.255.0"));
    EXPECT_EQ(m_server.m_defaultGateway, Ip("198.51.100.1"));
    EXPECT_EQ(m_server.m_override, 0);
}

TEST_F(HostDetection, UnreadableTablesLeaveTheirValuesAndTheOverrideFlag) {
    m_server.m_ipAddr = Ip("192.0.2.1");
    m_server.m_subnetMask = Ip("255.255.255.0");
    m_server.m_defaultGateway = Ip("192.0.2.254");
    m_server.m_override = 1;
    m_source.addressError = EACCES;
    m_source.routeError = ENOBUFS;
    DetectHostInfo(m_server, m_source);
    EXPECT_EQ(m_server.HostName(), "detected-host");
    EXPECT_EQ(m_server.m_ipAddr, Ip("192.0.2.1"));
    EXPECT_EQ(m_server.m_subnetMask, Ip("255.255.255.0"));
    EXPECT_EQ(m_server.m_defaultGateway, Ip("192.0.2.254"));
    EXPECT_EQ(m_server.m_override, 1);
}

TEST_F(HostDetection, EmptyTablesLeaveTheirValues) {
    m_server.m_ipAddr = Ip("192.0.2.1");
    m_server.m_defaultGateway = Ip("192.0.2.254");
    m_source.addresses.clear();
    m_source.routes.clear();
    DetectHostInfo(m_server, m_source);
    EXPECT_EQ(m_server.m_ipAddr, Ip("192.0.2.1"));
    EXPECT_EQ(m_server.m_defaultGateway, Ip("192.0.2.254"));
}

TEST_F(HostDetection, HostNameThatCannotBeHadLeavesTheNameEmpty) {
    m_server.SetHostName("old");
    m_source.hostName.clear();
    DetectHostInfo(m_server, m_source);
    EXPECT_EQ(m_server.HostName(), "");
}

TEST_F(HostDetection, LongHostNameIsCutTo99Bytes) {
    m_source.hostName = std::string(120, 'h');
    DetectHostInfo(m_server, m_source);
    EXPECT_EQ(m_server.HostName(), std::string(99, 'h'));
}

// The real tables of a namespace made for the test: one veth end with an
// address, the other end in a second namespace.
class HostDetectionInNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        m_lab = testing::NetnsLab::Create("doc-detect", &whyNot);
        if (!m_lab) GTEST_SKIP() << whyNot;
        ASSERT_FALSE(m_lab->Add("server").empty());
        ASSERT_FALSE(m_lab->Add("peer").empty());
    }

    // DetectHostInfo run on this thread inside the server namespace.
    void Detect(FyBootpServer& server) {
        testing::NetnsLab::Inside inside(*m_lab, "server");
        ASSERT_TRUE(inside.Entered());
        DetectHostInfo(server, SystemHostInfoSource());
    }

    std::unique_ptr<testing::NetnsLab> m_lab;
};

TEST_F(HostDetectionInNamespace, VethAddressAndDefaultRouteAreDetected) {
    ASSERT_TRUE(m_lab->Link("server", "veth0", "192.0.2.1/24", "peer", "veth1", "192.0.2.254/24"));
    ASSERT_TRUE(m_lab->Ip("server", "route add default via 192.0.2.254"));
    FyBootpServer server;
    server.m_override = 1;
    Detect(server);
    EXPECT_EQ(net::InetNtoa(server.m_ipAddr), "192.0.2.1");
    EXPECT_EQ(net::InetNtoa(server.m_subnetMask), "255.255.255.0");
    EXPECT_EQ(net::InetNtoa(server.m_defaultGateway), "192.0.2.254");
    EXPECT_EQ(server.m_override, 0);
    EXPECT_FALSE(server.HostName().empty());
}

TEST_F(HostDetectionInNamespace, WithoutDefaultRouteTheLowestDestinationsNextHopIsTaken) {
    ASSERT_TRUE(
        m_lab->Link("server", "veth0", "198.51.100.1/24", "peer", "veth1", "198.51.100.254/24"));
    // 192.0.2.0/24 sorts before the connected 198.51.100.0/24.
    ASSERT_TRUE(m_lab->Ip("server", "route add 192.0.2.0/24 via 198.51.100.254"));
    FyBootpServer server;
    Detect(server);
    EXPECT_EQ(net::InetNtoa(server.m_ipAddr), "198.51.100.1");
    EXPECT_EQ(net::InetNtoa(server.m_defaultGateway), "198.51.100.254");
}

}  // namespace
}  // namespace fybootp
