// What nf-query prints: CSV and JSON that any reader takes back unchanged, times that say their
// offset, counts that neither wrap nor change form, and the lines of each answer.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "QueryOutput.h"
#include "ScopedTimeZone.h"

namespace {

using query::Format;

constexpr std::int64_t kNow = 1796907600000;  // 2026-12-10T14:00:00.000+01:00

FlowAddress Address(const char* Text) { return FlowAddress::Parse(Text); }

FlowRecord SampleFlow() {
    FlowRecord r;
    r.ReceivedMs = kNow + 123;
    r.StartMs = kNow - 1877;
    r.EndMs = kNow + 100;
    r.Exporter = Address("192.0.2.1");
    r.Domain = 7;
    r.Version = 9;
    r.Source = Address("10.0.0.1");
    r.SourcePort = 40000;
    r.Destination = Address("2001:db8::7");
    r.DestinationPort = 443;
    r.Protocol = 6;
    r.TcpFlags = 0x1b;
    r.SourceMask = 24;
    r.DestinationMask = 64;
    r.InputIf = 3;
    r.OutputIf = 4;
    r.SourceAS = 64500;
    r.Bytes = 1500;
    r.Packets = 3;
    r.SamplingRate = 100;
    return r;
}

class QueryOutputTest : public ::testing::Test {
  protected:
    ScopedTimeZone Zone_{"CET-1CEST,M3.5.0,M10.5.0/3"};
};

TEST(QueryEscaping, CsvFieldsAreQuotedOnlyWhereAReaderWouldSplitThem) {
    EXPECT_EQ(query::CsvField("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(query::CsvField("2001:db8::1"), "2001:db8::1");
    EXPECT_EQ(query::CsvField(""), "");
    EXPECT_EQ(query::CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(query::CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(query::CsvField("\""), "\"\"\"\"");
    EXPECT_EQ(query::CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(query::CsvField("cr\r"), "\"cr\r\"");
}

TEST(QueryEscaping, JsonStringsStayValidWhateverTheBytes) {
    EXPECT_EQ(query::JsonString(""), "\"\"");
    EXPECT_EQ(query::JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
    EXPECT_EQ(query::JsonString("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(query::JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\x7f\"");
    EXPECT_EQ(query::JsonString(std::string("nul\0end", 7)), "\"nul\\u0000end\"");
    // Whole UTF-8 passes as it is; anything else becomes U+FFFD, a byte at a time.
    EXPECT_EQ(query::JsonString("caf\xC3\xA9 \xE2\x89\x88 \xF0\x9F\x98\x80"),
              "\"caf\xC3\xA9 \xE2\x89\x88 \xF0\x9F\x98\x80\"");
    const std::string bad = "\xEF\xBF\xBD";
    EXPECT_EQ(query::JsonString("\xFF"), "\"" + bad + "\"");
    EXPECT_EQ(query::JsonString("a\xC3"), "\"a" + bad + "\"");                              // cut short
    EXPECT_EQ(query::JsonString("\xC0\xAF"), "\"" + bad + bad + "\"");                      // overlong '/'
    EXPECT_EQ(query::JsonString("\xE0\x80\xAF"), "\"" + bad + bad + bad + "\"");            // overlong, 3 bytes
    EXPECT_EQ(query::JsonString("\xED\xA0\x80"), "\"" + bad + bad + bad + "\"");            // a surrogate
    EXPECT_EQ(query::JsonString("\xF4\x90\x80\x80"), "\"" + bad + bad + bad + bad + "\"");  // above U+10FFFF
    EXPECT_EQ(query::JsonString("\xC3x"), "\"" + bad + "x\"");
}

TEST_F(QueryOutputTest, TimesCarryMillisecondsAndTheOffsetInForceThen) {
    EXPECT_EQ(query::FormatTime(kNow + 123), "2026-12-10T14:00:00.123+01:00");
    EXPECT_EQ(query::FormatTime(1782900000000), "2026-07-01T12:00:00.000+02:00");
    ScopedTimeZone::Set("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(query::FormatTime(kNow), "2026-12-10T08:00:00.000-05:00");
    ScopedTimeZone::Set("IST-5:30");
    EXPECT_EQ(query::FormatTime(kNow + 9), "2026-12-10T18:30:00.009+05:30");
    ScopedTimeZone::Set("UTC0");
    EXPECT_EQ(query::FormatTime(0), "1970-01-01T00:00:00.000+00:00");
    EXPECT_EQ(query::FormatTime(-1), "1969-12-31T23:59:59.999+00:00");
}

TEST_F(QueryOutputTest, JsonNumbersArePlainIntegersAndScaledCountsNeverWrap) {
    EXPECT_EQ(query::ScaledCount(1500, 100), 150000u);
    EXPECT_EQ(query::ScaledCount(UINT64_MAX, 1), UINT64_MAX);
    EXPECT_EQ(query::ScaledCount(1ULL << 63, 4), UINT64_MAX);
    EXPECT_EQ(query::ScaledCount(0, UINT32_MAX), 0u);

    FlowRecord r = SampleFlow();
    r.Bytes = UINT64_MAX;
    r.Packets = 0;
    r.SamplingRate = UINT32_MAX;
    const std::string line = query::FlowListWriter(Format::Json).Line(r);
    EXPECT_NE(line.find("\"bytes\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"scaled_bytes\":18446744073709551615,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"packets\":0,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"sampling_rate\":4294967295}"), std::string::npos) << line;
    EXPECT_NE(line.find("\"next_hop\":null,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"proto\":6,"), std::string::npos) << line;
}

TEST_F(QueryOutputTest, AFlowLineInEachFormat) {
    const FlowRecord r = SampleFlow();
    const query::FlowListWriter table(Format::Table);
    EXPECT_EQ(table.Header(),
              "RECEIVED                        DURATION PROTO   SOURCE                 DESTINATION                   "
              "BYTES    PACKETS   RATE   SCALED_BYTES  SCALED_PACKETS EXPORTER             IN    OUT SRC_CC SRC_AS"
              "                   DST_CC DST_AS\n");
    // Without a location database no address has a place; the exporter's own AS number still shows.
    EXPECT_EQ(
        table.Line(r),
        "2026-12-10T14:00:00.123+01:00      1.977 TCP     10.0.0.1:40000         [2001:db8::7]:443              "
        "1500          3    100         150000             300 192.0.2.1             3      4 -      - (exporter: "
        "AS64500)    -      -\n");

    const query::FlowListWriter csv(Format::Csv);
    EXPECT_EQ(csv.Header(),
              "received,start,end,exporter,domain,version,src,sport,dst,dport,proto,tcp_flags,tos,src_mask,dst_mask,"
              "next_hop,in_if,out_if,src_as,dst_as,src_country,src_asn,src_as_name,dst_country,dst_asn,dst_as_name,"
              "bytes,packets,scaled_bytes,scaled_packets,sampling_rate\n");
    EXPECT_EQ(csv.Line(r),
              "2026-12-10T14:00:00.123+01:00,2026-12-10T13:59:58.123+01:00,2026-12-10T14:00:00.100+01:00,192.0.2.1,7,9,"
              "10.0.0.1,40000,2001:db8::7,443,6,27,0,24,64,,3,4,64500,0,,,,,,,1500,3,150000,300,100\n");

    const query::FlowListWriter json(Format::Json);
    EXPECT_EQ(json.Header(), "");
    EXPECT_EQ(json.Line(r),
              "{\"received\":\"2026-12-10T14:00:00.123+01:00\",\"start\":\"2026-12-10T13:59:58.123+01:00\","
              "\"end\":\"2026-12-10T14:00:00.100+01:00\",\"exporter\":\"192.0.2.1\",\"domain\":7,\"version\":9,"
              "\"src\":\"10.0.0.1\",\"sport\":40000,\"dst\":\"2001:db8::7\",\"dport\":443,\"proto\":6,\"tcp_flags\":27,"
              "\"tos\":0,\"src_mask\":24,\"dst_mask\":64,\"next_hop\":null,\"in_if\":3,\"out_if\":4,\"src_as\":64500,"
              "\"dst_as\":0,\"src_country\":null,\"src_asn\":null,\"src_as_name\":null,\"dst_country\":null,"
              "\"dst_asn\":null,\"dst_as_name\":null,\"bytes\":1500,\"packets\":3,\"scaled_bytes\":150000,"
              "\"scaled_packets\":300,\"sampling_rate\":100}\n");
}

// Names as the location database and the DNS would give them, without either.
query::Labels FakeLabels(bool Hosts) {
    query::Labels labels;
    labels.Place = [](const FlowAddress& A) {
        if (A == Address("8.8.8.8")) return names::Place{15169, names::PackCountry("US")};
        if (A == Address("2001:db8::7")) return names::Place{64501, names::PackCountry("DE")};
        return names::Place{};
    };
    labels.AsName = [](std::uint32_t Asn) { return Asn == 15169 ? std::string("GOOGLE") : std::string(); };
    labels.CountryName = [](std::uint16_t Country) {
        return Country == names::PackCountry("US") ? std::string("United States, \"of\" America") : std::string();
    };
    if (Hosts) {
        labels.HostName = [](const FlowAddress& A) {
            return A == Address("8.8.8.8") ? std::string("dns.google") : std::string();
        };
    }
    return labels;
}

TEST_F(QueryOutputTest, AFlowLineShowsWhereItsAddressesBelongAndTheirNames) {
    FlowRecord r = SampleFlow();
    r.Source = Address("8.8.8.8");
    r.SourceAS = 15169;  // the same as the database's: said once
    r.DestinationAS = 3320;
    const std::string table = query::FlowListWriter(Format::Table, FakeLabels(true)).Line(r);
    EXPECT_NE(table.find(" 8.8.8.8:40000 (dns.google) "), std::string::npos) << table;
    EXPECT_NE(table.find(" [2001:db8::7]:443 "), std::string::npos) << table;  // no name known: none shown
    EXPECT_NE(table.find(" US     AS15169 GOOGLE           DE     AS64501 (exporter: AS3320)\n"), std::string::npos)
        << table;

    const query::FlowListWriter csv(Format::Csv, FakeLabels(true));
    EXPECT_NE(csv.Header().find(",src,src_name,sport,dst,dst_name,dport,"), std::string::npos) << csv.Header();
    EXPECT_NE(csv.Line(r).find(",8.8.8.8,dns.google,40000,2001:db8::7,,443,"), std::string::npos) << csv.Line(r);
    EXPECT_NE(csv.Line(r).find(",15169,3320,US,15169,GOOGLE,DE,64501,,1500,"), std::string::npos) << csv.Line(r);
    // Without --resolve there are no name fields at all.
    EXPECT_EQ(query::FlowListWriter(Format::Csv, FakeLabels(false)).Header().find("_name,sport"), std::string::npos);

    const std::string json = query::FlowListWriter(Format::Json, FakeLabels(true)).Line(r);
    EXPECT_NE(json.find("\"src\":\"8.8.8.8\",\"src_name\":\"dns.google\",\"sport\":40000,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"dst_name\":null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"src_country\":\"US\",\"src_asn\":15169,\"src_as_name\":\"GOOGLE\",\"dst_country\":\"DE\","
                        "\"dst_asn\":64501,\"dst_as_name\":null,"),
              std::string::npos)
        << json;
}

TEST_F(QueryOutputTest, LocationTopsGiveCodesAndNamesApartInMachineFormats) {
    const history::Span span{kNow - 3600000, kNow};
    history::TopResult top;
    history::TopRow us, none;
    us.Number = names::PackCountry("US");
    us.Sums = {3, 3000, 30, 3000, 30, 0, 0};
    none.Sums = {1, 1000, 10, 1000, 10, 0, 0};  // Number 0: addresses the database has no entry for
    top.Rows = {us, none};
    top.Sums = {4, 4000, 40, 4000, 40, 0, 0};
    const query::Labels labels = FakeLabels(false);
    EXPECT_EQ(query::TopText(Format::Csv, history::TopKey::SourceCountry, history::RankBy::Bytes, span, top, labels),
              "row,rank,src_country,src_country_name,flows,bytes,packets,scaled_bytes,scaled_packets\n"
              "top,1,US,\"United States, \"\"of\"\" America\",3,3000,30,3000,30\n"
              "top,2,,,1,1000,10,1000,10\n"
              "total,,,,4,4000,40,4000,40\n");
    const std::string table =
        query::TopText(Format::Table, history::TopKey::DestinationCountry, history::RankBy::Bytes, span, top, labels);
    EXPECT_NE(table.find("  DESTINATION COUNTRY"), std::string::npos) << table;
    EXPECT_NE(table.find("    1  US   "), std::string::npos) << table;
    EXPECT_NE(table.find("    2  unknown   "), std::string::npos) << table;

    top.Rows[0].Number = 15169;
    const std::string json =
        query::TopText(Format::Json, history::TopKey::DestinationAsn, history::RankBy::Bytes, span, top, labels);
    EXPECT_EQ(json.rfind("{\"row\":\"top\",\"rank\":1,\"dst_asn\":15169,\"dst_as_name\":\"GOOGLE\",\"flows\":3,", 0),
              0u)
        << json;
    EXPECT_NE(json.find("{\"row\":\"top\",\"rank\":2,\"dst_asn\":null,\"dst_as_name\":null,"), std::string::npos)
        << json;
    const std::string asTable =
        query::TopText(Format::Table, history::TopKey::SourceAsn, history::RankBy::Bytes, span, top, labels);
    EXPECT_NE(asTable.find("    1  AS15169 GOOGLE "), std::string::npos) << asTable;
    EXPECT_NE(asTable.find("    2  unknown "), std::string::npos) << asTable;

    // An answer's own note stands in for the general one.
    top.Exact = false;
    top.Note = "some flows are in \"other\"";
    const std::string noted =
        query::TopText(Format::Table, history::TopKey::SourceAsn, history::RankBy::Bytes, span, top, labels);
    EXPECT_NE(noted.find("note: some flows are in \"other\"\n"), std::string::npos) << noted;
    EXPECT_EQ(noted.find(query::kSummaryNote), std::string::npos) << noted;
}

history::TopResult SampleTop() {
    history::TopResult t;
    history::TopRow a;
    a.First = Address("10.0.0.1");
    a.Second = Address("10.0.0.2");
    a.Sums = {3, 3000, 30, 300000, 3000, 100, 100};
    history::TopRow other;
    other.Other = true;
    other.Sums = {1, 100, 1, 100, 1, 0, 0};
    t.Rows = {a, other};
    t.Sums = {4, 3100, 31, 300100, 3001, 100, 100};
    return t;
}

TEST_F(QueryOutputTest, TopAnswersHaveOneHeaderAndMarkTheOtherAndTotalRows) {
    const history::Span span{kNow - 3600000, kNow};
    history::TopResult top = SampleTop();
    top.Exact = false;

    EXPECT_EQ(query::TopText(Format::Csv, history::TopKey::Conversation, history::RankBy::Bytes, span, top),
              "row,rank,addr_a,addr_b,flows,bytes,packets,scaled_bytes,scaled_packets\n"
              "top,1,10.0.0.1,10.0.0.2,3,3000,30,300000,3000\n"
              "other,,,,1,100,1,100,1\n"
              "total,,,,4,3100,31,300100,3001\n");
    EXPECT_EQ(query::TopText(Format::Json, history::TopKey::InputIf, history::RankBy::Bytes, span, top),
              "{\"row\":\"top\",\"rank\":1,\"exporter\":\"10.0.0.1\",\"in_if\":0,\"flows\":3,\"bytes\":3000,"
              "\"packets\":30,\"scaled_bytes\":300000,\"scaled_packets\":3000}\n"
              "{\"row\":\"other\",\"rank\":null,\"exporter\":null,\"in_if\":null,\"flows\":1,\"bytes\":100,"
              "\"packets\":1,\"scaled_bytes\":100,\"scaled_packets\":1}\n"
              "{\"row\":\"total\",\"rank\":null,\"exporter\":null,\"in_if\":null,\"flows\":4,\"bytes\":3100,"
              "\"packets\":31,\"scaled_bytes\":300100,\"scaled_packets\":3001}\n");

    const std::string table =
        query::TopText(Format::Table, history::TopKey::Conversation, history::RankBy::Flows, span, top);
    EXPECT_EQ(table,
              "top 1 by flows, 2026-12-10T13:00:00.000+01:00 to 2026-12-10T14:00:00.000+01:00\n"
              " RANK  CONVERSATION                  FLOWS       BYTES         PACKETS    SHARE\n"
              "    1  10.0.0.1 <-> 10.0.0.2             3    300.0 kB            3000   75.0 %\n"
              "       other                             1       100 B               1   25.0 %\n"
              "       total                             4    300.1 kB            3001  100.0 %\n"
              "bytes and packets estimated from sampled data, 1 in 100\n"
              "note: " +
                  std::string(query::kSummaryNote) + "\n");

    top.Exact = true;
    const std::string exact =
        query::TopText(Format::Table, history::TopKey::Conversation, history::RankBy::Flows, span, top);
    EXPECT_EQ(exact.find("note:"), std::string::npos);
}

TEST_F(QueryOutputTest, CountsInEachFormat) {
    const history::Span span{kNow - 3600000, kNow};
    EXPECT_EQ(query::CountText(Format::Table, span, 42), "42\n");
    EXPECT_EQ(query::CountText(Format::Csv, span, 0),
              "from,to,flows\n2026-12-10T13:00:00.000+01:00,2026-12-10T14:00:00.000+01:00,0\n");
    EXPECT_EQ(query::CountText(Format::Json, span, 42),
              "{\"from\":\"2026-12-10T13:00:00.000+01:00\",\"to\":\"2026-12-10T14:00:00.000+01:00\",\"flows\":42}\n");
}

}  // namespace
