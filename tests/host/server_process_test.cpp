// The server process on a private bus: the local-server courses of the lock
// count, statuses across the bus, bad input, peers that leave, access
// through the real policy, and the service course under a stand-in for
// systemd.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "host/fybootp_proxy.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "platform/com/com_ptr.h"
#include "tests/host/bus_test_support.h"

namespace fybootp::testing {
namespace {

constexpr char kName[] = "org.fybootp.FyBootpServer";
constexpr char kClassPath[] = "/org/fybootp/FyBootpServer";
constexpr char kObjectPath[] = "/org/fybootp/FyBootpServer/Server";
constexpr char kServerInterface[] = "org.fybootp.IFyBootpServer";
constexpr char kControlInterface[] = "org.fybootp.IFyServerControl";

class ServerProcessTest : public ::testing::Test {
protected:
    // The daemon's policy and limits; a session bus that allows everything
    // unless a fixture says otherwise.
    virtual BusOptions Options() const { return {}; }

    void SetUp() override {
        std::string whyNot;
        bus = PrivateBus::Start(&whyNot, Options());
        ASSERT_NE(bus, nullptr) << whyNot;
        bus->SeedAppId(false);
        host::RegisterFyBootpProxy();
    }

    // fybootp -Embedding started by hand, owning the name.
    std::unique_ptr<Child> StartServer(std::vector<std::string> env = {}) {
        auto child = std::make_unique<Child>(FybootpPath(),
                                             std::vector<std::string>{"fybootp", "-Embedding"},
                                             std::move(env), bus->ServerDirectory());
        EXPECT_TRUE(bus->WaitForName(true)) << child->Stderr();
        return child;
    }

    ComPtr<IFyBootpServer> Create(HRESULT expected = S_OK) {
        void* raw = nullptr;
        EXPECT_EQ(bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                        IID_IFyBootpServer, &raw),
                  expected);
        return ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    }

    std::string Busctl(const std::string& args) {
        return "busctl --address=" + bus->Address() + " " + args + " >/dev/null 2>&1";
    }

    // CreateInstance (lock < 0) or LockServer(lock) through the well-known
    // name: "ok", or the name of the error.
    static std::string FactoryCall(sd_bus* client, int lock = -1) {
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
        const int r =
            lock < 0 ? sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                          "CreateInstance", &error, nullptr, "")
                     : sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                          "LockServer", &error, nullptr, "b", lock);
        std::string status = r >= 0 ? "ok" : error.name != nullptr ? error.name : "no answer";
        sd_bus_error_free(&error);
        return status;
    }

    // A caller without a reference clears the log, which moves LogChangeCnt.
    std::string ClearTheLog() {
        return Busctl(std::string("set-property ") + kName + " " + kObjectPath + " " +
                      kServerInterface + " LogEntries s '<FyBootpInfo/>'");
    }

    std::unique_ptr<PrivateBus> bus;
};

constexpr char kUnexpected[] = "org.fybootp.Error.HRESULT_0x8000FFFF";
constexpr char kOutOfMemory[] = "org.fybootp.Error.HRESULT_0x8007000E";
constexpr char kStopping[] = "org.fybootp.Error.HRESULT_0x80004008";

// A connection that holds nothing and listens to the server object's
// PropertiesChanged: how many came, and the LogChangeCnt values they told.
class CountWatcher {
public:
    explicit CountWatcher(const PrivateBus& bus) : m_bus(bus.Connect()) {
        const std::string rule = std::string("type='signal',interface='org.freedesktop.DBus.Properties',"
                                             "member='PropertiesChanged',path='") +
                                 kObjectPath + "'";
        m_watching = m_bus != nullptr &&
                     sd_bus_add_match(m_bus, nullptr, rule.c_str(), &OnSignal, this) >= 0;
    }
    ~CountWatcher() { sd_bus_flush_close_unref(m_bus); }

    // Waits until a signal told LogChangeCnt `value`, at most `limit`.
    bool WaitForLogCount(std::int32_t value, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (m_watching && std::find(logCounts.begin(), logCounts.end(), value) == logCounts.end()) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= 0ms) return false;
            if (sd_bus_process(m_bus, nullptr) > 0) continue;
            sd_bus_wait(m_bus, static_cast<std::uint64_t>(
                                   std::chrono::duration_cast<std::chrono::microseconds>(left).count()));
        }
        return m_watching;
    }

    int signals = 0;
    std::vector<std::int32_t> logCounts;

