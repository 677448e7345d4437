// nf-loadgen: sends NetFlow v5, v9 or IPFIX (v10) export datagrams to a collector at a steady,
// precise rate, or replays a capture (LoadgenReplay.cpp). Built for load tests of a collector on the
// same machine, so it refuses any destination outside loopback unless the operator names it with
// --allow-remote.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LatenessHistogram.h"
#include "LoadgenOptions.h"
#include "LoadgenReplay.h"

namespace {

using namespace loadgen;

constexpr std::size_t kV5HeaderSize = 24;
constexpr std::size_t kV5RecordSize = 48;
constexpr std::size_t kV9HeaderSize = 20;
constexpr std::size_t kIpfixHeaderSize = 16;
constexpr std::uint16_t kTemplateId = 256;
constexpr std::uint16_t kIpfixTemplateSetId = 2;
constexpr std::size_t kMaxDatagram = 8192;

struct TemplateField {
    std::uint16_t type;
    std::uint16_t length;
};

// The common IPv4 template; WriteRecord writes the fields in exactly this order. IPFIX numbers these
// elements as v9 does, so both versions send the same template and records and cost the same per flow.
constexpr std::array<TemplateField, 18> kTemplate{{
    {8, 4},   // IPV4_SRC_ADDR
    {12, 4},  // IPV4_DST_ADDR
    {7, 2},   // L4_SRC_PORT
    {11, 2},  // L4_DST_PORT
    {4, 1},   // PROTOCOL
    {1, 4},   // IN_BYTES
    {2, 4},   // IN_PKTS
    {22, 4},  // FIRST_SWITCHED
    {21, 4},  // LAST_SWITCHED
    {6, 1},   // TCP_FLAGS
    {5, 1},   // SRC_TOS
    {10, 2},  // INPUT_SNMP
    {14, 2},  // OUTPUT_SNMP
    {15, 4},  // IPV4_NEXT_HOP
    {9, 1},   // SRC_MASK
    {13, 1},  // DST_MASK
    {16, 2},  // SRC_AS
    {17, 2},  // DST_AS
}};

constexpr std::size_t RecordSize() {
    std::size_t n = 0;
    for (const auto& f : kTemplate) n += f.length;
    return n;
}
constexpr std::size_t kRecordSize = RecordSize();
// The set header, the template's id and field count, and its fields: a v9 flowset or an IPFIX set.
constexpr std::size_t kTemplateSetSize = 4 + 4 + 4 * kTemplate.size();

static_assert(kV5HeaderSize + kV5RecordSize * kV5MaxRecords <= kMaxDatagram);
static_assert(kV9HeaderSize + kTemplateSetSize + 4 + kRecordSize * kV9MaxRecords + 3 < 8000);
static_assert(kIpfixHeaderSize + kTemplateSetSize + 4 + kRecordSize * kIpfixMaxRecords < 8000);

bool IsLoopback(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        if (IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return in6.sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

// Resolves the destination. Without --allow-remote only numeric addresses and "localhost" are
// taken, so refusing a destination never needs a name lookup, which would itself leave the machine.
bool ResolveDestination(const Options& opts, sockaddr_storage& addr, socklen_t& addrLen, std::string& why) {
    std::string host = opts.host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (!opts.allowRemote) {
        if (host == "localhost") host = "127.0.0.1";
        hints.ai_flags |= AI_NUMERICHOST;
    }
    const std::string port = std::to_string(opts.port);
    addrinfo* result = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
    if (rc != 0) {
        why = opts.allowRemote ? std::string("cannot resolve '") + opts.host + "': " + ::gai_strerror(rc)
                               : "'" + opts.host +
                                     "' is not a numeric address; give a loopback address, or --allow-remote to"
                                     " look up names";
        return false;
    }
    std::memcpy(&addr, result->ai_addr, result->ai_addrlen);
    addrLen = result->ai_addrlen;
    ::freeaddrinfo(result);
    if (!opts.allowRemote && !IsLoopback(addr)) {
        why = "'" + opts.host + "' is outside loopback (127.0.0.0/8, ::1); add --allow-remote to send there";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Datagram contents. Every value derives from the flow's global number, so two runs with the
// same arguments send the same flows (only the clock fields differ).

class Writer {
  public:
    explicit Writer(std::uint8_t* p) : p_(p) {}
    void U8(std::uint32_t v) { *p_++ = static_cast<std::uint8_t>(v); }
    void U16(std::uint32_t v) {
        U8(v >> 8);
        U8(v);
    }
    void U32(std::uint32_t v) {
        U16(v >> 16);
        U16(v & 0xFFFF);
    }
    void Zero(std::size_t n) {
        std::memset(p_, 0, n);
        p_ += n;
    }
    std::uint8_t* Position() const { return p_; }

  private:
    std::uint8_t* p_;
};

struct Flow {
    std::uint32_t srcAddr, dstAddr, nextHop;
    std::uint16_t srcPort, dstPort, inputIf, outputIf, srcAs, dstAs;
    std::uint8_t protocol, tcpFlags, tos, srcMask, dstMask;
    std::uint32_t bytes, packets, first, last;
};

std::uint32_t Mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

bool gPublicAddresses = false;

// An address of the public IPv4 space, spread by Mix: the first octet from 1 to 223 without the
// private, loopback and link-local networks.
std::uint32_t PublicAddress(std::uint32_t h) {
    std::uint32_t first = 1 + (h >> 24) % 223;
    if (first == 10 || first == 127 || first == 169 || first == 172 || first == 192) first += 1;
    return first << 24 | (h & 0xFFFFFF);
}

Flow MakeFlow(std::uint64_t n, std::uint32_t sysUptime) {
    static constexpr std::uint8_t kProtocols[] = {6, 6, 17, 6, 17, 1, 6, 17};
    static constexpr std::uint16_t kServices[] = {443, 80, 53, 123, 22, 25, 8080, 3389};
    const std::uint32_t h = Mix(n);
    Flow f{};
    f.srcAddr = (10u << 24) | static_cast<std::uint32_t>(n & 0xFFFFFF);
    f.dstAddr = (192u << 24) | (168u << 16) | ((h & 0xFF) << 8) | (1 + (h >> 8) % 254);
    if (gPublicAddresses) {
        f.srcAddr = PublicAddress(Mix(n ^ 0x5bd1e995));
        f.dstAddr = PublicAddress(h);
    }
    f.nextHop = (10u << 24) | (255u << 16) | 1;
    f.protocol = kProtocols[n % 8];
    f.srcPort = f.protocol == 1 ? 0 : static_cast<std::uint16_t>(1024 + (h >> 16) % 64000);
    f.dstPort = f.protocol == 1 ? static_cast<std::uint16_t>(0x0800) : kServices[(h >> 3) % 8];
    f.tcpFlags = f.protocol == 6 ? 0x1B : 0;
    f.tos = static_cast<std::uint8_t>((h >> 24) & 0xFC);
    f.bytes = 40 + Mix(n + 0x9E3779B97F4A7C15ULL) % 1500000;
    f.packets = 1 + f.bytes / 1200;
    f.inputIf = static_cast<std::uint16_t>(1 + n % 4);
    f.outputIf = static_cast<std::uint16_t>(5 + n % 3);
    f.srcMask = 8;
    f.dstMask = 24;
    f.srcAs = 0;
    f.dstAs = static_cast<std::uint16_t>(64512 + n % 1000);
    // Flows ended within the last half second and lasted up to 30 s; sysUptime starts high
    // enough that these never wrap below zero.
    f.last = sysUptime - static_cast<std::uint32_t>(h % 500);
    f.first = f.last - static_cast<std::uint32_t>((h >> 9) % 30000);
    return f;
}

struct ExportClock {
    std::uint32_t sysUptime;
    std::uint32_t unixSecs;
    std::uint32_t unixNsecs;
};

std::size_t EncodeV5(std::uint8_t* buf, const Options& opts, std::uint64_t firstFlow, const ExportClock& clock) {
    Writer w(buf);
    w.U16(5);
    w.U16(static_cast<std::uint32_t>(opts.records));
    w.U32(clock.sysUptime);
    w.U32(clock.unixSecs);
    w.U32(clock.unixNsecs);
    w.U32(static_cast<std::uint32_t>(firstFlow));
    w.U8(opts.sourceId >> 8);
    w.U8(opts.sourceId);
    w.U16(0);  // not sampled
    for (int r = 0; r < opts.records; ++r) {
        const Flow f = MakeFlow(firstFlow + static_cast<std::uint64_t>(r), clock.sysUptime);
        w.U32(f.srcAddr);
        w.U32(f.dstAddr);
        w.U32(f.nextHop);
        w.U16(f.inputIf);
        w.U16(f.outputIf);
        w.U32(f.packets);
        w.U32(f.bytes);
        w.U32(f.first);
        w.U32(f.last);
        w.U16(f.srcPort);
        w.U16(f.dstPort);
        w.U8(0);
        w.U8(f.tcpFlags);
        w.U8(f.protocol);
        w.U8(f.tos);
        w.U16(f.srcAs);
        w.U16(f.dstAs);
        w.U8(f.srcMask);
        w.U8(f.dstMask);
        w.U16(0);
    }
    return static_cast<std::size_t>(w.Position() - buf);
}

bool WithTemplate(const Options& opts, std::uint64_t datagram) {
    return datagram == 0 || (opts.templateEvery > 0 && datagram % opts.templateEvery == 0);
}

void WriteTemplateSet(Writer& w, std::uint16_t setId) {
    w.U16(setId);
    w.U16(static_cast<std::uint32_t>(kTemplateSetSize));
    w.U16(kTemplateId);
    w.U16(static_cast<std::uint32_t>(kTemplate.size()));
    for (const auto& field : kTemplate) {
        w.U16(field.type);
        w.U16(field.length);
    }
}

void WriteRecord(Writer& w, const Flow& f) {
    w.U32(f.srcAddr);
    w.U32(f.dstAddr);
    w.U16(f.srcPort);
    w.U16(f.dstPort);
    w.U8(f.protocol);
    w.U32(f.bytes);
    w.U32(f.packets);
    w.U32(f.first);
    w.U32(f.last);
    w.U8(f.tcpFlags);
    w.U8(f.tos);
    w.U16(f.inputIf);
    w.U16(f.outputIf);
    w.U32(f.nextHop);
    w.U8(f.srcMask);
    w.U8(f.dstMask);
    w.U16(f.srcAs);
    w.U16(f.dstAs);
}

std::size_t EncodeV9(std::uint8_t* buf, const Options& opts, std::uint64_t datagram, std::uint64_t firstFlow,
                     const ExportClock& clock) {
    const bool withTemplate = WithTemplate(opts, datagram);
    Writer w(buf);
    w.U16(9);
    w.U16(static_cast<std::uint32_t>(opts.records + (withTemplate ? 1 : 0)));
    w.U32(clock.sysUptime);
    w.U32(clock.unixSecs);
    w.U32(static_cast<std::uint32_t>(datagram));
    w.U32(opts.sourceId);
    if (withTemplate) WriteTemplateSet(w, 0);
    const std::size_t body = 4 + kRecordSize * static_cast<std::size_t>(opts.records);
    const std::size_t padding = (4 - body % 4) % 4;
    w.U16(kTemplateId);
    w.U16(static_cast<std::uint32_t>(body + padding));
    for (int r = 0; r < opts.records; ++r) {
        WriteRecord(w, MakeFlow(firstFlow + static_cast<std::uint64_t>(r), clock.sysUptime));
    }
    w.Zero(padding);
    return static_cast<std::size_t>(w.Position() - buf);
}

// The record times stay uptimes as in v9, to keep the records alike, although the IPFIX header has
// no uptime to anchor them: a receiver may place them only roughly. Load runs count flows, not times.
std::size_t EncodeIpfix(std::uint8_t* buf, const Options& opts, std::uint64_t datagram, std::uint64_t firstFlow,
                        const ExportClock& clock) {
    const bool withTemplate = WithTemplate(opts, datagram);
    // No padding: the data set ends the message, so there is nothing after it to align.
    const std::size_t dataSet = 4 + kRecordSize * static_cast<std::size_t>(opts.records);
    const std::size_t length = kIpfixHeaderSize + (withTemplate ? kTemplateSetSize : 0) + dataSet;
    Writer w(buf);
    w.U16(10);
    w.U16(static_cast<std::uint32_t>(length));
    w.U32(clock.unixSecs);
    w.U32(static_cast<std::uint32_t>(firstFlow));  // data records in earlier messages, modulo 2^32
    w.U32(opts.sourceId);
    if (withTemplate) WriteTemplateSet(w, kIpfixTemplateSetId);
    w.U16(kTemplateId);
    w.U16(static_cast<std::uint32_t>(dataSet));
    for (int r = 0; r < opts.records; ++r) {
        WriteRecord(w, MakeFlow(firstFlow + static_cast<std::uint64_t>(r), clock.sysUptime));
    }
    return static_cast<std::size_t>(w.Position() - buf);
}

// ---------------------------------------------------------------------------------------------
// Pacing. Deadlines are absolute (start + k / rate), so a late wake-up never shifts the ones
// after it: whatever fell due meanwhile goes out at once and the average rate holds.

using Nanos = loadgen::Nanos;
using loadgen::LatenessHistogram;

volatile std::sig_atomic_t gStop = 0;

void OnSignal(int) { gStop = 1; }

Nanos NowMono() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void SleepUntil(Nanos deadline) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !gStop) {
    }
}

ExportClock ClockNow(Nanos monoStart) {
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    // The exporter pretends to have been up an hour when the run starts.
    const Nanos upMillis = 3'600'000 + (NowMono() - monoStart) / 1'000'000;
    return ExportClock{static_cast<std::uint32_t>(upMillis), static_cast<std::uint32_t>(real.tv_sec),
                       static_cast<std::uint32_t>(real.tv_nsec)};
}

struct Totals {
    std::uint64_t datagrams = 0;
    std::uint64_t flows = 0;
    std::uint64_t bytes = 0;
    std::uint64_t sendErrors = 0;
    int firstErrno = 0;
    Nanos lastSend = 0;
};

// A connected UDP socket to the destination, or -1 after saying why.
int OpenSender(const sockaddr_storage& dest, socklen_t destLen) {
    const int fd = ::socket(dest.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "nf-loadgen: socket: %s\n", std::strerror(errno));
        return -1;
    }
    // A larger send buffer lets a burst leave without blocking on loopback.
    const int sendBuffer = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&dest), destLen) != 0) {
        std::fprintf(stderr, "nf-loadgen: connect: %s\n", std::strerror(errno));
        ::close(fd);
        return -1;
    }
    // Sleeps end on time only with the smallest timer slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return fd;
}

