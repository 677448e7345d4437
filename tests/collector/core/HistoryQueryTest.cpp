// The flow history's questions against stores whose flows the tests know: counts from the minute
// map, filters pushed into SQL, exact and summarised tops, charts, listings, cancelling, and files
// the queries must refuse.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <unordered_map>

#include "HistoryFixture.h"
#include "HistoryQuery.h"
#include "HistoryStore.h"
#include "ScratchDirectory.h"

namespace {

using namespace history;
using historyfixture::HistoryFolder;

constexpr std::int64_t kMidnight = 1796947200000;  // 2026-12-11T00:00:00Z

FlowFilter Filter(const std::string& Text) {
    FlowFilter filter;
    EXPECT_TRUE(filter.Parse(Text)) << Text;
    return filter;
}

FlowAddress Address(const char* Text) { return FlowAddress::Parse(Text); }

historyfixture::TopCell Cell(const FlowAddress& A) {
    historyfixture::TopCell cell;
    cell.First = A;
    return cell;
}

historyfixture::TopCell OtherCell() {
    historyfixture::TopCell cell;
    cell.Other = true;
    return cell;
}

// Flows from small pools of addresses, ports and protocols, so that every kind of term matches some
// and misses others. SamplerId numbers them. Some have no source address at all, unless the flows
// are to be compared with summaries, whose keys hold such an address as 0.0.0.0.
std::vector<FlowRecord> RandomFlows(std::mt19937& Random, std::int64_t FromMs, std::int64_t ToMs, std::size_t Count,
                                    bool SomeWithoutSource = true) {
    static const char* const hosts[] = {
        "10.0.0.1",    "10.0.0.2",    "10.1.2.3",      "11.200.0.9", "192.168.1.7", "0.0.0.0", "255.255.255.255",
        "2001:db8::1", "2001:db8::2", "2001:db8:1::5", "fe80::1",    "::",          "ffff::1"};
    static const char* const exporters[] = {"192.0.2.1", "192.0.2.77", "2001:db8:ff::1"};
    static const std::uint16_t ports[] = {0, 53, 80, 443, 40000, 40001};
    static const std::uint8_t protocols[] = {0, 1, 6, 6, 17};
    std::vector<std::int64_t> times(Count);
    for (std::int64_t& t : times) t = FromMs + static_cast<std::int64_t>(Random() % (ToMs - FromMs));
    std::sort(times.begin(), times.end());
    std::vector<FlowRecord> flows;
    for (std::size_t i = 0; i < Count; ++i) {
        FlowRecord r;
        r.ReceivedMs = times[i];
        r.StartMs = r.ReceivedMs - 1000;
        r.EndMs = r.ReceivedMs - 10;
        r.Exporter = Address(exporters[Random() % std::size(exporters)]);
        if (!SomeWithoutSource || Random() % 20 != 0) r.Source = Address(hosts[Random() % std::size(hosts)]);
        r.Destination = Address(hosts[Random() % std::size(hosts)]);
        r.SourcePort = ports[Random() % std::size(ports)];
        r.DestinationPort = ports[Random() % std::size(ports)];
        r.Protocol = protocols[Random() % std::size(protocols)];
        r.Bytes = 100 * (1 + Random() % 4);
        r.Packets = 1 + Random() % 3;
        r.SamplingRate = Random() % 5 == 0 ? 10 : 1;
        r.InputIf = Random() % 3;
        r.OutputIf = Random() % 3;
        r.SourceAS = Random() % 4 * 100;
        r.DestinationAS = Random() % 2 * 200;
        r.SamplerId = i;
        r.Version = 9;
        flows.push_back(r);
    }
    return flows;
}

std::vector<FlowRecord> Within(const std::vector<FlowRecord>& Flows, const Span& Range,
                               const FlowFilter& Match = FlowFilter()) {
    std::vector<FlowRecord> in;
    for (const FlowRecord& r : Flows) {
        if (r.ReceivedMs >= Range.FromMs && r.ReceivedMs < Range.ToMs && Match.Matches(r)) in.push_back(r);
    }
    return in;
}

// What the location database installed here says of the addresses the location tests use.
names::Place ExpectedPlace(const FlowAddress& A) {
    static const std::map<FlowAddress, names::Place> places = {
        {Address("8.8.8.8"), {15169, names::PackCountry("US")}},
        {Address("1.1.1.1"), {13335, names::PackCountry("AU")}},
        {Address("2001:4860:4860::8888"), {15169, names::PackCountry("US")}},
    };
    const auto it = places.find(A);
    return it != places.end() ? it->second : names::Place{};
}

std::vector<std::uint64_t> Ids(const std::vector<FlowRecord>& Flows) {
    std::vector<std::uint64_t> ids;
    for (const FlowRecord& r : Flows) ids.push_back(r.SamplerId);
    return ids;
}

std::vector<std::uint64_t> Listed(const HistoryQuery& Query, const Span& Range, const FlowFilter& Match) {
    std::vector<std::uint64_t> ids;
    const FlowsResult result = Query.Flows(Range, Match, 0, [&](const FlowRecord& R) {
        ids.push_back(R.SamplerId);
        return true;
    });
    EXPECT_EQ(result.Error, "");
    EXPECT_EQ(result.Listed, ids.size());
    return ids;
}

// What a top table must say, worked out here from the flows themselves.
std::vector<TopRow> ReferenceTop(const std::vector<FlowRecord>& Flows, TopKey Key, RankBy By, std::size_t Rows) {
    std::map<std::tuple<FlowAddress, FlowAddress, std::uint32_t>, Totals> sums;
    for (const FlowRecord& r : Flows) {
        FlowAddress first, second;
        std::uint32_t number = 0;
        switch (Key) {
            case TopKey::Source:
                first = r.Source;
                break;
            case TopKey::Destination:
                first = r.Destination;
                break;
            case TopKey::Conversation:
                first = std::min(r.Source, r.Destination);
                second = std::max(r.Source, r.Destination);
                break;
            case TopKey::Protocol:
                number = r.Protocol;
                break;
            case TopKey::SourcePort:
                number = r.SourcePort;
                break;
            case TopKey::DestinationPort:
                number = r.DestinationPort;
                break;
            case TopKey::Exporter:
                first = r.Exporter;
                break;
            case TopKey::InputIf:
                first = r.Exporter;
                number = r.InputIf;
                break;
            case TopKey::OutputIf:
                first = r.Exporter;
                number = r.OutputIf;
                break;
            case TopKey::SourceAS:
                number = r.SourceAS;
                break;
            case TopKey::DestinationAS:
                number = r.DestinationAS;
                break;
            case TopKey::SourceCountry:
                number = ExpectedPlace(r.Source).Country;
                break;
            case TopKey::DestinationCountry:
                number = ExpectedPlace(r.Destination).Country;
                break;
            case TopKey::SourceAsn:
                number = ExpectedPlace(r.Source).Asn;
                break;
            case TopKey::DestinationAsn:
                number = ExpectedPlace(r.Destination).Asn;
                break;
        }
        sums[{first, second, number}].Add(r);
    }
    auto rank = [By](const Totals& T) {
        return By == RankBy::Bytes ? T.ScaledBytes : By == RankBy::Packets ? T.ScaledPackets : T.Flows;
    };
    std::vector<TopRow> rows;
    for (const auto& [key, totals] : sums) {  // ascending keys, so that a stable sort breaks ties by key
        TopRow row;
        std::tie(row.First, row.Second, row.Number) = key;
        row.Sums = totals;
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const TopRow& A, const TopRow& B) { return rank(A.Sums) > rank(B.Sums); });
    if (Rows != 0 && rows.size() > Rows) rows.resize(Rows);
    return rows;
}

