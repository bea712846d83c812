#pragma once
// The parts of fybootpctl --help that are not generated from the options:
// what it is, its exit codes and its JSON shapes. tools/fybootpctl/fybootpctl.1 says
// the same for man.

namespace fybootp::tools {

inline constexpr char kDescription[] =
    "fybootpctl - operate the FyBootp BOOTP server.\n"
    "Reaches the server over the bus that FYBOOTP_BUS_ADDRESS names (else the system bus,\n"
    "where it talks only to a server that runs as _fybootp or root); the first call starts\n"
    "it. Needs root or membership of group fybootp.\n"
    "With -H [USER@]HOST[:PORT] it reaches the system bus of that machine through ssh and\n"
    "systemd-stdio-bridge there, as systemctl -H does: ssh authenticates, the bus policy\n"
    "there decides (root or group fybootp there), and the server there must run as root or\n"
    "a system user (uid below 1000).";

inline constexpr char kFooter[] =
    R"(Every command takes --json (for scripts) or --xml (the interface's text),
except next, which has no XML form, and export --csv, which writes CSV only.
Addresses: MAC as 02:4b:77:00:00:01, 02-4B-77-00-00-01 or 024b77000001;
IP as dotted decimal. A malformed one is refused before anything is called.
Text from the server is shown with control and bidirectional characters
escaped: \r, \x1b, \u202e; with --xml as &#xD;, with --json as \u escapes.

Exit codes:
  0  success
  1  the server refused (a failure status), delete found no such node, or
     next or assign --next found no free address
  2  usage: bad arguments or addresses, or a faulty line in an import;
     nothing was called
  3  the server cannot be reached: no bus, not registered, access denied,
     it went away, or on the system bus it runs as neither _fybootp nor root;
     with -H also: ssh failed (RPC_S_SERVER_UNAVAILABLE, ssh's own words
     first), no systemd-stdio-bridge there, no system bus there
With several -H the exit code is the worst of the hosts'.

Errors go to standard error as
  fybootpctl: [<host>: ]<what failed>: <STATUS> (0x<hex>): <hint>
and with --json also to standard output as
  {"error":{"what":s,"status":s,"code":"0x...","hint":s,"exit":n[,"detail":s]}}
(detail: ssh's own words; with -H the object also has "host":s).

-H, --host [USER@]HOST[:PORT] may be given several times for status, nodes,
new and log (not --follow or --clear); other commands take one. Hosts are
asked one after another; one that fails does not stop the others. Human
output gets a line "== HOST ==" before each host's part, --xml a comment
<!-- host HOST -->. With -H every JSON document is wrapped, one a line:
  {"host":"USER@HOST:PORT as given","result":DOCUMENT}
  {"host":s,"error":{...}}            for a host that failed

JSON shapes (mac: 12 upper-case hex digits; ip, mask, router: dotted):
  status           {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n,
                    "server":{"running":b,"pid":n,"unit":s,"service":b},"host":HOST}
  nodes, export    {"nodes":[{"mac":s,"ip":s},...]}
  new              {"new":[{"mac":s},...]}
  log, log --clear {"log":[{"time":s,"mac":s,"message":s},...]}
  log --follow     one {"time":s,"mac":s,"message":s} per line; {"gap":n} where
                   up to n entries went by unseen
  host, host set, host auto
                   HOST = {"override":b,"name":s,"ip":s,"mask":s,"router":s}
  add              {"added":{"mac":s,"ip":s}}
  delete           {"deleted":{"mac":s}}
  import           {"imported":n}
  assign           {"assigned":{"mac":s,"ip":s,"wasNew":b},"new":[{"mac":s},...]}
  next             {"next":s}
  start, stop, disable, enable
                   {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n}

--xml prints BootpInfosXml (nodes, add, delete, import, export), NewMacAddresses
(new, assign), LogEntries (log, log --clear; --follow: one Log element a line,
a gap as <!-- n entries may be missing -->),
HostInfoXml (host). status, start, stop, disable and enable print their numbers
as FyBootpInfo/Status with the HostInfo element.
)";

// What `fybootpctl COMMAND --help` says below the options: what the command
// does in full and what --json prints.
namespace command_help {

inline constexpr char kStatus[] =
    R"(Reads Started, DisableResponse, LogChangeCnt and NewMacCnt and the host identity.
"server" says whether the process owning org.fybootp.FyBootpServer runs as the
systemd service FyBootp.service or as a local server that the bus started.
--json: {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n,
         "server":{"running":b,"pid":n,"unit":s,"service":b},
         "host":{"override":b,"name":s,"ip":s,"mask":s,"router":s}})";

inline constexpr char kNodes[] =
    R"(One line per node: hardware address and IPv4 address, in the server's order.
--json: {"nodes":[{"mac":"024B77000001","ip":"192.0.2.10"},...]}  --xml: BootpInfosXml)";

