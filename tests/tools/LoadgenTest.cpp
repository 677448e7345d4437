// Runs the nf-loadgen binary as an operator would: its argument checks, its refusal to leave
// loopback, and the bytes it puts on the wire, caught on an ephemeral loopback port.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

Outcome RunLoadgen(const std::vector<std::string>& args) {
    char outPath[] = "/tmp/nf-loadgen-test-XXXXXX";
    const int outFd = ::mkstemp(outPath);
    EXPECT_GE(outFd, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    std::vector<std::string> all{NF_LOADGEN_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome out;
    if (posix_spawn(&pid, NF_LOADGEN_PATH, &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    char buf[4096];
    ::lseek(outFd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(outFd, buf, sizeof buf)) > 0;) out.output.append(buf, static_cast<std::size_t>(n));
    ::close(outFd);
    ::unlink(outPath);
    return out;
}

TEST(LoadgenArguments, HelpAndVersionAnswerWithoutSending) {
    const Outcome help = RunLoadgen({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"-N, --netflow-version", "-H, --host", "-p, --port", "-r, --rate", "-d, --duration",
                               "-c, --count", "-R, --records", "-t, --template-every", "-s, --source-id", "-b, --burst",
                               "-S, --spin-us", "--replay", "--speed", "--as-fast-as-possible", "--allow-remote",
                               "--public-addresses", "-q, --quiet", "-h, --help", "--version"}) {
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(RunLoadgen({"-h"}).output, help.output);

    // Answered even when the rest of the line could not run on its own.
    const Outcome version = RunLoadgen({"--rate", "10", "--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, std::string("nf-loadgen ") + NFC_PROJECT_VERSION + "\n");
}

// Each case: the arguments, and the text the refusal must contain (the option it is about).
struct Refusal {
    std::vector<std::string> args;
    std::string names;
};

TEST(LoadgenArguments, EveryRefusalNamesItsOptionAndExitsWithStatus2) {
    const std::vector<Refusal> cases = {
        {{"--count", "3"}, "--rate is required"},
        {{"--rate", "10"}, "--duration and --count"},
        {{"--rate", "10", "--count", "3", "--duration", "1"}, "--duration and --count"},
        {{"--rate", "0", "--count", "3"}, "--rate: '0'"},
        {{"--rate", "ten", "--count", "3"}, "--rate: 'ten'"},
        {{"--rate=1e20", "--count", "3"}, "--rate: '1e20'"},
        {{"-r", "nan", "-c", "3"}, "--rate: 'nan'"},
        {{"--rate", "10", "--count", "0"}, "--count: '0'"},
        {{"--rate", "10", "--count", "-1"}, "--count: '-1'"},
        {{"--rate", "10", "--count", "3x"}, "--count: '3x'"},
        {{"-r10", "-c3", "-N7"}, "--netflow-version: '7'; give 5, 9 or 10"},
        {{"--rate", "10", "--count", "3", "--records", "31"}, "--records"},  // v5 holds 30 at most
        {{"--rate", "10", "--count", "3", "--netflow-version", "9", "--records", "171"}, "--records"},
        {{"--rate", "10", "--count", "3", "-N", "10", "--records", "171"}, "IPFIX (version 10) carries at most 170"},
        {{"--rate", "10", "--count", "3", "-N", "10", "--records", "0"}, "--records: '0'"},
        {{"--rate", "10", "--count", "3", "--port", "0"}, "--port: '0'"},
        {{"--rate", "10", "--count", "3", "--port=65536"}, "--port: '65536'"},
        {{"--rate", "10", "--count", "3", "--burst", "65"}, "--burst: '65'"},
        {{"--rate", "10", "--count", "3", "--spin-us", "-1"}, "--spin-us: '-1'"},
        {{"--rate", "10", "--count", "3", "--host="}, "--host: ''"},
        {{"--rate", "10", "--count", "3", "--frobnicate"}, "'--frobnicate'"},
        {{"--rate", "10", "--count", "3", "--frobnicate=1"}, "'--frobnicate'"},
        {{"--rate", "10", "--count", "3", "-x"}, "'-x'"},
        {{"--rate", "10", "--count", "3", "--s", "1"}, "'--s'"},  // --source-id or --spin-us
        {{"--rate", "10", "--count", "3", "--quiet=yes"}, "--quiet takes no value"},
        {{"--rate", "10", "--count"}, "--count needs a value"},
        {{"-r", "10", "-c"}, "--count needs a value"},
        {{"--rate", "10", "--count", "3", "stray"}, "'stray'"},
        // The old spelling of the NetFlow version must not pass for a request of the program's version.
        {{"--version", "9", "--rate", "10", "--count", "3"}, "--netflow-version"},
        // A replay sends what the capture holds, at its own pace.
        {{"--replay", "x.pcap", "--rate", "10"}, "--rate, --duration and --count do not apply"},
        {{"--replay", "x.pcap", "--count", "3"}, "--rate, --duration and --count do not apply"},
        {{"--replay", "x.pcap", "--speed", "2", "--as-fast-as-possible"}, "--speed and --as-fast-as-possible"},
        {{"--replay", "x.pcap", "--speed", "0"}, "--speed: '0'"},
        {{"--replay="}, "--replay: ''"},
        {{"--rate", "10", "--count", "3", "--speed", "2"}, "go with --replay"},
        {{"--rate", "10", "--count", "3", "--as-fast-as-possible"}, "go with --replay"},
        {{"--replay", "/nonexistent/capture.pcap"}, "cannot read '/nonexistent/capture.pcap'"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += a + " ";
        const Outcome out = RunLoadgen(c.args);
        EXPECT_EQ(out.exitCode, 2) << line << "\n" << out.output;
        EXPECT_NE(out.output.find("nf-loadgen: "), std::string::npos) << line << "\n" << out.output;
        EXPECT_NE(out.output.find(c.names), std::string::npos) << line << "\n" << out.output;
        EXPECT_EQ(out.output.find("datagrams:"), std::string::npos) << line;
    }
}

TEST(LoadgenArguments, DestinationsOutsideLoopbackAreRefusedBeforeSending) {
    // Names are refused without a lookup, since resolving one would itself leave the machine.
    for (const char* host : {"192.0.2.1", "10.1.2.3", "2001:db8::1", "::ffff:192.0.2.1", "example.invalid"}) {
        const Outcome out = RunLoadgen({"--host", host, "--port", "9", "--rate", "1000", "--count", "1"});
        EXPECT_EQ(out.exitCode, 3) << host << "\n" << out.output;
        EXPECT_NE(out.output.find("refused"), std::string::npos) << host;
        EXPECT_EQ(out.output.find("datagrams:"), std::string::npos) << host;
    }
}

// A loopback socket on an ephemeral port that collects what the generator sends.
class Catcher {
  public:
    Catcher() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Catcher() { ::close(fd_); }
    std::string Port() const { return std::to_string(port_); }

    // Whatever has arrived; the generator has exited by now, so a short wait suffices.
    std::vector<std::vector<std::uint8_t>> Take(std::size_t expected) {
        std::vector<std::vector<std::uint8_t>> got;
        while (got.size() < expected) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            std::vector<std::uint8_t> buf(65536);
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0) break;
            buf.resize(static_cast<std::size_t>(n));
            got.push_back(std::move(buf));
        }
        return got;
    }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

std::uint32_t Be16(const std::vector<std::uint8_t>& d, std::size_t at) {
    return static_cast<std::uint32_t>(d.at(at) << 8 | d.at(at + 1));
}
std::uint32_t Be32(const std::vector<std::uint8_t>& d, std::size_t at) { return Be16(d, at) << 16 | Be16(d, at + 2); }

bool NearNow(std::uint32_t unixSecs) {
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    return now - unixSecs >= -2 && now - unixSecs <= 60;
}

TEST(LoadgenWire, Version5DatagramsCarryRecordsAndFlowSequence) {
    Catcher catcher;
    const Outcome out = RunLoadgen({"--netflow-version", "5", "--port", catcher.Port(), "--rate", "1000", "--count",
                                    "3", "--records", "2", "--source-id", "513"});
    ASSERT_EQ(out.exitCode, 0) << out.output;
    EXPECT_NE(out.output.find("flows:       6"), std::string::npos) << out.output;
    const auto got = catcher.Take(3);
    ASSERT_EQ(got.size(), 3u);
    std::uint32_t lastUptime = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& d = got[i];
        ASSERT_EQ(d.size(), 24u + 2 * 48) << i;
        EXPECT_EQ(Be16(d, 0), 5u);
        EXPECT_EQ(Be16(d, 2), 2u);
        EXPECT_GE(Be32(d, 4), lastUptime);
        lastUptime = Be32(d, 4);
        EXPECT_TRUE(NearNow(Be32(d, 8)));
        EXPECT_LT(Be32(d, 12), 1'000'000'000u);  // nanoseconds
        EXPECT_EQ(Be32(d, 16), 2 * i) << "flows sent before this datagram";
        EXPECT_EQ(d[20], 2);  // engine type: high byte of the source id
        EXPECT_EQ(d[21], 1);  // engine id: low byte
        for (std::size_t r = 0; r < 2; ++r) {
            const std::size_t at = 24 + 48 * r;
            EXPECT_EQ(d[at], 10) << "source address in 10/8";
            EXPECT_EQ(d[at + 4], 192) << "destination address in 192.168/16";
            const std::uint8_t protocol = d[at + 38];
            EXPECT_TRUE(protocol == 1 || protocol == 6 || protocol == 17);
            EXPECT_GT(Be32(d, at + 20), 0u) << "bytes";
            EXPECT_LE(Be32(d, at + 24), Be32(d, at + 28)) << "first <= last";
            EXPECT_LE(Be32(d, at + 28), Be32(d, 4)) << "last <= sys_uptime";
        }
    }
    // Flows differ from one another (addresses run on with the flow number).
    EXPECT_NE(Be32(got[0], 24), Be32(got[0], 24 + 48));
    EXPECT_NE(Be32(got[0], 24), Be32(got[1], 24));
}

// Public addresses stand for traffic whose countries and AS numbers are looked up: none may fall in
// a network that has no entry, or every lookup would be the cheap miss.
TEST(LoadgenWire, PublicAddressesAvoidPrivateLoopbackAndLinkLocalNetworks) {
    Catcher catcher;
    const Outcome out = RunLoadgen({"--port", catcher.Port(), "--rate", "1000", "--count", "20", "--public-addresses"});
    ASSERT_EQ(out.exitCode, 0) << out.output;
    std::set<std::uint32_t> sources;
    for (const auto& d : catcher.Take(20)) {
        for (std::size_t at = 24; at + 48 <= d.size(); at += 48) {
            for (std::size_t field : {at, at + 4}) {
                const std::uint32_t a = Be32(d, field);
                const std::uint32_t first = a >> 24;
                EXPECT_TRUE(first >= 1 && first <= 223) << a;
                EXPECT_TRUE(first != 10 && first != 127 && (a >> 16) != 0xA9FE && (a >> 20) != 0xAC1 &&
                            (a >> 16) != 0xC0A8)
                    << a;
            }
            sources.insert(Be32(d, at));
        }
    }
    EXPECT_GT(sources.size(), 500u) << "addresses spread, not a handful repeated";
}

// The IPv4 template of v9 and IPFIX alike: element ids and lengths, in record order.
const std::vector<std::pair<std::uint32_t, std::uint32_t>> kExpectedTemplate = {
    {8, 4}, {12, 4}, {7, 2},  {11, 2}, {4, 1},  {1, 4}, {2, 4},  {22, 4}, {21, 4},
    {6, 1}, {5, 1},  {10, 2}, {14, 2}, {15, 4}, {9, 1}, {13, 1}, {16, 2}, {17, 2}};
constexpr std::size_t kRecord = 45;

// The template set or flowset in d at `at`, checked against the common template; its length.
std::size_t ExpectTemplate(const std::vector<std::uint8_t>& d, std::size_t at, std::uint32_t setId) {
    EXPECT_EQ(Be16(d, at), setId);
    EXPECT_EQ(Be16(d, at + 2), 8u + 4 * kExpectedTemplate.size());
    EXPECT_EQ(Be16(d, at + 4), 256u);
    EXPECT_EQ(Be16(d, at + 6), kExpectedTemplate.size());
    for (std::size_t f = 0; f < kExpectedTemplate.size(); ++f) {
        EXPECT_EQ(Be16(d, at + 8 + 4 * f), kExpectedTemplate[f].first) << f;
        EXPECT_EQ(Be16(d, at + 10 + 4 * f), kExpectedTemplate[f].second) << f;
    }
    return Be16(d, at + 2);
}

// The records of the data set that ends d, with the flow times (uptimes, read from the clock at
// sending) zeroed, so that two runs compare.
std::vector<std::uint8_t> RecordsWithoutTimes(const std::vector<std::uint8_t>& d, std::size_t records) {
    const std::size_t padding = Be16(d, 0) == 9 ? (4 - (4 + records * kRecord) % 4) % 4 : 0;
    std::vector<std::uint8_t> out(d.end() - static_cast<long>(records * kRecord + padding),
                                  d.end() - static_cast<long>(padding));
    for (std::size_t r = 0; r < records; ++r) {
        std::fill_n(out.begin() + static_cast<long>(r * kRecord + 21), 8, 0);  // FIRST and LAST_SWITCHED
    }
    return out;
}

TEST(LoadgenWire, Version9TemplateRidesEveryNthDatagramAheadOfPaddedData) {
    Catcher catcher;
    const Outcome out = RunLoadgen({"--netflow-version", "9", "--port", catcher.Port(), "--rate", "1000", "--count",
                                    "3", "--records", "3", "--template-every", "2", "--source-id", "77"});
    ASSERT_EQ(out.exitCode, 0) << out.output;
    const auto got = catcher.Take(3);
    ASSERT_EQ(got.size(), 3u);

    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& d = got[i];
        const bool withTemplate = i != 1;  // the first, then every second one
        EXPECT_EQ(Be16(d, 0), 9u);
        EXPECT_EQ(Be16(d, 2), 3u + (withTemplate ? 1 : 0)) << "count includes the template record";
        EXPECT_TRUE(NearNow(Be32(d, 8)));
        EXPECT_EQ(Be32(d, 12), i) << "datagrams sent before this one";
        EXPECT_EQ(Be32(d, 16), 77u);
        std::size_t at = 20;
        if (withTemplate) at += ExpectTemplate(d, at, 0);
        EXPECT_EQ(Be16(d, at), 256u);
        const std::size_t length = Be16(d, at + 2);
        EXPECT_EQ(length, 4 + 3 * kRecord + 1) << "135 record bytes padded to a multiple of 4";
        ASSERT_EQ(d.size(), at + length) << "the data flowset ends the datagram";
        EXPECT_EQ(d.back(), 0) << "padding is zero";
        for (std::size_t r = 0; r < 3; ++r) {
            const std::size_t rec = at + 4 + r * kRecord;
            EXPECT_EQ(d[rec], 10);       // IPV4_SRC_ADDR
            EXPECT_EQ(d[rec + 4], 192);  // IPV4_DST_ADDR
            const std::uint8_t protocol = d[rec + 12];
            EXPECT_TRUE(protocol == 1 || protocol == 6 || protocol == 17);
            EXPECT_LE(Be32(d, rec + 21), Be32(d, rec + 25)) << "FIRST_SWITCHED <= LAST_SWITCHED";
        }
    }
}

TEST(LoadgenWire, IpfixMessagesCarryTheVersion9TemplateAndRecordsInSets) {
    Catcher catcher;
    const auto send = [&](const char* version) {
        return RunLoadgen({"-N", version, "--port", catcher.Port(), "--rate", "1000", "--count", "3", "--records", "3",
                           "--template-every", "2", "--source-id", "77"});
    };
    const Outcome out = send("10");
    ASSERT_EQ(out.exitCode, 0) << out.output;
    EXPECT_NE(out.output.find("flows:       9"), std::string::npos) << out.output;
    const auto got = catcher.Take(3);
    ASSERT_EQ(got.size(), 3u);

    for (std::size_t i = 0; i < got.size(); ++i) {
        const auto& d = got[i];
        ASSERT_GE(d.size(), 16u);
        EXPECT_EQ(Be16(d, 0), 10u);
        EXPECT_EQ(Be16(d, 2), d.size()) << "the message length is the datagram's";
        EXPECT_TRUE(NearNow(Be32(d, 4))) << "export time";
        EXPECT_EQ(Be32(d, 8), 3 * i) << "data records sent before this message";
        EXPECT_EQ(Be32(d, 12), 77u) << "observation domain";
        // The sets, each framed by its own length, fill the message to its last byte.
        std::vector<std::uint32_t> setIds;
        std::size_t at = 16;
        while (at + 4 <= d.size()) {
            const std::uint32_t id = Be16(d, at);
            setIds.push_back(id);
            const std::size_t length = id == 2 ? ExpectTemplate(d, at, 2) : Be16(d, at + 2);
            ASSERT_GE(length, 4u) << i;
            at += length;
        }
        EXPECT_EQ(at, d.size()) << i;
        const bool withTemplate = i != 1;  // the first, then every second one, as in v9
        const std::vector<std::uint32_t> expectedIds =
            withTemplate ? std::vector<std::uint32_t>{2, 256} : std::vector<std::uint32_t>{256};
        EXPECT_EQ(setIds, expectedIds) << i;
        EXPECT_EQ(Be16(d, d.size() - (4 + 3 * kRecord) + 2), 4 + 3 * kRecord) << "a data set without padding";
    }

    // The records are v9's, byte for byte apart from the times: the two versions cost alike per flow.
    ASSERT_EQ(send("9").exitCode, 0);
    const auto v9 = catcher.Take(3);
    ASSERT_EQ(v9.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(RecordsWithoutTimes(got[i], 3), RecordsWithoutTimes(v9[i], 3)) << i;
    }
}

// At the most records allowed the message stays within what a collector's buffer takes, and the
// sequence number runs on by whole datagrams of records.
TEST(LoadgenWire, IpfixAtTheRecordBoundStaysBelow8000Bytes) {
    Catcher catcher;
    const Outcome out = RunLoadgen({"-N", "10", "--port", catcher.Port(), "--rate", "1000", "--count", "3", "--records",
                                    "170", "--template-every", "0"});
    ASSERT_EQ(out.exitCode, 0) << out.output;
    const auto got = catcher.Take(3);
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::size_t expected = 16 + (i == 0 ? 8 + 4 * kExpectedTemplate.size() : 0) + 4 + 170 * kRecord;
        EXPECT_EQ(got[i].size(), expected) << i;
        EXPECT_LT(got[i].size(), 8000u) << i;
        EXPECT_EQ(Be16(got[i], 2), got[i].size()) << i;
        EXPECT_EQ(Be32(got[i], 8), 170 * i) << i;
    }
}

// The same request in the three spellings getopt_long accepts must put the same datagrams on the wire.
TEST(LoadgenWire, LongOptionsWithEqualsOrNextWordAndShortOptionsSendAlike) {
    Catcher catcher;
    const std::vector<std::vector<std::string>> spellings = {
        {"--netflow-version=9", "--port=" + catcher.Port(), "--rate=1000", "--count=2", "--records=3", "--source-id=42",
         "--quiet"},
        {"--netflow-version", "9", "--port", catcher.Port(), "--rate", "1000", "--count", "2", "--records", "3",
         "--source-id", "42", "--quiet"},
        {"-N9", "-p", catcher.Port(), "-r1000", "-c", "2", "-R3", "-s42", "-q"},
    };
    for (const auto& args : spellings) {
        const Outcome out = RunLoadgen(args);
        ASSERT_EQ(out.exitCode, 0) << args.front() << "\n" << out.output;
        EXPECT_NE(out.output.find("flows:       6"), std::string::npos) << args.front() << "\n" << out.output;
        EXPECT_EQ(out.output.find("nf-loadgen: version"), std::string::npos) << "--quiet/-q keeps the banner off";
        const auto got = catcher.Take(2);
        ASSERT_EQ(got.size(), 2u) << args.front();
        for (const auto& d : got) {
            EXPECT_EQ(Be16(d, 0), 9u) << args.front();
            EXPECT_EQ(Be32(d, 16), 42u) << args.front();
            EXPECT_EQ(Be16(d, 2), 4u) << args.front() << ": 3 records and the template";
        }
    }
}

// A capture as the collector saves it (Ethernet, IPv4, UDP), or as raw IP, with the frames given.
std::string Be16Text(std::uint32_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

std::string Ipv4Udp(const std::string& payload, std::uint32_t flagsAndOffset = 0x4000, unsigned protocol = 17) {
    std::string ip = std::string("\x45\0", 2) + Be16Text(static_cast<std::uint32_t>(28 + payload.size())) +
                     std::string(2, '\0') + Be16Text(flagsAndOffset) + std::string(1, 64) +
                     std::string(1, static_cast<char>(protocol)) + std::string(2, '\0') +
                     std::string("\xC0\x00\x02\x01", 4) + std::string("\0\0\0\0", 4);
    return ip + Be16Text(2055) + Be16Text(9996) + Be16Text(static_cast<std::uint32_t>(8 + payload.size())) +
           std::string(2, '\0') + payload;
}

std::string Ethernet(const std::string& ip) { return std::string(12, '\x02') + Be16Text(0x0800) + ip; }

void WriteCapture(const std::string& path, int linkType, const std::vector<std::string>& frames) {
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> pcap(pcap_open_dead(linkType, 65535), pcap_close);
    pcap_dumper_t* dumper = pcap_dump_open(pcap.get(), path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1'700'000'000;
        header.ts.tv_usec = static_cast<suseconds_t>(i * 100);  // 0.1 ms apart
        header.caplen = header.len = static_cast<bpf_u_int32>(frames[i].size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, reinterpret_cast<const u_char*>(frames[i].data()));
    }
    pcap_dump_close(dumper);
}

std::string AsText(const std::vector<std::uint8_t>& d) { return std::string(d.begin(), d.end()); }

// Every whole UDP payload comes out again, byte for byte and in order, whatever else the file holds.
TEST(LoadgenReplay, SendsEveryUdpPayloadOfTheCaptureInOrder) {
    const std::vector<std::string> payloads = {std::string("\0\x05", 2) + "first", std::string("\0\x09", 2) + "second",
                                               std::string(1400, '\x0A'), std::string("\0\x0A", 2)};
    const std::string path = ::testing::TempDir() + "nf-loadgen-replay.pcap";
    for (const int linkType : {DLT_EN10MB, DLT_RAW}) {
        const auto frame = [&](const std::string& ip) { return linkType == DLT_EN10MB ? Ethernet(ip) : ip; };
        WriteCapture(path, linkType,
                     {frame(Ipv4Udp(payloads[0])), frame(Ipv4Udp("tcp", 0x4000, 6)), frame(Ipv4Udp(payloads[1])),
                      frame(Ipv4Udp("fragment", 0x2000)), frame(Ipv4Udp(payloads[2])), frame(Ipv4Udp(payloads[3]))});
        for (const char* pace : {"--speed=1000", "--as-fast-as-possible"}) {
            Catcher catcher;
            const Outcome out = RunLoadgen({"--replay", path, pace, "--port", catcher.Port(), "--quiet"});
            ASSERT_EQ(out.exitCode, 0) << out.output;
            EXPECT_NE(out.output.find("datagrams:   4\n"), std::string::npos) << out.output;
            EXPECT_NE(out.output.find("skipped:     2 "), std::string::npos) << out.output;
            const auto got = catcher.Take(payloads.size());
            ASSERT_EQ(got.size(), payloads.size()) << linkType << " " << pace;
            for (std::size_t i = 0; i < payloads.size(); ++i) EXPECT_EQ(AsText(got[i]), payloads[i]) << i;
        }
    }
    std::remove(path.c_str());
}

}  // namespace
