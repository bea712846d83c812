// The start-up load: the table and the identity a new server object comes
// up with, for each shape of FyBootpInfo.xml.

#include "document/startup_load.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "document/dom_error.h"
#include "document/host_info_store.h"
#include "document/info_file.h"
#include "document/node_table_exchange.h"
#include "platform/net/address_text.h"
#include "tests/document/document_test_support.h"
#include "tests/document/tree_reference.h"

namespace fybootp {
namespace {

using testing::Ip;
using testing::TableText;
using testing::WriteInfoFile;

std::string NodeXml(std::string_view ip, std::string_view mac) {
    return "<Node><IpAddr>" + std::string(ip) + "</IpAddr><MacAddr>" + std::string(mac) +
           "</MacAddr></Node>";
}

const std::string kTwoRows = "<Nodes>" + NodeXml("192.0.2.11", "001A2B3C4D5F") +
                             NodeXml("192.0.2.10", "001A2B3C4D5E") + "</Nodes>";
const std::string kHostInfo =
    "<HostInfo><Override>1</Override><Name>host1</Name><IpAddr>192.0.2.1</IpAddr>"
    "<SubnetMask>255.255.255.0</SubnetMask><DefaultGateway>192.0.2.254</DefaultGateway></HostInfo>";

class StartupLoad : public testing::InfoFileTest {
protected:
    std::unique_ptr<FyBootpServer> Start() {
        HRESULT hr = E_FAIL;
        auto server = testing::StartServer(LibxmlDocumentFactory(), m_source, &hr);
        EXPECT_EQ(hr, S_OK);
        return server;
    }
    static void ExpectDetected(const FyBootpServer& server) {
        EXPECT_EQ(server.HostName(), "detected-host");
        EXPECT_EQ(server.m_ipAddr, Ip("198.51.100.7"));
        EXPECT_EQ(server.m_subnetMask, Ip("255.255.255.0"));
        EXPECT_EQ(server.m_defaultGateway, Ip("198.51.100.1"));
        EXPECT_EQ(server.m_override, 0);
    }
    static void ExpectHost1(const FyBootpServer& server) {
        EXPECT_EQ(server.HostName(), "host1");
        EXPECT_EQ(server.m_ipAddr, Ip("192.0.2.1"));
        EXPECT_EQ(server.m_subnetMask, Ip("255.255.255.0"));
        EXPECT_EQ(server.m_defaultGateway, Ip("192.0.2.254"));
        EXPECT_EQ(server.m_override, 1);
    }

