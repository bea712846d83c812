#!/usr/bin/env python3
"""wire_latency.py IFNAME SECONDS: the responder's own share of the latency.

Run in a client namespace beside an open-loop bootp-load. A packet socket on
IFNAME takes the kernel's time stamp of every BOOTP request leaving and every
reply arriving there, pairs them by xid and prints the quantiles of reply
minus request as 'key: value' lines (microseconds). The generator's own
wake-up is not in these figures: what is left is the server namespace's
work, the responder's wake-up and its answer. Bounded by SECONDS.
"""
import socket
import struct
import sys
import time

ETH_P_ALL = 3
SO_TIMESTAMPNS = 35
BOOTP_SIZE = 300


def quantile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def main():
    ifname, seconds = sys.argv[1], float(sys.argv[2])
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    s.bind((ifname, 0))
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.settimeout(0.2)
    end = time.monotonic() + seconds
    sent = {}
    latencies = []
    in_segmented = 0
    while time.monotonic() < end:
        try:
            frame, ancillary, _, address = s.recvmsg(65536, 64)
        except socket.timeout:
            continue
        stamp = None
        for level, kind, data in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack('qq', data[:16])
                stamp = sec * 10**9 + nsec
        # Ethernet, IPv4, UDP only
        if stamp is None or len(frame) < 42 or frame[12:14] != b'\x08\x00' or frame[23] != 17:
            continue
        payload = 14 + (frame[14] & 15) * 4 + 8
        outgoing = address[2] == socket.PACKET_OUTGOING
        # A segmented send (UDP_SEGMENT) crosses the veth as one packet:
        # several 300-byte replies behind one UDP header.
        starts = range(payload, len(frame) - 7, BOOTP_SIZE)
        for at in starts:
            op, xid = frame[at], frame[at + 4:at + 8]
            if op == 1 and outgoing:
                sent[xid] = stamp
            elif op == 2 and not outgoing and xid in sent:
                latencies.append((stamp - sent.pop(xid)) / 1000)
                in_segmented += len(starts) > 1
    latencies.sort()
    print(f"wire_samples: {len(latencies)}")
    print(f"wire_unanswered: {len(sent)}")
    print(f"wire_replies_in_segmented_sends: {in_segmented}")
    if latencies:
        for name, q in (('p50', .5), ('p90', .9), ('p99', .99), ('p99.9', .999)):
            print(f"wire_us_{name}: {quantile(latencies, q):.1f}")
        print(f"wire_us_max: {latencies[-1]:.1f}")


if __name__ == '__main__':
    main()
