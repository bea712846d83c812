// Reading node rows from a document into a table, and writing them back.

#include "document/node_rows.h"

#include <gtest/gtest.h>

#include <random>

#include "document/dom_error.h"
#include "document/info_file.h"
#include "document/text_forms.h"
#include "platform/net/address_text.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using testing::Mac;
using testing::Row;

std::string NodeXml(std::string_view ip, std::string_view mac) {
    return "<Node><IpAddr>" + std::string(ip) + "</IpAddr><MacAddr>" + std::string(mac) +
           "</MacAddr></Node>";
}

std::vector<BootpNode> Read(std::string_view text, const RowStep& step = {}) {
    Document document = CreateInfoDocument();
    EXPECT_TRUE(LoadXmlText(document, text));
    std::vector<BootpNode> table;
    const std::size_t count = ReadNodeRows(document, table, step);
    EXPECT_EQ(count, table.size());
    return table;
}

std::string Text(const BootpNode& row) {
    return net::InetNtoa(row.ipAddr) + "/" + HexText(row.macAddr);
}

std::vector<std::string> Texts(const std::vector<BootpNode>& rows) {
    std::vector<std::string> texts;
    for (const BootpNode& row : rows) texts.push_back(Text(row));
    return texts;
}

TEST(ReadingRows, RowsEndUpAscendingWithEqualAddressesInDocumentOrder) {
    const auto table = Read("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.1", "0A0000000000") +
                            NodeXml("192.0.2.2", "000000000000") +
                            NodeXml("192.0.2.3", "0a0000000000") + "</Nodes></FyBootpInfo>");
    EXPECT_EQ(Texts(table),
              (std::vector<std::string>{"192.0.2.2/000000000000", "192.0.2.1/0A0000000000",
                                        "192.0.2.3/0A0000000000"}));
}

TEST(ReadingRows, AnotherRootGivesNoRows) {
    EXPECT_TRUE(
        Read("<Other><Nodes>" + NodeXml("192.0.2.1", "001A2B3C4D5E") + "</Nodes></Other>").empty());
}

TEST(ReadingRows, InvalidNodesAreSkipped) {
    const auto table = Read(
        "<FyBootpInfo><Nodes>"
        "<Node><MacAddr>001A2B3C4D01</MacAddr></Node>" +  // no IpAddr
        NodeXml("192.0.2.2", "00-1A-2B-3C-4D-02") +       // separators
        NodeXml("192.0.2.3", "001A2B3C4D3") +             // 11 digits
        NodeXml("192.0.2.4", " 001A2B3C4D04") +           // a blank
        NodeXml("192.0.2.5", "001A2B3C4G05") +            // not hex
        "<Node><IpAddr>192.0.2.6</IpAddr></Node>" +       // no MacAddr
        "<Node><ipaddr>192.0.2.7</ipaddr><MacAddr>001A2B3C4D07</MacAddr></Node>" +
        NodeXml("192.0.2.8", "001A2B3C4D08") + "</Nodes></FyBootpInfo>");
    EXPECT_EQ(Texts(table), (std::vector<std::string>{"192.0.2.8/001A2B3C4D08"}));
}

TEST(ReadingRows, ChildOrderDoesNotMatterAndTheFirstOfANameCounts) {
    const auto table = Read(
        "<FyBootpInfo><Nodes><Node a='ignored'><MacAddr>001A2B3C4D5E</MacAddr>"
        "<IpAddr>192.0.2.1</IpAddr><IpAddr>192.0.2.2</IpAddr><Extra/></Node></Nodes></"
        "FyBootpInfo>");
    EXPECT_EQ(Texts(table), (std::vector<std::string>{"192.0.2.1/001A2B3C4D5E"}));
}

TEST(ReadingRows, AddressTextFollowsInetAddrWithoutFurtherChecks) {
    const auto table = Read("<FyBootpInfo><Nodes>" + NodeXml("10.0.0.300", "000000000001") +
                            NodeXml("abc", "000000000002") + NodeXml("010.0.0.1", "000000000003") +
                            NodeXml("0x0A.1", "000000000004") + NodeXml("", "000000000005") +
                            NodeXml("3221225985", "000000000006") + "</Nodes></FyBootpInfo>");
    EXPECT_EQ(Texts(table), (std::vector<std::string>{
                                "255.255.255.255/000000000001", "255.255.255.255/000000000002",
                                "8.0.0.1/000000000003", "10.0.0.1/000000000004",
                                "255.255.255.255/000000000005", "192.0.2.1/000000000006"}));
}

