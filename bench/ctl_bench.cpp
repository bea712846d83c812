// fyb_ctl_bench: fybootpctl as an operator runs it, a process through a
// private bus, against the same operation on the server object in process.
//
// It enters a network namespace of its own (the server the bus starts runs
// its responder there, so no BOOTP socket opens in the machine's namespace),
// starts a private dbus-daemon with the activation file in a scratch
// FYBOOTP_ROOT (tests/host/bus_test_support) and, for each table size:
//   - "on demand": no server runs; the command's call starts it, and it
//     ends again when the command has let go (waited for before the next run);
//   - "kept running": a second connection holds LockServer, so the server
//     stays between runs;
//   - "in process": the server object in this process, in a scratch working
//     directory, the same put, get and add.
// Each command runs RUNS times; best and median are printed. Standard output
// of fybootpctl goes to /dev/null, so its own formatting counts but no
// terminal does.
//
// With --memory, after the timings of each size: the server (responder
// started, its log filled to its limit by requests on the namespace's
// loopback) and one get of BootpInfosXml and of LogEntries through the bus,
// each with the server's VmHWM rise (its peak reset first through
// clear_refs) and its VmRSS before and after; and the full-log get in
// process.
//
// With --with-bus COMMAND...: only the private bus, around a command (for
// bench/soak.sh).
//
// Run: sudo build/release/bench/fyb_ctl_bench [--memory] [RUNS=5] [NODES=1000,100000]
// (see bench/README.md). FYB_BENCH_SERVER and FYB_BENCH_CTL run other
// builds of fybootp and fybootpctl, for before and after.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "automation/class_object.h"
#include "automation/log_reporting.h"
#include "core/fy_bootp_server.h"
#include "document/node_table_exchange.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "tests/support/bootp_test_messages.h"
#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "bench/document_bench_inputs.h"
#include "bench/in_process_server.h"
#include "platform/com/com_ptr.h"
#include "tests/host/bus_test_support.h"

extern char** environ;

namespace fybootp::bench {
namespace {

using Clock = std::chrono::steady_clock;
using testing::PrivateBus;

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
    double best = 0;
    double median = 0;
};

Figures Summary(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return {times.front(), times[times.size() / 2]};
}

std::string Override(const char* variable, const std::string& otherwise) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : otherwise;
}

std::string CtlPath() { return Override("FYB_BENCH_CTL", FYB_FYBOOTPCTL_PATH); }
std::string ServerPath() { return Override("FYB_BENCH_SERVER", testing::FybootpPath()); }

// A private bus with the server's activation, or null and why on stderr.
std::unique_ptr<PrivateBus> StartBus() {
    std::string whyNot;
    auto bus = PrivateBus::Start(&whyNot);
    if (!bus) {
        std::fprintf(stderr, "no private bus: %s\n", whyNot.c_str());
        return nullptr;
    }
    bus->SeedAppId(false);
    bus->InstallActivation(ServerPath());
    return bus;
}

// One fybootpctl run, from spawn to exit; -1 when it failed.
double TimeCtl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"fybootpctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = posix_spawn(&pid, CtlPath().c_str(), &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double took = Millis(Clock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "fybootpctl");
        for (const auto& arg : args) std::fprintf(stderr, " %s", arg.c_str());
        std::fprintf(stderr, ": exit status 0x%x\n", status);
        return -1;
    }
    return took;
}

void Print(const char* nodes, const char* mode, const std::string& what, const Figures& f,
           double inProcess = 0) {
    std::printf("%-8s %-13s %-28s best %8.1f ms  median %8.1f ms", nodes, mode, what.c_str(),
                f.best, f.median);
    if (inProcess > 0) std::printf("  in process %7.1f ms  ratio %5.2fx", inProcess, f.best / inProcess);
    std::printf("\n");
    std::fflush(stdout);
}

std::string Mac(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "02:4b:78:00:%02x:%02x", (i >> 8) & 0xFF, i & 0xFF);
    return text;
}

// The same operations on the server object in this process.
struct InProcess {
    double put = 0, get = 0, add = 0;
};

InProcess MeasureInProcess(const std::string& table, int runs) {
    const InProcessServer object;
    InProcess result;
    IFyBootpServer* server = object.Get();
    if (server == nullptr) return result;
    std::vector<double> puts, gets, adds;
    for (int i = 0; i < runs; ++i) {
        BSTR put = SysAllocString(table);
        auto start = Clock::now();
        server->put_BootpInfosXml(put);
        puts.push_back(Millis(Clock::now() - start));
        SysFreeString(put);
        start = Clock::now();
        {
            Bstr got;
            server->get_BootpInfosXml(got.Receive());
        }
        gets.push_back(Millis(Clock::now() - start));
        char mac12[24];
        std::snprintf(mac12, sizeof mac12, "024B7800%04X", static_cast<unsigned>(60000 + i) & 0xFFFFu);
        BSTR mac = SysAllocString(std::string(mac12));
        start = Clock::now();
        server->AddBootpInfo(mac, 0x0A630000 + i);
        adds.push_back(Millis(Clock::now() - start));
        SysFreeString(mac);
    }
    return {Summary(puts).best, Summary(gets).best, Summary(adds).best};
}

