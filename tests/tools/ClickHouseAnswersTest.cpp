// What nf-query says to a ClickHouse server and how it reads the answers, without a server: the
// span's edges, the filter's addresses in the column form, and answers that break off or arrive in
// pieces. Whether the server agrees with the local history is NfQueryClickHouseTest's matter.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClickHouseAnswers.h"

namespace {

using namespace query;

FlowFilter Filter(const std::string& Text) {
    FlowFilter filter;
    EXPECT_TRUE(filter.Parse(Text)) << Text;
    return filter;
}

bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

TEST(ClickHouseStatements, TheSpanIsByReceiveTimeAndBoundsTheStartByADayEitherSide) {
    // 2026-12-10T13:00:00Z to 14:00:00Z: from included, to excluded; the start a day (and a second
    // for its whole seconds) around the receive times the span can hold.
    EXPECT_EQ(chsql::SpanCondition({1796907600000, 1796911200000}),
              "received_ms >= 1796907600000 AND received_ms < 1796911200000"
              " AND start >= toDateTime(1796821199) AND start < toDateTime(1796997601)");

    // Nothing before 1970 is stored, and a start bound beyond what the column holds is left out.
    EXPECT_EQ(chsql::SpanCondition({-5000, 1000}),
              "received_ms >= 0 AND received_ms < 1000 AND start < toDateTime(86402)");
    EXPECT_EQ(chsql::SpanCondition({4294967295000, 4294967296000}),
              "received_ms >= 4294967295000 AND received_ms < 4294967296000 AND start >= toDateTime(4294880894)");

    // An empty span asks for nothing rather than for an inverted range.
    EXPECT_EQ(chsql::SpanCondition({1000, 1000}), "0");
    EXPECT_EQ(chsql::SpanCondition({-2000, -1000}), "0");
    EXPECT_TRUE(Has(chsql::CountStatement({1000, 1000}, FlowFilter()), "WHERE 0 FORMAT"));
}

TEST(ClickHouseStatements, FilterAddressesTakeTheColumnFormAndStayInTheirFamily) {
    // IPv4 is mapped into IPv6 in the columns; a prefix is the range of its addresses.
    EXPECT_EQ(chsql::FilterCondition(Filter("exporter:10.1.2.0/24")),
              "(exporter BETWEEN unhex('00000000000000000000FFFF0A010200') AND "
              "unhex('00000000000000000000FFFF0A0102FF'))");
    // An IPv6 prefix that reaches into the mapped block or down to no address at all keeps out
    // IPv4 flows and missing addresses; one that does not, needs no such clause.
    EXPECT_EQ(chsql::FilterCondition(Filter("exporter:::/0")),
              "(exporter BETWEEN unhex('00000000000000000000000000000000') AND "
              "unhex('FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF') AND NOT (exporter BETWEEN "
              "unhex('00000000000000000000FFFF00000000') AND unhex('00000000000000000000FFFFFFFFFFFF')) AND "
              "exporter != unhex('00000000000000000000000000000000'))");
    EXPECT_EQ(chsql::FilterCondition(Filter("exporter:2001:db8::/32")),
              "(exporter BETWEEN unhex('20010DB8000000000000000000000000') AND "
              "unhex('20010DB8FFFFFFFFFFFFFFFFFFFFFFFF'))");
}

const std::string kMapped10 = "00000000000000000000FFFF0A000001";
const std::string kDoc = "20010DB8000000000000000000000009";
const std::string kZero = "00000000000000000000000000000000";

TEST(ClickHouseTopAnswer, RowsThenTotalsAndNothingElseIsAnAnswer) {
    history::TopResult result;
    std::string error;
    // Rows, the totals, and the extremes that a URL's settings may ask for.
    const std::string body = kMapped10 + "\t" + kDoc + "\t0\t2\t300\t3\t3000\t30\t10\t10\n" +  //
                             kZero + "\t\t7\t1\t5\t1\t5\t1\t0\t0\n" +                          //
                             "\n\t\t0\t9\t900\t9\t9900\t99\t10\t100\n"
                             "\n\t\t0\t1\t1\t1\t1\t1\t0\t0\n\t\t0\t2\t2\t2\t2\t2\t0\t0\n";
    ASSERT_TRUE(chsql::ReadTopAnswer(body, result, error)) << error;
    ASSERT_EQ(result.Rows.size(), 2u);
    EXPECT_EQ(result.Rows[0].First, FlowAddress::Parse("10.0.0.1"));
    EXPECT_EQ(result.Rows[0].Second, FlowAddress::Parse("2001:db8::9"));
    EXPECT_EQ(result.Rows[0].Sums.ScaledBytes, 3000u);
    EXPECT_EQ(result.Rows[0].Sums.SampledLow, 10u);
    EXPECT_EQ(result.Rows[1].First.Kind, FlowAddress::None);
    EXPECT_EQ(result.Rows[1].Number, 7u);
    EXPECT_EQ(result.Sums.Flows, 9u);
    EXPECT_EQ(result.Sums.SampledHigh, 100u);
    EXPECT_TRUE(result.Exact);

    history::TopResult none;
    EXPECT_TRUE(chsql::ReadTopAnswer("\n\t\t0\t0\t0\t0\t0\t0\t0\t0\n", none, error));
    EXPECT_TRUE(none.Rows.empty());

    // The server may break off with its error after it began to answer.
    history::TopResult broken;
    EXPECT_FALSE(chsql::ReadTopAnswer(kMapped10 + "\t\t0\t2\t300\t3\t3000\t30\t10\t10\nCode: 241, e.displayText() = "
                                                  "DB::Exception: Memory limit exceeded\n",
                                      broken, error));
    EXPECT_EQ(error.rfind("the server broke off: Code: 241", 0), 0u) << error;
    history::TopResult cut;
    EXPECT_FALSE(chsql::ReadTopAnswer(kMapped10 + "\t\t0\t2\t300\t3\t3000\t30\t10\t10\n", cut, error));
    EXPECT_FALSE(chsql::ReadTopAnswer(kMapped10 + "\t\t0\t2\t300\n\n\t\t0\t0\t0\t0\t0\t0\t0\t0\n", cut, error));
}

std::string FlowLine(const std::string& Received, const std::string& Source) {
    return Received + "\t" + Received + "\t" + Received + "\t00000000000000000000FFFFC0000201\t7\t" + Source + "\t" +
           kDoc + "\t" + kZero + "\t40000\t443\t6\t24\t0\t1\t2\t64512\t0\t24\t64\t1500\t3\t10\t0\t9\t1\n";
}

TEST(ClickHouseFlowAnswer, PiecesCutAnywhereReadAsWholeFlows) {
    const std::string body = FlowLine("1796907601000", kMapped10) + FlowLine("1796907602000", kZero);
    std::vector<FlowRecord> read;
    chsql::FlowRowReader reader([&](const FlowRecord& R) {
        read.push_back(R);
        return true;
    });
    for (const char c : body) ASSERT_TRUE(reader.Feed(&c, 1)) << reader.Error();
    ASSERT_TRUE(reader.Finish()) << reader.Error();
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].ReceivedMs, 1796907601000);
    EXPECT_EQ(read[0].Exporter, FlowAddress::Parse("192.0.2.1"));
    EXPECT_EQ(read[0].Source, FlowAddress::Parse("10.0.0.1"));
    EXPECT_EQ(read[0].Destination, FlowAddress::Parse("2001:db8::9"));
    EXPECT_EQ(read[0].NextHop.Kind, FlowAddress::None);
    EXPECT_EQ(read[0].DestinationPort, 443);
    EXPECT_EQ(read[0].SourceAS, 64512u);
    EXPECT_EQ(read[0].Bytes, 1500u);
    EXPECT_EQ(read[0].SamplingRate, 10u);
    EXPECT_EQ(read[0].Version, 9);
    EXPECT_TRUE(read[0].TimesFromExporter);
    EXPECT_EQ(read[1].Source.Kind, FlowAddress::None);
}

