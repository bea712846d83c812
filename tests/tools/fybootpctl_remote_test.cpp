// fybootpctl -H against two machines at once. Each "machine" is a network
// and mount namespace of the test's own, with sshd and, as its system bus,
// a private dbus-daemon on /run/dbus/system_bus_socket (a tmpfs there) that
// has FyBootp's activation and system-bus policy, so the bus starts the
// server there as _fybootp. The client reaches them over veth pairs from a
// namespace of its own; ssh uses only the keys and known hosts that the
// test made in its scratch directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/host/bus_test_support.h"
#include "tests/support/bootp_test_messages.h"
#include "tests/support/netns.h"

namespace fybootp::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kHostA[] = "root@10.77.1.2";
constexpr char kHostB[] = "root@10.77.2.2";
// Machine A under a second address, for which known_hosts holds another key.
constexpr char kImpostor[] = "root@10.77.1.3";
// A login user on machine B outside group fybootp.
constexpr char kOutsider[] = "fybops@10.77.2.2";
constexpr char kNoSshd[] = "root@10.77.1.2:2222";

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> documents;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        documents.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return documents;
}

struct CtlRun {
    int exit = -1;
    std::string out;
    std::string err;
};

std::ostream& operator<<(std::ostream& stream, const CtlRun& run) {
    return stream << "exit " << run.exit << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

// A machine's life, in a child of the test: its namespaces, its bus and
// sshd, until the test closes `keepAlive` (or ends). Reports "ok" or why
// not on `report`.
[[noreturn]] void RunMachine(const std::string& netns, const std::string& scratch,
                             const std::string& role, int keepAlive, int report) {
    const auto fail = [&](const std::string& why) {
        [[maybe_unused]] const ssize_t n = write(report, why.data(), why.size());
        _exit(1);
    };
    const int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) fail("cannot enter " + netns);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 ||
        mount("tmpfs", "/var/log", "tmpfs", 0, "mode=0755") != 0) {
        fail("no mount namespace with /run and /var/log of its own");
    }
    mkdir("/run/sshd", 0755);
    mkdir("/run/dbus", 0755);
    std::string whyNot;
    BusOptions options;
    options.systemPolicy = true;
    options.socketPath = "/run/dbus/system_bus_socket";
    auto bus = PrivateBus::Start(&whyNot, options);
    if (!bus) fail(whyNot);
    bus->SeedAppId(false);
    bus->InstallActivation(FybootpPath());
    // The bind-mounted copy of /etc/passwd gets a login user of its own.
    std::ofstream(bus->Root() + "/etc/passwd", std::ios::app) << "fybops:x:1500:65534::/:/bin/sh\n";
    const pid_t sshd = fork();
    if (sshd == 0) {
        const std::string log = scratch + "/sshd-" + role + ".log";
        const std::string key = "HostKey=" + scratch + "/host-" + role;
        const std::string users = "AuthorizedKeysFile=" + scratch + "/authorized_keys";
        execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", "/dev/null", "-E", log.c_str(), "-o",
              key.c_str(), "-o", users.c_str(), "-o", "UsePAM=no", "-o", "StrictModes=no", "-o",
              "PidFile=none", nullptr);
        _exit(127);
    }
    [[maybe_unused]] const ssize_t n = write(report, "ok", 2);
    close(report);
    char byte = 0;
    while (read(keepAlive, &byte, 1) > 0) {
    }
    kill(sshd, SIGTERM);
    waitpid(sshd, nullptr, 0);
    bus.reset();
    _exit(0);
}