std::string Describe(const std::vector<TopRow>& Rows) {
    std::string text;
    for (const TopRow& r : Rows) {
        text += (r.Other ? "other" : r.First.ToString() + "|" + r.Second.ToString() + "|" + std::to_string(r.Number)) +
                " flows=" + std::to_string(r.Sums.Flows) + " bytes=" + std::to_string(r.Sums.ScaledBytes) +
                " packets=" + std::to_string(r.Sums.ScaledPackets) + " raw=" + std::to_string(r.Sums.Bytes) + "/" +
                std::to_string(r.Sums.Packets) + " rates=" + std::to_string(r.Sums.SampledLow) + "-" +
                std::to_string(r.Sums.SampledHigh) + "\n";
    }
    return text;
}

Totals Sum(const std::vector<FlowRecord>& Flows) {
    Totals t;
    for (const FlowRecord& r : Flows) t.Add(r);
    return t;
}

// Points of StepMs from the step that holds From, as the chart must draw them.
std::vector<Totals> ReferenceSeries(const std::vector<FlowRecord>& Flows, const Span& Range, std::int64_t StepMs) {
    const std::int64_t start = Range.FromMs / StepMs * StepMs;
    std::vector<Totals> points(static_cast<std::size_t>((Range.ToMs - start + StepMs - 1) / StepMs));
    for (const FlowRecord& r : Within(Flows, Range))
        points[static_cast<std::size_t>((r.ReceivedMs - start) / StepMs)].Add(r);
    return points;
}

void ExpectSeries(const SeriesResult& Got, const std::vector<Totals>& Want, std::int64_t StartMs, std::int64_t StepMs) {
    EXPECT_EQ(Got.Error, "");
    EXPECT_EQ(Got.StepMs, StepMs);
    ASSERT_EQ(Got.Points.size(), Want.size());
    for (std::size_t i = 0; i < Want.size(); ++i) {
        EXPECT_EQ(Got.Points[i].StartMs, StartMs + static_cast<std::int64_t>(i) * StepMs) << i;
        EXPECT_TRUE(Got.Points[i].Sums == Want[i])
            << "step " << i << ": " << Got.Points[i].Sums.Flows << " flows, want " << Want[i].Flows;
    }
}

class HistoryQueryTest : public ScratchDirectoryTest {
  protected:
    std::string Folder() const { return Dir() + "history/"; }
    HistoryFolder& Store() {
        if (!Store_) Store_ = std::make_unique<HistoryFolder>(Folder());
        return *Store_;
    }
    HistoryQuery Query() const { return HistoryQuery(Folder()); }

  private:
    std::unique_ptr<HistoryFolder> Store_;
};

TEST_F(HistoryQueryTest, CountsWholeMinutesFromTheMapAndReadsOnlyTheMinutesASpanCuts) {
    // Across midnight into a second file, with a quiet minute after midnight.
    std::vector<FlowRecord> flows;
    for (std::int64_t t = kMidnight - 150000; t < kMidnight + 170000; t += 700) {
        if (t >= kMidnight + 60000 && t < kMidnight + 120000) continue;
        FlowRecord r;
        r.ReceivedMs = t;
        r.Protocol = t % 3 == 0 ? 17 : 6;
        flows.push_back(r);
    }
    Store().AddFlows(flows);
    const HistoryQuery query = Query();
    std::vector<Span> spans = {{kMidnight - 150000, kMidnight + 170000},  // everything
                               {kMidnight - 90500, kMidnight + 30250},    // cut minutes at both ends
                               {kMidnight - 120000, kMidnight + 60000},   // whole minutes only
                               {kMidnight + 5001, kMidnight + 5999},      // inside one minute
                               {kMidnight + 60000, kMidnight + 120000},   // the quiet minute
                               {kMidnight - 10 * kDayMs, kMidnight - 9 * kDayMs},
                               {kMidnight - kDayMs, kMidnight + kDayMs},
                               {kMidnight + 1000, kMidnight + 1000},
                               {kMidnight + 1000, kMidnight}};
    std::mt19937 random(11);
    for (int i = 0; i < 40; ++i) {
        const std::int64_t from = kMidnight - 160000 + static_cast<std::int64_t>(random() % 340000);
        spans.push_back({from, from + static_cast<std::int64_t>(random() % 200000)});
    }
    const FlowFilter udp = Filter("udp");
    for (const Span& span : spans) {
        const CountResult all = query.Count(span, FlowFilter());
        EXPECT_EQ(all.Error, "");
        EXPECT_EQ(all.Flows, Within(flows, span).size()) << span.FromMs - kMidnight << ".." << span.ToMs - kMidnight;
        EXPECT_EQ(query.Count(span, udp).Flows, Within(flows, span, udp).size()) << span.FromMs - kMidnight;
    }
}

