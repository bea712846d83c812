// The address and route tables against a real kernel: each test builds a
// network namespace of its own with `ip`, enters it on the test thread, and
// reads the tables there, so the machine's own interfaces never show up and
// are never touched.

#include "platform/net/netlink_tables.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/net/address_text.h"
#include "tests/support/netns.h"

namespace fybootp::net {
namespace {

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// The test's own namespace, built on the shared test namespaces and entered
// by the test thread (setns is per thread, and gtest runs the test on this
// one) until the test ends. lo starts down.
class TestNamespace {
public:
    // Empty on success, else why no namespace could be had.
    std::string Enter() {
        std::string whyNot;
        m_lab = testing::NetnsLab::Create("nl", &whyNot);
        if (!m_lab) return whyNot;
        if (!m_lab->Ip(kRole, "link set lo down")) return "cannot set lo down";
        m_inside.emplace(*m_lab, kRole);
        if (!m_inside->Entered()) return "cannot enter the namespace";
        return {};
    }

    // `ip -n NAME args...`; records a test failure and returns false when
    // the command fails.
    [[nodiscard]] bool Ip(const std::vector<std::string>& args) const {
        const bool ok = m_lab->Ip(kRole, Join(args));
        if (!ok) ADD_FAILURE() << "`ip " << Join(args) << "` failed";
        return ok;
    }

private:
    static constexpr char kRole[] = "probe";  // the namespace Create makes
    std::unique_ptr<testing::NetnsLab> m_lab;
    std::optional<testing::NetnsLab::Inside> m_inside;  // left before the lab goes
};

std::string Describe(const std::vector<AddressRow>& rows) {
    std::ostringstream text;
    for (const auto& row : rows) {
        text << "\n  " << InetNtoa(row.address) << "/" << InetNtoa(row.mask) << " if "
             << row.interfaceIndex << (row.loopback ? " loopback" : "");
    }
    return text.str();
}

std::string Describe(const std::vector<RouteRow>& rows) {
    std::ostringstream text;
    for (const auto& row : rows) {
        text << "\n  " << InetNtoa(row.destination) << "/" << unsigned{row.prefixLength} << " via "
             << InetNtoa(row.nextHop) << " if " << row.interfaceIndex << " metric " << row.metric;
    }
    return text.str();
}

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string problem = m_namespace.Enter();
        if (!problem.empty()) GTEST_SKIP() << "network namespaces unavailable: " << problem;
    }

    // fyb0 (192.0.2.1/24) and its peer fyb1, both up, and lo up.
    [[nodiscard]] bool AddUpVethPair() const {
        return m_namespace.Ip({"link", "add", "fyb0", "type", "veth", "peer", "name", "fyb1"}) &&
               m_namespace.Ip({"addr", "add", "192.0.2.1/24", "dev", "fyb0"}) &&
               m_namespace.Ip({"link", "set", "lo", "up"}) &&
               m_namespace.Ip({"link", "set", "fyb0", "up"}) &&
               m_namespace.Ip({"link", "set", "fyb1", "up"});
    }

    static int Index(const char* name) { return static_cast<int>(::if_nametoindex(name)); }

    TestNamespace m_namespace;
};

class AddressTableTest : public NamespaceTest {};

TEST_F(AddressTableTest, NothingUpGivesAnEmptyTable) {
    std::vector<AddressRow> rows{AddressRow{}};
    ASSERT_EQ(0, ReadAddressTable(rows));
    EXPECT_TRUE(rows.empty()) << Describe(rows);
}

TEST_F(AddressTableTest, OnlyLoopbackUpGivesExactlyTheLoopbackRow) {
    ASSERT_TRUE(m_namespace.Ip({"link", "set", "lo", "up"}));
    std::vector<AddressRow> rows;
    ASSERT_EQ(0, ReadAddressTable(rows));
    ASSERT_EQ(1u, rows.size()) << Describe(rows);
    EXPECT_EQ("127.0.0.1", InetNtoa(rows[0].address));
    EXPECT_EQ("255.0.0.0", InetNtoa(rows[0].mask));
    EXPECT_TRUE(rows[0].loopback);
    EXPECT_EQ(Index("lo"), rows[0].interfaceIndex);
}

