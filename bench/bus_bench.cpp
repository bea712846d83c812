// fyb_bus_bench: the automation interface through the bus against the same
// calls in process. It starts a private dbus-daemon and `fybootp -Embedding`
// in a scratch FYBOOTP_ROOT (never the machine's bus), and prints:
//   - get_LogChangeCnt latency, p50 and p99, through the proxy and in process;
//   - a 100,000-row BootpInfosXml put (file rewrite included) and get,
//     through the proxy and in process;
//   - the server's VmRSS idle and after 10,000 connect-create-release cycles.
// No responder is started, so no BOOTP traffic exists.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>

#include "automation/class_object.h"
#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "bench/document_bench_inputs.h"
#include "bench/in_process_server.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "platform/com/com_ptr.h"
#include "tests/host/bus_test_support.h"

namespace fybootp::bench {
namespace {

using Clock = std::chrono::steady_clock;
using testing::Child;
using testing::PrivateBus;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

long VmRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void Latency(const char* label, IFyBootpServer* server, int calls) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(calls));
    std::int32_t count = 0;
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        server->get_LogChangeCnt(&count);
        times.push_back(Micros(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    std::printf("get_LogChangeCnt %-10s p50 %8.2f us  p99 %8.2f us  (%d calls)\n", label,
                times[times.size() / 2], times[times.size() * 99 / 100], calls);
}

void Table(const char* label, IFyBootpServer* server, const std::string& text) {
    BSTR put = SysAllocString(text);
    const auto start = Clock::now();
    const HRESULT putStatus = server->put_BootpInfosXml(put);
    const auto middle = Clock::now();
    Bstr got;
    const HRESULT getStatus = server->get_BootpInfosXml(got.Receive());
    const auto end = Clock::now();
    SysFreeString(put);
    std::printf(
        "BootpInfosXml 100,000 rows %-10s put %8.1f ms (0x%08X)  get %8.1f ms (0x%08X, %u bytes)\n",
        label, Micros(middle - start) / 1000, static_cast<unsigned>(putStatus),
        Micros(end - middle) / 1000, static_cast<unsigned>(getStatus), SysStringLen(got.Get()));
}

ComPtr<IFyBootpServer> Proxy() {
    void* raw = nullptr;
    bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                          IID_IFyBootpServer, &raw);
    return ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
}

int Run() {
    const std::string table = TableText(100'000);
    {
        const InProcessServer server;
        if (server.Get() == nullptr) return 1;
        Latency("in process", server.Get(), 200'000);
        Table("in process", server.Get(), table);
    }
    std::string whyNot;
    auto bus = PrivateBus::Start(&whyNot);
    if (!bus) {
        std::fprintf(stderr, "no private bus: %s\n", whyNot.c_str());
        return 1;
    }
    bus->SeedAppId(false);
    host::RegisterFyBootpProxy();
    Child server(testing::FybootpPath(), {"fybootp", "-Embedding"}, {}, bus->ServerDirectory());
    if (!bus->WaitForName(true)) return 1;
    // A lock of its own keeps the server between the cycles below.
    sd_bus* keeper = bus->Connect();
    sd_bus_call_method(keeper, "org.fybootp.FyBootpServer", "/org/fybootp/FyBootpServer",
                       "org.fybootp.ClassFactory", "LockServer", nullptr, nullptr, "b", 1);
    // Memory first, with the empty table of a fresh server; one cycle
    // before the baseline, so that one-time costs are not counted as growth.
    Proxy().Reset();
    const long idle = VmRssKb(server.Pid());
    for (int i = 0; i < 10'000; ++i) Proxy().Reset();
    const long after = VmRssKb(server.Pid());
    std::printf(
        "server VmRSS idle %ld kB, after 10,000 connect-create-release cycles %ld kB (%+ld kB)\n",
        idle, after, after - idle);
    {
        auto proxy = Proxy();
        Latency("bus", proxy.Get(), 20'000);
        Table("bus", proxy.Get(), table);
    }
    sd_bus_flush_close_unref(keeper);
    server.Wait(std::chrono::seconds(10));
    return 0;
}

}  // namespace
}  // namespace fybootp::bench

int main() { return fybootp::bench::Run(); }