private:
    static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto& self = *static_cast<CountWatcher*>(userdata);
        ++self.signals;
        const char* interface = nullptr;
        int r = sd_bus_message_read(message, "s", &interface);
        if (r >= 0) r = sd_bus_message_enter_container(message, 'a', "{sv}");
        while (r >= 0 && (r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
            const char* name = nullptr;
            std::int32_t value = 0;
            r = sd_bus_message_read(message, "s", &name);
            if (r >= 0 && std::string_view(name) == "LogChangeCnt") {
                r = sd_bus_message_read(message, "v", "i", &value);
                self.logCounts.push_back(value);
            } else if (r >= 0) {
                r = sd_bus_message_skip(message, "v");
            }
            if (r >= 0) r = sd_bus_message_exit_container(message);
        }
        return 0;
    }

    sd_bus* m_bus = nullptr;
    bool m_watching = false;
};

using LocalServerCourse = ServerProcessTest;

TEST_F(LocalServerCourse, TwoClientsReleaseInTurn) {
    auto server = StartServer();
    auto first = Create();
    auto second = Create();
    ASSERT_TRUE(first && second);
    BSTR mac = SysAllocString("024B7700002A");
    EXPECT_EQ(first->AddBootpInfo(mac, 0x140200C0), S_OK);
    SysFreeString(mac);
    first.Reset();
    EXPECT_FALSE(server->Wait(300ms).has_value());
    // The other client still reaches the same object and sees the row.
    Bstr table;
    EXPECT_EQ(second->get_BootpInfosXml(table.Receive()), S_OK);
    EXPECT_NE(table.View().find("024B7700002A"), std::string_view::npos);
    second.Reset();
    EXPECT_EQ(server->Wait(10s), 0);
    EXPECT_NE(server->Stdout().find("Service started"), std::string::npos);
}

TEST_F(LocalServerCourse, LockServerAloneKeepsTheProcessAlive) {
    auto server = StartServer();
    sd_bus* first = bus->Connect();
    sd_bus* second = bus->Connect();
    sd_bus* stranger = bus->Connect();
    ASSERT_TRUE(first && second && stranger);
    EXPECT_EQ(FactoryCall(first, 1), "ok");
    EXPECT_EQ(FactoryCall(second, 1), "ok");
    EXPECT_FALSE(server->Wait(300ms).has_value());
    // A peer gives back only what it holds: nothing, or its one lock once.
    EXPECT_EQ(FactoryCall(stranger, 0), kUnexpected);
    EXPECT_EQ(FactoryCall(first, 0), "ok");
    EXPECT_EQ(FactoryCall(first, 0), kUnexpected);
    EXPECT_FALSE(server->Wait(300ms).has_value());  // the second still holds its lock
    EXPECT_EQ(FactoryCall(second, 0), "ok");
    EXPECT_EQ(server->Wait(10s), 0);
    for (sd_bus* client : {first, second, stranger}) sd_bus_flush_close_unref(client);
}

// A stray activation leaves no process behind: a server nobody takes
// anything from ends once the limit has passed; one that is held does not.
TEST_F(LocalServerCourse, AServerNobodyReferencesEndsAfterTheLimitAndAHeldOneStays) {
#ifndef FYB_TEST_HOOKS
    GTEST_SKIP() << "shortening the limit needs a build with FYB_TEST_HOOKS";
#endif
    constexpr auto kLimit = 1500ms;
    const std::vector<std::string> env{"FYBOOTP_TEST_UNREFERENCED_MS=1500"};
    {
        SCOPED_TRACE("nobody calls");
        auto server = StartServer(env);
        EXPECT_FALSE(server->Wait(kLimit / 3).has_value());
        EXPECT_EQ(server->Wait(10s), 0) << server->Stderr();
        EXPECT_TRUE(bus->WaitForName(false));
    }
    {
        SCOPED_TRACE("a lock is held past the limit");
        auto server = StartServer(env);
        sd_bus* holder = bus->Connect();
        ASSERT_NE(holder, nullptr);
        EXPECT_EQ(FactoryCall(holder, 1), "ok");
        EXPECT_FALSE(server->Wait(kLimit * 2).has_value());
        EXPECT_EQ(FactoryCall(holder, 0), "ok");
        EXPECT_EQ(server->Wait(10s), 0) << server->Stderr();
        sd_bus_flush_close_unref(holder);
    }
}

// Nobody holds a reference, only a lock: a watcher still hears of changes.
TEST_F(LocalServerCourse, WatchersHearOfChangesWhileOnlyALockKeepsTheServer) {
    auto server = StartServer();
    sd_bus* holder = bus->Connect();
    ASSERT_EQ(FactoryCall(holder, 1), "ok");
    CountWatcher watcher(*bus);
    ASSERT_EQ(Shell(ClearTheLog()), 0);
    EXPECT_TRUE(watcher.WaitForLogCount(1, 5s));
    sd_bus_flush_close_unref(holder);
    EXPECT_EQ(server->Wait(10s), 0);
}

