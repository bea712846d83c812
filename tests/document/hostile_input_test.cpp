// Hostile XML from clients and in the file: it loads nothing from outside,
// expands no entity, stays within bounded time, and at worst changes
// nothing.

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "document/host_info_store.h"
#include "document/info_file.h"
#include "document/limits.h"
#include "document/node_table_exchange.h"
#include "document/xml_parse.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using namespace std::chrono_literals;
using testing::TableText;

constexpr auto kBound = 5s;  // generous: the debug build runs under sanitizers

const std::string kValidRow =
    "<Node><IpAddr>192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>";
const std::vector<std::string> kOldTable{"198.51.100.1/024B77000001"};

class HostileInput : public testing::InfoFileTest {
protected:
    HostileInput() { m_server.m_nodes.Replace({testing::Row("198.51.100.1", "024B77000001")}); }

    // Puts text and expects S_OK, the old table and no file, within the
    // bound.
    void ExpectRefused(std::string_view text) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(put_BootpInfosXml(m_server, text), S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
        EXPECT_EQ(TableText(m_server), kOldTable);
        EXPECT_FALSE(testing::InfoFileExists());
    }
    void ExpectAccepted(std::string_view text) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(put_BootpInfosXml(m_server, text), S_OK);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
        EXPECT_TRUE(testing::InfoFileExists());
    }

    FyBootpServer m_server;
};

std::string Wrapped(std::string_view inner) {
    return "<FyBootpInfo><Nodes>" + std::string(inner) + "</Nodes></FyBootpInfo>";
}

TEST_F(HostileInput, DoctypeWithExpandingEntitiesIsRefused) {
    std::string laughs = "<!DOCTYPE FyBootpInfo [<!ENTITY a0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&a" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    ExpectRefused(laughs + "]>" +
                  Wrapped("<Node><IpAddr>&a9;</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"));
}

TEST_F(HostileInput, DoctypeAloneIsEnoughToRefuseTheText) {
    ExpectRefused("<!DOCTYPE FyBootpInfo>" + Wrapped(kValidRow));
    ExpectRefused("<!DOCTYPE FyBootpInfo SYSTEM \"http://192.0.2.1/x.dtd\">" + Wrapped(kValidRow));
}

TEST_F(HostileInput, ExternalEntityNamingALocalFileIsNotRead) {
    // Were the file read, its content would make a valid row.
    testing::WriteFile(Dir() + "/mac.txt", "001A2B3C4D5E");
    const std::string entity = "<!ENTITY m SYSTEM \"file://" + Dir() + "/mac.txt\">";
    ExpectRefused("<!DOCTYPE FyBootpInfo [" + entity + "]>" +
                  Wrapped("<Node><IpAddr>192.0.2.1</IpAddr><MacAddr>&m;</MacAddr></Node>"));
    ExpectRefused("<!DOCTYPE FyBootpInfo [<!ENTITY h SYSTEM \"/etc/hostname\">]>" +
                  Wrapped("<Node><IpAddr>&h;</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"));
    // Without a declaration the reference is to an undeclared entity.
    ExpectRefused(Wrapped("<Node><IpAddr>192.0.2.1</IpAddr><MacAddr>&m;</MacAddr></Node>"));
}

TEST_F(HostileInput, NoParseInTheProcessLoadsAnExternalEntityOnceTheServerParsedOnce) {
    // The loader installed by the first parse refuses everything, even for
    // a parse with options that would substitute entities.
    Document document = CreateInfoDocument();
    LoadXmlText(document, "<FyBootpInfo/>");
    testing::WriteFile(Dir() + "/secret.txt", "secret");
    const std::string text =
        "<!DOCTYPE r [<!ENTITY s SYSTEM \"file://" + Dir() + "/secret.txt\">]><r>&s;</r>";
    xmlDoc* parsed = xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                   XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (parsed != nullptr) {
        xmlChar* content = xmlNodeGetContent(xmlDocGetRootElement(parsed));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content)).find("secret"),
                  std::string::npos);
        xmlFree(content);
        xmlFreeDoc(parsed);
    }
}

