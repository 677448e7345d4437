// Per-exporter health: the sequence rules of each version, and the table that keeps exporters apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "Datagrams.h"
#include "ExporterTable.h"

namespace {

using Verdict = SequenceTracker::Verdict;

constexpr std::uint32_t kUptime = 3'600'000;

// Feeds version 9 sequence numbers one datagram each, at a steady uptime.
std::vector<Verdict> FeedV9(SequenceTracker& Tracker, std::initializer_list<std::uint32_t> Sequences) {
    std::vector<Verdict> verdicts;
    for (std::uint32_t s : Sequences)
        verdicts.push_back(Tracker.Observe(SequenceRule::CountsDatagrams, s, 30, kUptime));
    return verdicts;
}

netflowlib::tNetflowHeader V5(std::uint32_t Sequence, std::uint16_t Count, int EngineType = 0, int EngineId = 0) {
    netflowlib::tNetflowHeader h;
    h.Version = 5;
    h.FlowSets = Count;
    h.Sys_Uptime = kUptime;
    h.UnixSeconds = 1'700'000'000;
    h.Flow_Sequence = Sequence;
    h.Engine_Type = EngineType;
    h.Engine_ID = EngineId;
    h.HeaderLength = 24;
    return h;
}

netflowlib::tNetflowHeader V9(std::uint32_t Sequence, std::uint32_t SourceId) {
    netflowlib::tNetflowHeader h;
    h.Version = 9;
    h.FlowSets = 1;
    h.Sys_Uptime = kUptime;
    h.UnixSeconds = 1'700'000'000;
    h.Flow_Sequence = Sequence;
    h.Source_ID = SourceId;
    h.HeaderLength = 20;
    return h;
}

std::size_t V5Size(std::uint16_t Count) { return 24 + 48 * std::size_t{Count}; }

std::vector<tExporterRow> Rows(const ExporterTable& Table, tExporterTotals* Totals = nullptr) {
    std::vector<tExporterRow> rows;
    tExporterTotals totals;
    Table.Snapshot(rows, totals);
    if (Totals) *Totals = totals;
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.Serial < b.Serial; });
    return rows;
}

}  // namespace

TEST(SequenceRules, Version5CountsFlowsSoTheNextIsThisPlusTheRecords) {
    SequenceTracker t;
    EXPECT_EQ(t.Observe(SequenceRule::CountsRecords, 1000, 30, kUptime), Verdict::First);
    EXPECT_EQ(t.Observe(SequenceRule::CountsRecords, 1030, 10, kUptime), Verdict::InOrder);
    EXPECT_EQ(t.Expected(), 1040u);
    // Two datagrams of 30 flows never came.
    EXPECT_EQ(t.Observe(SequenceRule::CountsRecords, 1100, 30, kUptime), Verdict::Gap);
    EXPECT_EQ(t.Missed(), 60u);
    EXPECT_EQ(t.Expected(), 1130u);
    EXPECT_EQ(t.Last(), 1100u);
}

TEST(SequenceRules, Version9CountsDatagramsWhateverTheyHold) {
    SequenceTracker t;
    const auto v = FeedV9(t, {7, 8, 9, 12, 13});
    EXPECT_EQ(
        v, (std::vector<Verdict>{Verdict::First, Verdict::InOrder, Verdict::InOrder, Verdict::Gap, Verdict::InOrder}));
    EXPECT_EQ(t.Missed(), 2u);
    EXPECT_EQ(t.Expected(), 14u);
}

TEST(SequenceRules, NumbersWrapAt2To32WithoutALossOrARestart) {
    SequenceTracker v9;
    FeedV9(v9, {0xFFFFFFFEu, 0xFFFFFFFFu, 0u, 1u, 3u});
    EXPECT_EQ(v9.Missed(), 1u);
    EXPECT_EQ(v9.Restarts(), 0u);

    SequenceTracker v5;
    v5.Observe(SequenceRule::CountsRecords, 0xFFFFFFF0u, 30, kUptime);
    EXPECT_EQ(v5.Observe(SequenceRule::CountsRecords, 14u, 30, kUptime), Verdict::InOrder);

    // sys_uptime wraps after 49.7 days; going "back" from 2^32 - 1 ms to 5 ms is going on.
    SequenceTracker up;
    up.Observe(SequenceRule::CountsDatagrams, 1, 0, 0xFFFFFF00u);
    EXPECT_EQ(up.Observe(SequenceRule::CountsDatagrams, 2, 0, 5u), Verdict::InOrder);
}

