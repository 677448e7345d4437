#include "DatagramHandler.h"
#include "Doubles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <vector>

#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "flowdecode/NetflowV9.h"
#include "TestDatagrams.h"
#include "support/Tones.h"
#include "ScratchDirectory.h"

namespace {

using namespace testdatagrams;

// Records what the handler asks of the window, in order.
class RecordingWindow : public WindowUpdates {
public:
    void SetCaption(Caption Control, std::string_view Text) override {
        captions[Control] = Text;
        events.push_back(std::string(CaptionControlName(Control)) + "=" + std::string(Text));
    }
    void AddMemoLine(std::string_view Line) override {
        memo.emplace_back(Line);
        events.push_back("memo:" + std::string(Line));
    }
    void Beep() override { ++beeps; }

    std::map<Caption, std::string> captions;
    std::vector<std::string> memo;
    std::vector<std::string> events;
    int beeps = 0;
};

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
        brix32::SetClockForTesting(nullptr);
        reporter_.reset();
        netflowlib::ResetTemplateStore();
        ScratchDirectoryTest::TearDown();
    }

    std::unique_ptr<doubles::InstalledReporter> reporter_;

    void Handle(const std::string& datagram, const std::string& sender = "192.0.2.1") {
        handler.HandleDatagram(datagram.data(), datagram.size(), sender);
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
    DatagramHandler handler{window};
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
    handler.BeforeRecordForTesting = [](int slot) {
        if (slot == 1) throw std::runtime_error("window update failed");
    };
    Handle(V5Datagram({a, b, c}));
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

    handler.BeforeRecordForTesting = nullptr;
    window.memo.clear();
    Handle(V5Datagram({a, b, c}));
    EXPECT_EQ(window.memo.size(), 3u);
    EXPECT_EQ(Reports(), 1);
}

TEST_F(DatagramHandlerTest, RecordsOnBothSidesOfMidnightLandInTwoFiles) {
    // Each reading of the clock moves it on by 100 ms, starting just before midnight.
    double now = brix32::EncodeDateTime({2026, 12, 31, 23, 59, 59, 650});
    brix32::SetClockForTesting([&now] {
        const double t = now;
        now += 0.1 / 86400;
        return t;
    });
    std::vector<V5Flow> flows(6);
    for (unsigned i = 0; i < flows.size(); ++i) flows[i].src = 0x0A000000 + i;
    Handle(V5Datagram(flows));
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
