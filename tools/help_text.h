#pragma once
// The parts of fybootpctl --help that are not generated from the options:
// what it is, its exit codes and its JSON shapes. tools/fybootpctl.1 says
// the same for man.

namespace fybootp::tools {

inline constexpr char kDescription[] =
    "fybootpctl - operate the FyBootp BOOTP server.\n"
    "Reaches the server over the bus that FYBOOTP_BUS_ADDRESS names (else the system bus);\n"
    "the first call starts it. Needs root or membership of group fybootp.";

inline constexpr char kFooter[] = R"(Every command takes --json (for scripts) or --xml (the interface's text).
Addresses: MAC as 02:4b:77:00:00:01, 02-4B-77-00-00-01 or 024b77000001;
IP as dotted decimal. A malformed one is refused before anything is called.

Exit codes:
  0  success
  1  the server refused (a failure status), or delete found no such node
  2  usage: bad arguments or addresses; nothing was called
  3  the server cannot be reached: no bus, not registered, access denied,
     or it went away

Errors go to standard error as
  fybootpctl: <what failed>: <STATUS> (0x<hex>): <hint>
and with --json also to standard output as
  {"error":{"what":s,"status":s,"code":"0x...","hint":s,"exit":n}}

JSON shapes (mac: 12 upper-case hex digits; ip, mask, router: dotted):
  status           {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n,
                    "server":{"running":b,"pid":n,"unit":s,"service":b},"host":HOST}
  nodes, export    {"nodes":[{"mac":s,"ip":s},...]}
  new              {"new":[{"mac":s},...]}
  log, log --clear {"log":[{"time":s,"mac":s,"message":s},...]}
  log --follow     one {"time":s,"mac":s,"message":s} per line
  host, host set, host auto
                   HOST = {"override":b,"name":s,"ip":s,"mask":s,"router":s}
  add              {"added":{"mac":s,"ip":s}}
  delete           {"deleted":{"mac":s}}
  import           {"imported":n}
  assign           {"assigned":{"mac":s,"ip":s,"wasNew":b},"new":[{"mac":s},...]}
  start, stop, disable, enable
                   {"started":b,"disableResponse":n,"logChangeCnt":n,"newMacCnt":n}

--xml prints BootpInfosXml (nodes, add, delete, import, export), NewMacAddresses
(new, assign), LogEntries (log, log --clear; --follow: one Log element a line),
HostInfoXml (host). status, start, stop, disable and enable print their numbers
as FyBootpInfo/Status with the HostInfo element.
)";

}  // namespace fybootp::tools
