#!/usr/bin/env bash
# run-load.sh - the responder's benchmarks: the in-process benchmark of one
# request, the load run against the bare responder of the load harness (and,
# with --base, against an earlier build of our own, so that before and after
# come from one run), replies/s from several generators at once and the
# open-loop latency in long rounds taking turns (both against --base), the
# memory runs (1,000,000 answered requests;
# 1,000,000 requests from unknown devices of the maker with listed nodes
# asking meanwhile; the table of 10 and of 1,000,000 nodes at rest, with the
# time the 1,000,000-row table takes to load), and the start-up load of a
# 1,000,000-row FyBootpInfo.xml (fyb_document_peak, no network at all).
#
# Needs root (network namespaces). All BOOTP traffic stays inside namespace
# pairs that this script creates through the harness (bb-TAG-srv / bb-TAG-cli),
# or a server namespace with a client namespace per generator (load-fan.sh),
# and removes again; nothing is started or sent in the machine's own
# namespace. Every load is bounded in count and time. Takes about 17 minutes
# (25 with --base).
# Exit status 0 when every target is met, 1 when one is missed.
#
# The load harness is a measuring instrument kept outside the project
# (../shared/tools/bootp-bench, or $BOOTP_BENCH); it is copied to a
# temporary folder and built there.
set -u -o pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HARNESS_SRC=${BOOTP_BENCH:-$REPO/../shared/tools/bootp-bench}
OUT=
RUN_MICRO=1 RUN_PEERS=1 RUN_RATE=1 RUN_LATENCY=1 RUN_MEMORY=1 RUN_STARTUP=1
HOSTS=10,1000,100000,1000000
BASE=
DURATION=5
ROUNDS=3
FLOOD_COUNT=1000000
FLOOD_RATE=25000
ANSWER_COUNT=1000000
MEM_NODES=100000
BIG_NODES=1000000
NICE=0
GENERATORS=2
WINDOW=256
LAT_HOSTS=1000
LAT_SECONDS=30
LAT_ROUNDS=5
LAT_RATE=1000
WIRE=0

usage() {
    cat <<EOF
Usage: $0 [options]
  -o, --out DIR        results folder (default bench/results/<date>)
      --only LIST      comma list of: micro peers rate latency memory startup
                       (default: all)
  -n, --hosts LIST     table sizes of the load run (default $HOSTS)
  -d, --duration SEC   closed-loop time per load run (default $DURATION)
      --rounds K       invocations of the harness with both peers (default $ROUNDS)
      --flood-rate R   requests/s of the unknown-device flood (default $FLOOD_RATE)
      --base DIR       a checkout of an earlier commit: its responder runs in
                       every round too, as peer "today", and in the memory runs
      --nice N         scheduling niceness of everything this script starts
                       (default $NICE; the harness pins the generator to CPU 0
                       and the servers to CPU 1, other work still runs there)
Replies/s (part rate, at N = --hosts, --rounds rounds, -d seconds each):
      --generators G   load generators at once, each in its own client
                       namespace and veth pair (default $GENERATORS)
      --window W       requests outstanding per generator (default $WINDOW)
Open-loop latency (part latency, rounds of ours and today's taking turns):
      --lat-hosts LIST table sizes (default $LAT_HOSTS)
      --lat-seconds S  seconds per round at $LAT_RATE requests/s (default $LAT_SECONDS)
      --lat-rounds K   rounds of each build (default $LAT_ROUNDS)
      --wire           also time each request and reply at the client's veth
                       (wire_latency.py, on CPU 0): the responder's share
                       without the generator's wake-up, with p99.9
  -h, --help
Environment: BOOTP_BENCH (the harness folder), FYB_BENCH_CMAKE_ARGS (extra
arguments for 'cmake --preset release').
EOF
}

while [ $# -gt 0 ]; do
    case $1 in
        -o|--out) OUT=$2; shift 2 ;;
        --only)
            RUN_MICRO=0 RUN_PEERS=0 RUN_RATE=0 RUN_LATENCY=0 RUN_MEMORY=0 RUN_STARTUP=0
            case ",$2," in *,micro,*) RUN_MICRO=1 ;; esac
            case ",$2," in *,peers,*) RUN_PEERS=1 ;; esac
            case ",$2," in *,memory,*) RUN_MEMORY=1 ;; esac
            case ",$2," in *,startup,*) RUN_STARTUP=1 ;; esac
            case ",$2," in *,rate,*) RUN_RATE=1 ;; esac
            case ",$2," in *,latency,*) RUN_LATENCY=1 ;; esac
            shift 2 ;;
        -n|--hosts) HOSTS=$2; shift 2 ;;
        -d|--duration) DURATION=$2; shift 2 ;;
        --rounds) ROUNDS=$2; shift 2 ;;
        --flood-rate) FLOOD_RATE=$2; shift 2 ;;
        --nice) NICE=$2; shift 2 ;;
        --generators) GENERATORS=$2; shift 2 ;;
        --window) WINDOW=$2; shift 2 ;;
        --lat-hosts) LAT_HOSTS=$2; shift 2 ;;
        --lat-seconds) LAT_SECONDS=$2; shift 2 ;;
        --lat-rounds) LAT_ROUNDS=$2; shift 2 ;;
        --wire) WIRE=1; shift ;;
        --base) BASE=$(cd "$2" && pwd) || exit 2; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
for v in DURATION ROUNDS FLOOD_RATE GENERATORS WINDOW LAT_SECONDS LAT_ROUNDS; do
    [[ ${!v} =~ ^[1-9][0-9]*$ ]] || { echo "$v must be a positive whole number" >&2; exit 2; }
done
[[ $NICE =~ ^-?[0-9]+$ ]] || { echo "--nice must be a whole number" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "needs root (network namespaces)" >&2; exit 2; }
[ -f "$HARNESS_SRC/bench-peers.sh" ] || { echo "no load harness in $HARNESS_SRC (set BOOTP_BENCH)" >&2; exit 2; }
[ -n "$OUT" ] || OUT=$REPO/bench/results/$(date +%Y%m%d-%H%M%S)
mkdir -p "$OUT" || exit 2
OUT=$(cd "$OUT" && pwd)
VERDICT=$OUT/verdict.txt
: >"$VERDICT"