TEST_F(HistoryQueryTest, FiltersPushedIntoSqlKeepExactlyWhatMatchesKeeps) {
    std::mt19937 random(1234);
    const std::vector<FlowRecord> flows = RandomFlows(random, kMidnight - 2 * kHourMs, kMidnight + kHourMs, 4000);
    Store().AddFlows(flows);
    // The edges of each family's ranges, a prefix across the IPv4 /8s and one across IPv6's first
    // bits, and terms that match nothing.
    std::vector<std::string> filters = {"0.0.0.0/0",
                                        "::/0",
                                        "10.0.0.0/7",
                                        "11.0.0.1/7",
                                        "fe80::/7",
                                        "0.0.0.0/32",
                                        "255.255.255.255/32",
                                        "255.255.255.255",
                                        "::/128",
                                        "ffff::1/128",
                                        "2001:db8::1/128",
                                        "2001:db8::/32",
                                        "exporter:192.0.2.0/24",
                                        "exporter:2001:db8:ff::/48",
                                        "exporter:0.0.0.0/0 udp",
                                        "0 proto:0",
                                        "proto:1 443",
                                        "172.16.0.0/12",
                                        "10.0.0.1 10.0.0.2",
                                        "65535"};
    auto address = [&](const FlowRecord& R) {
        const FlowAddress candidates[] = {R.Source, R.Destination, R.Exporter};
        const FlowAddress a = candidates[random() % 3];
        return a.Kind == FlowAddress::None ? FlowAddress::Parse("10.0.0.1") : a;
    };
    auto prefix = [&](const FlowAddress& A) {
        const int full = A.Kind == FlowAddress::IPv4 ? 32 : 128;
        const int choices[] = {0, 7, full, static_cast<int>(random() % (full + 1))};
        return A.ToString() + "/" + std::to_string(choices[random() % 4]);
    };
    for (int i = 0; i < 80; ++i) {
        std::string text;
        const int terms = 1 + static_cast<int>(random() % 3);
        for (int t = 0; t < terms; ++t) {
            const FlowRecord& r = flows[random() % flows.size()];
            switch (random() % 5) {
                case 0:
                case 1:
                    text += prefix(address(r));
                    break;
                case 2:
                    text += "exporter:" + prefix(r.Exporter);
                    break;
                case 3:
                    text += std::to_string(random() % 2 ? r.SourcePort : r.DestinationPort);
                    break;
                default:
                    text += "proto:" + std::to_string(r.Protocol);
                    break;
            }
            text += ' ';
        }
        filters.push_back(text);
    }
    const HistoryQuery query = Query();
    const Span all{kMidnight - 2 * kHourMs, kMidnight + kHourMs};
    const Span part{kMidnight - 45 * kMinuteMs - 500, kMidnight + 12 * kMinuteMs + 1};
    for (const std::string& text : filters) {
        const FlowFilter filter = Filter(text);
        for (const Span& span : {all, part}) {
            const std::vector<FlowRecord> want = Within(flows, span, filter);
            EXPECT_EQ(Listed(query, span, filter), Ids(want)) << text;
            EXPECT_EQ(query.Count(span, filter).Flows, want.size()) << text;
        }
    }
}

TEST_F(HistoryQueryTest, RawTopIsExactForEveryKeyAndRankWithTiesByKey) {
    std::mt19937 random(5);
    const std::vector<FlowRecord> flows =
        RandomFlows(random, kMidnight - 20 * kMinuteMs, kMidnight + 20 * kMinuteMs, 3000);
    Store().AddFlows(flows);
    const HistoryQuery query = Query();
    const Span span{kMidnight - 15 * kMinuteMs - 300, kMidnight + 7 * kMinuteMs + 20};
    const std::vector<FlowRecord> in = Within(flows, span);
    const FlowFilter tcp = Filter("tcp");
    for (int k = 0; k <= static_cast<int>(TopKey::DestinationAS); ++k) {
        const auto key = static_cast<TopKey>(k);
        TopKey parsed;
        ASSERT_TRUE(ParseTopKey(TopKeyName(key), parsed));
        EXPECT_EQ(parsed, key);
        for (const RankBy by : {RankBy::Bytes, RankBy::Packets, RankBy::Flows}) {
            const TopResult all = query.Top(span, key, by, 0, FlowFilter());
            EXPECT_EQ(all.Error, "");
            EXPECT_TRUE(all.Exact);
            EXPECT_TRUE(all.Sums == Sum(in));
            EXPECT_EQ(Describe(all.Rows), Describe(ReferenceTop(in, key, by, 0))) << TopKeyName(key);
            const TopResult three = query.Top(span, key, by, 3, tcp);
            EXPECT_TRUE(three.Sums == Sum(Within(flows, span, tcp)));
            EXPECT_EQ(Describe(three.Rows), Describe(ReferenceTop(Within(flows, span, tcp), key, by, 3)))
                << TopKeyName(key);
        }
    }
    TopKey ignored;
    EXPECT_FALSE(ParseTopKey("source", ignored));
}

