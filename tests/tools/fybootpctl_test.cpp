// fybootpctl as an operator runs it: the executable as a child process, its
// output and exit code, against a real server that the bus starts on a
// private bus. The server runs in a network namespace of the test's own, so
// its responder never listens in the machine's namespace.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <tuple>

#include "tests/host/bus_test_support.h"
#include "tests/tools/private_bus_fixture.h"
#include "tests/support/bootp_test_messages.h"

namespace fybootp::testing {
namespace {

struct CtlRun {
    int exit = -1;
    std::string out;
    std::string err;
    nlohmann::json Json() const { return nlohmann::json::parse(out, nullptr, false); }
};

std::ostream& operator<<(std::ostream& stream, const CtlRun& run) {
    return stream << "exit " << run.exit << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

CtlRun Finish(Child& child) {
    CtlRun run;
    run.exit = child.Wait(30s).value_or(-1);
    run.out = child.Stdout();
    run.err = child.Stderr();
    return run;
}

CtlRun Ctl(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), "fybootpctl");
    Child child(FYB_FYBOOTPCTL_PATH, std::move(args), std::move(env));
    return Finish(child);
}

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Arguments are checked before anything is called: these runs name a bus
// that does not exist, so a run that tried to call would exit with 3.
class ArgumentsRefused : public ::testing::Test {
protected:
    CtlRun CtlWithoutBus(std::vector<std::string> args) {
        return Ctl(std::move(args), {"FYBOOTP_BUS_ADDRESS=unix:path=/nonexistent/fyb/bus.sock"});
    }
};

TEST_F(ArgumentsRefused, MalformedAddressesNameTheArgumentAndWhy) {
    const std::string mac = "02:4b:77:00:00:01";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"add", "02:4b:77:00:00", "192.0.2.10"},
         "MAC '02:4b:77:00:00' is not a hardware address: expected 6 bytes"},
        {{"add", "02:4b:77:00:00:0g", "192.0.2.10"}, "'g' is not a hex digit"},
        {{"delete", "02:4b-77:00:00:01"}, "separated by the same ':'"},
        {{"delete", "024b7700000"}, "MAC '024b7700000' is not a hardware address"},
        {{"assign", mac, "192.0.2.300"},
         "IP '192.0.2.300' is not an IPv4 address: part 4 is over 255"},
        {{"add", mac, "192.0.2"}, "expected four numbers 0-255"},
        {{"add", mac, "192.0.2.010"}, "part 4 has a leading zero"},
        {{"add", mac, "192.0.2.10 "}, "expected four numbers 0-255"},
        {{"host", "set", "--router", "192.0.2.1.5"}, "--router '192.0.2.1.5' is not an IPv4"},
        {{"host", "set", "--name", std::string(100, 'a')}, "--name is longer than 99 bytes"},
        {{"assign", mac}, "assign needs an IP address or --next"},
        {{"assign", mac, "--next", "--json", "--xml"}, "--json and --xml exclude each other"},
        {{"--xml", "next"}, "next has no XML form"},
        {{"export", "--csv", "--json"}, "export --csv takes neither --json nor --xml"},
        // A host that ssh would take for an option never reaches it.
        {{"--host=-oProxyCommand=sh", "status"},
         "-H '-oProxyCommand=sh' is not [USER@]HOST[:PORT]: expected a host name or address"},
        {{"-H", "root@192.0.2.1:65536", "nodes"}, "the port is not a number from 1 to 65535"},
        {{"-H", "root@[2001:db8::1", "nodes"}, "brackets hold an IPv6 address"},
        {{"-H", "a b@192.0.2.1", "nodes"}, "the user name holds ' '"},
        {{"-H", "192.0.2.1", "-H", "192.0.2.2", "delete", mac}, "several hosts are for status"},
    };
    for (const auto& [args, expected] : cases) {
        const CtlRun run = CtlWithoutBus(args);
        EXPECT_EQ(run.exit, 2) << run;
        EXPECT_EQ(run.err.rfind("fybootpctl: ", 0), 0u) << run;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(ArgumentsRefused, EveryAddressFormReachesTheSameCheck) {
    for (const char* form : {"02:4b:77:00:00:01", "02-4B-77-00-00-01", "024b77000001"}) {
        // Past the address check, the missing bus is what stops it.
        EXPECT_EQ(CtlWithoutBus({"delete", form}).exit, 3) << form;
    }
}

TEST_F(ArgumentsRefused, UsageErrorsExitTwoAndHelpExitsZero) {
    EXPECT_EQ(CtlWithoutBus({"frobnicate"}).exit, 2);
    EXPECT_EQ(CtlWithoutBus({"add", "02:4b:77:00:00:01"}).exit, 2);
    EXPECT_EQ(CtlWithoutBus({"log", "--follow", "--clear"}).exit, 2);
    EXPECT_EQ(CtlWithoutBus({"--json", "--xml", "nodes"}).exit, 2);
    EXPECT_EQ(CtlWithoutBus({"assign", "02:4b:77:00:00:01", "192.0.2.10", "--next"}).exit, 2);
    EXPECT_EQ(CtlWithoutBus({}).exit, 2);
    const CtlRun help = CtlWithoutBus({"--help"});
    EXPECT_EQ(help.exit, 0);
    for (const char* text : {"Exit codes:", "0  success", "2  usage",
                             "3  the server cannot be "
                             "reached",
                             "assign", "{\"nodes\":[{\"mac\":s,\"ip\":s},...]}"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
    const CtlRun logHelp = CtlWithoutBus({"log", "--help"});
    EXPECT_EQ(logHelp.exit, 0);
    EXPECT_NE(logHelp.out.find("--follow"), std::string::npos);
}

TEST_F(ArgumentsRefused, NoBusIsUnreachableWithAHint) {
    const CtlRun run = CtlWithoutBus({"nodes"});
    EXPECT_EQ(run.exit, 3);
    EXPECT_NE(run.err.find("fybootpctl: connecting to the bus unix:path=/nonexistent/fyb/bus.sock: "
                           "CO_E_SERVER_EXEC_FAILURE (0x80080005): no bus to reach"),
              std::string::npos)
        << run;
    const nlohmann::json error = CtlWithoutBus({"--json", "status"}).Json();
    EXPECT_EQ(error["error"]["exit"], 3);
    EXPECT_EQ(error["error"]["code"], "0x80080005");
}

class OnAPrivateBus : public OnAPrivateBusBase {
protected:
    void Register() { bus->InstallActivation(FybootpPath()); }

    // The server's process, as the bus knows its name's owner; 0 for none.
    pid_t ServerPid() const {
        sd_bus* client = bus->Connect();
        sd_bus_message* reply = nullptr;
        std::uint32_t pid = 0;
        if (sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", nullptr,
                               &reply, "s", "org.fybootp.FyBootpServer") >= 0) {
            sd_bus_message_read(reply, "u", &pid);
        }
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(client);
        return static_cast<pid_t>(pid);
    }

    static void DeviceAsks(std::uint8_t last) { EXPECT_TRUE(MakersDeviceAsksOnLoopback(last)); }

    // Polls `fybootpctl --json args` until pred holds, at most 10 s.
    template <class Pred>
    bool Eventually(const std::vector<std::string>& args, Pred pred) {
        for (int i = 0; i < 50; ++i) {
            std::vector<std::string> withJson{"--json"};
            withJson.insert(withJson.end(), args.begin(), args.end());
            const CtlRun run = Ctl(withJson);
            if (run.exit == 0 && pred(run.Json())) return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
};

using NodeCommands = OnAPrivateBus;

TEST_F(NodeCommands, AddListAndDeleteInHumanAndJson) {
    Register();
    CtlRun run = Ctl({"add", "02-4B-77-00-00-0A", "192.0.2.10"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "added 02:4B:77:00:00:0A 192.0.2.10\n");
    EXPECT_EQ(Ctl({"--json", "add", "024b77000002", "198.51.100.2"}).Json(),
              nlohmann::json::parse(R"({"added":{"mac":"024B77000002","ip":"198.51.100.2"}})"));
    // Each run had the bus start a server that ended with the run; the next
    // one loaded the table from the file, sorted.
    run = Ctl({"nodes"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.out,
              "MAC                IP\n"
              "02:4B:77:00:00:02  198.51.100.2\n"
              "02:4B:77:00:00:0A  192.0.2.10\n");
    EXPECT_EQ(Ctl({"nodes", "--json"}).Json(), nlohmann::json::parse(R"({"nodes":[
        {"mac":"024B77000002","ip":"198.51.100.2"},{"mac":"024B7700000A","ip":"192.0.2.10"}]})"));
    EXPECT_NE(Ctl({"nodes", "--xml"}).out.find("<MacAddr>024B7700000A</MacAddr>"),
              std::string::npos);

    run = Ctl({"delete", "02:4b:77:00:00:0a"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "deleted 02:4B:77:00:00:0A\n");
    // A node that is not there: the server says S_FALSE, the operator exit 1.
    run = Ctl({"delete", "02:4b:77:00:00:0a"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err,
              "fybootpctl: deleting 02:4B:77:00:00:0A: S_FALSE (0x00000001): no node "
              "has this hardware address\n");
    EXPECT_EQ(Ctl({"--json", "delete", "024B77000002"}).Json()["deleted"]["mac"], "024B77000002");
    EXPECT_EQ(Ctl({"nodes"}).out, "no nodes\n");
}

TEST_F(NodeCommands, ImportAndExportTheWholeTable) {
    Register();
    const std::string file = bus->Root() + "/table.xml";
    std::ofstream(file) << "<FyBootpInfo><Nodes><Node><IpAddr>192.0.2.21</IpAddr><MacAddr>"
                           "024B77000021</MacAddr></Node><Node><IpAddr>192.0.2.20</IpAddr>"
                           "<MacAddr>024B77000020</MacAddr></Node><Node><IpAddr>192.0.2.22"
                           "</IpAddr><MacAddr>not-a-mac</MacAddr></Node></Nodes></FyBootpInfo>";
    // The count is of the rows the server takes: not the one without an address.
    CtlRun run = Ctl({"import", file});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "imported 2 nodes\n");
    EXPECT_EQ(Ctl({"--json", "import", file}).Json()["imported"], 2);
    // Standard output by default; the server's text as it is.
    run = Ctl({"export"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.out.rfind("<?xml", 0), 0u) << run.out;
    EXPECT_LT(run.out.find("024B77000020"), run.out.find("024B77000021"));
    const std::string xml = bus->Root() + "/exported.xml";
    run = Ctl({"export", xml});
    EXPECT_EQ(run.out, "exported 2 nodes to " + xml + "\n");
    EXPECT_EQ(Ctl({"import", xml}).exit, 0);  // what export wrote, import takes back
    const std::string json = bus->Root() + "/table.json";
    EXPECT_EQ(Ctl({"export", "--json", json}).exit, 0);
    std::ifstream written(json);
    EXPECT_EQ(nlohmann::json::parse(written)["nodes"][1]["ip"], "192.0.2.21");
    // A text the server would take as "change nothing" is refused here.
    std::ofstream(file) << "<FyBootpInfo><Nodes>";
    run = Ctl({"import", file});
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("is not an XML text that the server would load"), std::string::npos);
    EXPECT_EQ(Ctl({"import", bus->Root() + "/missing.xml"}).exit, 2);
    EXPECT_EQ(Ctl({"--json", "nodes"}).Json()["nodes"].size(), 2u);
}

TEST_F(NodeCommands, CsvGoesInWholeOrNotAtAll) {
    Register();
    const std::string file = bus->Root() + "/table.csv";
    // A spreadsheet's save: BOM, ';', CRLF, quotes, the other MAC forms.
    std::ofstream(file) << "\xEF\xBB\xBFMAC;IP\r\n\"024b77000031\";192.0.2.31\r\n\r\n"
                           "02-4B-77-00-00-30;192.0.2.30\r\n";
    CtlRun run = Ctl({"import", "--csv", file});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "imported 2 nodes\n");
    const std::string table =
        "mac,ip\n02:4B:77:00:00:30,192.0.2.30\n02:4B:77:00:00:31,192.0.2.31\n";
    EXPECT_EQ(Ctl({"export", "--csv"}).out, table);
    const std::string exported = bus->Root() + "/exported.csv";
    EXPECT_EQ(Ctl({"export", "--csv", exported}).out, "exported 2 nodes to " + exported + "\n");
    std::ifstream written(exported);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), table);

    // Faulty lines: each named, then nothing changed.
    std::ofstream(file) << "mac,ip\n02:4b:77:00:00:40,192.0.2.40\n02:4b:77:00:00:41,192.0.2.300\n"
                           "02:4b:77:00:00:40,192.0.2.42\n\x1b[2J,192.0.2.43\n";
    run = Ctl({"--json", "import", "--csv", file});
    EXPECT_EQ(run.exit, 2) << run;
    const std::string name = "fybootpctl: import: '" + file + "': ";
    EXPECT_EQ(run.err, name + "line 3: 192.0.2.300: part 4 is over 255\n" + name +
                           "line 4 repeats the MAC of line 2 (02:4B:77:00:00:40)\n" + name +
                           "line 5: \\x1b[2J: expected 6 bytes as 02:4b:77:00:00:01, "
                           "02-4B-77-00-00-01 or 024b77000001\n"
                           "fybootpctl: import: nothing was changed\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Ctl({"export", "--csv"}).out, table);

    // Standard input; the header alone is the empty table, an empty text is refused.
    Child fromStdin("/bin/sh", {"sh", "-c",
                                std::string("printf 'mac,ip\\n' | ") + FYB_FYBOOTPCTL_PATH +
                                    " --json import --csv -"});
    EXPECT_EQ(Finish(fromStdin).Json(), nlohmann::json::parse(R"({"imported":0})"));
    std::ofstream(file).flush();
    run = Ctl({"import", "--csv", file});
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("the file is empty"), std::string::npos) << run;
    EXPECT_EQ(Ctl({"export", "--csv"}).out, "mac,ip\n");
}

using RunCommands = OnAPrivateBus;

TEST_F(RunCommands, HostSetAndAutoChangeTheIdentity) {
    Register();
    CtlRun run = Ctl({"host", "set", "--name", "plant-7", "--ip", "192.0.2.1", "--mask",
                      "255.255.255.0", "--router", "192.0.2.254"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out,
              "name      plant-7\nip        192.0.2.1\nmask      255.255.255.0\n"
              "router    192.0.2.254\noverride  on (fixed by the operator)\n");
    // Values not given stay.
    EXPECT_EQ(Ctl({"--json", "host", "set", "--name", "plant-8"}).Json(),
              nlohmann::json::parse(R"({"override":true,"name":"plant-8","ip":"192.0.2.1",
                  "mask":"255.255.255.0","router":"192.0.2.254"})"));
    EXPECT_NE(Ctl({"host", "--xml"}).out.find("<HostInfo><Override>1</Override><Name>plant-8"),
              std::string::npos);

    // A name that any caller may set, made to forge a line of `status` and
    // to clear and reorder root's terminal: it is shown escaped in every
    // form, and scripts still read it back as it is.
    const std::string forged =
        "plant-9\r\nreplies       disabled\xC2\x9B"
        "2J\xE2\x80\xAE"
        "9-tnalp";
    ASSERT_EQ(Ctl({"host", "set", "--name", forged}).exit, 0);
    const std::string shown = "plant-9\\r\\nreplies       disabled\\u009b2J\\u202e9-tnalp";
    const std::string inXml =
        "<Name>plant-9&#13;&#xA;replies       disabled&#x9B;2J&#x202E;9-tnalp<";
    const std::vector<std::tuple<std::vector<std::string>, std::size_t, std::string>> shows{
        {{"host"}, 5u, "\nname      " + shown + "\n"},
        {{"status"}, 10u, "\nhost name     " + shown + "\n"},
        {{"host", "--xml"}, 2u, inXml},
        {{"status", "--xml"}, 2u, inXml},
        {{"host", "--json"},
         1u,
         R"("name":"plant-9\r\nreplies       disabled\u009b2J\u202e9-tnalp")"},
    };
    for (const auto& [args, lines, expected] : shows) {
        run = Ctl(args);
        EXPECT_EQ(run.exit, 0) << run;
        EXPECT_EQ(Lines(run.out), lines) << run;
        EXPECT_NE(("\n" + run.out).find(expected), std::string::npos) << run;
        for (const char* raw : {"\r", "\xC2\x9B", "\xE2\x80\xAE"}) {
            EXPECT_EQ(run.out.find(raw), std::string::npos) << run;
        }
    }
    EXPECT_EQ(Ctl({"--json", "host"}).Json()["name"], forged);

    run = Ctl({"host", "auto"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.out.find("override  off (detected at start)"), std::string::npos);
    EXPECT_EQ(Ctl({"--json", "host"}).Json()["override"], false);
}

TEST_F(RunCommands, StartStopDisableEnableAndStatus) {
    Register();
    CtlRun run = Ctl({"start"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "responder  started\nreplies    enabled\n");
    EXPECT_EQ(Ctl({"--json", "start"}).Json()["started"], true);  // a second start changes nothing
    EXPECT_EQ(Ctl({"disable"}).out, "responder  started\nreplies    disabled\n");
    run = Ctl({"status"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(
        run.out.find("server        running as a local server, pid " + std::to_string(ServerPid())),
        std::string::npos)
        << run;
    EXPECT_NE(run.out.find("responder     started\nreplies       disabled\n"), std::string::npos);
    const nlohmann::json status = Ctl({"status", "--json"}).Json();
    EXPECT_EQ(status["started"], true);
    EXPECT_EQ(status["server"]["running"], true);
    EXPECT_EQ(status["server"]["service"], false);
    EXPECT_EQ(status["server"]["pid"], ServerPid());
    EXPECT_TRUE(status["host"].contains("router"));
    EXPECT_NE(Ctl({"status", "--xml"}).out.find("<Started>1</Started><DisableResponse>1<"),
              std::string::npos);
    EXPECT_EQ(Ctl({"--json", "enable"}).Json()["disableResponse"], 0);
    // The running responder kept the local server alive between the runs;
    // once it stops, nothing holds the server, and it ends by itself.
    EXPECT_EQ(Ctl({"--json", "stop"}).Json()["started"], false);
    EXPECT_TRUE(bus->WaitForName(false, 15s));
}

TEST_F(RunCommands, ANewDeviceIsAssignedAndLeavesTheList) {
    Register();
    ASSERT_EQ(Ctl({"start"}).exit, 0);
    DeviceAsks(0x05);
    DeviceAsks(0x06);
    ASSERT_TRUE(Eventually({"new"}, [](const nlohmann::json& list) {
        return list["new"].size() == 2;
    })) << Ctl({"new"});
    EXPECT_EQ(Ctl({"new"}).out, "02:4B:77:00:00:05\n02:4B:77:00:00:06\n");
    CtlRun run = Ctl({"assign", "02:4b:77:00:00:05", "192.0.2.50"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out,
              "assigned 192.0.2.50 to 02:4B:77:00:00:05\n02:4B:77:00:00:05 left the new-device "
              "list\nnew devices now: 1\n02:4B:77:00:00:06\n");
    const nlohmann::json assigned = Ctl({"--json", "assign", "024B77000006", "192.0.2.60"}).Json();
    EXPECT_EQ(assigned["assigned"]["wasNew"], true);
    EXPECT_EQ(assigned["new"].size(), 0u);
    EXPECT_EQ(Ctl({"--json", "nodes"}).Json()["nodes"].size(), 2u);

    // Both requests were logged.
    run = Ctl({"log"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(Lines(run.out), 2u) << run.out;
    EXPECT_NE(run.out.find("02:4B:77:00:00:05  Unknown Quellmar MAC address found"),
              std::string::npos)
        << run.out;
    const nlohmann::json log = Ctl({"log", "--json"}).Json();
    ASSERT_EQ(log["log"].size(), 2u);
    EXPECT_EQ(log["log"][1]["mac"], "024B77000006");
    EXPECT_EQ(Ctl({"log", "--clear"}).out, "log cleared\n");
    EXPECT_EQ(Ctl({"log"}).out, "the log is empty\n");
    EXPECT_EQ(Ctl({"--json", "log", "--clear"}).Json(), nlohmann::json::parse(R"({"log":[]})"));
    EXPECT_EQ(Ctl({"stop"}).out, "responder  stopped\nreplies    enabled\n");
}

TEST_F(RunCommands, TheNextFreeAddressIsShownAndAssigned) {
    Register();
    // 192.0.2.0/29: .1 the server, .2 the router, .3 a node; .7 is the broadcast.
    ASSERT_EQ(Ctl({"host", "set", "--ip", "192.0.2.1", "--mask", "255.255.255.248", "--router",
                   "192.0.2.2"})
                  .exit,
              0);
    ASSERT_EQ(Ctl({"add", "02:4b:77:00:00:03", "192.0.2.3"}).exit, 0);
    CtlRun run = Ctl({"next"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out, "192.0.2.4\n");
    EXPECT_EQ(Ctl({"--json", "next"}).Json(), nlohmann::json::parse(R"({"next":"192.0.2.4"})"));
    run = Ctl({"assign", "02:4b:77:00:00:04", "--next"});
    EXPECT_EQ(run.exit, 0) << run;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "assigned 192.0.2.4 to 02:4B:77:00:00:04 (the next free address)");
    EXPECT_EQ(Ctl({"--json", "assign", "024b77000005", "--next"}).Json()["assigned"]["ip"],
              "192.0.2.5");
    EXPECT_EQ(Ctl({"assign", "--next", "02:4b:77:00:00:06"}).exit, 0);
    // Full: a clear message, exit 1, and nothing changed.
    const std::string full = "S_FALSE (0x00000001): no address is left in 192.0.2.0/29\n";
    run = Ctl({"next"});
    EXPECT_EQ(run.exit, 1) << run;
    EXPECT_EQ(run.err, "fybootpctl: choosing the next free address: " + full);
    EXPECT_EQ(run.out, "");
    run = Ctl({"assign", "02:4b:77:00:00:07", "--next"});
    EXPECT_EQ(run.exit, 1) << run;
    EXPECT_EQ(run.err, "fybootpctl: choosing an address for 02:4B:77:00:00:07: " + full);
    EXPECT_EQ(Ctl({"--json", "assign", "02:4b:77:00:00:07", "--next"}).Json()["error"]["exit"], 1);
    EXPECT_EQ(Ctl({"--json", "nodes"}).Json()["nodes"].size(), 4u);
}

using FollowingTheLog = OnAPrivateBus;

TEST_F(FollowingTheLog, PrintsOnlyNewEntriesAndStopsOnSigint) {
    Register();
    ASSERT_EQ(Ctl({"start"}).exit, 0);
    DeviceAsks(0x11);
    ASSERT_TRUE(Eventually({"log"}, [](const nlohmann::json& l) { return l["log"].size() == 1; }));
    Child follow(FYB_FYBOOTPCTL_PATH, {"fybootpctl", "log", "--follow", "--json"});
    const auto linesSoFar = [&](std::size_t wanted) {
        for (int i = 0; i < 100 && Lines(follow.Stdout()) < wanted; ++i) {
            std::this_thread::sleep_for(100ms);
        }
        return Lines(follow.Stdout());
    };
    EXPECT_EQ(linesSoFar(1), 1u);
    DeviceAsks(0x12);
    EXPECT_EQ(linesSoFar(2), 2u);
    // A clearing is a change without an entry; then one entry more.
    EXPECT_EQ(Ctl({"log", "--clear"}).exit, 0);
    DeviceAsks(0x13);
    EXPECT_EQ(linesSoFar(3), 3u);
    // While the log is quiet the follower sleeps until a signal comes: a
    // poller would have been woken several times in a second.
    // The main thread's own count: a sanitizer's runtime may keep a thread
    // of its own that wakes on a timer.
    const auto wakeUps = [&] {
        const std::string pid = std::to_string(follow.Pid());
        std::ifstream status("/proc/" + pid + "/task/" + pid + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
        }
        return -1L;
    };
    std::this_thread::sleep_for(300ms);  // the last signal of the clearing's burst
    const long wokenSoFar = wakeUps();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(wakeUps(), wokenSoFar);
    // A burst arrives in a few signals; each entry is printed once, in order.
    std::vector<std::string> expected{"024B77000011", "024B77000012", "024B77000013"};
    for (int last = 0x20; last < 0x40; ++last) {
        DeviceAsks(static_cast<std::uint8_t>(last));
        expected.push_back("024B770000" + std::string(1, "0123456789ABCDEF"[last >> 4]) +
                           "0123456789ABCDEF"[last & 15]);
    }
    EXPECT_EQ(linesSoFar(expected.size()), expected.size());
    follow.Signal(SIGINT);
    ASSERT_EQ(follow.Wait(10s), 0) << follow.Stderr();
    std::vector<std::string> macs;
    std::istringstream lines(follow.Stdout());
    for (std::string line; std::getline(lines, line);) {
        macs.push_back(nlohmann::json::parse(line).value("mac", line));
    }
    EXPECT_EQ(macs, expected);
    EXPECT_EQ(Ctl({"stop"}).exit, 0);
}

TEST_F(FollowingTheLog, SaysSoWhenTheServerIsKilled) {
    Register();
    Child follow(FYB_FYBOOTPCTL_PATH, {"fybootpctl", "log", "--follow"});
    for (int i = 0; i < 100 && !bus->NameHasOwner(); ++i) std::this_thread::sleep_for(100ms);
    const pid_t server = ServerPid();
    ASSERT_GT(server, 0);
    std::this_thread::sleep_for(300ms);  // following, not still connecting
    ASSERT_EQ(kill(server, SIGKILL), 0);
    EXPECT_EQ(follow.Wait(10s), 3);
    EXPECT_NE(follow.Stderr().find("fybootpctl: following the log: RPC_E_DISCONNECTED "
                                   "(0x80010108): the server went away"),
              std::string::npos)
        << follow.Stderr();
}

// The bash completion as an interactive bash loads it (bash-completion's
// library, then the script), asked as readline asks: COMP_WORDS split at
// blanks and at ':', as COMP_WORDBREAKS has it, the cursor at the end.
class Completing : public OnAPrivateBus {
protected:
    std::string Complete(const std::string& line) {
        const std::string script = R"(
            source /usr/share/bash-completion/bash_completion
            source "$FYB_COMPLETION"
            [[ $(complete -p fybootpctl) == "complete -F _fybootpctl fybootpctl" ]] || exit 9
            line=$1
            read -ra COMP_WORDS <<<"${line//:/ : }"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
            COMPREPLY=()
            _fybootpctl fybootpctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')";
        const std::string ctlDir = std::filesystem::path(FYB_FYBOOTPCTL_PATH).parent_path();
        const char* path = getenv("PATH");
        Child bash("/bin/bash", {"bash", "--norc", "--noprofile", "-i", "-c", script, "bash", line},
                   {"PATH=" + ctlDir + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                    "HISTFILE=/dev/null", std::string("FYB_COMPLETION=") + FYB_COMPLETION_PATH},
                   bus->Root());
        const CtlRun run = Finish(bash);
        EXPECT_EQ(run.exit, 0) << line << "\n" << run;
        return run.out.substr(0, run.out.find('\n'));
    }
};

TEST_F(Completing, EveryCommandAndOptionAndTheServersMacs) {
    Register();
    ASSERT_EQ(Ctl({"start"}).exit, 0);
    DeviceAsks(0x05);
    ASSERT_TRUE(Eventually({"new"}, [](const nlohmann::json& l) { return l["new"].size() == 1; }));
    ASSERT_EQ(Ctl({"add", "02:4b:77:00:00:0a", "192.0.2.10"}).exit, 0);
    ASSERT_EQ(Ctl({"add", "02:4b:77:00:00:0b", "192.0.2.11"}).exit, 0);
    std::ofstream(bus->Root() + "/table.csv") << "mac,ip\n";
    const std::pair<const char*, const char*> cases[] = {
        {"fybootpctl ",
         "add assign delete disable enable export host import log new next nodes start status "
         "stop"},
        {"fybootpctl -", "--help --host --json --xml -H -h"},
        {"fybootpctl --json n", "new next nodes"},
        {"fybootpctl delete ", "02:4B:77:00:00:0A 02:4B:77:00:00:0B"},
        {"fybootpctl delete 02:4B:77:00:00:0", "0A 0B"},  // readline keeps what precedes ':'
        {"fybootpctl --xml assign ", "02:4B:77:00:00:05"},
        {"fybootpctl assign 02:4B:77:00:00:05 --n", "--next"},
        {"fybootpctl add ", ""},
        {"fybootpctl import --", "--csv --help --host --json --xml"},
        {"fybootpctl export --csv ta", "table.csv"},
        {"fybootpctl log -", "--clear --follow --help --host --json --xml -H -f -h"},
        {"fybootpctl next -", "--help --host --json -H -h"},
        {"fybootpctl status --", "--help --host --json --xml"},
        {"fybootpctl host ", "auto set"},
        {"fybootpctl host set --", "--help --host --ip --json --mask --name --router --xml"},
        {"fybootpctl host set --mask ", ""},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(Complete(line), expected) << line;
    EXPECT_EQ(Ctl({"stop"}).exit, 0);
}

using ReachingTheServer = OnAPrivateBus;

TEST_F(ReachingTheServer, NotRegisteredSaysRunRegServer) {
    const CtlRun run = Ctl({"nodes"});
    EXPECT_EQ(run.exit, 3);
    EXPECT_EQ(run.err,
              "fybootpctl: reaching the server: REGDB_E_CLASSNOTREG (0x80040154): the "
              "server is not registered: run fybootp -RegServer (as root)\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(ReachingTheServer, AUserOutsideTheGroupIsRefusedByTheBus) {
    Register();
    Child child("/usr/bin/setpriv", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     FYB_FYBOOTPCTL_PATH, "nodes"});
    EXPECT_EQ(child.Wait(30s), 3);
    EXPECT_NE(child.Stderr().find("E_ACCESSDENIED (0x80070005): the bus refused the call: run as "
                                  "root or as a member of group fybootp"),
              std::string::npos)
        << child.Stderr();
    EXPECT_FALSE(bus->NameHasOwner());  // refused before anything was started
}

// On the system bus (here the private bus, named by DBUS_SYSTEM_BUS_ADDRESS
// while FYBOOTP_BUS_ADDRESS is empty) fybootpctl talks only to a server
// that runs as root or as _fybootp.
class OnTheSystemBus : public OnAPrivateBus {
protected:
    std::vector<std::string> SystemBus() const {
        return {"FYBOOTP_BUS_ADDRESS=", "DBUS_SYSTEM_BUS_ADDRESS=" + bus->Address()};
    }

    // The scratch root's passwd file, which says who _fybootp is.
    void Passwd(const std::string& lines) {
        std::filesystem::create_directories(bus->Root() + "/etc");
        std::ofstream(bus->Root() + "/etc/passwd") << lines;
    }

    // A policy that lets anyone own the server's name, as a careless local
    // rule could; the daemon reads it at once.
    void LetAnyoneOwnTheName() {
        std::ofstream(bus->Root() + "/usr/share/dbus-1/system.d/zz-loose.conf")
            << "<busconfig><policy context=\"mandatory\"><allow own=\"org.fybootp.FyBootpServer\"/>"
               "</policy></busconfig>\n";
        sd_bus* client = bus->Connect();
        ASSERT_NE(client, nullptr);
        EXPECT_GE(sd_bus_call_method(client, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "ReloadConfig", nullptr, nullptr, ""),
                  0);
        sd_bus_flush_close_unref(client);
    }
};

TEST_F(OnTheSystemBus, RootsServerIsTakenAndAStarterAddressIsNot) {
    Register();
    // DBUS_STARTER_ADDRESS names the bus that activated a process; a client
    // that inherited it still goes to the system bus, absent here.
    CtlRun run = Ctl({"nodes"}, {"FYBOOTP_BUS_ADDRESS=", "DBUS_STARTER_ADDRESS=" + bus->Address(),
                                 "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/fyb/system_bus"});
    EXPECT_EQ(run.exit, 3) << run;
    EXPECT_NE(run.err.find("fybootpctl: connecting to the system bus: "), std::string::npos) << run;
    EXPECT_FALSE(bus->NameHasOwner());  // nothing was started on the bus it named

    run = Ctl({"add", "02:4b:77:00:00:0a", "192.0.2.10"}, SystemBus());
    EXPECT_EQ(run.exit, 0) << run;  // the bus started the server as root
    EXPECT_EQ(run.out, "added 02:4B:77:00:00:0A 192.0.2.10\n");
}

TEST_F(OnTheSystemBus, AnOwnerOfAnotherUidGetsNoCall) {
    LetAnyoneOwnTheName();
    Child owner("/usr/bin/setpriv", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     FYB_NAME_OWNER_STUB, bus->Address()});
    ASSERT_TRUE(bus->WaitForName(true)) << owner.Stderr();
    const std::string refused =
        "fybootpctl: reaching the server: E_ACCESSDENIED (0x80070005): the owner of "
        "org.fybootp.FyBootpServer runs as uid 65534, not as _fybootp or root: refusing to talk "
        "to it\n";
    // The passwd file below the scratch root, and whether uid 65534 is taken.
    const std::vector<std::pair<std::string, bool>> cases{
        {"", false},
        {"_fybootp:x:64999:64999::/nonexistent:/usr/sbin/nologin\n", false},
        {"_fybootp:x:65534:65534::/nonexistent:/usr/sbin/nologin\n", true},
    };
    for (const auto& [passwd, taken] : cases) {
        Passwd(passwd);
        const std::size_t seen = owner.Stdout().size();
        const CtlRun run = Ctl({"nodes"}, SystemBus());
        const std::string calls = owner.Stdout().substr(seen);
        if (taken) {
            // The first real call reached the owner, which refused it.
            EXPECT_EQ(calls, "CreateInstance\nGet\n") << passwd << run;
            EXPECT_EQ(run.err.find("refusing"), std::string::npos) << run;
        } else {
            EXPECT_EQ(run.exit, 3) << passwd << run;
            EXPECT_EQ(run.err, refused) << passwd;
            EXPECT_EQ(calls, "CreateInstance\n") << passwd;
        }
    }
}

TEST_F(ReachingTheServer, AMemberOfTheGroupIsServed) {
    Register();
    for (const char* args : {"status", "add 02:4b:77:00:00:01 192.0.2.10", "log"}) {
        Child child("/bin/sh",
                    {"sh", "-c", bus->AsMember(std::string(FYB_FYBOOTPCTL_PATH) + " " + args)});
        const CtlRun run = Finish(child);
        EXPECT_EQ(run.exit, 0) << args << "\n" << run;
    }
    EXPECT_EQ(Ctl({"nodes"}).out, "MAC                IP\n02:4B:77:00:00:01  192.0.2.10\n");
}

}  // namespace
}  // namespace fybootp::testing