log() { printf '%s %s\n' "$(date +%H:%M:%S)" "$*" | tee -a "$OUT/run.log" >&2; }
# verdict NAME VALUE TARGET PASS(0/1): one line of the results
verdict() {
    local status=FAIL
    [ "$4" = 1 ] && status=PASS
    printf '%-58s %-22s target %-18s %s\n' "$1" "$2" "$3" "$status" | tee -a "$VERDICT" >&2
}
fact() { printf '%-58s %s\n' "$1" "$2" | tee -a "$VERDICT" >&2; }
# calc EXPR: floating-point arithmetic
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
# holds EXPR: exit status of a comparison
holds() { awk "BEGIN { exit !($1) }"; }

# ---- build --------------------------------------------------------------------
log "building the release preset in $REPO/build/release"
# shellcheck disable=SC2086
(cd "$REPO" && cmake --preset release ${FYB_BENCH_CMAKE_ARGS:-} >"$OUT/build.log" 2>&1 &&
    cmake --build --preset release -j2 --target fyb_responder_bench fybootp-bench-responder \
        fyb_document_peak >>"$OUT/build.log" 2>&1) || { tail -30 "$OUT/build.log" >&2; exit 2; }
MICRO=$REPO/build/release/bench/fyb_responder_bench
PEAK=$REPO/build/release/bench/fyb_document_peak
RESPONDER=$REPO/build/release/bench/fybootp-bench-responder
BASE_RESPONDER=
if [ -n "$BASE" ]; then
    log "building the release preset of the earlier commit in $BASE/build/release"
    # shellcheck disable=SC2086
    (cd "$BASE" && cmake --preset release ${FYB_BENCH_CMAKE_ARGS:-} >"$OUT/build-base.log" 2>&1 &&
        cmake --build --preset release -j2 --target fybootp-bench-responder \
            >>"$OUT/build-base.log" 2>&1) || { tail -30 "$OUT/build-base.log" >&2; exit 2; }
    BASE_RESPONDER=$BASE/build/release/bench/fybootp-bench-responder
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/fybootp-bench.XXXXXX")
cp -r "$HARNESS_SRC" "$WORK/" || exit 2
H=$WORK/$(basename "$HARNESS_SRC")
make -s -C "$H" >>"$OUT/build.log" 2>&1 || { tail -30 "$OUT/build.log" >&2; exit 2; }
LOAD=$H/build/bootp-load

