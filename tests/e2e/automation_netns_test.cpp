// The automation interface driving a real responder: what a client changes
// through it is what the next reply carries. Server and device live in
// namespaces made by the test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "automation/class_object.h"
#include "automation/fybootp_ids.h"
#include "platform/com/com_ptr.h"
#include "tests/document/document_test_support.h"
#include "tests/e2e/udp_client.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/netns.h"

namespace fybootp::testing {
namespace {

const MacAddress kDevice = {0x02, 0x4B, 0x77, 0x00, 0x00, 0x2A};
constexpr std::int32_t kDeviceAddress = 0x140200C0;  // 192.0.2.20, network order in a long

std::uint32_t Xid(const std::vector<std::uint8_t>& m) {
    return std::uint32_t{m[4]} << 24 | std::uint32_t{m[5]} << 16 | std::uint32_t{m[6]} << 8 | m[7];
}

class AutomationOnTheWire : public InfoFileTest {
protected:
    void SetUp() override {
        std::string whyNot;
        lab = NetnsLab::Create("auto", &whyNot);
        if (!lab) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(lab->AddServerAndDevice("192.0.2.1/24", ""));

        const ClassObjectServices services{.lock = lock,
                                           .typeInfo = typeInfo,
                                           .documents = LibxmlDocumentFactory(),
                                           .hostInfo = host,
                                           .responderPlatform = nullptr,
                                           .disconnect = {}};
        ASSERT_EQ(CreateFyBootpClassObject(services, &classObject), S_OK);
        void* raw = nullptr;
        ASSERT_EQ(classObject->CreateInstance(nullptr, IID_IFyBootpServer, &raw), S_OK);
        server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
        {
            NetnsLab::Inside inside(*lab, "srv");
            ASSERT_TRUE(inside.Entered());
            ASSERT_EQ(server->put_Started(1), S_OK);
        }
        std::int32_t started = 0;
        server->get_Started(&started);
        ASSERT_EQ(started, 1);
        NetnsLab::Inside inside(*lab, "cli");
        device = std::make_unique<UdpClient>();
        ASSERT_TRUE(device->Ok());
    }

    void TearDown() override {
        server.Reset();
        if (classObject != nullptr) classObject->Release();
    }

    // Asks once; the reply, if one comes within the time.
    std::optional<ReceivedDatagram> Ask(std::uint32_t xid, int waitMs = 3000) {
        EXPECT_TRUE(device->SendBroadcast(MakeRequest(kDevice, xid)));
        return device->Receive(waitMs);
    }

    HRESULT Put(HRESULT (IFyBootpServer::*put)(BSTR), std::string_view text) {
        BSTR value = SysAllocString(text);
        const HRESULT hr = (server.Get()->*put)(value);
        SysFreeString(value);
        return hr;
    }

    std::unique_ptr<NetnsLab> lab;
    TempDirectory registryDir;
    registry::Registry registry{registryDir.Path()};
    ModuleLock lock;
    TypeInfoCache typeInfo{registry};
    FakeHostInfoSource host = DetectableHost();
    IClassFactory* classObject = nullptr;
    ComPtr<IFyBootpServer> server;
    std::unique_ptr<UdpClient> device;
};

TEST_F(AutomationOnTheWire, AddedNodeIsAnsweredAndDeletedNodeIsNot) {
    // Unknown at first: recorded, not answered.
    ASSERT_TRUE(device->SendBroadcast(MakeRequest(kDevice, 1)));
    std::int32_t newMacs = 0;
    for (int i = 0; i < 300 && newMacs == 0; ++i) {
        server->get_NewMacCnt(&newMacs);
        usleep(10000);
    }
    ASSERT_EQ(newMacs, 1);

    BSTR mac = SysAllocString("024B7700002A");
    ASSERT_EQ(server->AddBootpInfo(mac, kDeviceAddress), S_OK);
    auto reply = Ask(2);
    ASSERT_TRUE(reply.has_value()) << "the added node was not answered";
    EXPECT_EQ(Xid(reply->bytes), 2u);
    EXPECT_EQ(std::memcmp(&reply->bytes[16], "\xC0\x00\x02\x14", 4), 0);

    ASSERT_EQ(server->DeleteBootpInfo(mac), S_OK);
    SysFreeString(mac);
    EXPECT_FALSE(Ask(3, 500).has_value());
}

TEST_F(AutomationOnTheWire, HostIdentityPutChangesTheNextReply) {
    BSTR mac = SysAllocString("024B7700002A");
    ASSERT_EQ(server->AddBootpInfo(mac, kDeviceAddress), S_OK);
    SysFreeString(mac);
    ASSERT_EQ(Put(&IFyBootpServer::put_HostInfoXml,
                  "<FyBootpInfo><HostInfo><Override>1</Override><Name>plant-7</Name>"
                  "<IpAddr>192.0.2.1</IpAddr><SubnetMask>255.255.255.0</SubnetMask>"
                  "<DefaultGateway>192.0.2.254</DefaultGateway></HostInfo></FyBootpInfo>"),
              S_OK);
    auto reply = Ask(4);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(std::memcmp(&reply->bytes[20], "\xC0\x00\x02\x01", 4), 0);  // siaddr
    EXPECT_STREQ(reinterpret_cast<const char*>(&reply->bytes[44]), "plant-7");
    EXPECT_EQ(std::memcmp(&reply->bytes[242], "\xFF\xFF\xFF\x00", 4), 0);  // mask
    EXPECT_EQ(std::memcmp(&reply->bytes[248], "\xC0\x00\x02\xFE", 4), 0);  // router

    ASSERT_EQ(Put(&IFyBootpServer::put_HostInfoXml,
                  "<FyBootpInfo><HostInfo><Name>plant-8</Name></HostInfo></FyBootpInfo>"),
              S_OK);
    reply = Ask(5);
    ASSERT_TRUE(reply.has_value());
    EXPECT_STREQ(reinterpret_cast<const char*>(&reply->bytes[44]), "plant-8");
    EXPECT_EQ(std::memcmp(&reply->bytes[20], "\xC0\x00\x02\x01", 4), 0);  // unchanged
}

}  // namespace
}  // namespace fybootp::testing
