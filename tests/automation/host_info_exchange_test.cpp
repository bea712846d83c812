// HostInfoXml: the server's identity as text, changed at once by a put, and
// the file's HostInfo following the Override flag.

#include "automation/host_info_exchange.h"

#include <gtest/gtest.h>

#include "document/startup_load.h"
#include "platform/net/address_text.h"
#include "tests/automation/operations_test_support.h"

namespace fybootp {
namespace {

using testing::Ip;
using testing::kDeclaration;
using testing::ReadInfoFile;
using testing::WriteInfoFile;

std::string HostInfoText(std::string_view children) {
    return "<FyBootpInfo><HostInfo>" + std::string(children) + "</HostInfo></FyBootpInfo>";
}

std::string StoredHost(std::string_view name, std::string_view ip, std::string_view mask,
                       std::string_view gateway) {
    return "<HostInfo><Override>1</Override><Name>" + std::string(name) + "</Name><IpAddr>" +
           std::string(ip) + "</IpAddr><SubnetMask>" + std::string(mask) +
           "</SubnetMask><DefaultGateway>" + std::string(gateway) + "</DefaultGateway></HostInfo>";
}

const std::string kHost1 = StoredHost("host1", "192.0.2.1", "255.255.255.0", "192.0.2.254");
const std::string kRow = "<Node><IpAddr>192.0.2.10</IpAddr><MacAddr>001A2B3C4D5E</MacAddr></Node>";
const std::string kNodes = "<Nodes>" + kRow + "</Nodes>";

// A server whose identity is host1, 192.0.2.1/24 via 192.0.2.254, fixed
// (Override on), with one node.
class HostInfoExchange : public testing::InfoFileTest {
protected:
    HostInfoExchange() {
        m_server.SetHostName("host1");
        m_server.m_ipAddr = Ip("192.0.2.1");
        m_server.m_subnetMask = Ip("255.255.255.0");
        m_server.m_defaultGateway = Ip("192.0.2.254");
        m_server.m_override = 1;
        m_server.m_nodes.Replace({testing::Row("192.0.2.10", "001A2B3C4D5E")});
    }
    std::string Get() {
        std::string text;
        EXPECT_EQ(get_HostInfoXml(m_server, &text), S_OK);
        return text;
    }
    void Put(std::string_view text) { EXPECT_EQ(put_HostInfoXml(m_server, text), S_OK) << text; }
    // The identity as one comparable text: override, name and addresses.
    std::string Identity() const {
        return std::to_string(m_server.m_override) + " " + std::string(m_server.HostName()) + " " +
               net::InetNtoa(m_server.m_ipAddr) + " " + net::InetNtoa(m_server.m_subnetMask) + " " +
               net::InetNtoa(m_server.m_defaultGateway);
    }

