// What an operator reads off the flows beyond the lines: times, sampling rates, interface names, and
// flows whose template came late.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DatagramHandler.h"
#include "Doubles.h"
#include "ExporterTable.h"
#include "InterfaceNames.h"
#include "SamplingTable.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"
#include "TestDatagrams.h"
#include "WindowDoubles.h"

namespace {

using namespace testdatagrams;
using fixtures::U16;
using fixtures::U32;
using fixtures::U8;

// 2023-11-14 22:13:20 UTC, the export time of the test datagrams, as a TDateTime.
constexpr double kExportDay = 25569.0 + 1700000000.0 / 86400.0;
constexpr std::int64_t kExportMs = 1700000000LL * 1000;

std::string V5WithSampling(const std::vector<V5Flow>& Flows, std::uint16_t Sampling, std::uint32_t Uptime) {
    std::string s = V5Header(static_cast<unsigned>(Flows.size()), Uptime);
    s.replace(s.size() - 2, 2, U16(Sampling));
    for (const V5Flow& f : Flows) s += V5Record(f);
    return s;
}

class FlowNumbersTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        netflowlib::ResetTemplateStore();
        reporter_ = std::make_unique<doubles::InstalledReporter>(Dir());
        HandlerServices services;
        services.Clock = &clock;
        handler = std::make_unique<DatagramHandler>(window, counters, nullptr, services);
        handler->FeedExporters(&exporters);
        handler->FeedInterfaces(&names);
        handler->FeedFlows(&flows);
    }
    void TearDown() override {
        handler.reset();
        reporter_.reset();
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

    void Handle(const std::string& Datagram, const std::string& Sender = "192.0.2.1") {
        handler->HandleDatagram(Datagram.data(), Datagram.size(), Sender);
    }
    std::vector<FlowRecord> Flows() {
        std::vector<FlowRecord> all;
        flows.Drain([&all](const FlowBatch& Batch) { all.insert(all.end(), Batch.begin(), Batch.end()); });
        return all;
    }
    tExporterRow Row(std::size_t Index = 0) const {
        std::vector<tExporterRow> rows;
        tExporterTotals totals;
        exporters.Snapshot(rows, totals);
        return Index < rows.size() ? rows[Index] : tExporterRow{};
    }
    std::vector<std::string> CsvLines() const {
        std::vector<std::string> lines;
        for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
            if (entry.path().filename().string().rfind("NetFlow-", 0) != 0) continue;
            const std::string text = ReadFile(entry.path().string());
            for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
                lines.push_back(text.substr(at, end - at));
        }
        return lines;
    }

    std::unique_ptr<doubles::InstalledReporter> reporter_;
    FakeClock clock{kExportDay};
    RecordingWindow window;
    CollectorCounters counters;
    ExporterTable exporters;
    InterfaceNames names;
    FlowHandOver flows;
    std::unique_ptr<DatagramHandler> handler;
};

}  // namespace