// The datagrams a burst sends, built in place and described for sendmmsg.
struct Burst {
    std::vector<std::array<std::uint8_t, kMaxDatagram>> buffers =
        std::vector<std::array<std::uint8_t, kMaxDatagram>>(kMaxBurst);
    std::array<iovec, kMaxBurst> iov{};
    std::array<mmsghdr, kMaxBurst> msgs{};

    void Build(const Options& opts, std::uint64_t first, std::uint64_t n, const ExportClock& clock) {
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t d = first + i;
            const std::uint64_t firstFlow = d * static_cast<std::uint64_t>(opts.records);
            std::uint8_t* buf = buffers[i].data();
            const std::size_t len = opts.netflowVersion == 5   ? EncodeV5(buf, opts, firstFlow, clock)
                                    : opts.netflowVersion == 9 ? EncodeV9(buf, opts, d, firstFlow, clock)
                                                               : EncodeIpfix(buf, opts, d, firstFlow, clock);
            iov[i] = iovec{buffers[i].data(), len};
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }
};

// Sends the n datagrams of the burst; Due(k) is the deadline of its k-th one.
template <typename DueOf>
void SendBurst(int fd, Burst& b, std::uint64_t n, const Options& opts, DueOf Due, Totals& t,
               LatenessHistogram& lateness) {
    std::uint64_t sent = 0;
    while (sent < n) {
        const int rc = ::sendmmsg(fd, b.msgs.data() + sent, static_cast<unsigned>(n - sent), 0);
        if (rc < 0) {
            if (errno == EINTR && !gStop) continue;
            // This datagram is lost (a refused port reports here, on the send after it).
            ++t.sendErrors;
            if (!t.firstErrno) t.firstErrno = errno;
            ++sent;
            continue;
        }
        const Nanos after = NowMono();
        t.lastSend = after;
        for (int i = 0; i < rc; ++i) {
            const std::uint64_t k = sent + static_cast<std::uint64_t>(i);
            lateness.Add(after - Due(k));
            t.bytes += b.iov[k].iov_len;
        }
        t.datagrams += static_cast<std::uint64_t>(rc);
        t.flows += static_cast<std::uint64_t>(rc) * static_cast<std::uint64_t>(opts.records);
        sent += static_cast<std::uint64_t>(rc);
    }
}

