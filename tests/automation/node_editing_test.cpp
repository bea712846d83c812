// AddBootpInfo and DeleteBootpInfo: the table changes at once, and the
// file's node table follows it.

#include "automation/node_editing.h"

#include <gtest/gtest.h>

#include "document/info_file.h"
#include "document/limits.h"
#include "document/startup_load.h"
#include "document/text_forms.h"
#include "tests/automation/operations_test_support.h"

namespace fybootp {
namespace {

using testing::Ip;
using testing::IpArgument;
using testing::kDeclaration;
using testing::Mac;
using testing::ReadInfoFile;
using testing::Row;
using testing::TableText;
using testing::WriteInfoFile;

using Rows = std::vector<std::string>;

std::string NodeXml(std::string_view ip, std::string_view mac) {
    return "<Node><IpAddr>" + std::string(ip) + "</IpAddr><MacAddr>" + std::string(mac) +
           "</MacAddr></Node>";
}

const std::string kHostInfo = "<HostInfo><Override>1</Override><Name>host1</Name></HostInfo>";

// A table holding the address 0A1B2C3D4E5F in its first and its last row.
class NodeEditing : public testing::InfoFileTest {
protected:
    NodeEditing() {
        m_server.m_nodes.Replace({Row("192.0.2.10", "0A1B2C3D4E5F"),
                                  Row("192.0.2.11", "1A0000000002"),
                                  Row("192.0.2.12", "0A1B2C3D4E5F")});
    }
    void Add(std::string_view mac, const char* ip) {
        EXPECT_EQ(AddBootpInfo(m_server, mac, IpArgument(ip)), S_OK) << mac;
    }
    // The file's content when it holds exactly the current table.
    std::string StoredTable() const {
        std::string nodes;
        for (const std::string& row : TableText(m_server)) {
            const std::size_t slash = row.find('/');
            nodes += NodeXml(row.substr(0, slash), row.substr(slash + 1));
        }
        return std::string(kDeclaration) + "<FyBootpInfo><Nodes>" + nodes +
               "</Nodes></FyBootpInfo>\n";
    }

    FyBootpServer m_server;
};

TEST_F(NodeEditing, AddOfAKnownAddressChangesOnlyItsFirstRowInPlace) {
    Add("0A1B2C3D4E5F", "192.0.2.50");
    const Rows expected{"192.0.2.50/0A1B2C3D4E5F", "192.0.2.11/1A0000000002",
                        "192.0.2.12/0A1B2C3D4E5F"};
    EXPECT_EQ(TableText(m_server), expected);
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("0A1B2C3D4E5F"))->ipAddr, testing::Ip("192.0.2.50"));
    EXPECT_EQ(*ReadInfoFile(), StoredTable());
}

TEST_F(NodeEditing, AddOfANewAddressAppendsItAndTheNextStartSortsItIn) {
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(TableText(m_server).back(), "198.51.100.1/000000000001");
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("000000000001"))->ipAddr, testing::Ip("198.51.100.1"));
    EXPECT_EQ(*ReadInfoFile(), StoredTable());

    FyBootpServer restarted;
    const testing::FakeHostInfoSource host = testing::DetectableHost();
    EXPECT_EQ(LoadInfoDocument(restarted, LibxmlDocumentFactory(), host), 4u);
    EXPECT_EQ(TableText(restarted).front(), "198.51.100.1/000000000001");
}

TEST_F(NodeEditing, AddressDigitsAreReadInEitherCaseAndWrittenInUpperCase) {
    Add("1a0000000002", "192.0.2.60");
    Add("0a1B2c3D4e5F", "192.0.2.61");
    const Rows expected{"192.0.2.61/0A1B2C3D4E5F", "192.0.2.60/1A0000000002",
                        "192.0.2.12/0A1B2C3D4E5F"};
    EXPECT_EQ(TableText(m_server), expected);
    EXPECT_EQ(*ReadInfoFile(), StoredTable());
}

