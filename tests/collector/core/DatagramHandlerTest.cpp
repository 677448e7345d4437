#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <vector>

#include "DatagramHandler.h"
#include "DatagramsBehindDouble.h"
#include "Doubles.h"
#include "ExporterTable.h"
#include "FlowLines.h"
#include "RecentDatagrams.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"
#include "TestDatagrams.h"
#include "WindowDoubles.h"
#include "flowdecode/NetflowV9.h"
#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "support/Tones.h"

namespace {

using namespace testdatagrams;

class DatagramHandlerTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        netflowlib::ResetTemplateStore();
        gThreadCount = 0;
        brix32::GlobalSettings.ExceptionFileTemplate = "Exception-Netflow-{timestamp}.xml";
        reporter_ = std::make_unique<doubles::InstalledReporter>(Dir());
    }
    void TearDown() override {
        reporter_.reset();
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

    std::unique_ptr<doubles::InstalledReporter> reporter_;

    void Handle(const std::string& datagram, const std::string& sender = "192.0.2.1") {
        handler.HandleDatagram(datagram.data(), datagram.size(), sender);
    }

    static HandlerServices With(brix32::Clock& Clock, brix32::FileOutput& Output = brix32::SystemFileOutput()) {
        HandlerServices services;
        services.Clock = &Clock;
        services.CsvOutput = &Output;
        return services;
    }

    std::vector<std::string> CsvLines() const {
        std::vector<std::string> lines;
        for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("NetFlow-", 0) != 0) continue;
            const std::string text = ReadFile(entry.path().string());
            for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
                lines.push_back(text.substr(at, end - at));
        }
        return lines;
    }

    int Reports() const {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(Dir()))
            if (entry.path().filename().string().rfind("Exception-Netflow-", 0) == 0) ++n;
        return n;
    }

    RecordingWindow window;
    CollectorCounters counters;
    DatagramHandler handler{window, counters};
};

TEST_F(DatagramHandlerTest, Version5DatagramShowsHeaderAndRecords) {
    V5Flow a, b, c;
    b.src = 0x0A000002;
    c.src = 0x0A000003;
    c.octets = 4294967295u;
    Handle(V5Datagram({a, b}));
    EXPECT_EQ(window.captions[Caption::Label3], "120");
    EXPECT_EQ(window.captions[Caption::lblVersion], "[0-1] version: 5");
    EXPECT_EQ(window.captions[Caption::lblCount], "[2-3] flowsets: 2");
    EXPECT_EQ(window.captions[Caption::lblThreadCount], "Threadcount=0");
    EXPECT_EQ(window.captions[Caption::lblflow_sequence], "[16-19] flow_sequence: 0");
    EXPECT_EQ(window.captions[Caption::lblTemplate], "");  // no template known: caption untouched
    EXPECT_EQ(window.beeps, 0);
    // The count shows 1 while the handler runs and 0 once it has ended.
    EXPECT_EQ(window.events.front(), "lblThreadCount=Threadcount=1");

    window.memo.clear();
    Handle(V5Datagram({a, b, c}));
    ASSERT_EQ(window.memo.size(), 3u);
    EXPECT_EQ(window.memo[0], "1000 4294963296" + std::string(5, ' ') + "10.0.0.1(1234)" + std::string(18, ' ') +
                                  "->192.168.1.20(80)" + std::string(6, ' ') + "[6 ] 123,456");
    EXPECT_EQ(window.memo[2].substr(20, 8), "10.0.0.3");
    EXPECT_EQ(window.captions[Caption::lblsrcaddr], "[0-3] srcaddr: 10.0.0.3");
    const std::vector<std::string> csv = CsvLines();
    ASSERT_EQ(csv.size(), 5u);
    EXPECT_EQ(csv[2], "1000,4294963296,10.0.0.1,1234,192.168.1.20,80,6,123456");
    EXPECT_EQ(csv[4], "1000,4294963296,10.0.0.3,1234,192.168.1.20,80,6,4294967295");
    EXPECT_EQ(Reports(), 0);
}

