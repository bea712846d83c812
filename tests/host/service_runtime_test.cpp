// The service runtime in process, with a recording event log and service
// manager: controls, the status messages, the service entry without its
// handler, and a class object that cannot be published.

#include "host/service_runtime.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace fybootp::testing