TEST_F(NodeEditing, CharactersAfterTheTwelfthAreIgnored) {
    Add("0A1B2C3D4E5FXYZ", "192.0.2.70");
    EXPECT_EQ(m_server.m_nodes.Size(), 3u);
    EXPECT_EQ(m_server.m_nodes[0].ipAddr, testing::Ip("192.0.2.70"));
    EXPECT_EQ(DeleteBootpInfo(m_server, "1a0000000002 and more"), S_OK);
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("1A0000000002")), nullptr);
}

// Not an address: separators, 11 digits, a non-digit among the 12, nothing.
const char* const kNotAddresses[] = {"0A-1B-2C-3D-4E-5F", "0A1B2C3D4E5", "0A1B2C3D4E5G", "",
                                     " 0A1B2C3D4E5F"};

TEST_F(NodeEditing, AddOfTextThatIsNoAddressChangesNoRowButRewritesTheFile) {
    const Rows before = TableText(m_server);
    for (const char* text : kNotAddresses) {
        WriteInfoFile("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.99", "FFFFFFFFFFFF") +
                      "</Nodes></FyBootpInfo>");
        Add(text, "192.0.2.80");
        EXPECT_EQ(TableText(m_server), before) << text;
        EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Nodes>" + NodeXml("192.0.2.10", "0A1B2C3D4E5F") +
                                       NodeXml("192.0.2.11", "1A0000000002") +
                                       NodeXml("192.0.2.12", "0A1B2C3D4E5F") +
                                       "</Nodes></FyBootpInfo>\n")
            << text;
    }
}

TEST_F(NodeEditing, AddressArgumentIsInNetworkOrderAndStoredAsItComes) {
    m_server.m_nodes.Clear();
    // 192.0.2.10 with its first number in the lowest byte.
    EXPECT_EQ(AddBootpInfo(m_server, "000000000001", 0x0A0200C0), S_OK);
    EXPECT_EQ(AddBootpInfo(m_server, "000000000002", -1), S_OK);
    EXPECT_EQ(AddBootpInfo(m_server, "000000000003", 0), S_OK);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" +
                                   NodeXml("192.0.2.10", "000000000001") +
                                   NodeXml("255.255.255.255", "000000000002") +
                                   NodeXml("0.0.0.0", "000000000003") + "</Nodes></FyBootpInfo>\n");
}

TEST_F(NodeEditing, AddLeavesTheNewAddressListAndItsCounter) {
    m_server.m_newMacs.AppendIfNew(Mac("024B77000001"));
    m_server.m_newMacCnt = 3;
    Add("024B77000001", "192.0.2.90");
    EXPECT_TRUE(m_server.m_newMacs.Contains(Mac("024B77000001")));
    EXPECT_EQ(m_server.m_newMacCnt, 3);
}

TEST_F(NodeEditing, NewAddressBeyondWhatAFileCanHoldIsRefusedWithNothingChanged) {
    // Past this many rows the file written would not load at the next start,
    // which would then come up with no table at all.
    std::vector<BootpNode> rows(kMaxStoredRows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].macAddr = {0x00,
                           0x00,
                           0x5E,
                           static_cast<std::uint8_t>(i >> 16),
                           static_cast<std::uint8_t>(i >> 8),
                           static_cast<std::uint8_t>(i)};
    }
    m_server.m_nodes.Replace(rows);
    EXPECT_EQ(AddBootpInfo(m_server, "024B77000001", IpArgument("192.0.2.90")),
              HresultFromWin32(223));
    EXPECT_EQ(m_server.m_nodes.Size(), kMaxStoredRows);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(NodeEditing, AddOfAListedAddressInAFullTableChangesItsRowInPlace) {
    std::vector<BootpNode> rows(kMaxStoredRows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].macAddr = {0x00, 0x00, 0x5E, static_cast<std::uint8_t>(i >> 16),
                           static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
    }
    m_server.m_nodes.Replace(rows);
    const std::size_t middle = kMaxStoredRows / 2;
    const std::string mac = HexText(rows[middle].macAddr);
    EXPECT_EQ(AddBootpInfo(m_server, mac, IpArgument("192.0.2.90")), S_OK);
    ASSERT_EQ(m_server.m_nodes.Size(), kMaxStoredRows);
    EXPECT_EQ(m_server.m_nodes.Rows()[middle].ipAddr, Ip("192.0.2.90"));
    EXPECT_EQ(m_server.m_nodes.Rows()[middle].macAddr, rows[middle].macAddr);
    EXPECT_NE(ReadInfoFile()->find(NodeXml("192.0.2.90", mac)), std::string::npos);
}

