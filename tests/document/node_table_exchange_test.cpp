// BootpInfosXml get and put, and the rewrite of the file's node table.

#include "document/node_table_exchange.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "document/info_file.h"
#include "document/startup_load.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using testing::Mac;
using testing::ReadInfoFile;
using testing::TableText;
using testing::WriteInfoFile;

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string NodeXml(std::string_view ip, std::string_view mac) {
    return "<Node><IpAddr>" + std::string(ip) + "</IpAddr><MacAddr>" + std::string(mac) +
           "</MacAddr></Node>";
}

std::string Table(std::initializer_list<std::string> nodes) {
    std::string text = "<FyBootpInfo><Nodes>";
    for (const std::string& node : nodes) text += node;
    return text + "</Nodes></FyBootpInfo>";
}

const std::string kRowA = NodeXml("192.0.2.10", "0A0000000001");
const std::string kRowB = NodeXml("192.0.2.11", "000000000002");
const std::string kStoredAB = "<Nodes>" + NodeXml("192.0.2.11", "000000000002") +
                              NodeXml("192.0.2.10", "0A0000000001") + "</Nodes>";
const std::string kHostInfo = "<HostInfo><Override>1</Override><Name>host1</Name></HostInfo>";

class NodeTableExchange : public testing::InfoFileTest {
protected:
    std::string Get() {
        std::string text;
        EXPECT_EQ(get_BootpInfosXml(m_server, &text), S_OK);
        return text;
    }
    void Put(std::string_view text) { EXPECT_EQ(put_BootpInfosXml(m_server, text), S_OK); }

    FyBootpServer m_server;
};

TEST_F(NodeTableExchange, GetOfAnEmptyTableGivesAnEmptyNodesElement) {
    EXPECT_EQ(Get(), std::string(kDeclaration) + "<FyBootpInfo><Nodes/></FyBootpInfo>\n");
}

TEST_F(NodeTableExchange, GetListsRowsInTableOrderWithUpperCaseAddresses) {
    Put(Table({kRowA, NodeXml("192.0.2.11", "00000000000a")}));
    EXPECT_EQ(Get(), std::string(kDeclaration) + "<FyBootpInfo><Nodes>" +
                         NodeXml("192.0.2.11", "00000000000A") + kRowA +
                         "</Nodes></FyBootpInfo>\n");
}

TEST_F(NodeTableExchange, GetNeedsAnOutParameterAndADocument) {
    EXPECT_EQ(get_BootpInfosXml(m_server, nullptr), E_POINTER);
    std::string text = "unchanged";
    EXPECT_EQ(get_BootpInfosXml(m_server, &text, testing::NoDocumentFactory()), E_POINTER);
    EXPECT_EQ(text, "unchanged");
}

TEST_F(NodeTableExchange, GetDoesNotTouchTheFile) {
    Get();
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(NodeTableExchange, PutReplacesTheTableWithTheValidRowsInAscendingOrder) {
    m_server.m_nodes.Replace({testing::Row("192.0.2.99", "FFFFFFFFFFFF")});
    Put(Table({kRowA, NodeXml("192.0.2.12", "bad"), kRowB}));
    EXPECT_EQ(TableText(m_server),
              (std::vector<std::string>{"192.0.2.11/000000000002", "192.0.2.10/0A0000000001"}));
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("0A0000000001"))->ipAddr, testing::Ip("192.0.2.10"));
    EXPECT_EQ(m_server.m_nodes.FindFirst(Mac("FFFFFFFFFFFF")), nullptr);
}

TEST_F(NodeTableExchange, TextThatIsNotWellFormedChangesNothing) {
    Put(Table({kRowA}));
    m_server.m_newMacs.AppendIfNew(Mac("000000000002"));
    const std::string file = *ReadInfoFile();
    Put("<FyBootpInfo><Nodes>" + kRowB);
    EXPECT_EQ(TableText(m_server), (std::vector<std::string>{"192.0.2.10/0A0000000001"}));
    EXPECT_EQ(m_server.m_newMacs.Size(), 1u);
    EXPECT_EQ(m_server.m_newMacCnt, 0);
    EXPECT_EQ(*ReadInfoFile(), file);
}

