#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "DatagramHandler.h"
#include "Doubles.h"
#include "FlowFeed.h"
#include "InterfaceNames.h"
#include "Locations.h"
#include "ScratchDirectory.h"
#include "TalkerTable.h"
#include "TestDatagrams.h"
#include "TestFlow.h"
#include "TrafficAggregator.h"
#include "TrafficNames.h"
#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/Tones.h"

namespace {

using namespace testdatagrams;

constexpr std::int64_t kT0 = 1700000000000;  // ms; a whole second

FlowRecord Flow(std::uint32_t Src, std::uint32_t Dst, std::uint64_t Bytes, std::int64_t Ms = kT0,
                std::uint8_t Protocol = 6, std::uint16_t DstPort = 80) {
    return flowfeed::TestFlow{FlowAddress::FromIPv4(Src), FlowAddress::FromIPv4(Dst), Bytes, Ms, Protocol, DstPort};
}

FlowRecord Sampled(FlowRecord Record, std::uint32_t Rate) {
    Record.SamplingRate = Rate;
    return Record;
}

FlowRecord Through(FlowRecord Record, std::uint32_t In, std::uint32_t Out, const char* Exporter = "192.0.2.1") {
    Record.InputIf = In;
    Record.OutputIf = Out;
    Record.Exporter = FlowAddress::Parse(Exporter);
    return Record;
}

std::vector<std::string> Names(TalkerKind Kind, const TalkerTop& Top, const InterfaceNames* Interfaces = nullptr) {
    std::vector<std::string> names;
    for (const TalkerRow& row : Top.Rows) names.push_back(trafficnames::DescribeKey(Kind, row.Key, Interfaces));
    return names;
}

TEST(FlowRecordTest, MadeFromDecodedRecordsWithTheCsvValues) {
    std::vector<FlowRecord> got;
    struct Collect {
        std::vector<FlowRecord>& Out;
        void Add(const FlowRecord& R) { Out.push_back(R); }
    } collect{got};

    V5Flow v5;
    v5.octets = 4294967295u;
    ASSERT_EQ(flowfeed::Feed(collect, V5Datagram({v5}), "192.0.2.7", kT0 + 5), 1);
    EXPECT_EQ(got[0].Source.ToString(), "10.0.0.1");
    EXPECT_EQ(got[0].Destination.ToString(), "192.168.1.20");
    EXPECT_EQ(got[0].Exporter.ToString(), "192.0.2.7");
    EXPECT_EQ(got[0].Bytes, 4294967295u);
    EXPECT_EQ(got[0].Packets, 10u);
    EXPECT_EQ(got[0].SourcePort, 1234);
    EXPECT_EQ(got[0].DestinationPort, 80);
    EXPECT_EQ(got[0].Protocol, 6);
    EXPECT_EQ(got[0].Version, 5);
    EXPECT_EQ(got[0].ReceivedMs, kT0 + 5);

    // 0x80000010 bytes: the CSV prints -2147483632; the record holds the same 32 bits unsigned.
    netflowlib::ResetTemplateStore();
    const std::string v9 =
        V9Header(2) + V9Template(256, BasicIPv4Template()) +
        V9DataFlowset(256, BasicIPv4Record({10, 1, 2, 3}, {172, 16, 0, 9}, 53, 65535, 17, 0x80000010u));
    ASSERT_EQ(flowfeed::Feed(collect, v9, "192.0.2.8", kT0), 1);
    EXPECT_EQ(got[1].Bytes, 0x80000010u);
    EXPECT_EQ(got[1].DestinationPort, 65535);
    EXPECT_EQ(got[1].Protocol, 17);
    EXPECT_EQ(got[1].Version, 9);
    EXPECT_EQ(got[1].Source.ToString(), "10.1.2.3");
    netflowlib::ResetTemplateStore();

    EXPECT_EQ(FlowAddress::Parse("2001:db8::1").Kind, FlowAddress::IPv6);
    EXPECT_EQ(FlowAddress::Parse("2001:db8::1").ToString(), "2001:db8::1");
    EXPECT_EQ(FlowAddress::Parse("10.0.0.256").Kind, FlowAddress::None);
    EXPECT_EQ(FlowAddress::Parse("").Kind, FlowAddress::None);
    // The quick reading of dotted quads takes exactly what the system's parser takes.
    for (const std::string text :
         {"1.2.3.4", "0.0.0.0", "255.255.255.255", "256.1.1.1", "01.2.3.4", "1.2.3.04", "1.2.3", "1.2.3.4.5", "1..2.3",
          " 1.2.3.4", "1.2.3.4 ", "1234.1.1.1", "1.2.3.", "9.99.199.200"}) {
        std::array<std::uint8_t, 4> bytes{};
        const bool valid = ::inet_pton(AF_INET, text.c_str(), bytes.data()) == 1;
        const FlowAddress parsed = FlowAddress::Parse(text);
        EXPECT_EQ(parsed.Kind == FlowAddress::IPv4, valid) << text;
        if (valid) {
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), parsed.Bytes.begin())) << text;
        }
    }
}

