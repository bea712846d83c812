#!/usr/bin/env bash
# Ctrl-C in the middle of scripts/demo: the demo says so, exits 130, and
# leaves nothing behind: no namespace, no scratch folder, no bus or server
# process. (scripts/test runs the demo's whole course separately.)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1

out=$(mktemp /tmp/fyb-demo-interrupt.XXXXXX)
trap 'rm -f "$out"' EXIT
fail() { echo "FAIL: $*"; sed 's/^/    | /' "$out"; exit 1; }

# A background job of a script starts with SIGINT ignored; python restores
# the default, as a terminal's foreground job has it, and setsid gives the
# demo its own process group to send the Ctrl-C to.
setsid python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' scripts/demo >"$out" 2>&1 &
demo=$!

# Interrupt once the responder runs: the bus, the server and both
# namespaces exist then.
for _ in $(seq 600); do
  grep -q '^\[5\]' "$out" && break
  kill -0 "$demo" 2>/dev/null || fail "the demo ended before its fifth step"
  sleep 0.1
done
grep -q '^\[5\]' "$out" || { kill -KILL -- -"$demo"; fail "the demo did not reach its fifth step in 60 s"; }
kill -INT -- -"$demo"
for _ in $(seq 300); do kill -0 "$demo" 2>/dev/null || break; sleep 0.1; done
kill -0 "$demo" 2>/dev/null && { kill -KILL -- -"$demo"; fail "the demo still runs 30 s after Ctrl-C"; }
wait "$demo"
status=$?

[ "$status" -eq 130 ] || fail "exit status $status, not 130"
grep -q '^FAIL: interrupted' "$out" || fail "no 'FAIL: interrupted' verdict"
scratch=$(sed -n 's/^\[1\] Scratch root \(.*\)\/root;.*/\1/p' "$out")
bus=$(sed -n 's/.*dbus-daemon runs (PID \([0-9]*\)).*/\1/p' "$out")
server=$(sed -n 's/.*ok: server PID \([0-9]*\),.*/\1/p' "$out")
namespaces=$(sed -n 's/^\[2\] Network namespaces: server \([^ ]*\) .* device \([^ ]*\) .*/\1 \2/p' "$out")
{ [ -n "$scratch" ] && [ -n "$bus" ] && [ -n "$server" ] && [ -n "$namespaces" ]; } ||
  fail "the demo's output no longer names its scratch root, bus, server and namespaces"
[ -e "$scratch" ] && fail "the scratch folder $scratch is left"
for ns in $namespaces; do ip netns list | grep -qw "$ns" && fail "namespace $ns is left"; done
# The server ends once its bus is gone; give it a moment.
for _ in $(seq 50); do kill -0 "$bus" 2>/dev/null || kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
kill -0 "$bus" 2>/dev/null && fail "the bus (PID $bus) still runs"
kill -0 "$server" 2>/dev/null && fail "the server (PID $server) still runs"
echo "PASS: an interrupted demo cleaned up after itself"
