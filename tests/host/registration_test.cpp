// Registration as processes with their exit codes, against a scratch
// FYBOOTP_ROOT and a private bus: the registry entries, the bus files, the
// service entry under a stand-in for systemd, faults that must leave no
// half-made registry, and a client's first call after registration.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "automation/fybootp_ids.h"
#include "automation/fybootp_interfaces.h"
#include "host/fybootp_proxy.h"
#include "host/registration/service_control.h"
#include "host/registration/unit_files.h"
#include "platform/bus/bus_client.h"
#include "platform/bus/bus_server.h"
#include "platform/com/com_ptr.h"
#include "platform/registry/registry.h"
#include "tests/host/bus_test_support.h"

namespace fybootp::testing {
namespace {

namespace fs = std::filesystem;

const std::string kAppId = "AppID\\{DA184C20-DFC9-47A7-A2AE-6D98202999CD}";
const std::string kClass = "CLSID\\{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}";
const std::string kTypeLib = "TypeLib\\{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}";

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// systemd's bus interface as far as the service steps use it: LoadUnit,
// the unit's LoadState, StopUnit and Reload. Like systemd, it knows a unit
// file only after a Reload (or from its own start).
class SystemdStandIn {
public:
    SystemdStandIn(const std::string& address, std::string unitPath)
        : m_unitPath(std::move(unitPath)), m_loaded(fs::exists(m_unitPath)) {
        // The daemon's socket may exist a moment before it accepts.
        for (int attempt = 0; attempt < 100 && !m_ok; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(20ms);
            m_bus = sd_bus_flush_close_unref(m_bus);
            m_ok = sd_bus_new(&m_bus) >= 0 && sd_bus_set_address(m_bus, address.c_str()) >= 0 &&
                   sd_bus_set_bus_client(m_bus, 1) >= 0 && sd_bus_start(m_bus) >= 0;
        }
        m_ok = m_ok &&
               sd_bus_add_object_vtable(m_bus, nullptr, "/org/freedesktop/systemd1",
                                        "org.freedesktop.systemd1.Manager", kManagerVtable,
                                        this) >= 0 &&
               sd_bus_add_fallback_vtable(m_bus, nullptr, "/org/freedesktop/systemd1/unit",
                                          "org.freedesktop.systemd1.Unit", kUnitVtable, nullptr,
                                          this) >= 0 &&
               sd_bus_request_name(m_bus, "org.freedesktop.systemd1", 0) >= 0;
        if (!m_ok) return;
        m_thread = std::thread([this] {
            while (!m_stop) {
                if (sd_bus_process(m_bus, nullptr) > 0) continue;
                sd_bus_wait(m_bus, 50'000);
            }
        });
    }
    ~SystemdStandIn() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        sd_bus_flush_close_unref(m_bus);
    }

    bool Ok() const { return m_ok; }
    std::vector<std::string> Calls() {
        const std::lock_guard guard(m_lock);
        return m_calls;
    }
    void ClearCalls() {
        const std::lock_guard guard(m_lock);
        m_calls.clear();
    }

private:
    void Record(std::string call) {
        const std::lock_guard guard(m_lock);
        m_calls.push_back(std::move(call));
    }

    static int LoadUnit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* name = nullptr;
        sd_bus_message_read(m, "s", &name);
        static_cast<SystemdStandIn*>(self)->Record(std::string("LoadUnit ") + name);
        return sd_bus_reply_method_return(m, "o",
                                          "/org/freedesktop/systemd1/unit/FyBootp_2eservice");
    }
    static int StopUnit(sd_bus_message* m, void* self, sd_bus_error*) {
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(m, "ss", &name, &mode);
        static_cast<SystemdStandIn*>(self)->Record(std::string("StopUnit ") + name + " " + mode);
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/1");
    }
    static int Reload(sd_bus_message* m, void* raw, sd_bus_error*) {
        auto* self = static_cast<SystemdStandIn*>(raw);
        self->Record("Reload");
        self->m_loaded = fs::exists(self->m_unitPath);
        return sd_bus_reply_method_return(m, "");
    }
    static int LoadState(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                         void* self, sd_bus_error*) {
        return sd_bus_message_append(
            reply, "s", static_cast<SystemdStandIn*>(self)->m_loaded ? "loaded" : "not-found");
    }

