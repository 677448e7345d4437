// nf-query against a real ClickHouse server, which the test command starts and names in
// NFC_CLICKHOUSE_URL: the same flows in the server's table and in a local history give the same
// answers, word for word; and a server that refuses, or lacks the database or the table, gives one
// line and status 1, without the password. Each test works in a database of its own.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "ClickHouseAnswers.h"
#include "ClickHouseClient.h"
#include "ClickHouseSchema.h"
#include "HistoryFixture.h"
#include "QueryProcess.h"

namespace {

using queryprocess::Outcome;
using queryprocess::RunQuery;
using queryprocess::ScratchFolder;

constexpr std::int64_t kMinute = 60000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
// 2026-12-10T23:30:00Z: an hour from here crosses a day, so a day file and a partition each side.
constexpr std::int64_t kBase = 1796945400000;
constexpr std::int64_t kMidnight = kBase + 30 * kMinute;
const std::vector<std::string> kUtc = {"TZ=UTC0"};

std::string Utc(std::int64_t Ms) {
    const std::time_t seconds = static_cast<std::time_t>(Ms / 1000);
    std::tm t{};
    gmtime_r(&seconds, &t);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(Ms % 1000));
    return text;
}

FlowRecord Flow(std::int64_t ReceivedMs, const char* Exporter, const char* Source, const char* Destination) {
    FlowRecord r;
    r.ReceivedMs = r.StartMs = r.EndMs = ReceivedMs;
    r.Exporter = FlowAddress::Parse(Exporter);
    r.Source = FlowAddress::Parse(Source);
    r.Destination = FlowAddress::Parse(Destination);
    r.Version = 10;
    return r;
}

// Flows over [kBase - 3 min, kBase + 64 min) from a fixed sequence, with every kind of address (and
// none), exporters of both families, counts that tie, starts up to a day either side of the receive
// time, and flows on the span's edges. Oldest first, each at a receive time of its own.
std::vector<FlowRecord> TestFlows() {
    const char* const addresses[] = {"10.0.0.1", "10.0.0.2",    "192.168.200.7", "255.255.255.255", "0.0.0.0",
                                     "::1",      "2001:db8::5", "2001:db8:1::9", "fe80::1",         "ffff::1",
                                     ""};
    const char* const exporters[] = {"192.0.2.1", "192.0.2.200", "2001:db8::e"};
    const std::uint16_t ports[] = {0, 53, 443, 40000, 65535};
    const std::uint8_t protocols[] = {0, 1, 6, 17, 58};
    const std::uint32_t interfaces[] = {0, 1, 2, 1000};
    const std::uint32_t systems[] = {0, 64512, 4200000000u};
    const std::uint64_t bytes[] = {100, 200, 1000, 1500};
    const std::uint32_t rates[] = {1, 1, 10, 100};
    const std::int64_t starts[] = {0, -kDay, kDay, -5000, 3000};
    std::uint32_t seed = 12345;
    auto pick = [&seed](std::size_t Count) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::size_t>((seed >> 16) % Count);
    };
    std::vector<FlowRecord> flows;
    // Every 20 s and 3 ms, so that no flow falls on the edges below by chance.
    for (int i = 0; i < 200; ++i) {
        FlowRecord r =
            Flow(kBase - 3 * kMinute + i * 20000 + 3, exporters[pick(3)], addresses[pick(11)], addresses[pick(11)]);
        r.StartMs = r.ReceivedMs + starts[pick(5)];
        r.EndMs = r.StartMs + 1000;
        r.TimesFromExporter = r.StartMs != r.ReceivedMs;
        r.SourcePort = ports[pick(5)];
        r.DestinationPort = ports[pick(5)];
        r.Protocol = protocols[pick(5)];
        r.InputIf = interfaces[pick(4)];
        r.OutputIf = interfaces[pick(4)];
        r.SourceAS = systems[pick(3)];
        r.DestinationAS = systems[pick(3)];
        r.Bytes = bytes[pick(4)];
        r.Packets = 1 + pick(3);
        r.SamplingRate = rates[pick(4)];
        r.Domain = static_cast<std::uint32_t>(pick(3));
        r.NextHop = FlowAddress::Parse(addresses[pick(11)]);
        r.TcpFlags = static_cast<std::uint8_t>(pick(64));
        r.Tos = static_cast<std::uint8_t>(pick(4) * 32);
        r.SourceMask = static_cast<std::uint8_t>(pick(33));
        r.DestinationMask = static_cast<std::uint8_t>(pick(129));
        r.SamplerId = pick(2);
        flows.push_back(r);
    }
    // On the edges of the hour from kBase, with starts a whole day before and after.
    FlowRecord first = Flow(kBase, "192.0.2.1", "10.0.0.1", "10.0.0.2");
    first.StartMs = kBase - kDay;
    FlowRecord last = Flow(kBase + kHour - 1, "192.0.2.1", "10.0.0.2", "10.0.0.1");
    last.StartMs = last.EndMs = kBase + kHour - 1 + kDay;
    flows.push_back(first);
    flows.push_back(last);
    flows.push_back(Flow(kBase + kHour, "192.0.2.1", "10.0.0.1", "10.0.0.2"));
    flows.push_back(Flow(kMidnight, "2001:db8::e", "::1", "10.0.0.1"));
    // Keys that tie, of every kind and none, so that a short top must choose among equals as the
    // local history does: none first, then IPv4, then IPv6, each by its bytes; a conversation's
    // smaller address first whichever way the flow went.
    const char* const ties[][2] = {{"", "10.9.9.8"},     {"10.9.9.9", "::9"},           {"::9", "10.9.9.9"},
                                   {"2001:db8::99", ""}, {"200.1.1.1", "2001:db8::98"}, {"::8", "200.1.1.2"}};
    std::int64_t at = kBase + 10 * kMinute + 1;
    for (const auto& tie : ties) {
        FlowRecord r = Flow(at, "192.0.2.200", tie[0], tie[1]);
        r.Bytes = 1000000000;
        r.Packets = 1000000;
        flows.push_back(r);
        at += 1000;
    }
    std::sort(flows.begin(), flows.end(),
              [](const FlowRecord& A, const FlowRecord& B) { return A.ReceivedMs < B.ReceivedMs; });
    return flows;
}