TEST(ClickHouseFlowAnswer, AnErrorAfterTheFirstFlowsOrAHalfLineIsAFailureNotAFlow) {
    int flows = 0;
    chsql::FlowRowReader broken([&](const FlowRecord&) {
        ++flows;
        return true;
    });
    const std::string body = FlowLine("1000", kMapped10) + "Code: 159, e.displayText() = DB::Exception: Timeout\n";
    EXPECT_FALSE(broken.Feed(body.data(), body.size()));
    EXPECT_TRUE(broken.Failed());
    EXPECT_EQ(broken.Error().rfind("the server broke off: Code: 159", 0), 0u) << broken.Error();
    EXPECT_EQ(flows, 1);

    chsql::FlowRowReader cut([&](const FlowRecord&) { return true; });
    const std::string line = FlowLine("1000", kMapped10);
    EXPECT_TRUE(cut.Feed(line.data(), line.size() - 5));
    EXPECT_FALSE(cut.Finish());
    EXPECT_TRUE(cut.Failed());

    // A value too wide for its field is not quietly cut down.
    chsql::FlowRowReader wide([&](const FlowRecord&) { return true; });
    std::string tooWide = FlowLine("1000", kMapped10);
    tooWide.replace(tooWide.find("\t443\t"), 5, "\t70000\t");
    EXPECT_FALSE(wide.Feed(tooWide.data(), tooWide.size()));

    // The caller's stop is no failure.
    chsql::FlowRowReader stopped([](const FlowRecord&) { return false; });
    EXPECT_FALSE(stopped.Feed(line.data(), line.size()));
    EXPECT_FALSE(stopped.Failed());
}