TEST_F(FlowNumbersTest, Version5TimesAndSamplingFromTheHeader) {
    V5Flow f;
    f.first = 50'000;
    f.last = 58'000;
    // Mode 1 (deterministic) in the top bits, 1 in 100 below.
    Handle(V5WithSampling({f}, 0x4000 | 100, 60'000));
    const auto got = Flows();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].TimesFromExporter);
    EXPECT_EQ(got[0].StartMs, kExportMs - 10'000);
    EXPECT_EQ(got[0].EndMs, kExportMs - 2'000);
    EXPECT_EQ(got[0].SamplingRate, 100u);
    EXPECT_EQ(got[0].Bytes, f.octets) << "raw counters";
    EXPECT_EQ(got[0].ScaledBytes(), 100u * f.octets);
    EXPECT_EQ(Row().Sampling, "1 in 100, version 5 header, mode 1");
    EXPECT_EQ(Row().SamplingRate, 100u);

    // A flow stamped two days before its arrival keeps its arrival, and is counted.
    clock.Advance(2 * 86400);
    Handle(V5WithSampling({f}, 0, 60'000));
    const auto late = Flows();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_FALSE(late[0].TimesFromExporter);
    EXPECT_EQ(late[0].StartMs, late[0].ReceivedMs);
    EXPECT_EQ(late[0].SamplingRate, 1u);
    EXPECT_EQ(Row().TimesImplausible, 1u);
    EXPECT_EQ(Row().Sampling, "none reported");
}

TEST_F(FlowNumbersTest, OptionsDataSetsTheRateOfTheFlowsThatFollowAndTheOperatorWins) {
    // Options template 300: scope system, sampler id (48/1) and random interval (50/4).
    const std::string options =
        fixtures::Flowset(1, U16(300) + U16(4) + U16(8) + U16(1) + U16(4) + U16(48) + U16(1) + U16(50) + U16(4));
    const std::vector<std::pair<unsigned, unsigned>> withSampler = {{8, 4}, {12, 4}, {1, 4}, {48, 1}};
    std::string record = BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1, 2, 6, 500).substr(0, 8) + U32(500) + U8(1);
    Handle(V9Header(2) + options + V9DataFlowset(300, U32(0) + U8(1) + U32(1000)) + V9Template(256, withSampler) +
           V9DataFlowset(256, record + std::string(3, '\0')));
    auto got = Flows();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].SamplingRate, 1000u);
    EXPECT_EQ(got[0].SamplerId, 1u);
    EXPECT_EQ(Row().Sampling, "1 in 1000, options data, sampler 1");
    EXPECT_EQ(Row().OptionsRecords, 1u);

    // A rate of 0 is counted and changes nothing.
    Handle(V9Header(1) + V9DataFlowset(300, U32(0) + U8(1) + U32(0)) +
           V9DataFlowset(256, record + std::string(3, '\0')));
    got = Flows();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].SamplingRate, 1000u);
    EXPECT_EQ(Row().OptionsIgnored, 1u);

    // The operator's rate wins over the exporter's.
    FlowHandOver other;
    DatagramHandler overridden(window, counters);
    overridden.SetSamplingRate(FlowAddress::Parse("192.0.2.1"), 50);
    overridden.FeedFlows(&other);
    const std::string v5 = V5WithSampling({V5Flow{}}, 100, 1);
    overridden.HandleDatagram(v5.data(), v5.size(), "192.0.2.1");
    std::vector<FlowRecord> v5flows;
    other.Drain([&v5flows](const FlowBatch& Batch) { v5flows.insert(v5flows.end(), Batch.begin(), Batch.end()); });
    ASSERT_EQ(v5flows.size(), 1u);
    EXPECT_EQ(v5flows[0].SamplingRate, 50u);
}

TEST_F(FlowNumbersTest, InterfaceNamesFromOptionsDataAreKeptPerExporter) {
    auto Padded = [](std::string s) {
        s.resize(8, '\0');
        return s;
    };
    const std::string options =
        fixtures::Flowset(1, U16(301) + U16(4) + U16(8) + U16(2) + U16(4) + U16(82) + U16(8) + U16(83) + U16(0));
    Handle(V9Header(0) + options + V9DataFlowset(301, U32(3) + Padded("Gi0/0/1")), "192.0.2.1");
    EXPECT_EQ(names.Label(FlowAddress::Parse("192.0.2.1"), 3), "Gi0/0/1 (3)");
    EXPECT_EQ(names.Label(FlowAddress::Parse("192.0.2.9"), 3), "3") << "another exporter's interface 3";
    EXPECT_EQ(names.Label(FlowAddress::Parse("192.0.2.1"), 4), "4");
}