TEST_F(HistoryQueryTest, SummaryTopJoinsHoursAndMinutesAndEndsWithTheOtherRow) {
    const std::int64_t hour = kMidnight / kHourMs;  // hours 0 and 1 of the day summed, hour 2 not yet
    auto sums = [](std::uint64_t Flows, std::uint64_t Bytes, std::uint32_t Rate = 1) {
        Totals t;
        t.Flows = Flows;
        t.Bytes = Bytes;
        t.Packets = Flows;
        t.ScaledBytes = Bytes * Rate;
        t.ScaledPackets = Flows * Rate;
        t.SampledLow = t.SampledHigh = Rate > 1 ? Rate : 0;
        return t;
    };
    const FlowAddress a = Address("10.0.0.1"), b = Address("10.0.0.2"), c = Address("2001:db8::1");
    HistoryFolder& store = Store();
    FlowRecord exporter1, exporter2;
    exporter1.Exporter = Address("192.0.2.1");
    exporter1.InputIf = 3;
    exporter1.Protocol = 6;
    exporter2.Exporter = Address("192.0.2.2");
    exporter2.InputIf = 3;
    exporter2.Protocol = 17;
    // The minute before the hours (the span starts inside it), both hours, and two minutes of the
    // hour not yet summed; the minutes inside the summed hours must not count twice.
    store.AddTop(false, hour * 60 - 1, TopKind::Source, Cell(a), sums(1, 100));
    store.AddTotals(false, hour * 60 - 1, exporter1, sums(1, 100));
    store.AddTop(true, hour, TopKind::Source, Cell(a), sums(10, 1000));
    store.AddTop(true, hour, TopKind::Source, Cell(b), sums(5, 1000));
    store.AddTop(true, hour, TopKind::Source, OtherCell(), sums(7, 70));
    store.AddTotals(true, hour, exporter1, sums(15, 2000));
    store.AddTotals(true, hour, exporter2, sums(7, 70));
    store.AddTop(false, hour * 60 + 5, TopKind::Source, Cell(a), sums(99, 99999));  // within the hour: not read
    store.AddTotals(false, hour * 60 + 5, exporter1, sums(99, 99999));
    store.AddTop(true, hour + 1, TopKind::Source, Cell(c), sums(2, 900, 10));
    store.AddTotals(true, hour + 1, exporter2, sums(2, 900, 10));
    store.AddTop(false, (hour + 2) * 60, TopKind::Source, Cell(b), sums(1, 500));
    store.AddTop(false, (hour + 2) * 60, TopKind::Source, OtherCell(), sums(3, 30));
    store.AddTotals(false, (hour + 2) * 60, exporter1, sums(4, 530));
    store.AddTop(false, (hour + 2) * 60 + 1, TopKind::Source, Cell(a), sums(1, 1));  // after the span's last minute
    store.AddTotals(false, (hour + 2) * 60 + 1, exporter1, sums(1, 1));

    HistoryQuery query = Query();
    query.SetRawScanLimit(0);
    // Grown outwards to whole minutes: from the minute before midnight to the end of hour 2's first.
    const Span span{kMidnight - 30000, kMidnight + 2 * kHourMs + 100};
    const TopResult top = query.Top(span, TopKey::Source, RankBy::Bytes, 10, FlowFilter());
    EXPECT_EQ(top.Error, "");
    EXPECT_FALSE(top.Exact);
    std::vector<TopRow> want(4);
    want[0].First = c;  // sampled: 9,000 bytes scaled
    want[0].Sums = sums(2, 900, 10);
    want[1].First = b;  // 1,500 bytes, ahead of a's 1,100
    want[1].Sums = sums(6, 1500);
    want[2].First = a;
    want[2].Sums = sums(11, 1100);
    want[3].Other = true;
    want[3].Sums = sums(10, 100);
    EXPECT_EQ(Describe(top.Rows), Describe(want));
    Totals all = sums(1, 100);
    for (const Totals& t : {sums(15, 2000), sums(7, 70), sums(2, 900, 10), sums(4, 530)}) all.Add(t);
    EXPECT_TRUE(top.Sums == all);

    // Ranked by flows a comes first; two rows keep the other row after them.
    const TopResult two = query.Top(span, TopKey::Source, RankBy::Flows, 2, FlowFilter());
    ASSERT_EQ(two.Rows.size(), 3u);
    EXPECT_EQ(two.Rows[0].First, a);
    EXPECT_EQ(two.Rows[1].First, b);
    EXPECT_TRUE(two.Rows[2].Other);

    // Interfaces come from the totals with their exporter.
    const TopResult interfaces = query.Top(span, TopKey::InputIf, RankBy::Bytes, 10, FlowFilter());
    ASSERT_EQ(interfaces.Rows.size(), 2u) << Describe(interfaces.Rows);
    EXPECT_EQ(interfaces.Rows[0].First, exporter2.Exporter);
    EXPECT_EQ(interfaces.Rows[0].Number, 3u);
    EXPECT_EQ(interfaces.Rows[0].Sums.ScaledBytes, 70u + 9000u);
    EXPECT_EQ(interfaces.Rows[1].First, exporter1.Exporter);
    EXPECT_EQ(interfaces.Rows[1].Sums.Flows, 20u);
    const TopResult protocols = query.Top(span, TopKey::Protocol, RankBy::Flows, 10, FlowFilter());
    ASSERT_EQ(protocols.Rows.size(), 2u);
    EXPECT_EQ(protocols.Rows[0].Number, 6u);
    EXPECT_EQ(protocols.Rows[1].Number, 17u);
    EXPECT_EQ(protocols.Rows[1].Sums.Flows, 9u);
}

TEST_F(HistoryQueryTest, SummaryTopKeepingEveryKeyAgreesWithTheRawAnswer) {
    std::mt19937 random(77);
    const std::int64_t from = kMidnight + 5 * kHourMs;
    const std::vector<FlowRecord> flows = RandomFlows(random, from - 10 * kMinuteMs, from + 3 * kHourMs, 3000, false);
    Store().AddFlows(flows);
    // The second whole hour of the span is not summed yet: its minutes stand in for it.
    Store().Summarize(flows, std::numeric_limits<std::size_t>::max(), from + kHourMs);
    HistoryQuery query = Query();
    const Span span{from - 7 * kMinuteMs, from + 3 * kHourMs - 2 * kMinuteMs};
    for (int k = 0; k <= static_cast<int>(TopKey::DestinationAS); ++k) {
        const auto key = static_cast<TopKey>(k);
        query.SetRawScanLimit(1000000);
        const TopResult raw = query.Top(span, key, RankBy::Bytes, 8, FlowFilter());
        query.SetRawScanLimit(100);
        const TopResult summed = query.Top(span, key, RankBy::Bytes, 8, FlowFilter());
        EXPECT_TRUE(raw.Exact);
        EXPECT_FALSE(summed.Exact);
        EXPECT_EQ(Describe(summed.Rows), Describe(raw.Rows)) << TopKeyName(key);
        EXPECT_TRUE(summed.Sums == raw.Sums);
        EXPECT_EQ(Describe(raw.Rows), Describe(ReferenceTop(Within(flows, span), key, RankBy::Bytes, 8)));
    }
    // A filter is answered from every flow whatever the span holds.
    const TopResult filtered = query.Top(span, TopKey::Source, RankBy::Flows, 5, Filter("udp"));
    EXPECT_TRUE(filtered.Exact);
    EXPECT_EQ(Describe(filtered.Rows),
              Describe(ReferenceTop(Within(flows, span, Filter("udp")), TopKey::Source, RankBy::Flows, 5)));
}

TEST_F(HistoryQueryTest, OlderThanTheRawFlowsIsAnsweredFromTheSummaries) {
    std::mt19937 random(3);
    const std::vector<FlowRecord> old =
        RandomFlows(random, kMidnight - 20 * kDayMs, kMidnight - 20 * kDayMs + kHourMs, 200, false);
    const std::vector<FlowRecord> recent = RandomFlows(random, kMidnight, kMidnight + kHourMs, 200, false);
    Store().AddFlows(recent);  // the old day's raw file has gone; its summaries stay
    std::vector<FlowRecord> both = old;
    both.insert(both.end(), recent.begin(), recent.end());
    Store().Summarize(both);
    const Span span{kMidnight - 30 * kDayMs, kMidnight + kDayMs};
    const TopResult top = Query().Top(span, TopKey::Destination, RankBy::Bytes, 0, FlowFilter());
    EXPECT_FALSE(top.Exact);
    EXPECT_EQ(Describe(top.Rows), Describe(ReferenceTop(both, TopKey::Destination, RankBy::Bytes, 0)));
    // Where the raw flows reach back far enough, they answer.
    EXPECT_TRUE(Query().Top({kMidnight, kMidnight + kDayMs}, TopKey::Source, RankBy::Bytes, 5, FlowFilter()).Exact);
}