TEST(ClickHouseLocatedTop, AddressesFoldIntoTheirPlacesAndWhatTheBoundLeftOutIsOther) {
    auto row = [](const char* Address, std::uint64_t Bytes) {
        history::TopRow r;
        r.First = FlowAddress::Parse(Address);
        r.Sums = {1, Bytes, 1, Bytes, 1, 0, 0};
        return r;
    };
    const auto find = [](const FlowAddress& A) {
        if (A == FlowAddress::Parse("192.0.2.1") || A == FlowAddress::Parse("192.0.2.2"))
            return names::Place{64500, names::PackCountry("NL")};
        if (A == FlowAddress::Parse("2001:db8::1")) return names::Place{64501, names::PackCountry("NL")};
        return names::Place{};
    };
    history::TopResult answer;
    answer.Rows = {row("192.0.2.1", 500), row("2001:db8::1", 400), row("10.0.0.1", 300), row("192.0.2.2", 200)};
    answer.Sums = {4, 1400, 4, 1400, 4, 0, 0};

    history::TopResult asns = answer;
    chsql::LocateTopAnswer(history::TopKey::SourceAsn, history::RankBy::Bytes, 0, chsql::kLocatedAddresses, find, asns);
    ASSERT_EQ(asns.Rows.size(), 3u);
    EXPECT_EQ(asns.Rows[0].Number, 64500u);
    EXPECT_EQ(asns.Rows[0].Sums.ScaledBytes, 700u);
    EXPECT_EQ(asns.Rows[1].Number, 64501u);
    EXPECT_EQ(asns.Rows[2].Number, 0u);  // no entry
    EXPECT_TRUE(asns.Exact);

    // By flows and cut to one row: both IPv4 and the IPv6 address are in the same country.
    history::TopResult countries = answer;
    chsql::LocateTopAnswer(history::TopKey::DestinationCountry, history::RankBy::Flows, 1, 0, find, countries);
    ASSERT_EQ(countries.Rows.size(), 1u);
    EXPECT_EQ(countries.Rows[0].Number, names::PackCountry("NL"));
    EXPECT_EQ(countries.Rows[0].Sums.Flows, 3u);

    // The server was asked for as many addresses as it gave: the rest of the total is "other".
    history::TopResult cut = answer;
    cut.Sums = {10, 3000, 10, 3000, 10, 0, 0};
    chsql::LocateTopAnswer(history::TopKey::SourceCountry, history::RankBy::Bytes, 0, 4, find, cut);
    ASSERT_EQ(cut.Rows.size(), 3u);
    EXPECT_TRUE(cut.Rows.back().Other);
    EXPECT_EQ(cut.Rows.back().Sums.Flows, 6u);
    EXPECT_EQ(cut.Rows.back().Sums.ScaledBytes, 1600u);
    EXPECT_FALSE(cut.Exact);
    EXPECT_NE(cut.Note.find("4 addresses"), std::string::npos) << cut.Note;

    // The location keys group by address on the server.
    EXPECT_TRUE(Has(chsql::TopStatement({0, 1000}, FlowFilter(), history::TopKey::DestinationAsn,
                                        history::RankBy::Bytes, chsql::kLocatedAddresses),
                    "GROUP BY dst WITH TOTALS"));
}

}  // namespace