    testing::FakeHostInfoSource m_source = testing::DetectableHost();
};

const std::vector<std::string> kTwoRowsLoaded{"192.0.2.10/001A2B3C4D5E", "192.0.2.11/001A2B3C4D5F"};

TEST_F(StartupLoad, NoFileGivesAnEmptyTableAndTheDetectedIdentityAndCreatesNoFile) {
    const auto server = Start();
    EXPECT_TRUE(server->m_nodes.Empty());
    ExpectDetected(*server);
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(StartupLoad, MalformedFileIsLikeNoFileAndStaysUnchangedOnDisk) {
    const std::string malformed = "<FyBootpInfo>" + kTwoRows + kHostInfo;  // root never closed
    WriteInfoFile(malformed);
    const auto server = Start();
    EXPECT_TRUE(server->m_nodes.Empty());
    ExpectDetected(*server);
    EXPECT_EQ(*testing::ReadInfoFile(), malformed);
}

// A file the start could not read still holds the operator's table: the
// server runs on the detected identity, but nothing it saves may drop that
// table, until the file is readable at a start or gone.
TEST_F(StartupLoad, UnreadableFileIsLikeNoFileButNoLaterSaveReplacesIt) {
    using Kind = testing::FailingFileSystem::Kind;
    const std::string stored = "<FyBootpInfo>" + kTwoRows + kHostInfo + "</FyBootpInfo>";
    WriteInfoFile(stored);
    testing::FileLayerUnderTest layer;
    layer.files.FailNth(Kind::kRead, 1, EIO);
    HRESULT hr = E_FAIL;
    const auto server = testing::StartServer(layer.documents, m_source, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(server->m_nodes.Empty());
    ExpectDetected(*server);
    EXPECT_TRUE(layer.events.Has({"could not be read at start"}));

    // The file reads again now, but the table in memory is not its table.
    const HRESULT ioError = HresultFromWin32(1117);
    EXPECT_EQ(put_BootpInfosXml(*server, "<FyBootpInfo><Nodes/></FyBootpInfo>", layer.documents),
              ioError);
    EXPECT_EQ(RunDocumentOperation([&] { StoreHostInfo(*server, layer.documents); }), ioError);
    EXPECT_EQ(*testing::ReadInfoFile(), stored);
    EXPECT_TRUE(layer.events.Has({"the change was not saved"}));

    // Once it is gone there is nothing left to lose.
    std::filesystem::remove(kInfoFileName);
    EXPECT_EQ(RunDocumentOperation([&] { StoreNodeTable(*server, layer.documents); }), S_OK);
    EXPECT_TRUE(testing::InfoFileExists());
}

TEST_F(StartupLoad, FifoNamedLikeTheFileDoesNotHoldUpTheStart) {
    ASSERT_EQ(::mkfifo(kInfoFileName, 0600), 0);
    const int code = testing::RunInChild([&] {
        ::alarm(10);
        HRESULT hr = E_FAIL;
        const auto server = testing::StartServer(LibxmlDocumentFactory(), m_source, &hr);
        if (hr != S_OK || server == nullptr) return 1;
        if (server->HostName() != "detected-host") return 2;
        // Saves do not block either; they are refused.
        if (Succeeded(put_BootpInfosXml(*server, "<FyBootpInfo/>"))) return 3;
        return 0;
    });
    EXPECT_EQ(code, 0) << "128 + SIGALRM (142): the start or the save blocked";
    struct stat info {};
    ASSERT_EQ(::lstat(kInfoFileName, &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(StartupLoad, FileWithRowsAndHostInfoGivesBoth) {
    WriteInfoFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo>" + kTwoRows +
                  kHostInfo + "</FyBootpInfo>");
    const auto server = Start();
    EXPECT_EQ(TableText(*server), kTwoRowsLoaded);
    ExpectHost1(*server);
    EXPECT_EQ(m_source.reads, 0) << "nothing is detected when HostInfo fixes the identity";
}

TEST_F(StartupLoad, AnotherRootGivesNoRowsAndTheDetectedIdentity) {
    WriteInfoFile("<Other>" + kTwoRows + kHostInfo + "</Other>");
    const auto server = Start();
    EXPECT_TRUE(server->m_nodes.Empty());
    ExpectDetected(*server);
}

TEST_F(StartupLoad, RowsOfBothNodesElementsAreRead) {
    WriteInfoFile("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.11", "001A2B3C4D5F") +
                  "</Nodes><Nodes>" + NodeXml("192.0.2.10", "001A2B3C4D5E") +
                  "</Nodes></FyBootpInfo>");
    EXPECT_EQ(TableText(*Start()), kTwoRowsLoaded);
}

TEST_F(StartupLoad, HostInfoWithOverrideZeroStillFixesTheIdentity) {
    std::string hostInfo = kHostInfo;
    hostInfo.replace(hostInfo.find(">1<"), 3, ">0<");
    WriteInfoFile("<FyBootpInfo>" + hostInfo + "</FyBootpInfo>");
    ExpectHost1(*Start());
}

TEST_F(StartupLoad, HostInfoWithOnlyIpAddrLeavesTheRestEmpty) {
    WriteInfoFile("<FyBootpInfo><HostInfo><IpAddr>192.0.2.1</IpAddr></HostInfo></FyBootpInfo>");
    const auto server = Start();
    EXPECT_EQ(server->HostName(), "");
    EXPECT_EQ(server->m_ipAddr, Ip("192.0.2.1"));
    EXPECT_EQ(server->m_subnetMask, 0u);
    EXPECT_EQ(server->m_defaultGateway, 0u);
    EXPECT_EQ(server->m_override, 1);
    EXPECT_EQ(m_source.reads, 0);
}

TEST_F(StartupLoad, FileWithoutHostInfoGivesRowsAndTheDetectedIdentity) {
    WriteInfoFile("<FyBootpInfo>" + kTwoRows + "</FyBootpInfo>");
    const auto server = Start();
    EXPECT_EQ(TableText(*server), kTwoRowsLoaded);
    ExpectDetected(*server);
}

TEST_F(StartupLoad, DescendingRowsLoadAscending) {
    std::string rows;
    for (int i = 9; i >= 0; --i)
        rows += NodeXml("192.0.2." + std::to_string(i), "00000000000" + std::to_string(i));
    WriteInfoFile("<FyBootpInfo><Nodes>" + rows + "</Nodes></FyBootpInfo>");
    const auto server = Start();
    ASSERT_EQ(server->m_nodes.Size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(server->m_nodes[i].macAddr[5], i);
}

TEST_F(StartupLoad, DuplicateAddressesKeepBothRowsInDocumentOrder) {
    WriteInfoFile("<FyBootpInfo><Nodes>" + NodeXml("192.0.2.20", "001A2B3C4D5E") +
                  NodeXml("192.0.2.21", "001a2b3c4d5e") + "</Nodes></FyBootpInfo>");
    const auto server = Start();
    EXPECT_EQ(TableText(*server),
              (std::vector<std::string>{"192.0.2.20/001A2B3C4D5E", "192.0.2.21/001A2B3C4D5E"}));
    EXPECT_EQ(server->m_nodes.FindFirst(testing::Mac("001A2B3C4D5E"))->ipAddr, Ip("192.0.2.20"));
}

TEST_F(StartupLoad, LogsInTheFileAreIgnored) {
    WriteInfoFile(
        "<FyBootpInfo><Logs><Log><TimeStamp>2026-1-01T00:00:00</TimeStamp>"
        "<MacAddr>001A2B3C4D5E</MacAddr><Message>m</Message></Log></Logs>" +
        kTwoRows + "</FyBootpInfo>");
    const auto server = Start();
    EXPECT_EQ(TableText(*server), kTwoRowsLoaded);
    EXPECT_EQ(server->m_logs.Size(), 0u);
}

TEST_F(StartupLoad, OnlyTheFirstHostInfoCounts) {
    WriteInfoFile("<FyBootpInfo>" + kHostInfo +
                  "<HostInfo><Name>second</Name></HostInfo></FyBootpInfo>");
    ExpectHost1(*Start());
}

TEST_F(StartupLoad, LongNameIsCutTo99BytesWithoutSplittingACharacter) {
    const std::string name = std::string(98, 'n') + "\xC3\xA9" + "tail";
    WriteInfoFile("<FyBootpInfo><HostInfo><Name>" + name + "</Name></HostInfo></FyBootpInfo>");
    EXPECT_EQ(Start()->HostName(), std::string(98, 'n'));
}

TEST_F(StartupLoad, WithoutADocumentNothingIsLoadedOrDetected) {
    WriteInfoFile("<FyBootpInfo>" + kTwoRows + kHostInfo + "</FyBootpInfo>");
    HRESULT hr = E_FAIL;
    const auto server = testing::StartServer(testing::NoDocumentFactory(), m_source, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(server->m_nodes.Empty());
    EXPECT_EQ(server->HostName(), "");
    EXPECT_EQ(server->m_ipAddr, 0u);
    EXPECT_EQ(server->m_subnetMask, 0u);
    EXPECT_EQ(server->m_defaultGateway, 0u);
    EXPECT_EQ(server->m_override, 0);
    EXPECT_EQ(m_source.reads, 0);
}

// A source whose first call fails as a DOM call would.
class FailingHostInfoSource final : public HostInfoSource {
public:
    std::string HostName() const override { throw DomError(E_OUTOFMEMORY); }
    int ReadAddressTable(std::vector<net::AddressRow>&) const override { return 0; }
    int ReadRouteTable(std::vector<net::RouteRow>&) const override { return 0; }
};

TEST_F(StartupLoad, AnErrorRaisedByTheLoadMakesConstructionFailWithItsStatus) {
    HRESULT hr = S_OK;
    const auto server = testing::StartServer(LibxmlDocumentFactory(), FailingHostInfoSource(), &hr);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(server, nullptr);
}

TEST_F(StartupLoad, LoadReturnsTheNumberOfRowsRead) {
    WriteInfoFile("<FyBootpInfo>" + kTwoRows + "<Nodes><Node/></Nodes></FyBootpInfo>");
    FyBootpServer server;
    EXPECT_EQ(LoadInfoDocument(server, LibxmlDocumentFactory(), m_source), 2u);
}

// The start reads the file while it is parsed and keeps no tree; it must come
// up exactly as a reading of the whole tree does, whatever the file's shape.
class StartupLoadAgainstTheTree : public StartupLoad {
protected:
    // "" when the start and the whole tree agree on this file.
    std::string Compare(const std::string& bytes) {
        WriteInfoFile(bytes);
        FyBootpServer throughTheTree;
        testing::LoadThroughTheTree(throughTheTree, m_source);
        const auto started = Start();
        if (started == nullptr) return "the start failed";
        return testing::StartupDifference(throughTheTree, *started);
    }
    void ExpectSameForEach(const std::vector<std::string>& files) {
        for (const std::string& file : files) EXPECT_EQ(Compare(file), "") << file;
    }
};

std::string Utf16(std::string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : text) bytes += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
    return bytes;
}

std::string InRoot(const std::string& content) {
    return "<FyBootpInfo>" + content + "</FyBootpInfo>";
}

TEST_F(StartupLoadAgainstTheTree, TheFilesOfTheStartupLoadTests) {
    std::string descending;
    for (int i = 9; i >= 0; --i)
        descending += NodeXml("192.0.2." + std::to_string(i), "00000000000" + std::to_string(i));
    ExpectSameForEach({
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + InRoot(kTwoRows + kHostInfo),
        "<FyBootpInfo>" + kTwoRows + kHostInfo,
        "<Other>" + kTwoRows + kHostInfo + "</Other>",
        InRoot("<Nodes>" + NodeXml("192.0.2.11", "001A2B3C4D5F") + "</Nodes><Nodes>" +
               NodeXml("192.0.2.10", "001A2B3C4D5E") + "</Nodes>"),
        InRoot("<HostInfo><IpAddr>192.0.2.1</IpAddr></HostInfo>"),
        InRoot(kTwoRows),
        InRoot("<Nodes>" + descending + "</Nodes>"),
        InRoot("<Nodes>" + NodeXml("192.0.2.20", "001A2B3C4D5E") +
               NodeXml("192.0.2.21", "001a2b3c4d5e") + "</Nodes>"),
        InRoot("<Logs><Log><MacAddr>001A2B3C4D5E</MacAddr></Log></Logs>" + kTwoRows),
        InRoot(kHostInfo + "<HostInfo><Name>second</Name></HostInfo>"),
        InRoot("<HostInfo><Name>" + std::string(98, 'n') + "\xC3\xA9tail</Name></HostInfo>"),
        InRoot(kTwoRows + "<Nodes><Node/></Nodes>"),
    });
}

TEST_F(StartupLoadAgainstTheTree, CommentsInstructionsAndCdataWhereverTheyMayStand) {
    ExpectSameForEach({
        "<!--a--><?pi x?>" +
            InRoot("<!--b--><Nodes><!--c--><Node><?pi?><IpAddr><!--d-->192.0.2."
                   "1<!--e--></IpAddr><MacAddr>001A<!--f-->2B3C4D5E</MacAddr>"
                   "<!--g--></Node><!--h--></Nodes>" +
                   kHostInfo) +
            "<!--i-->",
        InRoot(
            "<Nodes><Node><IpAddr><![CDATA[192.0.2.1]]></IpAddr><MacAddr>001A2B<![CDATA[3C4D5E]]>"
            "</MacAddr></Node></Nodes><HostInfo><Name><![CDATA[<host>]]></Name></HostInfo>"),
        InRoot("<Nodes><Node><IpAddr>&#49;92.0.2.&#x31;</IpAddr><MacAddr>001A2B3C4D5E</MacAddr>"
               "</Node></Nodes><HostInfo><Name>a&amp;b&lt;c&gt;&quot;&apos;</Name></HostInfo>"),
        InRoot("<Nodes>" + NodeXml("192.0.2.1", "&undeclared;") + "</Nodes>"),
        "<!DOCTYPE FyBootpInfo [<!ENTITY mac \"001A2B3C4D5E\">]>" +
            InRoot("<Nodes>" + NodeXml("192.0.2.1", "&mac;") + "</Nodes>"),
    });
}

TEST_F(StartupLoadAgainstTheTree, WhitespaceAroundAndInsideTheTexts) {
    ExpectSameForEach({
        "<?xml version=\"1.0\"?>\n\n<FyBootpInfo>\n  <Nodes>\n    <Node>\n      <IpAddr>192.0.2.1"
        "</IpAddr>\n      <MacAddr>001A2B3C4D5E</MacAddr>\n    </Node>\n  </Nodes>\n  <HostInfo>\n"
        "    <Name> spaced </Name>\n    <IpAddr> 192.0.2.9 </IpAddr>\n  "
        "</HostInfo>\n</FyBootpInfo>\n",
        InRoot(
            "<Nodes><Node><IpAddr> 192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E </MacAddr></Node>"
            "<Node><IpAddr>192.0.2.2\t</IpAddr><MacAddr>\n001A2B3C4D5F\n</MacAddr></Node>"
            "<Node><IpAddr>  </IpAddr><MacAddr> <!--x--> 001A2B3C4D60</MacAddr></Node>"
            "<Node><IpAddr> <b/>192.0.2.4</IpAddr><MacAddr>001A2B3C4D61 <!--x--> </MacAddr></Node>"
            "</Nodes><HostInfo><Name xml:space=\"preserve\"> <!--x--> n</Name></HostInfo>"),
    });
}

TEST_F(StartupLoadAgainstTheTree, MissingExtraAndMisplacedChildren) {
    ExpectSameForEach({
        InRoot(
            "<Nodes><Node><MacAddr>001A2B3C4D5E</MacAddr></Node>"
            "<Node><IpAddr>192.0.2.1</IpAddr></Node>"
            "<Node><IpAddr/><MacAddr>001A2B3C4D5E</MacAddr></Node>"
            "<Node><MacAddr>001A2B3C4D5F</MacAddr><IpAddr>192.0.2.2</IpAddr><Extra>x</Extra>"
            "<IpAddr>192.0.2.3</IpAddr><MacAddr>001A2B3C4D60</MacAddr></Node>"
            "<Node><IpAddr><b>192.0</b>.2.4</IpAddr><MacAddr><i>001A2B</i>3C4D61</MacAddr></Node>"
            "<Node a=\"1\"><IpAddr>999.0.2.5</IpAddr><MacAddr>001A2B3C4D6</MacAddr></Node>"
            "<Node><IpAddr>0x7f.1</IpAddr><MacAddr>00:1A:2B:3C:4D:62</MacAddr></Node>"
            "<Node><IpAddr>192.0.2.6</IpAddr><MacAddr>XY1A2B3C4D63</MacAddr></Node>"
            "<Node><Node><IpAddr>192.0.2.7</IpAddr><MacAddr>001A2B3C4D64</MacAddr></Node></Node>"
            "</Nodes>"),
        InRoot(NodeXml("192.0.2.1", "001A2B3C4D5E") + "<Nodes><Nodes>" +
               NodeXml("192.0.2.2", "001A2B3C4D5F") + "</Nodes>" + kHostInfo + "</Nodes>" +
               "<Other><HostInfo><Name>deep</Name></HostInfo></Other>"),
        InRoot("<HostInfo/>" + kHostInfo),
        InRoot("<HostInfo><Name>a</Name><Name>b</Name><IpAddr>x</IpAddr><Nodes>" +
               NodeXml("192.0.2.1", "001A2B3C4D5E") + "</Nodes></HostInfo>"),
        InRoot("<Nodes>text" + NodeXml("192.0.2.1", "001A2B3C4D5E") + "more text that is long" +
               NodeXml("192.0.2.2", "001A2B3C4D5F") + "x<!--c-->y" + "</Nodes>tail" + kHostInfo +
               "after"),
    });
}

TEST_F(StartupLoadAgainstTheTree, RepeatedSectionsAndNamespaces) {
    ExpectSameForEach({
        InRoot("<Nodes>" + NodeXml("192.0.2.3", "001A2B3C4D60") + "</Nodes>" + kHostInfo +
               "<Nodes/><Nodes>" + NodeXml("192.0.2.1", "001A2B3C4D5E") + "</Nodes>" +
               "<HostInfo><Name>second</Name></HostInfo>" + kTwoRows),
        "<FyBootpInfo xmlns=\"urn:x\">" + kTwoRows + kHostInfo + "</FyBootpInfo>",
        InRoot("<Nodes xmlns=\"urn:x\">" + NodeXml("192.0.2.1", "001A2B3C4D5E") + "</Nodes>" +
               "<p:HostInfo xmlns:p=\"urn:p\"><Name>p</Name></p:HostInfo>" + kTwoRows),
        InRoot("<Nodes><Node xmlns=\"urn:x\"><IpAddr>192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E"
               "</MacAddr></Node><Node><q:IpAddr xmlns:q=\"urn:q\">192.0.2.2</q:IpAddr>"
               "<MacAddr>001A2B3C4D5F</MacAddr></Node><u:Node>x</u:Node></Nodes>"),
    });
}

TEST_F(StartupLoadAgainstTheTree, EncodingsAndFilesThatDoNotLoad) {
    const std::string body = InRoot(kTwoRows + kHostInfo);
    ExpectSameForEach({
        Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body, false),
        Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body, true),
        Utf16(body, false),
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" +
            InRoot(kTwoRows + "<HostInfo><Name>h\xE9</Name></HostInfo>"),
        "<?xml version=\"1.0\" encoding=\"EBCDIC-US\"?>" + body,
        "\xEF\xBB\xBF" + body,
        "",
        "<?xml version=\"1.0\"?>",
        body + "<second/>",
        body + std::string(1, '\0'),
        InRoot(kTwoRows) + "<!--trailing-->\n",
        "<FyBootpInfo>" + kTwoRows + "</Nodes></FyBootpInfo>",
    });
}

// Texts split across the pieces the parser reads the file in, at every
// offset a large file gives them.
TEST_F(StartupLoadAgainstTheTree, ALargeIndentedFile) {
    std::string rows;
    for (std::size_t i = 0; i < 3000; ++i) {
        char mac[13];
        std::snprintf(mac, sizeof mac, "024B77%06zX", (i * 7919) % 3000);
        rows += std::string(i % 7, ' ') + "<Node>\n" + std::string(i % 5, '\t') + "<IpAddr> 10.0." +
                std::to_string(i / 256) + "." + std::to_string(i % 256) + "</IpAddr><!--" +
                std::string(i % 11, '-') + "x--><MacAddr>" + mac + (i % 3 == 0 ? " " : "") +
                "</MacAddr></Node>\n";
    }
    ExpectSameForEach({InRoot("<Nodes>\n" + rows + "</Nodes>\n" + kHostInfo)});
}

}  // namespace
}  // namespace fybootp