// Each CreateInstance used to signal on its own; now only the timer does,
// ten times a second at most, and the burst's last value is signalled.
TEST_F(LocalServerCourse, ABurstOfCreateInstanceAndChangesStaysWithinTenSignalsASecond) {
    auto server = StartServer();
    CountWatcher watcher(*bus);
    sd_bus* client = bus->Connect();
    // Long enough for several ticks; a reference and a change each round.
    const auto start = std::chrono::steady_clock::now();
    std::int32_t changes = 0;
    while (std::chrono::steady_clock::now() - start < 700ms && changes < 2000) {
        ASSERT_EQ(FactoryCall(client), "ok");
        ASSERT_GE(sd_bus_set_property(client, kName, kObjectPath, kServerInterface, "LogEntries",
                                      nullptr, "s", "<FyBootpInfo/>"),
                  0);
        ++changes;
    }
    EXPECT_TRUE(watcher.WaitForLogCount(changes, 5s));
    const auto window = std::chrono::steady_clock::now() - start;
    RecordProperty("changes", changes);
    RecordProperty("signals", watcher.signals);
    EXPECT_GE(watcher.signals, 2);
    EXPECT_LE(watcher.signals - 1, window / 100ms)
        << changes << " changes in " << window / 1ms << " ms";
    sd_bus_flush_close_unref(client);
    EXPECT_EQ(server->Wait(10s), 0);
}

TEST_F(LocalServerCourse, OneShotCallerIsServedAndTheCountReturnsToZero) {
    auto server = StartServer();
    // busctl holds no reference: create, call, release, and the process ends.
    EXPECT_EQ(Shell(Busctl(std::string("call ") + kName + " " + kObjectPath + " " +
                           kServerInterface + " AddBootpInfo si 024B7700002B 167880896")),
              0);
    EXPECT_EQ(server->Wait(10s), 0);
    // The row was stored, so the next activation reads it from the file.
    auto again = StartServer();
    auto client = Create();
    Bstr table;
    ASSERT_EQ(client->get_BootpInfosXml(table.Receive()), S_OK);
    EXPECT_NE(table.View().find("024B7700002B"), std::string_view::npos);
}

TEST_F(LocalServerCourse, ServerWhoseBusGoesAwayEndsWhateverItsCount) {
    auto server = StartServer();
    sd_bus* client = bus->Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_GE(sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                 "LockServer", nullptr, nullptr, "b", 1),
              0);
    bus->KillDaemon();  // nobody can reach it, release its lock or stop it now
    // Not an end anyone asked for: a failure, and why.
    EXPECT_EQ(server->Wait(10s), 1);
    EXPECT_NE(server->Stderr().find("the bus connection was lost"), std::string::npos)
        << server->Stderr();
    sd_bus_flush_close_unref(client);
}

// A server started as root gives up root before it reaches the bus; one
// that cannot, for want of its user, ends and says why instead.
TEST_F(LocalServerCourse, WithoutItsUserTheServerNeverRunsAsRoot) {
    const std::string passwd = bus->Root() + "/etc/passwd";
    std::string kept;
    {
        std::ifstream file(passwd);
        for (std::string line; std::getline(file, line);) {
            if (line.rfind("_fybootp:", 0) != 0) kept += line + "\n";
        }
    }
    std::ofstream(passwd, std::ios::trunc) << kept;  // the same file the namespace sees
    Child server(FybootpPath(), {"fybootp", "-Embedding"}, {}, bus->ServerDirectory());
    EXPECT_EQ(server.Wait(20s), 1);
    EXPECT_NE(server.Stderr().find("cannot give up root: there is no user _fybootp"),
              std::string::npos)
        << server.Stderr();
    EXPECT_FALSE(bus->NameHasOwner());
}

TEST_F(LocalServerCourse, SigintEndsAServerStartedByHandWhateverItsCount) {
    auto server = StartServer();
    auto client = Create();
    server->Signal(SIGINT);
    EXPECT_EQ(server->Wait(10s), 0);
    std::int32_t count = 0;
    EXPECT_EQ(client->get_LogChangeCnt(&count), RPC_E_DISCONNECTED);
}