    static constexpr sd_bus_vtable kManagerVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("LoadUnit", "s", "o", &LoadUnit, 0),
        SD_BUS_METHOD("StopUnit", "ss", "o", &StopUnit, 0),
        SD_BUS_METHOD("Reload", "", "", &Reload, 0),
        SD_BUS_VTABLE_END,
    };
    static constexpr sd_bus_vtable kUnitVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("LoadState", "s", &LoadState, 0, 0),
        SD_BUS_VTABLE_END,
    };

    std::string m_unitPath;
    std::atomic<bool> m_loaded;
    sd_bus* m_bus = nullptr;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::thread m_thread;
};

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        bus = PrivateBus::Start(&whyNot);
        ASSERT_NE(bus, nullptr) << whyNot;
        // The fixture installs a policy of its own; registration writes it.
        fs::remove(bus->Root() + "/usr/share/dbus-1/system.d/org.fybootp.FyBootpServer.conf");
    }

    // Runs `module` with one switch; its exit code.
    int Run(const std::string& switchText, const std::string& module = FybootpPath()) {
        Child child(module, {module, switchText});
        const auto code = child.Wait(60s);
        lastStderr = child.Stderr();
        return code.value_or(-1);
    }

    std::string Value(const std::string& path, const std::string& name = "") {
        registry::Registry registry(bus->StateDirectory() + "/registry");
        registry::HKEY key{};
        std::string text = "<absent>";
        if (registry.OpenKey(registry::HKEY_CLASSES_ROOT, path, &key) != 0) return text;
        registry.QueryString(key, name, &text);
        registry.CloseKey(key);
        return text;
    }
    bool Exists(const std::string& path) {
        registry::Registry registry(bus->StateDirectory() + "/registry");
        registry::HKEY key{};
        if (registry.OpenKey(registry::HKEY_CLASSES_ROOT, path, &key) != 0) return false;
        registry.CloseKey(key);
        return true;
    }
    std::string HiveText() { return ReadFile(bus->StateDirectory() + "/registry/HKCR.reg"); }

    std::string ActivationFile() {
        return bus->Root() + "/usr/share/dbus-1/system-services/org.fybootp.FyBootpServer.service";
    }
    std::string PolicyFile() {
        return bus->Root() + "/usr/share/dbus-1/system.d/org.fybootp.FyBootpServer.conf";
    }
    std::string UnitFile() { return bus->Root() + "/etc/systemd/system/FyBootp.service"; }
    std::string LocalUnitFile() {
        return bus->Root() + "/etc/systemd/system/fybootp-local.service";
    }

    // Every entry the class script and the type library make.
    void ExpectClassRegistered(const std::string& module) {
        EXPECT_EQ(Value(kClass), "FyBootpServer Class");
        EXPECT_EQ(Value(kClass + "\\LocalServer32"), module);
        EXPECT_EQ(Value(kClass + "\\ProgID"), "FyBootp.FyBootpServer.1");
        EXPECT_EQ(Value(kClass + "\\VersionIndependentProgID"), "FyBootp.FyBootpServer");
        EXPECT_EQ(Value(kClass + "\\TypeLib"), "{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}");
        EXPECT_TRUE(Exists(kClass + "\\Programmable"));
        EXPECT_EQ(Value("FyBootp.FyBootpServer\\CurVer"), "FyBootp.FyBootpServer.1");
        EXPECT_EQ(Value("FyBootp.FyBootpServer.1\\CLSID"),
                  "{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}");
        EXPECT_EQ(Value(kTypeLib + "\\1.0\\0\\win32"), module);
    }
    void ExpectNothingOfTheClass() {
        EXPECT_FALSE(Exists(kClass));
        EXPECT_FALSE(Exists("FyBootp.FyBootpServer"));
        EXPECT_FALSE(Exists("FyBootp.FyBootpServer.1"));
    }

    // A copy of the executable at `path` with one section replaced by the
    // text (or removed when the text is empty).
    std::string PatchedCopy(const std::string& path, const std::string& section,
                            const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        const std::string replacement = bus->Root() + "/section.txt";
        std::ofstream(replacement) << text;
        std::string command = "objcopy --remove-section " + section;
        if (!text.empty()) command += " --add-section " + section + "=" + replacement;
        EXPECT_EQ(Shell(command + " '" + FybootpPath() + "' '" + path + "'"), 0);
        return path;
    }

    std::unique_ptr<PrivateBus> bus;
    std::string lastStderr;
};

using RegistryEntries = RegistrationTest;