void PrintSummary(const Options& opts, const Totals& t, const LatenessHistogram& lateness, Nanos start) {
    // Measured from the first deadline, so a late start or a catch-up burst shows as a lower rate.
    const double seconds = t.datagrams ? static_cast<double>(t.lastSend - start) / 1e9 : 0;
    const double achieved = t.datagrams > 1 && seconds > 0 ? static_cast<double>(t.datagrams - 1) / seconds : 0;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;

    std::printf("datagrams:   %llu\n", static_cast<unsigned long long>(t.datagrams));
    std::printf("flows:       %llu\n", static_cast<unsigned long long>(t.flows));
    std::printf("bytes:       %llu\n", static_cast<unsigned long long>(t.bytes));
    std::printf("seconds:     %.3f\n", seconds);
    std::printf("rate:        %.1f datagrams/s (asked %.6g, %.2f%%), %.0f flows/s\n", achieved, opts.rate,
                opts.rate > 0 ? 100.0 * achieved / opts.rate : 0.0, achieved * opts.records);
    std::printf("lateness:    mean %.1f us, p99 < %ld us, max %.1f us\n", lateness.MeanMicros(),
                lateness.PercentileMicros(0.99), lateness.MaxMicros());
    std::printf("send errors: %llu%s%s\n", static_cast<unsigned long long>(t.sendErrors),
                t.firstErrno ? ", first: " : "", t.firstErrno ? std::strerror(t.firstErrno) : "");
    std::printf("cpu seconds: %.2f\n", cpu);
    if (gStop) std::printf("stopped:     early, by signal\n");
}