TEST_F(LocalServerCourse, IntrospectionTakesNoReferenceAndShowsTheInterface) {
    auto server = StartServer();
    FILE* pipe = popen(("busctl --address=" + bus->Address() + " call " + kName + " " +
                        kObjectPath + " org.freedesktop.DBus.Introspectable Introspect 2>&1")
                           .c_str(),
                       "r");
    std::string text;
    char chunk[4096];
    while (std::fgets(chunk, sizeof(chunk), pipe) != nullptr) text += chunk;
    ASSERT_EQ(pclose(pipe), 0) << text;
    EXPECT_NE(text.find("<method name=\\\"AddBootpInfo\\\">"), std::string::npos) << text;
    EXPECT_NE(text.find("<interface name=\\\"org.fybootp.IFyServerControl\\\">"),
              std::string::npos);
    // Read-only properties have no setter, the others are writable.
    EXPECT_NE(text.find("<property name=\\\"LogChangeCnt\\\" type=\\\"i\\\" access=\\\"read\\\">"),
              std::string::npos);
    EXPECT_NE(text.find("<property name=\\\"Started\\\" type=\\\"i\\\" access=\\\"readwrite\\\">"),
              std::string::npos);
    // No reference was taken, so none was given back: the server stays.
    EXPECT_FALSE(server->Wait(300ms).has_value());
}

TEST_F(LocalServerCourse, AServerNobodyReferencesEndsAfterThirtySeconds) {
    auto server = StartServer();
    EXPECT_FALSE(server->Wait(25s).has_value());
    EXPECT_EQ(server->Wait(15s), 0);
}

using StatusesAcrossTheBus = ServerProcessTest;