# ---- cleanup: only what this script started ----------------------------------
# shellcheck source=/dev/null
. "$H/netns-lib.sh"
# shellcheck source-path=SCRIPTDIR source=load-fan.sh
. "$REPO/bench/load-fan.sh"
SERVER_PID=
GEN_PIDS=
cleanup() {
    local p
    for p in $GEN_PIDS; do stop_pid "$p"; done
    stop_pid "$SERVER_PID"
    for p in $([ -n "${NS_SRV:-}" ] && ip netns pids "$NS_SRV" 2>/dev/null) \
             $([ -n "${NS_CLI:-}" ] && ip netns pids "$NS_CLI" 2>/dev/null); do
        stop_pid "$p"
    done
    netns_down
    stop_pid "${FAN_SERVER_PID:-}"
    fan_down
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

{
    echo "date: $(date -Is)"
    echo "commit: $(git -C "$REPO" rev-parse --short HEAD 2>/dev/null) $(git -C "$REPO" status --short -- core platform bench 2>/dev/null | wc -l) changed files"
    [ -n "$BASE" ] && echo "base (today): $(git -C "$BASE" rev-parse --short HEAD 2>/dev/null) in $BASE"
    echo "kernel: $(uname -r)"
    echo "cpu: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores"
    echo "loadavg at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "niceness: $NICE"
} >"$OUT/meta.txt"

# The measurements, not the build, at the chosen niceness: the peers, the
# generator and our responder all inherit it alike.
renice -n "$NICE" -p $$ >/dev/null || exit 2

# ---- 1. one request in process -------------------------------------------------------
# Five repetitions of each benchmark; the verdict takes each one's fastest
# repetition (other work on the machine only ever adds time), the median is
# written beside it.
if [ "$RUN_MICRO" = 1 ]; then
    log "in-process benchmark (about 1 minute)"
    timeout 600 taskset -c 1 "$MICRO" --benchmark_repetitions=5 --benchmark_display_aggregates_only=true \
        --benchmark_out="$OUT/micro.json" --benchmark_out_format=json >"$OUT/micro.txt" 2>&1
    # fastest NAME / median_of NAME: CPU ns per request
    fastest() { jq -r --arg n "$1" '[.benchmarks[] | select(.run_name == $n and .run_type == "iteration") | .cpu_time] | min' "$OUT/micro.json"; }
    median_of() { jq -r --arg n "$1" '.benchmarks[] | select(.name == ($n + "_median")) | .cpu_time' "$OUT/micro.json"; }
    for n in 10 1000 100000 1000000; do
        fact "request, $n nodes: CPU ns, fastest / median" \
            "$(calc "$(fastest "BM_ListedRequest/nodes:$n")") / $(calc "$(median_of "BM_ListedRequest/nodes:$n")")"
    done
    for n in 10 1000000; do
        fact "  lookup alone under m_lock, $n nodes: CPU ns" "$(calc "$(fastest "BM_LookupUnderLock/nodes:$n")")"
    done
    fact "  memory latency (dependent loads over 64 MiB): ns" "$(calc "$(fastest "BM_MemoryLatency/MiB:64")")"
    # The least a request in a table far larger than the caches can cost is
    # the small table's time plus one access to memory.
    t10=$(fastest BM_ListedRequest/nodes:10)
    t1m=$(fastest BM_ListedRequest/nodes:1000000)
    lat=$(fastest BM_MemoryLatency/MiB:64)
    extra=$(calc "$t1m - $t10")
    verdict "request, 1,000,000 nodes minus 10 nodes (fastest): ns" "$extra ($(calc "$extra / $lat")x latency)" \
        "<= 1.2x $(calc "$lat")" "$(holds "$extra <= 1.2 * $lat" && echo 1)"
    fact "  the same from the medians" \
        "$(calc "$(median_of BM_ListedRequest/nodes:1000000) - $(median_of BM_ListedRequest/nodes:10)") ns, latency $(calc "$(median_of BM_MemoryLatency/MiB:64)") ns"
    fact "  request time, 1,000,000 / 10 nodes (fastest)" "$(calc "$t1m / $t10")x"
    for b in UnknownMakerRecorded UnknownMakerListFull UnknownMakerAlreadyRecorded; do
        fact "$b: CPU ns, fastest / median" "$(calc "$(fastest "BM_$b")") / $(calc "$(median_of "BM_$b")")"
    done
    fact "log entry: heap bytes (allocator count), record bytes" \
        "$(jq -r '[.benchmarks[] | select(.run_name | startswith("BM_LogEntryHeapBytes")) | .bytes_per_entry][0]' "$OUT/micro.json"), $(jq -r '[.benchmarks[] | select(.run_name | startswith("BM_LogEntryHeapBytes")) | .record_bytes][0]' "$OUT/micro.json")"
fi

# ---- 2. load run beside the bare responder ------------------------------------------
# Each round is one invocation of the harness with both peers. Other work on
# the machine can only slow a peer down, never speed it up, so each peer's
# figure is its best round (most replies/s, least CPU per reply); the median
# and every round are written beside it.
# best_max / best_min / median: of the numbers on standard input
best_max() { sort -g | tail -1; }
best_min() { sort -g | head -1; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
# harness LABEL DIR ARGS...: one invocation of the harness, its rows appended
# to the rounds table. summary.tsv fields: 1 peer, 2 N, 3 status, 6
# replies/s, 9 lost, 10 errors, 13 open-loop p99, 16 CPU s per 1000 replies,
# 17 VmHWM, 21-23 answers to requests that must not be answered ("-" after
# the first N), 24 load average
harness() {
    local round=$1 dir=$2; shift 2
    "$H/bench-peers.sh" -d "$DURATION" -o "$dir" "$@" >"$dir.log" 2>&1
    awk -F'\t' -v r="$round" 'NR > 1 {
        printf "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s/%s/%s\t%s\t%s\t%s\n", r, $1, $2, $3, $6,
            ($16 == "" || $16 == "-") ? "" : $16 * 1000, $10, $9, $21, $22, $23, $24, $13, $17 }' \
        "$dir/summary.tsv" >>"$ROUNDS_TSV"
}
server_cmd() { echo "$1 \"\$BB_NODES\" \"\$BB_SERVER_IP\" \"\$BB_MASK\" \"\$BB_ROUTER\" \"\$BB_HOSTNAME\""; }
if [ "$RUN_PEERS" = 1 ]; then
    IFS=, read -r -a sizes <<<"$HOSTS"
    ROUNDS_TSV=$OUT/peer-rounds.tsv
    printf 'round\tpeer\tnodes\tstatus\treplies_per_s\tcpu_us_per_reply\terrors\tlost\tanswered_299_301_unlisted\tloadavg\tol_p99_us\tpeak_rss_kb\n' >"$ROUNDS_TSV"
    for round in $(seq "$ROUNDS"); do
        log "load run $round/$ROUNDS: bare responder at 10 nodes, ours${BASE:+ and the earlier build} at N = $HOSTS"
        # The bare responder scans its table; only its 10-node figure is a target.
        harness "$round" "$OUT/peers-$round-bare" -p fake -n 10
        # The two builds take turns at going first, so that neither always
        # meets the same moment of other work on the machine.
        ours() {
            harness "$round" "$OUT/peers-$round" -p custom -n "$HOSTS" --server-label fybootp \
                --server-cmd "$(server_cmd "$RESPONDER")"
        }
        today() {
            [ -z "$BASE_RESPONDER" ] ||
                harness "$round" "$OUT/peers-$round-today" -p custom -n "$HOSTS" --server-label today \
                    --server-cmd "$(server_cmd "$BASE_RESPONDER")"
        }
        if [ $((round % 2)) = 1 ]; then ours; today; else today; ours; fi
        awk -F'\t' -v r="$round" '$1 == r { printf "round %s, %-8s %7s nodes: %s, %s replies/s, %s us CPU/reply, open-loop p99 %s us, errors %s, lost %s, VmHWM %s kB, load %s\n",
            r, $2, $3, $4, $5, $6, $11, $7, $8, $12, $10 }' "$ROUNDS_TSV" | tee -a "$VERDICT" >&2
    done
    # col PEER N FIELD: that field of every round with status ok
    col() { awk -F'\t' -v p="$1" -v n="$2" -v f="$3" 'NR > 1 && $2 == p && $3 == n && $4 == "ok" { print $f }' "$ROUNDS_TSV"; }
    base_rps=$(col fake 10 5 | best_max)
    base_cpu=$(col fake 10 6 | best_min)
    if [ -z "$base_rps" ]; then
        verdict "bare responder at 10 nodes" "no result" "-" 0
    else
        fact "bare responder, 10 nodes, best of $ROUNDS rounds" "$base_rps replies/s, $base_cpu us CPU/reply"
        for n in "${sizes[@]}"; do
            rounds_ok=$(col fybootp "$n" 5 | wc -l)
            if [ "$rounds_ok" = 0 ]; then
                verdict "fybootp $n nodes" "no result" "-" 0
                continue
            fi
            rps=$(col fybootp "$n" 5 | best_max)
            cpu=$(col fybootp "$n" 6 | best_min)
            p99=$(col fybootp "$n" 11 | best_min)
            r=$(calc "$cpu / $base_cpu")
            verdict "fybootp $n nodes: CPU/reply, best / bare best at 10" "${r}x ($cpu us)" "<= 0.8x" \
                "$(holds "$r <= 0.8" && echo 1)"
            fact "  median over rounds (per round: $(col fybootp "$n" 6 | tr '\n' ' '))" \
                "$(calc "$(col fybootp "$n" 6 | median) / $(col fake 10 6 | median)")x"
            fact "fybootp $n nodes: replies/s, best / bare best at 10" "$(calc "$rps / $base_rps")x ($rps)"
            if [ -n "$BASE_RESPONDER" ] && [ -n "$(col today "$n" 5)" ]; then
                today_rps=$(col today "$n" 5 | best_max)
                today_cpu=$(col today "$n" 6 | best_min)
                today_p99=$(col today "$n" 11 | best_min)
                r=$(calc "$rps / $today_rps")
                # One generator at W = 16 is bound by its round trip (a fast
                # responder sleeps and must be woken for each window), and 5 s
                # at 1000/s give a p99 on 50 samples: the verdicts are the rate
                # and latency parts'.
                fact "fybootp $n nodes: replies/s, best / today's best (W = 16)" "${r}x ($rps / $today_rps)"
                fact "  median over rounds (per round: $(col fybootp "$n" 5 | tr '\n' ' ')/ today $(col today "$n" 5 | tr '\n' ' '))" \
                    "$(calc "$(col fybootp "$n" 5 | median) / $(col today "$n" 5 | median)")x"
                r=$(calc "$p99 / $today_p99")
                fact "fybootp $n nodes: open-loop p99, best / today's best (5 s rounds)" "${r}x ($p99 / $today_p99 us)"
                fact "  median over rounds (per round: $(col fybootp "$n" 11 | tr '\n' ' ')/ today $(col today "$n" 11 | tr '\n' ' '))" \
                    "$(calc "$(col fybootp "$n" 11 | median) / $(col today "$n" 11 | median)")x"
                fact "  today's CPU/reply, best / bare best at 10" "$(calc "$today_cpu / $base_cpu")x ($today_cpu us)"
            fi
            e=$(col fybootp "$n" 7 | awk '{ s += $1 } END { print s + 0 }')
            verdict "fybootp $n nodes: invalid replies, all rounds" "$e in $rounds_ok rounds" "0" \
                "$([ "$e" = 0 ] && [ "$rounds_ok" = "$ROUNDS" ] && echo 1)"
            fact "fybootp $n nodes: VmHWM (kB), rounds" "$(col fybootp "$n" 12 | tr '\n' ' ')"
        done
        ignored=$(awk -F'\t' 'NR > 1 && $2 == "fybootp" && $9 != "-/-/-" { print $9 }' "$ROUNDS_TSV" | sort -u | tr '\n' ' ')
        verdict "fybootp: answers to 299 / 301 bytes / unlisted" "$ignored" "0/0/0" \
            "$([ "$ignored" = "0/0/0 " ] && echo 1)"
    fi
