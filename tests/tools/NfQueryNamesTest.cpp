// nf-query's countries, AS numbers and host names, run as a program: the location keys of --top in
// each format, the places in flow lists, a missing location database, and --resolve, which asks the
// DNS only when given. The NfQueryDnsServer cases need the test DNS server (tests/testsupport/
// dns_server.py run -- ...) and skip without it.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "HistoryFixture.h"
#include "QueryProcess.h"

namespace {

using queryprocess::Outcome;
using queryprocess::RunQuery;
using queryprocess::ScratchFolder;

// 2026-12-10T13:00:00Z; the program runs in UTC.
constexpr std::int64_t kBase = 1796907600000;
const std::vector<std::string> kUtc = {"TZ=UTC0"};
const std::vector<std::string> kHour = {"--from", "2026-12-10T13:00Z", "--to", "2026-12-10T14:00Z"};

FlowRecord Flow(std::int64_t ReceivedMs, const char* Source, const char* Destination, std::uint64_t Bytes) {
    FlowRecord r;
    r.ReceivedMs = r.StartMs = r.EndMs = ReceivedMs;
    r.Exporter = FlowAddress::Parse("192.0.2.1");
    r.Source = FlowAddress::Parse(Source);
    r.Destination = FlowAddress::Parse(Destination);
    r.SourcePort = 40000;
    r.DestinationPort = 53;
    r.Protocol = 17;
    r.Bytes = Bytes;
    r.Packets = 1;
    r.SamplingRate = 1;
    r.Version = 9;
    return r;
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> lines;
    std::istringstream in(Text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class NfQueryPlaces : public ::testing::Test {
  protected:
    void SetUp() override {
        // Google's addresses (US, AS15169) send most, then Cloudflare's (AU, AS13335), then a private
        // address, which the database has no entry for.
        const std::vector<FlowRecord> flows = {
            Flow(kBase + 1000, "8.8.8.8", "10.0.0.9", 5000),
            Flow(kBase + 2000, "2001:4860:4860::8888", "10.0.0.9", 4000),
            Flow(kBase + 3000, "1.1.1.1", "8.8.8.8", 2000),
            Flow(kBase + 61000, "10.0.0.9", "1.1.1.1", 700),
        };
        historyfixture::HistoryFolder history(Data_.Path() + "/history");
        history.AddFlows(flows);
        history.Summarize(flows);
    }

    Outcome Ask(std::vector<std::string> Args, const std::vector<std::string>& Env = kUtc) const {
        Args.insert(Args.begin(), kHour.begin(), kHour.end());
        Args.insert(Args.begin(), {"--data-dir", Data_.Path()});
        return RunQuery(Args, Env);
    }

    ScratchFolder Data_;
};

TEST_F(NfQueryPlaces, LocationTopsInEveryFormat) {
    const Outcome csv = Ask({"--top", "src-country", "--format", "csv"});
    EXPECT_EQ(csv.ExitCode, 0) << csv.Err;
    EXPECT_EQ(csv.Err, "");
    const std::vector<std::string> rows = Lines(csv.Out);
    ASSERT_EQ(rows.size(), 5u) << csv.Out;
    EXPECT_EQ(rows[0], "row,rank,src_country,src_country_name,flows,bytes,packets,scaled_bytes,scaled_packets");
    EXPECT_EQ(rows[1].rfind("top,1,US,", 0), 0u) << rows[1];
    EXPECT_NE(rows[1].find(",2,9000,2,9000,2"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[2].rfind("top,2,AU,", 0), 0u) << rows[2];
    EXPECT_EQ(rows[3], "top,3,,,1,700,1,700,1");
    EXPECT_EQ(rows[4], "total,,,,4,11700,4,11700,4");

    const Outcome json = Ask({"--top", "dst-asn", "--format", "json", "-n", "2"});
    EXPECT_EQ(json.ExitCode, 0) << json.Err;
    const std::vector<std::string> objects = Lines(json.Out);
    ASSERT_EQ(objects.size(), 3u) << json.Out;
    EXPECT_EQ(objects[0].rfind("{\"row\":\"top\",\"rank\":1,\"dst_asn\":null,\"dst_as_name\":null,\"flows\":2,", 0), 0u)
        << objects[0];
    EXPECT_EQ(objects[1].rfind("{\"row\":\"top\",\"rank\":2,\"dst_asn\":15169,\"dst_as_name\":\"GOOGLE\",", 0), 0u)
        << objects[1];

    const Outcome table = Ask({"--top", "src-asn"});
    EXPECT_EQ(table.ExitCode, 0) << table.Err;
    EXPECT_NE(table.Out.find(" RANK  SOURCE ASN "), std::string::npos) << table.Out;
    EXPECT_NE(table.Out.find("    1  AS15169 GOOGLE "), std::string::npos) << table.Out;
    EXPECT_NE(table.Out.find("    2  AS13335 "), std::string::npos) << table.Out;
    EXPECT_NE(table.Out.find("    3  unknown "), std::string::npos) << table.Out;
}

TEST_F(NfQueryPlaces, FlowListsShowWhereBothAddressesBelong) {
    const Outcome csv = Ask({"--flows", "--format", "csv"});
    EXPECT_EQ(csv.ExitCode, 0) << csv.Err;
    EXPECT_EQ(csv.Err, "");
    const std::vector<std::string> rows = Lines(csv.Out);
    ASSERT_EQ(rows.size(), 5u) << csv.Out;
    EXPECT_NE(rows[0].find(",src_as,dst_as,src_country,src_asn,src_as_name,dst_country,dst_asn,dst_as_name,"),
              std::string::npos);
    EXPECT_NE(rows[1].find(",0,0,US,15169,GOOGLE,,,,"), std::string::npos) << rows[1];
    EXPECT_NE(rows[3].find(",AU,13335,"), std::string::npos) << rows[3];
    EXPECT_NE(rows[3].find(",US,15169,GOOGLE,"), std::string::npos) << rows[3];
}

TEST_F(NfQueryPlaces, WithoutTheLocationDatabaseLocationTopsFailAndListsSaySo) {
    const std::string missing = Data_.Path() + "/no-location.db";
    for (const char* key : {"src-country", "dst-country", "src-asn", "dst-asn"}) {
        const Outcome top = Ask({"--top", key, "--location-db", missing});
        EXPECT_EQ(top.ExitCode, 1) << key;
        EXPECT_EQ(top.Out, "");
        EXPECT_EQ(top.Err.rfind("nf-query: the top query failed: countries and AS numbers need the location "
                                "database (" +
                                    missing + ": No such file or directory)\n",
                                0),
                  0u)
            << top.Err;
    }
    // A file that is there but no database.
    { std::ofstream(Data_.Path() + "/junk.db") << "not a database\n"; }
    const Outcome junk = Ask({"--top", "src-asn", "--location-db", Data_.Path() + "/junk.db"});
    EXPECT_EQ(junk.ExitCode, 1);
    EXPECT_NE(junk.Err.find("junk.db: not a location database"), std::string::npos) << junk.Err;

    // The other keys and the flow lists do without: the lists leave the columns empty and say why.
    EXPECT_EQ(Ask({"--top", "src-as", "--location-db", missing}).ExitCode, 0);
    const Outcome flows = Ask({"--flows", "--format", "csv", "--location-db", missing});
    EXPECT_EQ(flows.ExitCode, 0) << flows.Err;
    EXPECT_NE(flows.Err.find("nf-query: note: no countries or AS numbers (" + missing), std::string::npos) << flows.Err;
    EXPECT_NE(Lines(flows.Out).at(1).find(",0,0,,,,,,,"), std::string::npos) << flows.Out;
}

// A UDP socket on a free loopback port that stands for a DNS server and never answers.
class SilentServer {
  public:
    SilentServer() {
        Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (Fd_ < 0 || ::bind(Fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
            ADD_FAILURE() << "no loopback UDP socket";
        }
        Port_ = ntohs(at.sin_port);
    }
    ~SilentServer() {
        if (Fd_ >= 0) ::close(Fd_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(Port_); }
    // Datagrams waiting, without waiting for more.
    int Received() const {
        int count = 0;
        char buffer[1500];
        while (::recv(Fd_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) ++count;
        return count;
    }

  private:
    int Fd_ = -1;
    std::uint16_t Port_ = 0;
};

TEST_F(NfQueryPlaces, NoNameIsAskedWithoutResolve) {
    const SilentServer server;
    for (const char* action : {"--flows", "--top"}) {
        std::vector<std::string> args = {action};
        if (std::string(action) == "--top") args.push_back("src");
        args.insert(args.end(), {"--dns-server", server.Address()});
        const Outcome out = Ask(args);
        EXPECT_EQ(out.ExitCode, 0) << out.Err;
    }
    EXPECT_EQ(server.Received(), 0);
    // The same with --resolve does ask, and a server that never answers holds the listing back only
    // for the bounded wait; the flows come without names.
    const Outcome named = Ask({"--flows", "--format", "csv", "--resolve", "--dns-server", server.Address()});
    EXPECT_EQ(named.ExitCode, 0) << named.Err;
    EXPECT_GT(server.Received(), 0);
    EXPECT_NE(named.Out.find(",8.8.8.8,,40000,"), std::string::npos) << named.Out;
}

// --- against the test DNS server -----------------------------------------------------------------

class NfQueryDnsServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* server = std::getenv("NFC_DNS_SERVER");
        if (server == nullptr || server[0] == '\0') GTEST_SKIP() << "no test DNS server (NFC_DNS_SERVER)";
        Server_ = server;
        if (const char* log = std::getenv("NFC_DNS_QUERY_LOG")) Log_ = log;
        // Addresses the server's hosts file names, and one it has no name for.
        const std::vector<FlowRecord> flows = {
            Flow(kBase + 1000, "203.0.113.7", "198.51.100.20", 3000),
            Flow(kBase + 2000, "2001:db8::10", "192.0.2.99", 2000),
            Flow(kBase + 3000, "198.51.100.20", "203.0.113.7", 1000),
        };
        historyfixture::HistoryFolder history(Data_.Path() + "/history");
        history.AddFlows(flows);
        history.Summarize(flows);
    }

    Outcome Ask(std::vector<std::string> Args) const {
        Args.insert(Args.begin(), kHour.begin(), kHour.end());
        Args.insert(Args.begin(), {"--data-dir", Data_.Path(), "--dns-server", Server_});
        return RunQuery(Args, kUtc);
    }

    // PTR questions the server has had so far.
    int Questions() const {
        std::ifstream in(Log_);
        int count = 0;
        for (std::string line; std::getline(in, line);) count += line.find("query[PTR]") != std::string::npos;
        return count;
    }

    std::string Server_;
    std::string Log_;
    ScratchFolder Data_;
};

TEST_F(NfQueryDnsServer, ResolvedNamesStandBesideTheAddressesInEveryFormat) {
    const int before = Questions();
    const Outcome plain = Ask({"--flows"});
    EXPECT_EQ(plain.ExitCode, 0) << plain.Err;
    EXPECT_EQ(plain.Out.find("mail.example.org"), std::string::npos);
    if (!Log_.empty()) {
        EXPECT_EQ(Questions(), before) << "asked without --resolve";
    }

    const Outcome table = Ask({"--flows", "--resolve"});
    EXPECT_EQ(table.ExitCode, 0) << table.Err;
    const std::vector<std::string> lines = Lines(table.Out);
    ASSERT_EQ(lines.size(), 4u) << table.Out;
    EXPECT_NE(lines[1].find(" 203.0.113.7:40000 (mail.example.org) "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(" 198.51.100.20:53 (www.example.net) "), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" [2001:db8::10]:40000 (v6host.example.org) "), std::string::npos) << lines[2];
    EXPECT_NE(lines[2].find(" 192.0.2.99:53 "), std::string::npos) << lines[2];  // no name: the address alone
    if (!Log_.empty()) {
        EXPECT_GT(Questions(), before);
    }

    const Outcome csv = Ask({"--flows", "--resolve", "--format", "csv"});
    EXPECT_EQ(csv.ExitCode, 0) << csv.Err;
    EXPECT_NE(csv.Out.find(",src,src_name,sport,dst,dst_name,dport,"), std::string::npos) << csv.Out;
    EXPECT_NE(csv.Out.find(",2001:db8::10,v6host.example.org,40000,192.0.2.99,,53,"), std::string::npos) << csv.Out;

    const Outcome json = Ask({"--top", "src", "--resolve", "--format", "json"});
    EXPECT_EQ(json.ExitCode, 0) << json.Err;
    EXPECT_NE(json.Out.find("\"src\":\"203.0.113.7\",\"src_name\":\"mail.example.org\","), std::string::npos)
        << json.Out;
    const Outcome top = Ask({"--top", "conversation", "--resolve"});
    EXPECT_NE(top.Out.find("198.51.100.20 (www.example.net) <-> 203.0.113.7 (mail.example.org)"), std::string::npos)
        << top.Out;
}

}  // namespace
