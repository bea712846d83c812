// The whole chain: fybootp -Embedding running in the server namespace, an
// independent bus client (busctl) and our proxy configuring it over a
// private bus, and Debian's bootpc in the device namespace getting its
// reply. No activation file is installed, so nothing can start a server
// outside the test's namespace.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "platform/com/com_ptr.h"
#include "tests/host/bus_test_support.h"
#include "tests/support/netns.h"

namespace fybootp::testing {
namespace {

constexpr char kHostInfo[] =
    "<FyBootpInfo><HostInfo><Override>1</Override><Name>plant-7</Name>"
    "<IpAddr>192.0.2.1</IpAddr><SubnetMask>255.255.255.0</SubnetMask>"
    "<DefaultGateway>192.0.2.254</DefaultGateway></HostInfo></FyBootpInfo>";

std::string Capture(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    std::array<char, 512> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) output += chunk.data();
    *status = pclose(pipe);
    return output;
}

// Counts PropertiesChanged signals of the server object that name LogChangeCnt.
int OnPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* interface = nullptr;
    if (sd_bus_message_read(message, "s", &interface) < 0) return 0;
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return 0;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* name = nullptr;
        sd_bus_message_read(message, "s", &name);
        if (name != nullptr && std::string_view(name) == "LogChangeCnt")
            ++*static_cast<int*>(userdata);
        sd_bus_message_skip(message, "v");
        sd_bus_message_exit_container(message);
    }
    return 0;
}

class ServerProcessOnTheWire : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        lab = NetnsLab::Create("busp", &whyNot);
        if (!lab) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(lab->AddServerAndDevice("192.0.2.1/24", ""));
        bus = PrivateBus::Start(&whyNot);
        ASSERT_NE(bus, nullptr) << whyNot;
        bus->SeedAppId(false);
        host::RegisterFyBootpProxy();
        server = std::make_unique<Child>(
            "/bin/sh",
            std::vector<std::string>{
                "sh", "-c",
                "exec ip netns exec " + lab->Name("srv") + " " + FybootpPath() + " -Embedding"},
            std::vector<std::string>{}, bus->StateDirectory());
        ASSERT_TRUE(bus->WaitForName(true)) << server->Stderr();
    }

    int Busctl(const std::string& args) {
        int status = -1;
        const std::string output =
            Capture("busctl --address=" + bus->Address() + " " + args, &status);
        EXPECT_EQ(status, 0) << args << ": " << output;
        return status;
    }

    // bootpc's answer for one hardware address, or "" when none came.
    std::string Bootpc(const std::string& mac) {
        int status = -1;
        const std::string output =
            Capture("timeout 30 ip netns exec " + lab->Name("cli") +
                        " bootpc --dev cli0 --hwaddr " + mac + " --returniffail --timeoutwait 5",
                    &status);
        return status == 0 ? output : "";
    }

    std::unique_ptr<NetnsLab> lab;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<Child> server;
};

TEST_F(ServerProcessOnTheWire, BusctlAndProxyConfigureAndTheDeviceIsAnswered) {
    void* raw = nullptr;
    ASSERT_EQ(bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                    IID_IFyBootpServer, &raw),
              S_OK);
    auto proxy = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    const std::string object =
        "org.fybootp.FyBootpServer /org/fybootp/FyBootpServer/Server org.fybootp.IFyBootpServer ";

    // busctl: a node (192.0.2.50 in network order in an int32), the host
    // identity, and the responder.
    Busctl("call " + object + "AddBootpInfo si AABBCCDDEEFF 838992064");
    Busctl("set-property " + object + "HostInfoXml s '" + std::string(kHostInfo) + "'");
    Busctl("set-property " + object + "Started i 1");
    // The proxy: a node (192.0.2.51), the identity again, and Start.
    BSTR mac = SysAllocString("AABBCCDDEE01");
    EXPECT_EQ(proxy->AddBootpInfo(mac, 855769280), S_OK);
    SysFreeString(mac);
    BSTR identity = SysAllocString(kHostInfo);
    EXPECT_EQ(proxy->put_HostInfoXml(identity), S_OK);
    SysFreeString(identity);
    ComPtr<IFyServerControl> control;
    ASSERT_EQ(QueryInterfaceAs(proxy.Get(), IID_IFyServerControl, control.Receive()), S_OK);
    EXPECT_EQ(control->Start(), S_OK);

    // A watcher that never polls: the reply's log entry is signalled.
    sd_bus* watcher = bus->Connect();
    ASSERT_NE(watcher, nullptr);
    int logSignals = 0;
    ASSERT_GE(sd_bus_add_match(watcher, nullptr,
                               "type='signal',path='/org/fybootp/FyBootpServer/Server',"
                               "interface='org.freedesktop.DBus.Properties',"
                               "member='PropertiesChanged'",
                               &OnPropertiesChanged, &logSignals),
              0);

    std::string reply = Bootpc("aabbccddeeff");
    EXPECT_NE(reply.find("IPADDR='192.0.2.50'"), std::string::npos) << reply;
    EXPECT_NE(reply.find("SERVER='192.0.2.1'"), std::string::npos) << reply;
    EXPECT_NE(reply.find("GATEWAYS='192.0.2.254'"), std::string::npos) << reply;
    reply = Bootpc("aabbccddee01");
    EXPECT_NE(reply.find("IPADDR='192.0.2.51'"), std::string::npos) << reply;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (logSignals == 0 && std::chrono::steady_clock::now() < until) {
        if (sd_bus_process(watcher, nullptr) <= 0) sd_bus_wait(watcher, 100'000);
    }
    EXPECT_GT(logSignals, 0) << server->Stderr();
    sd_bus_flush_close_unref(watcher);

    // The client leaves; the running responder keeps the process.
    control.Reset();
    proxy.Reset();
    EXPECT_FALSE(server->Wait(500ms).has_value());
    reply = Bootpc("aabbccddeeff");
    EXPECT_NE(reply.find("IPADDR='192.0.2.50'"), std::string::npos) << reply;

    // Stopping the responder drops the last reference: the process ends.
    Busctl("set-property " + object + "Started i 0");
    EXPECT_EQ(server->Wait(10s), 0);
    EXPECT_FALSE(bus->NameHasOwner());
}

}  // namespace
}  // namespace fybootp::testing