    FyBootpServer m_server;
};

TEST_F(HostInfoExchange, GetReportsTheOverrideFlagAndTheIdentity) {
    EXPECT_EQ(Get(), std::string(kDeclaration) + "<FyBootpInfo>" + kHost1 + "</FyBootpInfo>\n");
    m_server.m_override = 0;
    EXPECT_EQ(Get(), std::string(kDeclaration) + "<FyBootpInfo><HostInfo><Override>0</Override>" +
                         kHost1.substr(kHost1.find("<Name>")) + "</FyBootpInfo>\n");
    EXPECT_FALSE(testing::InfoFileExists());
}

TEST_F(HostInfoExchange, GetAfterAStartReportsTheIdentityTheStartFound) {
    const testing::FakeHostInfoSource host = testing::DetectableHost();
    std::string text;
    const auto detected = testing::StartServer(LibxmlDocumentFactory(), host);
    ASSERT_NE(detected, nullptr);
    EXPECT_EQ(get_HostInfoXml(*detected, &text), S_OK);
    EXPECT_EQ(text, std::string(kDeclaration) +
                        "<FyBootpInfo><HostInfo><Override>0</Override><Name>detected-host</Name>"
                        "<IpAddr>198.51.100.7</IpAddr><SubnetMask>255.255.255.0</SubnetMask>"
                        "<DefaultGateway>198.51.100.1</DefaultGateway></HostInfo></FyBootpInfo>\n");

    WriteInfoFile("<FyBootpInfo>" + kHost1 + "</FyBootpInfo>");
    const auto fixed = testing::StartServer(LibxmlDocumentFactory(), host);
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(get_HostInfoXml(*fixed, &text), S_OK);
    EXPECT_EQ(text, std::string(kDeclaration) + "<FyBootpInfo>" + kHost1 + "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, GetNeedsAnOutParameterAndADocument) {
    EXPECT_EQ(get_HostInfoXml(m_server, nullptr), E_POINTER);
    std::string text = "unchanged";
    EXPECT_EQ(get_HostInfoXml(m_server, &text, testing::NoDocumentFactory()), E_POINTER);
    EXPECT_EQ(text, "unchanged");
}

TEST_F(HostInfoExchange, PutOfOnlyANameChangesTheNameAndStoresTheWholeIdentity) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + kHost1 + "</FyBootpInfo>");
    Put(HostInfoText("<Name>host2</Name>"));
    EXPECT_EQ(Identity(), "1 host2 192.0.2.1 255.255.255.0 192.0.2.254");
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes +
                  StoredHost("host2", "192.0.2.1", "255.255.255.0", "192.0.2.254") +
                  "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, PutOfOnlyANameWithOverrideOffRemovesHostInfoFromTheFile) {
    m_server.m_override = 0;
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kHost1 + kNodes + "</FyBootpInfo>");
    Put(HostInfoText("<Name>host2</Name>"));
    EXPECT_EQ(Identity(), "0 host2 192.0.2.1 255.255.255.0 192.0.2.254");
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, PutOfOverrideZeroAloneRemovesHostInfoAndKeepsTheAddresses) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + kHost1 + "</FyBootpInfo>");
    Put(HostInfoText("<Override>0</Override>"));
    EXPECT_EQ(Identity(), "0 host1 192.0.2.1 255.255.255.0 192.0.2.254");
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, EmptyNameGivesAnEmptyHostName) {
    Put(HostInfoText("<Name/>"));
    EXPECT_EQ(Identity(), "1  192.0.2.1 255.255.255.0 192.0.2.254");
}

TEST_F(HostInfoExchange, PutValuesComeBackFromGetInCanonicalForm) {
    m_server.m_override = 0;
    Put(HostInfoText(
        "<Override>1</Override><Name>host3</Name><IpAddr>0300.0.2.012</IpAddr>"
        "<SubnetMask>0xffffff00</SubnetMask><DefaultGateway>198.51.100.300</DefaultGateway>"));
    EXPECT_EQ(Get(), std::string(kDeclaration) + "<FyBootpInfo>" +
                         StoredHost("host3", "192.0.2.10", "255.255.255.0", "255.255.255.255") +
                         "</FyBootpInfo>\n");
}

// Each text turns the flag the other way from the one before.
TEST_F(HostInfoExchange, OverrideTakesNumbersAndTheWordsTrueAndFalse) {
    for (const auto& [text, expected] : {std::pair<const char*, int>{"0", 0},
                                         {"true", 1},
                                         {"FALSE", 0},
                                         {"-1", 1},
                                         {"00", 0},
                                         {"99999999999999999999", 1},
                                         {"False", 0}}) {
        Put(HostInfoText("<Override>" + std::string(text) + "</Override>"));
        EXPECT_EQ(m_server.m_override, expected) << text;
    }
}

TEST_F(HostInfoExchange, PutAfterWhichTheFileIsReadAgainGivesTheSameIdentity) {
    const testing::FakeHostInfoSource host = testing::DetectableHost();
    Put(HostInfoText("<Name>host4</Name><IpAddr>198.51.100.2</IpAddr>"));
    FyBootpServer fixed;
    LoadInfoDocument(fixed, LibxmlDocumentFactory(), host);
    EXPECT_EQ(fixed.HostName(), "host4");
    EXPECT_EQ(fixed.m_ipAddr, Ip("198.51.100.2"));
    EXPECT_EQ(fixed.m_override, 1);

    Put(HostInfoText("<Override>0</Override>"));
    FyBootpServer detected;
    LoadInfoDocument(detected, LibxmlDocumentFactory(), host);
    EXPECT_EQ(detected.HostName(), "detected-host");
    EXPECT_EQ(detected.m_override, 0);
    EXPECT_EQ(detected.m_nodes.Size(), 1u);
}