TEST_F(AddressTableTest, RealAddressComesFirstAndLoopbackLast) {
    ASSERT_TRUE(AddUpVethPair());
    // lo has the lowest index, so only the move puts it last.
    ASSERT_LT(Index("lo"), Index("fyb0"));
    std::vector<AddressRow> rows;
    ASSERT_EQ(0, ReadAddressTable(rows));
    ASSERT_EQ(2u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.1", InetNtoa(rows[0].address));
    EXPECT_EQ("255.255.255.0", InetNtoa(rows[0].mask));
    EXPECT_EQ(Index("fyb0"), rows[0].interfaceIndex);
    EXPECT_FALSE(rows[0].loopback);
    EXPECT_EQ("127.0.0.1", InetNtoa(rows[1].address));
    EXPECT_TRUE(rows[1].loopback);
}

TEST_F(AddressTableTest, InterfaceThatIsDownIsNotListed) {
    ASSERT_TRUE(AddUpVethPair());
    ASSERT_TRUE(m_namespace.Ip({"addr", "add", "198.51.100.1/24", "dev", "fyb1"}));
    ASSERT_TRUE(m_namespace.Ip({"link", "set", "fyb1", "down"}));
    std::vector<AddressRow> rows;
    ASSERT_EQ(0, ReadAddressTable(rows));
    ASSERT_EQ(2u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.1", InetNtoa(rows[0].address));
    EXPECT_EQ("127.0.0.1", InetNtoa(rows[1].address));
}

TEST_F(AddressTableTest, RowsFollowInterfaceIndex) {
    ASSERT_TRUE(AddUpVethPair());
    ASSERT_TRUE(m_namespace.Ip({"addr", "add", "198.51.100.1/24", "dev", "fyb1"}));
    std::vector<AddressRow> rows;
    ASSERT_EQ(0, ReadAddressTable(rows));
    ASSERT_EQ(3u, rows.size()) << Describe(rows);
    EXPECT_LT(rows[0].interfaceIndex, rows[1].interfaceIndex) << Describe(rows);
    for (const auto& row : rows) {
        const std::string address = InetNtoa(row.address);
        if (address == "192.0.2.1") {
            EXPECT_EQ(Index("fyb0"), row.interfaceIndex);
        } else if (address == "198.51.100.1") {
            EXPECT_EQ(Index("fyb1"), row.interfaceIndex);
        }
    }
    EXPECT_TRUE(rows[2].loopback);
}

TEST_F(AddressTableTest, PointToPointAddressIsTheLocalEndNotThePeer) {
    ASSERT_TRUE(m_namespace.Ip({"link", "add", "fyb0", "type", "veth", "peer", "name", "fyb1"}));
    ASSERT_TRUE(
        m_namespace.Ip({"addr", "add", "192.0.2.1", "peer", "192.0.2.2/32", "dev", "fyb0"}));
    ASSERT_TRUE(m_namespace.Ip({"link", "set", "fyb0", "up"}));
    std::vector<AddressRow> rows;
    ASSERT_EQ(0, ReadAddressTable(rows));
    ASSERT_EQ(1u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.1", InetNtoa(rows[0].address));
    EXPECT_EQ("255.255.255.255", InetNtoa(rows[0].mask));
}

class RouteTableTest : public NamespaceTest {
protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(AddUpVethPair());
    }
};

TEST_F(RouteTableTest, DefaultRouteComesFirst) {
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.253"}));
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "default", "via", "192.0.2.254"}));
    std::vector<RouteRow> rows;
    ASSERT_EQ(0, ReadRouteTable(rows));
    ASSERT_EQ(3u, rows.size()) << Describe(rows);
    EXPECT_EQ("0.0.0.0", InetNtoa(rows[0].destination));
    EXPECT_EQ(0, rows[0].prefixLength);
    EXPECT_EQ("192.0.2.254", InetNtoa(rows[0].nextHop));
    EXPECT_EQ(Index("fyb0"), rows[0].interfaceIndex);
}