TEST_F(HistoryQueryTest, SeriesChoosesItsStepAndZeroesEmptySteps) {
    const std::int64_t hourStart = kMidnight + 3 * kHourMs;
    std::vector<FlowRecord> seconds;
    for (const std::int64_t at : {100, 600, 700, 5000, 5999, 599999}) {
        FlowRecord r;
        r.ReceivedMs = hourStart + at;
        r.Bytes = static_cast<std::uint64_t>(at);
        r.Packets = 1;
        seconds.push_back(r);
    }
    Store().AddFlows(seconds);
    const HistoryQuery query = Query();
    const Span tenMinutes{hourStart, hourStart + 10 * kMinuteMs};
    const SeriesResult s = query.Series(tenMinutes, FlowFilter());
    ExpectSeries(s, ReferenceSeries(seconds, tenMinutes, 1000), hourStart, 1000);
    ASSERT_EQ(s.Points.size(), 600u);
    EXPECT_EQ(s.Points[0].Sums.Flows, 3u);
    EXPECT_EQ(s.Points[1].Sums.Flows, 0u);
    // A span that starts inside a second: the first point holds only the flows from its start.
    const Span cut{hourStart + 500, hourStart + 2500};
    const SeriesResult c = query.Series(cut, FlowFilter());
    ASSERT_EQ(c.Points.size(), 3u);
    EXPECT_EQ(c.Points[0].Sums.Flows, 2u);
    EXPECT_EQ(c.Points[0].StartMs, hourStart);

    // Minutes and hours come from the summaries: here every flow but the UDP ones is summed, so that
    // an answer from the raw flows would show.
    std::mt19937 random(9);
    const std::vector<FlowRecord> flows = RandomFlows(random, kMidnight - 3 * kHourMs, kMidnight + 2 * kHourMs, 3000);
    Store().AddFlows(flows);
    std::vector<FlowRecord> notUdp;
    for (const FlowRecord& r : flows) {
        if (r.Protocol != 17) notUdp.push_back(r);
    }
    Store().Summarize(notUdp, 10, kMidnight + kHourMs);  // the last hour only by its minutes
    const Span threeHours{kMidnight - 3 * kHourMs, kMidnight};
    ExpectSeries(query.Series(threeHours, FlowFilter()), ReferenceSeries(notUdp, threeHours, kMinuteMs),
                 threeHours.FromMs, kMinuteMs);
    const Span days{kMidnight - 2 * kDayMs, kMidnight + 2 * kHourMs + 1};
    ExpectSeries(query.Series(days, FlowFilter()), ReferenceSeries(notUdp, days, kHourMs), days.FromMs, kHourMs);
    ExpectSeries(query.Series(threeHours, FlowFilter(), 5 * kMinuteMs),
                 ReferenceSeries(notUdp, threeHours, 5 * kMinuteMs), threeHours.FromMs, 5 * kMinuteMs);
    // A filter reads the raw flows, whatever the step.
    const FlowFilter udp = Filter("udp");
    ExpectSeries(query.Series(threeHours, udp), ReferenceSeries(Within(flows, threeHours, udp), threeHours, kMinuteMs),
                 threeHours.FromMs, kMinuteMs);
    // Seconds over too many flows become minutes from the summaries.
    HistoryQuery limited = Query();
    limited.SetRawScanLimit(50);
    const Span halfHour{kMidnight - kHourMs, kMidnight - kHourMs / 2};
    ExpectSeries(limited.Series(halfHour, FlowFilter()), ReferenceSeries(notUdp, halfHour, kMinuteMs), halfHour.FromMs,
                 kMinuteMs);
    ExpectSeries(limited.Series(halfHour, udp), ReferenceSeries(Within(flows, halfHour, udp), halfHour, 1000),
                 halfHour.FromMs, 1000);
}

TEST_F(HistoryQueryTest, FlowsComeOldestFirstAcrossDaysWithLimitAndStop) {
    std::vector<FlowRecord> flows;
    for (int i = 0; i < 10; ++i) {
        FlowRecord r;
        r.ReceivedMs = kMidnight - 5000 + i * 1000;
        r.SamplerId = static_cast<std::uint64_t>(i);
        r.Protocol = i % 2 == 0 ? 6 : 17;
        flows.push_back(r);
    }
    // Every field makes the round trip, counters above 2^63 included.
    FlowRecord& full = flows[3];
    full.StartMs = full.ReceivedMs - 123456;
    full.EndMs = full.ReceivedMs - 1;
    full.Exporter = Address("2001:db8:ff::1");
    full.Domain = 4000000000u;
    full.Source = Address("2001:db8::1");
    full.Destination = Address("10.9.8.7");
    full.NextHop = Address("10.0.0.254");
    full.Bytes = 0xFFFFFFFFFFFFFFF0ULL;
    full.Packets = (1ULL << 63) + 5;
    full.SamplerId = 3;
    full.SamplingRate = 4000000000u;
    full.InputIf = 4000000001u;
    full.OutputIf = 7;
    full.SourceAS = 4200000000u;
    full.DestinationAS = 65000;
    full.SourcePort = 65535;
    full.DestinationPort = 1;
    full.TcpFlags = 0x1B;
    full.Tos = 0xB8;
    full.SourceMask = 64;
    full.DestinationMask = 24;
    full.Version = 10;
    full.TimesFromExporter = true;
    Store().AddFlows(flows);

    const HistoryQuery query = Query();
    const Span all{kMidnight - kDayMs, kMidnight + kDayMs};
    std::vector<FlowRecord> got;
    auto keep = [&got](const FlowRecord& R) {
        got.push_back(R);
        return true;
    };
    FlowsResult result = query.Flows(all, FlowFilter(), 0, keep);
    EXPECT_EQ(result.Listed, 10u);
    EXPECT_FALSE(result.Truncated);
    EXPECT_EQ(Ids(got), Ids(flows));
    ASSERT_EQ(got.size(), 10u);
    const FlowRecord& back = got[3];
    EXPECT_EQ(std::tie(back.ReceivedMs, back.StartMs, back.EndMs, back.Exporter, back.Domain, back.Source,
                       back.Destination, back.NextHop, back.Bytes, back.Packets, back.SamplerId, back.SamplingRate),
              std::tie(full.ReceivedMs, full.StartMs, full.EndMs, full.Exporter, full.Domain, full.Source,
                       full.Destination, full.NextHop, full.Bytes, full.Packets, full.SamplerId, full.SamplingRate));
    EXPECT_EQ(std::tie(back.InputIf, back.OutputIf, back.SourceAS, back.DestinationAS, back.SourcePort,
                       back.DestinationPort, back.Protocol, back.TcpFlags, back.Tos, back.SourceMask,
                       back.DestinationMask, back.Version, back.TimesFromExporter),
              std::tie(full.InputIf, full.OutputIf, full.SourceAS, full.DestinationAS, full.SourcePort,
                       full.DestinationPort, full.Protocol, full.TcpFlags, full.Tos, full.SourceMask,
                       full.DestinationMask, full.Version, full.TimesFromExporter));

    got.clear();
    result = query.Flows(all, FlowFilter(), 4, keep);
    EXPECT_EQ(result.Listed, 4u);
    EXPECT_TRUE(result.Truncated);
    EXPECT_EQ(Ids(got), (std::vector<std::uint64_t>{0, 1, 2, 3}));
    // A limit that the flows just meet cuts nothing off; nor does one above them.
    EXPECT_FALSE(query.Flows(all, FlowFilter(), 10, keep).Truncated);
    EXPECT_FALSE(query.Flows(all, FlowFilter(), 11, keep).Truncated);
    const FlowFilter udp = Filter("udp");
    EXPECT_FALSE(query.Flows(all, udp, 5, keep).Truncated);
    got.clear();
    result = query.Flows(all, udp, 2, keep);
    EXPECT_TRUE(result.Truncated);
    EXPECT_EQ(Ids(got), (std::vector<std::uint64_t>{1, 3}));
    // The caller may stop at any flow; that is no truncation.
    int calls = 0;
    result = query.Flows(all, FlowFilter(), 0, [&calls](const FlowRecord&) { return ++calls < 3; });
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(result.Listed, 3u);
    EXPECT_FALSE(result.Truncated);
    EXPECT_FALSE(result.Cancelled);
}

