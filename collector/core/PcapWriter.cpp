#include "PcapWriter.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <ctime>
#include <memory>

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kMaxPayload = 65535 - kIpv4Header - kUdpHeader;
constexpr int kSnapLength = 65535 + static_cast<int>(kEthernetHeader);

void Put16(std::string& s, std::size_t At, std::uint32_t v) {
    s[At] = static_cast<char>((v >> 8) & 0xFF);
    s[At + 1] = static_cast<char>(v & 0xFF);
}

void Put32(std::string& s, std::size_t At, std::uint32_t v) {
    Put16(s, At, v >> 16);
    Put16(s, At + 2, v & 0xFFFF);
}

std::uint16_t HeaderChecksum(const std::string& s, std::size_t At) {
    std::uint32_t Sum = 0;
    for (std::size_t i = 0; i < kIpv4Header; i += 2) {
        Sum += (static_cast<std::uint32_t>(static_cast<unsigned char>(s[At + i])) << 8) |
               static_cast<unsigned char>(s[At + i + 1]);
    }
    while ((Sum >> 16) != 0) Sum = (Sum & 0xFFFF) + (Sum >> 16);
    return static_cast<std::uint16_t>(~Sum & 0xFFFF);
}

struct tPcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
struct tDumperCloser {
    void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
};

}  // namespace

std::string CaptureFrame(const tRecentDatagram& Datagram, const tCaptureTarget& Target) {
    const std::size_t Payload = std::min(Datagram.Bytes.size(), kMaxPayload);
    std::string Frame(kEthernetHeader + kIpv4Header + kUdpHeader, '\0');
    // Locally administered addresses: the real ones are not known.
    const char kMacs[12] = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2};
    Frame.replace(0, 12, kMacs, 12);
    Put16(Frame, 12, 0x0800);
    const std::size_t Ip = kEthernetHeader;
    Frame[Ip] = 0x45;
    Put16(Frame, Ip + 2, static_cast<std::uint32_t>(kIpv4Header + kUdpHeader + Payload));
    Put16(Frame, Ip + 6, 0x4000);  // don't fragment
    Frame[Ip + 8] = 64;
    Frame[Ip + 9] = 17;
    Put32(Frame, Ip + 12, Datagram.SenderAddress);
    Put32(Frame, Ip + 16, Target.CollectorAddress);
    Put16(Frame, Ip + 10, HeaderChecksum(Frame, Ip));
    const std::size_t Udp = Ip + kIpv4Header;
    Put16(Frame, Udp, Datagram.SenderPort);
    Put16(Frame, Udp + 2, Target.CollectorPort);
    Put16(Frame, Udp + 4, static_cast<std::uint32_t>(kUdpHeader + Payload));
    // UDP checksum 0: none computed, which IPv4 allows.
    Frame.append(Datagram.Bytes, 0, Payload);
    return Frame;
}

bool WriteCapture(const std::string& sPath, const std::vector<tRecentDatagram>& Datagrams, const tCaptureTarget& Target,
                  std::string& sError) {
    const std::unique_ptr<pcap_t, tPcapCloser> Pcap(
        pcap_open_dead_with_tstamp_precision(DLT_EN10MB, kSnapLength, PCAP_TSTAMP_PRECISION_MICRO));
    if (!Pcap) {
        sError = "no capture handle";
        return false;
    }
    const std::unique_ptr<pcap_dumper_t, tDumperCloser> Dumper(pcap_dump_open(Pcap.get(), sPath.c_str()));
    if (!Dumper) {
        sError = pcap_geterr(Pcap.get());
        return false;
    }
    for (const tRecentDatagram& Datagram : Datagrams) {
        const std::string Frame = CaptureFrame(Datagram, Target);
        pcap_pkthdr Header{};
        Header.ts.tv_sec = static_cast<time_t>(Datagram.ArrivalUs / 1'000'000);
        Header.ts.tv_usec = static_cast<suseconds_t>(Datagram.ArrivalUs % 1'000'000);
        Header.caplen = static_cast<bpf_u_int32>(Frame.size());
        // What was cut off a datagram too long for IPv4 still counts in the frame's original length.
        Header.len = static_cast<bpf_u_int32>(Frame.size() + Datagram.Bytes.size() -
                                              std::min(Datagram.Bytes.size(), kMaxPayload));
        pcap_dump(reinterpret_cast<u_char*>(Dumper.get()), &Header, reinterpret_cast<const u_char*>(Frame.data()));
    }
    if (pcap_dump_flush(Dumper.get()) != 0) {
        sError = "write failed: " + sPath;
        return false;
    }
    return true;
}

std::string CaptureFileName(std::int64_t WallClockUs) {
    const std::time_t Seconds = static_cast<std::time_t>(WallClockUs / 1'000'000);
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    char Buf[32];
    std::strftime(Buf, sizeof Buf, "%Y%m%d-%H%M%S", &Local);
    return std::string("recent-datagrams-") + Buf + ".pcap";
}
