#!/usr/bin/env python3
"""Writes a small packet capture of ordinary traffic for the end-to-end test, and a list of the
flows it holds.

The capture has IPv4 TCP, UDP and ICMP conversations (some one-way, most both ways) and a few IPv6
conversations, with realistic sizes and increasing timestamps. The flow list gives one line per
direction that carries packets: "src,sport,dst,dport,proto,bytes,family", where bytes is the sum of
the IP total lengths, which is what a flow exporter counts.
"""
import struct
import sys


def checksum(data: bytes) -> int:
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ipv4(src, dst, proto, payload, ident):
    total = 20 + len(payload)
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, ident & 0xFFFF, 0x4000, 64, proto, 0,
                      bytes(src), bytes(dst))
    hdr = hdr[:10] + struct.pack("!H", checksum(hdr)) + hdr[12:]
    return hdr + payload, total


def ipv6(src, dst, proto, payload):
    hdr = struct.pack("!IHBB16s16s", 0x60000000, len(payload), proto, 64, bytes(src), bytes(dst))
    return hdr + payload, 40 + len(payload)


def transport(proto, sport, dport, size, seq):
    if proto == 6:
        flags = 0x18
        return struct.pack("!HHIIBBHHH", sport, dport, seq, 0, 5 << 4, flags, 65535, 0, 0) + b"x" * size
    if proto == 17:
        return struct.pack("!HHHH", sport, dport, 8 + size, 0) + b"u" * size
    if proto == 1:
        return struct.pack("!BBHHH", 8, 0, 0, 0x1234, seq & 0xFFFF) + b"p" * size
    if proto == 58:
        return struct.pack("!BBHHH", 128, 0, 0, 0x4321, seq & 0xFFFF) + b"q" * size
    raise ValueError(proto)


def conversations():
    """(family, a, b, proto, aport, bport, [(direction, payload size), ...])"""
    convs = []
    for i in range(12):
        a = [10, 1, i // 4, 10 + i]
        b = [192, 168, 100, 20 + i % 5]
        sizes = [(0, 120 + 37 * i), (1, 1400), (0, 40), (1, 900 - 11 * i), (0, 0)]
        convs.append(("4", a, b, 6, 40000 + i * 7, (80, 443, 22, 8080)[i % 4], sizes))
    for i in range(6):
        a = [172, 16, 5, 1 + i]
        b = [8, 8, 4 + i % 2, 8]
        sizes = [(0, 40 + i), (1, 120 + 3 * i)] if i % 3 else [(0, 60)]  # some DNS queries go unanswered
        convs.append(("4", a, b, 17, 53000 + i, 53, sizes))
    for i in range(3):
        convs.append(("4", [10, 9, 9, 1 + i], [10, 9, 9, 200], 1, 0, 0, [(0, 56), (0, 56)]))
    for i in range(3):
        a = [0x20, 0x01, 0x0D, 0xB8] + [0] * 11 + [1 + i]
        b = [0x20, 0x01, 0x0D, 0xB8, 0, 1] + [0] * 9 + [0x80]
        convs.append(("6", a, b, 6, 50000 + i, 443, [(0, 300), (1, 1200)]))
    return convs


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make-test-pcap.py OUT.pcap OUT-flows.csv")
    pcap_path, flows_path = sys.argv[1], sys.argv[2]
    packets = []
    flows = {}
    t = 1_700_000_000.0
    ident = 1
    for family, a, b, proto, aport, bport, sizes in conversations():
        for n, (direction, size) in enumerate(sizes):
            src, dst, sport, dport = (a, b, aport, bport) if direction == 0 else (b, a, bport, aport)
            if proto in (1, 58):
                sport = dport = 0
            payload = transport(proto, sport, dport, size, n + 1)
            if family == "4":
                ip, length = ipv4(src, dst, proto, payload, ident)
                ethertype = 0x0800
                text = lambda x: ".".join(str(v) for v in x)
            else:
                ip, length = ipv6(src, dst, proto, payload)
                ethertype = 0x86DD
                text = lambda x: ":".join("%02x%02x" % (x[k], x[k + 1]) for k in range(0, 16, 2))
            ident += 1
            t += 0.013
            frame = b"\x02\x00\x00\x00\x00\x02" + b"\x02\x00\x00\x00\x00\x01" + struct.pack("!H", ethertype) + ip
            packets.append((t, frame))
            key = (text(src), sport, text(dst), dport, proto, family)
            flows[key] = flows.get(key, 0) + length
    with open(pcap_path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for ts, frame in packets:
            sec = int(ts)
            usec = int(round((ts - sec) * 1e6))
            f.write(struct.pack("<IIII", sec, usec, len(frame), len(frame)))
            f.write(frame)
    with open(flows_path, "w") as f:
        for (src, sport, dst, dport, proto, family), octets in flows.items():
            f.write("%s,%d,%s,%d,%d,%d,%s\n" % (src, sport, dst, dport, proto, octets, family))


if __name__ == "__main__":
    main()
