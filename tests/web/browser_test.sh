#!/usr/bin/env bash
# The operator's page in a real browser: headless Chromium, driven by
# browser_test.py, opens fybootp-web's --listen URL inside a server network
# namespace of the test's own, where a private bus has started the server;
# Debian's bootpc asks from a device namespace joined to it by a veth pair.
# Nothing touches the machine's own network namespace, system bus, systemd,
# account files or system paths.
#
#   browser_test.sh FYBOOTP FYBOOTPCTL FYBOOTP_WEB OUTPUT_DIR
#
# Writes a screenshot of each view to OUTPUT_DIR. Exit 0 pass, 1 fail,
# 77 skipped (not root).
set -uo pipefail
readonly here=$(cd "$(dirname "$0")" && pwd)

if [ $# -ne 4 ]; then
  echo "usage: $0 FYBOOTP FYBOOTPCTL FYBOOTP_WEB OUTPUT_DIR" >&2
  exit 2
fi
fybootp=$(realpath "$1") ctl_binary=$(realpath "$2") web_binary=$(realpath "$3")
out=$(realpath -m "$4")
readonly fybootp ctl_binary web_binary out

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the browser test needs root (it creates network and mount namespaces)"
  exit 77
fi
fail() {
  echo "FAIL: $*"
  exit 1
}
for tool in chromium chromedriver bootpc dbus-daemon; do
  command -v "$tool" >/dev/null || fail "$tool is missing; scripts/install-deps installs it"
done
/usr/bin/python3 -c 'import selenium' 2>/dev/null || fail "python3-selenium is missing; scripts/install-deps installs it"

# /etc/passwd and /etc/group are the scratch root's in a mount namespace of
# the test's own, so that the bus, the server and fybootp-web know _fybootp
# and fybootp without the machine's files changing.
if [ -z "${FYB_WEB_TEST_MOUNT_NS:-}" ]; then
  exec timeout -k 5 170 unshare --mount --propagation private env FYB_WEB_TEST_MOUNT_NS=1 "$0" "$@"
fi

readonly server_ip=192.0.2.1 mask=255.255.255.0 router=192.0.2.254
readonly known_mac=02:4b:77:00:00:01 known_ip=192.0.2.2
readonly tag=fybweb$$
readonly srv=$tag-srv dev=$tag-dev
work=$(mktemp -d /tmp/fybootp-webtest.XXXXXX)
readonly work root=$work/root
chmod 0755 "$work"
bus_pid="" web_pid=""

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ -n "$web_pid" ] && kill "$web_pid" 2>/dev/null
  server_pid=$(timeout 5 busctl --address="unix:path=$work/bus.sock" status org.fybootp.FyBootpServer 2>/dev/null |
    sed -n 's/^PID=//p')
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -z "$bus_pid" ] && bus_pid=$(cat "$work/bus.pid" 2>/dev/null)
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
  ip netns del "$dev" 2>/dev/null
  ip netns del "$srv" 2>/dev/null
  if [ "$status" -ne 0 ]; then
    for f in web.log server.log; do
      [ -s "$work/$f" ] && { echo "--- $f"; tail -n 40 "$work/$f"; }
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export FYBOOTP_ROOT=$root
export FYBOOTP_BUS_ADDRESS=unix:path=$work/bus.sock
# Chromium and Selenium talk to 127.0.0.1 only; a proxy from the
# environment must not stand in between.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
ctl() { timeout 20 "$ctl_binary" "$@"; }

# Registration into the scratch root, with the machine's accounts copied so
# that the ids it picks are free.
mkdir -p "$root/etc" && cp /etc/passwd /etc/group "$root/etc/" || fail "cannot copy the accounts"
"$fybootp" -RegServer >"$work/register.log" 2>&1 || { cat "$work/register.log"; fail "fybootp -RegServer failed"; }
{ mount --bind "$root/etc/passwd" /etc/passwd && mount --bind "$root/etc/group" /etc/group; } ||
  fail "cannot put the scratch root's accounts in place"

# Two namespaces joined by a veth pair, each with a route for broadcasts,
# rp_filter off and a permanent neighbour entry for 255.255.255.255.
prepare_broadcast() {
  ip -n "$1" route add default dev "$2" &&
    ip netns exec "$1" sysctl -qw net.ipv4.conf.all.rp_filter=0 "net.ipv4.conf.$2.rp_filter=0" &&
    ip -n "$1" neigh replace 255.255.255.255 lladdr ff:ff:ff:ff:ff:ff nud permanent dev "$2"
}
{ ip netns add "$srv" && ip netns add "$dev" &&
  ip -n "$srv" link set lo up && ip -n "$dev" link set lo up &&
  ip -n "$srv" link add srv0 type veth peer name dev0 netns "$dev" &&
  ip -n "$srv" addr add "$server_ip/24" dev srv0 &&
  ip -n "$srv" link set srv0 up && ip -n "$dev" link set dev0 up &&
  prepare_broadcast "$srv" srv0 && prepare_broadcast "$dev" dev0; } || fail "cannot set up the namespaces"

. "$here/../../scripts/lib/private-bus.sh"
private_bus_config "$work/bus.sock" "$root" >"$work/bus.conf"
ip netns exec "$srv" dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile --print-pid=3 \
  3>"$work/bus.pid" >"$work/server.log" 2>&1 &
for _ in $(seq 50); do [ -S "$work/bus.sock" ] && [ -s "$work/bus.pid" ] && break; sleep 0.1; done
bus_pid=$(cat "$work/bus.pid" 2>/dev/null)
{ [ -S "$work/bus.sock" ] && [ -n "$bus_pid" ]; } || fail "the private bus did not start"

# One known node and a fixed identity, so that the suggestion for a new
# device is predictable; the first call starts the server.
ctl add "$known_mac" "$known_ip" >/dev/null &&
  ctl host set --name web-test --ip "$server_ip" --mask "$mask" --router "$router" >/dev/null &&
  ctl start >/dev/null || fail "fybootpctl could not prepare the server"

ip netns exec "$srv" "$web_binary" --listen 127.0.0.1:0 >"$work/web.out" 2>"$work/web.log" &
web_pid=$!
url=""
for _ in $(seq 100); do
  url=$(sed -n 's/^fybootp-web: open \(http:[^ ]*\)$/\1/p' "$work/web.out")
  [ -n "$url" ] && break
  kill -0 "$web_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$url" ] || fail "fybootp-web printed no URL: $(cat "$work/web.out" "$work/web.log")"

mkdir -p "$out" || fail "cannot create $out"
rm -f "$out"/*.png
# Chromium runs in the server namespace beside fybootp-web; bootpc runs in
# the device namespace.
HOME=$work ip netns exec "$srv" timeout -k 5 120 /usr/bin/python3 "$here/browser_test.py" \
  --url "$url" --out "$out" --work "$work" --bootpc "ip netns exec $dev bootpc --dev dev0" \
  --known-mac "$known_mac" || fail "the browser test failed"
echo "Screenshots: $out"
echo PASS
