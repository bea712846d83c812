#!/usr/bin/env bash
# The Debian package: builds it with scripts/package, checks its contents
# and lintian's verdict, then installs it into a scratch root with
# dpkg --root, where its maintainer scripts register FyBootp below that
# root. A private bus reads the installed activation file and policy and
# starts the installed server through them. Removal must unregister, purge
# must leave nothing of FyBootp's state. Neither the machine's own root,
# its dpkg database, its system bus nor systemd is touched.
#
# The bus daemon and the installed server run in a mount namespace of this
# script's own, whose /etc/passwd and /etc/group are the scratch root's
# (copies of the machine's, plus what the package's registration adds), so
# that the bus resolves _fybootp and the server drops to it.
#
# Run as root after the release build; scripts/test runs it last.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ -z "${FYB_PACKAGE_TEST_NS:-}" ]; then
  exec unshare --mount --propagation private env FYB_PACKAGE_TEST_NS=1 "$0" "$@"
fi

failures=0
pass() { echo "ok   $*"; }
check() {
  local what=$1; shift
  if "$@"; then pass "$what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

scratch=$(mktemp -d /tmp/fyb-package.XXXXXX)
bus_pid=
cleanup() {
  if [ -n "$bus_pid" ]; then kill "$bus_pid" 2>/dev/null || true; wait "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
# mktemp's 0700 would keep the bus's activation helper out; registration
# wants no one but root able to change the root's directories.
chmod 0755 "$scratch"
# Registration asks the service manager about FyBootp.service over the bus
# this names; nothing answers there, so systemd is never asked.
export FYBOOTP_BUS_ADDRESS="unix:path=$scratch/no-bus"
unset FYBOOTP_REGISTRY_ROOT DBUS_STARTER_ADDRESS

# --- the package ---------------------------------------------------------
deb=$(scripts/package)
version=$(sed -n 's/^project(FyBootp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
check "package file named after the version ($version)" \
  test "$(basename "$deb")" = "fybootp_${version}_amd64.deb"
echo "--- dpkg-deb -c $deb"
dpkg-deb -c "$deb" | tee "$scratch/contents"

expected_paths="./lib/systemd/system/fybootp-web.service
./lib/systemd/system/fybootp-web.socket
./usr/bin/fybootp-web
./usr/bin/fybootpctl
./usr/lib/fybootp/ProjectDocument.so
./usr/lib/fybootp/fybootp-regcomponent
./usr/sbin/fybootp
./usr/share/bash-completion/completions/fybootpctl
./usr/share/doc/fybootp/changelog.gz
./usr/share/doc/fybootp/copyright
./usr/share/fybootp/FyBootpLib.tlb
./usr/share/fybootp/web/app.css
./usr/share/fybootp/web/app.js
./usr/share/fybootp/web/index.html
./usr/share/man/man1/fybootp-web.1.gz
./usr/share/man/man1/fybootpctl.1.gz
./usr/share/man/man8/fybootp.8.gz"
check "package holds exactly the expected files" \
  test "$(awk '$1 !~ /^d/ { print $6 }' "$scratch/contents" | LC_ALL=C sort)" = "$expected_paths"
check "every entry is root's" \
  test -z "$(awk '$2 != "root/root"' "$scratch/contents")"
check "executables 0755, everything else 0644" \
  test -z "$(awk '$1 !~ /^d/ { x = ($6 ~ /\/(s?bin\/[^\/]+|fybootp-regcomponent)$/) ? "-rwxr-xr-x" : "-rw-r--r--";
                                if ($1 != x) print }' "$scratch/contents")"
check "version from CMakeLists.txt" test "$(dpkg-deb -f "$deb" Version)" = "$version"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libxml2 libsystemd0 libgsf-1-114 libcap-ng0 libmicrohttpd12 libstdc++6 dbus passwd; do
  check "depends on $library" grep -qxF "$library" < <(tr ',' '\n' <<<"$depends" | awk '{ print $1 }')
done
check "maintainer scripts postinst, prerm, postrm" \
  test "$(dpkg-deb -I "$deb" | awk '$NF == "#!/bin/sh" { print $(NF - 1) }' | sort | tr '\n' ' ')" = \
  "postinst postrm prerm "

echo "--- lintian"
lintian_args=(--display-info --pedantic --display-experimental --fail-on error)
[ "$(id -u)" = 0 ] && lintian_args+=(--allow-root)
check "lintian finds no error" lintian "${lintian_args[@]}" "$deb"

# --- install into a scratch root -----------------------------------------
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The machine's accounts, so that the ids registration picks are free here.
cp /etc/passwd /etc/group "$root/etc/"
touch "$root/etc/shadow" "$root/etc/gshadow"
chmod 0640 "$root/etc/shadow" "$root/etc/gshadow"
# A node table at the place older versions kept it.
mkdir -p "$root/var/lib/fybootp"
echo '<FyBootpInfo/>' >"$root/var/lib/fybootp/FyBootpInfo.xml"
# The scratch root has none of the dependencies; the host's programs serve.
in_root() {
  dpkg --root="$root" --log="$scratch/dpkg.log" --force-script-chrootless --force-not-root \
    --force-depends "$@"
}
installed_status() { dpkg-query --root="$root" -W -f='${db:Status-Abbrev}' fybootp 2>/dev/null; }

classes=$root/var/lib/fybootp/registry/HKCR.reg
activation=$root/usr/share/dbus-1/system-services/org.fybootp.FyBootpServer.service
policy=$root/usr/share/dbus-1/system.d/org.fybootp.FyBootpServer.conf
server_class='"{8177E4D6-67CB-4CB7-9926-2F61CFD4B035}"'
component_class='"{40BBCC54-B4D0-4DA3-BA6B-78A83DFD60AC}"'
library='"{1ABC56CF-01D5-4488-BD8D-0437DF9C7A3C}"'
app_id='"{DA184C20-DFC9-47A7-A2AE-6D98202999CD}"'

# The text value of a key in the classes hive, by the key's line.
hive_value() {
  awk -v key="$1" -v name="${2:-}" '
    $0 == key { inside = 1; next }
    /^key/ { inside = 0 }
    inside && index($0, "sz \"" name "\" ") == 1 { print substr($0, length(name) + 7) }' "$classes"
}
mode_owner() { stat -c '%a %U:%G' "$1"; }

echo "--- dpkg --root $root -i"
check "installs" in_root -i "$deb"
check "dpkg lists it as installed" test "$(installed_status)" = "ii "
check "installed fybootpctl" test -x "$root/usr/bin/fybootpctl"
completion=$root/usr/share/bash-completion/completions/fybootpctl
check "installed bash completion 0644 root's" test "$(mode_owner "$completion")" = "644 root:root"
check "the completion completes fybootpctl" \
  bash --norc --noprofile -c "source /usr/share/bash-completion/bash_completion && source '$completion' &&
    [[ \$(complete -p fybootpctl) == 'complete -F _fybootpctl fybootpctl' ]]"
check "installed fybootp-web" test -x "$root/usr/bin/fybootp-web"
check "the page's socket unit: root:fybootp 0660" \
  grep -qxF "SocketGroup=fybootp" "$root/lib/systemd/system/fybootp-web.socket"

check "activation file 0644 root's" test "$(mode_owner "$activation")" = "644 root:root"
check "activation starts the installed server in its directory" \
  grep -qxF "Exec=/usr/bin/env --chdir=$root/var/lib/fybootp/server $root/usr/sbin/fybootp -Embedding" \
  "$activation"
check "activation names the local server's unit for systemd" \
  grep -qxF "SystemdService=fybootp-local.service" "$activation"
check "local server's unit runs it as _fybootp" \
  grep -qxF "User=_fybootp" "$root/etc/systemd/system/fybootp-local.service"
check "user _fybootp made in the scratch root" grep -q '^_fybootp:x:' "$root/etc/passwd"
server_uid=$(awk -F: '$1 == "_fybootp" { print $3 ":" $4 }' "$root/etc/passwd")
check "server directory 0750 _fybootp's ($server_uid)" \
  test "$(stat -c '%a %u:%g' "$root/var/lib/fybootp/server")" = "750 $server_uid"
check "node table moved from the old place into it" \
  test -f "$root/var/lib/fybootp/server/FyBootpInfo.xml" -a ! -e "$root/var/lib/fybootp/FyBootpInfo.xml"
check "policy 0644 root's" test "$(mode_owner "$policy")" = "644 root:root"
check "policy lets group fybootp call" grep -qF '<policy group="fybootp">' "$policy"
check "group fybootp made in the scratch root" grep -q '^fybootp:' "$root/etc/group"
check "registry 0755 root's" \
  test "$(mode_owner "$root/var/lib/fybootp/registry")" = "755 root:root"
check "LocalServer32 names the installed server" \
  test "$(hive_value "key \"CLSID\" $server_class \"LocalServer32\"")" = "\"$root/usr/sbin/fybootp\""
check "AppID entry" test "$(hive_value "key \"AppID\" $app_id")" = '"FyBootp"'
check "a local server, not a service" \
  test -z "$(hive_value "key \"AppID\" $app_id" LocalService)"
