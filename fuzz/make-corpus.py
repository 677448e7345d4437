#!/usr/bin/env python3
"""Writes the seed corpus of the decode fuzz target into fuzz/corpus/.

Each seed is one control byte (see DecodeFuzz.cpp: bits 0-1 and 2-3 pick the senders of two passes,
bit 4 turns the trace off) followed by one export datagram. Run it again after changing a seed; the
files it writes are checked in.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack(">B", v & 0xFF)
def u16(v): return struct.pack(">H", v & 0xFFFF)
def u32(v): return struct.pack(">I", v & 0xFFFFFFFF)


def v5(records, count=None):
    body = b""
    for i in range(records):
        body += bytes([10, 0, 0, i, 192, 168, 1, i, 10, 0, 0, 254]) + u16(1) + u16(2) + u32(5) + u32(1500 * i)
        body += u32(1000) + u32(2000) + u16(1024 + i) + u16(80) + bytes([0, 0x1B, 6, 0]) + u16(100) + u16(200)
        body += bytes([24, 16]) + u16(0)
    count = records if count is None else count
    return u16(5) + u16(count) + u32(3600000) + u32(1700000000) + u32(0) + u32(42) + bytes([0, 1]) + u16(0x4064) + body


def v9_header(count, source=0, seq=1):
    return u16(9) + u16(count) + u32(3600000) + u32(1700000000) + u32(seq) + u32(source)


def template(tid, pairs):
    return u16(tid) + u16(len(pairs)) + b"".join(u16(t) + u16(l) for t, l in pairs)


def flowset(fid, body):
    return u16(fid) + u16(len(body) + 4) + body


IPV4 = [(8, 4), (12, 4), (15, 4), (10, 2), (14, 2), (2, 4), (1, 4), (22, 4), (21, 4), (7, 2), (11, 2), (6, 1),
        (4, 1), (5, 1), (16, 2), (17, 2), (9, 1), (13, 1)]
IPV6 = [(27, 16), (28, 16), (62, 16), (10, 2), (14, 2), (2, 4), (1, 4), (22, 4), (21, 4), (7, 2), (11, 2), (6, 1),
        (4, 1), (5, 1), (16, 2), (17, 2), (9, 1), (13, 1)]
ALL_TYPES = [(0, 1), (1, 8), (2, 2), (3, 3), (4, 1), (5, 1), (6, 1), (7, 2), (8, 4), (9, 4), (10, 2), (11, 4),
             (12, 4), (13, 1), (14, 2), (15, 4), (16, 2), (17, 2), (21, 4), (22, 4), (27, 16), (28, 16), (32, 2),
             (48, 1), (51, 1), (61, 1), (80, 6), (148, 4), (56701, 2), (56702, 2)]


def ipfix(sets, domain=0, seq=1, length=None):
    length = len(sets) + 16 if length is None else length
    return u16(10) + u16(length) + u32(1700000000) + u32(seq) + u32(domain) + sets


def ipfix_template(tid, specs):
    """specs: (element, length) or (element, length, enterprise)."""
    body = u16(tid) + u16(len(specs))
    for spec in specs:
        body += u16(spec[0] | (0x8000 if len(spec) > 2 else 0)) + u16(spec[1])
        if len(spec) > 2:
            body += u32(spec[2])
    return body


def record(pairs, seed):
    return bytes((seed + i * 7) & 0xFF for i in range(sum(l for _, l in pairs)))


def seeds():
    yield "v5-two-records", 0x00, v5(2)
    yield "v5-thirty-records", 0x00, v5(30)
    yield "v5-count-beyond-bytes", 0x00, v5(3, count=40)
    simple = [(8, 4), (12, 4), (7, 2), (11, 2), (4, 1), (1, 4), (2, 4)]
    yield "v9-template-and-two-records", 0x00, (v9_header(3, 1) + flowset(0, template(256, simple)) +
                                                flowset(256, record(simple, 1) + record(simple, 2)))
    yield "v9-data-before-template", 0x00, v9_header(1) + flowset(256, record(simple, 3))
    first = (flowset(0, template(1024, IPV4) + template(1025, IPV4[:-2]) + template(2048, IPV6) +
                     template(2049, IPV6[:-2])) +
             flowset(1, u16(0x200) + u16(4) + u16(4) + u16(1) + u16(4) + u16(34) + u16(4) + u16(36) + u16(2)) +
             flowset(0x200, u32(1) + u32(10) + u16(30) + b"\0\0"))
    data = (flowset(1024, record(IPV4, 5) + record(IPV4, 6)) + flowset(2048, record(IPV6, 7)) +
            flowset(1025, record(IPV4[:-2], 8)))
    yield "v9-exporter-first-datagram", 0x00, v9_header(4, 0) + first + data
    yield "v9-exporter-first-datagram-two-senders", 0x04, v9_header(4, 0) + first + data
    yield "v9-all-field-types", 0x00, (v9_header(2) + flowset(0, template(300, ALL_TYPES)) +
                                       flowset(300, record(ALL_TYPES, 9) + b"\0\0\0"))
    yield "v9-all-field-types-untraced", 0x10, (v9_header(2) + flowset(0, template(300, ALL_TYPES)) +
                                                flowset(300, record(ALL_TYPES, 11)))
    yield "v9-reserved-and-options-ids", 0x00, (v9_header(5) + flowset(1, b"\0" * 8) + flowset(7, b"") +
                                                flowset(255, b"\1\2\3\4"))
    yield "v9-oversized-template", 0x00, (v9_header(2) + flowset(0, template(400, [(8, 4)] * 31) +
                                                                template(401, [(7, 2)])) + flowset(401, b"\0\x17"))
    yield "v9-withdrawn-template", 0x00, (v9_header(3) + flowset(0, template(256, simple)) +
                                          flowset(0, template(256, [])) + flowset(256, record(simple, 4)))
    many = b"".join(record(simple, i) for i in range(45))
    yield "v9-forty-five-records", 0x00, v9_header(45) + flowset(0, template(256, simple)) + flowset(256, many)
    yield "v9-truncated-record", 0x00, (v9_header(3) + flowset(0, template(256, simple)) +
                                        flowset(256, record(simple, 1) + record(simple, 2)))[:-9]
    # Control bit 5: byte 1 picks the trace line at which the sink fails (here one among the template's
    # pairs), so the report is built from the walk's position there.
    yield "v9-fault-at-a-trace-line", 0x20, bytes([12]) + (v9_header(3) + flowset(0, template(256, simple)) +
                                                           flowset(256, record(simple, 1) + record(simple, 2)))
    hostile = flowset(0, template(256, [(1, 0)] * 29 + [(4, 1)])) + flowset(256, b"\6" * 7900)
    yield "v9-zero-length-fields", 0x00, v9_header(2) + hostile
    yield "v9-one-byte-records", 0x00, (v9_header(2) + flowset(0, template(256, [(4, 1)])) +
                                        flowset(256, b"\6" * 1990))
    yield "v9-variable-length-fields", 0x00, (v9_header(2) + flowset(0, template(256, [(82, 65535), (8, 4)])) +
                                              flowset(256, b"\4eth0\x0a\0\0\1" + b"\xff\0\2ab\x0a\0\0\2"))
    mixed = [(8, 4), (12, 4), (1, 8), (2, 8), (82, 65535), (5, 4, 9), (4, 1)]
    varrec = bytes([10, 0, 0, 1, 192, 168, 1, 1]) + u32(0) + u32(1500) + u32(0) + u32(3) + b"\3abc" + u32(7) + b"\6"
    yield "ipfix-template-and-records", 0x00, ipfix(flowset(2, ipfix_template(256, mixed) +
                                                            ipfix_template(257, IPV6) + b"\0\0") +
                                                    flowset(256, varrec + varrec) + flowset(257, record(IPV6, 3)))
    yield "ipfix-two-senders", 0x04, ipfix(flowset(2, ipfix_template(256, mixed)) + flowset(256, varrec), 7)
    yield "ipfix-withdrawals-and-options", 0x00, ipfix(flowset(2, ipfix_template(256, simple)) +
                                                       flowset(3, u16(400) + u16(1) + u16(1) + u16(149) + u16(4)) +
                                                       flowset(2, ipfix_template(256, []) + ipfix_template(2, [])) +
                                                       flowset(256, record(simple, 4)))
    yield "ipfix-cut-short", 0x00, ipfix(flowset(2, ipfix_template(256, simple)) +
                                         flowset(256, record(simple, 1) * 3), length=200)[:-7]
    # Data before its template in one datagram: held, then released by the template behind it.
    yield "v9-data-then-its-template", 0x00, (v9_header(3) + flowset(256, record(simple, 5)) +
                                              flowset(0, template(256, simple)) + flowset(256, record(simple, 6)))
    sampler = u16(300) + u16(4) + u16(12) + u16(1) + u16(4) + u16(48) + u16(1) + u16(49) + u16(1) + u16(50) + u16(4)
    names = u16(301) + u16(4) + u16(8) + u16(2) + u16(4) + u16(82) + u16(16) + u16(83) + u16(65535)
    yield "v9-options-samplers-and-interfaces", 0x00, (v9_header(3) + flowset(1, sampler + names) +
                                                       flowset(300, u32(0) + u8(1) + u8(2) + u32(1000) + b"\0\0") +
                                                       flowset(301, u32(3) + b"Gi0/0/1".ljust(16, b"\0") + b"\6uplink"))
    timed = [(8, 4), (152, 8), (153, 8), (154, 8), (157, 8), (160, 8), (22, 4), (21, 4), (158, 4), (161, 4),
             (302, 8)]
    yield "ipfix-options-sampling-and-times", 0x00, ipfix(
        flowset(3, u16(400) + u16(3) + u16(1) + u16(302) + u16(8) + u16(305) + u16(4) + u16(306) + u16(4)) +
        flowset(400, u32(0) + u32(1) + u32(1) + u32(99)) +
        flowset(256, record(timed, 2)) + flowset(2, ipfix_template(256, timed)) + flowset(256, record(timed, 3)))
    yield "ipfix-long-variable-field", 0x00, ipfix(flowset(2, ipfix_template(256, [(83, 65535), (8, 4)])) +
                                                   flowset(256, b"\xff\1\x2c" + b"x" * 300 + b"\1\2\3\4"))


def main():
    out = os.path.join(HERE, "corpus")
    os.makedirs(out, exist_ok=True)
    for name, control, datagram in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes([control]) + datagram)


if __name__ == "__main__":
    main()