TEST_F(FlowNumbersTest, FlowsBeforeTheirTemplateReachTheCsvAndTheConsumersWhenItComes) {
    const std::string early = BasicIPv4Record({10, 0, 0, 1}, {10, 0, 0, 2}, 1000, 80, 6, 111) +
                              BasicIPv4Record({10, 0, 0, 3}, {10, 0, 0, 4}, 1001, 443, 6, 222);
    Handle(V9Header(2) + V9DataFlowset(256, early + std::string(2, '\0')));
    EXPECT_TRUE(CsvLines().empty());
    EXPECT_TRUE(Flows().empty());
    EXPECT_EQ(Row().SetsHeld, 1u);
    const std::int64_t heldAt = Flows().empty() ? clock.EpochMicroseconds() / 1000 : 0;

    clock.Advance(45);
    const std::string own = BasicIPv4Record({10, 0, 0, 5}, {10, 0, 0, 6}, 1002, 53, 17, 333);
    Handle(V9Header(2) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, own + std::string(3, '\0')));
    const auto lines = CsvLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("10.0.0.1"), std::string::npos) << "the held flows come first";
    EXPECT_NE(lines[1].find("10.0.0.3"), std::string::npos);
    EXPECT_NE(lines[2].find("10.0.0.5"), std::string::npos);
    const auto got = Flows();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].ReceivedMs, heldAt) << "a held flow keeps its own arrival";
    EXPECT_EQ(got[2].ReceivedMs, heldAt + 45'000);
    EXPECT_EQ(Row().SetsDecodedLate, 1u);
    EXPECT_EQ(Row().Flows, 3u);
    EXPECT_EQ(counters.SetsDecodedLate.Get(), 1u);
}

TEST(CollectorOptions, SamplingRatesAreParsedAndMistakesNamed) {
    CollectorOptions options;
    std::string error;
    ASSERT_TRUE(ParseCollectorOptions(
        {"--traffic", "--sampling-rate", "192.0.2.1=1000", "--sampling-rate=2001:db8::1=64", "--unknown"}, options,
        error));
    EXPECT_TRUE(options.OpenTraffic);
    ASSERT_EQ(options.SamplingRates.size(), 2u);
    EXPECT_EQ(options.SamplingRates[0].first.ToString(), "192.0.2.1");
    EXPECT_EQ(options.SamplingRates[0].second, 1000u);
    EXPECT_EQ(options.SamplingRates[1].first.ToString(), "2001:db8::1");
    for (const std::string bad : {"192.0.2.1", "192.0.2.1=0", "192.0.2.1=x", "host=5", "192.0.2.1=5x", "=5"}) {
        CollectorOptions o;
        error.clear();
        EXPECT_FALSE(ParseCollectorOptions({"--sampling-rate", bad}, o, error)) << bad;
        EXPECT_NE(error.find("--sampling-rate"), std::string::npos) << error;
    }
    CollectorOptions o;
    EXPECT_FALSE(ParseCollectorOptions({"--sampling-rate"}, o, error));
}

TEST(SamplingTableTest, FlowsWithoutASamplerTakeTheExporterWideRateOrTheOnlySampler) {
    SamplingTable table;
    const FlowAddress a = FlowAddress::Parse("192.0.2.1");
    netflowlib::tOptionsRecord r;
    r.Domain = 1;
    r.Facts.Present = netflowlib::tFlowFacts::kSamplerId | netflowlib::tFlowFacts::kSamplingInterval;
    r.Facts.SamplerId = 5;
    r.Facts.SamplingInterval = 200;
    ASSERT_TRUE(table.Learn(a, r));
    netflowlib::tFlowFacts none;
    EXPECT_EQ(table.RateFor(a, 1, none), 200u) << "the only sampler of the domain";
    EXPECT_EQ(table.RateFor(a, 2, none), 1u) << "another domain";
    r.Facts.SamplerId = 6;
    r.Facts.SamplingInterval = 10;
    table.Learn(a, r);
    EXPECT_EQ(table.RateFor(a, 1, none), 1u) << "two samplers: a flow that names none is not guessed";
    netflowlib::tFlowFacts six;
    six.Present = netflowlib::tFlowFacts::kSamplerId;
    six.SamplerId = 6;
    EXPECT_EQ(table.RateFor(a, 1, six), 10u);
    EXPECT_EQ(table.Describe(a, 1).Text, "2 samplers, options data");
    EXPECT_EQ(table.Describe(a, 1).Rate, 0u);
    // A flow's own sampling fields are honoured.
    netflowlib::tFlowFacts own;
    own.Present = netflowlib::tFlowFacts::kSamplingInterval;
    own.SamplingInterval = 4096;
    EXPECT_EQ(table.RateFor(a, 1, own), 4096u);
}
