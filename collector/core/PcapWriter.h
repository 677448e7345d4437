#pragma once

// Recent datagrams as a capture file that any packet analyser opens: each datagram in an Ethernet
// frame with the IPv4 and UDP headers it arrived with as far as the collector knows them (the real
// sender address and port, the collector's port), at its time of arrival.

#include <cstdint>
#include <string>
#include <vector>

#include "RecentDatagrams.h"
#include "support/TextFiles.h"

constexpr std::uint16_t kCollectorPort = 9996;

struct tCaptureTarget {
    // The listener is bound to every local address and is not told which one a datagram came to.
    std::uint32_t CollectorAddress = 0;  // IPv4, host order; 0.0.0.0 stands for "any"
    std::uint16_t CollectorPort = kCollectorPort;
};

// Writes Datagrams to sPath (created or replaced). False with the reason in sError when the file
// could not be written; a datagram too long for one IPv4 packet is written cut to fit, its original
// length recorded. Every write and the close are checked, and a file that failed part-way is
// removed, never left looking like a whole capture. A symbolic link, FIFO or device under the name
// is refused (opened as brix32::OpenOutputFile opens). Output is the write seam.
bool WriteCapture(const std::string& sPath, const std::vector<tRecentDatagram>& Datagrams, const tCaptureTarget& Target,
                  std::string& sError, brix32::FileOutput& Output = brix32::SystemFileOutput());

// As WriteCapture, into a file of its own that is never one that exists already: sBaseName
// (CaptureFileName's) when that name is free, otherwise the first free of its stem with "-2",
// "-3"... before the extension, so that saves within one second each keep theirs. Anything planted
// under a taken name, a link included, is passed over and left as it is. sWrittenName is the name
// written, empty on failure.
bool SaveCapture(const std::string& sBaseName, const std::vector<tRecentDatagram>& Datagrams,
                 const tCaptureTarget& Target, std::string& sWrittenName, std::string& sError,
                 brix32::FileOutput& Output = brix32::SystemFileOutput());

// The one frame WriteCapture writes for Datagram: Ethernet, IPv4 (with its checksum), UDP, payload.
std::string CaptureFrame(const tRecentDatagram& Datagram, const tCaptureTarget& Target);

// "recent-datagrams-" + local "yyyymmdd-hhmmss" + ".pcap", for the file the collector writes when
// asked while headless.
std::string CaptureFileName(std::int64_t WallClockUs);