// ---- Memory of large reads ------------------------------------------------

long StatusKb(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

// VmHWM starts again from the current VmRSS (proc(5), clear_refs 5).
void ResetPeak(pid_t pid) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

pid_t ServerPid(const PrivateBus& bus) {
    sd_bus* client = bus.Connect();
    sd_bus_message* reply = nullptr;
    std::uint32_t pid = 0;
    if (sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "GetConnectionUnixProcessID", nullptr, &reply,
                           "s", "org.fybootp.FyBootpServer") >= 0) {
        sd_bus_message_read(reply, "u", &pid);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(client);
    return static_cast<pid_t>(pid);
}

MacAddress TableMac(std::size_t k) {
    return {0x02, 0x4B, 0x77, static_cast<std::uint8_t>(k >> 16), static_cast<std::uint8_t>(k >> 8),
            static_cast<std::uint8_t>(k)};
}

// `count` requests of listed nodes to the responder on this namespace's
// loopback, paced so that its socket never overflows by much.
void Ask(std::size_t count, std::size_t rows) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(67);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (std::size_t i = 0; i < count; ++i) {
        const auto request = testing::MakeRequest(TableMac(i % rows), static_cast<std::uint32_t>(i));
        sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (i % 200 == 199) std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    close(fd);
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// One get through the bus: its time, the text's size, and the server's
// VmHWM rise above its VmRSS before the call, and its VmRSS once the reply
// has gone and the server's trim has had its turn.
void MeasureGet(const char* label, pid_t server, IFyBootpServer* proxy,
                HRESULT (IFyBootpServer::*get)(BSTR*), const char* row) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ResetPeak(server);
    const long before = StatusKb(server, "VmRSS");
    Bstr text;
    const auto start = Clock::now();
    const HRESULT status = (proxy->*get)(text.Receive());
    const double took = Millis(Clock::now() - start);
    const std::string got = text.Str();
    text = Bstr();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long peak = StatusKb(server, "VmHWM");
    const long after = StatusKb(server, "VmRSS");
    const double bytes = static_cast<double>(got.size());
    std::printf(
        "%-22s 0x%08X %7zu rows %9.0f bytes  bus %7.1f ms  server VmRSS before %6ld kB  "
        "VmHWM rise %+7ld kB (%.2fx the text)  VmRSS after %6ld kB (%+ld kB)\n",
        label, static_cast<unsigned>(status), Count(got, row), bytes, took, before, peak - before,
        static_cast<double>(peak - before) * 1024 / bytes, after, after - before);
    std::fflush(stdout);
}

// The full-log get in process: a server object whose log the responder's
// own path filled to its limit.
void InProcessLogGet(int runs) {
    struct : ReplySink {
        void Send(const bootp::Message&) override {}
    } replies;
    FyBootpServer server;
    {
        std::lock_guard lock(server.m_lock);
        server.m_nodes.Replace({{htonl(0xC0000201), TableMac(1)}});
        for (std::size_t i = 0; i < LogList::kDefaultLimit + 10; ++i) {
            server.HandleDatagram(testing::MakeRequest(TableMac(1), static_cast<std::uint32_t>(i)),
                                  replies);
        }
    }
    std::vector<double> times;
    std::size_t size = 0;
    for (int i = 0; i < runs; ++i) {
        std::string text;
        const auto start = Clock::now();
        get_LogEntries(server, &text);
        times.push_back(Millis(Clock::now() - start));
        size = text.size();
    }
    const Figures f = Summary(times);
    std::printf("LogEntries in process  %zu entries %zu bytes  best %.1f ms  median %.1f ms\n",
                LogList::kDefaultLimit, size, f.best, f.median);
}

int MeasureMemory(PrivateBus& privateBus, std::size_t rows, int runs) {
    InProcessLogGet(runs);
    if (TimeCtl({"start"}) < 0) return 1;  // the responder keeps the server running
    const pid_t server = ServerPid(privateBus);
    host::RegisterFyBootpProxy();
    void* raw = nullptr;
    if (Failed(bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                     IID_IFyBootpServer, &raw))) {
        return 1;
    }
    auto proxy = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    std::printf("server pid %d, VmRSS %ld kB, VmHWM %ld kB with %zu rows\n", server,
                StatusKb(server, "VmRSS"), StatusKb(server, "VmHWM"), rows);
    Ask(LogList::kDefaultLimit + 5000, rows);
    for (int i = 0; i < runs; ++i) {
        MeasureGet("BootpInfosXml", server, proxy.Get(), &IFyBootpServer::get_BootpInfosXml,
                   "<Node>");
        MeasureGet("LogEntries", server, proxy.Get(), &IFyBootpServer::get_LogEntries, "<Log>");
    }
    proxy.Reset();
    return TimeCtl({"stop"}) < 0 ? 1 : 0;
}

int Fail(const char* what) {
    std::fprintf(stderr, "fyb_ctl_bench: %s\n", what);
    return 1;
}

