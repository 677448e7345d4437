#include "DatagramHandler.h"

#include <algorithm>

#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "FlowLines.h"
#include "support/GlobalSettings.h"
#include "flowdecode/NetflowHeader.h"
#include "support/TextFiles.h"

std::int32_t gThreadCount = 0;

namespace {

constexpr const char* kHandlerFunction = "TForm1.UDPServerUDPRead";
constexpr int kInitialV9Slots = 30;

std::string ThreadCountCaption() { return "Threadcount=" + std::to_string(gThreadCount); }

void ResetSlots(netflowlib::tNetflowV5Records& Slots) {
    for (auto& slot : Slots) slot = {};
}

void ResetSlots(netflowlib::tNetflowV9Records& Slots) {
    Slots.resize(kInitialV9Slots);
    for (auto& slot : Slots) slot = {};
}

}  // namespace

DatagramHandler::DatagramHandler(WindowUpdates& Window, std::unique_ptr<netflowlib::PacketTraceSink> TraceSink)
    : Window_(Window),
      TraceSink_(TraceSink ? std::move(TraceSink) : std::make_unique<netflowlib::FileTraceSink>()) {}

DatagramHandler::~DatagramHandler() = default;

void DatagramHandler::UDPServerUDPRead(TIdMemoryStream& AData, const TIdSocketHandle& ABinding) {
    const std::int64_t position = std::clamp<std::int64_t>(AData.Position(), 0, AData.Size());
    HandleDatagram(AData.Memory() + position, static_cast<std::size_t>(AData.Size() - position), ABinding.SenderIP);
}

void DatagramHandler::HandleDatagram(const char* Data, std::size_t Size, const std::string& SenderIP) {
    // One hand-over to the main thread per datagram instead of one per caption and line.
    struct Batch {
        WindowUpdates& Window;
        explicit Batch(WindowUpdates& W) : Window(W) { Window.BeginBatch(); }
        ~Batch() {
            try {
                Window.EndBatch();
            } catch (...) {
                // Losing the window updates of one datagram is better than losing the listener.
            }
        }
    } batch(Window_);
    brix32::tLogRec LogRec(kHandlerFunction);
    brix32::tExceptionRec ExceptionRec;
    brix32::RunTracedOperation(kHandlerFunction, LogRec, ExceptionRec, [&] {
        LogRec.Step(100);
        Body(Data, Size, SenderIP);
    });
    --gThreadCount;
    Window_.SetCaption(Caption::lblThreadCount, ThreadCountCaption());
}

void DatagramHandler::Body(const char* Data, std::size_t Size, const std::string& SenderIP) {
    ++gThreadCount;
    if (gThreadCount > 1) Window_.Beep();
    Window_.SetCaption(Caption::lblThreadCount, ThreadCountCaption());

    const std::string sPacket(Data, Size);

    netflowlib::tNetflowHeader Header{};
    netflowlib::DecodeHeader(sPacket, Header);

    int v5Count = 0;
    int v9Count = 0;
    if (Header.Version == 5) {
        ResetSlots(V5Records_);
        netflowlib::DecodeV5Packet(brix32::GlobalSettings.HostName, SenderIP, sPacket, Header, V5Records_);
        v5Count = netflowlib::V5RecordCount(sPacket, Header);
    } else if (Header.Version == 9) {
        ResetSlots(V9Records_);
        v9Count = netflowlib::DecodeV9Packet(brix32::GlobalSettings.HostName, SenderIP, sPacket, Header, true,
                                             V9Records_, *TraceSink_);
    }
    if (Exporters_) {
        const auto records = static_cast<std::uint32_t>(v5Count + v9Count);
        Exporters_->Observe(SenderIP, Header, sPacket.size(), records, WallClockMs());
    }

    if (netflowlib::gTemplateFlowsetFormat.FieldCount > 0) Window_.SetCaption(Caption::lblTemplate, "Waiting for v9 data");
    ShowHeader(Header, sPacket.size());

    // Version 5 shows the records the decoder filled; version 9 every slot its walk reached, even
    // when a later template of the same datagram withdrew the one it was decoded with.
    if (Header.Version == 5) WriteV5Records(v5Count);
    if (Header.Version == 9) WriteV9Records(v9Count);
}

