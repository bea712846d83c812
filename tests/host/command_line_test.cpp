// The entry's command line: which switch acts, the run decision through the
// AppID key, and the exit code with its line on standard error. Cases that
// run the server are in server_process_test.cpp.

#include "host/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/host/bus_test_support.h"

namespace fybootp::testing {
namespace {

using host::FindNextSwitch;

TEST(FindNextSwitchTest, StopsAfterEitherSeparator) {
    EXPECT_EQ(FindNextSwitch("fybootp -Embedding", "-/"), 9u);
    EXPECT_EQ(FindNextSwitch("/usr/bin/fybootp", "-/"), 1u);
    EXPECT_EQ(FindNextSwitch("fybootp", "-/"), std::nullopt);
    EXPECT_EQ(FindNextSwitch("", "-/"), std::nullopt);
}

TEST(FindNextSwitchTest, PassesOverMultiByteCharactersWhole) {
    // "é" (C3 A9) and "€" (E2 82 AC) hold no separator byte and are skipped whole.
    EXPECT_EQ(FindNextSwitch("caf\xC3\xA9 \xE2\x82\xAC-x", "-/"), 10u);
}

// Records which registration operation acted, with what.
struct Recorded {
    static inline std::string calls;
    static inline long projectResult = 0;
    static inline long trustResult = 0;
    static long Trust(host::ServiceHost&) {
        calls += "trust;";
        return trustResult;
    }
    static long Unregister(host::ServiceHost&) {
        calls += "unregister;";
        return 11;
    }
    static long Register(host::ServiceHost&, bool typeLib, bool service) {
        calls += std::string("register(") + (typeLib ? "1" : "0") + (service ? "1" : "0") + ");";
        return 12;
    }
    static long Project(host::ServiceHost&, bool doRegister, const GUID&) {
        calls += doRegister ? "project(1);" : "project(0);";
        return projectResult;
    }
};

class SwitchTest : public ::testing::Test {
protected:
    void SetUp() override {
        Recorded::calls.clear();
        Recorded::projectResult = 0;
        Recorded::trustResult = 0;
        // A registry without the AppID key: the run decision ends with 2.
        setenv("FYBOOTP_REGISTRY_ROOT", registryDir.c_str(), 1);
    }
    long Run(std::string_view line) { return host::RunEntry(hostRecord, ops, line); }
    std::string registryDir = ::testing::TempDir() + "/fyb-no-registry";
    host::ServiceHost hostRecord;
    host::RegistrationOps ops{&Recorded::Trust, &Recorded::Unregister, &Recorded::Register,
                              &Recorded::Project};
};

TEST_F(SwitchTest, SlashAndLowerCaseRegisterAsLocalServer) {
    EXPECT_EQ(Run("/usr/bin/fybootp /regserver"), 12);
    EXPECT_EQ(Recorded::calls, "trust;register(10);");
}

TEST_F(SwitchTest, EachSwitchReachesItsOperation) {
    EXPECT_EQ(Run("fybootp -UnregServer"), 11);
    EXPECT_EQ(Run("fybootp -Service"), 12);
    EXPECT_EQ(Recorded::calls, "trust;unregister;trust;register(11);");
}

// The project step loads what the registry names: a registry or module
// that is not trusted stops every switch before its first step, and the
// refusal, though a Win32 code, is the result.
TEST_F(SwitchTest, RefusedTrustStopsEverySwitchBeforeItsFirstStep) {
    Recorded::trustResult = 5;
    for (const char* line : {"fybootp -RegFyServer", "fybootp -UnregFyServer", "fybootp -RegServer",
                             "fybootp -Service", "fybootp -UnregServer"}) {
        Recorded::calls.clear();
        EXPECT_EQ(Run(line), 5) << line;
        EXPECT_EQ(Recorded::calls, "trust;") << line;
    }
}

TEST_F(SwitchTest, ABlankBehindTheNameMatchesNothing) {
    EXPECT_EQ(Run("fybootp -RegServer "), 2);  // the run decision, no AppID key
    EXPECT_EQ(Recorded::calls, "");
}

TEST_F(SwitchTest, OnlyTheLastSwitchCanAct) {
    EXPECT_EQ(Run("fybootp -Embedding -RegServer"), 12);
    EXPECT_EQ(Recorded::calls, "trust;register(10);");
}

TEST_F(SwitchTest, ProjectFailureStopsRegistrationButWin32CodesAreDropped) {
    Recorded::projectResult = static_cast<long>(STG_E_FILENOTFOUND);
    EXPECT_EQ(Run("fybootp -UnregFyServer"), STG_E_FILENOTFOUND);
    EXPECT_EQ(Recorded::calls, "trust;project(0);");
    Recorded::calls.clear();
    Recorded::projectResult = 2;  // the current-project key is missing
    EXPECT_EQ(Run("fybootp -RegFyServer"), 12);
    EXPECT_EQ(Recorded::calls, "trust;project(1);register(11);");
}

TEST(ExitCodeTest, SmallResultsExitAsThemselvesOthersAsOne) {
    EXPECT_EQ(host::ExitCodeOf(0), 0);
    EXPECT_EQ(host::ExitCodeOf(2), 2);
    EXPECT_EQ(host::ExitCodeOf(255), 255);
    EXPECT_EQ(host::ExitCodeOf(256), 1);
    EXPECT_EQ(host::ExitCodeOf(STG_E_FILENOTFOUND), 1);
    EXPECT_EQ(host::ResultLine(STG_E_FILENOTFOUND),
              "fybootp: result 0x80030002 (STG_E_FILENOTFOUND)");
}

// The executable itself, in a scratch root with a private bus.
class EntryProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        bus = PrivateBus::Start(&whyNot);
        ASSERT_NE(bus, nullptr) << whyNot;
    }
    std::unique_ptr<PrivateBus> bus;
};