// An IPFIX flow is shown and written exactly as the version 9 flow with the same values; its header
// fills the captions of the same meaning, 0 where IPFIX has no such field, and no trace is written.
TEST_F(DatagramHandlerTest, IpfixFlowGivesTheLinesOfTheSameVersion9Flow) {
    const std::string records = BasicIPv4Record({10, 0, 0, 1}, {192, 168, 1, 20}, 1234, 80, 17, 1500) +
                                BasicIPv4Record({10, 0, 0, 2}, {192, 168, 1, 21}, 53, 5353, 6, 3000000000u);
    Handle(V9Header(3) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, records));
    const std::vector<std::string> v9Memo = window.memo;
    const std::vector<std::string> v9Csv = CsvLines();
    std::remove((Dir() + netflowlib::kPacketTraceFileName).c_str());

    std::vector<fixtures::IpfixSpec> specs;
    for (auto [type, length] : BasicIPv4Template()) specs.push_back({type, length});
    Handle(fixtures::IpfixMessage(
        fixtures::Flowset(2, fixtures::IpfixTemplate(256, specs)) + fixtures::Flowset(256, records), 3, 9));
    ASSERT_EQ(window.memo.size(), 4u);
    EXPECT_EQ(window.memo[2], v9Memo[0]);
    EXPECT_EQ(window.memo[3], v9Memo[1]);
    const std::vector<std::string> csv = CsvLines();
    ASSERT_EQ(csv.size(), 4u);
    EXPECT_EQ(csv[2], v9Csv[0]);
    EXPECT_EQ(csv[3], v9Csv[1]);
    EXPECT_EQ(window.captions[Caption::lblVersion], "[0-1] version: 10");
    EXPECT_EQ(window.captions[Caption::lblUnixSecs], "[8-11] unix_secs: 1700000000");
    EXPECT_EQ(window.captions[Caption::lblflow_sequence], "[16-19] flow_sequence: 9");
    EXPECT_EQ(window.captions[Caption::lblsys_uptime], "[4-7] sys_uptime: 0");
    EXPECT_EQ(window.captions[Caption::lblCount], "[2-3] flowsets: 0");
    EXPECT_FALSE(Exists(Dir() + netflowlib::kPacketTraceFileName));
}

// Every flow that reaches the CSV is handed over for the Traffic views, one batch per datagram; an
// IPv6 flow gives no line but is handed over too, with its addresses whole.
TEST_F(DatagramHandlerTest, FlowsAreHandedOverPerDatagramIPv6Included) {
    FlowHandOver flows;
    handler.FeedFlows(&flows);
    Handle(V5Datagram({V5Flow{}, V5Flow{}}));
    std::string v6 =
        fixtures::Hex("20010db8000000000000000000000001") + fixtures::Hex("fe800000000000000000000000000002");
    v6 += fixtures::U16(443) + fixtures::U16(50000) + fixtures::U8(6) + fixtures::U32(777);
    const std::vector<std::pair<unsigned, unsigned>> v6Template = {{27, 16}, {28, 16}, {7, 2}, {11, 2}, {4, 1}, {1, 4}};
    Handle(V9Header(2) + V9Template(257, v6Template) + V9DataFlowset(257, v6 + std::string(3, '\0')));
    EXPECT_EQ(CsvLines().size(), 2u);

    std::vector<FlowBatch> batches;
    flows.Drain([&batches](const FlowBatch& Batch) { batches.push_back(Batch); });
    ASSERT_EQ(batches.size(), 2u);
    ASSERT_EQ(batches[0].size(), 2u);
    EXPECT_EQ(batches[0][0].Source.ToString(), "10.0.0.1");
    EXPECT_EQ(batches[0][0].Bytes, 123456u);
    EXPECT_EQ(batches[0][0].Version, 5);
    ASSERT_EQ(batches[1].size(), 1u);
    EXPECT_EQ(batches[1][0].Source.ToString(), "2001:db8::1");
    EXPECT_EQ(batches[1][0].Destination.ToString(), "fe80::2");
    EXPECT_EQ(batches[1][0].SourcePort, 443);
    EXPECT_EQ(batches[1][0].Bytes, 777u);
    EXPECT_EQ(batches[1][0].Version, 9);
}