void DatagramHandler::ShowHeader(const netflowlib::tNetflowHeader& Header, std::size_t PacketLength) {
    Window_.SetCaption(Caption::Label3, std::to_string(PacketLength));
    Window_.SetCaption(Caption::lblVersion, "[0-1] version: " + std::to_string(Header.Version));
    Window_.SetCaption(Caption::lblCount, "[2-3] flowsets: " + std::to_string(Header.FlowSets));
    Window_.SetCaption(Caption::lblsys_uptime, "[4-7] sys_uptime: " + std::to_string(Header.Sys_Uptime));
    Window_.SetCaption(Caption::lblUnixSecs, "[8-11] unix_secs: " + std::to_string(Header.UnixSeconds));
    Window_.SetCaption(Caption::lblunix_nsecs, "[12-15] unix_nsecs: " + std::to_string(Header.Unix_NSecs));
    Window_.SetCaption(Caption::lblflow_sequence, "[16-19] flow_sequence: " + std::to_string(Header.Flow_Sequence));
    Window_.SetCaption(Caption::lblengine_type, "[20] engine_type: " + std::to_string(Header.Engine_Type));
    Window_.SetCaption(Caption::lblengine_id, "[21] engine_id: " + std::to_string(Header.Engine_ID));
    Window_.SetCaption(Caption::lblsampling_interval,
                       "[22-23] sampling_interval: " + std::to_string(Header.Sampling_Interval));
    Window_.SetCaption(Caption::lblStatus, brix32::FormatLongTime(brix32::Now()));
}

void DatagramHandler::WriteV5Records(int Count) {
    const std::string& separator = brix32::ThousandsSeparator();
    for (int i = 0; i < Count; ++i) {
        if (BeforeRecordForTesting) BeforeRecordForTesting(i);
        const netflowlib::tNetflowV5& record = V5Records_[static_cast<std::size_t>(i)];
        SrcAddrCaption_.assign("[0-3] srcaddr: ").append(record.srcaddr);
        Window_.SetCaption(Caption::lblsrcaddr, SrcAddrCaption_);
        flowlines::BuildV5DisplayLine(DisplayLine_, record, separator);
        flowlines::BuildV5CsvLine(CsvLine_, record);
        AppendCsvLine(CsvLine_);
        Window_.AddMemoLine(DisplayLine_);
    }
}

void DatagramHandler::WriteV9Records(int Count) {
    const std::string& separator = brix32::ThousandsSeparator();
    const int slots = std::min<int>(Count, static_cast<int>(V9Records_.size()));
    for (int i = 0; i < slots; ++i) {
        const netflowlib::tNetflowV9& record = V9Records_[static_cast<std::size_t>(i)];
        // Records without an IPv4 source (IPv6 templates, slots of skipped flowsets) give no line.
        if (record.IPV4_SRC_ADDR.empty()) continue;
        if (BeforeRecordForTesting) BeforeRecordForTesting(i);
        flowlines::BuildV9DisplayLine(DisplayLine_, record, separator);
        flowlines::BuildV9CsvLine(CsvLine_, record);
        AppendCsvLine(CsvLine_);
        Window_.AddMemoLine(DisplayLine_);
    }
}

void DatagramHandler::AppendCsvLine(const std::string& Line) {
    // The day is looked up for every record, so a datagram handled across midnight splits; its
    // file name is only built anew when the day changes.
    const brix32::TDateTime now = brix32::Now();
    const std::int64_t day = brix32::DayNumber(now);
    if (day != CsvDay_ || CsvFileName_.empty()) {
        CsvFileName_ = flowlines::DailyFileName(now);
        CsvDay_ = day;
    }
    // The result is ignored (a line that cannot be written is lost, the loop goes on), so the
    // writer's check that the file still exists afterwards would be a wasted system call per flow.
    brix32::AppendToTextFile(Line, CsvFileName_, true, brix32::AfterClose::Skip);
}
