#include "PcapWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::size_t kMaxPayload = 65535 - kIpv4Header - kUdpHeader;
constexpr std::uint32_t kSnapLength = 65535 + kEthernetHeader;

// The classic capture file format, written in this machine's byte order, which its magic number
// tells readers: microsecond time stamps, Ethernet frames.
constexpr std::uint32_t kMagicMicroseconds = 0xA1B2C3D4;
constexpr std::uint16_t kVersionMajor = 2;
constexpr std::uint16_t kVersionMinor = 4;
constexpr std::uint32_t kLinkTypeEthernet = 1;
// Frames are gathered into writes of about this size: few system calls, little memory.
constexpr std::size_t kWriteChunk = 256 * 1024;
// More saves than this within one second are not a person asking twice.
constexpr int kMaxSameSecondSaves = 10000;

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

template <typename T>
void PutNative(std::string& s, T v) {
    char Bytes[sizeof v];
    std::memcpy(Bytes, &v, sizeof v);
    s.append(Bytes, sizeof v);
}

// Writes the capture to Fd: 0, or the errno of the write that failed.
int WriteFrames(int Fd, const std::vector<tRecentDatagram>& Datagrams, const tCaptureTarget& Target,
                brix32::FileOutput& Output) {
    std::string Buffer;
    Buffer.reserve(kWriteChunk + kSnapLength + 16);
    PutNative(Buffer, kMagicMicroseconds);
    PutNative(Buffer, kVersionMajor);
    PutNative(Buffer, kVersionMinor);
    PutNative(Buffer, std::int32_t{0});   // time zone offset: stamps are UTC
    PutNative(Buffer, std::uint32_t{0});  // accuracy of the stamps
    PutNative(Buffer, kSnapLength);
    PutNative(Buffer, kLinkTypeEthernet);
    for (const tRecentDatagram& Datagram : Datagrams) {
        const std::string Frame = CaptureFrame(Datagram, Target);
        PutNative(Buffer, static_cast<std::uint32_t>(Datagram.ArrivalUs / 1'000'000));
        PutNative(Buffer, static_cast<std::uint32_t>(Datagram.ArrivalUs % 1'000'000));
        PutNative(Buffer, static_cast<std::uint32_t>(Frame.size()));
        // What was cut off a datagram too long for IPv4 still counts in the frame's original length.
        PutNative(Buffer, static_cast<std::uint32_t>(Frame.size() + Datagram.Bytes.size() -
                                                     std::min(Datagram.Bytes.size(), kMaxPayload)));
        Buffer += Frame;
        if (Buffer.size() >= kWriteChunk) {
            if (const int Error = brix32::WriteAll(Fd, Buffer.data(), Buffer.size(), Output)) return Error;
            Buffer.clear();
        }
    }
    return brix32::WriteAll(Fd, Buffer.data(), Buffer.size(), Output);
}

// Writes the capture into Fd, just opened as sName, and closes it. A capture that did not go out
// whole is removed: a cut one would read as the whole recent traffic.
bool FinishCapture(int Fd, const std::string& sName, const std::vector<tRecentDatagram>& Datagrams,
                   const tCaptureTarget& Target, std::string& sError, brix32::FileOutput& Output) {
    int Error = WriteFrames(Fd, Datagrams, Target, Output);
    if (::close(Fd) != 0 && Error == 0) Error = errno;
    if (Error == 0) return true;
    ::unlink(sName.c_str());
    sError = "write failed: " + sName;
    return false;
}

std::string OpenFailure(const std::string& sName, int Error) { return sName + ": " + brix32::OutputErrorText(Error); }

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
                  std::string& sError, brix32::FileOutput& Output) {
    const int Fd = brix32::OpenOutputFile(sPath, O_CREAT | O_TRUNC);
    if (Fd < 0) {
        sError = OpenFailure(sPath, errno);
        return false;
    }
    return FinishCapture(Fd, sPath, Datagrams, Target, sError, Output);
}

bool SaveCapture(const std::string& sBaseName, const std::vector<tRecentDatagram>& Datagrams,
                 const tCaptureTarget& Target, std::string& sWrittenName, std::string& sError,
                 brix32::FileOutput& Output) {
    sWrittenName.clear();
    const std::size_t Slash = sBaseName.rfind('/');
    const std::size_t Dot = sBaseName.rfind('.');
    const std::size_t SuffixAt =
        (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) ? sBaseName.size() : Dot;
    for (int Number = 1; Number <= kMaxSameSecondSaves; ++Number) {
        const std::string Name =
            Number == 1 ? sBaseName
                        : sBaseName.substr(0, SuffixAt) + "-" + std::to_string(Number) + sBaseName.substr(SuffixAt);
        // O_EXCL: an earlier save of the same second, or anything planted under the name, stays as it is.
        const int Fd = brix32::OpenOutputFile(Name, O_CREAT | O_EXCL);
        if (Fd < 0) {
            if (errno == EEXIST) continue;
            sError = OpenFailure(Name, errno);
            return false;
        }
        if (!FinishCapture(Fd, Name, Datagrams, Target, sError, Output)) return false;
        sWrittenName = Name;
        return true;
    }
    sError = OpenFailure(sBaseName, EEXIST);
    return false;
}

std::string CaptureFileName(std::int64_t WallClockUs) {
    const std::time_t Seconds = static_cast<std::time_t>(WallClockUs / 1'000'000);
    std::tm Local{};
    localtime_r(&Seconds, &Local);
    char Buf[32];
    std::strftime(Buf, sizeof Buf, "%Y%m%d-%H%M%S", &Local);
    return std::string("recent-datagrams-") + Buf + ".pcap";
}
