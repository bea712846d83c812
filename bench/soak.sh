#!/usr/bin/env bash
# The real server, started by a private bus, under open-loop BOOTP load for
# N minutes while clients churn: fybootpctl status, add and delete,
# re-imports of the table, log clears, a `log --follow` follower and one-shot
# busctl calls. Every 10 s it prints the server's VmRSS, VmHWM and open
# descriptors, the calls made and failed so far and the follower's lines;
# at the end the load generator's summary (replies, lost, invalid).
#
#   sudo bench/soak.sh [MINUTES=2] [--rate R=2000] [--nodes N=1000] [--build]
#
# BOOTP traffic stays in two network namespaces the script makes (the load
# harness's netns-lib.sh: bb-soakPID-srv, bb-soakPID-cli, joined by a veth
# pair) and removes at the end. The bus is a private dbus-daemon in a
# scratch FYBOOTP_ROOT (fyb_ctl_bench --with-bus, run inside the server
# namespace); the machine's own bus is never used. Every loop is bounded by
# the deadline and by a count; only the script's own PIDs are ended.
set -u -o pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SRC=$(cd "$HERE/.." && pwd)
BUILD=${FYB_BUILD_DIR:-$SRC/build/release}
MINUTES=2
RATE=2000
NODES=1000
BUILD_FIRST=0

usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; }

# The part that runs inside the server namespace, on the private bus.
if [ "${1:-}" = "--inner" ]; then
    shift
    MINUTES=$1 RATE=$2 NODES=$3 NS_CLI=$4 LOAD=$5 OUT=$6
    CTL=$FYB_SOAK_CTL
    SECONDS_TOTAL=$((MINUTES * 60))
    END=$((SECONDS + SECONDS_TOTAL))
    ctl() { timeout 60 "$CTL" "$@" >/dev/null 2>>"$OUT/ctl-errors.txt"; }
    table="$OUT/table.xml"
    {
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<FyBootpInfo><Nodes>'
        # Node i: 02:00:00:00:00:00 + i at 10.78.0.1 + i, as the harness expects.
        awk -v n="$NODES" 'BEGIN { for (i = 0; i < n; i++) { v = 10 * 16777216 + 78 * 65536 + 1 + i;
            printf "<Node><IpAddr>%d.%d.%d.%d</IpAddr><MacAddr>020000%06X</MacAddr></Node>",
                int(v / 16777216) % 256, int(v / 65536) % 256, int(v / 256) % 256, v % 256, i } }'
        printf '</Nodes></FyBootpInfo>\n'
    } >"$table"
    ctl import "$table" || { echo "import failed" >&2; exit 1; }
    ctl host set --name soak --ip 10.77.0.1 --mask 255.252.0.0 --router 10.77.0.254 || exit 1
    ctl start || { echo "the responder did not start" >&2; exit 1; }
    pid=$(busctl --address="$FYBOOTP_BUS_ADDRESS" call org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus GetConnectionUnixProcessID s org.fybootp.FyBootpServer | awk '{print $2}')
    [ -n "$pid" ] || { echo "no server" >&2; exit 1; }

    # The follower, until the end.
    timeout $((SECONDS_TOTAL + 30)) "$CTL" log --follow >"$OUT/follower.txt" 2>"$OUT/follower-errors.txt" &
    follower=$!
    # Open-loop load from the client namespace for the whole run.
    ip netns exec "$NS_CLI" "$LOAD" -n "$NODES" -r "$RATE" -d "$SECONDS_TOTAL" \
        --expect-ip-base 10.78.0.1 --expect-mask 255.252.0.0 --expect-router 10.77.0.254 \
        >"$OUT/load.txt" 2>"$OUT/load-errors.txt" &
    load=$!

    calls=0 failed=0 round=0
    call() { calls=$((calls + 1)); "$@" || failed=$((failed + 1)); }
    sample() {
        local rss hwm fds
        rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null)
        hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null)
        fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
        printf '%6d s  VmRSS %7s kB  VmHWM %7s kB  fds %4s  calls %6d  failed %4d  follower lines %7d\n' \
            $((SECONDS_TOTAL - (END - SECONDS))) "${rss:-gone}" "${hwm:-gone}" "$fds" "$calls" \
            "$failed" "$(wc -l <"$OUT/follower.txt")"
    }
    next_sample=$SECONDS
    # At most one round a tenth of a second, and never more rounds than that
    # allows in the run's minutes.
    max_rounds=$((SECONDS_TOTAL * 10))
    while [ "$SECONDS" -lt "$END" ] && [ "$round" -lt "$max_rounds" ]; do
        round=$((round + 1))
        mac=$(printf '02:4b:79:00:%02x:%02x' $(((round >> 8) & 255)) $((round & 255)))
        call ctl status
        call ctl add "$mac" 10.79.0.1
        call ctl delete "$mac"
        call busctl --address="$FYBOOTP_BUS_ADDRESS" get-property org.fybootp.FyBootpServer \
            /org/fybootp/FyBootpServer/Server org.fybootp.IFyBootpServer LogChangeCnt \
            >/dev/null 2>>"$OUT/ctl-errors.txt"
        [ $((round % 10)) -eq 0 ] && call ctl import "$table"
        # Clears rarely enough for the log to reach its limit in between
        # (100,000 entries: 50 s at 2000/s), reads of the whole log often.
        [ $((round % 400)) -eq 0 ] && call ctl log --clear
        [ $((round % 40)) -eq 5 ] && call ctl log
        if [ "$SECONDS" -ge "$next_sample" ]; then
            sample
            next_sample=$((SECONDS + 10))
        fi
        sleep 0.1
    done
    sample
    wait "$load"
    echo "load generator (open loop, $RATE/s, $NODES nodes, $SECONDS_TOTAL s):"
    grep -E '^(sent|replies|lost|late|result|latency_us_p50|latency_us_p99|errors): ' "$OUT/load.txt" |
        sed 's/^/  /'
    kill "$follower" 2>/dev/null
    wait "$follower" 2>/dev/null
    echo "calls $calls, failed $failed (their messages: $OUT/ctl-errors.txt)"
    ctl stop
    exit 0