struct Command {
    std::string name;
    std::function<std::vector<std::string>(int)> args;
    double InProcess::*reference;
};

int Run(int runs, const std::vector<std::size_t>& sizes, bool memory) {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "no network namespace of its own (run as root)\n");
        return 1;
    }
    testing::Shell("ip link set lo up");
    auto bus = StartBus();
    if (!bus) return 1;
    int added = 0;
    for (const std::size_t size : sizes) {
        const std::string table = TableText(size);
        const std::string file = bus->Root() + "/table.xml";
        std::ofstream(file, std::ios::binary) << table;
        const InProcess reference = MeasureInProcess(table, runs);
        const std::string label = std::to_string(size);
        // The server's file holds the table before the runs start.
        if (TimeCtl({"import", file}) < 0 || !bus->WaitForName(false, std::chrono::seconds(30))) {
            return Fail("first import");
        }
        const std::vector<Command> commands{
            {"status", [](int) { return std::vector<std::string>{"status"}; }, nullptr},
            {"nodes", [](int) { return std::vector<std::string>{"nodes"}; }, &InProcess::get},
            {"export", [](int) { return std::vector<std::string>{"export"}; }, &InProcess::get},
            {"import", [&](int) { return std::vector<std::string>{"import", file}; },
             &InProcess::put},
            {"add", [](int i) { return std::vector<std::string>{"add", Mac(i), "10.99.0.1"}; },
             &InProcess::add},
        };
        for (const bool kept : {false, true}) {
            sd_bus* keeper = nullptr;
            if (kept) {
                // The server of the last run must be gone: a lock taken
                // while it ends is refused.
                if (!bus->WaitForName(false, std::chrono::seconds(30))) return Fail("server stays");
                keeper = bus->Connect();
                // The lock's call starts the server; it stays until released.
                if (sd_bus_call_method(keeper, "org.fybootp.FyBootpServer",
                                       "/org/fybootp/FyBootpServer", "org.fybootp.ClassFactory",
                                       "LockServer", nullptr, nullptr, "b", 1) < 0 ||
                    !bus->WaitForName(true)) {
                    return Fail("no lock on a running server");
                }
            }
            for (const Command& command : commands) {
                std::vector<double> times;
                for (int i = 0; i < runs; ++i) {
                    if (!kept && !bus->WaitForName(false, std::chrono::seconds(30))) {
                        return Fail("server stays");
                    }
                    const double took = TimeCtl(command.args(added++));
                    if (took < 0) return Fail("fybootpctl failed");
                    times.push_back(took);
                }
                Print(label.c_str(), kept ? "kept running" : "on demand", command.name,
                      Summary(times), command.reference ? reference.*command.reference : 0);
            }
            if (keeper) {
                sd_bus_call_method(keeper, "org.fybootp.FyBootpServer",
                                   "/org/fybootp/FyBootpServer", "org.fybootp.ClassFactory",
                                   "LockServer", nullptr, nullptr, "b", 0);
                sd_bus_flush_close_unref(keeper);
                if (!bus->WaitForName(false, std::chrono::seconds(30))) return Fail("server stays");
            }
        }
        std::printf("%-8s in process     put %.1f ms  get %.1f ms  add %.1f ms (best of %d)\n",
                    label.c_str(), reference.put, reference.get, reference.add, runs);
        if (memory && MeasureMemory(*bus, size, runs) != 0) return 1;
    }
    return 0;
}

// For bench/soak.sh: a private bus with the server's activation, set up as
// for the runs above, around a command of the caller's. It runs in the
// network namespace it was started in, which must not be the machine's own
// (the server the bus starts listens for BOOTP there); the script makes
// that namespace. The command's exit status is returned.
int WithBus(char** command) {
    std::string own, machine;
    char link[64] = {};
    if (readlink("/proc/self/ns/net", link, sizeof link - 1) > 0) own = link;
    std::fill(std::begin(link), std::end(link), '\0');
    if (readlink("/proc/1/ns/net", link, sizeof link - 1) > 0) machine = link;
    if (own.empty() || own == machine) {
        std::fprintf(stderr, "--with-bus: run it in a network namespace made for it\n");
        return 2;
    }
    auto bus = StartBus();
    if (!bus) return 1;
    setenv("FYB_SOAK_CTL", CtlPath().c_str(), 1);
    pid_t pid = -1;
    if (posix_spawnp(&pid, command[0], nullptr, nullptr, command, environ) != 0) return 1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

std::vector<std::size_t> Sizes(const char* text) {
    std::vector<std::size_t> sizes;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) sizes.push_back(std::strtoul(item.c_str(), nullptr, 10));
    return sizes;
}

}  // namespace
}  // namespace fybootp::bench

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--with-bus") return fybootp::bench::WithBus(argv + 2);
    const bool memory = argc > 1 && std::string(argv[1]) == "--memory";
    if (memory) --argc, ++argv;
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    return fybootp::bench::Run(
        runs, fybootp::bench::Sizes(argc > 2 ? argv[2] : memory ? "100000" : "1000,100000"),
        memory);
}
