// The server process on a private bus: the local-server courses of the lock
// count, statuses across the bus, bad input, peers that leave, access
// through the real policy, and the service course under a stand-in for
// systemd.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
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
    void SetUp() override {
        std::string whyNot;
        bus = PrivateBus::Start(&whyNot);
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

    std::unique_ptr<PrivateBus> bus;
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
    sd_bus* client = bus->Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_GE(sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                 "LockServer", nullptr, nullptr, "b", 1),
              0);
    EXPECT_FALSE(server->Wait(500ms).has_value());
    // A peer cannot give back a lock it does not hold.
    sd_bus* other = bus->Connect();
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    EXPECT_LT(sd_bus_call_method(other, kName, kClassPath, "org.fybootp.ClassFactory", "LockServer",
                                 &error, nullptr, "b", 0),
              0);
    EXPECT_STREQ(error.name, "org.fybootp.Error.HRESULT_0x8000FFFF");
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(other);
    EXPECT_FALSE(server->Wait(300ms).has_value());
    ASSERT_GE(sd_bus_call_method(client, kName, kClassPath, "org.fybootp.ClassFactory",
                                 "LockServer", nullptr, nullptr, "b", 0),
              0);
    EXPECT_EQ(server->Wait(10s), 0);
    sd_bus_flush_close_unref(client);
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
    EXPECT_TRUE(server->Wait(10s).has_value());
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

TEST_F(PeersThatLeave, ASecondServerCannotTakeTheNameAndSaysWhy) {
    auto first = StartServer();
    Child second(FybootpPath(), {"fybootp", "-Embedding"}, {}, bus->ServerDirectory());
    EXPECT_EQ(second.Wait(20s), 1);
    EXPECT_NE(second.Stderr().find("org.fybootp.FyBootpServer is owned already"),
              std::string::npos);
    EXPECT_TRUE(first->Running());
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
    // Started by "systemd" without any switch.
    Child service(FybootpPath(), {"fybootp"},
                  {"FYBOOTP_TEST_SERVICE_MAIN=1", "NOTIFY_SOCKET=" + socketPath},
                  bus->ServerDirectory());
    EXPECT_EQ(NextReport(), "STATUS=Starting");
    EXPECT_EQ(NextReport(), "READY=1\nSTATUS=Running");
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