TEST_F(NodeTableExchange, WithoutADocumentThePutChangesNothing) {
    EXPECT_EQ(put_BootpInfosXml(m_server, Table({kRowA}), testing::NoDocumentFactory()), S_OK);
    EXPECT_TRUE(m_server.m_nodes.Empty());
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(NodeTableExchange, EmptyRootOrAnotherRootEmptiesTableAndStoredTable) {
    for (const char* text : {"<FyBootpInfo/>", "<Other><Nodes><Node/></Nodes></Other>"}) {
        WriteInfoFile("<FyBootpInfo>" + kStoredAB + "</FyBootpInfo>");
        m_server.m_nodes.Replace({testing::Row("192.0.2.99", "FFFFFFFFFFFF")});
        Put(text);
        EXPECT_TRUE(m_server.m_nodes.Empty()) << text;
        EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo><Nodes/></FyBootpInfo>\n") << text;
    }
}

TEST_F(NodeTableExchange, ListedAddressesLeaveTheNewAddressListAndRaiseTheCounter) {
    for (const char* mac : {"024B77000001", "024B77000002", "024B77000003"}) {
        m_server.m_newMacs.AppendIfNew(Mac(mac));
    }
    Put(Table({NodeXml("192.0.2.1", "024B77000002"), NodeXml("192.0.2.2", "024b77000002"),
               NodeXml("192.0.2.3", "024B77000003")}));
    ASSERT_EQ(m_server.m_newMacs.Size(), 1u);
    EXPECT_EQ(m_server.m_newMacs.Records()[0].macAddr, Mac("024B77000001"));
    EXPECT_EQ(m_server.m_newMacCnt, 2);
}

TEST_F(NodeTableExchange, NewAddressCounterWrapsAround) {
    m_server.m_newMacs.AppendIfNew(Mac("024B77000001"));
    m_server.m_newMacCnt = INT32_MAX;
    Put(Table({NodeXml("192.0.2.1", "024B77000001")}));
    EXPECT_EQ(m_server.m_newMacCnt, INT32_MIN);
}

// The file cases: what a put leaves in FyBootpInfo.xml.
TEST_F(NodeTableExchange, AbsentFileIsCreatedWithOnlyTheTable) {
    Put(Table({kRowA, kRowB}));
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kStoredAB + "</FyBootpInfo>\n");
}

TEST_F(NodeTableExchange, MalformedFileIsReplacedByOneHoldingOnlyTheTable) {
    WriteInfoFile("<FyBootpInfo>" + kHostInfo + "<Nodes>");
    Put(Table({kRowA, kRowB}));
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kStoredAB + "</FyBootpInfo>\n");
}

// What the server could not load, an operator can always get back.
class UnloadableFile : public NodeTableExchange {
protected:
    HRESULT PutThroughLayer(std::string_view text) {
        return put_BootpInfosXml(m_server, text, m_layer.documents);
    }
    testing::FileLayerUnderTest m_layer;
};

TEST_F(UnloadableFile, IsKeptBesideTheNewFileUnderItsUtcTimeAndLogged) {
    const std::string doctype = "<!DOCTYPE FyBootpInfo><FyBootpInfo>" + kHostInfo + "</FyBootpInfo>";
    WriteInfoFile(doctype);
    EXPECT_EQ(PutThroughLayer(Table({kRowA})), S_OK);
    EXPECT_EQ(testing::ReadFile("FyBootpInfo.xml.unloadable-20261207T154500Z"), doctype);
    EXPECT_TRUE(m_layer.events.Has(
        {"FyBootpInfo.xml did not load (a DOCTYPE)", "FyBootpInfo.xml.unloadable-20261207T154500Z"}));
    EXPECT_NE(ReadInfoFile()->find(kRowA), std::string::npos);
}