class NfQueryOnClickHouse : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* url = std::getenv("NFC_CLICKHOUSE_URL");
        if (url == nullptr || url[0] == '\0') {
            // Run by the test command, which starts the server, a missing URL is a failure of that.
            if (std::getenv("NFC_CLICKHOUSE_REQUIRED") != nullptr) FAIL() << "NFC_CLICKHOUSE_URL is not set";
            GTEST_SKIP() << "NFC_CLICKHOUSE_URL is not set (the test command starts a server)";
        }
        std::string error;
        ASSERT_TRUE(clickhouse::ParseUrl(url, Server_, error)) << error;
        static int made = 0;
        Database_ = "nf_query_test_" + std::to_string(::getpid()) + "_" + std::to_string(++made);
        const clickhouse::Response created = Execute("CREATE DATABASE " + Database_, Server_.Database);
        ASSERT_TRUE(created.Ok()) << created.Error();
    }

    void TearDown() override {
        if (!Database_.empty()) Execute("DROP DATABASE IF EXISTS " + Database_, Server_.Database);
    }

    clickhouse::Response Execute(const std::string& Sql, const std::string& Database) const {
        clickhouse::Endpoint in = Server_;
        in.Database = Database;
        clickhouse::Client client(in);
        return client.Execute(Sql);
    }

    // The URL of a database of the test's server, with "user@" or "user:password@" when given.
    std::string Url(const std::string& Database, const std::string& Credentials = "") const {
        return Server_.Scheme + "://" + Credentials + Server_.Host + ":" + std::to_string(Server_.Port) +
               "/?database=" + Database;
    }

    void MakeTables() const {
        for (const std::string& statement : clickhouse::CreateStatements()) {
            const clickhouse::Response answer = Execute(statement, Database_);
            ASSERT_TRUE(answer.Ok()) << answer.Error();
        }
    }

    // The flows into the server's table and into a local history.
    void Store(const std::vector<FlowRecord>& Flows) const {
        MakeTables();
        std::string rows;
        for (const FlowRecord& flow : Flows) clickhouse::AppendRow(rows, flow);
        clickhouse::Endpoint in = Server_;
        in.Database = Database_;
        clickhouse::Client client(in);
        const clickhouse::Response answer = client.Insert(clickhouse::kFlowsTable, clickhouse::FlowColumnList(), rows);
        ASSERT_TRUE(answer.Ok()) << answer.Error();
        historyfixture::HistoryFolder history(Local_.Path() + "/history");
        history.AddFlows(Flows);
    }

    Outcome AskServer(std::vector<std::string> Args) const {
        Args.insert(Args.begin(), {"--clickhouse", Url(Database_)});
        return RunQuery(Args, kUtc);
    }

    Outcome AskLocal(std::vector<std::string> Args) const {
        Args.insert(Args.begin(), {"--data-dir", Local_.Path()});
        return RunQuery(Args, kUtc);
    }

    // The same question of both stores: the same status, output and remarks.
    void Compare(const std::vector<std::string>& Args) const {
        std::string asked;
        for (const std::string& a : Args) asked += " " + a;
        const Outcome local = AskLocal(Args);
        const Outcome server = AskServer(Args);
        ASSERT_EQ(local.ExitCode, 0) << asked << "\n" << local.Err;
        EXPECT_EQ(server.ExitCode, local.ExitCode) << asked << "\n" << server.Err;
        EXPECT_EQ(server.Out, local.Out) << asked;
        EXPECT_EQ(server.Err, local.Err) << asked;
    }

    clickhouse::Endpoint Server_;
    std::string Database_;
    ScratchFolder Local_;
};