TEST(ReadingRows, RowsOfEveryNodesElementAreRead) {
    const auto table = Read("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.1", "000000000002") +
                            "</Nodes><HostInfo/><Nodes>" + NodeXml("192.0.2.2", "000000000001") +
                            "</Nodes></FyBootpInfo>");
    EXPECT_EQ(table.size(), 2u);
}

TEST(ReadingRows, StepRunsOnceForEachValidRowInDocumentOrder) {
    std::vector<std::string> seen;
    Read("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.1", "000000000009") +
             NodeXml("192.0.2.2", "bad") + NodeXml("192.0.2.3", "000000000001") +
             "</Nodes></FyBootpInfo>",
         [&](const BootpNode& row) { seen.push_back(Text(row)); });
    EXPECT_EQ(seen, (std::vector<std::string>{"192.0.2.1/000000000009", "192.0.2.3/000000000001"}));
}

TEST(ReadingRows, NoDocumentRaisesEPointer) {
    std::vector<BootpNode> table;
    try {
        ReadNodeRows(Document(), table);
        FAIL() << "no error raised";
    } catch (const DomError& error) {
        EXPECT_EQ(error.Status(), E_POINTER);
    }
}

// The rule as the old server applied it: each row in turn goes in before
// the first row that compares greater, else at the end.
void InsertOneByOne(std::vector<BootpNode>& table, const std::vector<BootpNode>& rows) {
    for (const BootpNode& row : rows) {
        auto at = table.begin();
        while (at != table.end() && !(MacKey(at->macAddr) > MacKey(row.macAddr))) ++at;
        table.insert(at, row);
    }
}

TEST(InsertingRows, SameResultAsInsertingOneByOneForAnyTable) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 500; ++round) {
        // Few distinct addresses, so that equal ones are common; the old
        // table is in any order, as node editing may leave it.
        std::uniform_int_distribution<int> address(0, 7);
        std::uniform_int_distribution<int> count(0, 12);
        std::vector<BootpNode> table, rows;
        std::uint32_t serial = 0;
        for (int i = count(random); i > 0; --i) {
            table.push_back(
                {++serial, MacAddress{0, 0, 0, 0, 0, static_cast<std::uint8_t>(address(random))}});
        }
        for (int i = count(random); i > 0; --i) {
            rows.push_back(
                {++serial, MacAddress{0, 0, 0, 0, 0, static_cast<std::uint8_t>(address(random))}});
        }
        std::vector<BootpNode> expected = table;
        InsertOneByOne(expected, rows);
        InsertRowsInOrder(table, rows);
        ASSERT_EQ(Texts(table), Texts(expected)) << "round " << round;
    }
}

TEST(WritingRows, EachRowGetsIpAddrThenMacAddrInTableOrder) {
    const NewDocument created = NewInfoDocument();
    const std::vector<BootpNode> rows{Row("192.0.2.9", "0A0000000000"),
                                      Row("192.0.2.1", "001a2b3c4d5e")};
    WriteNodeRows(AppendElement(created.root, "Nodes"), rows, true);
    EXPECT_EQ(DocumentText(created.document),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>"
              "<Node><IpAddr>192.0.2.9</IpAddr><MacAddr>0A0000000000</MacAddr></Node>"
              "<Node><IpAddr>192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"
              "</Nodes></FyBootpInfo>\n");
}

TEST(WritingRows, WithoutTheAddressFlagOnlyMacAddrIsWritten) {
    const NewDocument created = NewInfoDocument();
    const std::vector<BootpNode> rows{Row("0.0.0.0", "024B77000001")};
    WriteNodeRows(AppendElement(created.root, "Nodes"), rows, false);
    EXPECT_EQ(DocumentText(created.document),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>"
              "<Node><MacAddr>024B77000001</MacAddr></Node></Nodes></FyBootpInfo>\n");
}

TEST(WritingRows, WrittenRowsReadBackAsTheSameTable) {
    std::vector<BootpNode> rows;
    for (std::uint8_t i = 0; i < 50; ++i) {
        rows.push_back({net::InetAddr("198.51.100.0") + (static_cast<std::uint32_t>(i) << 24),
                        MacAddress{0x02, 0x4B, 0x77, 0, 0, i}});
    }
    const NewDocument created = NewInfoDocument();
    WriteNodeRows(AppendElement(created.root, "Nodes"), rows, true);
    EXPECT_EQ(Texts(Read(DocumentText(created.document))), Texts(rows));
}

}  // namespace
}  // namespace fybootp