TEST(TrafficAggregatorTest, TopTalkersByBytesWithTiesInKeyOrder) {
    TrafficAggregator agg;
    agg.Add(Flow(0x0A000003, 0x0A000063, 500));
    agg.Add(Flow(0x0A000001, 0x0A000063, 900, kT0, 17, 53));
    agg.Add(Flow(0x0A000002, 0x0A000063, 500));
    agg.Add(Flow(0x0A000063, 0x0A000001, 100, kT0, 1, 0));  // the reply of 10.0.0.1's conversation

    const TalkerTop sources = agg.Top(TalkerKind::Source, 60);
    EXPECT_EQ(Names(TalkerKind::Source, sources),
              (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.99"}));
    EXPECT_EQ(sources.Totals, (TrafficTotals{4, 2000, 8}));

    const TalkerTop talks = agg.Top(TalkerKind::Conversation, 60);
    ASSERT_EQ(talks.Keys, 3u);
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::Conversation, talks.Rows[0].Key), "10.0.0.1 <-> 10.0.0.99");
    EXPECT_EQ(talks.Rows[0].Totals, (TrafficTotals{2, 1000, 4}));

    EXPECT_EQ(Names(TalkerKind::Protocol, agg.Top(TalkerKind::Protocol, 60)),
              (std::vector<std::string>{"TCP", "UDP", "ICMP"}));
    EXPECT_EQ(Names(TalkerKind::DestinationPort, agg.Top(TalkerKind::DestinationPort, 60)),
              (std::vector<std::string>{"80 (http)", "53 (domain)", "0"}));
    EXPECT_EQ(Names(TalkerKind::Exporter, agg.Top(TalkerKind::Exporter, 60)), (std::vector<std::string>{"192.0.2.1"}));
    EXPECT_EQ(agg.Top(TalkerKind::Source, 60, 2).Rows.size(), 2u);
    EXPECT_EQ(agg.Top(TalkerKind::Source, 60, 2).Totals.Bytes, 2000u);  // totals cover every key
}