TEST_F(HostileInput, DeepNestingIsRefusedQuickly) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<d>";
    ExpectRefused(Wrapped(kValidRow + deep));
    std::string justTooDeep;
    for (int i = 0; i < 300; ++i) justTooDeep += "<d>";
    for (int i = 0; i < 300; ++i) justTooDeep += "</d>";
    ExpectRefused(Wrapped(kValidRow + justTooDeep));
}

TEST_F(HostileInput, ThousandsOfAttributesOnOneElementAreBounded) {
    std::string many = "<Node";
    for (int i = 0; i < 50000; ++i) many += " a" + std::to_string(i) + "=''";
    ExpectRefused(
        Wrapped(many + "><IpAddr>192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"));

    // Under the bound they are ignored, as attributes always are.
    std::string some = "<Node";
    for (int i = 0; i < 5000; ++i) some += " a" + std::to_string(i) + "=''";
    ExpectAccepted(
        Wrapped(some + "><IpAddr>192.0.2.1</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"));
    EXPECT_EQ(TableText(m_server), std::vector<std::string>{"192.0.2.1/001A2B3C4D5E"});
}

TEST_F(HostileInput, OversizedTextIsRefused) {
    // Paragraphs of text, as libxml2 limits a single text to 10 MB anyway.
    const std::string head = "<FyBootpInfo>";
    const std::string tail = "</FyBootpInfo>";
    const std::string paragraph = "<p>" + std::string(1000, 'x') + "</p>";
    std::string text = head;
    while (text.size() + paragraph.size() + tail.size() <= kClientTextLimits.maxBytes)
        text += paragraph;
    text += "<p>" + std::string(kClientTextLimits.maxBytes - text.size() - tail.size() - 7, 'x') +
            "</p>";
    text += tail;
    ASSERT_EQ(text.size(), kClientTextLimits.maxBytes);
    ExpectAccepted(text);
    EXPECT_TRUE(m_server.m_nodes.Empty());
    std::filesystem::remove(kInfoFileName);
    m_server.m_nodes.Replace({testing::Row("198.51.100.1", "024B77000001")});
    text.insert(head.size(), " ");
    ExpectRefused(text);
}

TEST_F(HostileInput, TooMuchMarkupIsRefused) {
    std::string elements;
    elements.reserve(4 * kClientTextLimits.maxMarkup);
    for (std::size_t i = 0; i < kClientTextLimits.maxMarkup; ++i) elements += "<a/>";
    ExpectRefused(Wrapped(elements));
}

// Every '<' and '=' counts, wherever it stands, in texts of every length
// around the pieces the count works in.
TEST_F(HostileInput, MarkupAndAttributesAreCountedExactly) {
    for (const std::size_t length : {0u, 1u, 254u, 255u, 256u, 509u, 510u, 511u, 4097u}) {
        for (const char counted : {'<', '='}) {
            std::string text(length, counted);
            if (length > 2) text[length / 2] = 'x';  // one that does not count
            const auto count =
                static_cast<std::size_t>(std::count(text.begin(), text.end(), counted));
            InputLimits limits{length, counted == '<' ? count : length,
                               counted == '=' ? count : length};
            EXPECT_TRUE(xml::WithinLimits(text, limits)) << length << counted;
            (counted == '<' ? limits.maxMarkup : limits.maxEquals) = count - 1;
            if (count > 0) {
                EXPECT_FALSE(xml::WithinLimits(text, limits)) << length << counted;
            }
        }
    }
    EXPECT_FALSE(xml::WithinLimits("<a/>", {3, 10, 10}));
}

TEST_F(HostileInput, TextThatIsNotUtf8IsRefused) {
    ExpectRefused(
        Wrapped("<Node><IpAddr>192.0.2.1\xFF</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>"));
    ExpectRefused(Wrapped(kValidRow) + std::string(1, '\0') + "trailing");
    ExpectRefused(Wrapped(kValidRow) + std::string(1, '\0'));
    const std::u16string utf16 = u"\uFEFF<FyBootpInfo/>";
    ExpectRefused(std::string_view(reinterpret_cast<const char*>(utf16.data()), utf16.size() * 2));
}