TEST_F(StatusesAcrossTheBus, SuccessAndFailureStatusesArriveExactly) {
    auto server = StartServer();
    auto client = Create();
    BSTR unknown = SysAllocString("024B77FFFFFF");
    EXPECT_EQ(client->DeleteBootpInfo(unknown), S_FALSE);
    SysFreeString(unknown);
    std::int32_t started = -1;
    EXPECT_EQ(client->get_Started(&started), S_OK);
    EXPECT_EQ(started, 0);
    EXPECT_EQ(client->get_LogChangeCnt(nullptr), E_POINTER);
    // Late binding through the proxy's IDispatch.
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(QueryInterfaceAs(client.Get(), IID_IDispatch, dispatch.Receive()), S_OK);
    const OLECHAR* name = "NEWMACCNT";
    DISPID id = 0;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    EXPECT_EQ(id, 3);
    DISPPARAMS none;
    Variant result;
    EXPECT_EQ(
        dispatch->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(result.I4(), 0);
}

TEST_F(StatusesAcrossTheBus, ClassWithoutActivationIsNotRegistered) { Create(REGDB_E_CLASSNOTREG); }

TEST_F(StatusesAcrossTheBus, ServerThatCannotStartIsAnExecFailure) {
    bus->InstallActivation("/nonexistent/fybootp");
    Create(CO_E_SERVER_EXEC_FAILURE);
}

TEST_F(StatusesAcrossTheBus, ActivationStartsOneServerInTheStateDirectory) {
    bus->InstallActivation(FybootpPath());
    // Two clients that activate at once get one server.
    ComPtr<IFyBootpServer> a;
    ComPtr<IFyBootpServer> b;
    std::thread other([&] { b = Create(); });
    a = Create();
    other.join();
    ASSERT_TRUE(a && b);
    BSTR mac = SysAllocString("024B7700002C");
    EXPECT_EQ(a->AddBootpInfo(mac, 0x150200C0), S_OK);
    SysFreeString(mac);
    Bstr table;
    EXPECT_EQ(b->get_BootpInfosXml(table.Receive()), S_OK);
    EXPECT_NE(table.View().find("024B7700002C"), std::string_view::npos);
    EXPECT_EQ(Shell("grep -q 024B7700002C " + bus->ServerDirectory() + "/FyBootpInfo.xml"), 0);
}

TEST_F(StatusesAcrossTheBus, OneShotCallsThatRaceWithTheEndAreNeverLost) {
    bus->InstallActivation(FybootpPath());
    // Every call brings the count back to 0 and ends its server, while the
    // other threads' calls keep arriving: each must be answered, by the
    // ending server (what was queued) or by a new one.
    constexpr int kThreads = 8;
    constexpr int kCalls = 10;
    std::atomic<int> answered{0};
    std::mutex serversLock;
    std::set<std::string> servers;  // unique names that answered
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            sd_bus* client = bus->Connect();
            for (int i = 0; client != nullptr && i < kCalls; ++i) {
                sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
                sd_bus_message* reply = nullptr;
                if (sd_bus_get_property(client, kName, kObjectPath, kServerInterface,
                                        "LogChangeCnt", &error, &reply, "i") >= 0) {
                    ++answered;
                    const std::lock_guard guard(serversLock);
                    servers.insert(sd_bus_message_get_sender(reply));
                } else {
                    ADD_FAILURE() << error.name << ": " << error.message;
                }
                sd_bus_message_unref(reply);
                sd_bus_error_free(&error);
            }
            sd_bus_flush_close_unref(client);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(answered, kThreads * kCalls);
    RecordProperty("servers", static_cast<int>(servers.size()));
}

TEST_F(StatusesAcrossTheBus, ClientThatOutlivesItsServerIsDisconnected) {
    auto server = StartServer();
    auto client = Create();
    server->Signal(SIGTERM);
    EXPECT_EQ(server->Wait(10s), 0);
    bus->InstallActivation(FybootpPath());
    // Bound to the unique name: no new server is started behind its back.
    std::int32_t started = 0;
    EXPECT_EQ(client->get_Started(&started), RPC_E_DISCONNECTED);
    ComPtr<IFyServerControl> control;
    ASSERT_EQ(QueryInterfaceAs(client.Get(), IID_IFyServerControl, control.Receive()), S_OK);
    EXPECT_EQ(control->Stop(), RPC_E_DISCONNECTED);
    EXPECT_FALSE(bus->NameHasOwner());
}

using BadInput = ServerProcessTest;

TEST_F(BadInput, IsRefusedWithABusErrorAndTheServerStaysUp) {
    auto server = StartServer();
    auto client = Create();  // keeps the server up between the calls
    const std::string call = std::string("call ") + kName + " " + kObjectPath + " ";
    EXPECT_NE(Shell(Busctl(call + kServerInterface + " AddBootpInfo s 024B7700002D")), 0);
    EXPECT_NE(Shell(Busctl(call + kServerInterface + " NoSuchMember")), 0);
    EXPECT_NE(Shell(Busctl(std::string("set-property ") + kName + " " + kObjectPath + " " +
                           kServerInterface + " LogChangeCnt i 5")),
              0);
    // A text beyond the cap for client texts never reaches the document.
    std::string huge(16u * 1024 * 1024 + 1, 'x');
    BSTR text = SysAllocString(huge);
    EXPECT_EQ(client->put_BootpInfosXml(text), E_INVALIDARG);
    SysFreeString(text);
    std::int32_t count = -1;
    EXPECT_EQ(client->get_LogChangeCnt(&count), S_OK);
    EXPECT_TRUE(server->Running());
}

using PeersThatLeave = ServerProcessTest;

TEST_F(PeersThatLeave, KilledClientsGiveBackTheirReferences) {
    auto server = StartServer();
    sd_bus* keeper = bus->Connect();
    ASSERT_GE(sd_bus_call_method(keeper, kName, kClassPath, "org.fybootp.ClassFactory",
                                 "LockServer", nullptr, nullptr, "b", 1),
              0);
    constexpr int kClients = 1000;
    constexpr int kBatch = 100;
    for (int done = 0; done < kClients; done += kBatch) {
        std::vector<pid_t> children;
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        for (int i = 0; i < kBatch; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                sd_bus* client = bus->Connect();
                sd_bus_message* reply = nullptr;
                const int r =
                    client == nullptr
                        ? -1
                        : sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                             "CreateInstance", nullptr, &reply, "");
                const char byte = r >= 0 ? 'y' : 'n';
                [[maybe_unused]] auto written = write(ready[1], &byte, 1);
                pause();
                _exit(0);
            }
            children.push_back(pid);
        }
        int created = 0;
        for (int i = 0; i < kBatch; ++i) {
            char byte = 0;
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
            created += byte == 'y';
        }
        EXPECT_EQ(created, kBatch);
        for (const pid_t pid : children) kill(pid, SIGKILL);
        for (const pid_t pid : children) waitpid(pid, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
    }
    // Only the keeper's lock is left: giving it back ends the process.
    EXPECT_TRUE(server->Running());
    ASSERT_GE(sd_bus_call_method(keeper, kName, kClassPath, "org.fybootp.ClassFactory",
                                 "LockServer", nullptr, nullptr, "b", 0),
              0);
    EXPECT_EQ(server->Wait(20s), 0);
    sd_bus_flush_close_unref(keeper);
}

TEST_F(PeersThatLeave, OneConnectionCannotHoardReferences) {
    auto server = StartServer();
    sd_bus* hoarder = bus->Connect();
    ASSERT_NE(hoarder, nullptr);
    int created = 0;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    for (int i = 0; i < 5000; ++i) {
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(hoarder, kName, kClassPath, "org.fybootp.ClassFactory",
                                         "CreateInstance", &error, &reply, "");
        sd_bus_message_unref(reply);
        if (r < 0) break;
        ++created;
    }
    EXPECT_EQ(created, 4096);
    EXPECT_STREQ(error.name, "org.fybootp.Error.HRESULT_0x8007000E");
    sd_bus_error_free(&error);
    // Leaving gives all of them back.
    sd_bus_flush_close_unref(hoarder);
    EXPECT_EQ(server->Wait(10s), 0);
}