TEST(TrafficAggregatorTest, SpansSlideBySecondAndTheHourForgetsEverything) {
    TrafficAggregator agg;
    agg.Add(Flow(1, 2, 100, kT0));          // second 0
    agg.Add(Flow(1, 2, 10, kT0 + 59'999));  // second 59
    agg.Add(Flow(3, 2, 1, kT0 + 60'000));   // second 60
    EXPECT_EQ(agg.SpanTotals(60), (TrafficTotals{2, 11, 4}));
    EXPECT_EQ(agg.Top(TalkerKind::Source, 60).Totals, (TrafficTotals{2, 11, 4}));
    EXPECT_EQ(agg.Top(TalkerKind::Source, 61).Totals.Bytes, 111u);

    const std::vector<TrafficTotals> series = agg.Series(61);
    ASSERT_EQ(series.size(), 61u);
    EXPECT_EQ(series.front().Bytes, 100u);
    EXPECT_EQ(series[59].Bytes, 10u);
    EXPECT_EQ(series.back().Bytes, 1u);
    const std::vector<TrafficTotals> mine =
        agg.KeySeries(TalkerKind::Source, KeyOf(TalkerKind::Source, Flow(1, 2, 0)), 61);
    EXPECT_EQ(mine.front().Bytes, 100u);
    EXPECT_EQ(mine.back().Bytes, 0u);

    agg.AdvanceTo(kT0 + 120'000);  // quiet for a minute: the last minute is empty
    EXPECT_EQ(agg.SpanTotals(60).Flows, 0u);
    EXPECT_EQ(agg.Top(TalkerKind::Source, 60).Keys, 0u);
    EXPECT_EQ(agg.Top(TalkerKind::Source, 300).Totals.Bytes, 111u);

    agg.AdvanceTo(kT0 + 3'659'000);  // second 0 and 59 are out of the hour, second 60 still in
    EXPECT_EQ(agg.Top(TalkerKind::Source, 3600).Totals.Bytes, 1u);
    agg.AdvanceTo(kT0 + 3'660'000);
    EXPECT_EQ(agg.Top(TalkerKind::Source, 3600).Keys, 0u);
    EXPECT_EQ(agg.SpanTotals(3600).Flows, 0u);

    // A late record within the hour still counts; a clock set back by more restarts the history.
    agg.Add(Flow(5, 6, 7, kT0 + 3'000'000));
    EXPECT_EQ(agg.SpanTotals(3600).Bytes, 7u);
    agg.Add(Flow(5, 6, 8, kT0));
    EXPECT_EQ(agg.ClockStepsBack(), 1u);
    EXPECT_EQ(agg.SpanTotals(3600).Bytes, 8u);
    EXPECT_EQ(agg.Top(TalkerKind::Source, 3600).Totals.Bytes, 8u);
}

TEST(TrafficAggregatorTest, BoundsDropTheLeastRecentKeysAndCountThem) {
    TrafficAggregatorOptions options;
    options.MaxKeys = 3;
    options.NewestFlows = 5;
    TrafficAggregator agg(options);
    for (std::uint32_t src = 1; src <= 5; ++src) agg.Add(Flow(src, 100, src * 10, kT0 + src * 1000));
    agg.Add(Flow(3, 100, 1, kT0 + 6000));  // 3 becomes the most recent again
    agg.Add(Flow(6, 100, 1, kT0 + 7000));  // pushes out 4, the least recent
    const TalkerTop top = agg.Top(TalkerKind::Source, 60);
    EXPECT_EQ(top.KeysDropped, 3u);
    EXPECT_EQ(Names(TalkerKind::Source, top), (std::vector<std::string>{"0.0.0.5", "0.0.0.3", "0.0.0.6"}));
    EXPECT_EQ(agg.SpanTotals(60), (TrafficTotals{7, 152, 14}));  // the chart's totals lose nothing

    // The newest flows, oldest first, and only those not yet taken.
    std::vector<FlowRecord> newest;
    EXPECT_EQ(agg.NewestFlows(0, newest), 5u);
    EXPECT_EQ(newest.front().Source.IPv4HostOrder(), 3u);
    EXPECT_EQ(newest.back().Source.IPv4HostOrder(), 6u);
    newest.clear();
    EXPECT_EQ(agg.NewestFlows(6, newest), 1u);
    EXPECT_EQ(newest[0].Source.IPv4HostOrder(), 6u);
    EXPECT_EQ(agg.FlowsAdded(), 7u);

    TrafficAggregatorOptions cells;
    cells.MaxEntries = 4;
    TrafficAggregator cut(cells);
    for (int s = 0; s < 3; ++s) {
        cut.Add(Flow(1, 2, 1, kT0 + s * 1000));
        cut.Add(Flow(3, 2, 1, kT0 + s * 1000));
    }
    const TalkerTop kept = cut.Top(TalkerKind::Source, 60);
    EXPECT_EQ(kept.FlowsCut, 2u);  // second 0 was cut to make room
    EXPECT_EQ(kept.Totals.Flows, 4u);
    EXPECT_EQ(cut.SpanTotals(60).Flows, 6u);
}

// Sampled flows count for what they stand for in every sum, and every sum that took one in knows
// the rates, for as long as the flow is in the span and no longer.
TEST(TrafficAggregatorTest, SampledFlowsAreScaledAndMarkTheSumsTheyEnter) {
    TrafficAggregator agg;
    agg.Add(Sampled(Flow(1, 9, 1500, kT0 - 10'000), 1000));
    agg.Add(Sampled(Flow(1, 9, 40, kT0), 100));
    agg.Add(Flow(2, 9, 5000, kT0));
    agg.Add(Sampled(Flow(3, 9, 7, kT0), 1));  // a rate of 1 is no sampling

    const TrafficTotals all = agg.SpanTotals(60);
    EXPECT_EQ(all.Bytes, 1'500'000u + 4000 + 5000 + 7);
    EXPECT_EQ(all.Packets, 2000u + 200 + 2 + 2);
    EXPECT_TRUE(all.Estimated());
    EXPECT_EQ(trafficnames::EstimateNote(all), "estimated from sampled data, 1 in 100 to 1 in 1000");

    const TalkerTop sources = agg.Top(TalkerKind::Source, 60);
    EXPECT_EQ(Names(TalkerKind::Source, sources), (std::vector<std::string>{"0.0.0.1", "0.0.0.2", "0.0.0.3"}));
    EXPECT_EQ(sources.Rows[0].Totals, (TrafficTotals{2, 1'504'000, 2200, 100, 1000}));
    EXPECT_FALSE(sources.Rows[1].Totals.Estimated());
    EXPECT_FALSE(sources.Rows[2].Totals.Estimated());
    EXPECT_EQ(trafficnames::EstimateNote(sources.Rows[1].Totals), "");
    EXPECT_EQ(sources.Totals, all);
    // Without a location database the tables of places stay empty; every other one holds it all.
    for (std::size_t k = 0; k < kTalkerKinds; ++k)
        EXPECT_EQ(agg.Top(static_cast<TalkerKind>(k), 60).Totals.Bytes,
                  Located(static_cast<TalkerKind>(k)) ? 0 : all.Bytes)
            << "table " << k;

    // The chart's seconds and a talker's own line carry the rate of their second only.
    const std::vector<TrafficTotals> series = agg.Series(11);
    EXPECT_EQ(series.front().Bytes, 1'500'000u);
    EXPECT_EQ(series.front().SampledLow, 1000u);
    EXPECT_EQ(series.back().SampledLow, 100u);
    EXPECT_EQ(series.back().SampledHigh, 100u);
    const std::vector<TrafficTotals> mine =
        agg.KeySeries(TalkerKind::Source, KeyOf(TalkerKind::Source, Flow(1, 0, 0)), 11);
    EXPECT_EQ(mine.front().Bytes, 1'500'000u);
    EXPECT_EQ(trafficnames::EstimateNote(mine.back()), "estimated from sampled data, 1 in 100");

    // Once the 1-in-1000 flow has left the span, its rate leaves the sums with it.
    EXPECT_EQ(trafficnames::EstimateNote(agg.SpanTotals(5)), "estimated from sampled data, 1 in 100");
    agg.AdvanceTo(kT0 + 60'000);
    EXPECT_FALSE(agg.SpanTotals(60).Estimated());
    EXPECT_EQ(agg.Top(TalkerKind::Source, 60).Keys, 0u);
}

// A flow enters the interface table twice, in on its input interface and out on its output one,
// each under its exporter: the same index on two exporters, or in and out on one, are four rows.
TEST(TrafficAggregatorTest, InterfaceTableCountsEachFlowInAndOutPerExporter) {
    TrafficAggregator agg;
    agg.Add(Through(Flow(1, 9, 1000), 3, 7));
    agg.Add(Through(Flow(2, 9, 200), 7, 3));
    agg.Add(Through(Flow(3, 9, 50), 3, 7, "192.0.2.2"));
    agg.Add(Through(Sampled(Flow(4, 9, 4), 10), 0, 0));  // interfaces the exporter did not say

    const TalkerTop top = agg.Top(TalkerKind::Interface, 60);
    EXPECT_EQ(
        Names(TalkerKind::Interface, top),
        (std::vector<std::string>{"192.0.2.1, 3, in", "192.0.2.1, 7, out", "192.0.2.1, 3, out", "192.0.2.1, 7, in",
                                  "192.0.2.2, 3, in", "192.0.2.2, 7, out", "192.0.2.1, 0, in", "192.0.2.1, 0, out"}));
    EXPECT_EQ(top.Keys, 8u);
    EXPECT_EQ(top.Rows[0].Totals, (TrafficTotals{1, 1000, 2}));
    EXPECT_EQ(top.Rows[6].Totals, (TrafficTotals{1, 40, 20, 10, 10}));
    EXPECT_EQ(KeyInterface(top.Rows[1].Key), 7u);
    EXPECT_EQ(KeyDirection(top.Rows[1].Key), InterfaceDirection::Out);
    EXPECT_EQ(KeyAddress(top.Rows[4].Key).ToString(), "192.0.2.2");
    // Shares are of the traffic in one direction: the totals are the flows', not twice them.
    EXPECT_EQ(top.Totals, agg.SpanTotals(60));
    EXPECT_EQ(KeyOf(TalkerKind::Interface, Through(Flow(1, 9, 0), 3, 7)),
              InterfaceKey(FlowAddress::Parse("192.0.2.1"), 3, InterfaceDirection::In));

    // Interfaces the exporter has named read by name, with the index beside it.
    InterfaceNames names;
    names.Set(FlowAddress::Parse("192.0.2.1"), 3, "Gi0/0/1", "uplink");
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::Interface, top.Rows[0].Key, &names), "192.0.2.1, Gi0/0/1 (3), in");
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::Interface, top.Rows[4].Key, &names), "192.0.2.2, 3, in");
}

// Keys come and go by the thousand as their seconds leave the history, and also when the key
// bound pushes them out; every key still kept must be found again under its own totals, never
// split over two entries or lost from the index.
// Countries and AS numbers come from Debian's location database: 8.8.8.8 and 8.8.4.4 are both
// Google's in the US, 1.1.1.1 belongs to an AS of its own,
// and private addresses have no entry.
TEST(TrafficAggregatorTest, PlacesOfBothEndsAreSummedFromTheLocationDatabase) {
    const std::uint32_t google = 0x08080808, google2 = 0x08080404, cloud = 0x01010101, lan = 0x0A000001;
    TrafficAggregator without;
    without.Add(Flow(google, lan, 100));
    EXPECT_TRUE(without.Top(TalkerKind::SourceCountry, 60).Rows.empty());
    EXPECT_EQ(without.Top(TalkerKind::SourceCountry, 60).Totals.Flows, 0u);

    TrafficAggregator agg;
    std::string error;
    auto locator = names::Locator::Open(names::kLocationDatabase, &error);
    ASSERT_TRUE(locator) << error;
    auto reference = names::Locator::Open(names::kLocationDatabase, &error);
    agg.SetLocator(std::move(locator));
    agg.Add(Flow(google, lan, 1000));
    agg.Add(Flow(google2, lan, 500, kT0 + 1000));
    agg.Add(Flow(cloud, lan, 300, kT0 + 1000));
    agg.Add(Flow(lan, google, 50, kT0 + 2000));

    const TalkerTop fromAs = agg.Top(TalkerKind::SourceAs, 60);
    ASSERT_EQ(fromAs.Rows.size(), 3u);
    EXPECT_EQ(KeyNumber(fromAs.Rows[0].Key), 15169u);
    EXPECT_EQ(fromAs.Rows[0].Totals.Bytes, 1500u);
    EXPECT_EQ(fromAs.Rows[0].Totals.Flows, 2u);
    EXPECT_EQ(KeyNumber(fromAs.Rows[1].Key), reference->Find(FlowAddress::FromIPv4(cloud)).Asn);
    EXPECT_EQ(KeyNumber(fromAs.Rows[2].Key), 0u);  // the private source
    EXPECT_EQ(fromAs.Totals.Flows, 4u);

    ViewNames view;
    view.Places = reference.get();
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::SourceAs, fromAs.Rows[0].Key, view), "AS15169 GOOGLE");
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::SourceAs, fromAs.Rows[2].Key, view), trafficnames::kNoPlace);

    const TalkerTop toCountry = agg.Top(TalkerKind::DestinationCountry, 60);
    ASSERT_EQ(toCountry.Rows.size(), 2u);
    EXPECT_EQ(KeyNumber(toCountry.Rows[0].Key), 0u);  // the LAN took 1,800 bytes
    EXPECT_EQ(toCountry.Rows[0].Totals.Bytes, 1800u);
    EXPECT_EQ(names::CountryCode(static_cast<std::uint16_t>(KeyNumber(toCountry.Rows[1].Key))), "US");
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::DestinationCountry, toCountry.Rows[1].Key, view),
              "US (United States of America)");

    // The span slides for places as for addresses.
    const TalkerTop lastSecond = agg.Top(TalkerKind::SourceCountry, 1);
    ASSERT_EQ(lastSecond.Rows.size(), 1u);
    EXPECT_EQ(KeyNumber(lastSecond.Rows[0].Key), 0u);
    EXPECT_EQ(agg.KeySeries(TalkerKind::SourceAs, PlaceKey(TalkerKind::SourceAs, 15169), 3)[1].Bytes, 500u);
    EXPECT_EQ(agg.LocatedAddresses(), 4u);
}

