// fybootpctl: the operator's client of the FyBootp server. It reaches the
// server's automation interface over the bus (FYBOOTP_BUS_ADDRESS, else the
// system bus, or with -H the system bus of another machine through ssh),
// which starts the server on the first call.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "tools/client/address_args.h"
#include "tools/client/client_failure.h"
#include "tools/client/remote_bus.h"
#include "tools/fybootpctl/commands.h"
#include "tools/fybootpctl/help_text.h"
#include "tools/fybootpctl/terminal_text.h"

namespace fybootp::tools {
namespace {

std::string CheckedMac(const std::string& argument, const std::string& text) {
    std::string why;
    if (auto mac = ParseMac(text, &why)) return *mac;
    throw UsageFailure{argument + " '" + text + "' is not a hardware address: " + why};
}

std::int32_t CheckedIp(const std::string& argument, const std::string& text) {
    std::string why;
    if (auto ip = ParseIpv4(text, &why)) return *ip;
    throw UsageFailure{argument + " '" + text + "' is not an IPv4 address: " + why};
}

// Dotted text the server reads back exactly as given.
std::optional<std::string> CheckedDotted(const std::string& argument,
                                         const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return Ipv4Text(CheckedIp(argument, *text));
}

constexpr std::size_t kMaxHostName = 99;  // the server keeps no more

struct Arguments {
    bool json = false;
    bool xml = false;
    std::string mac;
    std::string ip;
    std::string file = "-";
    bool follow = false;
    bool clear = false;
    bool csv = false;
    bool next = false;
    std::optional<std::string> name, hostIp, mask, router;
    std::vector<std::string> remotes;
};

CLI::App* Command(CLI::App& parent, const char* name, const char* help, const char* footer) {
    CLI::App* command = parent.add_subcommand(name, help);
    command->fallthrough();
    command->footer(std::string(footer) + "\n\nExit codes and every command: fybootpctl --help");
    return command;
}

void AddressArguments(CLI::App* command, Arguments& args, bool withIp) {
    command
        ->add_option("MAC", args.mac,
                     "hardware address: 02:4b:77:00:00:01, "
                     "02-4B-77-00-00-01 or 024b77000001")
        ->required();
    if (withIp) command->add_option("IP", args.ip, "IPv4 address, dotted")->required();
}

Format FormatOf(const Arguments& args) {
    if (args.json && args.xml) throw UsageFailure{"--json and --xml exclude each other"};
    return args.json ? Format::kJson : args.xml ? Format::kXml : Format::kHuman;
}

struct Commands {
    CLI::App *status, *nodes, *add, *remove, *import, *exportTable, *newList, *assign, *next, *log,
        *start, *stop, *disable, *enable, *host, *hostSet, *hostAuto;
};

namespace help = command_help;

void DefineTableCommands(CLI::App& app, Arguments& args, Commands& c) {
    c.nodes = Command(app, "nodes", "the node table, sorted as the server keeps it", help::kNodes);
    c.add = Command(app, "add", "add a node, or give a known one a new address", help::kAdd);
    AddressArguments(c.add, args, true);
    c.remove = Command(app, "delete", "delete a node (exit 1 when no node has the address)",
                       help::kDelete);
    AddressArguments(c.remove, args, false);
    c.import =
        Command(app, "import", "replace the whole node table by a BootpInfosXml text (--csv: CSV)",
                help::kImport);
    c.import->add_option("FILE", args.file, "the text, - for standard input")->required();
    c.import->add_flag("--csv", args.csv, "the text is CSV: mac,ip lines");
    c.exportTable =
        Command(app, "export", "write the node table as BootpInfosXml (--json: JSON, --csv: CSV)",
                help::kExport);
    c.exportTable->add_option("FILE", args.file, "where to, - (the default) for standard output");
    c.exportTable->add_flag("--csv", args.csv, "write CSV: a line mac,ip, then one a node");
    c.newList =
        Command(app, "new", "unknown devices of the maker that asked for an address", help::kNew);
    c.assign = Command(app, "assign", "give a new device its address; it leaves the new list",
                       help::kAssign);
    AddressArguments(c.assign, args, false);
    CLI::Option* ip = c.assign->add_option("IP", args.ip, "IPv4 address, dotted");
    c.assign->add_flag("--next", args.next, "the next free address instead of IP")->excludes(ip);
    c.next = Command(app, "next", "the lowest free address of the server's subnet", help::kNext);
}

void DefineRunCommands(CLI::App& app, Arguments& args, Commands& c) {
    c.log = Command(app, "log", "the log, oldest entry first", help::kLog);
    auto* follow =
        c.log->add_flag("--follow,-f", args.follow, "print new entries as they come, until Ctrl-C");
    c.log->add_flag("--clear", args.clear, "empty the log")->excludes(follow);
    c.start = Command(app, "start", "start the responder (it keeps a local server running)",
                      help::kStart);
    c.stop = Command(app, "stop", "stop the responder (a local server nobody uses then ends)",
                     help::kStop);
    c.disable = Command(app, "disable", "keep the responder from replying (DisableResponse 1)",
                        help::kDisable);
    c.enable =
        Command(app, "enable", "let the responder reply again (DisableResponse 0)", help::kEnable);
}

void DefineHostCommands(CLI::App& app, Arguments& args, Commands& c) {
    c.host =
        Command(app, "host", "the server's own identity that every reply carries", help::kHost);
    c.host->require_subcommand(0, 1);
    c.hostSet = Command(*c.host, "set", "fix the identity (Override on); values not given stay",
                        help::kHostSet);
    c.hostSet->add_option("--name", args.name, "host name, at most 99 bytes");
    c.hostSet->add_option("--ip", args.hostIp, "the server's IPv4 address");
    c.hostSet->add_option("--mask", args.mask, "the subnet mask");
    c.hostSet->add_option("--router", args.router, "the default gateway");
    c.hostAuto =
        Command(*c.host, "auto", "detect the identity again at the next start (Override off)",
                help::kHostAuto);
}

Commands Define(CLI::App& app, Arguments& args) {
    Commands c{};
    app.add_flag("--json", args.json, "print JSON for scripts (shapes below)");
    app.add_flag("--xml", args.xml, "print the interface's own XML text");
    app.add_option("-H,--host", args.remotes,
                   "the server on that machine's system bus, through ssh; several for status, "
                   "nodes, new and log")
        ->allow_extra_args(false)
        ->type_name("[USER@]HOST[:PORT]");
    c.status = Command(app, "status",
                       "Started, DisableResponse, LogChangeCnt, NewMacCnt, the host identity, "
                       "and whether the server runs as a service",
                       help::kStatus);
    DefineTableCommands(app, args, c);
    DefineRunCommands(app, args, c);
    DefineHostCommands(app, args, c);
    return c;
}

void Run(const Commands& c, const Arguments& args) {
    const Format format = FormatOf(args);
    if (c.status->parsed()) return ShowStatus(format);
    if (c.nodes->parsed()) return ShowNodes(format);
    if (c.add->parsed()) {
        return AddNode({CheckedMac("MAC", args.mac), CheckedIp("IP", args.ip)}, format);
    }
    if (c.remove->parsed()) return DeleteNode(CheckedMac("MAC", args.mac), format);
    if (c.import->parsed()) {
        return args.csv ? ImportCsv(args.file, format) : ImportTable(args.file, format);
    }
    if (c.exportTable->parsed()) {
        if (!args.csv) return ExportTable(args.file, format);
        if (format != Format::kHuman)
            throw UsageFailure{"export --csv takes neither --json nor --xml"};
        return ExportCsv(args.file);
    }
    if (c.newList->parsed()) return ShowNew(format);
    if (c.assign->parsed()) {
        const std::string mac = CheckedMac("MAC", args.mac);
        if (args.next) return AssignNext(mac, format);
        if (args.ip.empty()) throw UsageFailure{"assign needs an IP address or --next"};
        return AssignNew({mac, CheckedIp("IP", args.ip)}, format);
    }
    if (c.next->parsed()) {
        if (format == Format::kXml)
            throw UsageFailure{"next has no XML form; --json gives {\"next\":s}"};
        return ShowNext(format);
    }
    if (c.log->parsed()) {
        if (args.follow) return FollowLog(format);
        return args.clear ? ClearLog(format) : ShowLog(format);
    }
    if (c.start->parsed() || c.stop->parsed()) return SetStarted(c.start->parsed(), format);
    if (c.disable->parsed() || c.enable->parsed()) return SetReplies(c.enable->parsed(), format);
    if (c.hostSet->parsed()) {
        if (args.name && args.name->size() > kMaxHostName) {
            throw UsageFailure{"--name is longer than 99 bytes"};
        }
        HostSettings settings{args.name, CheckedDotted("--ip", args.hostIp),
                              CheckedDotted("--mask", args.mask),
                              CheckedDotted("--router", args.router)};
        return SetHost(settings, format);
    }
    if (c.hostAuto->parsed()) return AutoHost(format);
    if (c.host->parsed()) return ShowHost(format);
}

std::vector<RemoteHost> CheckedHosts(const Commands& c, const Arguments& args) {
    std::vector<RemoteHost> hosts;
    for (const std::string& text : args.remotes) {
        std::string why;
        auto host = ParseRemoteHost(text, &why);
        if (!host) throw UsageFailure{"-H '" + text + "' is not [USER@]HOST[:PORT]: " + why};
        hosts.push_back(*std::move(host));
    }
    // Only what reads can be asked of many machines at once; a change goes
    // to one, so that a failure halfway leaves no doubt where it happened.
    const bool reads = c.status->parsed() || c.nodes->parsed() || c.newList->parsed() ||
                       (c.log->parsed() && !args.follow && !args.clear);
    if (hosts.size() > 1 && !reads) {
        throw UsageFailure{"-H is given " + std::to_string(hosts.size()) +
                           " times: several hosts are for status, nodes, new and log only"};
    }
    return hosts;
}

int Report(const Failure& failure, bool json) {
    // ssh's own words, as it said them, before the line that says what
    // failed; that line's hint quotes the last of them.
    std::istringstream lines(failure.detail);
    std::vector<std::string> said;
    for (std::string line; std::getline(lines, line);) said.push_back(line);
    while (!said.empty() && said.back().empty()) said.pop_back();
    if (!said.empty()) said.pop_back();
    for (const std::string& line : said) std::fprintf(stderr, "%s\n", TerminalText(line).c_str());
    std::fprintf(stderr, "%s\n", TerminalText(FailureLine(failure)).c_str());
    if (json) PrintJson(FailureJson(failure));
    return ExitCodeOf(failure);
}

// One host after another, each under a heading of its own when there are
// several; a host that fails does not stop the others. The worst exit code
// is the run's.
int RunOnHosts(const Commands& c, const Arguments& args, const std::vector<RemoteHost>& hosts) {
    const Format format = FormatOf(args);
    int worst = kExitOk;
    for (const RemoteHost& host : hosts) {
        ReachThrough(host);
        LabelJsonWith(host.given);
        if (hosts.size() > 1 && format == Format::kHuman) {
            PrintText((&host == &hosts.front() ? "== " : "\n== ") + host.given + " ==");
        } else if (hosts.size() > 1 && format == Format::kXml) {
            std::string name = host.given;
            for (std::size_t at = name.find("--"); at != std::string::npos; at = name.find("--")) {
                name.replace(at, 2, "-&#x2D;");
            }
            PrintText("<!-- host " + name + " -->");
        }
        try {
            Run(c, args);
        } catch (Failure& failure) {
            if (failure.host.empty()) failure.host = host.given;
            worst = std::max(worst, Report(failure, args.json));
        }
    }
    ReachThrough(std::nullopt);
    return worst;
}

int Main(int argc, char** argv) {
    CLI::App app{kDescription, "fybootpctl"};
    app.footer(kFooter);
    app.require_subcommand(1);
    Arguments args;
    const Commands commands = Define(app, args);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kExitOk : kExitUsage;
    }
    try {
        const std::vector<RemoteHost> hosts = CheckedHosts(commands, args);
        if (!hosts.empty()) return RunOnHosts(commands, args, hosts);
        Run(commands, args);
        return kExitOk;
    } catch (const UsageFailure& failure) {
        // One fault a line, each with the program's name, as grep shows them.
        std::istringstream lines(failure.message);
        for (std::string line; std::getline(lines, line);) {
            std::fprintf(stderr, "fybootpctl: %s\n", line.c_str());
        }
        return kExitUsage;
    } catch (const Failure& failure) {
        return Report(failure, args.json);
    }
}

}  // namespace
}  // namespace fybootp::tools

int main(int argc, char** argv) {
    try {
        return fybootp::tools::Main(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fybootpctl: %s\n", error.what());
        return fybootp::tools::kExitRefused;
    }
}