TEST_F(NfQueryOnClickHouse, AnswersAsTheLocalHistoryDoesForTheSameFlows) {
    Store(TestFlows());
    // The location keys too: the server groups by address and nf-query places them.
    const char* const keys[] = {"src",    "dst",      "conversation", "proto",       "sport",
                                "dport",  "exporter", "in-if",        "out-if",      "src-as",
                                "dst-as", "src-asn",  "dst-asn",      "src-country", "dst-country"};
    struct Span {
        std::int64_t From, To;
    };
    // The hour with both its edges, the same less a millisecond at each end, ten minutes from midnight.
    for (const Span span :
         {Span{kBase, kBase + kHour}, Span{kBase + 1, kBase + kHour - 1}, Span{kMidnight, kMidnight + 10 * kMinute}}) {
        SCOPED_TRACE(Utc(span.From) + " to " + Utc(span.To));
        const std::vector<std::string> range = {"--from", Utc(span.From), "--to", Utc(span.To)};
        auto ask = [&](std::vector<std::string> Args) {
            Args.insert(Args.begin(), range.begin(), range.end());
            Compare(Args);
        };
        ask({"--count"});
        for (const char* filter : {"tcp", "10.0.0.0/8 443", "2001:db8::/32", "exporter:192.0.2.200", "0"}) {
            ask({"--count", "--filter", filter});
        }
        for (const char* key : keys) {
            for (const char* by : {"bytes", "packets", "flows"}) {
                ask({"--top", key, "--by", by, "-n", "3", "--format", "csv"});
            }
            // The whole table as read, with shares and the note on sampled flows.
            ask({"--top", key, "-n", "1000"});
        }
        ask({"--top", "conversation", "--filter", "tcp", "--format", "json"});
        ask({"--flows", "-n", "0", "--format", "csv"});
        ask({"--flows", "-n", "5", "--format", "json"});
        ask({"--flows", "--filter", "udp ::/0"});
    }
    // Nothing in the span is an answer.
    for (const char* action : {"--count", "--flows"}) {
        Compare({"--from", Utc(kBase - 2 * kDay), "--to", Utc(kBase - kDay), action});
    }
    Compare({"--from", Utc(kBase - 2 * kDay), "--to", Utc(kBase - kDay), "--top", "src", "--format", "csv"});
}

TEST_F(NfQueryOnClickHouse, EveryFilterTermHoldsOnTheServerWhereItHoldsForTheFlow) {
    const std::vector<FlowRecord> flows = TestFlows();
    Store(flows);
    clickhouse::Endpoint in = Server_;
    in.Database = Database_;
    clickhouse::Client client(in);
    const history::Span span{kBase - kHour, kBase + 2 * kHour};
    for (const char* text : {"10.0.0.1",
                             "10.0.0.0/8",
                             "0.0.0.0/0",
                             "128.0.0.0/1",
                             "255.255.255.255",
                             "0.0.0.0",
                             "::/0",
                             "::/1",
                             "::1",
                             "::/127",
                             "::ffff:0:0/96",
                             "::ffff:10.0.0.1",
                             "2001:db8::/32",
                             "fe80::/10",
                             "ffff::/16",
                             "8000::/1",
                             "exporter:192.0.2.0/24",
                             "exporter:192.0.2.200",
                             "exporter:2001:db8::/64",
                             "exporter:::/0",
                             "53",
                             "0",
                             "65535",
                             "proto:0",
                             "tcp",
                             "udp 53",
                             "icmp",
                             "tcp 443 10.0.0.0/8",
                             "2001:db8::5 443",
                             "10.9.9.9 ::9"}) {
        FlowFilter filter;
        ASSERT_TRUE(filter.Parse(text)) << text;
        std::uint64_t expected = 0;
        for (FlowRecord flow : flows) {
            if (flow.ReceivedMs < span.FromMs || flow.ReceivedMs >= span.ToMs) continue;
            // As the flow reads back from the table.
            for (FlowAddress* a : {&flow.Exporter, &flow.Source, &flow.Destination}) {
                *a = clickhouse::AddressFromBytes(clickhouse::AddressBytes(*a).data());
            }
            if (filter.Matches(flow)) ++expected;
        }
        const clickhouse::Response answer = client.Execute(query::chsql::CountStatement(span, filter));
        ASSERT_TRUE(answer.Ok()) << text << ": " << answer.Error();
        EXPECT_EQ(answer.Body, std::to_string(expected) + "\n") << text;
    }
}