TEST(TrafficNamesTest, UtilisationIsOfTheKnownSpeedOnly) {
    EXPECT_EQ(trafficnames::Utilisation(125e6, 1000), "12.5 %");
    EXPECT_EQ(trafficnames::Utilisation(2e9, 1000), "200.0 %");  // counters can outrun a stale speed
    EXPECT_EQ(trafficnames::Utilisation(1e6, 0), "");
}

TEST(TalkerTableTest, KeysFoundAgainThroughChurnAndEviction) {
    constexpr std::int64_t kHistory = 8;
    for (const std::size_t maxKeys : {std::size_t{100000}, std::size_t{700}}) {
        TalkerTable table(kHistory, maxKeys, 1000000);
        std::mt19937 random(7);
        std::map<TalkerKey, std::map<std::int64_t, std::uint64_t>> expected;  // key, second: bytes
        for (std::int64_t second = 0; second < 40; ++second) {
            table.Retire(second - kHistory);
            for (auto& [key, seconds] : expected) seconds.erase(second - kHistory);
            for (int n = 0; n < 2000; ++n) {
                // A pool small enough for keys to recur, large enough to collide in the index.
                const FlowRecord flow = Flow(random() % 3000, 1, 1 + random() % 100, second * 1000);
                const TalkerKey key = KeyOf(TalkerKind::Source, flow);
                table.Add(key, second, flow);
                expected[key][second] += flow.Bytes;
            }
            const TalkerTop top = table.Top(second - kHistory + 1, second, 1000000);
            std::map<TalkerKey, std::uint64_t> shown;
            for (const TalkerRow& row : top.Rows) {
                EXPECT_TRUE(shown.emplace(row.Key, row.Totals.Bytes).second) << "a key listed twice";
            }
            ASSERT_LE(table.LiveKeys(), maxKeys);
            std::size_t live = 0;
            for (const auto& [key, seconds] : expected) {
                std::uint64_t bytes = 0;
                for (const auto& [s, b] : seconds) bytes += b;
                if (bytes == 0) continue;
                ++live;
                const auto found = shown.find(key);
                // With the key bound, a key pushed out is gone; one that is kept is whole since
                // it came back, and no more than what was sent.
                if (maxKeys >= 100000) {
                    ASSERT_NE(found, shown.end());
                    EXPECT_EQ(found->second, bytes);
                } else if (found != shown.end()) {
                    EXPECT_LE(found->second, bytes);
                }
            }
            if (maxKeys >= 100000) {
                EXPECT_EQ(shown.size(), live);
            }
        }
    }
}