// A daemon that allows each connection only 16 match rules (Debian's
// system.conf keeps 512) and many connections per user: holding peers cost
// the server none, and past the cap new holders are refused while the
// others are served.
class ManyPeers : public ServerProcessTest {
protected:
    BusOptions Options() const override {
        return {.maxMatchRulesPerConnection = 16, .maxConnectionsPerUser = 2000};
    }
};

TEST_F(ManyPeers, HoldersCostNoMatchRulesAndPastTheCapNewOnesAreRefused) {
    constexpr int kCap = 1024;  // bus_server.h
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max > files.rlim_cur) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    auto server = StartServer();
    struct Close {
        void operator()(sd_bus* client) const { sd_bus_flush_close_unref(client); }
    };
    std::vector<std::unique_ptr<sd_bus, Close>> holders;
    auto connect = [&] { return holders.emplace_back(bus->Connect()).get(); };
    // References and locks alike, one holder a connection.
    for (int i = 0; i + 1 < kCap; ++i) {
        sd_bus* holder = connect();
        ASSERT_NE(holder, nullptr) << i;
        ASSERT_EQ(FactoryCall(holder, i % 2 == 0 ? -1 : 1), "ok") << "holder " << i;
    }
    // A refused give-back leaves nothing tracked: the last place is free.
    EXPECT_EQ(FactoryCall(connect(), 0), kUnexpected);
    EXPECT_EQ(FactoryCall(connect()), "ok");
    sd_bus* late = connect();
    EXPECT_EQ(FactoryCall(late), kOutOfMemory);
    EXPECT_EQ(FactoryCall(late, 1), kOutOfMemory);
    // Everyone else is served: a holder takes more, a caller without a
    // reference is served as create, call, release.
    EXPECT_EQ(FactoryCall(holders.front().get()), "ok");
    std::int32_t count = -1;
    EXPECT_GE(sd_bus_get_property_trivial(late, kName, kObjectPath, kServerInterface,
                                          "LogChangeCnt", nullptr, 'i', &count),
              0);
    EXPECT_TRUE(server->Running());
    holders.clear();
    EXPECT_EQ(server->Wait(20s), 0);
}

TEST_F(PeersThatLeave, ASecondServerCannotTakeTheNameAndSaysWhy) {
    auto first = StartServer();
    Child second(FybootpPath(), {"fybootp", "-Embedding"}, {}, bus->ServerDirectory());
    EXPECT_EQ(second.Wait(20s), 1);
    EXPECT_NE(second.Stderr().find("org.fybootp.FyBootpServer is owned already"),
              std::string::npos);
    EXPECT_TRUE(first->Running());
}

// The end of a local server on a bus whose default policy is Debian's
// system.conf: a method call reaches the server only through its
// well-known name, so an ending server that gave the name up can serve
// nobody for long. The race is made certain by stopping the server while
// the last give-back and the calls behind it are queued.
class EndingRace : public ServerProcessTest {
protected:
    BusOptions Options() const override { return {.systemPolicy = true}; }

