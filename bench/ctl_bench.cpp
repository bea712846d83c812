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
// Run: sudo build/release/bench/fyb_ctl_bench [RUNS=5] [NODES=1000,100000]
// (see bench/README.md).

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "automation/class_object.h"
#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "bench/document_bench_inputs.h"
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
    const int spawned = posix_spawn(&pid, FYB_FYBOOTPCTL_PATH, &actions, nullptr, raw.data(), environ);
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
    ScratchDirectory cwd;
    registry::Registry registry("/nonexistent");
    TypeInfoCache typeInfo(registry);
    ModuleLock lock;
    IClassFactory* classObject = nullptr;
    const ClassObjectServices services{.lock = lock,
                                       .typeInfo = typeInfo,
                                       .documents = LibxmlDocumentFactory(),
                                       .hostInfo = SystemHostInfoSource(),
                                       .responderPlatform = nullptr,
                                       .disconnect = {}};
    InProcess result;
    if (Failed(CreateFyBootpClassObject(services, &classObject))) return result;
    void* raw = nullptr;
    classObject->CreateInstance(nullptr, IID_IFyBootpServer, &raw);
    auto server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
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
    result = {Summary(puts).best, Summary(gets).best, Summary(adds).best};
    server.Reset();
    classObject->Release();
    return result;
}

struct Command {
    std::string name;
    std::function<std::vector<std::string>(int)> args;
    double InProcess::*reference;
};

int Run(int runs, const std::vector<std::size_t>& sizes) {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "no network namespace of its own (run as root)\n");
        return 1;
    }
    testing::Shell("ip link set lo up");
    std::string whyNot;
    auto bus = PrivateBus::Start(&whyNot);
    if (!bus) {
        std::fprintf(stderr, "no private bus: %s\n", whyNot.c_str());
        return 1;
    }
    bus->SeedAppId(false);
    bus->InstallActivation(testing::FybootpPath());
    int added = 0;
    for (const std::size_t size : sizes) {
        const std::string table = TableText(size);
        const std::string file = bus->Root() + "/table.xml";
        std::ofstream(file, std::ios::binary) << table;
        const InProcess reference = MeasureInProcess(table, runs);
        const std::string label = std::to_string(size);
        // The server's file holds the table before the runs start.
        if (TimeCtl({"import", file}) < 0 || !bus->WaitForName(false)) return 1;
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
                keeper = bus->Connect();
                // The lock's call starts the server; it stays until released.
                sd_bus_call_method(keeper, "org.fybootp.FyBootpServer",
                                   "/org/fybootp/FyBootpServer", "org.fybootp.ClassFactory",
                                   "LockServer", nullptr, nullptr, "b", 1);
                if (!bus->WaitForName(true)) return 1;
            }
            for (const Command& command : commands) {
                std::vector<double> times;
                for (int i = 0; i < runs; ++i) {
                    if (!kept && !bus->WaitForName(false, std::chrono::seconds(30))) return 1;
                    const double took = TimeCtl(command.args(added++));
                    if (took < 0) return 1;
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
                if (!bus->WaitForName(false, std::chrono::seconds(30))) return 1;
            }
        }
        std::printf("%-8s in process     put %.1f ms  get %.1f ms  add %.1f ms (best of %d)\n",
                    label.c_str(), reference.put, reference.get, reference.add, runs);
    }
    return 0;
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
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    return fybootp::bench::Run(runs, fybootp::bench::Sizes(argc > 2 ? argv[2] : "1000,100000"));
}