registered_library=$(hive_value "key \"TypeLib\" $library \"1.0\" \"0\" \"win32\"")
check "type library registered from the installed server" \
  test "$registered_library" = "\"$root/usr/sbin/fybootp\""
# The installed, stripped server still carries the type library it
# registered, and the shipped file is the same library.
objcopy --dump-section .fyb_typelib="$scratch/typelib" "$root/usr/sbin/fybootp" 2>/dev/null ||
  : >"$scratch/typelib"
check "shipped type library is the one built in" \
  cmp -s <(tr -d '\0' <"$scratch/typelib") "$root/usr/share/fybootp/FyBootpLib.tlb"
check "default project component registered" \
  test "$(hive_value "key \"CLSID\" $component_class \"InprocServer32\"")" = \
  "\"$root/usr/lib/fybootp/ProjectDocument.so\""

# --- the installed files work together -----------------------------------
# From here this namespace resolves the scratch root's accounts.
mount --bind "$root/etc/passwd" /etc/passwd
mount --bind "$root/etc/group" /etc/group
# A private bus with the scratch root's activation and policy directories,
# as the system bus has them; FYBOOTP_ROOT reaches the server it starts.
. "scripts/lib/private-bus.sh"
private_bus_config "$scratch/bus.sock" "$root" >"$scratch/bus.conf"
bus="unix:path=$scratch/bus.sock"
FYBOOTP_ROOT=$root FYBOOTP_BUS_ADDRESS=$bus dbus-daemon --config-file="$scratch/bus.conf" \
  --nofork >/dev/null 2>&1 &
