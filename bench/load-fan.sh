# load-fan.sh - sourced by run-load.sh: the server namespace joined to G
# client namespaces, one veth pair each, so that G load generators can ask
# one responder at once and each gets its replies through its own pair.
#
#   bb-TAG-srv                                  bb-TAG-cK (K = 0 .. G-1)
#   bbs0 10.77.0.1/14 (as the harness's pair)   bbc0 10.77.0.2/14
#   bbsK 10.80.K.1/24                           bbcK 10.80.K.2/24
#   default route dev bbs0                      default route dev bbcK
#
# A request reaches the responder through the pair of the generator that
# sent it; the responder broadcasts the reply through the interface the
# request came in on, so it reaches that generator only. Node addresses need
# not lie in any interface's subnet: the responder does not look.
#
# CPU placement on the 2-core machine: the responder alone on CPU 1, every
# generator on CPU 0. The responder's CPU is then its own, so that once it
# is busy all the time, replies/s is what the responder can do; the
# generators share the other CPU. (A generator beside the responder on CPU 1
# takes its time away and mixes the two.)
#
# Needs the harness's netns-lib.sh (SRV_IP, CLI_IP, NET_PREFIX_LEN, NET_MASK,
# ROUTER_IP, NODE_IP_BASE, stop_pid) and bootp-load in $LOAD.
# shellcheck shell=bash

FAN_SRV=
FAN_CLIS=()
FAN_SERVER_PID=
FAN_HOSTNAME=benchsrv

# fan_up TAG G: creates the namespaces and pairs; sets FAN_SRV and FAN_CLIS
fan_up() {
    local tag=$1 g=$2 k ns srv_ip cli_ip len
    FAN_SRV=bb-$tag-srv
    FAN_CLIS=()
    for ((k = 0; k < g; k++)); do FAN_CLIS+=("bb-$tag-c$k"); done
    for ns in "$FAN_SRV" "${FAN_CLIS[@]}"; do
        if ip netns list | grep -qE "^$ns( |$)"; then
            echo "namespace $ns exists already" >&2
            FAN_CLIS=(); FAN_SRV=
            return 1
        fi
    done
    ip netns add "$FAN_SRV" || return 1
    ip -n "$FAN_SRV" link set lo up
    for ((k = 0; k < g; k++)); do
        ns=${FAN_CLIS[$k]}
        ip netns add "$ns" || return 1
        ip -n "$ns" link set lo up
        # Created inside the server namespace, one end moved: neither end
        # ever exists in the machine's own namespace.
        ip -n "$FAN_SRV" link add "bbs$k" type veth peer name "bbc$k" netns "$ns" || return 1
        if [ "$k" = 0 ]; then
            srv_ip=$SRV_IP cli_ip=$CLI_IP len=$NET_PREFIX_LEN
        else
            srv_ip=10.80.$k.1 cli_ip=10.80.$k.2 len=24
        fi
        ip -n "$FAN_SRV" addr add "$srv_ip/$len" dev "bbs$k"
        ip -n "$ns" addr add "$cli_ip/$len" dev "bbc$k"
        ip -n "$FAN_SRV" link set "bbs$k" up
        ip -n "$ns" link set "bbc$k" up
        # A limited broadcast follows the default route out of the pair.
        ip -n "$ns" route add default dev "bbc$k"
    done
    ip -n "$FAN_SRV" route add default dev bbs0
}

# fan_down: stops what still runs inside the namespaces, then removes them
fan_down() {
    local ns p
    for ns in "$FAN_SRV" "${FAN_CLIS[@]}"; do
        [ -n "$ns" ] || continue
        for p in $(ip netns pids "$ns" 2>/dev/null); do stop_pid "$p"; done
        ip netns del "$ns" 2>/dev/null
    done
    FAN_SRV=
    FAN_CLIS=()
    return 0
}

# fan_server BIN NODES_FILE OUT: the responder in the server namespace on
# CPU 1, bounded in time; waits for its 'ready' line. Sets FAN_SERVER_PID.
fan_server() {
    local bin=$1 nodes=$2 out=$3 _
    taskset -c 1 ip netns exec "$FAN_SRV" "$bin" --max-seconds 900 "$nodes" \
        "$SRV_IP" "$NET_MASK" "$ROUTER_IP" "$FAN_HOSTNAME" >"$out.srv.out" 2>"$out.srv.err" &
    FAN_SERVER_PID=$!
    for _ in $(seq 1200); do
        grep -q '^ready' "$out.srv.out" 2>/dev/null && return 0
        kill -0 "$FAN_SERVER_PID" 2>/dev/null || break
        sleep 0.025
    done
    return 1
}

fan_server_stop() { stop_pid "$FAN_SERVER_PID"; FAN_SERVER_PID=; }

# fan_cpu_ticks: the responder's user + system time so far, in clock ticks
fan_cpu_ticks() { sed 's/.*) //' "/proc/$FAN_SERVER_PID/stat" 2>/dev/null | awk '{ print $12 + $13 }'; }

# fan_load NODES_FILE N G K OUT ARGS...: generator K of G on CPU 0, in its own
# client namespace, asking for its own slice of the N nodes (K * N / G up to
# the next slice), every reply checked: yiaddr, siaddr, sname, mask, router,
# secs, xid, chaddr. Output in OUT.K.out.
fan_load() {
    local nodes=$1 n=$2 g=$3 k=$4 out=$5; shift 5
    local first=$((k * n / g)) count=$(((k + 1) * n / g - k * n / g)) row
    row=$(sed -n "$((first + 1))p" "$nodes")
    timeout 900 taskset -c 0 ip netns exec "${FAN_CLIS[$k]}" "$LOAD" -n "$count" --mac-base "${row% *}" \
        --expect-ip-base "${row#* }" --secs 3 --expect-mask "$NET_MASK" --expect-router "$ROUTER_IP" \
        --expect-siaddr "$SRV_IP" --expect-sname "$FAN_HOSTNAME" -q "$@" >"$out.$k.out" 2>"$out.$k.err"
}

# fan_all NODES_FILE N G OUT ARGS...: all G generators at once
fan_all() {
    local nodes=$1 n=$2 g=$3 out=$4 k pids=(); shift 4
    for ((k = 0; k < g; k++)); do
        fan_load "$nodes" "$n" "$g" "$k" "$out" "$@" &
        pids+=($!)
    done
    wait "${pids[@]}"
}

# fan_sum G OUT KEY: the sum of KEY over the G generators' outputs
fan_sum() {
    local g=$1 out=$2 key=$3 k
    for ((k = 0; k < g; k++)); do cat "$out.$k.out"; done |
        awk -v k="$key:" '$1 == k { s += $2; n++ } END { if (n) printf "%.10g", s }'
}