inline constexpr char kAdd[] =
    R"(AddBootpInfo: a node with a known address gets the new IPv4 address in place.
--json: {"added":{"mac":s,"ip":s}}  --xml: BootpInfosXml afterwards)";

inline constexpr char kDelete[] =
    R"(DeleteBootpInfo. Exit 1 when no node has the address (the server says S_FALSE).
--json: {"deleted":{"mac":s}}  --xml: BootpInfosXml afterwards)";

inline constexpr char kImport[] =
    R"(Puts the text as BootpInfosXml: the table becomes exactly its valid rows, and
their addresses leave the new-device list. A text that is not XML the server
would load is refused here (exit 2): the server would change nothing and say so
to nobody.
--csv reads a spreadsheet's CSV instead: a line mac,ip (optional; the two
columns in either order, other named columns ignored), then one node a line.
The separator is ',' or ';', as the first line has it; fields may be quoted;
MACs in any of the three forms; blank lines, a UTF-8 BOM and CRLF are fine.
Every faulty line is named with its number and why, as "line 3: 192.0.2.300:
part 4 is over 255" or "line 7 repeats the MAC of line 2", and then nothing
is changed (exit 2). An empty file is refused; the header alone
empties the table.
--json: {"imported":n}  --xml: BootpInfosXml afterwards)";

inline constexpr char kExport[] =
    R"(Writes BootpInfosXml as the server gives it, a text that import takes back.
--json: {"nodes":[{"mac":s,"ip":s},...]} instead
--csv: the header line mac,ip, then one node a line as 02:4B:77:00:00:01,192.0.2.10,
lines ended by LF; import --csv takes it back)";

inline constexpr char kNew[] =
    R"(NewMacAddresses: devices with the maker's prefix 02-4B-77 that asked while no
node had their address, in the order first seen.
--json: {"new":[{"mac":s},...]}  --xml: NewMacAddresses)";

inline constexpr char kAssign[] =
    R"(Adds the node, then puts the table back as it now stands, which takes the
address out of the new-device list, and shows that list. (Another client's
table change between the two steps would be overwritten.)
--next instead of IP gives the device the address that next prints; exit 1,
and nothing changed, when none is left.
--json: {"assigned":{"mac":s,"ip":s,"wasNew":b},"new":[{"mac":s},...]}
--xml: NewMacAddresses afterwards)";

inline constexpr char kNext[] =
    R"(Prints the lowest address of the server's subnet (host: ip and mask) that no
node holds and that is not the server's own, the router, the network or the
broadcast address: what assign --next would give. Exit 1 when none is left
or the server has no usable address and mask.
--json: {"next":s}  (no --xml))";

inline constexpr char kLog[] = R"(LogEntries: time stamp, hardware address and message per entry.
--follow prints the log, then each new entry once, woken by the server's
PropertiesChanged signal for LogChangeCnt (no polling). Where entries may have
gone by unseen (the log dropped them when full, a clearing took them, or they
came while the log was read), it prints "-- n entries may be missing --", n at
most. Ctrl-C (SIGINT) or SIGTERM ends it with exit 0, a server that goes away
with exit 3. --clear empties the log (LogChangeCnt goes up by one).
--json: {"log":[{"time":s,"mac":s,"message":s},...]}; with --follow one
{"time":s,"mac":s,"message":s} a line, a gap as {"gap":n}.  --xml: LogEntries;
with --follow one Log element a line, a gap as <!-- n entries may be missing -->)";

inline constexpr char kStart[] =
    R"(Started = 1, then reads it back: exit 1 when the responder did not start (for
instance UDP port 67 is taken). A running responder keeps a local server alive.
--json: {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n})";

inline constexpr char kStop[] =
    R"(Started = 0. A local server that no client holds then ends by itself.
--json: as start)";

inline constexpr char kDisable[] =
    R"(DisableResponse = 1: requests are still logged and new devices recorded, but
nobody is answered. Not stored: a new server process replies again.
--json: as start)";

inline constexpr char kEnable[] = R"(DisableResponse = 0.
--json: as start)";

inline constexpr char kHost[] =
    R"(HostInfoXml: host name, address, subnet mask and default gateway that every
reply carries, and Override: on when fixed by the operator and kept in
FyBootpInfo.xml, off when detected from the machine at start.
--json: {"override":b,"name":s,"ip":s,"mask":s,"router":s}  --xml: HostInfoXml)";

inline constexpr char kHostSet[] =
    R"(Puts HostInfoXml with Override 1 and the values given; the others keep their
values. Without options it fixes the identity the server has now. The next
reply carries it; it is stored for the next start.
--json, --xml: as host, afterwards)";

inline constexpr char kHostAuto[] =
    R"(Puts HostInfoXml with Override 0: FyBootpInfo.xml loses the identity, and the
server detects it from the machine when it next starts. Until then it keeps
the values it has.
--json, --xml: as host, afterwards)";

}  // namespace command_help

}  // namespace fybootp::tools