TEST_F(RegistryEntries, RegServerWritesAppIdClassTypeLibAndBusFiles) {
    ASSERT_EQ(Run("-RegServer"), 0) << lastStderr;
    EXPECT_EQ(Value(kAppId), "FyBootp");
    EXPECT_EQ(Value(kAppId, "LocalService"), "<absent>");
    EXPECT_EQ(Value("AppID\\FyBootp.EXE", "AppID"), "{DA184C20-DFC9-47A7-A2AE-6D98202999CD}");
    ExpectClassRegistered(FybootpPath());
    EXPECT_EQ(Value(kTypeLib + "\\1.0\\HELPDIR"),
              fs::path(FybootpPath()).parent_path().string() + "/");
    // Root's files, 0644, in 0755 folders; the group the policy names.
    for (const std::string& file : {ActivationFile(), PolicyFile()}) {
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        EXPECT_EQ(info.st_uid, 0u);
        ASSERT_EQ(stat(fs::path(file).parent_path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0755u);
    }
    const std::string activation = ReadFile(ActivationFile());
    EXPECT_NE(activation.find("Exec=/usr/bin/env --chdir=" + bus->ServerDirectory() + " " +
                              FybootpPath() + " -Embedding\nUser=root\n"
                              "SystemdService=fybootp-local.service\n"),
              std::string::npos)
        << activation;
    const std::string unit = ReadFile(LocalUnitFile());
    EXPECT_NE(unit.find("ExecStart=\"" + FybootpPath() + "\" -Embedding\n"), std::string::npos);
    EXPECT_NE(unit.find("User=_fybootp\n"), std::string::npos) << unit;
    // The server's directory is its user's alone.
    struct stat server {};
    ASSERT_EQ(stat(bus->ServerDirectory().c_str(), &server), 0);
    EXPECT_EQ(server.st_mode & 07777, 0750u);
    EXPECT_EQ(server.st_uid, bus->ServerUid());
    // No systemd on the private bus: a local server needs none.
    EXPECT_EQ(lastStderr, "");
}

TEST_F(RegistryEntries, ForeignSubkeyUnderTheClassKeyIsReplacedWhole) {
    ASSERT_EQ(Run("-RegServer"), 0);
    {
        registry::Registry registry(bus->StateDirectory() + "/registry");
        registry::HKEY key{};
        registry.CreateKey(registry::HKEY_CLASSES_ROOT, kClass + "\\InprocServer32", &key);
        registry.CloseKey(key);
        registry.CreateKey(registry::HKEY_CLASSES_ROOT,
                           "CLSID\\{0000000A-0000-0000-0000-000000000000}", &key);
        registry.CloseKey(key);
    }
    ASSERT_EQ(Run("-RegServer"), 0);
    EXPECT_FALSE(Exists(kClass + "\\InprocServer32"));
    EXPECT_TRUE(Exists("CLSID\\{0000000A-0000-0000-0000-000000000000}"));
    ExpectClassRegistered(FybootpPath());
}

TEST_F(RegistryEntries, ModulePathWithASingleQuoteIsWrittenOnce) {
    const std::string module = bus->Root() + "/opt/o'brien x/fybootp";
    fs::create_directories(fs::path(module).parent_path());
    fs::copy_file(FybootpPath(), module);
    ASSERT_EQ(Run("-RegServer", module), 0) << lastStderr;
    ExpectClassRegistered(module);
    EXPECT_NE(ReadFile(ActivationFile()).find("'" + bus->Root() + "/opt/o'\\''brien x/fybootp'"),
              std::string::npos);
}

TEST_F(RegistryEntries, TlbBesideAnExecutableWithoutTheLibrary) {
    const std::string module = PatchedCopy(bus->Root() + "/opt/x.y/fybootp", ".fyb_typelib", "");
    // Without a .tlb the type library's load status is the result; the
    // class entries stay, as only a failed class script takes itself back.
    EXPECT_EQ(Run("-RegServer", module), 1);
    EXPECT_NE(lastStderr.find("fybootp: result 0x80029C4A"), std::string::npos) << lastStderr;
    EXPECT_EQ(Value(kClass + "\\LocalServer32"), module);

    fs::copy_file(FYB_TYPELIB_SOURCE, bus->Root() + "/opt/x.y/fybootp.tlb");
    ASSERT_EQ(Run("-RegServer", module), 0) << lastStderr;
    EXPECT_EQ(Value(kTypeLib + "\\1.0\\0\\win32"), bus->Root() + "/opt/x.y/fybootp.tlb");
    EXPECT_EQ(Value(kTypeLib + "\\1.0\\HELPDIR"), bus->Root() + "/opt/x.y/");
    ASSERT_EQ(Run("-UnregServer", module), 0);
    EXPECT_FALSE(Exists(kTypeLib));
}

using RegistrationFaults = RegistrationTest;

TEST_F(RegistrationFaults, ClassScriptWithASyntaxErrorRegistersNoClass) {
    const std::string module = PatchedCopy(bus->Root() + "/opt/fybootp", ".fyb_registry_101",
                                           "HKCR\n{\n\tFyBootp.FyBootpServer = s 'open\n}\n");
    EXPECT_EQ(Run("-RegServer", module), 1);
    EXPECT_NE(lastStderr.find("0x80020009 (DISP_E_EXCEPTION)"), std::string::npos) << lastStderr;
    ExpectNothingOfTheClass();
    EXPECT_FALSE(fs::exists(ActivationFile()));
}

TEST_F(RegistrationFaults, ClassScriptFailingPartWayTakesBackWhatItMade) {
    const std::string module = PatchedCopy(
        bus->Root() + "/opt/fybootp", ".fyb_registry_101",
        "HKCR\n{\n\tFyBootp.FyBootpServer = s 'x'\n\t{\n\t\tCLSID = s 'y'\n\t}\n\tNoRemove CLSID\n"
        "\t{\n\t\t'" +
            std::string(300, 'k') + "'\n\t}\n}\n");
    const int code = Run("-RegServer", module);
    EXPECT_EQ(code, 1);
    ExpectNothingOfTheClass();
    EXPECT_FALSE(Exists(kTypeLib));
}

TEST_F(RegistrationFaults, UnknownReplacementIsAnException) {
    const std::string module = PatchedCopy(bus->Root() + "/opt/fybootp", ".fyb_registry_101",
                                           "HKCR\n{\n\tA = s '%WHERE%'\n}\n");
    EXPECT_EQ(Run("-RegServer", module), 1);
    EXPECT_NE(lastStderr.find("DISP_E_EXCEPTION"), std::string::npos);
    EXPECT_FALSE(Exists("A"));
}

TEST_F(RegistrationFaults, StoreThatCannotBeWrittenGivesAccessDenied) {
    ASSERT_EQ(Run("-RegServer"), 0);
    const std::string before = HiveText();
    // Readable, but no change can take the hive's lock.
    const std::string lock = bus->StateDirectory() + "/registry/HKCR.lock";
    fs::remove(lock);
    fs::create_directories(lock);
    EXPECT_EQ(Run("-Service"), 5);
    EXPECT_EQ(HiveText(), before);
}

TEST_F(RegistrationFaults, NeverRegisteredAndUnwritableGivesFileNotFound) {
    fs::create_directories(bus->StateDirectory() + "/registry/HKCR.lock");
    EXPECT_EQ(Run("-RegServer"), 2);
    EXPECT_EQ(HiveText(), "");
    EXPECT_FALSE(fs::exists(ActivationFile()));
}

// A bus that takes the connection and never answers holds registration in
// its first call to the service manager; the operator's SIGTERM must still
// end it, as it would any command.
TEST_F(RegistrationFaults, SigtermEndsARegistrationHangingOnASilentBus) {
    const std::string path = bus->Root() + "/run/silent.sock";
    const int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    Child child(FybootpPath(), {FybootpPath(), "-RegServer"},
                {"FYBOOTP_BUS_ADDRESS=unix:path=" + path});
    // Registration is in the bus's hands once the socket has its connection.
    for (int i = 0; i < 500; ++i) {
        pollfd ready{silent, POLLIN, 0};
        if (poll(&ready, 1, 10) == 1) break;
    }
    EXPECT_FALSE(child.Wait(200ms).has_value()) << "registration did not wait on the bus";
    const auto signalled = std::chrono::steady_clock::now();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(5s), 128 + SIGTERM);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 1s);
    close(silent);
}

TEST_F(RegistrationFaults, RegistryOthersCanWriteIsRefused) {
    ASSERT_EQ(Run("-RegServer"), 0);
    const std::string before = HiveText();
    chmod((bus->StateDirectory() + "/registry").c_str(), 0777);
    EXPECT_EQ(Run("-Service"), 5);
    EXPECT_NE(lastStderr.find("FyBootp: Refusing to write into " + bus->StateDirectory() +
                              "/registry: other users can change it"),
              std::string::npos)
        << lastStderr;
    EXPECT_EQ(HiveText(), before);
}