    static bool WaitUntilStopped(pid_t pid) {
        const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
        for (int i = 0; i < 500; ++i) {
            std::ifstream file(stat);
            std::string text((std::istreambuf_iterator<char>(file)), {});
            const std::size_t state = text.rfind(") ");
            if (state != std::string::npos && text[state + 2] == 'T') return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Sends without waiting for the answer, which `status` receives; when
    // this returns, the daemon has routed the call.
    static void Queue(sd_bus* client, sd_bus_message* call, std::string* status) {
        ASSERT_GE(sd_bus_call_async(client, nullptr, call, &OnReply, status, 0), 0);
        sd_bus_message_unref(call);
        ASSERT_GE(sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetId", nullptr, nullptr, ""),
                  0);
    }
    static int OnReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        *static_cast<std::string*>(userdata) = error != nullptr ? error->name : "ok";
        return 0;
    }
    static sd_bus_message* NewCall(sd_bus* client, const char* path, const char* interface,
                                   const char* member) {
        sd_bus_message* call = nullptr;
        sd_bus_message_new_method_call(client, &call, kName, path, interface, member);
        return call;
    }
};

TEST_F(EndingRace, CallsQueuedAsTheNameGoesAreAnsweredAndTheProxyReachesANewServer) {
    bus->InstallActivation(FybootpPath());
    auto server = StartServer();
    sd_bus* holder = bus->Connect();
    sd_bus* caller = bus->Connect();  // holds nothing
    ASSERT_TRUE(holder && caller);
    ASSERT_EQ(FactoryCall(holder, 1), "ok");
    CallMonitor monitor(*bus, "CreateInstance");
    server->Signal(SIGSTOP);
    ASSERT_TRUE(WaitUntilStopped(server->Pid()));

    // First in the queue: the last give-back, which ends the server.
    std::string givenBack;
    sd_bus_message* unlock = NewCall(holder, kClassPath, "org.fybootp.ClassFactory", "LockServer");
    sd_bus_message_append(unlock, "b", 0);
    Queue(holder, unlock, &givenBack);
    // Then a client's proxy, then one-shot callers.
    HRESULT created = E_FAIL;
    ComPtr<IFyBootpServer> proxy;
    std::thread client([&] {
        void* raw = nullptr;
        created = bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                        IID_IFyBootpServer, &raw);
        proxy = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    });
    ASSERT_TRUE(monitor.WaitForCalls(1, 10s));
    sd_bus_message* started = NewCall(caller, kObjectPath, "org.freedesktop.DBus.Properties", "Set");
    sd_bus_message_append(started, "ssv", kServerInterface, "Started", "i", 1);
    sd_bus_message* count = NewCall(caller, kObjectPath, "org.freedesktop.DBus.Properties", "Get");
    sd_bus_message_append(count, "ss", kServerInterface, "LogChangeCnt");
    sd_bus_message* lock = NewCall(caller, kClassPath, "org.fybootp.ClassFactory", "LockServer");
    sd_bus_message_append(lock, "b", 1);
    struct {
        const char* what;
        sd_bus_message* call;
        std::string expected;
        std::string status = "no answer";
    } queued[] = {
        // Nothing that would outlive the drain, or change what the next
        // server reads, is taken; reads are served.
        {"CreateInstance", NewCall(caller, kClassPath, "org.fybootp.ClassFactory", "CreateInstance"),
         kStopping},
        {"LockServer(true)", lock, kStopping},
        {"put Started 1", started, kStopping},
        {"get LogChangeCnt", count, "ok"},
    };
    for (auto& row : queued) Queue(caller, row.call, &row.status);

    server->Signal(SIGCONT);
    const auto end = std::chrono::steady_clock::now() + 10s;
    auto answered = [&] {
        return givenBack != "" && std::all_of(std::begin(queued), std::end(queued),
                                              [](const auto& row) { return row.status != "no answer"; });
    };
    while (!answered() && std::chrono::steady_clock::now() < end) {
        for (sd_bus* connection : {holder, caller}) {
            while (sd_bus_process(connection, nullptr) > 0) {
            }
        }
        sd_bus_wait(caller, 10'000);
    }
    EXPECT_EQ(givenBack, "ok");
    for (const auto& row : queued) EXPECT_EQ(row.status, row.expected) << row.what;
    EXPECT_EQ(server->Wait(10s), 0);  // the drain was short

    // The proxy asked the well-known name again and reached a new server,
    // which it can call: no "Access denied" from the race.
    client.join();
    ASSERT_EQ(created, S_OK);
    std::int32_t changes = -1;
    EXPECT_EQ(proxy->get_LogChangeCnt(&changes), S_OK);
    Bstr mac("024B7700002E");
    EXPECT_EQ(proxy->AddBootpInfo(mac.Get(), 0x160200C0), S_OK);
    proxy.Reset();
    EXPECT_TRUE(bus->WaitForName(false));
    for (sd_bus* connection : {holder, caller}) sd_bus_flush_close_unref(connection);
}

// Through the real policy file: root and the members of group fybootp
// reach every kind of member, anyone else is refused by the bus before a
// server is even started, and only the server's user may own the name.
using Access = ServerProcessTest;

TEST_F(Access, GroupMembersReachEveryMemberAndOthersAreRefused) {
    bus->InstallActivation(FybootpPath());
    const std::string object = std::string(kName) + " " + kObjectPath + " ";
    const std::string factory = std::string(kName) + " " + kClassPath + " org.fybootp.ClassFactory ";
    const std::vector<std::string> calls{
        "get-property " + object + kServerInterface + " LogChangeCnt",
        "set-property " + object + kServerInterface + " DisableResponse i 0",
        "call " + object + kServerInterface + " DeleteBootpInfo s 024B77000001",
        "call " + object + kControlInterface + " Stop",
        "call " + factory + "CreateInstance",
        "call " + factory + "LockServer b true",
    };
    const std::string busctl = "busctl --address=" + bus->Address() + " ";
    for (const std::string& call : calls) {
        EXPECT_EQ(Shell(bus->AsOutsider(busctl + call) + " 2>&1 | grep -q 'Access denied'"), 0)
            << call;
    }
    EXPECT_FALSE(bus->NameHasOwner());  // refused before anything was started
    for (const std::string& call : calls) {
        EXPECT_EQ(Shell(bus->AsMember(busctl + call) + " >/dev/null 2>&1"), 0) << call;
        EXPECT_EQ(Shell(Busctl(call)), 0) << call;  // and root
    }
    const std::string own = busctl +
                            "call org.freedesktop.DBus /org/freedesktop/DBus "
                            "org.freedesktop.DBus RequestName su " +
                            kName + " 0 2>&1 | grep -q 'Access denied'";
    EXPECT_EQ(Shell(bus->AsMember(own)), 0);
}


// The service course with a notify socket that the test reads, standing in
// for systemd.
class ServiceCourse : public ServerProcessTest {
protected:
    void SetUp() override {
        ServerProcessTest::SetUp();
        bus->SeedAppId(true);
        socketPath = bus->Root() + "/run/notify.sock";
        notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
        ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        // As systemd's: the service, no longer root, reports through it.
        chmod(socketPath.c_str(), 0666);
        timeval wait{10, 0};
        setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    }
    void TearDown() override { close(notify); }