fi

while [ $# -gt 0 ]; do
    case $1 in
        --rate) RATE=$2; shift 2 ;;
        --nodes) NODES=$2; shift 2 ;;
        --build) BUILD_FIRST=1; shift ;;
        -h|--help) usage; exit 0 ;;
        [0-9]*) MINUTES=$1; shift ;;
        *) usage >&2; exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "soak.sh needs root (network namespaces)" >&2; exit 2; }
if [ "$BUILD_FIRST" -eq 1 ]; then
    (cd "$SRC" && cmake --preset release >/dev/null &&
        cmake --build --preset release -j2 --target fybootp fybootpctl fyb_ctl_bench) || exit 1
fi
for f in "$BUILD/bench/fyb_ctl_bench" "$BUILD/host/fybootp" "$BUILD/tools/fybootpctl/fybootpctl"; do
    [ -x "$f" ] || { echo "missing $f (run with --build)" >&2; exit 1; }
done

HARNESS=${BOOTP_BENCH:-$SRC/../shared/tools/bootp-bench}
WORK=$(mktemp -d /tmp/fyb-soak-XXXXXX)
cp -r "$HARNESS" "$WORK/harness"
make -s -C "$WORK/harness" build/bootp-load >/dev/null || { echo "cannot build bootp-load" >&2; exit 1; }
# shellcheck source=/dev/null
. "$WORK/harness/netns-lib.sh"
cleanup() { netns_down; }
trap cleanup EXIT
netns_up "soak$$" || exit 1

echo "soak: $MINUTES min, open loop $RATE requests/s, $NODES nodes, results in $WORK"
ip netns exec "$NS_SRV" "$BUILD/bench/fyb_ctl_bench" --with-bus \
    "$HERE/soak.sh" --inner "$MINUTES" "$RATE" "$NODES" "$NS_CLI" \
    "$WORK/harness/build/bootp-load" "$WORK"
status=$?
echo "soak ended with status $status"
exit "$status"