TEST_F(HistoryQueryTest, ProgressRisesToOneAndCancelEndsScansEvenInsideOneStep) {
    std::vector<FlowRecord> flows(250000);
    for (std::size_t i = 0; i < flows.size(); ++i) {
        flows[i].ReceivedMs = kMidnight + static_cast<std::int64_t>(i);  // about four minutes
        flows[i].Protocol = i % 2 == 0 ? 6 : 17;
        flows[i].SamplerId = i;
    }
    Store().AddFlows(flows);
    const HistoryQuery query = Query();
    const Span span{kMidnight, kMidnight + kDayMs};
    const FlowFilter tcp = Filter("tcp");

    std::vector<double> shares;
    QueryControl follow;
    follow.Progress = [&shares](double Done) { shares.push_back(Done); };
    EXPECT_EQ(query.Count(span, tcp, follow).Flows, 125000u);
    ASSERT_GE(shares.size(), 2u);
    EXPECT_LE(shares.size(), 5u);
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    EXPECT_EQ(shares.back(), 1.0);

    // Cancelled at the first report: the rest is not read.
    std::atomic<bool> cancel{false};
    QueryControl stop;
    stop.Cancel = &cancel;
    stop.Progress = [&cancel](double) { cancel = true; };
    const CountResult cut = query.Count(span, tcp, stop);
    EXPECT_TRUE(cut.Cancelled);
    EXPECT_EQ(cut.Error, "");
    EXPECT_LT(cut.Flows, 125000u);

    // Cancelled while SQLite walks a block of rows: it stops within the block.
    cancel = false;
    stop.Progress = nullptr;
    const FlowsResult listed = query.Flows(
        span, FlowFilter(), 0,
        [&cancel](const FlowRecord&) {
            cancel = true;
            return true;
        },
        stop);
    EXPECT_TRUE(listed.Cancelled);
    EXPECT_LT(listed.Listed, 50000u);

    // Already cancelled: nothing is read, whatever the question.
    cancel = true;
    EXPECT_TRUE(query.Count(span, FlowFilter(), stop).Cancelled);
    EXPECT_TRUE(query.Top(span, TopKey::Source, RankBy::Bytes, 5, FlowFilter(), stop).Cancelled);
    EXPECT_TRUE(query.Series(span, FlowFilter(), kHourMs, stop).Cancelled);
}