class RemoteHosts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        lab = NetnsLab::Create("remote", &whyNot);
        if (!lab) GTEST_SKIP() << whyNot;
        ASSERT_FALSE(lab->Add("cli").empty() || lab->Add("a").empty() || lab->Add("b").empty());
        ASSERT_TRUE(lab->Link("cli", "to-a", "10.77.1.1/24", "a", "eth-a", "10.77.1.2/24"));
        ASSERT_TRUE(lab->Ip("a", "addr add 10.77.1.3/24 dev eth-a"));
        ASSERT_TRUE(lab->Link("cli", "to-b", "10.77.2.1/24", "b", "eth-b", "10.77.2.2/24"));
        char pattern[] = "/tmp/fyb-remote-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch = pattern;
        MakeKeys();
        for (const char* role : {"a", "b"}) StartMachine(role);
        for (const char* address : {"10.77.1.2", "10.77.2.2"}) {
            ASSERT_TRUE(Listening(address))
                << ReadAll(scratch + "/sshd-a.log") << ReadAll(scratch + "/sshd-b.log");
        }
    }

    void TearDown() override {
        for (auto& [pid, keepAlive] : machines) {
            close(keepAlive);
            bool ended = false;
            for (int i = 0; i < 500 && !ended; ++i) {
                ended = waitpid(pid, nullptr, WNOHANG) == pid;
                if (!ended) std::this_thread::sleep_for(10ms);
            }
            // Whatever of the machine is left (a server that its bus
            // started and that has not ended yet) goes with its group.
            kill(-pid, SIGKILL);
            if (!ended) waitpid(pid, nullptr, 0);
        }
        std::error_code ignored;
        if (!scratch.empty()) fs::remove_all(scratch, ignored);
    }

    // The client's key, the machines' keys and one that machine A's second
    // address is said to have. sshd reads authorized_keys as the user. ssh
    // reads ~/.ssh/config of the passwd entry's home, whatever HOME says:
    // the wrapper first on PATH gives it the test's own settings instead.
    void MakeKeys() {
        const std::string keys = R"sh(chmod 755 . && mkdir bin &&
            for k in client host-a host-b impostor; do
              ssh-keygen -q -t ed25519 -N '' -C fyb-test -f $k || exit 1
            done &&
            cp client.pub authorized_keys && chmod 644 authorized_keys &&
            for h in 10.77.1.2:host-a 10.77.2.2:host-b 10.77.1.3:impostor; do
              echo "${h%%:*} $(cut -d' ' -f1,2 ${h#*:}.pub)"
            done > known_hosts)sh";
        ASSERT_EQ(Shell("cd " + scratch + " && " + keys), 0);
        std::ofstream(scratch + "/bin/ssh")
            << "#!/bin/sh\nexec /usr/bin/ssh -F /dev/null -i " << scratch
            << "/client -o IdentitiesOnly=yes -o UserKnownHostsFile=" << scratch
            << "/known_hosts -o GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes "
               "-o BatchMode=yes -o ConnectTimeout=5 \"$@\"\n";
        fs::permissions(scratch + "/bin/ssh", fs::perms::owner_all);
    }

    void StartMachine(const std::string& role) {
        int keepAlive[2];
        int report[2];
        ASSERT_EQ(pipe2(keepAlive, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            // Only the test may keep another machine alive; the group lets
            // the test end everything of this one if it does not end itself.
            for (const auto& [other, otherKeepAlive] : machines) close(otherKeepAlive);
            close(keepAlive[1]);
            setpgid(0, 0);
            RunMachine(lab->Name(role), scratch, role, keepAlive[0], report[1]);
        }
        close(keepAlive[0]);
        close(report[1]);
        machines.emplace_back(pid, keepAlive[1]);
        // One short write, then the end of the pipe.
        char said[512];
        const ssize_t got = read(report[0], said, sizeof(said));
        close(report[0]);
        ASSERT_EQ(std::string(said, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), "ok")
            << role;
    }

    // sshd takes connections on port 22 there, seen from the client.
    bool Listening(const std::string& address) {
        return lab->Sh("cli", "for i in $(seq 100); do bash -c 'exec 3<>/dev/tcp/" + address +
                                  "/22' 2>/dev/null && exit 0; sleep 0.05; done; exit 1");
    }

    std::unique_ptr<Child> StartCtl(std::vector<std::string> args) {
        const NetnsLab::Inside inside(*lab, "cli");
        args.insert(args.begin(), "fybootpctl");
        return std::make_unique<Child>(
            FYB_FYBOOTPCTL_PATH, std::move(args),
            std::vector<std::string>{"PATH=" + scratch + "/bin:/usr/bin:/bin"});
    }

    CtlRun Ctl(std::vector<std::string> args) {
        auto child = StartCtl(std::move(args));
        CtlRun run;
        run.exit = child->Wait(60s).value_or(-1);
        run.out = child->Stdout();
        run.err = child->Stderr();
        return run;
    }

    // A device of the maker asking for its address, on machine A's loopback.
    void DeviceAsksOnA(std::uint8_t last) {
        const NetnsLab::Inside inside(*lab, "a");
        EXPECT_TRUE(MakersDeviceAsksOnLoopback(last));
    }

    std::unique_ptr<NetnsLab> lab;
    std::string scratch;
    std::vector<std::pair<pid_t, int>> machines;
};

