// The file's HostInfo follows the override flag.

#include "document/host_info_store.h"

#include <gtest/gtest.h>

#include "document/node_table_exchange.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using testing::ReadInfoFile;
using testing::WriteInfoFile;

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const std::string kStoredHost =
    "<HostInfo><Override>1</Override><Name>host1</Name><IpAddr>192.0.2.1</IpAddr>"
    "<SubnetMask>255.255.255.0</SubnetMask><DefaultGateway>192.0.2.254</DefaultGateway></HostInfo>";
const std::string kRow = "<Node><IpAddr>192.0.2.10</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>";

class HostInfoStore : public testing::InfoFileTest {
protected:
    HostInfoStore() {
        m_server.SetHostName("host1");
        m_server.m_ipAddr = testing::Ip("192.0.2.1");
        m_server.m_subnetMask = testing::Ip("255.255.255.0");
        m_server.m_defaultGateway = testing::Ip("192.0.2.254");
        m_server.m_override = 1;
        m_server.m_nodes.Replace({testing::Row("192.0.2.10", "001A2B3C4D5E")});
    }
    FyBootpServer m_server;
};

TEST_F(HostInfoStore, OverrideOnReplacesTheFirstHostInfoAndAppendsItLast) {
    WriteInfoFile(std::string(kDeclaration) +
                  "<FyBootpInfo><HostInfo><Name>old</Name></HostInfo><Nodes>" + kRow +
                  "</Nodes></FyBootpInfo>");
    StoreHostInfo(m_server);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" + kRow +
                                   "</Nodes>" + kStoredHost + "</FyBootpInfo>\n");
}

TEST_F(HostInfoStore, OverrideOffRemovesHostInfo) {
    WriteInfoFile("<FyBootpInfo>" + kStoredHost + "<Nodes>" + kRow + "</Nodes></FyBootpInfo>");
    m_server.m_override = 0;
    StoreHostInfo(m_server);
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Nodes>" + kRow + "</Nodes></FyBootpInfo>\n");
}

TEST_F(HostInfoStore, AnotherRootIsSavedUnchanged) {
    WriteInfoFile("<Other/>");
    StoreHostInfo(m_server);
    EXPECT_EQ(*ReadInfoFile(), "<Other/>\n");
}

// The new file carries the table too, so that later table changes, which
// leave a file without Nodes unchanged, are stored.
TEST_F(HostInfoStore, AbsentFileIsCreatedWithTheTableAndHostInfo) {
    StoreHostInfo(m_server);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" + kRow +
                                   "</Nodes>" + kStoredHost + "</FyBootpInfo>\n");
    EXPECT_EQ(put_BootpInfosXml(m_server, "<FyBootpInfo><Nodes/></FyBootpInfo>"), S_OK);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kStoredHost +
                                   "<Nodes/></FyBootpInfo>\n");
}

TEST_F(HostInfoStore, MalformedFileIsReplacedWithoutHostInfoWhenOverrideIsOff) {
    WriteInfoFile("<FyBootpInfo><HostInfo>");
    m_server.m_override = 0;
    StoreHostInfo(m_server);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" + kRow +
                                   "</Nodes></FyBootpInfo>\n");
}

TEST_F(HostInfoStore, WithoutADocumentTheFileIsLeft) {
    StoreHostInfo(m_server, testing::NoDocumentFactory());
    EXPECT_FALSE(testing::InfoFileExists());
}

}  // namespace
}  // namespace fybootp
