// The service runtime in process, with a recording event log and service
// manager: controls, the status messages, the service entry without its
// handler, a class object that cannot be published, and the audit trail
// of a running service.

#include "host/service_runtime.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/host/bus_test_support.h"

namespace fybootp::testing {
namespace {

struct RecordingLog final : journal::Sink {
    void Write(journal::Priority, std::string_view message) noexcept override {
        lines.emplace_back(message);
    }
    std::vector<std::string> lines;
};

struct RecordingManager final : host::ServiceManager {
    bool IsServiceMainProcess() override { return serviceMain; }
    void Notify(const std::string& lines) override { reports.push_back(lines); }
    bool serviceMain = true;
    std::vector<std::string> reports;
};

class ServiceRuntimeTest : public ::testing::Test {
protected:
    ServiceRuntimeTest() {
        record.m_eventLog = &log;
        record.m_serviceManager = &manager;
        record.m_classTable = table;
        record.m_dropPrivileges = [](std::string*) { return true; };
    }
    static HRESULT CannotBuild(host::ServiceHost&, const IID&, void** object) {
        *object = nullptr;
        return E_OUTOFMEMORY;
    }
    RecordingLog log;
    RecordingManager manager;
    host::ClassTableRow table[2] = {{&kSomeClass, nullptr, &CannotBuild, 0, nullptr}, {}};
    host::ServiceHost record;
    static constexpr GUID kSomeClass = GuidLiteral("{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
};

TEST_F(ServiceRuntimeTest, ControlsWithoutLinuxTriggerChangeNothing) {
    for (const DWORD control :
         {host::SERVICE_CONTROL_PAUSE, host::SERVICE_CONTROL_CONTINUE,
          host::SERVICE_CONTROL_INTERROGATE, host::SERVICE_CONTROL_SHUTDOWN}) {
        host::ServiceControl(record, control);
    }
    EXPECT_TRUE(manager.reports.empty());
    EXPECT_TRUE(log.lines.empty());
    host::ServiceControl(record, host::kUnknownControl);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Bad service request"});
}

TEST_F(ServiceRuntimeTest, StopControlReportsStopPendingAndEndsWhateverTheCount) {
    host::ServiceControl(record, host::SERVICE_CONTROL_STOP);
    EXPECT_EQ(manager.reports, std::vector<std::string>{"STOPPING=1\nSTATUS=Stopping"});
    EXPECT_EQ(record.m_serviceStatus.dwCurrentState, host::SERVICE_STOP_PENDING);
    EXPECT_TRUE(record.m_stopRequested);
}

TEST_F(ServiceRuntimeTest, HostEventsAreCutAt255Characters) {
    host::ReportHostEvent(record, std::string(300, 'x'));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].size(), 255u);
}

TEST_F(ServiceRuntimeTest, ServiceEntryWithoutItsHandlerRunsNothing) {
    // The control signals are not blocked in this thread: no handler.
    host::ServiceEntry(record);
    EXPECT_EQ(log.lines, std::vector<std::string>{"Handler not installed"});
    EXPECT_TRUE(manager.reports.empty());
}

TEST_F(ServiceRuntimeTest, LocalServerThatCannotPublishSaysWhyAndEndsWithOne) {
    std::string whyNot;
    auto bus = PrivateBus::Start(&whyNot);
    ASSERT_NE(bus, nullptr) << whyNot;
    manager.serviceMain = false;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    host::StartHost(record);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // never "Service started"
    EXPECT_NE(err.find("the server object cannot be built: 0x8007000E (E_OUTOFMEMORY)"),
              std::string::npos);
    EXPECT_EQ(record.m_serviceStatus.dwWin32ExitCode, 1u);
    EXPECT_FALSE(bus->NameHasOwner());
}

// The real server as a service on a thread of this process, so that its
// event log is the recording one; its responder starts, in a network
// namespace of this test's own.
TEST_F(ServiceRuntimeTest, EveryChangeOfStateIsAuditedWithItsCaller) {
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace (needs root)";
    std::string whyNot;
    auto bus = PrivateBus::Start(&whyNot);
    ASSERT_NE(bus, nullptr) << whyNot;
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(bus->ServerDirectory());  // where FyBootpInfo.xml lives
    record.m_classTable = host::FyBootpClassTable();
    std::thread server([this] {
        host::BlockControlSignals();
        host::StartHost(record);
    });
    const bool serving = bus->WaitForName(true);

    const std::string object = "org.fybootp.FyBootpServer /org/fybootp/FyBootpServer/Server ";
    const std::string itf = object + "org.fybootp.IFyBootpServer ";
    const std::string control = object + "org.fybootp.IFyServerControl ";
    const std::string nodes =
        "<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.21</IpAddr><MacAddr>024B77000021</MacAddr>"
        "</Node><Node ><IpAddr>192.0.2.20</IpAddr><MacAddr>024B77000020</MacAddr></Node></Nodes>"
        "</FyBootpInfo>";
    const std::string badHost =
        "<FyBootpInfo><HostInfo><Override>maybe</Override></HostInfo></FyBootpInfo>";
    const std::string root = "uid 0 (root) ";
    const std::string member = "uid 65534 (nobody) ";
    const struct {
        bool asMember;
        std::string busctl;
        std::string line;  // the whole line, or "" for none
    } cases[] = {
        // 192.0.2.10 in network byte order is 0x0A0200C0.
        {false, "call " + itf + "AddBootpInfo si 024B77000001 167903424",
         root + "AddBootpInfo 024B77000001 192.0.2.10: S_OK"},
        {true, "call " + itf + "DeleteBootpInfo s 024b77000001",
         member + "DeleteBootpInfo 024b77000001: S_OK"},
        {true, "call " + itf + "DeleteBootpInfo s '02 4B\\n77'",  // not shown as it came
         member + "DeleteBootpInfo (9 bytes): S_FALSE"},
        {true, "set-property " + itf + "BootpInfosXml s '" + nodes + "'",
         member + "put BootpInfosXml 2 rows: S_OK"},
        {true, "set-property " + itf + "HostInfoXml s '" + badHost + "'",
         member + "put HostInfoXml " + std::to_string(badHost.size()) +
             " bytes: DISP_E_TYPEMISMATCH"},
        {true, "set-property " + itf + "LogEntries s '<FyBootpInfo/>'",
         member + "put LogEntries (clears the log): S_OK"},
        {true, "set-property " + itf + "DisableResponse i 1", member + "put DisableResponse 1: S_OK"},
        {true, "call " + control + "Start", member + "Start: S_OK"},
        {false, "set-property " + itf + "Started i 0", root + "put Started 0: S_OK"},
        {true, "call " + control + "Stop", member + "Stop: S_OK"},
        {true, "get-property " + itf + "BootpInfosXml", ""},  // reads change nothing
    };
    for (const auto& c : cases) {
        const std::string command = "busctl --address=" + bus->Address() + " " + c.busctl;
        if (serving) Shell((c.asMember ? bus->AsMember(command) : command) + " >/dev/null 2>&1");
    }
    pthread_kill(server.native_handle(), SIGTERM);  // the service's stop control
    server.join();
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(serving);

    std::vector<std::string> audit;
    std::copy_if(log.lines.begin(), log.lines.end(), std::back_inserter(audit),
                 [](const std::string& line) { return line.rfind("uid ", 0) == 0; });
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        if (!c.line.empty()) expected.push_back(c.line);
    }
    EXPECT_EQ(audit, expected);
}

}  // namespace
}  // namespace fybootp::testing