// Sums of the CSV lines' byte fields: version 5 lines have 8 fields, version 9 lines 7, the bytes
// last. Negative version 9 counts are read modulo 2^32, as the Traffic record holds them.
TrafficTotals CsvTotals(const std::vector<std::string>& Lines) {
    TrafficTotals t;
    for (const std::string& line : Lines) {
        ++t.Flows;
        const long long value = std::atoll(line.substr(line.rfind(',') + 1).c_str());
        t.Bytes += value < 0 ? static_cast<std::uint64_t>(value + (1ll << 32)) : static_cast<std::uint64_t>(value);
    }
    return t;
}

class TrafficCsvTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        netflowlib::ResetTemplateStore();
        reporter = std::make_unique<doubles::InstalledReporter>(Dir());
    }
    void TearDown() override {
        reporter.reset();
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

    // Handles the datagram as the collector does and feeds the same bytes to the aggregator;
    // returns the CSV lines this datagram added.
    std::vector<std::string> Send(const std::string& Datagram, const std::string& Sender, std::int64_t Ms) {
        const std::size_t before = AllCsvLines().size();
        handler.HandleDatagram(Datagram.data(), Datagram.size(), Sender);
        flowfeed::Feed(aggregator, Datagram, Sender, Ms);
        std::vector<std::string> lines = AllCsvLines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()};
    }

    std::vector<std::string> AllCsvLines() const {
        std::vector<std::string> lines;
        for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
            if (entry.path().filename().string().rfind("NetFlow-", 0) != 0) continue;
            std::istringstream text(ReadFile(entry.path().string()));
            for (std::string line; std::getline(text, line);) lines.push_back(line.substr(0, line.size() - 1));
        }
        return lines;
    }

    struct NoWindow : WindowUpdates {
        void SetCaption(Caption, std::string_view) override {}
        void AddMemoLine(std::string_view) override {}
        void Beep() override {}
    } window;
    DatagramHandler handler{window};
    TrafficAggregator aggregator;
    std::unique_ptr<doubles::InstalledReporter> reporter;
};