TEST_F(RemoteHosts, CommandsReachEachMachineAndSeveralAreGroupedPerHost) {
    CtlRun run = Ctl({"-H", kHostA, "-H", kHostB, "status"});
    ASSERT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out.rfind("== root@10.77.1.2 ==\nserver        running as a local server", 0), 0u)
        << run;
    EXPECT_NE(run.out.find("\n\n== root@10.77.2.2 ==\nserver        running as a local server"),
              std::string::npos)
        << run;

    run = Ctl({"--host", kHostA, "add", "02:4b:77:00:00:0a", "192.0.2.10"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "added 02:4B:77:00:00:0A 192.0.2.10\n");
    run = Ctl({"--json", "-H", kHostA, "-H", kHostB, "nodes"});
    EXPECT_EQ(
        JsonLines(run.out),
        (std::vector{nlohmann::json::parse(R"({"host":"root@10.77.1.2","result":
                   {"nodes":[{"mac":"024B7700000A","ip":"192.0.2.10"}]}})"),
                     nlohmann::json::parse(R"({"host":"root@10.77.2.2","result":{"nodes":[]}})")}))
        << run;

    ASSERT_EQ(Ctl({"-H", kHostA, "start"}).exit, 0);
    DeviceAsksOnA(0x05);
    for (int i = 0; i < 50 && Ctl({"-H", kHostA, "new"}).out != "02:4B:77:00:00:05\n"; ++i) {
        std::this_thread::sleep_for(200ms);
    }
    run = Ctl({"--json", "-H", kHostA, "-H", kHostB, "new"});
    const auto lists = JsonLines(run.out);
    ASSERT_EQ(lists.size(), 2u) << run;
    EXPECT_EQ(lists[0]["result"]["new"], nlohmann::json::parse(R"([{"mac":"024B77000005"}])"));
    EXPECT_EQ(lists[1]["result"]["new"].size(), 0u);
    run = Ctl({"-H", kHostA, "-H", kHostB, "log"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_NE(run.out.find("02:4B:77:00:00:05  Unknown Quellmar MAC address found\n\n"
                           "== root@10.77.2.2 ==\nthe log is empty\n"),
              std::string::npos)
        << run;

    // The follower's change signals come over a connection through ssh too.
    auto follow = StartCtl({"--json", "-H", kHostA, "log", "--follow"});
    const auto lines = [&](std::size_t wanted) {
        for (int i = 0; i < 100 && JsonLines(follow->Stdout()).size() < wanted; ++i) {
            std::this_thread::sleep_for(100ms);
        }
        return JsonLines(follow->Stdout());
    };
    EXPECT_EQ(lines(1).size(), 1u) << follow->Stderr();
    DeviceAsksOnA(0x06);
    const auto followed = lines(2);
    ASSERT_EQ(followed.size(), 2u) << follow->Stderr();
    EXPECT_EQ(followed[1]["host"], kHostA);
    EXPECT_EQ(followed[1]["result"]["mac"], "024B77000006");
    follow->Signal(SIGINT);
    EXPECT_EQ(follow->Wait(10s), 0) << follow->Stderr();
}

// Each bad host fails on its own, named, with exit 3; the good one beside
// it still answers.
TEST_F(RemoteHosts, EachFailureNamesItsHostAndHowAndExitsThree) {
    struct Case {
        const char* host;
        const char* line;   // what stderr says after "fybootpctl: HOST: "
        const char* code;   // the status in --json
        const char* words;  // ssh's own words, shown before that line
    };
    const std::vector<Case> cases{
        {kNoSshd,
         "connecting to the system bus there: RPC_S_SERVER_UNAVAILABLE (0x800706BA): ssh failed: "
         "ssh: connect to host 10.77.1.2 port 2222: Connection refused",
         "0x800706BA", ""},
        {kImpostor,
         "connecting to the system bus there: RPC_S_SERVER_UNAVAILABLE (0x800706BA): ssh failed: "
         "Host key verification failed.",
         "0x800706BA", "REMOTE HOST IDENTIFICATION HAS CHANGED"},
        {kOutsider,
         "reaching the server: E_ACCESSDENIED (0x80070005): the bus there refused the call: the "
         "ssh user must be root or a member of group fybootp there",
         "0x80070005", ""},
    };
    for (const Case& bad : cases) {
        CtlRun run = Ctl({"-H", kHostB, "-H", bad.host, "nodes"});
        EXPECT_EQ(run.exit, 3) << run;
        EXPECT_EQ(run.out,
                  "== root@10.77.2.2 ==\nno nodes\n\n== " + std::string(bad.host) + " ==\n");
        EXPECT_NE(run.err.find("fybootpctl: " + std::string(bad.host) + ": " + bad.line + "\n"),
                  std::string::npos)
            << run;
        EXPECT_NE(run.err.find(bad.words), std::string::npos) << run;
        run = Ctl({"--json", "-H", bad.host, "status"});
        const nlohmann::json error = nlohmann::json::parse(run.out, nullptr, false);
        EXPECT_EQ(error["host"], bad.host) << run;
        EXPECT_EQ(error["error"]["code"], bad.code) << run;
        EXPECT_EQ(error["error"]["exit"], 3) << run;
    }
}

}  // namespace
}  // namespace fybootp::testing