    // fybootp started as "systemd" starts the unit, without any switch,
    // once it has reported that it runs.
    std::unique_ptr<Child> StartService() {
        auto service = std::make_unique<Child>(
            FybootpPath(), std::vector<std::string>{"fybootp"},
            std::vector<std::string>{"FYBOOTP_TEST_SERVICE_MAIN=1", "NOTIFY_SOCKET=" + socketPath},
            bus->ServerDirectory());
        EXPECT_EQ(NextReport(), "STATUS=Starting");
        EXPECT_EQ(NextReport(), "READY=1\nSTATUS=Running");
        return service;
    }

    std::string NextReport() {
        char buffer[512];
        const ssize_t got = recv(notify, buffer, sizeof(buffer), 0);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
    }

    std::string socketPath;
    int notify = -1;
};

TEST_F(ServiceCourse, ReportsInOrderSurvivesCountZeroAndStopsOnSigterm) {
#ifndef FYB_TEST_HOOKS
    GTEST_SKIP() << "standing in for systemd needs a build with FYB_TEST_HOOKS";
#endif
    auto started = StartService();
    Child& service = *started;
    auto client = Create();
    client.Reset();
    // The count went back to 0; a service goes on.
    EXPECT_FALSE(service.Wait(500ms).has_value());
    EXPECT_TRUE(bus->NameHasOwner());
    // Unknown controls change nothing.
    service.Signal(SIGHUP);
    service.Signal(SIGINT);
    EXPECT_FALSE(service.Wait(300ms).has_value());
    service.Signal(SIGTERM);
    EXPECT_EQ(NextReport(), "STOPPING=1\nSTATUS=Stopping");
    EXPECT_EQ(NextReport(), "STATUS=Stopped");
    EXPECT_EQ(service.Wait(10s), 0);
    // The event log is the journal, not standard output.
    EXPECT_EQ(service.Stdout(), "");
}

// What a service does without anyone holding it: nobody holds a reference,
// and a watcher still hears of changes; and a lost bus is a failure that
// systemd can tell from a stop.
TEST_F(ServiceCourse, WatchersHoldingNothingHearOfChangesAndALostBusIsAFailure) {
#ifndef FYB_TEST_HOOKS
    GTEST_SKIP() << "standing in for systemd needs a build with FYB_TEST_HOOKS";
#endif
    auto started = StartService();
    Child& service = *started;
    CountWatcher watcher(*bus);
    ASSERT_EQ(Shell(ClearTheLog()), 0);
    EXPECT_TRUE(watcher.WaitForLogCount(1, 5s));
    ASSERT_EQ(Shell(ClearTheLog()), 0);
    EXPECT_TRUE(watcher.WaitForLogCount(2, 5s));
    bus->KillDaemon();
    EXPECT_EQ(NextReport(), "STATUS=Stopped");
    EXPECT_EQ(service.Wait(10s), 1);
}

TEST_F(ServiceCourse, WithoutSystemdLocalServiceRunsAsALocalServer) {
    Child server(FybootpPath(), {"fybootp", "-Embedding"}, {"NOTIFY_SOCKET=" + socketPath},
                 bus->ServerDirectory());
    ASSERT_TRUE(bus->WaitForName(true));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(10s), 0);
    EXPECT_NE(server.Stdout().find("Service started"), std::string::npos);
}

}  // namespace
}  // namespace fybootp::testing