// A datagram's arrival is read once, from the injected clock, and the sender arrives as numbers:
// the capture ring, the exporter table and the flow records agree on both.
TEST_F(DatagramHandlerTest, ArrivalAndSenderComeFromTheClockAndTheListenerNotFromText) {
    FakeClock clock(46000.25);  // 2025-12-09 06:00:00 UTC
    DatagramHandler timed(window, counters, nullptr, With(clock));
    RecentDatagrams recent;
    ExporterTable exporters;
    FlowHandOver flows;
    timed.FeedRecent(&recent);
    timed.FeedExporters(&exporters);
    timed.FeedFlows(&flows);
    const std::string datagram = V5Datagram({V5Flow{}});
    const SenderAddress sender{FlowAddress::FromIPv4(0xC6336407), 2055};  // 198.51.100.7
    timed.HandleDatagram(datagram.data(), datagram.size(), sender, "198.51.100.7");

    constexpr std::int64_t kExpectedUs = 1765260000LL * 1'000'000;
    const std::vector<tRecentDatagram> kept = recent.Snapshot();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].ArrivalUs, kExpectedUs);
    EXPECT_EQ(kept[0].SenderAddress, 0xC6336407u);
    EXPECT_EQ(kept[0].SenderPort, 2055);
    std::vector<FlowBatch> batches;
    flows.Drain([&batches](const FlowBatch& Batch) { batches.push_back(Batch); });
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0][0].ReceivedMs, kExpectedUs / 1000);
    EXPECT_EQ(batches[0][0].Exporter, sender.Address);
    std::vector<tExporterRow> rows;
    tExporterTotals totals;
    exporters.Snapshot(rows, totals);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(FormatIPv4(rows[0].Address), "198.51.100.7");
}

// With no room in the hand-over the flows still reach the CSV; the Traffic views count them as
// dropped, and are fed again as soon as there is room. The listener's batches tell whether it is
// behind.
TEST_F(DatagramHandlerTest, AFullHandOverCountsTheFlowsItCannotTake) {
    FlowHandOver flows(1);
    handler.FeedFlows(&flows);
    Handle(V5Datagram({V5Flow{}}));
    Handle(V5Datagram({V5Flow{}, V5Flow{}, V5Flow{}}));
    EXPECT_EQ(CsvLines().size(), 4u);
    EXPECT_EQ(flows.BatchesDropped(), 1u);
    EXPECT_EQ(flows.RecordsDropped(), 3u);

    std::vector<std::size_t> sizes;
    const auto drain = [&] { flows.Drain([&sizes](const FlowBatch& Batch) { sizes.push_back(Batch.size()); }); };
    drain();
    Handle(V5Datagram({V5Flow{}, V5Flow{}}));
    drain();
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(flows.RecordsDropped(), 3u);

    handler.BatchEnded(true);
    EXPECT_TRUE(flows.ListenerBehind());
    handler.BatchEnded(false);
    EXPECT_FALSE(flows.ListenerBehind());
    EXPECT_EQ(flows.Backlogs(), 1u);
}

TEST_F(DatagramHandlerTest, UnsignedHeaderFieldsNeverShowNegative) {
    std::string d = V5Datagram({V5Flow{}});
    for (int i = 4; i < 8; ++i) d[i] = '\xFF';
    d[20] = '\xFF';
    Handle(d);
    EXPECT_EQ(window.captions[Caption::lblsys_uptime], "[4-7] sys_uptime: 4294967295");
    EXPECT_EQ(window.captions[Caption::lblengine_type], "[20] engine_type: 255");
}