TEST_F(UnloadableFile, OnlyTheNewestFiveAreKeptAndOneSecondGivesDistinctNames) {
    for (int i = 0; i < 7; ++i) {
        WriteInfoFile("<FyBootpInfo>" + std::to_string(i));
        ASSERT_EQ(PutThroughLayer(Table({kRowA})), S_OK);
    }
    const std::string stamp = "FyBootpInfo.xml.unloadable-20261207T154500Z";
    EXPECT_EQ(testing::DirectoryEntries("."),
              (std::vector<std::string>{kInfoFileName, stamp + "-02", stamp + "-03", stamp + "-04",
                                        stamp + "-05", stamp + "-06"}));
    EXPECT_EQ(testing::ReadFile(stamp + "-06"), "<FyBootpInfo>6");
    // A later second sorts after all of them, so it pushes out the oldest.
    m_layer.now += 1;
    WriteInfoFile("<FyBootpInfo>7");
    ASSERT_EQ(PutThroughLayer(Table({kRowA})), S_OK);
    EXPECT_EQ(testing::DirectoryEntries(".").back(), "FyBootpInfo.xml.unloadable-20261207T154501Z");
    EXPECT_EQ(testing::DirectoryEntries(".").size(), 6u);
}

TEST_F(UnloadableFile, WithoutACopyTheFileIsNotReplaced) {
    using Kind = testing::FailingFileSystem::Kind;
    WriteInfoFile("<FyBootpInfo>");
    // Neither a second name nor a copy can be made.
    m_layer.files.FailNth(Kind::kLink, 1, ENOSPC);
    EXPECT_EQ(PutThroughLayer(Table({kRowA})), S_OK);  // the copy was written instead
    std::filesystem::remove("FyBootpInfo.xml.unloadable-20261207T154500Z");
    WriteInfoFile("<FyBootpInfo>");
    m_layer.files.Reset();
    m_layer.files.FailNth(Kind::kOpen, 2, ENOSPC);  // 1: the read; 2: the copy's temporary
    m_layer.files.FailNth(Kind::kLink, 1, EPERM);
    EXPECT_EQ(PutThroughLayer(Table({kRowB})), HresultFromWin32(112));
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo>");
    EXPECT_TRUE(m_layer.events.Has({"no copy of it could be kept"}));
}

TEST_F(NodeTableExchange, EveryNodesIsReplacedSoRemovedRowsStayRemoved) {
    WriteInfoFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>" + kRowA +
                  "</Nodes>" + kHostInfo + "<Nodes>" + kRowB + "</Nodes></FyBootpInfo>\n");
    Put(Table({NodeXml("192.0.2.50", "000000000050")}));
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "<Nodes>" +
                                   NodeXml("192.0.2.50", "000000000050") +
                                   "</Nodes></FyBootpInfo>\n");
    // The next start reads the table that was put, and nothing more.
    FyBootpServer restarted;
    LoadInfoDocument(restarted);
    EXPECT_EQ(restarted.m_nodes.Size(), 1u);
}

// A file that a put of HostInfoXml created holds no Nodes: the table goes in
// after HostInfo, or no table would ever be stored in it.
TEST_F(NodeTableExchange, FileWithoutNodesGetsTheTableAfterItsContent) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "</FyBootpInfo>\n");
    Put(Table({kRowA}));
    EXPECT_EQ(*ReadInfoFile(), std::string(kDeclaration) + "<FyBootpInfo>" + kHostInfo + "<Nodes>" +
                                   kRowA + "</Nodes></FyBootpInfo>\n");
    FyBootpServer restarted;
    LoadInfoDocument(restarted);
    EXPECT_EQ(TableText(restarted), std::vector<std::string>{"192.0.2.10/0A0000000001"});
}

TEST_F(NodeTableExchange, FileWithAnotherRootIsSavedUnchanged) {
    const std::string other = "<Other><Nodes>" + kRowB + "</Nodes></Other>\n";
    WriteInfoFile(other);
    Put(Table({kRowA}));
    EXPECT_EQ(*ReadInfoFile(), other);
}

TEST_F(NodeTableExchange, StoreNodeTableWithoutADocumentLeavesTheFile) {
    WriteInfoFile("<FyBootpInfo/>");
    StoreNodeTable(m_server, testing::NoDocumentFactory());
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo/>");
}

TEST_F(NodeTableExchange, FailureAfterTheTableChangedIsReportedAndTheTableStands) {
    // One document for parsing the text, one for loading the file, none
    // for the new file that an absent file calls for.
    testing::LimitedDocumentFactory twoDocuments(2);
    EXPECT_EQ(put_BootpInfosXml(m_server, Table({kRowA}), twoDocuments), E_POINTER);
    EXPECT_EQ(m_server.m_nodes.Size(), 1u);
    EXPECT_FALSE(testing::InfoFileExists());
}

}  // namespace
}  // namespace fybootp
