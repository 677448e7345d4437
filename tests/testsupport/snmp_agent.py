#!/usr/bin/env python3
"""An SNMP agent of the tests' own: Debian's snmpd with a folder, configuration and state of its own,
on a free UDP port of 127.0.0.1, answering only 127.0.0.1; never the system's service or its files.
It serves this machine's interfaces, so the tests can compare its answers with /sys/class/net.

As a module:
    with SnmpAgent(community="nfc-test", overrides={"1.3.6.1.2.1.31.1.1.1.18.1": "uplink"}) as agent:
        agent.address                      # "127.0.0.1:PORT"

An override puts a fixed value in place of what the agent would answer for one OID: a str is sent
as text, bytes as text of those bytes, an int as an unsigned number (Gauge32).

As a command, for test programs that want an agent from the test runner:
    snmp_agent.py run -- COMMAND ARGS...
starts an agent with the community RUN_COMMUNITY and the overrides RUN_OVERRIDES, runs COMMAND
with NFC_SNMP_AGENT (127.0.0.1:PORT) and NFC_SNMP_COMMUNITY set, stops the agent, removes its
folder and exits with COMMAND's status.
"""
import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from server_harness import ServerProcess, dying_with, free_ports, run_with_server

INSTALL_HINT = "scripts/install-deps.sh --test installs it"
SNMPD = "/usr/sbin/snmpd"
START_TIMEOUT = 30
STOP_TIMEOUT = 10

IF_ALIAS = "1.3.6.1.2.1.31.1.1.1.18"
IF_HIGH_SPEED = "1.3.6.1.2.1.31.1.1.1.15"

RUN_COMMUNITY = "nfc-test"
# What the SnmpAgent.* cases expect of the loopback interface (index 1 on Linux): an alias with a
# control character, a two-byte UTF-8 character and more than 255 bytes, and 40 Gbit/s.
RUN_OVERRIDES = {
    IF_ALIAS + ".1": b"loopback under test\x07\xc3\xa9" + b"x" * 300,
    IF_HIGH_SPEED + ".1": 40000,
}


def snmpd_command():
    """The agent's binary, or None when it is not installed."""
    if os.access(SNMPD, os.X_OK):
        return SNMPD
    return shutil.which("snmpd")


def available():
    return snmpd_command() is not None


# --- just enough BER for one GET, to learn that the agent answers ---

def _length(n):
    if n < 0x80:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def _tlv(tag, body):
    return bytes([tag]) + _length(len(body)) + body


def _integer(value):
    return _tlv(0x02, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


def _oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytearray([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.append(0x80 | (part & 0x7F))
            part >>= 7
        body.extend(reversed(chunk))
    return _tlv(0x06, bytes(body))


def probe_request(community, request_id):
    """An SNMPv2c GET of sysUpTime.0."""
    varbind = _tlv(0x30, _oid("1.3.6.1.2.1.1.3.0") + b"\x05\x00")
    pdu = _tlv(0xA0, _integer(request_id) + _integer(0) + _integer(0) + _tlv(0x30, varbind))
    return _tlv(0x30, _integer(1) + _tlv(0x04, community.encode()) + pdu)


def _override_line(oid, value):
    if isinstance(value, bool) or not isinstance(value, (int, str, bytes)):
        raise TypeError("override %s: a str, bytes or int, not %r" % (oid, value))
    if isinstance(value, int):
        return "override .%s unsigned %d" % (oid, value)
    raw = value.encode() if isinstance(value, str) else value
    # Hex keeps any byte, quotes and control characters included, out of the configuration's syntax.
    return "override .%s octet_str 0x%s" % (oid, raw.hex() if raw else "")


class SnmpAgent(ServerProcess):
    """One snmpd in a temporary folder of its own; cleanup() (or leaving the with block) stops it
    and removes the folder."""

    stop_timeout = STOP_TIMEOUT

    def __init__(self, community=RUN_COMMUNITY, overrides=None, parent=None):
        super().__init__()
        self.command = snmpd_command()
        self.community = community
        self.overrides = dict(overrides or {})
        self.parent = parent
        self.port = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def start(self):
        if self.command is None:
            raise RuntimeError("no snmpd is installed; " + INSTALL_HINT)
        if self.proc is not None and self.proc.poll() is None:
            return self
        if self.dir is None:
            self._make_folder()
        state = os.path.join(self.dir, "state")
        # Everything the agent could read or write besides its own configuration points into the folder.
        env = dict(os.environ, SNMP_PERSISTENT_DIR=state, SNMPCONFPATH=self.dir, HOME=self.dir, MIBDIRS=self.dir,
                   MIBS="", LC_ALL="C")
        args = [self.command, "-f", "-C", "-c", os.path.join(self.dir, "snmpd.conf"),
                "-Lf", os.path.join(self.dir, "snmpd.log"), "-p", os.path.join(self.dir, "snmpd.pid"),
                "-M", self.dir, "-m", "",
                # What Debian's own service leaves out: the SMUX listener would take TCP port 199.
                "-I", "-smux,mteTrigger,mteTriggerConf"]
        self.proc = subprocess.Popen(args, cwd=self.dir, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     preexec_fn=dying_with(os.getpid()))
        try:
            self._wait_until_up()
        except BaseException:
            self.stop()
            raise
        return self

    def answers(self, community=None, timeout=0.3):
        """Whether the agent answers a GET with this community (its own by default)."""
        request_id = random.randint(1, 0x7FFFFFFF)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(timeout)
            try:
                s.sendto(probe_request(community or self.community, request_id), ("127.0.0.1", self.port))
                answer = s.recv(65535)
            except OSError:
                return False
        # An answer to this request carries its id; a GetResponse PDU has tag 0xa2.
        return b"\xa2" in answer and _integer(request_id) in answer

    def log_tail(self, lines=30):
        try:
            with open(os.path.join(self.dir or "", "snmpd.log"), errors="replace") as f:
                return "\n".join(f.read().splitlines()[-lines:]) or "(the agent wrote no log)"
        except OSError:
            return "(the agent wrote no log)"

    def _make_folder(self):
        self.dir = tempfile.mkdtemp(prefix="nfc-snmpd-", dir=self.parent)
        os.mkdir(os.path.join(self.dir, "state"), 0o700)
        self.port = free_ports(udp=True)[0]
        lines = ["agentaddress udp:127.0.0.1:%d" % self.port,
                 "rocommunity %s 127.0.0.1" % self.community,
                 # No traps, no agentx master socket, nothing that reaches beyond the folder.
                 "master no",
                 "dontLogTCPWrappersConnects yes"]
        lines += [_override_line(oid.lstrip("."), value) for oid, value in self.overrides.items()]
        with open(os.path.join(self.dir, "snmpd.conf"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def _wait_until_up(self):
        started = time.monotonic()
        while time.monotonic() - started < START_TIMEOUT:
            if self.proc.poll() is not None:
                raise RuntimeError("snmpd ended at start-up with status %d\n%s" % (self.proc.returncode, self.log_tail()))
            if self.answers():
                return
            time.sleep(0.1)
        raise RuntimeError("snmpd did not answer within %d s\n%s" % (START_TIMEOUT, self.log_tail()))


def main(argv):
    return run_with_server("snmp_agent.py", argv, None if available() else "no snmpd is installed; " + INSTALL_HINT,
                           SnmpAgent(RUN_COMMUNITY, RUN_OVERRIDES),
                           lambda agent: {"NFC_SNMP_AGENT": agent.address, "NFC_SNMP_COMMUNITY": agent.community})


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