TEST_F(DatagramHandlerTest, UnknownVersionsAndEmptyDatagramsDecodeNothing) {
    std::string v7 = V5Datagram({V5Flow{}});
    v7[1] = 7;
    Handle(v7);
    EXPECT_EQ(window.captions[Caption::lblVersion], "[0-1] version: 0");
    EXPECT_EQ(window.captions[Caption::Label3], std::to_string(v7.size()));

    Handle("");
    EXPECT_EQ(window.captions[Caption::Label3], "0");
    EXPECT_EQ(window.captions[Caption::lblCount], "[2-3] flowsets: 0");
    EXPECT_EQ(window.captions[Caption::lblsys_uptime], "[4-7] sys_uptime: 0");
    EXPECT_EQ(window.captions[Caption::lblsampling_interval], "[22-23] sampling_interval: 0");
    EXPECT_TRUE(window.memo.empty());
    EXPECT_TRUE(CsvLines().empty());
    EXPECT_EQ(Reports(), 0);
    EXPECT_EQ(window.captions[Caption::lblThreadCount], "Threadcount=0");
}

TEST_F(DatagramHandlerTest, Version9TemplateTeachesAndDecodesInOneDatagram) {
    std::string records = BasicIPv4Record({10, 0, 0, 1}, {192, 168, 1, 20}, 1234, 80, 17, 1500) +
                          BasicIPv4Record({10, 0, 0, 2}, {192, 168, 1, 21}, 53, 5353, 6, 3000000000u);
    Handle(V9Header(3) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, records));
    EXPECT_EQ(window.captions[Caption::lblTemplate], "Waiting for v9 data");
    EXPECT_EQ(window.captions[Caption::lblVersion], "[0-1] version: 9");
    EXPECT_EQ(window.captions[Caption::lblunix_nsecs], "[12-15] unix_nsecs: 0");
    EXPECT_EQ(window.captions[Caption::lblengine_type], "[20] engine_type: 0");
    EXPECT_EQ(window.captions[Caption::lblengine_id], "[21] engine_id: 0");
    EXPECT_EQ(window.captions[Caption::lblsampling_interval], "[22-23] sampling_interval: 0");
    EXPECT_EQ(window.captions[Caption::lblflow_sequence], "[16-19] flow_sequence: 7");
    ASSERT_EQ(window.memo.size(), 2u);
    EXPECT_EQ(window.memo[0], "10.0.0.1(1234)        ->192.168.1.20(80)      [17]   1,500");
    // lblsrcaddr belongs to version 5 records only.
    EXPECT_EQ(window.captions.count(Caption::lblsrcaddr), 0u);
    const std::vector<std::string> csv = CsvLines();
    ASSERT_EQ(csv.size(), 2u);
    EXPECT_EQ(csv[0], "10.0.0.1,1234,192.168.1.20,80,17,1500,1500");
    EXPECT_EQ(csv[1], "10.0.0.2,53,192.168.1.21,5353,6,-1294967296,-1294967296");
    EXPECT_TRUE(Exists(Dir() + "debug-v9-packet.txt"));
}

TEST_F(DatagramHandlerTest, SlotsOfAnEarlierDatagramNeverShowAgain) {
    std::string three;
    for (std::uint8_t i = 1; i <= 3; ++i) three += BasicIPv4Record({10, 0, 0, i}, {192, 168, 1, i}, 1, 2, 6, 100);
    Handle(V9Header(2) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, three));
    ASSERT_EQ(CsvLines().size(), 3u);
    // A template without a source address: the first slot must not keep the last datagram's.
    std::string noSource;
    PutAddress(noSource, {192, 168, 9, 9});
    Put16(noSource, 1);
    Put16(noSource, 2);
    Put8(noSource, 17);
    Put32(noSource, 7);
    Handle(V9Header(2) + V9Template(257, {{12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4}}) + V9DataFlowset(257, noSource));
    EXPECT_EQ(CsvLines().size(), 3u);
    EXPECT_EQ(window.memo.size(), 3u);
}