TEST_F(RouteTableTest, ConnectedRouteGivesTheLocalAddressAsNextHop) {
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.253"}));
    std::vector<RouteRow> rows;
    ASSERT_EQ(0, ReadRouteTable(rows));
    ASSERT_EQ(2u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.0", InetNtoa(rows[0].destination));
    EXPECT_EQ(24, rows[0].prefixLength);
    EXPECT_EQ("192.0.2.1", InetNtoa(rows[0].nextHop));
    EXPECT_EQ(Index("fyb0"), rows[0].interfaceIndex);
    EXPECT_EQ("198.51.100.0", InetNtoa(rows[1].destination));
    EXPECT_EQ(24, rows[1].prefixLength);
    EXPECT_EQ("192.0.2.253", InetNtoa(rows[1].nextHop));
    EXPECT_EQ(Index("fyb0"), rows[1].interfaceIndex);
}

TEST_F(RouteTableTest, EqualDestinationsSortByPrefixLengthThenMetric) {
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "198.51.100.0/25", "via", "192.0.2.251"}));
    ASSERT_TRUE(
        m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.253", "metric", "20"}));
    ASSERT_TRUE(
        m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.252", "metric", "10"}));
    std::vector<RouteRow> rows;
    ASSERT_EQ(0, ReadRouteTable(rows));
    ASSERT_EQ(4u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.0", InetNtoa(rows[0].destination));
    EXPECT_EQ("192.0.2.252", InetNtoa(rows[1].nextHop));
    EXPECT_EQ(10u, rows[1].metric);
    EXPECT_EQ("192.0.2.253", InetNtoa(rows[2].nextHop));
    EXPECT_EQ(20u, rows[2].metric);
    EXPECT_EQ(25, rows[3].prefixLength);
    EXPECT_EQ("192.0.2.251", InetNtoa(rows[3].nextHop));
}

TEST_F(RouteTableTest, OtherTablesAndNonUnicastRoutesAreLeftOut) {
    // Table 1000 does not fit rtm_table, so only RTA_TABLE tells it apart.
    ASSERT_TRUE(
        m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.253", "table", "1000"}));
    ASSERT_TRUE(
        m_namespace.Ip({"route", "add", "198.51.100.0/24", "via", "192.0.2.253", "table", "7"}));
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "blackhole", "198.51.100.128/25"}));
    std::vector<RouteRow> rows;
    ASSERT_EQ(0, ReadRouteTable(rows));
    ASSERT_EQ(1u, rows.size()) << Describe(rows);
    EXPECT_EQ("192.0.2.0", InetNtoa(rows[0].destination));
}

TEST_F(RouteTableTest, MultipathRouteGivesItsFirstHop) {
    ASSERT_TRUE(m_namespace.Ip({"route", "add", "198.51.100.0/24", "nexthop", "via", "192.0.2.253",
                                "nexthop", "via", "192.0.2.252"}));
    std::vector<RouteRow> rows;
    ASSERT_EQ(0, ReadRouteTable(rows));
    ASSERT_EQ(2u, rows.size()) << Describe(rows);
    EXPECT_EQ("198.51.100.0", InetNtoa(rows[1].destination));
    EXPECT_EQ("192.0.2.253", InetNtoa(rows[1].nextHop));
    EXPECT_EQ(Index("fyb0"), rows[1].interfaceIndex);
}

TEST(LocalHostNameTest, IsTheKernelsHostName) {
    char expected[256] = {};
    ASSERT_EQ(0, ::gethostname(expected, sizeof(expected) - 1));
    const std::string name = LocalHostName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(std::string(expected), name);
}

}  // namespace
}  // namespace fybootp::net
