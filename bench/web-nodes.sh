#!/usr/bin/env bash
# web-nodes.sh - how fast fybootp-web serves the node table's pages with
# 100,000 nodes: the first page, a filtered page, a filter that matches
# nothing (every row looked at, none sent) and the last page, through the
# socket with curl. The very first request after the start is shown on its
# own. Each is then asked ROUNDS times in a row ("warm") and AGED
# times after a pause longer than the 2 s after which the program reads the
# table again ("aged": the request comes while that read may run). Then
# AGED times a change through the page (POST /api/nodes/add, answered once
# the program has read the changed table) and the first page right after it.
#
#   bench/web-nodes.sh [ROUNDS [AGED]]     (as root; release build)
#
# A scratch FYBOOTP_ROOT, a private bus and the real server that the bus
# starts on demand, in a mount and network namespace of the script's own
# (no BOOTP traffic at all: the responder is never started). Prints the
# fastest, median and slowest time of each in ms, and exits 1 when the
# median of any page is 300 ms or more.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
readonly rounds=${1:-20} aged=${2:-5} rows=100000 target_ms=300

fail() {
  echo "web-nodes: $*" >&2
  exit 2
}
[ "$(id -u)" -eq 0 ] || fail "run as root (it makes a mount namespace for the scratch accounts)"
if [ -z "${FYB_WEB_BENCH_NS:-}" ]; then
  exec unshare --mount --net --propagation private env FYB_WEB_BENCH_NS=1 "$0" "$@"
fi

{ cmake --preset release >/dev/null &&
  cmake --build --preset release -j2 --target fybootp fybootpctl fybootp-web >/dev/null; } ||
  fail "the release build failed"
readonly build=$PWD/build/release
work=$(mktemp -d /tmp/fyb-web-bench.XXXXXX)
readonly work root=$work/root
chmod 0755 "$work"
bus_pid="" web_pid=""
cleanup() {
  [ -n "$web_pid" ] && kill "$web_pid" 2>/dev/null
  server_pid=$(timeout 5 busctl --address="unix:path=$work/bus.sock" status org.fybootp.FyBootpServer \
    2>/dev/null | sed -n 's/^PID=//p')
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export FYBOOTP_ROOT=$root FYBOOTP_BUS_ADDRESS=unix:path=$work/bus.sock
mkdir -p "$root/etc" && cp /etc/passwd /etc/group "$root/etc/" || fail "cannot copy the accounts"
"$build/host/fybootp" -RegServer >/dev/null 2>&1 || fail "fybootp -RegServer failed"
mount --bind "$root/etc/passwd" /etc/passwd && mount --bind "$root/etc/group" /etc/group ||
  fail "cannot put the scratch accounts in place"
. "scripts/lib/private-bus.sh"
private_bus_config "$work/bus.sock" "$root" >"$work/bus.conf"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-pid=3 3>"$work/bus.pid" \
  >/dev/null 2>&1 &
for _ in $(seq 50); do [ -S "$work/bus.sock" ] && [ -s "$work/bus.pid" ] && break; sleep 0.1; done
bus_pid=$(cat "$work/bus.pid" 2>/dev/null)
[ -n "$bus_pid" ] || fail "the private bus did not start"

# 100,000 nodes of the maker, addresses 10.x.y.z, in the table's own form.
awk -v n=$rows 'BEGIN {
  printf "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FyBootpInfo><Nodes>"
  for (i = 0; i < n; ++i)
    printf "<Node><IpAddr>10.%d.%d.%d</IpAddr><MacAddr>024B77%06X</MacAddr></Node>", \
      int(i / 65536) % 256, int(i / 256) % 256, i % 256, i
  print "</Nodes></FyBootpInfo>"
}' >"$work/table.xml"
timeout 60 "$build/tools/fybootpctl/fybootpctl" import "$work/table.xml" || fail "the import failed"

"$build/tools/web/fybootp-web" >"$work/web.log" 2>&1 &
web_pid=$!
readonly socket=$root/run/fybootp/web.sock
for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "fybootp-web made no socket: $(cat "$work/web.log")"

# One request's time in ms; its answer must name the expected match count.
ask() {
  local seconds
  seconds=$(timeout 10 curl -sS --fail-with-body --unix-socket "$socket" -o "$work/answer.json" \
    -w '%{time_total}' "http://localhost$1") || fail "GET $1 failed: $(cat "$work/answer.json")"
  grep -q "\"matched\": *$2[,}]" "$work/answer.json" || fail "GET $1: expected $2 matches: $(head -c 300 "$work/answer.json")"
  awk -v s="$seconds" 'BEGIN { printf "%.1f\n", s * 1000 }'
}

status=0
# Prints one line of fastest, median and slowest; fails the run when the
# median of a page misses the target (the add is shown, not judged).
report() {
  local times fastest median slowest
  times=$(sort -n)
  read -r fastest median slowest < <(echo "$times" | awk '{ t[NR] = $1 } END {
    printf "%s %s %s\n", t[1], t[int((NR + 1) / 2)], t[NR] }')
  printf '%-62s %8s %8s %8s ms\n' "$1" "$fastest" "$median" "$slowest"
  [ "${2:-}" = shown ] && return
  awk -v m="$median" -v t=$target_ms 'BEGIN { exit !(m < t) }' || status=1
}
printf '%-62s %8s %8s %8s   (%s nodes)\n' request fastest median slowest "$rows"
# The program's first request reads the table while the caller waits.
report "first page, the program's first request x1" shown < <(ask "/api/nodes?offset=0&limit=50" $rows)
while read -r name query matches; do
  ask "$query" "$matches" >/dev/null
  report "$name, warm x$rounds: $query" < <(for _ in $(seq "$rounds"); do ask "$query" "$matches"; done)
  report "$name, aged x$aged: $query" < <(for _ in $(seq "$aged"); do sleep 2.2; ask "$query" "$matches"; done)
done <<EOF
first /api/nodes?offset=0&limit=50 $rows
filtered /api/nodes?offset=0&limit=50&filter=024B77012 4096
none /api/nodes?offset=0&limit=50&filter=FF:FF:FF 0
last /api/nodes?offset=99950&limit=50 $rows
EOF
# A change through the page: node 02:4B:77:00:00:05 moves between two
# addresses, so that every add really changes the table.
csrf=$(timeout 10 curl -sS --unix-socket "$socket" http://localhost/api/session |
  sed -n 's/.*"csrf": *"\([^"]*\)".*/\1/p')
[ -n "$csrf" ] || fail "no CSRF token from /api/session"
add() {
  timeout 20 curl -sS --fail-with-body --unix-socket "$socket" -o "$work/added.json" -w '%{time_total}' \
    -H "X-CSRF-Token: $csrf" -H "Origin: http://localhost" --data "mac=02:4B:77:00:00:05&ip=$1" \
    http://localhost/api/nodes/add >"$work/add.time" || fail "the add failed: $(cat "$work/added.json")"
  awk -v s="$(cat "$work/add.time")" 'BEGIN { printf "%.1f\n", s * 1000 }'
}
for i in $(seq "$aged"); do
  [ $((i % 2)) -eq 1 ] && ip=198.51.100.5 || ip=10.0.0.5
  add "$ip" >>"$work/adds"
  ask "/api/nodes?offset=0&limit=50" $rows >>"$work/after"
done
report "add, POST x$aged: /api/nodes/add" shown <"$work/adds"
report "first page right after the add x$aged" <"$work/after"
[ $status -eq 0 ] && echo "every page's median is below $target_ms ms" || echo "a page's median is $target_ms ms or more"
exit $status