TEST_F(DatagramHandlerTest, Version9WithoutUsableTemplateGivesNoLines) {
    const std::string data = V9DataFlowset(256, BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1, 2, 6, 100));
    Handle(V9Header(1) + data);
    EXPECT_TRUE(window.memo.empty());
    EXPECT_EQ(window.captions.count(Caption::lblTemplate), 0u);

    // A template without an IPv4 source (here: an IPv6 one) decodes records that have no line.
    std::string v6record(16, '\x20');
    v6record += std::string(16, '\x30');
    v6record += std::string("\x00\x50\x06", 3);
    Handle(V9Header(2) + V9Template(300, {{27, 16}, {28, 16}, {11, 2}, {4, 1}}) + V9DataFlowset(300, v6record));
    EXPECT_EQ(window.captions[Caption::lblTemplate], "Waiting for v9 data");
    EXPECT_TRUE(window.memo.empty());
    EXPECT_TRUE(CsvLines().empty());
}

TEST_F(DatagramHandlerTest, EveryVersion9RecordIsShownBeyondThirty) {
    std::string records;
    for (unsigned i = 0; i < 45; ++i) records += BasicIPv4Record({10, 0, 0, i}, {10, 1, 0, 1}, 1000 + i, 80, 6, i);
    Handle(V9Header(46) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, records));
    ASSERT_EQ(window.memo.size(), 45u);
    EXPECT_EQ(window.memo[44].substr(0, 16), "10.0.0.44(1044) ");
    EXPECT_EQ(CsvLines().size(), 45u);
}

TEST_F(DatagramHandlerTest, ErrorInTheLoopGivesOneReportAndTheNextDatagramIsHandled) {
    V5Flow a, b, c;
    b.src = 0x0A000002;
    c.src = 0x0A000003;
    // The second record's source caption fails, before its lines are made.
    FailingWindow failing(window, Caption::lblsrcaddr, 2, "window update failed");
    DatagramHandler failingHandler(failing, counters);
    const std::string datagram = V5Datagram({a, b, c});
    failingHandler.HandleDatagram(datagram.data(), datagram.size(), "192.0.2.1");
    EXPECT_EQ(Reports(), 1);
    // Records before the failure stay shown and written; the rest of the loop is skipped.
    EXPECT_EQ(window.memo.size(), 1u);
    EXPECT_EQ(CsvLines().size(), 1u);
    EXPECT_EQ(gThreadCount, 0);
    EXPECT_EQ(window.captions[Caption::lblThreadCount], "Threadcount=0");
    for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
        if (entry.path().filename().string().rfind("Exception-Netflow-", 0) != 0) continue;
        const std::string xml = ReadFile(entry.path().string());
        EXPECT_NE(xml.find("<Function>TForm1.UDPServerUDPRead</Function>"), std::string::npos);
        EXPECT_NE(xml.find("<Trace>100</Trace>"), std::string::npos);
        EXPECT_NE(xml.find("<e.Message>window update failed</e.Message>"), std::string::npos);
    }

    EXPECT_EQ(counters.ExceptionReports.Get(), 1u);
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 1u);

    window.memo.clear();
    failingHandler.HandleDatagram(datagram.data(), datagram.size(), "192.0.2.1");
    EXPECT_EQ(window.memo.size(), 3u);
    EXPECT_EQ(Reports(), 1);
}

TEST_F(DatagramHandlerTest, RecordsOnBothSidesOfMidnightLandInTwoFiles) {
    // Each reading of the clock moves it on by 100 ms, starting just before midnight.
    FakeClock clock(brix32::EncodeDateTime({2026, 12, 31, 23, 59, 59, 650}), 0.1);
    FullDiskOutput writes(1 << 20);
    DatagramHandler midnight(window, counters, nullptr, With(clock, writes));
    std::vector<V5Flow> flows(6);
    for (unsigned i = 0; i < flows.size(); ++i) flows[i].src = 0x0A000000 + i;
    const std::string datagram = V5Datagram(flows);
    midnight.HandleDatagram(datagram.data(), datagram.size(), "192.0.2.1");
    // One write for each day's share of the datagram.
    EXPECT_EQ(writes.Calls, 2);
    const std::string before = ReadFile(Dir() + "NetFlow-20261231.csv");
    const std::string after = ReadFile(Dir() + "NetFlow-20270101.csv");
    EXPECT_FALSE(before.empty());
    EXPECT_FALSE(after.empty());
    EXPECT_EQ(CsvLines().size(), 6u);
    // The earlier records went to the earlier day.
    EXPECT_NE(before.find(",10.0.0.0,"), std::string::npos);
    EXPECT_NE(after.find(",10.0.0.5,"), std::string::npos);
}

}  // namespace

