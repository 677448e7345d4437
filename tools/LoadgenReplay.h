// nf-loadgen --replay: the UDP payloads of a capture file, sent again in order.
#pragma once

#include <sys/socket.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "LoadgenOptions.h"

namespace loadgen {

struct CapturedDatagram {
    std::int64_t timeUs = 0;  // the capture's time stamp
    std::string payload;
};

struct CaptureContents {
    std::vector<CapturedDatagram> datagrams;
    std::uint64_t skipped = 0;  // frames that are not a whole, unfragmented UDP datagram
};

// Reads every UDP payload over IPv4 or IPv6 from a capture of Ethernet (VLAN tags allowed), raw IP,
// BSD loopback or Linux cooked frames. False with the reason in why when the file cannot be read.
bool ReadCapture(const std::string& path, CaptureContents& out, std::string& why);

// Sends them to dest at their original spacing divided by opts.speed, or back to back; prints the
// summary. Stops early once stop is set (by a signal). Returns the exit status.
int RunReplay(const Options& opts, const sockaddr_storage& dest, socklen_t destLen,
              const volatile std::sig_atomic_t& stop);

}  // namespace loadgen