TEST(SequenceRules, ReorderedDatagramsCountOnceAndGiveBackWhatTheGapTook) {
    SequenceTracker v9;
    const auto v = FeedV9(v9, {1, 2, 4, 3, 5});
    EXPECT_EQ(v[2], Verdict::Gap);
    EXPECT_EQ(v[3], Verdict::Late);
    EXPECT_EQ(v[4], Verdict::InOrder);
    EXPECT_EQ(v9.Missed(), 0u);
    EXPECT_EQ(v9.OutOfOrder(), 1u);
    EXPECT_EQ(v9.Expected(), 6u);

    SequenceTracker v5;
    v5.Observe(SequenceRule::CountsRecords, 0, 30, kUptime);
    v5.Observe(SequenceRule::CountsRecords, 60, 30, kUptime);  // 30..59 overtaken
    EXPECT_EQ(v5.Missed(), 30u);
    EXPECT_EQ(v5.Observe(SequenceRule::CountsRecords, 30, 30, kUptime - 2), Verdict::Late);
    EXPECT_EQ(v5.Missed(), 0u);
    EXPECT_EQ(v5.Expected(), 90u);
}

TEST(SequenceRules, RepeatedDatagramsAreNeitherLossNorReordering) {
    SequenceTracker v9;
    const auto v = FeedV9(v9, {10, 11, 11, 12, 10});
    EXPECT_EQ(v[2], Verdict::Repeat);
    EXPECT_EQ(v[4], Verdict::Repeat);
    EXPECT_EQ(v9.Repeated(), 2u);
    EXPECT_EQ(v9.OutOfOrder(), 0u);
    EXPECT_EQ(v9.Missed(), 0u);
    EXPECT_EQ(v9.Expected(), 13u);
}