TEST_F(TrafficCsvTest, EveryTableTotalsWhatTheCsvHoldsForTheSpan) {
    // The tables of places too, with the addresses that have no entry in one row.
    aggregator.SetLocator(names::Locator::Open(names::kLocationDatabase));
    ASSERT_TRUE(aggregator.Locates());
    std::vector<V5Flow> flows(30);
    for (int i = 0; i < 30; ++i) {
        flows[i].src = 0x0A000000u + static_cast<std::uint32_t>(i % 7);
        flows[i].dst = 0xC0A80000u + static_cast<std::uint32_t>(i % 3);
        flows[i].prot = i % 4 == 0 ? 17 : 6;
        flows[i].dport = static_cast<std::uint16_t>(i % 5 == 0 ? 53 : 443);
        flows[i].octets = 1000u + static_cast<std::uint32_t>(i) * 37u;
    }
    const std::string v9 = V9Header(3) + V9Template(256, BasicIPv4Template()) +
                           V9DataFlowset(256, BasicIPv4Record({10, 9, 9, 9}, {172, 16, 9, 9}, 1, 2, 6, 0xFFFFFFF0u) +
                                                  BasicIPv4Record({172, 16, 9, 9}, {10, 9, 9, 9}, 2, 1, 6, 1500));

    // Three datagrams per second for 70 seconds, from two exporters; the span boundary falls
    // between the datagrams of one second and those of the next.
    std::vector<std::vector<std::string>> linesBySecond;
    for (int s = 0; s < 70; ++s) {
        std::vector<std::string> lines;
        for (const std::string& l : Send(V5Datagram(flows), "192.0.2.1", kT0 + s * 1000)) lines.push_back(l);
        for (const std::string& l : Send(v9, "192.0.2.2", kT0 + s * 1000 + 400)) lines.push_back(l);
        for (const std::string& l : Send(V5Datagram({flows[s % 30]}), "192.0.2.1", kT0 + s * 1000 + 999))
            lines.push_back(l);
        linesBySecond.push_back(lines);
    }
    for (int span : {1, 10, 60, 300}) {
        std::vector<std::string> inSpan;
        for (int s = std::max(0, 70 - span); s < 70; ++s)
            inSpan.insert(inSpan.end(), linesBySecond[s].begin(), linesBySecond[s].end());
        const TrafficTotals csv = CsvTotals(inSpan);
        ASSERT_GT(csv.Flows, 0u);
        EXPECT_EQ(aggregator.SpanTotals(span).Flows, csv.Flows) << span;
        EXPECT_EQ(aggregator.SpanTotals(span).Bytes, csv.Bytes) << span;
        for (std::size_t k = 0; k < kTalkerKinds; ++k) {
            const TalkerTop top = aggregator.Top(static_cast<TalkerKind>(k), span);
            EXPECT_EQ(top.Totals.Flows, csv.Flows) << "table " << k << " span " << span;
            EXPECT_EQ(top.Totals.Bytes, csv.Bytes) << "table " << k << " span " << span;
        }
    }
    // The version 9 conversation is counted once for both directions, with the big count unsigned.
    const TalkerTop talks = aggregator.Top(TalkerKind::Conversation, 1);
    EXPECT_EQ(trafficnames::DescribeKey(TalkerKind::Conversation, talks.Rows[0].Key), "10.9.9.9 <-> 172.16.9.9");
    EXPECT_EQ(talks.Rows[0].Totals, (TrafficTotals{2, 0xFFFFFFF0ull + 1500, 0}));
}

