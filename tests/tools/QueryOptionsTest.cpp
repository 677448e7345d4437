// nf-query's command line: every refusal names its option, the times an operator writes mean the
// moments they name, and what a valid line asks for reaches the query unchanged.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "QueryOptions.h"
#include "ScopedTimeZone.h"

namespace {

using query::Action;
using query::Format;
using query::Options;
using query::Request;

// 2026-12-10T14:00:00.000 in Central European time (13:00 UTC).
constexpr std::int64_t kNow = 1796907600000;
constexpr std::int64_t kHour = 3600000;

struct Parsed {
    Request What = Request::UsageError;
    Options Opts;
    std::string Error;
};

Parsed Parse(std::vector<std::string> Args) {
    Args.insert(Args.begin(), "nf-query");
    std::vector<char*> argv;
    for (std::string& a : Args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.What = query::ParseArguments(static_cast<int>(Args.size()), argv.data(), kNow, p.Opts, p.Error);
    return p;
}

class QueryOptionsTest : public ::testing::Test {
  protected:
    ScopedTimeZone Zone_{"CET-1CEST,M3.5.0,M10.5.0/3"};
};

struct Refusal {
    std::vector<std::string> Args;
    std::string Names;  // what the message must contain
};

TEST_F(QueryOptionsTest, EveryBadValueIsRefusedNamingItsOption) {
    const std::vector<Refusal> cases = {
        {{"--count", "--from", "yesterday"}, "--from: not a time: \"yesterday\""},
        {{"--count", "--from", "-5x"}, "--from"},
        {{"--count", "--from", "2026-12-10T24:00"}, "--from"},
        {{"--count", "--to", "2026-13-01"}, "--to: not a time"},
        {{"--count", "--to", "2026-02-29"}, "--to"},
        {{"--count", "--from"}, "--from needs a value"},
        {{"--top", "src", "--by", "octets"}, "--by: unknown measure \"octets\""},
        {{"--top", "src", "-n", "0"}, "-n"},
        {{"--top", "src", "-n", "ten"}, "-n: not a number"},
        {{"--top", "src", "-n", "2000000"}, "-n"},
        {{"--flows", "-n", "-1"}, "-n: not a number"},
        {{"--flows", "-n"}, "-n needs a value"},
        {{"--count", "--format", "xml"}, "--format: unknown format \"xml\" (one of table, csv, json)"},
        {{"--count", "--filter", "10.0.0.0/33"},
         "--filter: not an address, prefix, port, protocol or exporter: 10.0.0.0/33"},
        {{"--count", "--filter", "tcp bogus"}, "--filter: not an address, prefix, port, protocol or exporter: bogus"},
        {{"--count", "--filter", "proto:nosuch"}, "proto:nosuch"},
        {{"--count", "--filter", "exporter:192.0.2.1/40"}, "exporter:192.0.2.1/40"},
        {{"--count", "--data-dir", ""}, "--data-dir"},
        {{"--count", "--bogus"}, "unknown or ambiguous option '--bogus'"},
        {{"--count", "--f=x"}, "'--f'"},
        {{"--count", "-x"}, "unknown option '-x'"},
        {{"--count=5"}, "--count takes no value"},
        {{"--count", "stray"}, "unexpected argument 'stray'"},
        {{"--help", "stray"}, "unexpected argument 'stray'"},
        {{"--top", "src-county"}, "--top: unknown key \"src-county\""},
        {{"--count", "--resolve"}, "--resolve goes with --top or --flows"},
        {{"--flows", "--resolve", "--dns-server", "resolver.example"}, "--dns-server: not an IPv4 or IPv6 address"},
        {{"--flows", "--resolve", "--dns-server", "192.0.2.53:99999"}, "--dns-server: the port must be"},
        {{"--flows", "--dns-server"}, "--dns-server needs a value"},
        {{"--flows", "--location-db", ""}, "--location-db: give a file"},
        {{"--flows", "--resolve=yes"}, "--resolve takes no value"},
    };
    for (const Refusal& c : cases) {
        const Parsed p = Parse(c.Args);
        EXPECT_EQ(p.What, Request::UsageError) << c.Args.back();
        EXPECT_NE(p.Error.find(c.Names), std::string::npos) << "got: " << p.Error;
    }
}

TEST_F(QueryOptionsTest, AnUnknownTopKeyListsTheKnownOnes) {
    const Parsed p = Parse({"--top", "foo"});
    EXPECT_EQ(p.What, Request::UsageError);
    EXPECT_EQ(p.Error,
              "--top: unknown key \"foo\" (one of src, dst, conversation, proto, sport, dport, exporter, in-if, "
              "out-if, src-as, dst-as, src-country, dst-country, src-asn, dst-asn)");
}

TEST_F(QueryOptionsTest, ExactlyOneActionAndOnlyTheOptionsThatGoWithIt) {
    const std::vector<Refusal> cases = {
        {{}, "give one of --count, --top KEY and --flows"},
        {{"--from", "-2h"}, "give one of --count"},
        {{"--count", "--flows"}, "only one of"},
        {{"--top", "src", "--top", "dst"}, "only one of"},
        {{"--count", "--count"}, "only one of"},
        {{"--count", "-n", "5"}, "-n goes with --top or --flows"},
        {{"--flows", "--by", "bytes"}, "--by goes with --top"},
        {{"--count", "--from", "2026-12-10T15:00", "--to", "2026-12-10T14:00"}, "--from is after --to"},
        {{"--count", "--from", "-30m", "--to", "-1h"}, "--from is after --to"},
        {{"--count", "--from", "2026-12-11"}, "--from is after --to (now"},
    };
    for (const Refusal& c : cases) {
        const Parsed p = Parse(c.Args);
        EXPECT_EQ(p.What, Request::UsageError);
        EXPECT_NE(p.Error.find(c.Names), std::string::npos) << "got: " << p.Error;
    }
}

TEST_F(QueryOptionsTest, DefaultsAskForTheLastHourAsATable) {
    const Parsed count = Parse({"--count"});
    ASSERT_EQ(count.What, Request::Run) << count.Error;
    EXPECT_EQ(count.Opts.What, Action::Count);
    EXPECT_EQ(count.Opts.Range.FromMs, kNow - kHour);
    EXPECT_EQ(count.Opts.Range.ToMs, kNow);
    EXPECT_EQ(count.Opts.Output, Format::Table);
    EXPECT_TRUE(count.Opts.DataDir.empty());
    EXPECT_TRUE(count.Opts.Filter.Empty());

    const Parsed top = Parse({"--top", "conversation"});
    ASSERT_EQ(top.What, Request::Run);
    EXPECT_EQ(top.Opts.Key, history::TopKey::Conversation);
    EXPECT_EQ(top.Opts.By, history::RankBy::Bytes);
    EXPECT_EQ(top.Opts.TopRows, 10u);

    EXPECT_EQ(Parse({"--flows"}).Opts.FlowLimit, 1000u);
    EXPECT_EQ(Parse({"--flows", "-n", "0"}).Opts.FlowLimit, 0u);

    // Only an end: the hour before it, not the hour before now.
    const Parsed until = Parse({"--count", "--to", "2026-12-01"});
    ASSERT_EQ(until.What, Request::Run);
    EXPECT_EQ(until.Opts.Range.ToMs - until.Opts.Range.FromMs, kHour);
}

TEST_F(QueryOptionsTest, EveryOptionReachesTheQueryInEachSpelling) {
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"--top", "in-if", "--by", "packets", "-n", "5", "--format", "csv", "--data-dir",
                                      "/srv/flows", "--filter", "tcp 443", "--from", "-2h", "--to", "-1h"},
             std::vector<std::string>{"--top=in-if", "--by=packets", "-n5", "--format=csv", "--data-dir=/srv/flows",
                                      "--filter=tcp 443", "--from=-2h", "--to=-1h"},
             std::vector<std::string>{"--from", "-2h", "--to", "-1h", "--lim", "5", "--form", "csv", "--fi", "tcp 443",
                                      "--data", "/srv/flows", "--by", "packets", "--top", "in-if"},
         }) {
        const Parsed p = Parse(args);
        ASSERT_EQ(p.What, Request::Run) << p.Error;
        EXPECT_EQ(p.Opts.What, Action::Top);
        EXPECT_EQ(p.Opts.Key, history::TopKey::InputIf);
        EXPECT_EQ(p.Opts.By, history::RankBy::Packets);
        EXPECT_EQ(p.Opts.TopRows, 5u);
        EXPECT_EQ(p.Opts.Output, Format::Csv);
        EXPECT_EQ(p.Opts.DataDir, "/srv/flows");
        EXPECT_EQ(p.Opts.Filter.Terms().size(), 2u);
        EXPECT_EQ(p.Opts.Range.FromMs, kNow - 2 * kHour);
        EXPECT_EQ(p.Opts.Range.ToMs, kNow - kHour);
    }
    EXPECT_EQ(Parse({"--help"}).What, Request::Help);
    EXPECT_EQ(Parse({"-h", "--count"}).What, Request::Help);
    EXPECT_EQ(Parse({"--version"}).What, Request::Version);
}

