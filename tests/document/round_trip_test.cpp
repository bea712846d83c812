// Whatever sequence of table puts and identity changes the server goes
// through, a fresh start-up load of the file it saved gives back the same
// table and identity. A saved state that the loader rejected, or that lost
// a section, would leave a server that forgets its configuration when it
// restarts.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "document/host_info_store.h"
#include "document/info_file.h"
#include "document/node_table_exchange.h"
#include "platform/net/address_text.h"
#include "tests/document/document_test_support.h"

namespace fybootp {
namespace {

using testing::TableText;

class RandomState {
public:
    explicit RandomState(std::uint32_t seed) : m_random(seed) {}

    // A BootpInfosXml text: valid and invalid rows, repeated addresses,
    // address texts in every form inet_addr knows, whitespace between
    // elements.
    std::string TableText() {
        static const char* kAddressForms[] = {
            "", "abc", "010.0.0.1", "0x0A.1", "3221225985", "198.51.100.300", " 192.0.2.7"};
        std::string text = "<?xml version=\"1.0\"?>\n<FyBootpInfo>\n <Nodes>\n";
        for (int i = Uniform(0, 25); i > 0; --i) {
            std::string address = Uniform(0, 3) == 0
                                      ? kAddressForms[Uniform(0, 6)]
                                      : net::InetNtoa(static_cast<std::uint32_t>(m_random()));
            char mac[13];
            std::snprintf(mac, sizeof mac, Uniform(0, 1) ? "024b77%06x" : "024B77%06X",
                          Uniform(0, 12));
            if (Uniform(0, 9) == 0) mac[Uniform(0, 11)] = 'g';
            text += "  <Node><MacAddr>" + std::string(mac) + "</MacAddr><IpAddr>" + address +
                    "</IpAddr></Node>\n";
        }
        return text + " </Nodes>\n</FyBootpInfo>\n";
    }

    // A host name: any characters a name can hold, XML's special ones
    // included, up to past the 99 bytes the server keeps.
    std::string Name() {
        static const char* kPieces[] = {"a",
                                        "Z",
                                        "0",
                                        "-",
                                        ".",
                                        " ",
                                        "\t",
                                        "\r",
                                        "\n",
                                        "&",
                                        "<",
                                        ">",
                                        "\"",
                                        "'",
                                        "\xC3\xA9",
                                        "\xE6\x97\xA5",
                                        "\xF0\x9F\x98\x80",
                                        "]]>",
                                        "&amp;",
                                        "\xC2\xA0"};
        std::string name;
        for (int i = Uniform(0, 60); i > 0; --i) name += kPieces[Uniform(0, 19)];
        return name;
    }

    Ipv4Address Address() { return static_cast<Ipv4Address>(m_random()); }
    int Uniform(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(m_random);
    }

private:
    std::mt19937 m_random;
};

struct Identity {
    std::string name;
    Ipv4Address ipAddr, subnetMask, defaultGateway;
    std::int32_t override;
    bool operator==(const Identity&) const = default;
};

Identity IdentityOf(const FyBootpServer& server) {
    return {std::string(server.HostName()), server.m_ipAddr, server.m_subnetMask,
            server.m_defaultGateway, server.m_override};
}

class RoundTrip : public testing::InfoFileTest {
protected:
    // What a fresh server comes up with from the file as it now is.
    void ExpectRestartGivesBack(const FyBootpServer& server, const std::string& step) {
        HRESULT hr = E_FAIL;
        const auto restarted = testing::StartServer(LibxmlDocumentFactory(), m_source, &hr);
        ASSERT_EQ(hr, S_OK) << step;
        EXPECT_EQ(TableText(*restarted), TableText(server)) << step;
        const Identity expected = server.m_override != 0 ? IdentityOf(server) : m_detected;
        EXPECT_TRUE(IdentityOf(*restarted) == expected)
            << step << ": name \"" << restarted->HostName() << "\", expected \"" << expected.name
            << '"';
    }

    testing::FakeHostInfoSource m_source = testing::DetectableHost();
    Identity m_detected{"detected-host", testing::Ip("198.51.100.7"), testing::Ip("255.255.255.0"),
                        testing::Ip("198.51.100.1"), 0};
};

TEST_F(RoundTrip, EverySavedStateLoadsBackAsItWas) {
    const std::uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomState random(seed);
    for (int sequence = 0; sequence < 12; ++sequence) {
        std::filesystem::remove(kInfoFileName);
        const auto server = testing::StartServer(LibxmlDocumentFactory(), m_source);
        ASSERT_NE(server, nullptr);
        for (int step = 0; step < 12; ++step) {
            const std::string where =
                "sequence " + std::to_string(sequence) + " step " + std::to_string(step);
            if (random.Uniform(0, 1) == 0) {
                ASSERT_EQ(put_BootpInfosXml(*server, random.TableText()), S_OK) << where;
            } else {
                {
                    std::lock_guard lock(server->m_lock);
                    server->SetHostName(random.Name());
                    server->m_ipAddr = random.Address();
                    server->m_subnetMask = random.Address();
                    server->m_defaultGateway = random.Address();
                    server->m_override = random.Uniform(0, 2) != 0 ? 1 : 0;
                }
                ASSERT_NO_THROW(StoreHostInfo(*server)) << where;
            }
            ExpectRestartGivesBack(*server, where);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
        }
    }
}

TEST_F(RoundTrip, HostNameWithCharactersXmlForbidsStillLeavesALoadableFile) {
    const auto server = testing::StartServer(LibxmlDocumentFactory(), m_source);
    ASSERT_EQ(put_BootpInfosXml(*server,
                                "<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.1</IpAddr>"
                                "<MacAddr>001A2B3C4D5E</MacAddr></Node></Nodes></FyBootpInfo>"),
              S_OK);
    server->SetHostName("bad\x01name\xFF");
    server->m_override = 1;
    StoreHostInfo(*server);
    const auto restarted = testing::StartServer(LibxmlDocumentFactory(), m_source);
    EXPECT_EQ(TableText(*restarted), TableText(*server));
    EXPECT_EQ(restarted->HostName(), "bad\xEF\xBF\xBDname\xEF\xBF\xBD");
    EXPECT_EQ(restarted->m_override, 1);
}

}  // namespace
}  // namespace fybootp