TEST_F(HostInfoExchange, PutWaitsForTheResponderLock) {
    EXPECT_TRUE(
        testing::WaitsForTheLock(m_server, [&] { Put(HostInfoText("<Name>host5</Name>")); }));
    EXPECT_EQ(m_server.HostName(), "host5");
}

// A name longer than the field is cut at 99 bytes, or before a character
// that would not fit whole.
TEST_F(HostInfoExchange, LongNameIsCutTo99BytesWithoutSplittingACharacter) {
    const std::string ascii(150, 'a');
    Put(HostInfoText("<Name>" + ascii + "</Name>"));
    EXPECT_EQ(m_server.HostName(), ascii.substr(0, 99));
    EXPECT_NE(ReadInfoFile()->find("<Name>" + ascii.substr(0, 99) + "</Name>"), std::string::npos);

    const std::string split = std::string(98, 'b') + "\xC3\xA9";  // é would take bytes 99 and 100
    Put(HostInfoText("<Name>" + split + "</Name>"));
    EXPECT_EQ(m_server.HostName(), std::string(98, 'b'));

    const std::string fits = std::string(97, 'c') + "\xC3\xA9" + "d";  // é is bytes 98 and 99
    Put(HostInfoText("<Name>" + fits + "</Name>"));
    EXPECT_EQ(m_server.HostName(), fits.substr(0, 99));
}

// Texts that change nothing, in the server or in the file.
class RefusedHostInfo : public HostInfoExchange {
protected:
    RefusedHostInfo() { WriteInfoFile(m_file); }
    void ExpectNothingChanged(std::string_view text) {
        EXPECT_EQ(Identity(), "1 host1 192.0.2.1 255.255.255.0 192.0.2.254") << text;
        EXPECT_EQ(*ReadInfoFile(), m_file) << text;
    }
    const std::string m_file = "<FyBootpInfo>" + kHost1 + "</FyBootpInfo>";
};

TEST_F(RefusedHostInfo, TextThatIsNotXmlIsIgnored) {
    for (const std::string& text :
         {std::string(), std::string("host2"), HostInfoText("<Name>host2</Name>").substr(1)}) {
        Put(text);
        ExpectNothingChanged(text);
    }
}

TEST_F(RefusedHostInfo, HostInfoNotUnderARootFyBootpInfoFailsWithEPointer) {
    for (const char* text :
         {"<Other><HostInfo><Name>host2</Name></HostInfo></Other>",
          "<FyBootpInfo><Nodes><HostInfo><Name>host2</Name></HostInfo></Nodes></FyBootpInfo>",
          "<FyBootpInfo xmlns=\"urn:x\"><HostInfo><Name>host2</Name></HostInfo></FyBootpInfo>",
          "<FyBootpInfo/>"}) {
        EXPECT_EQ(put_HostInfoXml(m_server, text), E_POINTER) << text;
        ExpectNothingChanged(text);
    }
}

TEST_F(RefusedHostInfo, OverrideThatIsNoBooleanFailsWithTypeMismatch) {
    for (const char* flag : {"maybe", "", "yes"}) {
        const std::string text =
            HostInfoText("<Override>" + std::string(flag) +
                         "</Override><Name>host2</Name><IpAddr>192.0.2.2</IpAddr>");
        EXPECT_EQ(put_HostInfoXml(m_server, text), DISP_E_TYPEMISMATCH) << flag;
        ExpectNothingChanged(text);
    }
}

TEST_F(RefusedHostInfo, WithoutADocumentNothingChanges) {
    const std::string text = HostInfoText("<Override>0</Override><Name>host2</Name>");
    EXPECT_EQ(put_HostInfoXml(m_server, text, testing::NoDocumentFactory()), S_OK);
    ExpectNothingChanged(text);
}