namespace {

std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    if (at != text.size()) lines.push_back("<torn>" + text.substr(at));
    return lines;
}

std::vector<V5Flow> Flows(unsigned Count, unsigned First = 0) {
    std::vector<V5Flow> flows(Count);
    for (unsigned i = 0; i < Count; ++i) flows[i].src = 0x0A000000 + First + i;
    return flows;
}

class DatagramHandlerWriteTest : public DatagramHandlerTest {
  protected:
    void Send(DatagramHandler& Handler, const std::string& Datagram, bool LaterV9Queued = false) {
        Handler.HandleDatagram(Datagram.data(), Datagram.size(), "192.0.2.1", FakeBehind::Version9(LaterV9Queued));
    }
    std::string DayFile() const { return flowlines::DailyFileName(clock.Time); }
    // The trace without its first line, whose date-time is the decoder's wall clock.
    static std::string TraceBody() {
        const std::string trace = ReadFile(netflowlib::kPacketTraceFileName);
        return trace.substr(trace.find("\r\n"));
    }

    FakeClock clock;
};

TEST_F(DatagramHandlerWriteTest, ADatagramsLinesGoOutInOneWriteInRecordOrder) {
    FullDiskOutput writes(1 << 20);
    DatagramHandler one(window, counters, nullptr, With(clock, writes));
    Send(one, V5Datagram(Flows(30)));
    EXPECT_EQ(writes.Calls, 1);
    const std::vector<std::string> lines = LinesOf(ReadFile(DayFile()));
    ASSERT_EQ(lines.size(), 30u);
    for (unsigned i = 0; i < 30; ++i)
        EXPECT_EQ(lines[i].substr(16, 10), "10.0.0." + std::to_string(i) + (i < 10 ? ",1" : ","));
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 30u);
    EXPECT_EQ(counters.CsvLinesLost.Get(), 0u);
}

TEST_F(DatagramHandlerWriteTest, AReceiveBatchGoesOutInOneAppendYetAFullDiskKeepsEveryDatagramThatFits) {
    const std::vector<std::string> batch = {V5Datagram(Flows(1)), V5Datagram(Flows(3, 10)), V5Datagram(Flows(1, 20))};
    const auto sendBatch = [&](DatagramHandler& Handler) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const bool more = i + 1 < batch.size();
            Handler.HandleDatagram(batch[i].data(), batch[i].size(), "192.0.2.1",
                                   more ? FakeBehind({"x"}) : FakeBehind());
        }
        Handler.BatchEnded();
    };

    FullDiskOutput writes(1 << 20);
    DatagramHandler roomy(window, counters, nullptr, With(clock, writes));
    for (std::size_t i = 0; i + 1 < batch.size(); ++i)
        roomy.HandleDatagram(batch[i].data(), batch[i].size(), "192.0.2.1", FakeBehind({"x"}));
    EXPECT_FALSE(std::filesystem::exists(DayFile()));  // held until the batch ends
    roomy.HandleDatagram(batch[2].data(), batch[2].size(), "192.0.2.1", FakeBehind({"x"}));
    roomy.BatchEnded();
    EXPECT_EQ(writes.Calls, 1);
    const std::vector<std::string> all = LinesOf(ReadFile(DayFile()));
    ASSERT_EQ(all.size(), 5u);
    EXPECT_NE(all[1].find(",10.0.0.10,"), std::string::npos);
    EXPECT_NE(all[4].find(",10.0.0.20,"), std::string::npos);
    std::filesystem::remove(DayFile());

    // Room for the first and the last datagram, not for the middle one as well: one append per
    // datagram would have kept those two.
    const std::size_t middle = all[1].size() + all[2].size() + all[3].size() + 6;
    SmallDiskOutput disk(static_cast<long>(all[0].size() + all[4].size() + 4 + middle / 2));
    CollectorCounters fullCounters;
    DatagramHandler full(window, fullCounters, nullptr, With(clock, disk));
    sendBatch(full);
    const std::vector<std::string> kept = LinesOf(ReadFile(DayFile()));
    EXPECT_EQ(kept, (std::vector<std::string>{all[0], all[4]}));
    EXPECT_EQ(fullCounters.CsvLinesWritten.Get(), 2u);
    EXPECT_EQ(fullCounters.CsvLinesLost.Get(), 3u);
    EXPECT_EQ(fullCounters.CsvFailure.Load().Errno, ENOSPC);
}