TEST_F(NodeEditing, ChangesWaitForTheResponderLock) {
    EXPECT_TRUE(testing::WaitsForTheLock(m_server, [&] { Add("024B77000001", "192.0.2.91"); }));
    EXPECT_TRUE(testing::WaitsForTheLock(
        m_server, [&] { EXPECT_EQ(DeleteBootpInfo(m_server, "024B77000001"), S_OK); }));
    EXPECT_EQ(m_server.m_nodes.Size(), 3u);
}

// What an add or delete leaves in FyBootpInfo.xml.
TEST_F(NodeEditing, AbsentFileIsCreatedWithTheDeclarationTheRootAndTheTable) {
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(*ReadInfoFile(), StoredTable());
}

TEST_F(NodeEditing, MalformedFileIsReplacedByOneHoldingOnlyTheTable) {
    WriteInfoFile("<FyBootpInfo>" + kHostInfo + "<Nodes>");
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(*ReadInfoFile(), StoredTable());
}

TEST_F(NodeEditing, FileWithAnotherRootIsSavedUnchanged) {
    const std::string file =
        "<Other><Nodes>" + NodeXml("192.0.2.99", "FFFFFFFFFFFF") + "</Nodes></Other>\n";
    WriteInfoFile(file);
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(*ReadInfoFile(), file);
    EXPECT_EQ(DeleteBootpInfo(m_server, "000000000001"), S_OK);
    EXPECT_EQ(*ReadInfoFile(), file);
}

// A file that holds only HostInfo (as a put of HostInfoXml leaves it) gets
// Nodes, so that the edit survives a restart.
TEST_F(NodeEditing, FileWithoutNodesGetsTheTableAndKeepsTheRest) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "</FyBootpInfo>\n");
    m_server.m_nodes.Clear();
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "<Nodes>" +
                                   NodeXml("198.51.100.1", "000000000001") +
                                   "</Nodes></FyBootpInfo>\n");
    EXPECT_EQ(DeleteBootpInfo(m_server, "000000000001"), S_OK);
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo +
                                   "<Nodes/></FyBootpInfo>\n");
}

// The example: a file its owner may write but not read. The server
// runs as that owner here (root reads whatever the mode bits say). Every
// change used to replace the file, and the replacement kept mode 0200, so
// every later start came up with an empty table.
TEST_F(NodeEditing, FileThatCannotBeReadIsNeitherReplacedNorLost) {
    const std::string stored = std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo +
                               "<Nodes>" + NodeXml("192.0.2.99", "FFFFFFFFFFFF") +
                               "</Nodes></FyBootpInfo>\n";
    WriteInfoFile(stored);
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(kInfoFileName, kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(kInfoFileName, 0200), 0);
    ASSERT_EQ(::chmod(".", 0777), 0);
    const int code = testing::RunInChild([&] {
        if (::setresgid(kNobody, kNobody, kNobody) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0) {
            return testing::kSkipped;
        }
        if (AddBootpInfo(m_server, "000000000001", IpArgument("198.51.100.1")) != E_ACCESSDENIED) {
            return 1;
        }
        if (DeleteBootpInfo(m_server, "1A0000000002") != E_ACCESSDENIED) return 2;
        return 0;
    });
    if (code == testing::kSkipped) GTEST_SKIP() << "cannot run as another user";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(*ReadInfoFile(), stored);
    EXPECT_EQ(testing::DirectoryEntries("."), std::vector<std::string>{kInfoFileName});
}

TEST_F(NodeEditing, NodesBeforeHostInfoMovesToTheEnd) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo><Nodes/>" + kHostInfo +
                  "</FyBootpInfo>");
    m_server.m_nodes.Clear();
    Add("000000000001", "198.51.100.1");
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "<Nodes>" +
                                   NodeXml("198.51.100.1", "000000000001") +
                                   "</Nodes></FyBootpInfo>\n");
}

