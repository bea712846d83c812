// Clients that nobody here wrote: Debian's bootpc asks our responder for an
// address, and tshark dissects a reply as a well-formed BOOTP message. Both
// run inside a client namespace joined to the server namespace by a veth pair.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "core/fy_bootp_server.h"
#include "tests/e2e/udp_client.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/netns.h"

namespace fybootp {
namespace {

using testing::Addr;
using testing::MakeRequest;
using testing::NetnsLab;

const MacAddress kDevice = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

std::string Capture(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    std::array<char, 512> chunk;
    while (std::fgets(chunk.data(), chunk.size(), pipe) != nullptr) output += chunk.data();
    *status = pclose(pipe);
    return output;
}

bool Have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

class RealClients : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        lab = NetnsLab::Create("real", &whyNot);
        if (!lab) GTEST_SKIP() << whyNot;
        ASSERT_TRUE(lab->AddServerAndDevice("192.0.2.1/24", ""));
        server = std::make_unique<FyBootpServer>();
        server->m_nodes.Replace({{Addr(192, 0, 2, 50), kDevice}});
        server->SetHostName("fybootp-test");
        server->m_ipAddr = Addr(192, 0, 2, 1);
        server->m_subnetMask = Addr(255, 255, 255, 0);
        server->m_defaultGateway = Addr(192, 0, 2, 254);
        NetnsLab::Inside inside(*lab, "srv");
        ASSERT_TRUE(inside.Entered());
        server->put_Started(1);
        std::int32_t started = 0;
        server->get_Started(&started);
        ASSERT_EQ(started, 1);
    }
    void TearDown() override { server.reset(); }

    std::unique_ptr<NetnsLab> lab;
    std::unique_ptr<FyBootpServer> server;
};

TEST_F(RealClients, BootpcReceivesAddressMaskAndRouter) {
    if (!Have("bootpc")) GTEST_FAIL() << "bootpc is not installed (scripts/install-deps)";
    int status = -1;
    const std::string output =
        Capture("timeout 30 ip netns exec " + lab->Name("cli") +
                    " bootpc --dev cli0 --hwaddr aabbccddeeff --returniffail --timeoutwait 5",
                &status);
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("IPADDR='192.0.2.50'"), std::string::npos) << output;
    EXPECT_NE(output.find("NETMASK='255.255.255.0'"), std::string::npos) << output;
    EXPECT_NE(output.find("GATEWAYS='192.0.2.254'"), std::string::npos) << output;
    EXPECT_NE(output.find("SERVER='192.0.2.1'"), std::string::npos) << output;
}

TEST_F(RealClients, TsharkDissectsTheReplyWithoutWarnings) {
    if (!Have("tshark")) GTEST_FAIL() << "tshark is not installed (scripts/install-deps)";
    char dir[] = "/tmp/fyb-tshark-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/reply.pcap";

    // tshark captures the first reply and exits; requests go out until it
    // has one, so its start-up time does not matter. Bounded by timeout.
    const pid_t capture = fork();
    ASSERT_GE(capture, 0);
    if (capture == 0) {
        const std::string ns = lab->Name("cli");
        execlp("timeout", "timeout", "20", "ip", "netns", "exec", ns.c_str(), "tshark", "-q", "-i",
               "cli0", "-c", "1", "-f", "udp src port 67", "-w", file.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    std::unique_ptr<testing::UdpClient> client;
    {
        NetnsLab::Inside inside(*lab, "cli");
        client = std::make_unique<testing::UdpClient>(6800);  // leave 68 to the capture's view
    }
    int status = -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        client->SendBroadcast(MakeRequest(kDevice, 0x5EED0000u + static_cast<unsigned>(attempt)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (waitpid(capture, &status, WNOHANG) == capture) break;
    }
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
        kill(capture, SIGTERM);
        waitpid(capture, &status, 0);
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "capture failed";

    const std::string dissection = Capture("tshark -r " + file + " -V", &status);
    ASSERT_EQ(status, 0) << dissection;
    EXPECT_NE(dissection.find("Message type: Boot Reply (2)"), std::string::npos) << dissection;
    EXPECT_NE(dissection.find("Your (client) IP address: 192.0.2.50"), std::string::npos);
    EXPECT_NE(dissection.find("Server host name: fybootp-test"), std::string::npos);
    EXPECT_NE(dissection.find("Subnet Mask: 255.255.255.0"), std::string::npos);
    EXPECT_NE(dissection.find("Router: 192.0.2.254"), std::string::npos);
    EXPECT_EQ(dissection.find("Malformed"), std::string::npos) << dissection;
    EXPECT_EQ(dissection.find("Expert Info"), std::string::npos) << dissection;

    const std::string expert = Capture("tshark -r " + file + " -q -z expert", &status);
    EXPECT_EQ(expert.find("Warns"), std::string::npos) << expert;
    EXPECT_EQ(expert.find("Errors"), std::string::npos) << expert;
    std::system(("rm -rf " + std::string(dir)).c_str());
}

}  // namespace
}  // namespace fybootp