fi

# key FILE NAME: the value of 'NAME: value' in a bootp-load summary
key() { awk -v k="$2:" '$1 == k { print $2; exit }' "$1"; }

# node_file N FILE: node i is 02:00:00:00:00:00 + i -> NODE_IP_BASE + i,
# as the harness writes them
node_file() {
    awk -v n="$1" -v ipbase="$NODE_IP_BASE" 'BEGIN {
        split(ipbase, q, "."); b = ((q[1] * 256 + q[2]) * 256 + q[3]) * 256 + q[4]
        for (i = 0; i < n; i++) {
            v = b + i
            printf "02:00:00:%02x:%02x:%02x %d.%d.%d.%d\n", int(i / 65536) % 256, int(i / 256) % 256, i % 256,
                int(v / 16777216) % 256, int(v / 65536) % 256, int(v / 256) % 256, v % 256
        } }' >"$2"
}

# ---- 2b. replies/s with the responder as the bottleneck ----------------------------
# One closed-loop generator tops out below what the responder can answer,
# so ours and today's would both show the generator's limit. Here G
# generators, each in its own client namespace and veth pair (load-fan.sh),
# each with W requests outstanding, ask one responder at once; their
# replies/s add up, every reply is checked as in the harness. The responder
# has CPU 1 to itself, the generators share CPU 0; the responder's busy
# fraction (its CPU time over the run's wall time) tells who the bottleneck
# was: near 1, the responder; well below, the generators.
# rows of rate-rounds.tsv: 1 round, 2 peer, 3 nodes, 4 status, 5 replies/s,
# 6 errors, 7 lost, 8 CPU us/reply, 9 busy fraction, 10 load average
rate_run() {
    local round=$1 peer=$2 bin=$3 n=$4 out=$OUT/rate/$1-$2-$4 c0 c1 t0 t1 replies
    if ! fan_server "$bin" "$WORK/nodes-$n.txt" "$out"; then
        log "rate: $peer at $n nodes did not get ready"
        printf '%s\t%s\t%s\tno start\n' "$round" "$peer" "$n" >>"$RATE_TSV"
        fan_server_stop
        return
    fi
    fan_all "$WORK/nodes-$n.txt" "$n" "$GENERATORS" "$out.warm" -w "$WINDOW" -d 1
    c0=$(fan_cpu_ticks); t0=$(date +%s.%N)
    fan_all "$WORK/nodes-$n.txt" "$n" "$GENERATORS" "$out" -w "$WINDOW" -d "$DURATION"
    c1=$(fan_cpu_ticks); t1=$(date +%s.%N)
    fan_server_stop
    replies=$(fan_sum "$GENERATORS" "$out" replies)
    printf '%s\t%s\t%s\tok\t%s\t%s\t%s\t%s\t%s\t%s\n' "$round" "$peer" "$n" "$(fan_sum "$GENERATORS" "$out" replies_per_s)" \
        "$(fan_sum "$GENERATORS" "$out" errors)" "$(fan_sum "$GENERATORS" "$out" lost)" \
        "$(calc "($c1 - $c0) / $CLK_TCK / $replies * 1000000")" "$(calc "($c1 - $c0) / $CLK_TCK / ($t1 - $t0)")" \
        "$(cut -d' ' -f1 /proc/loadavg)" >>"$RATE_TSV"
}
# rcol PEER N FIELD: that field of every ok round of the rate part
rcol() { awk -F'\t' -v p="$1" -v n="$2" -v f="$3" 'NR > 1 && $2 == p && $3 == n && $4 == "ok" { print $f }' "$RATE_TSV"; }
if [ "$RUN_RATE" = 1 ] || [ "$RUN_LATENCY" = 1 ]; then
    CLK_TCK=$(getconf CLK_TCK)
    fan_up "f$$" "$GENERATORS" || exit 3
    for n in $( { [ "$RUN_RATE" = 1 ] && tr , '\n' <<<"$HOSTS"; [ "$RUN_LATENCY" = 1 ] && tr , '\n' <<<"$LAT_HOSTS"; } | sort -un); do
        node_file "$n" "$WORK/nodes-$n.txt"
    done