TEST_F(HistoryQueryTest, RefusesAMissingFolderAndNewerForeignOrDamagedFiles) {
    std::string error;
    EXPECT_FALSE(Query().Readable(error));
    EXPECT_EQ(error, "no flow history in " + Folder());
    EXPECT_EQ(Query().Count({0, kMidnight}, FlowFilter()).Error, "no flow history in " + Folder());
    EXPECT_EQ(Query().Holdings().Error, "no flow history in " + Folder());

    FlowRecord r;
    r.ReceivedMs = kMidnight + 1000;
    Store().AddFlows({r});
    r.ReceivedMs = kMidnight + kDayMs + 1000;
    Store().AddFlows({r});
    Store().Summarize({r});
    // A day file the collector has made but not yet stamped holds nothing, and is no fault.
    WriteFile(Store().DayPath(kMidnight + 2 * kDayMs), "");
    EXPECT_TRUE(Query().Readable(error)) << error;
    EXPECT_EQ(Query().Count({kMidnight, kMidnight + 3 * kDayMs}, FlowFilter()).Flows, 2u);

    auto setVersion = [](const std::string& Path, int Version) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(
            sqlite3_exec(db, ("PRAGMA user_version=" + std::to_string(Version)).c_str(), nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(db);
    };
    const std::string second = Store().DayPath(kMidnight + kDayMs);
    setVersion(second, kSchemaVersion + 1);
    EXPECT_FALSE(Query().Readable(error));
    EXPECT_NE(error.find(FlowsFileName(kMidnight + kDayMs)), std::string::npos) << error;
    EXPECT_NE(error.find("newer version"), std::string::npos) << error;
    const CountResult refused = Query().Count({kMidnight, kMidnight + 2 * kDayMs}, FlowFilter());
    EXPECT_NE(refused.Error.find("newer version"), std::string::npos);
    // The other day is still read where the span leaves the newer file out.
    EXPECT_EQ(Query().Count({kMidnight, kMidnight + kDayMs}, FlowFilter()).Flows, 1u);
    setVersion(second, kSchemaVersion);

    setVersion(Store().SummaryPath(), kSchemaVersion + 1);
    EXPECT_FALSE(Query().Readable(error));
    EXPECT_NE(error.find(kSummaryFile), std::string::npos) << error;
    HistoryQuery summarised = Query();
    summarised.SetRawScanLimit(0);
    EXPECT_NE(summarised.Top({kMidnight, kMidnight + 2 * kDayMs}, TopKey::Source, RankBy::Bytes, 5, FlowFilter())
                  .Error.find("newer version"),
              std::string::npos);
    setVersion(Store().SummaryPath(), kSchemaVersion);
    EXPECT_TRUE(Query().Readable(error)) << error;

    // Another program's database under a day file's name, and a file that is no database at all.
    sqlite3* foreign = nullptr;
    ASSERT_EQ(sqlite3_open(Store().DayPath(kMidnight + 5 * kDayMs).c_str(), &foreign), SQLITE_OK);
    sqlite3_exec(foreign, "PRAGMA application_id=1234; CREATE TABLE t(x)", nullptr, nullptr, nullptr);
    sqlite3_close(foreign);
    EXPECT_FALSE(Query().Readable(error));
    EXPECT_NE(error.find("not a flow history file"), std::string::npos) << error;
    std::filesystem::remove(Store().DayPath(kMidnight + 5 * kDayMs));
    WriteFile(Store().DayPath(kMidnight + 6 * kDayMs), std::string(8192, 'x'));
    EXPECT_FALSE(Query().Readable(error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_NE(Query().Count({kMidnight + 6 * kDayMs, kMidnight + 7 * kDayMs}, FlowFilter()).Error, "");
}

TEST_F(HistoryQueryTest, ReadsWhatWasCommittedWhileTheWriterHoldsATransaction) {
    std::mt19937 random(21);
    const std::vector<FlowRecord> flows = RandomFlows(random, kMidnight, kMidnight + 10 * kMinuteMs, 300);
    const std::vector<FlowRecord> committed(flows.begin(), flows.begin() + 200);
    const std::vector<FlowRecord> pending(flows.begin() + 200, flows.end());
    Store().AddFlows(committed);
    sqlite3* writer = historyfixture::OpenForWriting(Store().DayPath(kMidnight), false);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    historyfixture::InsertFlows(writer, pending);  // the newest minute's last row moves on too

    const HistoryQuery query = Query();
    const Span span{kMidnight, kMidnight + kHourMs};
    const FlowFilter udp = Filter("udp");
    std::string error;
    EXPECT_TRUE(query.Readable(error)) << error;
    EXPECT_EQ(query.Count(span, FlowFilter()).Flows, committed.size());
    EXPECT_EQ(query.Count(span, udp).Flows, Within(committed, span, udp).size());
    EXPECT_EQ(Listed(query, span, FlowFilter()), Ids(committed));
    EXPECT_EQ(query.Holdings().NewestMs, committed.back().ReceivedMs);

    ASSERT_EQ(sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(query.Count(span, FlowFilter()).Flows, flows.size());
    EXPECT_EQ(Listed(query, span, udp), Ids(Within(flows, span, udp)));
    sqlite3_close(writer);
}

TEST_F(HistoryQueryTest, HoldingsCountEveryFileAndTheRawDays) {
    FlowRecord r;
    std::vector<FlowRecord> flows;
    for (const std::int64_t at : {kMidnight - 3 * kDayMs + 17, kMidnight - 3 * kDayMs + 5000, kMidnight + 99}) {
        r.ReceivedMs = at;
        flows.push_back(r);
    }
    Store().AddFlows(flows);
    Store().Summarize(flows);
    WriteFile(Folder() + "notes.txt", "kept by hand");
    // Listed first: reading a file in WAL mode leaves its shared-memory index behind.
    std::uint64_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Folder())) bytes += entry.file_size();
    const HoldingsResult holdings = Query().Holdings();
    EXPECT_EQ(holdings.Error, "");
    EXPECT_EQ(holdings.RawDays, 2);
    EXPECT_EQ(holdings.OldestMs, kMidnight - 3 * kDayMs + 17);
    EXPECT_EQ(holdings.NewestMs, kMidnight + 99);
    EXPECT_EQ(holdings.Bytes, bytes);
    EXPECT_GT(bytes, 3 * 4096u);
}

TEST_F(HistoryQueryTest, AnswersFromWhatTheCollectorsStoreWrote) {
    std::mt19937 random(99);
    const std::int64_t from = kMidnight - 30 * kMinuteMs;
    const std::vector<FlowRecord> flows = RandomFlows(random, from, from + kHourMs, 2000, false);
    HistoryOptions options;
    options.NowMs = [from] { return from + kHourMs + kMinuteMs; };
    options.Say = [](const std::string&) {};
    HistoryStore store(Dir(), options);
    ASSERT_TRUE(store.Storing());
    for (FlowConsumer* consumer : {&store.RawConsumer(), &store.SummaryConsumer()}) {
        consumer->BeginRun();
        for (std::size_t at = 0; at < flows.size(); at += 30) {
            consumer->Consume(FlowBatch(flows.begin() + static_cast<std::ptrdiff_t>(at),
                                        flows.begin() + static_cast<std::ptrdiff_t>(std::min(at + 30, flows.size()))));
        }
        consumer->EndRun();
    }
    store.FlushNow();

    HistoryQuery query(store.Folder());
    std::string error;
    EXPECT_TRUE(query.Readable(error)) << error;
    const Span span{from + 3 * kMinuteMs + 700, from + 50 * kMinuteMs};
    const std::vector<FlowRecord> in = Within(flows, span);
    EXPECT_EQ(query.Count(span, FlowFilter()).Flows, in.size());
    EXPECT_EQ(Listed(query, span, Filter("10.0.0.0/8 tcp")), Ids(Within(flows, span, Filter("10.0.0.0/8 tcp"))));
    // Fewer keys than the store keeps per minute: its summaries of whole minutes answer as the flows do.
    const Span minutes{from + 3 * kMinuteMs, from + 50 * kMinuteMs};
    query.SetRawScanLimit(10);
    for (const TopKey key : {TopKey::Source, TopKey::Conversation, TopKey::DestinationPort, TopKey::OutputIf}) {
        const TopResult top = query.Top(minutes, key, RankBy::Bytes, 10, FlowFilter());
        EXPECT_FALSE(top.Exact);
        EXPECT_EQ(Describe(top.Rows), Describe(ReferenceTop(Within(flows, minutes), key, RankBy::Bytes, 10)))
            << TopKeyName(key);
    }
    ExpectSeries(query.Series(minutes, FlowFilter(), kMinuteMs), ReferenceSeries(flows, minutes, kMinuteMs),
                 minutes.FromMs, kMinuteMs);
    const HoldingsResult holdings = query.Holdings();
    EXPECT_EQ(holdings.OldestMs, flows.front().ReceivedMs);
    EXPECT_EQ(holdings.NewestMs, flows.back().ReceivedMs);
    EXPECT_EQ(holdings.RawDays, 2);
}

// Flows between a few public addresses whose countries and AS numbers the database knows, a private
// one it has no entry for, and none at all.
std::vector<FlowRecord> LocatedFlows(std::mt19937& Random, std::int64_t FromMs, std::int64_t ToMs, std::size_t Count) {
    static const char* const hosts[] = {"8.8.8.8", "1.1.1.1", "2001:4860:4860::8888", "10.1.2.3"};
    std::vector<FlowRecord> flows = RandomFlows(Random, FromMs, ToMs, Count, false);
    for (FlowRecord& r : flows) {
        r.Source = Address(hosts[Random() % std::size(hosts)]);
        r.Destination = Address(hosts[Random() % std::size(hosts)]);
        r.Bytes = 1 + Random() % 100000;  // few ties, so that the order is the reference's
    }
    return flows;
}

constexpr TopKey kLocationKeys[] = {TopKey::SourceCountry, TopKey::DestinationCountry, TopKey::SourceAsn,
                                    TopKey::DestinationAsn};

TEST_F(HistoryQueryTest, LocationKeysFromFlowsAndFromSummariesAgreeWithTheDatabase) {
    std::mt19937 random(2026);
    const std::int64_t from = kMidnight + 2 * kHourMs;
    const std::vector<FlowRecord> flows = LocatedFlows(random, from - 20 * kMinuteMs, from + 2 * kHourMs, 1500);
    Store().AddFlows(flows);
    Store().Summarize(flows, std::numeric_limits<std::size_t>::max(), from + kHourMs);
    HistoryQuery query = Query();
    const Span span{from - 13 * kMinuteMs, from + 2 * kHourMs - 3 * kMinuteMs};
    for (const TopKey key : kLocationKeys) {
        EXPECT_TRUE(LocationKey(key));
        query.SetRawScanLimit(1000000);
        const TopResult raw = query.Top(span, key, RankBy::Bytes, 0, FlowFilter());
        query.SetRawScanLimit(100);
        const TopResult summed = query.Top(span, key, RankBy::Bytes, 0, FlowFilter());
        EXPECT_EQ(raw.Error, "");
        EXPECT_TRUE(raw.Exact);
        EXPECT_FALSE(summed.Exact);
        EXPECT_EQ(summed.Note, "");
        const std::vector<TopRow> want = ReferenceTop(Within(flows, span), key, RankBy::Bytes, 0);
        EXPECT_EQ(Describe(raw.Rows), Describe(want)) << TopKeyName(key);
        EXPECT_EQ(Describe(summed.Rows), Describe(want)) << TopKeyName(key);
        EXPECT_TRUE(summed.Sums == raw.Sums);
        // The private address is the row of no entry.
        EXPECT_TRUE(std::any_of(raw.Rows.begin(), raw.Rows.end(), [](const TopRow& R) { return R.Number == 0; }));
    }
    // A filter keeps to the flows, also for these keys.
    const TopResult google = query.Top(span, TopKey::DestinationAsn, RankBy::Flows, 3, Filter("8.8.8.8"));
    EXPECT_TRUE(google.Exact);
    EXPECT_EQ(Describe(google.Rows),
              Describe(ReferenceTop(Within(flows, span, Filter("8.8.8.8")), TopKey::DestinationAsn, RankBy::Flows, 3)));
}

TEST_F(HistoryQueryTest, LocationKeysWithoutTheDatabaseFailNamingIt) {
    std::mt19937 random(5);
    const std::vector<FlowRecord> flows = LocatedFlows(random, kMidnight, kMidnight + kHourMs, 50);
    Store().AddFlows(flows);
    HistoryQuery query = Query();
    query.SetLocationDatabase(Dir() + "no-such.db");
    for (const TopKey key : kLocationKeys) {
        const TopResult top = query.Top({kMidnight, kMidnight + kHourMs}, key, RankBy::Bytes, 5, FlowFilter());
        EXPECT_NE(top.Error.find(Dir() + "no-such.db"), std::string::npos) << top.Error;
        EXPECT_TRUE(top.Rows.empty());
    }
    // The other keys do not need it.
    EXPECT_EQ(query.Top({kMidnight, kMidnight + kHourMs}, TopKey::SourceAS, RankBy::Bytes, 5, FlowFilter()).Error, "");
    query.SetLocationDatabase("");
    EXPECT_NE(query.Top({kMidnight, kMidnight + kHourMs}, TopKey::SourceAsn, RankBy::Bytes, 5, FlowFilter()).Error, "");
}

// Summaries written before the store kept countries (or by a collector without the database) have
// totals but no location rows: their flows are "other", and the answer says so.
TEST_F(HistoryQueryTest, SummariesWithoutLocationRowsPutTheirFlowsInOtherAndSaySo) {
    std::mt19937 random(11);
    const std::int64_t from = kMidnight + 4 * kHourMs;
    const std::vector<FlowRecord> older = LocatedFlows(random, from, from + 30 * kMinuteMs, 300);
    const std::vector<FlowRecord> newer = LocatedFlows(random, from + 30 * kMinuteMs, from + kHourMs, 200);
    Store().Summarize(older, std::numeric_limits<std::size_t>::max(), from, "");
    Store().Summarize(newer, std::numeric_limits<std::size_t>::max(), from);
    const TopResult top = Query().Top({from, from + kHourMs}, TopKey::SourceCountry, RankBy::Flows, 0, FlowFilter());
    EXPECT_EQ(top.Error, "");
    EXPECT_FALSE(top.Exact);
    EXPECT_NE(top.Note.find("300 of 500 flows"), std::string::npos) << top.Note;
    ASSERT_FALSE(top.Rows.empty());
    EXPECT_TRUE(top.Rows.back().Other);
    EXPECT_EQ(top.Rows.back().Sums.Flows, 300u);
    Totals rows;
    for (const TopRow& row : top.Rows) rows.Add(row.Sums);
    EXPECT_EQ(rows.Flows, 500u);
    EXPECT_EQ(rows.ScaledBytes, top.Sums.ScaledBytes);
    EXPECT_EQ(rows.ScaledPackets, top.Sums.ScaledPackets);
}

// The collector's own writer sums countries and AS numbers per address when a minute closes; the
// summaries then answer as the flows do.
TEST_F(HistoryQueryTest, LocationKeysFromWhatTheCollectorsStoreWrote) {
    std::mt19937 random(42);
    const std::int64_t from = kMidnight + 30 * kMinuteMs;
    const std::vector<FlowRecord> flows = LocatedFlows(random, from, from + 20 * kMinuteMs, 800);
    HistoryOptions options;
    options.NowMs = [from] { return from + kHourMs; };
    options.Say = [](const std::string&) {};
    {
        HistoryStore store(Dir(), options);
        ASSERT_TRUE(store.Storing());
        FlowConsumer& summary = store.SummaryConsumer();
        summary.BeginRun();
        for (std::size_t at = 0; at < flows.size(); at += 30) {
            summary.Consume(FlowBatch(flows.begin() + static_cast<std::ptrdiff_t>(at),
                                      flows.begin() + static_cast<std::ptrdiff_t>(std::min(at + 30, flows.size()))));
        }
        summary.EndRun();
        store.FlushNow();
    }
    const Span minutes{from + 2 * kMinuteMs, from + 15 * kMinuteMs};
    for (const TopKey key : kLocationKeys) {
        const TopResult top = Query().Top(minutes, key, RankBy::Bytes, 0, FlowFilter());
        EXPECT_FALSE(top.Exact);
        EXPECT_EQ(top.Note, "");
        EXPECT_EQ(Describe(top.Rows), Describe(ReferenceTop(Within(flows, minutes), key, RankBy::Bytes, 0)))
            << TopKeyName(key);
    }
}

}  // namespace