TEST(SequenceRules, RestartsByUptimeGoingBackOrAFarJumpBackwards) {
    SequenceTracker byUptime;
    byUptime.Observe(SequenceRule::CountsDatagrams, 5000, 0, 900'000);
    // The device came back after a reboot with a fresh uptime; its sequence happens to be ahead.
    EXPECT_EQ(byUptime.Observe(SequenceRule::CountsDatagrams, 6000, 0, 20'000), Verdict::Restart);
    EXPECT_EQ(byUptime.Restarts(), 1u);
    EXPECT_EQ(byUptime.Missed(), 0u);
    EXPECT_EQ(byUptime.Observe(SequenceRule::CountsDatagrams, 6001, 0, 21'000), Verdict::InOrder);

    SequenceTracker byJump;
    FeedV9(byJump, {100000, 100001});
    // Far further back than any reordering: the exporter's counter started again.
    EXPECT_EQ(byJump.Observe(SequenceRule::CountsDatagrams, 3, 0, kUptime), Verdict::Restart);
    EXPECT_EQ(byJump.Restarts(), 1u);
    EXPECT_EQ(byJump.OutOfOrder(), 0u);
    EXPECT_EQ(byJump.Expected(), 4u);
    // What came before the restart is no repeat afterwards.
    EXPECT_EQ(byJump.Observe(SequenceRule::CountsDatagrams, 4, 0, kUptime), Verdict::InOrder);
}

TEST(ExporterTable, KeepsSendersVersionsSourceIdsAndEnginesApart) {
    ExporterTable table;
    table.Observe("10.0.0.1", V9(1, 7), 100, 2, 1000);
    table.Observe("10.0.0.1", V9(50, 8), 100, 2, 1000);
    table.Observe("10.0.0.1", V5(0, 2, 1, 3), V5Size(2), 2, 1000);
    table.Observe("10.0.0.2", V9(2, 7), 100, 2, 1000);
    table.Observe("10.0.0.1", V9(2, 7), 120, 3, 2500);

    const auto rows = Rows(table);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(FormatIPv4(rows[0].Address), "10.0.0.1");
    EXPECT_EQ(rows[0].Domain, 7u);
    EXPECT_EQ(rows[0].Datagrams, 2u);
    EXPECT_EQ(rows[0].Flows, 5u);
    EXPECT_EQ(rows[0].Bytes, 220u);
    EXPECT_EQ(rows[0].FirstSeenMs, 1000);
    EXPECT_EQ(rows[0].LastSeenMs, 2500);
    EXPECT_EQ(rows[0].Sequence.Missed(), 0u);
    EXPECT_EQ(rows[1].Domain, 8u);
    EXPECT_EQ(rows[2].Version, 5);
    EXPECT_EQ(rows[2].Domain, (1u << 8) | 3u);
    EXPECT_EQ(FormatIPv4(rows[3].Address), "10.0.0.2");
}

TEST(ExporterTable, Version5SequenceFollowsTheHeaderCountAndShortDatagramsAreMalformed) {
    ExporterTable table;
    table.Observe("192.0.2.1", V5(0, 30), V5Size(30), 30, 0);
    // The header says 30 flows but only 10 arrived whole: the exporter still counted 30.
    table.Observe("192.0.2.1", V5(30, 30), V5Size(10), 10, 0);
    table.Observe("192.0.2.1", V5(60, 5), V5Size(5), 5, 0);
    const auto row = Rows(table).at(0);
    EXPECT_EQ(row.Sequence.Missed(), 0u);
    EXPECT_EQ(row.Flows, 45u);
    EXPECT_EQ(row.Malformed, 1u);

    // Unrecognised datagrams are listed under their sender with nothing to follow.
    table.Observe("192.0.2.9", netflowlib::tNetflowHeader{}, 7, 0, 0);
    const auto rows = Rows(table);
    EXPECT_EQ(rows.at(1).Version, 0);
    EXPECT_EQ(rows.at(1).Malformed, 1u);
    EXPECT_FALSE(rows.at(1).HasClock);
}

TEST(ExporterTable, ClockOffsetIsExportTimeAgainstReceipt) {
    ExporterTable table;
    auto header = V5(0, 1);
    header.Unix_NSecs = 250'000'000;
    table.Observe("10.1.1.1", header, V5Size(1), 1, 1'700'000'002'000);
    const auto row = Rows(table).at(0);
    EXPECT_TRUE(row.HasClock);
    EXPECT_EQ(row.ClockOffsetMs, -1750);
}

TEST(ExporterTable, TemplatesLearnedWithdrawnRefusedAndMissing) {
    ExporterTable table;
    const auto ref = table.Observe("10.0.0.1", V9(1, 0), 100, 0, 1000);
    table.ObserveTemplate(ref, 256, 18, 1000);
    table.ObserveTemplate(ref, 257, 7, 1000);
    table.ObserveTemplate(ref, 256, 19, 4000);
    table.ObserveTemplateWithdrawn(ref, 257);
    table.ObserveTemplateRefused(ref, 300);
    table.ObserveMissingTemplate(ref, 258);
    table.ObserveMissingTemplate(ref, 258);
    table.ObserveCut(ref);
    table.ObserveMalformed(ref);
    const auto row = Rows(table).at(0);
    ASSERT_EQ(row.TemplateCount, 1);
    EXPECT_EQ(row.Templates[0].TemplateID, 256);
    EXPECT_EQ(row.Templates[0].FieldCount, 19);
    EXPECT_EQ(row.Templates[0].LastSeenMs, 4000);
    EXPECT_EQ(row.TemplatesWithdrawn, 1u);
    EXPECT_EQ(row.TemplatesRefused, 1u);
    EXPECT_EQ(row.MissingTemplate, 2u);
    EXPECT_EQ(row.Cut, 1u);
    EXPECT_EQ(row.Malformed, 1u);

    // More templates than slots: the one heard of longest ago gives way, and that is counted.
    for (std::uint16_t id = 300; id < 300 + tExporterRow::kTemplateSlots; ++id)
        table.ObserveTemplate(ref, id, 4, 5000 + id);
    const auto full = Rows(table).at(0);
    EXPECT_EQ(full.TemplateCount, tExporterRow::kTemplateSlots);
    EXPECT_EQ(full.TemplatesNotKept, 1u);
    EXPECT_TRUE(std::none_of(full.Templates.begin(), full.Templates.end(),
                             [](const tExporterTemplate& t) { return t.TemplateID == 256; }));
}

TEST(ExporterTable, PastTheCapTheLeastRecentlySeenIsDroppedAndCounted) {
    ExporterTable table(3);
    table.Observe("10.0.0.1", V9(1, 0), 100, 1, 1000);
    table.Observe("10.0.0.2", V9(1, 0), 100, 1, 2000);
    table.Observe("10.0.0.3", V9(1, 0), 100, 1, 3000);
    table.Observe("10.0.0.1", V9(2, 0), 100, 1, 4000);
    table.Observe("10.0.0.4", V9(1, 0), 100, 1, 5000);

    tExporterTotals totals;
    const auto rows = Rows(table, &totals);
    EXPECT_EQ(totals.Kept, 3u);
    EXPECT_EQ(totals.Evicted, 1u);
    std::vector<std::string> addresses;
    for (const auto& r : rows) addresses.push_back(FormatIPv4(r.Address));
    EXPECT_EQ(addresses, (std::vector<std::string>{"10.0.0.1", "10.0.0.3", "10.0.0.4"}));
    // The newcomer starts afresh in the freed slot.
    EXPECT_EQ(rows[2].Datagrams, 1u);
    EXPECT_EQ(rows[2].FirstSeenMs, 5000);

    // Coming back after eviction is a new exporter.
    table.Observe("10.0.0.2", V9(9, 0), 100, 1, 6000);
    EXPECT_EQ(Rows(table, &totals).back().Sequence.Missed(), 0u);
    EXPECT_EQ(totals.Evicted, 2u);
}

TEST(ExporterTable, SenderAddressesParseOnlyAsDottedQuads) {
    EXPECT_EQ(ParseIPv4("192.168.1.20"), 0xC0A80114u);
    EXPECT_EQ(FormatIPv4(0xC0A80114u), "192.168.1.20");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 "}) {
        EXPECT_EQ(ParseIPv4(bad), 0u) << bad;
    }
}

// IPFIX headers as DecodeHeader reads them: one exporter per observation domain, and the sequence
// counting data records.
TEST(ExporterTableIpfix, ObservationDomainsAreExportersOfTheirOwnAndSequenceCountsRecords) {
    const auto Header = [](std::uint32_t Domain, std::uint32_t Sequence) {
        netflowlib::tNetflowHeader h;
        netflowlib::DecodeHeader(fixtures::IpfixMessage(fixtures::Flowset(256, std::string(8, 'x')), Domain, Sequence),
                                 h);
        return h;
    };
    ExporterTable table;
    table.Observe("10.0.0.1", Header(1, 100), 28, 5, 1000);
    table.Observe("10.0.0.1", Header(2, 7), 28, 1, 1000);
    table.Observe("10.0.0.1", Header(1, 105), 28, 5, 1000);
    table.Observe("10.0.0.1", Header(1, 120), 28, 5, 1000);  // 10 records missed
    std::vector<tExporterRow> rows;
    tExporterTotals totals;
    table.Snapshot(rows, totals);
    ASSERT_EQ(rows.size(), 2u);
    std::sort(rows.begin(), rows.end(),
              [](const tExporterRow& a, const tExporterRow& b) { return a.Domain < b.Domain; });
    EXPECT_EQ(rows[0].Version, 10);
    EXPECT_EQ(rows[0].Domain, 1u);
    EXPECT_EQ(rows[0].Datagrams, 3u);
    EXPECT_EQ(rows[0].Sequence.Missed(), 10u);
    EXPECT_EQ(rows[0].Malformed, 0u);
    EXPECT_EQ(rows[1].Domain, 2u);
}