TEST_F(NodeEditing, WithoutADocumentTheTableChangesAndTheFileIsLeft) {
    WriteInfoFile("<FyBootpInfo><Nodes/></FyBootpInfo>");
    EXPECT_EQ(AddBootpInfo(m_server, "000000000001", 1, testing::NoDocumentFactory()), S_OK);
    EXPECT_EQ(DeleteBootpInfo(m_server, "1A0000000002", testing::NoDocumentFactory()), S_OK);
    EXPECT_EQ(TableText(m_server),
              (Rows{"192.0.2.10/0A1B2C3D4E5F", "192.0.2.12/0A1B2C3D4E5F", "1.0.0.0/000000000001"}));
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Nodes/></FyBootpInfo>");
}

TEST_F(NodeEditing, FailedRewriteIsReportedAndTheTableChangeStands) {
    // One document to load the absent file into, none for the new file.
    testing::LimitedDocumentFactory oneDocument(1);
    EXPECT_EQ(AddBootpInfo(m_server, "000000000001", 1, oneDocument), E_POINTER);
    EXPECT_NE(m_server.m_nodes.FindFirst(Mac("000000000001")), nullptr);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(NodeEditing, DeleteRemovesTheFirstRowOfTheAddressOnly) {
    EXPECT_EQ(DeleteBootpInfo(m_server, "0a1b2c3d4e5f"), S_OK);
    EXPECT_EQ(TableText(m_server), (Rows{"192.0.2.11/1A0000000002", "192.0.2.12/0A1B2C3D4E5F"}));
    // The second row now answers for the address.
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("0A1B2C3D4E5F"))->ipAddr, testing::Ip("192.0.2.12"));
    EXPECT_EQ(*ReadInfoFile(), StoredTable());
    EXPECT_EQ(DeleteBootpInfo(m_server, "0A1B2C3D4E5F"), S_OK);
    EXPECT_EQ(TableText(m_server), Rows{"192.0.2.11/1A0000000002"});
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("0A1B2C3D4E5F")), nullptr);
}

TEST_F(NodeEditing, DeleteOfTheLastRowsLeavesOneNodeFewerThenAnEmptyNodes) {
    EXPECT_EQ(DeleteBootpInfo(m_server, "0A1B2C3D4E5F"), S_OK);
    EXPECT_EQ(DeleteBootpInfo(m_server, "0A1B2C3D4E5F"), S_OK);  // the last row
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" +
                                   NodeXml("192.0.2.11", "1A0000000002") +
                                   "</Nodes></FyBootpInfo>\n");
    EXPECT_EQ(DeleteBootpInfo(m_server, "1A0000000002"), S_OK);  // the only row
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo><Nodes/></FyBootpInfo>\n");
}

// A file that any rewrite would change: spacing that is not kept, a
// declaration it would not write, and one that does not even load.
TEST_F(NodeEditing, DeleteOfAbsentAddressLeavesFileByteForByte) {
    for (const std::string& file :
         {std::string("<?xml version='1.0'?>\n<FyBootpInfo >\n  <Nodes/>\n</FyBootpInfo>\n"),
          std::string("<FyBootpInfo><Nodes>")}) {
        WriteInfoFile(file);
        EXPECT_EQ(DeleteBootpInfo(m_server, "000000000001"), S_FALSE);
        EXPECT_EQ(*ReadInfoFile(), file);
    }
    EXPECT_EQ(m_server.m_nodes.Size(), 3u);
}

TEST_F(NodeEditing, DeleteOfAbsentAddressCreatesNoFile) {
    EXPECT_EQ(DeleteBootpInfo(m_server, "000000000001"), S_FALSE);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(NodeEditing, DeleteOfTextThatIsNoAddressTouchesNothing) {
    WriteInfoFile("<FyBootpInfo><Nodes>");
    for (const char* text : kNotAddresses) {
        EXPECT_EQ(DeleteBootpInfo(m_server, text), S_FALSE) << text;
    }
    EXPECT_EQ(m_server.m_nodes.Size(), 3u);
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Nodes>");
}

}  // namespace
}  // namespace fybootp