fi
if [ "$RUN_RATE" = 1 ]; then
    mkdir -p "$OUT/rate"
    RATE_TSV=$OUT/rate-rounds.tsv
    printf 'round\tpeer\tnodes\tstatus\treplies_per_s\terrors\tlost\tcpu_us_per_reply\tbusy\tloadavg\n' >"$RATE_TSV"
    IFS=, read -r -a sizes <<<"$HOSTS"
    for round in $(seq "$ROUNDS"); do
        log "replies/s $round/$ROUNDS: $GENERATORS generators, window $WINDOW each, N = $HOSTS"
        for n in "${sizes[@]}"; do
            [ "$n" -ge "$GENERATORS" ] || { log "rate: $n nodes cannot be shared by $GENERATORS generators"; continue; }
            # ours and today's take turns at going first
            if [ -z "$BASE_RESPONDER" ]; then
                rate_run "$round" fybootp "$RESPONDER" "$n"
            elif [ $((round % 2)) = 1 ]; then
                rate_run "$round" fybootp "$RESPONDER" "$n"; rate_run "$round" today "$BASE_RESPONDER" "$n"
            else
                rate_run "$round" today "$BASE_RESPONDER" "$n"; rate_run "$round" fybootp "$RESPONDER" "$n"
            fi
        done
        awk -F'\t' -v r="$round" '$1 == r { printf "rate round %s, %-8s %7s nodes: %s, %s replies/s, %s us CPU/reply, busy %s, errors %s, lost %s, load %s\n",
            r, $2, $3, $4, $5, $8, $9, $6, $7, $10 }' "$RATE_TSV" | tee -a "$VERDICT" >&2
    done
    for n in "${sizes[@]}"; do
        [ -n "$(rcol fybootp "$n" 5)" ] || { verdict "replies/s, $n nodes, $GENERATORS x W $WINDOW" "no result" "-" 0; continue; }
        rps=$(rcol fybootp "$n" 5 | best_max)
        fact "replies/s, $n nodes, $GENERATORS generators x W $WINDOW: ours, best" \
            "$rps (rounds: $(rcol fybootp "$n" 5 | tr '\n' ' '); busy $(rcol fybootp "$n" 9 | tr '\n' ' '))"
        if [ -n "$BASE_RESPONDER" ] && [ -n "$(rcol today "$n" 5)" ]; then
            today_rps=$(rcol today "$n" 5 | best_max)
            r=$(calc "$rps / $today_rps")
            verdict "replies/s, $n nodes: ours best / today's best" "${r}x ($rps / $today_rps)" ">= 1x" \
                "$(holds "$r >= 1" && echo 1)"
            fact "  today's rounds (busy)" "$(rcol today "$n" 5 | tr '\n' ' ')($(rcol today "$n" 9 | tr '\n' ' '))"
            fact "  median over rounds, ours / today's" "$(calc "$(rcol fybootp "$n" 5 | median) / $(rcol today "$n" 5 | median)")x"
            fact "  CPU us/reply, median: ours / today's" "$(rcol fybootp "$n" 8 | median) / $(rcol today "$n" 8 | median)"
        fi
        e=$(rcol fybootp "$n" 6 | awk '{ s += $1 } END { print s + 0 }')
        verdict "replies/s, $n nodes: invalid replies / lost, all rounds" "$e / $(rcol fybootp "$n" 7 | awk '{ s += $1 } END { print s + 0 }')" \
            "0 invalid" "$([ "$e" = 0 ] && echo 1)"
    done
fi