TEST_F(NfQueryOnClickHouse, AServerWithoutTheDatabaseOrTheTableSaysSoInOneLine) {
    struct Case {
        std::string Url;
        std::string Says;
    };
    auto check = [](const Case& C) {
        const Outcome out = RunQuery({"--clickhouse", C.Url, "--count"});
        EXPECT_EQ(out.ExitCode, 1) << C.Url;
        EXPECT_EQ(out.Out, "");
        EXPECT_EQ(out.Err.rfind("nf-query: ClickHouse at ", 0), 0u) << out.Err;
        EXPECT_NE(out.Err.find(C.Says), std::string::npos) << out.Err;
        EXPECT_EQ(std::count(out.Err.begin(), out.Err.end(), '\n'), 1) << out.Err;
    };
    check({Url(Database_ + "_missing"), "refused: unknown database"});
    check({Url(Database_), "no table flows in database " + Database_});

    // A table that the collector would refuse to write is not read either.
    std::string wrong = clickhouse::CreateStatements().front();
    wrong.replace(wrong.find("bytes UInt64"), 12, "bytes UInt32");
    const clickhouse::Response made = Execute(wrong, Database_);
    ASSERT_TRUE(made.Ok()) << made.Error();
    check({Url(Database_), "the table flows does not match (bytes is UInt32, not UInt64)"});
}

TEST_F(NfQueryOnClickHouse, APasswordLetsInAndAWrongOneIsRefusedWithoutShowingIt) {
    const char* passwordUrl = std::getenv("NFC_CLICKHOUSE_PASSWORD_URL");
    const char* password = std::getenv("NFC_CLICKHOUSE_PASSWORD");
    if (passwordUrl == nullptr || password == nullptr) GTEST_SKIP() << "the test command names no user with a password";
    clickhouse::Endpoint withUser;
    std::string error;
    ASSERT_TRUE(clickhouse::ParseUrl(passwordUrl, withUser, error)) << error;
    ASSERT_FALSE(withUser.User.empty());
    Store({Flow(kBase + 1000, "192.0.2.1", "10.0.0.1", "10.0.0.2")});
    const std::vector<std::string> span = {"--from", Utc(kBase), "--to", Utc(kBase + kHour), "--count"};
    const ScratchFolder files;
    auto fileWith = [&files](const std::string& Name, const std::string& Line) {
        const std::string path = files.Path() + "/" + Name;
        std::ofstream(path) << Line << "\n";
        return path;
    };
    const std::string wrongPassword = "Wr0ngPassw0rd";

    struct Case {
        std::vector<std::string> Args;
        bool LetIn;
    };
    const std::string user = withUser.User;
    for (const Case& c : {
             Case{{"--clickhouse", Url(Database_, user + "@"), "--clickhouse-password-file",
                   fileWith("right", password)},
                  true},
             Case{{"--clickhouse", Url(Database_, user + "@"), "--clickhouse-password-file",
                   fileWith("wrong", wrongPassword)},
                  false},
             Case{{"--clickhouse", Url(Database_, user + ":" + wrongPassword + "@")}, false},
         }) {
        std::vector<std::string> args = c.Args;
        args.insert(args.end(), span.begin(), span.end());
        const Outcome out = RunQuery(args);
        EXPECT_EQ(out.Err.find(wrongPassword), std::string::npos) << out.Err;
        EXPECT_EQ(out.Err.find(password), std::string::npos) << out.Err;
        if (c.LetIn) {
            EXPECT_EQ(out.ExitCode, 0) << out.Err;
            EXPECT_EQ(out.Out, "1\n");
        } else {
            EXPECT_EQ(out.ExitCode, 1);
            EXPECT_NE(out.Err.find("refused: wrong user or password"), std::string::npos) << out.Err;
        }
    }
}

}  // namespace