// What a put leaves in FyBootpInfo.xml.
TEST_F(HostInfoExchange, AbsentFileIsCreatedWithTheDeclarationTheRootTheTableAndHostInfo) {
    Put(HostInfoText("<Name>host2</Name>"));
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes +
                  StoredHost("host2", "192.0.2.1", "255.255.255.0", "192.0.2.254") +
                  "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, MalformedFileIsReplacedWithoutHostInfoWhenOverrideGoesOff) {
    WriteInfoFile("<FyBootpInfo>" + kHost1);
    Put(HostInfoText("<Override>0</Override>"));
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, HostInfoBeforeNodesMovesBehindNodes) {
    WriteInfoFile(std::string(kDeclaration) + "<FyBootpInfo>" + kHost1 + kNodes + "</FyBootpInfo>");
    Put(HostInfoText("<Override>1</Override>"));
    EXPECT_EQ(*ReadInfoFile(),
              std::string(kDeclaration) + "<FyBootpInfo>" + kNodes + kHost1 + "</FyBootpInfo>\n");
}

TEST_F(HostInfoExchange, FileWithAnotherRootIsSavedUnchanged) {
    WriteInfoFile("<Other>" + kHost1 + "</Other>\n");
    Put(HostInfoText("<Name>host2</Name>"));
    EXPECT_EQ(m_server.HostName(), "host2");
    EXPECT_EQ(*ReadInfoFile(), "<Other>" + kHost1 + "</Other>\n");
}

// Only the first HostInfo is replaced: the second one stays ahead of the
// new one, and the next start, which reads the first, takes its values.
TEST_F(HostInfoExchange, EveryStoredHostInfoIsReplacedSoTheNewIdentitySurvivesARestart) {
    const std::string second = StoredHost("old2", "198.51.100.2", "255.255.0.0", "198.51.100.1");
    WriteInfoFile("<FyBootpInfo>" +
                  StoredHost("old1", "198.51.100.1", "255.0.0.0", "198.51.100.254") + second +
                  kNodes + "</FyBootpInfo>");
    Put(HostInfoText("<Name>host2</Name>"));
    EXPECT_EQ(*ReadInfoFile(),
              "<FyBootpInfo>" + kNodes +
                  StoredHost("host2", "192.0.2.1", "255.255.255.0", "192.0.2.254") +
                  "</FyBootpInfo>\n");
    FyBootpServer restarted;
    LoadInfoDocument(restarted, LibxmlDocumentFactory(), testing::DetectableHost());
    EXPECT_EQ(restarted.HostName(), "host2");
}

TEST_F(HostInfoExchange, WithoutADocumentForTheFileTheIdentityChangesAndTheFileIsLeft) {
    WriteInfoFile("<FyBootpInfo>" + kHost1 + "</FyBootpInfo>");
    testing::LimitedDocumentFactory oneDocument(1);
    EXPECT_EQ(put_HostInfoXml(m_server, HostInfoText("<Override>0</Override>"), oneDocument), S_OK);
    EXPECT_EQ(m_server.m_override, 0);
    EXPECT_EQ(*ReadInfoFile(), "<FyBootpInfo>" + kHost1 + "</FyBootpInfo>");
}

TEST_F(HostInfoExchange, FailedSaveIsReportedTheIdentityStandsAndTheFileStays) {
    const std::string file = "<FyBootpInfo>" + kHost1 + "</FyBootpInfo>";
    WriteInfoFile(file);
    const int code = testing::RunInReadOnlyDirectory(Dir(), [&] {
        if (put_HostInfoXml(m_server, HostInfoText("<Name>host2</Name>")) != E_ACCESSDENIED)
            return 1;
        if (m_server.HostName() != "host2") return 2;
        return 0;
    });
    if (code == testing::kSkipped) GTEST_SKIP() << "mount namespaces are not available";
    EXPECT_EQ(code, 0);
    EXPECT_EQ(*ReadInfoFile(), file);
}

}  // namespace
}  // namespace fybootp