TEST_F(QueryOptionsTest, LocationAndNameOptionsReachTheQuery) {
    const Parsed plain = Parse({"--flows"});
    ASSERT_EQ(plain.What, Request::Run);
    EXPECT_EQ(plain.Opts.LocationDatabase, names::kLocationDatabase);
    EXPECT_FALSE(plain.Opts.Resolve);
    EXPECT_FALSE(plain.Opts.DnsServer);

    const Parsed p = Parse({"--top=dst-asn", "--location-db=/srv/loc.db", "--resolve", "--dns-server", "[::1]:5353"});
    ASSERT_EQ(p.What, Request::Run) << p.Error;
    EXPECT_EQ(p.Opts.Key, history::TopKey::DestinationAsn);
    EXPECT_EQ(p.Opts.LocationDatabase, "/srv/loc.db");
    EXPECT_TRUE(p.Opts.Resolve);
    ASSERT_TRUE(p.Opts.DnsServer);
    EXPECT_EQ(p.Opts.DnsServer->ToString(), "[::1]:5353");
    for (const char* key : {"src-country", "dst-country", "src-asn", "dst-asn"}) {
        const Parsed top = Parse({"--top", key});
        ASSERT_EQ(top.What, Request::Run) << key;
        EXPECT_TRUE(history::LocationKey(top.Opts.Key)) << key;
        EXPECT_STREQ(history::TopKeyName(top.Opts.Key), key);
    }
    // The exporter's own AS fields stay keys of their own.
    EXPECT_FALSE(history::LocationKey(Parse({"--top", "src-as"}).Opts.Key));
}