TEST_F(DatagramHandlerWriteTest, TheClockIsReadOncePerDatagramExceptJustBeforeMidnight) {
    CollectorCounters writerCounters;
    // Each reading moves the clock on by 0.4 s: a datagram read once per line would cross days.
    FakeClock early(brix32::EncodeDateTime({2026, 12, 31, 23, 59, 57, 0}), 0.4);
    DailyCsvWriter writer(early, writerCounters);
    for (int i = 0; i < 30; ++i) writer.Add("1,2,3\r\n");
    writer.EndDatagram();
    EXPECT_EQ(early.Readings, 1);
    // 23:59:57.4 now: more than a second before midnight, so this one is read once as well.
    for (int i = 0; i < 5; ++i) writer.Add("4,5,6\r\n");
    writer.EndDatagram();
    EXPECT_EQ(early.Readings, 2);
    // From 23:59:59.2 every line reads it until one lands in the new day: 59.2, 59.6, 00.0.
    early.Advance(1.4);
    for (int i = 0; i < 6; ++i) writer.Add(i < 2 ? "7,8,9\r\n" : "0,0,0\r\n");
    writer.Flush();
    EXPECT_EQ(early.Readings, 5);
    EXPECT_EQ(LinesOf(ReadFile("NetFlow-20261231.csv")).size(), 37u);
    EXPECT_EQ(LinesOf(ReadFile("NetFlow-20270101.csv")), std::vector<std::string>(4, "0,0,0"));
}

TEST_F(DatagramHandlerWriteTest, AWriteThatFailsPartWayLeavesTheFileAsItWas) {
    // Room for the first datagram's line and part of the second datagram's lines.
    FullDiskOutput disk(62 + 100);
    DatagramHandler full(window, counters, nullptr, With(clock, disk));
    Send(full, V5Datagram(Flows(1)));
    const std::string before = ReadFile(DayFile());
    ASSERT_EQ(LinesOf(before).size(), 1u);

    Send(full, V5Datagram(Flows(3, 10)));
    EXPECT_EQ(ReadFile(DayFile()), before);
    EXPECT_EQ(counters.CsvLinesLost.Get(), 3u);
    // Why, and where, for the status bar and standard error.
    EXPECT_EQ(counters.CsvFailure.Load().Errno, ENOSPC);
    EXPECT_EQ(counters.CsvFailure.Load().FileName, DayFile().substr(DayFile().rfind('/') + 1));
    // The window still shows them.
    EXPECT_EQ(window.memo.size(), 4u);

    // Once there is room again the next datagram follows on a line of its own.
    disk.Budget = 1 << 20;
    Send(full, V5Datagram(Flows(3, 20)));
    const std::vector<std::string> lines = LinesOf(ReadFile(DayFile()));
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), ','), 7) << line;
    EXPECT_NE(lines[1].find(",10.0.0.20,"), std::string::npos);
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 4u);
}