TEST(TrafficNamesTest, UnitsNamesAndServices) {
    EXPECT_EQ(trafficnames::FormatBytes(999), "999 B");
    EXPECT_EQ(trafficnames::FormatBytes(1500), "1.5 kB");
    EXPECT_EQ(trafficnames::FormatBytes(999'960), "1.0 MB");
    EXPECT_EQ(trafficnames::FormatBytes(3'200'000'000ull), "3.2 GB");
    EXPECT_EQ(trafficnames::FormatBitRate(850), "850 bit/s");
    EXPECT_EQ(trafficnames::FormatBitRate(34'500'000), "34.5 Mbit/s");
    EXPECT_EQ(trafficnames::FormatShare(1, 3), "33.3 %");
    EXPECT_EQ(trafficnames::FormatShare(1, 0), "-");
    EXPECT_EQ(trafficnames::FormatDuration(12'345), "12.345 s");
    EXPECT_EQ(trafficnames::FormatDuration(7), "0.007 s");
    EXPECT_EQ(trafficnames::FormatDuration(-1'500), "-1.500 s");  // an exporter whose end precedes its start
    EXPECT_EQ(trafficnames::SamplingText(1000), "1 in 1000");
    EXPECT_EQ(trafficnames::SamplingText(1), "");
    EXPECT_EQ(trafficnames::ProtocolName(6), "TCP");
    EXPECT_EQ(trafficnames::ProtocolName(58), "ICMPv6");
    EXPECT_EQ(trafficnames::ProtocolName(253), trafficnames::ProtocolName(253));  // cached, stable
    EXPECT_EQ(trafficnames::ProtocolNumber("udp"), 17);
    EXPECT_EQ(trafficnames::ProtocolNumber("nonsense"), -1);
    EXPECT_EQ(trafficnames::ServiceName(443), "https");
    EXPECT_EQ(trafficnames::ServiceName(0), "");
}

}  // namespace
