// fyb_bus_load_bench: BOOTP replies per second of `fybootp -Embedding` while
// a client polls LogChangeCnt through the bus 100 times a second, against
// the same run without the poller. The server runs in a network namespace
// made here and the requests come from its partner namespace; no datagram
// leaves them. A private dbus-daemon in a scratch FYBOOTP_ROOT carries the
// calls.
//
//   fyb_bus_load_bench [SECONDS_PER_RUN] [ROUNDS]     (defaults 5 and 3)

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "bench/document_bench_inputs.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "platform/com/com_ptr.h"
#include "tests/e2e/udp_client.h"
#include "tests/host/bus_test_support.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/netns.h"

namespace fybootp::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr std::size_t kRows = 1000;

ComPtr<IFyBootpServer> Proxy() {
    void* raw = nullptr;
    bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                          IID_IFyBootpServer, &raw);
    return ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
}

HRESULT PutText(IFyBootpServer* server, HRESULT (IFyBootpServer::*put)(BSTR),
                const std::string& text) {
    BSTR value = SysAllocString(text);
    const HRESULT hr = (server->*put)(value);
    SysFreeString(value);
    return hr;
}

std::uint32_t Xid(const std::vector<std::uint8_t>& m) {
    return std::uint32_t{m[4]} << 24 | std::uint32_t{m[5]} << 16 | std::uint32_t{m[6]} << 8 | m[7];
}

// Closed loop, one request at a time, for `seconds`: answered requests/s.
double RepliesPerSecond(testing::UdpClient& client, int seconds) {
    std::mt19937 random(7);
    std::uint32_t xid = 1;
    long answered = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    const auto start = Clock::now();
    while (Clock::now() < end) {
        const std::size_t k = random() % kRows;
        const MacAddress mac{0x02,
                             0x4B,
                             0x77,
                             static_cast<std::uint8_t>(k >> 16),
                             static_cast<std::uint8_t>(k >> 8),
                             static_cast<std::uint8_t>(k)};
        ++xid;
        client.SendBroadcast(testing::MakeRequest(mac, xid));
        while (auto reply = client.Receive(200)) {
            if (reply->bytes.size() == 300 && Xid(reply->bytes) == xid) {
                ++answered;
                break;
            }
        }
    }
    return static_cast<double>(answered) /
           std::chrono::duration<double>(Clock::now() - start).count();
}

int Run(int seconds, int rounds) {
    // As the load harness does it: the generator on CPU 0, the server on
    // CPU 1 (the bus daemon and the poller go where the scheduler puts them).
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_setaffinity(0, sizeof(cpus), &cpus);
    std::string whyNot;
    auto lab = testing::NetnsLab::Create("bload", &whyNot);
    if (!lab || !lab->AddServerAndDevice("192.0.2.1/24", "")) {
        std::fprintf(stderr, "no namespaces: %s\n", whyNot.c_str());
        return 1;
    }
    auto bus = testing::PrivateBus::Start(&whyNot);
    if (!bus) {
        std::fprintf(stderr, "no private bus: %s\n", whyNot.c_str());
        return 1;
    }
    bus->SeedAppId(false);
    host::RegisterFyBootpProxy();
    testing::Child server("/bin/sh",
                          {"sh", "-c",
                           "exec ip netns exec " + lab->Name("srv") + " taskset -c 1 " +
                               testing::FybootpPath() + " -Embedding"},
                          {}, bus->ServerDirectory());
    if (!bus->WaitForName(true)) return 1;
    auto proxy = Proxy();
    PutText(proxy.Get(), &IFyBootpServer::put_BootpInfosXml, TableText(kRows));
    PutText(proxy.Get(), &IFyBootpServer::put_HostInfoXml,
            "<FyBootpInfo><HostInfo><Override>1</Override><Name>bench</Name>"
            "<IpAddr>192.0.2.1</IpAddr><SubnetMask>255.255.255.0</SubnetMask>"
            "<DefaultGateway>192.0.2.254</DefaultGateway></HostInfo></FyBootpInfo>");
    if (proxy->put_Started(1) != S_OK) return 1;

    testing::NetnsLab::Inside inside(*lab, "cli");
    testing::UdpClient client;
    double bestPlain = 0;
    double bestPolled = 0;
    long polls = 0;
    for (int round = 0; round < rounds; ++round) {
        const double plain = RepliesPerSecond(client, seconds);
        std::atomic<bool> stop{false};
        std::thread poller([&] {
            auto reader = Proxy();
            std::int32_t count = 0;
            for (auto next = Clock::now(); !stop; next += 10ms) {
                if (reader->get_LogChangeCnt(&count) == S_OK) ++polls;
                std::this_thread::sleep_until(next + 10ms);
            }
        });
        const double polled = RepliesPerSecond(client, seconds);
        stop = true;
        poller.join();
        std::printf("round %d: %.0f replies/s plain, %.0f replies/s while polling\n", round + 1,
                    plain, polled);
        bestPlain = std::max(bestPlain, plain);
        bestPolled = std::max(bestPolled, polled);
    }
    std::printf("best: %.0f plain, %.0f polled (%ld polls): %.2fx (target >= 0.9x)\n", bestPlain,
                bestPolled, polls, bestPolled / bestPlain);
    proxy->put_Started(0);
    proxy.Reset();
    server.Wait(10s);
    return 0;
}

}  // namespace
}  // namespace fybootp::bench

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    return fybootp::bench::Run(seconds, rounds);
}