TEST_F(RegistrationFaults, KilledRegistrationIsRepairedBySecondOne) {
    // Killed at growing moments, from before the first write to the end.
    for (int delayMs = 0; delayMs <= 150; delayMs += 10) {
        Child child(FybootpPath(), {FybootpPath(), "-Service"});
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        child.Signal(SIGKILL);
        child.Wait(20s);
        registry::Registry registry(bus->StateDirectory() + "/registry");
        ASSERT_EQ(registry.QueryInfoKey(registry::HKEY_CLASSES_ROOT, nullptr, nullptr), 0)
            << "hive unreadable after a kill at " << delayMs << " ms";
    }
    ASSERT_EQ(Run("-Service"), 0);
    ExpectClassRegistered(FybootpPath());
    EXPECT_EQ(Value(kAppId, "LocalService"), "FyBootp");
    for (const auto& entry : fs::directory_iterator(bus->StateDirectory() + "/registry")) {
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

class ServiceEntry : public RegistrationTest {
protected:
    void SetUp() override {
        RegistrationTest::SetUp();
        if (HasFatalFailure()) return;
        systemd = std::make_unique<SystemdStandIn>(bus->Address(), UnitFile());
        ASSERT_TRUE(systemd->Ok());
    }
    void TearDown() override { systemd.reset(); }

    std::unique_ptr<SystemdStandIn> systemd;
};

TEST_F(ServiceEntry, WithoutSystemdRegistrationGoesOn) {
    systemd.reset();
    ASSERT_EQ(Run("-Service"), 0);
    EXPECT_EQ(lastStderr, "FyBootp: Couldn't open service manager\n");
    EXPECT_EQ(Value(kAppId, "LocalService"), "FyBootp");
    EXPECT_EQ(Value(kAppId, "ServiceParameters"), "-Service");
    EXPECT_FALSE(fs::exists(UnitFile()));
}

TEST_F(ServiceEntry, ServiceWritesTheUnitAndReloads) {
    ASSERT_EQ(Run("-Service"), 0) << lastStderr;
    EXPECT_EQ(lastStderr, "");
    const std::string unit = ReadFile(UnitFile());
    EXPECT_NE(unit.find("ExecStart=\"" + FybootpPath() + "\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("WorkingDirectory=" + bus->ServerDirectory() + "\n"), std::string::npos);
    EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
    // A service's bus activation goes to its unit, not to a second server.
    EXPECT_NE(ReadFile(ActivationFile()).find("SystemdService=FyBootp.service\n"),
              std::string::npos);
    EXPECT_EQ(unit.find("[Install]"), std::string::npos);
    const std::vector<std::string> expected{"LoadUnit FyBootp.service", "LoadUnit FyBootp.service",
                                            "Reload", "LoadUnit FyBootp.service"};
    // RemoveService asks once (nothing there), InstallService asks, creates,
    // reloads and opens the new unit.
    EXPECT_EQ(systemd->Calls(), expected);
}

TEST_F(ServiceEntry, ServiceTwiceStopsDeletesAndCreatesAgain) {
    ASSERT_EQ(Run("-Service"), 0);
    systemd->ClearCalls();
    ASSERT_EQ(Run("-Service"), 0) << lastStderr;
    const auto calls = systemd->Calls();
    const auto stop = std::find(calls.begin(), calls.end(), "StopUnit FyBootp.service replace");
    ASSERT_NE(stop, calls.end());
    EXPECT_EQ(std::count(stop, calls.end(), "Reload"), 2);  // deleted, created
    EXPECT_TRUE(fs::exists(UnitFile()));
}

TEST_F(ServiceEntry, RegServerAfterServiceKeepsServiceParametersOnly) {
    ASSERT_EQ(Run("-Service"), 0);
    ASSERT_EQ(Run("-RegServer"), 0) << lastStderr;
    EXPECT_EQ(Value(kAppId, "LocalService"), "<absent>");
    EXPECT_EQ(Value(kAppId, "ServiceParameters"), "-Service");
    EXPECT_FALSE(fs::exists(UnitFile()));
    const auto calls = systemd->Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "StopUnit FyBootp.service replace"),
              calls.end());
    ExpectClassRegistered(FybootpPath());
}

TEST_F(ServiceEntry, UnregServerAfterServiceRemovesEverythingItWrote) {
    const auto before = [&] {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(bus->Root())) {
            if (entry.is_regular_file()) files.push_back(entry.path().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    };
    const auto original = before();
    ASSERT_EQ(Run("-Service"), 0);
    ASSERT_TRUE(fs::exists(UnitFile()));
    ASSERT_EQ(Run("-UnregServer"), 0) << lastStderr;
    EXPECT_FALSE(Exists(kAppId));
    EXPECT_FALSE(Exists("AppID\\FyBootp.EXE"));
    ExpectNothingOfTheClass();
    EXPECT_FALSE(Exists(kTypeLib));
    EXPECT_FALSE(Exists("Interface\\{C8A025E7-E7D8-4682-98CB-F680A40F3FDB}"));
    EXPECT_TRUE(Exists("AppID"));
    EXPECT_TRUE(Exists("CLSID"));
    // Left: the registry's own files and the group, which stays.
    std::vector<std::string> left;
    for (const std::string& file : before()) {
        if (std::find(original.begin(), original.end(), file) != original.end()) continue;
        if (file.find("/var/lib/fybootp/registry/") != std::string::npos) continue;
        if (file.find("/etc/group") != std::string::npos ||
            file.find("/etc/gshadow") != std::string::npos) {
            continue;
        }
        left.push_back(file);
    }
    EXPECT_EQ(left, std::vector<std::string>{});
}

TEST(ServiceUnit, BothUnitsVerifyCleanRunAsTheServerUserAndExposureStaysLow) {
    char pattern[] = "/tmp/fyb-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::pair<const char*, std::string> units[] = {
        {"FyBootp.service", host::ServiceUnitText("FyBootp", FybootpPath(), "/var/lib/fybootp/server")},
        {"fybootp-local.service",
         host::LocalUnitText("FyBootp", FybootpPath(), "/var/lib/fybootp/server")},
    };
    const bool haveAnalyze = Shell("command -v systemd-analyze >/dev/null") == 0;
    for (const auto& [name, text] : units) {
        SCOPED_TRACE(name);
        for (const char* line : {"User=_fybootp\n", "AmbientCapabilities=CAP_NET_BIND_SERVICE\n",
                                 "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n",
                                 "WorkingDirectory=/var/lib/fybootp/server\n"}) {
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
        if (!haveAnalyze) continue;
        const std::string unit = dir + "/" + name;
        std::ofstream(unit) << text;
        const std::string out = dir + "/out";
        EXPECT_EQ(Shell("systemd-analyze verify " + unit + " >" + out + " 2>&1"), 0);
        EXPECT_EQ(ReadFile(out), "");
        Shell("systemd-analyze security --offline=yes " + unit + " >" + out + " 2>&1");
        const std::string report = ReadFile(out);
        const std::string heading = std::string("Overall exposure level for ") + name + ": ";
        const std::size_t at = report.find(heading);
        ASSERT_NE(at, std::string::npos) << report;
        const double exposure = std::stod(report.substr(at + heading.size()));
        EXPECT_LE(exposure, 1.5) << report;
        RecordProperty(name, std::to_string(exposure));
    }
    fs::remove_all(dir);
}

// A root of its own with no accounts yet, registered from a shell with the
// umask given: registration creates the accounts, and every file that
// decides what runs gets its own mode.
TEST(RegistrationUmask, FilesKeepTheirModesAndTheOldNodeTableMovesWhateverTheUmask) {
    for (const char* umaskText : {"000", "077"}) {
        SCOPED_TRACE(std::string("umask ") + umaskText);
        char pattern[] = "/tmp/fyb-umask-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::string root = pattern;
        chmod(pattern, 0755);
        fs::create_directories(root + "/var/lib/fybootp");
        chmod((root + "/var/lib").c_str(), 0755);
        chmod((root + "/var").c_str(), 0755);
        chmod((root + "/var/lib/fybootp").c_str(), 0755);
        std::ofstream(root + "/var/lib/fybootp/FyBootpInfo.xml") << "<FyBootpInfo/>";
        const std::string run = "cd / && umask " + std::string(umaskText) +
                                " && env -u FYBOOTP_REGISTRY_ROOT -u FYBOOTP_BUS_ADDRESS "
                                "FYBOOTP_ROOT=" +
                                root + " " + FybootpPath() + " -RegServer";
        ASSERT_EQ(Shell(run), 0);
        const struct {
            std::string path;
            mode_t mode;
        } expected[] = {
            {"/var/lib/fybootp", 0755},
            {"/var/lib/fybootp/registry", 0755},
            {"/var/lib/fybootp/registry/HKCR.reg", 0644},
            {"/var/lib/fybootp/registry/HKCR.lock", 0644},
            {"/var/lib/fybootp/server", 0750},
            {"/usr/share/dbus-1/system-services/org.fybootp.FyBootpServer.service", 0644},
            {"/etc/systemd/system/fybootp-local.service", 0644},
        };
        for (const auto& [path, mode] : expected) {
            struct stat info {};
            ASSERT_EQ(stat((root + path).c_str(), &info), 0) << path;
            EXPECT_EQ(info.st_mode & 07777, mode) << path;
        }
        const std::string passwd = ReadFile(root + "/etc/passwd");
        EXPECT_NE(passwd.find("_fybootp:x:"), std::string::npos) << passwd;
        EXPECT_NE(("\n" + ReadFile(root + "/etc/group")).find("\nfybootp:x:"), std::string::npos);
        struct stat server {};
        ASSERT_EQ(stat((root + "/var/lib/fybootp/server/FyBootpInfo.xml").c_str(), &server), 0);
        EXPECT_FALSE(fs::exists(root + "/var/lib/fybootp/FyBootpInfo.xml"));
        EXPECT_NE(server.st_uid, 0u);  // the server's, so that it can write it
        // The registry it made is one it trusts again.
        EXPECT_EQ(Shell(run), 0);
        fs::remove_all(root);
    }
}

TEST_F(RegistrationTest, ClientsFirstCallActivatesTheRegisteredServer) {
    ASSERT_EQ(Run("-RegServer"), 0) << lastStderr;
    // The daemon reads its service directory again.
    if (sd_bus* client = bus->Connect()) {
        sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ReloadConfig", nullptr, nullptr, "");
        sd_bus_flush_close_unref(client);
    }
    ASSERT_FALSE(bus->NameHasOwner());
    host::RegisterFyBootpProxy();
    void* raw = nullptr;
    ASSERT_EQ(bus::CoCreateInstance(CLSID_FyBootpServer, nullptr, bus::CLSCTX_LOCAL_SERVER,
                                    IID_IFyBootpServer, &raw),
              S_OK);
    auto server = ComPtr<IFyBootpServer>::Attach(static_cast<IFyBootpServer*>(raw));
    std::int32_t count = -1;
    EXPECT_EQ(server->get_LogChangeCnt(&count), S_OK);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(bus->NameHasOwner());
    server.Reset();
    EXPECT_TRUE(bus->WaitForName(false, 20s));
}

class ProjectEntry : public RegistrationTest {
protected:
    // HKLM\SOFTWARE\Quellmar\Ferrowy "CurrentProject".
    void SetCurrentProject(const std::string& path) {
        registry::Registry registry(bus->StateDirectory() + "/registry");
        registry::HKEY key{};
        registry.CreateKey(registry::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quellmar\\Ferrowy", &key);
        registry.SetString(key, "CurrentProject", path);
        registry.CloseKey(key);
    }
    void RegisterComponent(const std::string& library) {
        registry::Registry registry(bus->StateDirectory() + "/registry");
        registry::HKEY key{};
        registry.CreateKey(registry::HKEY_CLASSES_ROOT,
                           "CLSID\\{40BBCC54-B4D0-4DA3-BA6B-78A83DFD60AC}\\InprocServer32", &key);
        registry.SetString(key, "", library);
        registry.CloseKey(key);
    }
    // The component's failure ends the switch before the server registration.
    void ExpectStopsWith(const std::string& switchText, const std::string& status) {
        EXPECT_EQ(Run(switchText), 1);
        EXPECT_NE(lastStderr.find("fybootp: result " + status), std::string::npos) << lastStderr;
        EXPECT_FALSE(Exists(kAppId));
        ExpectNothingOfTheClass();
    }
};

TEST_F(ProjectEntry, ProductKeyAbsentRegistersAsAService) {
    EXPECT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    EXPECT_EQ(Value(kAppId, "LocalService"), "FyBootp");
    ExpectClassRegistered(FybootpPath());
    EXPECT_EQ(Run("-UnregFyServer"), 0) << lastStderr;
    EXPECT_FALSE(Exists(kAppId));
}

TEST_F(ProjectEntry, PathLongerThanTheBufferIsDroppedLikeAMissingKey) {
    SetCurrentProject("/" + std::string(259, 'p'));  // 261 bytes with its NUL
    RegisterComponent("/nowhere/project.so");
    EXPECT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    ExpectClassRegistered(FybootpPath());
}

TEST_F(ProjectEntry, ComponentMissingOrUnusableStopsTheRegistration) {
    SetCurrentProject(bus->Root() + "/project.fyp");
    ExpectStopsWith("-RegFyServer", "0x80040154 (REGDB_E_CLASSNOTREG)");
    RegisterComponent(bus->Root() + "/nowhere/project.so");
    ExpectStopsWith("-RegFyServer", "0x8007007E");
    RegisterComponent(FYB_NO_CLASS_OBJECT_STUB);
    ExpectStopsWith("-RegFyServer", "0x8007007F");
    RegisterComponent(FybootpPath());  // not a shared library
    ExpectStopsWith("-RegFyServer", "0x800401F9");
}

TEST_F(ProjectEntry, ComponentRefusingTheDocumentInterfaceStopsTheRegistration) {
    SetCurrentProject(bus->Root() + "/project.fyp");
    RegisterComponent(FYB_DOCUMENT_STUB);
    setenv("FYB_STUB_REFUSE_DOCUMENT", "1", 1);
    ExpectStopsWith("-RegFyServer", "0x80004002 (E_NOINTERFACE)");
    unsetenv("FYB_STUB_REFUSE_DOCUMENT");
}

// A project that cannot be written stops the switch before the server's
// registration, which stays as it was. Tests run as root, for whom no mode
// forbids a write: the project's folder is a small file system that is
// full, or a read-only mount with the project itself mounted writable in
// it, both in the test's own mount namespace.
TEST_F(ProjectEntry, ProjectThatCannotBeWrittenLeavesTheRegistrationAsItWas) {
    enum class Spoil { kFull, kReadOnlyFolder };
    const struct {
        const char* what;
        Spoil spoil;
        bool registered;  // the server and its project entry, before
        const char* switchText;
        const char* status;
    } cases[] = {
        {"full, the project to make", Spoil::kFull, false, "-RegFyServer",
         "0x80030070 (STG_E_MEDIUMFULL)"},
        {"full, the entry to remove", Spoil::kFull, true, "-UnregFyServer",
         "0x80030070 (STG_E_MEDIUMFULL)"},
        {"read-only folder, the entry to remove", Spoil::kReadOnlyFolder, true, "-UnregFyServer",
         "0x80030005 (STG_E_ACCESSDENIED)"},
    };
    Child regcomponent(FYB_REGCOMPONENT, {"fybootp-regcomponent", FYB_DEFAULT_COMPONENT});
    ASSERT_EQ(regcomponent.Wait(20s), 0) << regcomponent.Stderr();
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = bus->Root() + "/projects" + std::to_string(++number);
        const std::string view = dir + "-writable";
        const std::string project = dir + "/project.fyp";
        fs::create_directories(dir);
        fs::create_directories(view);
        ASSERT_EQ(mount("fyb-test", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0);
        SetCurrentProject(project);
        if (c.registered) {
            ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
        } else {
            Run("-UnregServer");
        }
        if (c.spoil == Spoil::kFull) {
            const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const std::string block(4096, 'f');
            for (int i = 0; i < 64 && write(fd, block.data(), block.size()) > 0; ++i) {
            }
            close(fd);
        } else {
            ASSERT_EQ(mount(dir.c_str(), view.c_str(), nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr), 0);
            ASSERT_EQ(
                mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
            ASSERT_EQ(
                mount((view + "/project.fyp").c_str(), project.c_str(), nullptr, MS_BIND, nullptr),
                0);
        }

        const std::string before = ReadFile(project);
        EXPECT_EQ(Run(c.switchText), 1);
        EXPECT_NE(lastStderr.find("fybootp: result " + std::string(c.status)), std::string::npos)
            << lastStderr;
        if (c.registered) {
            ExpectClassRegistered(FybootpPath());
            EXPECT_EQ(ReadFile(project), before);
        } else {
            ExpectNothingOfTheClass();
            EXPECT_FALSE(fs::exists(project));
            // Nothing was left at the name that would stop the next try.
            fs::remove(dir + "/filler");
            EXPECT_EQ(Run(c.switchText), 0) << lastStderr;
        }
        for (const std::string& mounted : {project, dir, dir, view}) {
            umount2(mounted.c_str(), MNT_DETACH);
        }
    }
}

class ProjectCalls : public ProjectEntry {
protected:
    void SetUp() override {
        ProjectEntry::SetUp();
        if (HasFatalFailure()) return;
        project = bus->Root() + "/project.fyp";
        log = bus->Root() + "/calls.log";
        SetCurrentProject(project);
        RegisterComponent(FYB_DOCUMENT_STUB);
        setenv("FYB_STUB_LOG", log.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("FYB_STUB_LOG");
        unsetenv("FYB_STUB_OPEN_STATUS");
    }
    // The calls the component received since the last look.
    std::vector<std::string> Calls() {
        std::vector<std::string> calls;
        std::ifstream file(log);
        for (std::string line; std::getline(file, line);) calls.push_back(line);
        fs::remove(log);
        return calls;
    }

    std::string project;
    std::string log;
};

TEST_F(ProjectEntry, DefaultComponentKeepsTheEntryInAFileOthersRead) {
    const std::string project = bus->Root() + "/project.fyp";
    SetCurrentProject(project);
    Child regcomponent(FYB_REGCOMPONENT, {"fybootp-regcomponent", FYB_DEFAULT_COMPONENT});
    ASSERT_EQ(regcomponent.Wait(20s), 0) << regcomponent.Stderr();
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    // The project it made opens again and keeps one entry.
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    const std::string script =
        "import olefile,sys; f=olefile.OleFileIO(sys.argv[1]); "
        "print(sorted(f.listdir(streams=True, storages=True)), f.getclsid('FyBootp'), "
        "f.openstream('InitialText').read())";
    const std::string out = bus->Root() + "/olefile.out";
    ASSERT_EQ(Shell("/usr/bin/python3 -c \"" + script + "\" " + project + " >" + out + " 2>&1"), 0)
        << ReadFile(out);
    EXPECT_EQ(ReadFile(out),
              "[['FyBootp'], ['InitialText']] 8177E4D6-67CB-4CB7-9926-2F61CFD4B035 b'default'\n");
    ASSERT_EQ(Run("-UnregFyServer"), 0) << lastStderr;
    EXPECT_FALSE(Exists(kAppId));
    Child unregister(FYB_REGCOMPONENT, {"fybootp-regcomponent", "-u", FYB_DEFAULT_COMPONENT});
    ASSERT_EQ(unregister.Wait(20s), 0) << unregister.Stderr();
    EXPECT_FALSE(Exists("CLSID\\{40BBCC54-B4D0-4DA3-BA6B-78A83DFD60AC}"));
}

TEST_F(ProjectCalls, FileAbsentIsCreatedAndTheEntryMade) {
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    const std::vector<std::string> expected{"CreateInStorage",           "SetInitialText default",
                                            "LoadFromStorage",           "OpenServerEntry FyBootp",
                                            "CreateServerEntry FyBootp", "SetClassId"};
    EXPECT_EQ(Calls(), expected);
    EXPECT_EQ(Value(kAppId, "LocalService"), "FyBootp");
    // An independent reader finds the entry and its class.
    const std::string script =
        "import olefile,sys; f=olefile.OleFileIO(sys.argv[1]); "
        "print([e for e in f.listdir(streams=False, storages=True)], f.getclsid('FyBootp'))";
    const std::string out = bus->Root() + "/olefile.out";
    ASSERT_EQ(Shell("/usr/bin/python3 -c \"" + script + "\" " + project + " >" + out + " 2>&1"), 0)
        << ReadFile(out);
    EXPECT_EQ(ReadFile(out), "[['FyBootp']] 8177E4D6-67CB-4CB7-9926-2F61CFD4B035\n");
}

TEST_F(ProjectCalls, FileAndEntryPresentOnlyUpdateTheClass) {
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    Calls();
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    const std::vector<std::string> expected{"LoadFromStorage", "OpenServerEntry FyBootp",
                                            "SetClassId"};
    EXPECT_EQ(Calls(), expected);
}

TEST_F(ProjectCalls, OpenServerEntryFailingOtherwiseMakesNoEntry) {
    ASSERT_EQ(Run("-RegFyServer"), 0);
    ASSERT_EQ(Run("-UnregServer"), 0);
    Calls();
    setenv("FYB_STUB_OPEN_STATUS", "80004005", 1);
    ExpectStopsWith("-RegFyServer", "0x80004005 (E_FAIL)");
    const std::vector<std::string> expected{"LoadFromStorage", "OpenServerEntry FyBootp"};
    EXPECT_EQ(Calls(), expected);
}

TEST_F(ProjectCalls, UnregistrationDeletesTheEntryThenTheServer) {
    ASSERT_EQ(Run("-RegFyServer"), 0);
    Calls();
    ASSERT_EQ(Run("-UnregFyServer"), 0) << lastStderr;
    const std::vector<std::string> expected{"LoadFromStorage", "DeleteServerEntry FyBootp"};
    EXPECT_EQ(Calls(), expected);
    EXPECT_FALSE(Exists(kAppId));
    ExpectNothingOfTheClass();
    // The entry is gone from the file; a second removal finds none.
    EXPECT_EQ(Run("-UnregFyServer"), 1);
    EXPECT_NE(lastStderr.find("0x80030002 (STG_E_FILENOTFOUND)"), std::string::npos);
}

TEST_F(ProjectCalls, UnregistrationWithoutTheFileKeepsTheServer) {
    ASSERT_EQ(Run("-RegServer"), 0);
    EXPECT_EQ(Run("-UnregFyServer"), 1);
    EXPECT_NE(lastStderr.find("0x80030002 (STG_E_FILENOTFOUND)"), std::string::npos);
    ExpectClassRegistered(FybootpPath());
    EXPECT_FALSE(fs::exists(project));
}

TEST_F(ProjectCalls, LockedOrForeignFileGivesTheStorageError) {
    ASSERT_EQ(Run("-RegFyServer"), 0);
    ASSERT_EQ(Run("-UnregServer"), 0);
    Calls();
    {
        const int fd = open(project.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        ExpectStopsWith("-RegFyServer", "0x80030020 (STG_E_SHAREVIOLATION)");
        close(fd);
    }
    std::ofstream(project) << "not a compound file";
    ExpectStopsWith("-RegFyServer", "0x80030050 (STG_E_FILEALREADYEXISTS)");
    EXPECT_EQ(ReadFile(project), "not a compound file");
    EXPECT_TRUE(Calls().empty());
}

// Nothing runs as root that someone else could have changed: a component
// library, the folders above it, the module that bus activation starts,
// and the registry that names them are all judged before anything is
// loaded or written. The marker library leaves a file when it is loaded.
class TrustBeforeLoading : public ProjectEntry {
protected:
    void SetUp() override {
        ProjectEntry::SetUp();
        if (HasFatalFailure()) return;
        marker = bus->Root() + "/loaded";
        setenv("FYB_STUB_MARKER", marker.c_str(), 1);
        SetCurrentProject(bus->Root() + "/project.fyp");
    }
    void TearDown() override { unsetenv("FYB_STUB_MARKER"); }

    // A copy of `library` in a new folder `name` below the scratch root,
    // both root's and writable by root alone.
    std::string TrustedCopy(const std::string& name, const std::string& library,
                            const std::string& as = "marker.so") {
        const std::string dir = bus->Root() + "/" + name;
        fs::create_directories(dir);
        chmod(dir.c_str(), 0755);
        fs::copy_file(library, dir + "/" + as);
        chmod((dir + "/" + as).c_str(), 0755);
        return dir + "/" + as;
    }

    std::string marker;
};

TEST_F(TrustBeforeLoading, UntrustedLibraryModuleOrRegistryIsRefusedUnloaded) {
    enum class Spoil { kLibraryOwner, kFolderMode, kNothing, kFolderOpen, kHiveMode };
    struct Case {
        const char* what;
        Spoil spoil;
        bool regcomponent;     // else fybootp
        const char* argument;  // a switch, or the path given to fybootp-regcomponent
        const char* inproc;    // what InprocServer32 names ({lib}: the library)
        bool moduleCopy;       // fybootp run from a copy in the library's folder
        int exitCode;
        const char* line;  // {dir}, {lib} and {root} stand for their paths
    };
    const Case cases[] = {
        {"library of another user", Spoil::kLibraryOwner, false, "-RegFyServer", "{lib}", false, 1,
         "FyBootp: Refusing to load {lib} is owned by user 65534\n"},
        {"library of another user", Spoil::kLibraryOwner, true, "{lib}", "", false, 1,
         "fybootp-regcomponent: Refusing to load {lib} is owned by user 65534\n"},
        {"folder its group can write", Spoil::kFolderMode, false, "-UnregFyServer", "{lib}", false,
         1, "FyBootp: Refusing to load {lib}: {dir} can be written by group or others\n"},
        {"folder its group can write", Spoil::kFolderMode, true, "{lib}", "", false, 1,
         "fybootp-regcomponent: Refusing to load {lib}: {dir} can be written by group or others\n"},
        {"relative path, resolved in the server's folder", Spoil::kNothing, false, "-RegFyServer",
         "marker.so", false, 1, "FyBootp: Refusing to load marker.so is not an absolute path\n"},
        {"relative path into a folder others can write", Spoil::kFolderOpen, true, "marker.so", "",
         false, 1,
         "fybootp-regcomponent: Refusing to load marker.so: {dir} can be written by group or "
         "others\n"},
        {"module in a folder its group can write", Spoil::kFolderMode, false, "-RegFyServer",
         "{lib}", true, 1,
         "FyBootp: Refusing to register {dir}/fybootp: {dir} can be written by group or others\n"},
        {"hive others can write", Spoil::kHiveMode, false, "-RegFyServer", "{lib}", false, 5,
         "FyBootp: Refusing to write into {root}/var/lib/fybootp/registry/HKCR.reg: other users "
         "can change it\n"},
        {"hive others can write", Spoil::kHiveMode, false, "-UnregFyServer", "{lib}", false, 5,
         "FyBootp: Refusing to write into {root}/var/lib/fybootp/registry/HKCR.reg: other users "
         "can change it\n"},
    };
    const std::string hive = bus->StateDirectory() + "/registry/HKCR.reg";
    int folder = 0;
    for (const Case& c : cases) {
        const std::string library = TrustedCopy("lib" + std::to_string(++folder), FYB_MARKER_STUB);
        const std::string dir = fs::path(library).parent_path();
        const auto expand = [&](std::string text) {
            for (const auto& [from, to] : {std::pair<std::string, std::string>{"{lib}", library},
                                           {"{dir}", dir},
                                           {"{root}", bus->Root()}}) {
                for (auto at = text.find(from); at != std::string::npos;
                     at = text.find(from, at + to.size())) {
                    text.replace(at, from.size(), to);
                }
            }
            return text;
        };
        SCOPED_TRACE(std::string(c.what) + ": " + expand(c.argument));
        fs::remove(marker);
        const std::string module = c.moduleCopy ? dir + "/fybootp" : FybootpPath();
        if (c.moduleCopy) fs::copy_file(FybootpPath(), module);
        if (*c.inproc != '\0') RegisterComponent(expand(c.inproc));
        if (c.spoil == Spoil::kLibraryOwner) {
            ASSERT_EQ(chown(library.c_str(), 65534, 65534), 0);
        }
        if (c.spoil == Spoil::kFolderMode) chmod(dir.c_str(), 0775);
        if (c.spoil == Spoil::kFolderOpen) chmod(dir.c_str(), 0777);
        struct stat hiveInfo {};
        ASSERT_EQ(stat(hive.c_str(), &hiveInfo), 0);
        if (c.spoil == Spoil::kHiveMode) chmod(hive.c_str(), 0666);
        const std::string before = HiveText();

        Child child(c.regcomponent ? FYB_REGCOMPONENT : module,
                    {c.regcomponent ? "fybootp-regcomponent" : "fybootp", expand(c.argument)}, {},
                    dir);
        EXPECT_EQ(child.Wait(20s), c.exitCode);
        EXPECT_EQ(child.Stderr().rfind(expand(c.line), 0), 0u) << child.Stderr();
        if (c.exitCode == 1 && !c.regcomponent) {
            EXPECT_NE(child.Stderr().find("fybootp: result 0x80070005 (E_ACCESSDENIED)"),
                      std::string::npos);
        }
        EXPECT_FALSE(fs::exists(marker));
        EXPECT_EQ(HiveText(), before);
        EXPECT_FALSE(fs::exists(bus->Root() + "/project.fyp"));
        EXPECT_FALSE(fs::exists(ActivationFile()));
        chmod(hive.c_str(), hiveInfo.st_mode & 07777);
    }
}

TEST_F(TrustBeforeLoading, TrustedLibraryIsLoadedAndTheServerRegistered) {
    RegisterComponent(TrustedCopy("lib", FYB_MARKER_STUB));
    ASSERT_EQ(Run("-RegFyServer"), 0) << lastStderr;
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_TRUE(fs::exists(bus->Root() + "/project.fyp"));
    EXPECT_EQ(Value(kAppId, "LocalService"), "FyBootp");
}

TEST_F(TrustBeforeLoading, RegcomponentRecordsTheResolvedPathOfARelativeOne) {
    const std::string library = TrustedCopy("lib", FYB_DEFAULT_COMPONENT, "ProjectDocument.so");
    Child child(FYB_REGCOMPONENT, {"fybootp-regcomponent", "./ProjectDocument.so"}, {},
                fs::path(library).parent_path());
    ASSERT_EQ(child.Wait(20s), 0) << child.Stderr();
    EXPECT_EQ(Value("CLSID\\{40BBCC54-B4D0-4DA3-BA6B-78A83DFD60AC}\\InprocServer32"), library);
}

}  // namespace
}  // namespace fybootp::testing