TEST_F(HostileInput, FileWithADoctypeCountsAsNotLoaded) {
    testing::WriteInfoFile(
        "<!DOCTYPE FyBootpInfo [<!ENTITY x \"192.0.2.1\">]><FyBootpInfo><Nodes>"
        "<Node><IpAddr>&x;</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node></Nodes>"
        "<HostInfo><Name>stored</Name></HostInfo></FyBootpInfo>");
    testing::FakeHostInfoSource source = testing::DetectableHost();
    const auto server = testing::StartServer(LibxmlDocumentFactory(), source);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(server->m_nodes.Empty());
    EXPECT_EQ(server->HostName(), "detected-host");
    // Like a malformed file, it is replaced by the next stored table.
    EXPECT_EQ(put_BootpInfosXml(*server, Wrapped(kValidRow)), S_OK);
    EXPECT_EQ(*testing::ReadInfoFile(),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>" + kValidRow +
                  "</Nodes></FyBootpInfo>\n");
}

// The largest table a client text can carry is stored in a file that the
// next start loads again; otherwise a restart would forget the table.
TEST_F(HostileInput, LargestAcceptedTableLoadsAgainAtTheNextStart) {
    const std::size_t rows = (kClientTextLimits.maxMarkup - 4) / kMinRowMarkup;
    std::string text = "<FyBootpInfo><Nodes>";
    text.reserve(60 * rows);
    char mac[13];
    for (std::size_t i = 0; i < rows; ++i) {
        std::snprintf(mac, sizeof mac, "%012zX", i);
        text += "<Node><IpAddr/><MacAddr>" + std::string(mac) + "</MacAddr></Node>";
    }
    text += "</Nodes></FyBootpInfo>";
    EXPECT_EQ(put_BootpInfosXml(m_server, text), S_OK);
    ASSERT_EQ(m_server.m_nodes.Size(), rows);

    testing::FakeHostInfoSource source = testing::DetectableHost();
    const auto restarted = testing::StartServer(LibxmlDocumentFactory(), source);
    ASSERT_NE(restarted, nullptr);
    EXPECT_EQ(restarted->m_nodes.Size(), rows);

    // One row more and the text is refused, so no larger table arises.
    text.insert(text.size() - std::string("</Nodes></FyBootpInfo>").size(),
                "<Node><IpAddr/><MacAddr>FFFFFFFFFFFF</MacAddr></Node>");
    EXPECT_EQ(put_BootpInfosXml(m_server, text), S_OK);
    EXPECT_EQ(m_server.m_nodes.Size(), rows);
}

// The widest rows, the longest name and HostInfo: a file at the row bound
// that operations growing the table must keep to still loads.
TEST_F(HostileInput, FileHoldingTheMostStorableRowsLoadsAgain) {
    std::vector<BootpNode> rows(kMaxStoredRows);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i] = {0xFFFFFFFFu,
                   MacAddress{0x02, 0x4B, 0x77, static_cast<std::uint8_t>(i >> 16),
                              static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}};
    }
    m_server.m_nodes.Replace(std::move(rows));
    m_server.SetHostName(std::string(200, 'h'));
    m_server.m_override = 1;
    StoreHostInfo(m_server);
    const std::string file = *testing::ReadInfoFile();
    EXPECT_LE(file.size(), kInfoFileLimits.maxBytes);

    testing::FakeHostInfoSource source = testing::DetectableHost();
    const auto restarted = testing::StartServer(LibxmlDocumentFactory(), source);
    ASSERT_NE(restarted, nullptr);
    EXPECT_EQ(restarted->m_nodes.Size(), kMaxStoredRows);
    EXPECT_EQ(restarted->HostName(), std::string(99, 'h'));

    // The same file in UTF-16, which spends two bytes on every character,
    // loads too, and is written back in UTF-16.
    std::string utf16 = "\xFF\xFE";
    utf16.reserve(2 * file.size() + 2);
    const std::string declared = std::string(file).replace(file.find("UTF-8"), 5, "UTF-16");
    for (const char c : declared) utf16 += {c, '\0'};
    testing::WriteInfoFile(utf16);
    const auto fromUtf16 = testing::StartServer(LibxmlDocumentFactory(), source);
    ASSERT_NE(fromUtf16, nullptr);
    EXPECT_EQ(fromUtf16->m_nodes.Size(), kMaxStoredRows);
    StoreHostInfo(*fromUtf16);
    EXPECT_EQ(testing::ReadInfoFile()->substr(0, 2), "\xFF\xFE");
}

}  // namespace
}  // namespace fybootp