TEST_F(EntryProcessTest, NoSwitchEndsWithZeroOrTheMissingKeysCode) {
    Child missing(FybootpPath(), {"fybootp"});
    EXPECT_EQ(missing.Wait(20s), 2);
    EXPECT_NE(missing.Stderr().find("fybootp: result 0x00000002 (ERROR_FILE_NOT_FOUND)"),
              std::string::npos);
    bus->SeedAppId(true);
    // A bare start from a shell does not run, "LocalService" or not.
    Child bare(FybootpPath(), {"fybootp"});
    EXPECT_EQ(bare.Wait(20s), 0);
    EXPECT_EQ(bare.Stderr(), "");
    EXPECT_FALSE(bus->NameHasOwner());
}

TEST_F(EntryProcessTest, EmbeddingWithoutTheAppIdKeyDoesNotRun) {
    Child child(FybootpPath(), {"fybootp", "-Embedding"});
    EXPECT_EQ(child.Wait(20s), 2);
    EXPECT_FALSE(bus->NameHasOwner());
}

TEST_F(EntryProcessTest, RegistrationSwitchPassesItsStatusOut) {
    // A registry that was never written and cannot be: the AppID key
    // cannot be opened, and its Win32 code is the result.
    std::filesystem::create_directories(bus->StateDirectory() + "/registry/HKCR.lock");
    Child child(FybootpPath(), {"fybootp", "/REGSERVER"});
    EXPECT_EQ(child.Wait(20s), 2);
    EXPECT_NE(child.Stderr().find("fybootp: result 0x00000002 (ERROR_FILE_NOT_FOUND)"),
              std::string::npos)
        << child.Stderr();
}

TEST_F(EntryProcessTest, HyphenInTheProgramPathDoesNotHideEmbedding) {
    bus->SeedAppId(false);
    // argv[0] as a shell would pass a path with a hyphenated folder.
    Child child(FybootpPath(), {"/opt/fy-bootp/fybootp", "-Embedding"}, {}, bus->ServerDirectory());
    ASSERT_TRUE(bus->WaitForName(true)) << child.Stderr();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(20s), 0);
    EXPECT_NE(child.Stdout().find("Service started"), std::string::npos);
}

TEST_F(EntryProcessTest, EmbeddingBeforeARegistrationSwitchRunsTheRegistration) {
    Child child(FybootpPath(), {"fybootp", "-Embedding", "-RegServer"});
    EXPECT_EQ(child.Wait(20s), 0) << child.Stderr();
    EXPECT_FALSE(bus->NameHasOwner());
    EXPECT_TRUE(std::filesystem::exists(
        bus->Root() + "/usr/share/dbus-1/system-services/org.fybootp.FyBootpServer.service"));
}

}  // namespace
}  // namespace fybootp::testing