# ---- 2c. open-loop latency, long rounds taking turns --------------------------------
# A 5-second open loop gives 5,000 samples, whose p99 rests on 50 of them and
# moves more from round to round than between builds. Here each round is
# LAT_SECONDS at LAT_RATE requests/s (30 s: 30,000 samples, the p99 on 300),
# after a 1-second warm-up, a fresh responder each round, ours and today's
# alternating (A B A B ...); the verdict is on the median of the rounds' p99,
# and the spread of the rounds is written beside it. One generator, on the
# harness's own pair; the responder on CPU 1, the generator on CPU 0.
# rows of latency-rounds.tsv: 1 round, 2 peer, 3 nodes, 4 status, 5 p50,
# 6 p90, 7 p99, 8 max, 9 mean, 10 replies, 11 lost, 12 errors, 13 load
# average; with --wire, at the client's veth: 14 p50, 15 p90, 16 p99,
# 17 p99.9, 18 max, 19 samples, 20 replies that left in a segmented send
lat_run() {
    local round=$1 peer=$2 bin=$3 n=$4 out=$OUT/latency/$1-$2-$4 f
    if ! fan_server "$bin" "$WORK/nodes-$n.txt" "$out"; then
        log "latency: $peer at $n nodes did not get ready"
        printf '%s\t%s\t%s\tno start\n' "$round" "$peer" "$n" >>"$LAT_TSV"
        fan_server_stop
        return
    fi
    fan_load "$WORK/nodes-$n.txt" "$n" 1 0 "$out.warm" -r "$LAT_RATE" -d 1
    local tap=
    if [ "$WIRE" = 1 ]; then
        timeout 900 taskset -c 0 ip netns exec "${FAN_CLIS[0]}" python3 "$REPO/bench/wire_latency.py" bbc0 \
            $((LAT_SECONDS + 2)) >"$out.wire" 2>&1 &
        tap=$!
        sleep 0.5
    fi
    fan_load "$WORK/nodes-$n.txt" "$n" 1 0 "$out" -r "$LAT_RATE" -d "$LAT_SECONDS"
    [ -z "$tap" ] || wait "$tap"
    fan_server_stop
    f=$out.0.out
    printf '%s\t%s\t%s\tok\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s' "$round" "$peer" "$n" "$(key "$f" latency_us_p50)" \
        "$(key "$f" latency_us_p90)" "$(key "$f" latency_us_p99)" "$(key "$f" latency_us_max)" \
        "$(key "$f" latency_us_mean)" "$(key "$f" replies)" "$(key "$f" lost)" "$(key "$f" errors)" \
        "$(cut -d' ' -f1 /proc/loadavg)" >>"$LAT_TSV"
    if [ -n "$tap" ]; then
        printf '\t%s\t%s\t%s\t%s\t%s\t%s\t%s' "$(key "$out.wire" wire_us_p50)" "$(key "$out.wire" wire_us_p90)" \
            "$(key "$out.wire" wire_us_p99)" "$(key "$out.wire" wire_us_p99.9)" "$(key "$out.wire" wire_us_max)" \
            "$(key "$out.wire" wire_samples)" "$(key "$out.wire" wire_replies_in_segmented_sends)" >>"$LAT_TSV"
    fi
    echo >>"$LAT_TSV"
}
lcol() { awk -F'\t' -v p="$1" -v n="$2" -v f="$3" 'NR > 1 && $2 == p && $3 == n && $4 == "ok" { print $f }' "$LAT_TSV"; }
# spread PEER N FIELD: "median (min - max)" over the rounds
spread() { echo "$(lcol "$1" "$2" "$3" | median) ($(lcol "$1" "$2" "$3" | best_min) - $(lcol "$1" "$2" "$3" | best_max))"; }
if [ "$RUN_LATENCY" = 1 ]; then
    mkdir -p "$OUT/latency"
    LAT_TSV=$OUT/latency-rounds.tsv
    printf 'round\tpeer\tnodes\tstatus\tp50_us\tp90_us\tp99_us\tmax_us\tmean_us\treplies\tlost\terrors\tloadavg' >"$LAT_TSV"
    [ "$WIRE" = 0 ] || printf '\twire_p50_us\twire_p90_us\twire_p99_us\twire_p99_9_us\twire_max_us\twire_samples\twire_in_segmented' >>"$LAT_TSV"
    echo >>"$LAT_TSV"
    IFS=, read -r -a lsizes <<<"$LAT_HOSTS"
    for n in "${lsizes[@]}"; do
        log "latency at $n nodes: $LAT_ROUNDS rounds of ${LAT_SECONDS} s at $LAT_RATE/s${BASE:+, the two builds taking turns}"
        for round in $(seq "$LAT_ROUNDS"); do
            lat_run "$round" fybootp "$RESPONDER" "$n"
            [ -z "$BASE_RESPONDER" ] || lat_run "$round" today "$BASE_RESPONDER" "$n"
        done
        awk -F'\t' -v n="$n" '$3 == n { printf "latency round %s, %-8s %7s nodes: %s, p50 %s p90 %s p99 %s max %s us, replies %s, lost %s, errors %s, load %s\n",
            $1, $2, $3, $4, $5, $6, $7, $8, $10, $11, $12, $13 }' "$LAT_TSV" | tee -a "$VERDICT" >&2
        [ -n "$(lcol fybootp "$n" 7)" ] || { verdict "open-loop p99, $n nodes" "no result" "-" 0; continue; }
        for peer in fybootp today; do
            [ -n "$(lcol "$peer" "$n" 7)" ] || continue
            fact "open-loop $LAT_RATE/s, $n nodes, $peer: median (min - max) of rounds, us" \
                "p50 $(spread "$peer" "$n" 5), p90 $(spread "$peer" "$n" 6), p99 $(spread "$peer" "$n" 7), max $(spread "$peer" "$n" 8)"
            [ "$WIRE" = 0 ] || fact "  at the client's veth (responder's share), us" \
                "p50 $(spread "$peer" "$n" 14), p90 $(spread "$peer" "$n" 15), p99 $(spread "$peer" "$n" 16), p99.9 $(spread "$peer" "$n" 17), max $(spread "$peer" "$n" 18); in segmented sends $(lcol "$peer" "$n" 20 | tr '\n' ' ')"
        done
        if [ -n "$(lcol today "$n" 7)" ]; then
            p99=$(lcol fybootp "$n" 7 | median)
            today_p99=$(lcol today "$n" 7 | median)
            r=$(calc "$p99 / $today_p99")
            verdict "open-loop p99, $n nodes: median of rounds, ours / today's" "${r}x ($p99 / $today_p99 us)" "<= 1.1x" \
                "$(holds "$r <= 1.1" && echo 1)"
        fi
        e=$(lcol fybootp "$n" 12 | awk '{ s += $1 } END { print s + 0 }')
        verdict "open-loop, $n nodes: invalid replies / lost, all rounds" "$e / $(lcol fybootp "$n" 11 | awk '{ s += $1 } END { print s + 0 }')" \
            "0 invalid" "$([ "$e" = 0 ] && echo 1)"
    done
fi
if [ "$RUN_RATE" = 1 ] || [ "$RUN_LATENCY" = 1 ]; then
    fan_down
fi

# ---- 3. memory runs ----------------------------------------------------------------------
# status KEY FILE: the value after KEY in the last status line of FILE
status() { grep '^status ' "$2" | tail -1 | awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit } }'; }
hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }
# udp_counter NAME: the server namespace's UDP counter NAME
udp_counter() {
    ip netns exec "$NS_SRV" cat /proc/net/snmp |
        awk -v k="$1" '$1 == "Udp:" && !h { for (i = 2; i <= NF; i++) col[$i] = i; h = 1; next }
                       $1 == "Udp:" && h { print $col[k]; exit }'
}
# start_server NAME ARGS...: our responder in the server namespace, on CPU 1;
# SERVER_BIN and NODES_FILE name another build or table
start_server() {
    local name=$1; shift
    taskset -c 1 ip netns exec "$NS_SRV" "${SERVER_BIN:-$RESPONDER}" --max-seconds 900 "$@" \
        "${NODES_FILE:-$MEM_DIR/nodes.txt}" \
        "$SRV_IP" "$NET_MASK" "$ROUTER_IP" benchsrv >"$MEM_DIR/$name.srv.out" 2>"$MEM_DIR/$name.srv.err" &
    SERVER_PID=$!
    local i
    for i in $(seq 1200); do
        grep -q '^ready' "$MEM_DIR/$name.srv.out" 2>/dev/null && return 0
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.025
    done
    log "$name: the responder did not get ready"; cat "$MEM_DIR/$name.srv.err" >&2
    return 1
}
stop_server() { stop_pid "$SERVER_PID"; SERVER_PID=; }
# gen ARGS...: bootp-load in the client namespace on CPU 0, bounded in time
gen() { timeout 600 taskset -c 0 ip netns exec "$NS_CLI" "$LOAD" "$@"; }

