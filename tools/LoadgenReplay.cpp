#include "LoadgenReplay.h"

#include <pcap/pcap.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace loadgen {

namespace {

constexpr int kLinkTypeSll = 113;   // DLT_LINUX_SLL
constexpr int kLinkTypeSll2 = 276;  // DLT_LINUX_SLL2

std::uint32_t Be16(std::string_view d, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(d[at]) << 8 | static_cast<unsigned char>(d[at + 1]));
}

// Where the IP packet starts in a frame of this link type, and its ethertype; false when the frame
// carries no IP.
bool IpStart(int linkType, std::string_view frame, std::size_t& at, std::uint32_t& etherType) {
    switch (linkType) {
        case DLT_EN10MB:
            if (frame.size() < 14) return false;
            at = 12;
            etherType = Be16(frame, at);
            // 802.1Q and 802.1ad tags, one or two of them.
            while ((etherType == 0x8100 || etherType == 0x88A8) && frame.size() >= at + 6) {
                at += 4;
                etherType = Be16(frame, at);
            }
            at += 2;
            return true;
        case DLT_RAW:
            at = 0;
            etherType = !frame.empty() && (static_cast<unsigned char>(frame[0]) >> 4) == 6 ? 0x86DD : 0x0800;
            return true;
        case DLT_NULL:
        case DLT_LOOP:
            if (frame.size() < 5) return false;
            at = 4;
            etherType = (static_cast<unsigned char>(frame[4]) >> 4) == 6 ? 0x86DD : 0x0800;
            return true;
        case kLinkTypeSll:
            if (frame.size() < 16) return false;
            at = 16;
            etherType = Be16(frame, 14);
            return true;
        case kLinkTypeSll2:
            if (frame.size() < 20) return false;
            at = 20;
            etherType = Be16(frame, 0);
            return true;
        default:
            return false;
    }
}

// The UDP payload of the IP packet at `at`; false for anything else, and for fragments.
bool UdpPayload(std::string_view frame, std::size_t at, std::uint32_t etherType, std::string& payload) {
    std::size_t udp = 0;
    if (etherType == 0x0800) {
        if (frame.size() < at + 20) return false;
        const std::size_t headerLength = (static_cast<unsigned char>(frame[at]) & 0x0F) * 4u;
        const bool fragment = (Be16(frame, at + 6) & 0x3FFF) != 0;  // more fragments, or an offset
        if (headerLength < 20 || fragment || static_cast<unsigned char>(frame[at + 9]) != 17) return false;
        udp = at + headerLength;
    } else if (etherType == 0x86DD) {
        // Extension headers are not followed: exporters do not send them.
        if (frame.size() < at + 40 || static_cast<unsigned char>(frame[at + 6]) != 17) return false;
        udp = at + 40;
    } else {
        return false;
    }
    if (frame.size() < udp + 8) return false;
    const std::size_t udpLength = Be16(frame, udp + 4);
    if (udpLength < 8 || frame.size() < udp + udpLength) return false;
    payload.assign(frame.substr(udp + 8, udpLength - 8));
    return true;
}

using Nanos = std::int64_t;

Nanos NowMono() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void SleepUntil(Nanos deadline, const volatile std::sig_atomic_t& stop) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stop) {
    }
}

}  // namespace

bool ReadCapture(const std::string& path, CaptureContents& out, std::string& why) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> pcap(
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf), pcap_close);
    if (!pcap) {
        why = errbuf;
        return false;
    }
    const int linkType = pcap_datalink(pcap.get());
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int rc = 0;
    while ((rc = pcap_next_ex(pcap.get(), &header, &data)) == 1) {
        const std::string_view frame(reinterpret_cast<const char*>(data), header->caplen);
        std::size_t at = 0;
        std::uint32_t etherType = 0;
        CapturedDatagram d;
        if (!IpStart(linkType, frame, at, etherType) || !UdpPayload(frame, at, etherType, d.payload)) {
            ++out.skipped;
            continue;
        }
        d.timeUs = static_cast<std::int64_t>(header->ts.tv_sec) * 1'000'000 + header->ts.tv_usec;
        out.datagrams.push_back(std::move(d));
    }
    if (rc == PCAP_ERROR) {
        why = pcap_geterr(pcap.get());
        return false;
    }
    return true;
}

// Deadlines are absolute (start + offset in the capture / speed), so a late send never delays the
// ones after it; a capture whose clock went back sends at once.
int RunReplay(const Options& opts, const sockaddr_storage& dest, socklen_t destLen,
              const volatile std::sig_atomic_t& stop) {
    CaptureContents capture;
    std::string why;
    if (!ReadCapture(opts.replayFile, capture, why)) {
        std::fprintf(stderr, "nf-loadgen: cannot read '%s': %s\n", opts.replayFile.c_str(), why.c_str());
        return kExitUsage;
    }
    const int fd = ::socket(dest.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&dest), destLen) != 0) {
        std::fprintf(stderr, "nf-loadgen: socket: %s\n", std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return kExitSocket;
    }
    if (!opts.quiet) {
        std::fprintf(stderr, "nf-loadgen: replaying %zu datagrams of '%s' to %s port %u, %s\n",
                     capture.datagrams.size(), opts.replayFile.c_str(), opts.host.c_str(),
                     static_cast<unsigned>(opts.port), opts.asFastAsPossible ? "as fast as possible" : "paced");
    }
    std::uint64_t sent = 0, bytes = 0, errors = 0;
    const Nanos start = NowMono();
    const std::int64_t firstUs = capture.datagrams.empty() ? 0 : capture.datagrams.front().timeUs;
    for (const CapturedDatagram& d : capture.datagrams) {
        if (stop) break;
        if (!opts.asFastAsPossible) {
            const double offsetNs = static_cast<double>(d.timeUs - firstUs) * 1000.0 / opts.speed.value_or(1.0);
            if (offsetNs > 0) SleepUntil(start + static_cast<Nanos>(offsetNs), stop);
        }
        if (::send(fd, d.payload.data(), d.payload.size(), 0) < 0) {
            ++errors;
            continue;
        }
        ++sent;
        bytes += d.payload.size();
    }
    ::close(fd);
    std::printf("datagrams:   %llu\n", static_cast<unsigned long long>(sent));
    std::printf("bytes:       %llu\n", static_cast<unsigned long long>(bytes));
    std::printf("seconds:     %.3f\n", static_cast<double>(NowMono() - start) / 1e9);
    std::printf("skipped:     %llu frames without a whole UDP datagram\n",
                static_cast<unsigned long long>(capture.skipped));
    std::printf("send errors: %llu\n", static_cast<unsigned long long>(errors));
    if (stop) std::printf("stopped:     early, by signal\n");
    return kExitOk;
}

}  // namespace loadgen
