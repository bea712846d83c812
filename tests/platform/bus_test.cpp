// The bus layer's pieces that need no bus: how statuses become bus errors
// and back, the bus form of an interface described by a type library, and
// the run loop's quit from another thread.

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <thread>

#include "platform/bus/bus_connection.h"
#include "platform/bus/bus_members.h"
#include "platform/bus/bus_status.h"
#include "platform/bus/run_loop.h"
#include "platform/com/com_ptr.h"
#include "platform/com/load_type_lib.h"

namespace fybootp::bus {
namespace {

using namespace std::chrono_literals;

TEST(BusStatusTest, FailureTravelsAsNamedErrorWithSymbolicMessage) {
    EXPECT_EQ(ErrorName(E_OUTOFMEMORY), "org.fybootp.Error.HRESULT_0x8007000E");
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    EXPECT_LT(SetHresultError(&error, RPC_E_DISCONNECTED, "Started"), 0);
    EXPECT_STREQ(error.name, "org.fybootp.Error.HRESULT_0x80010108");
    EXPECT_STREQ(error.message, "RPC_E_DISCONNECTED: Started");
    EXPECT_EQ(HresultFromBusError(&error, -EIO, CallKind::kBound), RPC_E_DISCONNECTED);
    sd_bus_error_free(&error);
}

HRESULT FromName(const char* name, CallKind kind) {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_error_set(&error, name, "x");
    const HRESULT hr = HresultFromBusError(&error, -EIO, kind);
    sd_bus_error_free(&error);
    return hr;
}

TEST(BusStatusTest, BusErrorsMeanWhatACOMClientWouldSee) {
    EXPECT_EQ(FromName("org.freedesktop.DBus.Error.ServiceUnknown", CallKind::kActivation),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(FromName("org.freedesktop.DBus.Error.ServiceUnknown", CallKind::kBound),
              RPC_E_DISCONNECTED);
    EXPECT_EQ(FromName("org.freedesktop.DBus.Error.Spawn.ChildExited", CallKind::kActivation),
              CO_E_SERVER_EXEC_FAILURE);
    EXPECT_EQ(FromName("org.freedesktop.DBus.Error.NoReply", CallKind::kBound), RPC_E_DISCONNECTED);
    EXPECT_EQ(FromName("org.freedesktop.DBus.Error.AccessDenied", CallKind::kBound),
              E_ACCESSDENIED);
    // Only exactly eight hex digits are a status of ours.
    EXPECT_EQ(FromName("org.fybootp.Error.HRESULT_0x00000001", CallKind::kBound), S_FALSE);
    EXPECT_EQ(FromName("org.fybootp.Error.HRESULT_0x8000", CallKind::kBound), E_FAIL);
}

TEST(BusMembersTest, PropertiesAndMethodsComeFromTheTypeLibrary) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLibFromFile(FYB_TYPELIB_SOURCE, library.Receive()), S_OK);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfo(0, info.Receive()), S_OK);
    const TypeDesc* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    std::vector<BusMember> members;
    ASSERT_TRUE(DescribeMembers(*type, &members));
    ASSERT_EQ(members.size(), 10u);  // eight properties, two methods
    const BusMember* count = FindMember(members, "LogChangeCnt");
    ASSERT_NE(count, nullptr);
    EXPECT_TRUE(count->isProperty);
    EXPECT_EQ(count->getIndex, 9u);
    EXPECT_EQ(count->putIndex, kNoMember);  // read-only: no setter on the bus
    const BusMember* started = FindMember(members, "Started");
    EXPECT_EQ(started->getIndex, 14u);
    EXPECT_EQ(started->putIndex, 15u);
    const BusMember* add = FindMember(members, "AddBootpInfo");
    EXPECT_FALSE(add->isProperty);
    EXPECT_EQ(add->inSignature, "si");
    EXPECT_EQ(add->outSignature, "i");
    EXPECT_EQ(add->methodIndex, 18u);
}

TEST(BusConnectionTest, OurVariableBeforeTheStarterAddressBeforeTheSystemBus) {
    setenv("FYBOOTP_BUS_ADDRESS", "unix:path=/run/ours", 1);
    setenv("DBUS_STARTER_ADDRESS", "unix:path=/run/starter", 1);
    EXPECT_EQ(ChosenBusAddress(), "unix:path=/run/ours");
    EXPECT_EQ(ClientBusAddress(), "unix:path=/run/ours");
    unsetenv("FYBOOTP_BUS_ADDRESS");
    EXPECT_EQ(ChosenBusAddress(), "unix:path=/run/starter");
    // A client never follows the address of a bus that activated someone.
    EXPECT_EQ(ClientBusAddress(), "");
    unsetenv("DBUS_STARTER_ADDRESS");
    EXPECT_EQ(ChosenBusAddress(), "");  // the system bus
    EXPECT_EQ(ClientBusAddress(), "");
}

TEST(RunLoopTest, QuitFromAnotherThreadEndsTheLoop) {
    RunLoop loop;
    ASSERT_TRUE(loop.Ok());
    loop.PostQuit();  // posted before the loop runs: seen at once
    loop.RunUntilQuit();
    std::thread poster([&] {
        std::this_thread::sleep_for(20ms);
        loop.PostQuit();
    });
    loop.RunUntilQuit();
    poster.join();
    int fired = 0;
    ASSERT_TRUE(loop.AddTimer(10ms, [&] {
        ++fired;
        loop.PostQuit();
    }));
    loop.RunUntilQuit();
    EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace fybootp::bus