if [ "$RUN_MEMORY" = 1 ]; then
    netns_up "m$$" || exit 3
    MEM_DIR=$OUT/memory
    mkdir -p "$MEM_DIR"
    node_file "$MEM_NODES" "$MEM_DIR/nodes.txt"
    CHECKS=(--secs 3 --expect-ip-base "$NODE_IP_BASE" --expect-mask "$NET_MASK" --expect-router "$ROUTER_IP"
            --expect-siaddr "$SRV_IP" --expect-sname benchsrv)
    LISTED=(-n "$MEM_NODES" --mac-base 02:00:00:00:00:00)

    # 3a. answered requests, default limits
    log "memory: $ANSWER_COUNT answered requests, $MEM_NODES nodes"
    if start_server answered; then
        hwm0=$(hwm_kb "$SERVER_PID")
        gen "${LISTED[@]}" -w 16 -c "$ANSWER_COUNT" -d 300 -q "${CHECKS[@]}" >"$MEM_DIR/answered.out" 2>&1
        kill -USR1 "$SERVER_PID"; sleep 0.5
        hwm1=$(hwm_kb "$SERVER_PID")
        stop_server
        f=$MEM_DIR/answered.out
        fact "answered run: replies / errors / lost" "$(key "$f" replies) / $(key "$f" errors) / $(key "$f" lost) ($(key "$f" replies_per_s)/s)"
        fact "answered run: VmHWM ready -> after (kB)" "$hwm0 -> $hwm1"
        answered_hwm=$hwm1
        entries=$(status log_entries "$MEM_DIR/answered.srv.err")
        verdict "answered run: log entries kept" "$entries" "<= 100000" "$(holds "$entries <= 100000" && echo 1)"
        fact "answered run: log change count" "$(status log_change_cnt "$MEM_DIR/answered.srv.err")"
        fact "answered run: bytes per log entry, (after - ready) / entries" \
            "$(calc "($hwm1 - $hwm0) * 1024 / $entries")"
    fi

    # 3b. the same with room for 200,000 entries: the difference is what
    # 100,000 more entries cost, with every fixed cost cancelled out
    log "memory: log limit 200000, 300000 answered requests"
    if [ -n "${hwm1:-}" ] && start_server answered200k --log-limit 200000; then
        gen "${LISTED[@]}" -w 16 -c 300000 -d 120 -q "${CHECKS[@]}" >"$MEM_DIR/answered200k.out" 2>&1
        kill -USR1 "$SERVER_PID"; sleep 0.5
        hwm2=$(hwm_kb "$SERVER_PID")
        stop_server
        e2=$(status log_entries "$MEM_DIR/answered200k.srv.err")
        fact "log limit 200000: entries, VmHWM (kB)" "$e2, $hwm2"
        fact "bytes per log entry, (VmHWM 200k - VmHWM 100k) / 100000" \
            "$(calc "($hwm2 - $hwm1) * 1024 / ($e2 - $entries)")"
    fi

    # 3c. the flood: unknown devices of the maker, each request from an
    # address drawn from the whole prefix (2^24), sent from a second socket
    # (port 6767: nothing may be answered to it), while a listed client on
    # port 68 asks 1000 times a second and checks every reply. A reply to a
    # flood request would reach port 68 and count as an error there.
    flood_s=$(( (FLOOD_COUNT + FLOOD_RATE - 1) / FLOOD_RATE ))
    log "memory: flood of $FLOOD_COUNT unknown-device requests at $FLOOD_RATE/s (${flood_s} s) with listed requests"
    if start_server flood; then
        hwm0=$(hwm_kb "$SERVER_PID")
        in0=$(udp_counter InDatagrams); drop0=$(udp_counter RcvbufErrors)
        gen "${LISTED[@]}" -r 1000 -d $((flood_s + 2)) --fail-on-loss "${CHECKS[@]}" \
            >"$MEM_DIR/flood-listed.out" 2>"$MEM_DIR/flood-listed.err" &
        GEN_PIDS=$!
        sleep 1
        gen --src-port 6767 -n 1 --mac-base 02:00:00:00:00:00 --unlisted 16777216 \
            --unlisted-base 02:4b:77:00:00:00 --unlisted-ratio 1 --expect-no-reply \
            -r "$FLOOD_RATE" -c "$FLOOD_COUNT" -d $((flood_s * 3)) --timeout 200 -q \
            >"$MEM_DIR/flood.out" 2>&1
        wait "$GEN_PIDS"; GEN_PIDS=
        sleep 0.5
        in1=$(udp_counter InDatagrams); drop1=$(udp_counter RcvbufErrors)
        kill -USR1 "$SERVER_PID"; sleep 0.5
        hwm1=$(hwm_kb "$SERVER_PID")
        stop_server
        f=$MEM_DIR/flood.out
        e=$MEM_DIR/flood.srv.err
        fact "flood: sent (unknown maker addresses)" "$(key "$f" sent_unlisted) at $(key "$f" send_rate)/s"
        # drawn with replacement from 2^24 addresses: the expected distinct count
        fact "  of which distinct (expected)" \
            "$(awk -v n="$(key "$f" sent_unlisted)" 'BEGIN { k = 16777216; printf "%.0f", k * (1 - exp(-n / k)) }')"
        fact "flood: datagrams the server took / dropped by its socket" "$((in1 - in0)) / $((drop1 - drop0))"
        fact "flood: VmHWM ready -> after (kB)" "$hwm0 -> $hwm1"
        verdict "flood: VmHWM with log and new-address list full, $MEM_NODES nodes" "$hwm1 kB" \
            "<= 16384 kB" "$(holds "$hwm1 <= 16384" && echo 1)"
        fact "flood: VmRSS at the end (kB)" "$(status vm_rss_kb "$MEM_DIR/flood.srv.err")"
        verdict "flood: recorded addresses" "$(status new_macs "$e")" "<= 65536" \
            "$(holds "$(status new_macs "$e") <= 65536" && echo 1)"
        verdict "flood: log entries" "$(status log_entries "$e")" "<= 100000" \
            "$(holds "$(status log_entries "$e") <= 100000" && echo 1)"
        fact "flood: NewMacCnt / LogChangeCnt" "$(status new_mac_cnt "$e") / $(status log_change_cnt "$e")"
        # Both runs end with a full log; what the flood adds beyond it is the
        # new-address list and its index.
        if [ -n "${answered_hwm:-}" ] && [ "$(status log_entries "$e")" = 100000 ]; then
            fact "flood: bytes per recorded address, (VmHWM flood - answered) / recorded" \
                "$(calc "($hwm1 - $answered_hwm) * 1024 / $(status new_macs "$e")")"
        fi
        g=$MEM_DIR/flood-listed.out
        verdict "flood: listed requests answered (sent/replies/lost/errors)" \
            "$(key "$g" sent)/$(key "$g" replies)/$(key "$g" lost)/$(key "$g" errors)" "all, 0 errors" \
            "$([ "$(key "$g" sent)" = "$(key "$g" replies)" ] && [ "$(key "$g" errors)" = 0 ] && echo 1)"
        stray=$(( $(key "$g" datagrams_received) - $(key "$g" replies) - $(key "$g" duplicates) - $(key "$g" late) ))
        verdict "flood: replies to unknown devices (stray datagrams on 68)" "$stray" "0" \
            "$([ "$stray" = 0 ] && echo 1)"
    fi