bus_pid=$!
for _ in $(seq 100); do [ -S "$scratch/bus.sock" ] && break; sleep 0.05; done
started=$(timeout 20 busctl --address="$bus" get-property org.fybootp.FyBootpServer \
  /org/fybootp/FyBootpServer/Server org.fybootp.IFyBootpServer Started 2>&1 || true)
check "the bus starts the installed server on a call (Started: $started)" test "$started" = "i 0"
status_out=$(FYBOOTP_BUS_ADDRESS=$bus timeout 20 "$root/usr/bin/fybootpctl" status 2>&1) && ctl=0 || ctl=$?
check "installed fybootpctl reaches it" test "$ctl" = 0
echo "$status_out" | sed 's/^/     /'
server_pid() {
  timeout 5 busctl --address="$bus" call org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus GetConnectionUnixProcessID s org.fybootp.FyBootpServer 2>/dev/null |
    awk '{ print $2 }'
}
# A one-shot caller leaves no reference; the server ends by itself.
for _ in $(seq 100); do
  timeout 5 busctl --address="$bus" status org.fybootp.FyBootpServer >/dev/null 2>&1 || break
  sleep 0.1
done
check "the server ended by itself" \
  bash -c "! timeout 5 busctl --address='$bus' status org.fybootp.FyBootpServer >/dev/null 2>&1"

# A follower keeps a reference, so the server stays while we look at it.
FYBOOTP_BUS_ADDRESS=$bus "$root/usr/bin/fybootpctl" log --follow >/dev/null 2>&1 &
follower=$!
for _ in $(seq 100); do pid=$(server_pid || true); [ -n "$pid" ] && break; sleep 0.1; done
uid=$(awk -F: '$1 == "_fybootp" { print $3 }' "$root/etc/passwd")
check "the installed server runs as _fybootp ($uid)" \
  test "$(awk '$1 == "Uid:" { print $2, $3, $4, $5 }' "/proc/$pid/status")" = "$uid $uid $uid $uid"
check "with CAP_NET_BIND_SERVICE alone" \
  test "$(awk '$1 == "CapEff:" || $1 == "CapPrm:" || $1 == "CapBnd:" { print $2 }' "/proc/$pid/status" |
          sort -u)" = "0000000000000400"

# --- a reinstall keeps the registration and a service stays one ----------
# Only a unit file's presence is asked; no systemd reads this one.
mkdir -p "$root/etc/systemd/system"
touch "$root/etc/systemd/system/FyBootp.service"
check "reinstalls" in_root -i "$deb"
check "still registered after reinstalling" \
  test "$(hive_value "key \"CLSID\" $server_class \"LocalServer32\"")" = "\"$root/usr/sbin/fybootp\""
check "a server registered as a service stays one" \
  test "$(hive_value "key \"AppID\" $app_id" LocalService)" = '"FyBootp"'

# --- removal and purge ---------------------------------------------------
echo "--- dpkg --root $root -r, then -P"
# prerm finds the running server on the bus registration used.
remove_with_bus() { FYBOOTP_BUS_ADDRESS=$bus in_root -r fybootp; }
check "removes" remove_with_bus
# Ended, or a zombie until the bus daemon that started it reaps it.
server_gone() { ! grep -qs '^State:[[:space:]]*[^Z]' "/proc/$pid/status"; }
check "no server left running after removal" server_gone
kill "$follower" 2>/dev/null || true; wait "$follower" 2>/dev/null || true
kill "$bus_pid"; wait "$bus_pid" 2>/dev/null || true; bus_pid=
check "dpkg lists it as removed" test "$(installed_status)" = "rc "
check "activation file gone" test ! -e "$activation"
check "policy gone" test ! -e "$policy"
check "service unit gone" test ! -e "$root/etc/systemd/system/FyBootp.service"
check "local server's unit gone" test ! -e "$root/etc/systemd/system/fybootp-local.service"
check "no class, AppID, type library or component entry left" \
  test -z "$(grep -E "$server_class|$app_id|$library|$component_class" "$classes")"
check "executables gone" test ! -e "$root/usr/sbin/fybootp" -a ! -e "$root/usr/bin/fybootpctl" \
  -a ! -e "$root/usr/bin/fybootp-web"
check "group fybootp stays" grep -q '^fybootp:' "$root/etc/group"
check "purges" in_root -P fybootp
check "dpkg knows it no more" test -z "$(installed_status)"
check "state directory gone" test ! -e "$root/var/lib/fybootp"

if [ "$failures" -ne 0 ]; then
  echo "package test: $failures check(s) failed"
  exit 1
fi
echo "package test: all checks passed"