TEST_F(QueryOptionsTest, LocalTimesNameTheMomentTheyShowInEveryForm) {
    struct Form {
        const char* Text;
        std::int64_t Ms;
    };
    const std::int64_t midnight = kNow - 14 * kHour;
    for (const Form& f : {
             Form{"2026-12-10T14:00", kNow},
             Form{"2026-12-10 14:00", kNow},
             Form{"2026-12-10T14:00:05", kNow + 5000},
             Form{"2026-12-10T14:00:05.250", kNow + 5250},
             Form{"2026-12-10T14:00:05.2", kNow + 5200},
             Form{"2026-12-10T14:00:05.123999", kNow + 5123},  // cut, not rounded
             Form{"2026-12-10", midnight},
             Form{"2026-12-10T13:00Z", kNow},
             Form{"2026-12-10T14:00+01:00", kNow},
             Form{"2026-12-10T14:00+0100", kNow},
             Form{"2026-12-10T14:00+01", kNow},
             Form{"2026-12-10T08:00-05:00", kNow},
             Form{"2026-12-10T18:30:00.000+05:30", kNow},
             Form{"2026-07-01T12:00", 1782900000000},  // summer time: UTC+2
             Form{"2024-02-29T00:00Z", 1709164800000},
             Form{"now", kNow},
             Form{"-30s", kNow - 30000},
             Form{"-30m", kNow - 1800000},
             Form{"-1h", kNow - kHour},
             Form{"-7d", kNow - 7 * 24 * kHour},
             Form{"-0s", kNow},
         }) {
        std::int64_t ms = 0;
        EXPECT_TRUE(query::ParseTime(f.Text, kNow, ms)) << f.Text;
        EXPECT_EQ(ms, f.Ms) << f.Text;
    }
}

TEST_F(QueryOptionsTest, TimesThatNameNoMomentAreRefused) {
    for (const char* text : {
             "",
             "-",
             "-h",
             "30m",
             "+1h",
             "-1.5h",
             "-1w",
             "Now",
             "-99999999999999999999d",
             "-9999999999d",
             "2026-12-1",
             "2026-12-10T14",
             "2026-12-10T1400",
             "2026-12-10T14:00:60",
             "2026-12-10T14:60",
             "2026-12-10T14:00:05.",
             "2026-12-10T14:00:05.1234567890",
             "2026-12-10T14:00Z junk",
             "2026-12-10Z",
             "2026-12-10T14:00+24:00",
             "2026-12-10T14:00+01:0",
             "2026-02-29",
             "2026-04-31",
             "2026-00-10",
             "2026-12-00",
             "2026-12-10t14:00",
             " 2026-12-10",
             // The clocks go from 02:00 to 03:00 on this day: half past two never happens.
             "2026-03-29T02:30",
         }) {
        std::int64_t ms = 7;
        EXPECT_FALSE(query::ParseTime(text, kNow, ms)) << text;
        EXPECT_EQ(ms, 7) << text;
    }
}

TEST_F(QueryOptionsTest, TheClickHousePasswordFileIsReadWhicheverOptionComesFirst) {
    const std::string file =
        (std::filesystem::temp_directory_path() / ("nf-query-password-" + std::to_string(::getpid()))).string();
    std::ofstream(file) << "reader:s3cret\n";
    const std::string url = "http://127.0.0.1:8123/?database=netflow";
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"--count", "--clickhouse", url, "--clickhouse-password-file", file},
             std::vector<std::string>{"--clickhouse-password-file=" + file, "--count", "--clickhouse=" + url},
         }) {
        const Parsed p = Parse(args);
        ASSERT_EQ(p.What, Request::Run) << p.Error;
        ASSERT_TRUE(p.Opts.ClickHouse.has_value());
        EXPECT_EQ(p.Opts.ClickHouse->Database, "netflow");
        EXPECT_EQ(p.Opts.ClickHouse->User, "reader");
        EXPECT_EQ(p.Opts.ClickHouse->Password, "s3cret");
        EXPECT_TRUE(p.Opts.DataDir.empty());
    }
    std::filesystem::remove(file);
    EXPECT_FALSE(Parse({"--count"}).Opts.ClickHouse.has_value());
}

}  // namespace