fi

# ---- 4. the table at rest: 10 and 1,000,000 nodes ----------------------------------
# Memory per node is the difference of the two, once the table is loaded
# and the responder answers; the load time of the big table is what start-up
# costs beyond the file's parsing as XML.
# at_rest LABEL BIN: starts BIN with 10 and with BIG_NODES nodes, one request each
at_rest() {
    local label=$1 bin=$2 n t0 t1 rss hwm
    for n in 10 "$BIG_NODES"; do
        t0=$(date +%s.%N)
        if ! SERVER_BIN=$bin NODES_FILE=$MEM_DIR/nodes-$n.txt start_server "rest-$label-$n"; then continue; fi
        t1=$(date +%s.%N)
        gen -n 1 --mac-base 02:00:00:00:00:00 -c 1 -d 5 -q "${CHECKS[@]}" >"$MEM_DIR/rest-$label-$n.out" 2>&1
        kill -USR1 "$SERVER_PID"; sleep 0.3
        stop_server
        rss=$(status vm_rss_kb "$MEM_DIR/rest-$label-$n.srv.err")
        hwm=$(status vm_hwm_kb "$MEM_DIR/rest-$label-$n.srv.err")
        eval "REST_${label}_$n=\$rss"
        fact "$label at rest, $n nodes: VmRSS / VmHWM (kB), start to ready (s)" \
            "$rss / $hwm, $(calc "$t1 - $t0") $(grep -o 'table_load_ms [0-9]*' "$MEM_DIR/rest-$label-$n.srv.out")"
    done
}
if [ "$RUN_MEMORY" = 1 ]; then
    node_file 10 "$MEM_DIR/nodes-10.txt"
    node_file "$BIG_NODES" "$MEM_DIR/nodes-$BIG_NODES.txt"
    log "memory: the table at rest, 10 and $BIG_NODES nodes"
    at_rest fybootp "$RESPONDER"
    [ -n "$BASE_RESPONDER" ] && at_rest today "$BASE_RESPONDER"
    small=${REST_fybootp_10:-}; big=$(eval echo "\${REST_fybootp_$BIG_NODES:-}")
    if [ -n "$small" ] && [ -n "$big" ]; then
        b=$(calc "($big - $small) * 1024 / $BIG_NODES")
        verdict "bytes per node, (VmRSS $BIG_NODES - VmRSS 10) / $BIG_NODES" "$b" "<= 40" "$(holds "$b <= 40" && echo 1)"
    fi
    small=${REST_today_10:-}; big=$(eval echo "\${REST_today_$BIG_NODES:-}")
    if [ -n "$small" ] && [ -n "$big" ]; then
        fact "today's bytes per node, the same way" "$(calc "($big - $small) * 1024 / $BIG_NODES")"
    fi
fi

# ---- start-up with a 1,000,000-row FyBootpInfo.xml ---------------------------
# The file as the server writes it, in UTF-8 and in UTF-16; three loads of
# each in fresh processes, the fastest counts. Peak is the loading process's
# VmHWM.
if [ "$RUN_STARTUP" = 1 ]; then
    log "start-up: a 1,000,000-row FyBootpInfo.xml, 3 loads in UTF-8 and in UTF-16"
    timeout 600 taskset -c 1 "$PEAK" --startup-million 3 >"$OUT/startup.txt" 2>&1
    for enc in UTF-8 UTF-16; do
        runs=$(grep "^start-up load, $enc " "$OUT/startup.txt" | grep -v FAILED |
            sed -n 's/.* \([0-9.]*\) ms .*process *\([0-9.]*\) MB.*/\1 \2/p')
        if [ -z "$runs" ]; then
            verdict "start-up, 1,000,000-row file, $enc" "no result" "< 2000 ms" 0
            continue
        fi
        ms=$(echo "$runs" | awk '{ print $1 }' | best_min)
        mb=$(echo "$runs" | awk '{ print $2 }' | best_max)
        verdict "start-up, 1,000,000-row file, $enc: ms, fastest of 3" "$ms (peak $mb MB)" "< 2000 ms" \
            "$(holds "$ms < 2000" && echo 1)"
    done
fi

log "done: $OUT"
cat "$VERDICT"
! grep -q ' FAIL$' "$VERDICT"
