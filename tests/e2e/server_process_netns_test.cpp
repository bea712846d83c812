// The whole chain: fybootp -Embedding started by the bus as root inside the
// server namespace, dropping to _fybootp, an independent bus client
// (busctl) and our proxy configuring it over a private bus, and Debian's
// bootpc in the device namespace getting its reply. The activation file
// runs the server through `ip netns exec`, so nothing can start a server
// outside the test's namespace.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

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
        // The bus starts the server, as root, in the lab's server namespace;
        // it must give up root there itself.
        const std::string module = bus->Root() + "/fybootp-in-netns";
        std::ofstream(module) << "#!/bin/sh\nexec ip netns exec " << lab->Name("srv") << " "
                              << FybootpPath() << " \"$@\"\n";
        chmod(module.c_str(), 0755);
        bus->InstallActivation(module);
    }

    // The lines of /proc/PID/status of the name's owner that say who it is.
    std::map<std::string, std::string> OwnerStatus() {
        std::map<std::string, std::string> fields;
        int status = -1;
        const std::string pid = Capture("busctl --address=" + bus->Address() +
                                            " call org.freedesktop.DBus /org/freedesktop/DBus "
                                            "org.freedesktop.DBus GetConnectionUnixProcessID s "
                                            "org.fybootp.FyBootpServer | cut -d' ' -f2",
                                        &status);
        std::ifstream file("/proc/" + pid.substr(0, pid.find('\n')) + "/status");
        std::string line;
        while (std::getline(file, line)) {
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::size_t value = line.find_first_not_of(" \t", colon + 1);
            fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
        }
        return fields;
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
};

TEST_F(ServerProcessOnTheWire, BusctlAndProxyConfigureAndTheDeviceIsAnswered) {
    void* raw = nullptr;
    ASSERT_EQ(bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                    IID_IFyBootpServer, &raw),
              S_OK);
    auto proxy = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    // Started as root by the bus, it runs as _fybootp with one capability,
    // CAP_NET_BIND_SERVICE (bit 10), and no group of root's.
    const auto status = OwnerStatus();
    const std::string uid = std::to_string(bus->ServerUid());
    EXPECT_EQ(status.at("Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    for (const char* set : {"CapEff", "CapPrm", "CapBnd"}) {
        EXPECT_EQ(status.at(set), "0000000000000400") << set;
    }
    EXPECT_EQ(status.at("CapAmb"), "0000000000000000");
    EXPECT_EQ(status.at("Groups"), "");
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
    EXPECT_GT(logSignals, 0);
    sd_bus_flush_close_unref(watcher);

    // The client leaves; the running responder keeps the process.
    control.Reset();
    proxy.Reset();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(bus->NameHasOwner());
    reply = Bootpc("aabbccddeeff");
    EXPECT_NE(reply.find("IPADDR='192.0.2.50'"), std::string::npos) << reply;

    // Stopping the responder drops the last reference: the process ends.
    Busctl("set-property " + object + "Started i 0");
    EXPECT_TRUE(bus->WaitForName(false));
}

}  // namespace
}  // namespace fybootp::testing