int Run(const Options& opts, const sockaddr_storage& dest, socklen_t destLen) {
    const int fd = OpenSender(dest, destLen);
    if (fd < 0) return kExitSocket;

    const std::uint64_t total =
        opts.count ? *opts.count : static_cast<std::uint64_t>(std::ceil(*opts.duration * opts.rate - 1e-9));
    const double periodNs = 1e9 / opts.rate;
    const Nanos spin = static_cast<Nanos>(opts.spinMicros * 1000);
    Burst burst;
    LatenessHistogram lateness;
    Totals t;

    if (!opts.quiet) {
        std::fprintf(stderr,
                     "nf-loadgen: version %d to %s port %u, %d records per datagram, %.6g datagrams/s, %llu"
                     " datagrams\n",
                     opts.netflowVersion, opts.host.c_str(), static_cast<unsigned>(opts.port), opts.records, opts.rate,
                     static_cast<unsigned long long>(total));
    }

    const Nanos start = NowMono() + 1'000'000;  // a millisecond to settle
    auto deadlineOf = [&](std::uint64_t k) {
        return start + static_cast<Nanos>(static_cast<long double>(k) * periodNs);
    };
    std::uint64_t next = 0;  // datagrams built so far; the sequence counters follow from it
    while (next < total && !gStop) {
        const Nanos due = deadlineOf(next);
        Nanos now = NowMono();
        if (due - now > spin) {
            SleepUntil(due - spin);
            now = NowMono();
        }
        while (now < due) now = NowMono();

        // Everything due by now goes out together: the planned burst, plus any catch-up.
        std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(opts.burst), total - next);
        while (n < static_cast<std::uint64_t>(kMaxBurst) && next + n < total && deadlineOf(next + n) <= now) ++n;
        burst.Build(opts, next, n, ClockNow(start));
        SendBurst(
            fd, burst, n, opts, [&](std::uint64_t k) { return deadlineOf(next + k); }, t, lateness);
        next += n;
    }
    ::close(fd);
    PrintSummary(opts, t, lateness, start);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options opts;
    switch (ParseArguments(argc, argv, opts)) {
        case Request::UsageError:
            return kExitUsage;
        case Request::Help:
            PrintUsage(stdout);
            return kExitOk;
        case Request::Version:
            std::printf("nf-loadgen %s\n", NFC_PROJECT_VERSION);
            return kExitOk;
        case Request::Send:
            break;
    }
    gPublicAddresses = opts.publicAddresses;
    sockaddr_storage dest{};
    socklen_t destLen = 0;
    std::string why;
    if (!ResolveDestination(opts, dest, destLen, why)) {
        std::fprintf(stderr, "nf-loadgen: refused: %s\n", why.c_str());
        return kExitRefused;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    return opts.replayFile.empty() ? Run(opts, dest, destLen) : RunReplay(opts, dest, destLen, gStop);
}