TEST_F(DatagramHandlerWriteTest, APlantedLinkIsNotWrittenThrough) {
    WriteFile("elsewhere.txt", "keep");
    ASSERT_EQ(::symlink("elsewhere.txt", DayFile().c_str()), 0);
    DatagramHandler linked(window, counters, nullptr, With(clock));
    Send(linked, V5Datagram(Flows(2)));
    EXPECT_EQ(ReadFile("elsewhere.txt"), "keep");
    EXPECT_EQ(counters.CsvLinesLost.Get(), 2u);
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 0u);
}

TEST_F(DatagramHandlerWriteTest, CountersFollowWhatTheHeaderSaid) {
    DatagramHandler counting(window, counters, nullptr, With(clock));
    V5Flow big;
    big.octets = 4000000000u;
    Send(counting, V5Datagram({big, V5Flow{}}));
    Send(counting, V9Header(2) + V9Template(256, BasicIPv4Template()) +
                       V9DataFlowset(256, BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1, 2, 6, 3000000000u)));
    std::string v7 = V5Datagram({V5Flow{}});
    v7[1] = 7;
    Send(counting, v7);
    std::string ipfix = v7;
    ipfix[1] = 10;
    Send(counting, ipfix);
    Send(counting, "");
    Send(counting, V5Header(1).substr(0, 10));
    EXPECT_EQ(counters.V5Datagrams.Get(), 1u);
    EXPECT_EQ(counters.V9Datagrams.Get(), 1u);
    EXPECT_EQ(counters.UnknownVersion.Get(), 1u);
    EXPECT_EQ(counters.IpfixDatagrams.Get(), 1u);
    EXPECT_EQ(counters.TooShort.Get(), 2u);
    EXPECT_EQ(counters.Flows.Get(), 3u);
    // Both byte counts as the exporters' unsigned 32-bit numbers, the version 9 one too.
    EXPECT_EQ(counters.Bytes.Get(), 4000000000ull + 123456ull + 3000000000ull);
    EXPECT_EQ(counters.CsvLinesWritten.Get(), 3u);
}

// Three version 9 datagrams arriving together, as the listener hands them over: the first teaches
// the template and leaves the marker 1400, the second leaves "iFlowSetID=5", the third none.
std::vector<std::string> BurstOfThree() {
    return {V9Header(2) + V9Template(256, BasicIPv4Template()) +
                V9DataFlowset(256, BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1, 2, 6, 100)),
            V9Header(2) + V9DataFlowset(256, BasicIPv4Record({10, 0, 0, 3}, {10, 0, 0, 4}, 1, 2, 6, 100)) +
                V9DataFlowset(5, std::string(4, '\0')),
            V9Header(1) + V9DataFlowset(1, std::string(4, '\0'))};
}

TEST_F(DatagramHandlerWriteTest, TracesReplacedUnreadAreSkippedYetTheFilesEndAsIfAllWereTraced) {
    std::filesystem::create_directory("every");
    std::filesystem::current_path("every");
    {
        DatagramHandler every(window, counters, nullptr, With(clock));
        for (const std::string& d : BurstOfThree()) Send(every, d);
    }
    const std::string everyTrace = TraceBody();
    const std::string everyMarker = ReadFile(netflowlib::kMarkerFileName);
    ASSERT_EQ(everyMarker, "iFlowSetID=5");
    std::filesystem::current_path("..");
    netflowlib::ResetTemplateStore();

    CollectorCounters policyCounters;
    DatagramHandler policy(window, policyCounters, nullptr, With(clock));
    const std::vector<std::string> burst = BurstOfThree();
    Send(policy, burst[0], true);  // no trace written yet: this one is
    Send(policy, burst[1], true);  // within 100 ms of it and replaced unread: skipped
    EXPECT_EQ(policyCounters.TracesSkipped.Get(), 1u);
    Send(policy, burst[2], false);
    policy.BatchEnded();
    EXPECT_EQ(TraceBody(), everyTrace);
    EXPECT_EQ(ReadFile(netflowlib::kMarkerFileName), everyMarker);
    EXPECT_EQ(policyCounters.TracesWritten.Get(), 2u);
    // Nothing of the staged replacements is left behind.
    for (const auto& entry : std::filesystem::directory_iterator(Dir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

}  // namespace
