#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Counters.h"
#include "DailyCsvWriter.h"
#include "DatagramsBehind.h"
#include "ExporterTable.h"
#include "FlowHandOver.h"
#include "FlowLines.h"
#include "FlowRecord.h"
#include "IdUDPServer.h"
#include "InterfaceNames.h"
#include "RecentDatagrams.h"
#include "SamplingTable.h"
#include "TracePolicy.h"
#include "WindowUpdates.h"
#include "flowdecode/DecodeServices.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/PendingSets.h"
#include "support/Seams.h"
#include "support/TextFiles.h"

// Number of datagram handler calls running (unit Main). Set to 0 at start-up; afterwards only the
// listener thread touches it, and it delivers datagrams one at a time.
extern std::int32_t gThreadCount;

// The side effects of the handler besides the window, with the production defaults.
struct HandlerServices {
    brix32::Clock* Clock = &brix32::SystemClock();
    brix32::ExceptionReporter* Reporter = &brix32::DefaultExceptionReporter();
    brix32::FileOutput* CsvOutput = &brix32::SystemFileOutput();
};

// The body of TForm1.UDPServerUDPRead: decodes one datagram, shows its header and records through
// WindowUpdates and appends every flow to the day's CSV file. Runs on the listener thread and never
// touches a widget; lets no error escape. TraceFiles writes the packet trace and the markers; it
// must hold them until its Finish (the staged sink, the default).
class DatagramHandler {
  public:
    DatagramHandler(WindowUpdates& Window, CollectorCounters& Counters,
                    std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles = nullptr, HandlerServices Services = {});
    // With counters of its own, for callers that do not show them.
    explicit DatagramHandler(WindowUpdates& Window, std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles = nullptr);
    ~DatagramHandler();

    // Behind: what the listener holds behind this datagram. When another datagram of the batch
    // follows, this one's CSV lines wait for the batch's end and go out with the others' in one
    // append; when a version 9 datagram follows, this one's trace may be left out.
    void UDPServerUDPRead(TIdMemoryStream& AData, const TIdSocketHandle& ABinding,
                          const DatagramsBehind& Behind = NothingBehind{});
    // The same for a datagram given as bytes, as the listener's stream holds them, with its sender
    // as numbers and as text.
    void HandleDatagram(const char* Data, std::size_t Size, const SenderAddress& Sender, const std::string& SenderIP,
                        const DatagramsBehind& Behind = NothingBehind{});
    // The same with the sender as text only (tests, tools).
    void HandleDatagram(const char* Data, std::size_t Size, const std::string& SenderIP,
                        const DatagramsBehind& Behind = NothingBehind{});
    // The listener has handed over every datagram it had: whatever was held back is written.
    // BatchWasFull: the batch was as large as the listener takes at once, so more may wait.
    void BatchEnded(bool BatchWasFull = false);
    // Every datagram is counted there once its header is decoded; none while unset.
    void FeedExporters(ExporterTable* Table) { Exporters_ = Table; }
    // From the next datagram on, every flow that reaches the CSV is also handed over there, a
    // datagram's flows as one batch. Any thread, up to kMaxFlowFeeds hand-overs; false when all
    // are taken. A hand-over fed once is fed until the handler ends.
    static constexpr std::size_t kMaxFlowFeeds = 8;
    bool FeedFlows(FlowHandOver* Flows);
    // Every datagram is kept there as it arrived, before anything decodes it; none while unset.
    void FeedRecent(RecentDatagrams* Recent) { Recent_ = Recent; }
    // Interface names from options data go there; none while unset.
    void FeedInterfaces(InterfaceNames* Names) { Interfaces_ = Names; }
    // The operator's sampling rate for an exporter, over what it reports (before the first datagram).
    void SetSamplingRate(const FlowAddress& Exporter, std::uint32_t Rate) { Sampling_.SetOverride(Exporter, Rate); }
    const SamplingTable& Sampling() const { return Sampling_; }

  private:
    // Counters null: the handler keeps counters of its own.
    DatagramHandler(WindowUpdates& Window, CollectorCounters* Counters,
                    std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles, HandlerServices Services);

    class CountedReporter : public brix32::ExceptionReporter {
      public:
        CountedReporter(brix32::ExceptionReporter& Inner, Counter& Reports) : Inner_(Inner), Reports_(Reports) {}
        std::string Report(const brix32::tExceptionRec& ExceptionRec) override;

      private:
        brix32::ExceptionReporter& Inner_;
        Counter& Reports_;
    };

    void Body(const char* Data, std::size_t Size, const std::string& SenderIP, const DatagramsBehind& Behind);
    void CountVersion(std::size_t Size, const netflowlib::tNetflowHeader& Header);
    int DecodeRecords(const std::string& SenderIP, const std::string& sPacket, const netflowlib::tNetflowHeader& Header,
                      const DatagramsBehind& Behind, netflowlib::tV9Outcome& Outcome);
    void ObserveOutcome(const netflowlib::tNetflowHeader& Header, std::size_t Size, int Records, int LateFlows,
                        const netflowlib::tV9Outcome& Outcome);
    // Which hand-overs take this datagram's flows, and which only count them for want of room.
    void TakeFeeds();
    void EndFeeds();
    void ShowHeader(const netflowlib::tNetflowHeader& Header, std::size_t PacketLength);
    void ResetV9Slots();
    void SetContext(const netflowlib::tNetflowHeader& Header);
    void ApplyOptions(const netflowlib::tWalkExtras& Extras);
    void DescribeSampling(ExporterTable::Ref Exporter, const netflowlib::tNetflowHeader& Header);
    int WriteLateRecords(const std::string& SenderIP, int Version);
    void WriteV5Records(int Count);
    void WriteV9Records(const netflowlib::tNetflowV9Records& Slots, int Count, int Version);
    // The record's memo line, as a flow the window makes text of when it shows it.
    template <typename Record>
    void AddMemoLine(const Record& Shown);
    // Hands the flow over to every consumer, or counts it for those without room; counts a flow
    // whose times are implausible.
    template <typename Record>
    void AddFlow(const Record& Flow, int Version);

    std::unique_ptr<CollectorCounters> OwnCounters_;
    WindowUpdates& Window_;
    CollectorCounters& Counters_;
    brix32::Clock& Clock_;
    CountedReporter Reporter_;
    TracePolicy Trace_;
    DailyCsvWriter Csv_;
    netflowlib::tDecodeServices Decode_;
    ExporterTable* Exporters_ = nullptr;
    std::array<std::atomic<FlowHandOver*>, kMaxFlowFeeds> FeedsRequested_{};
    // The requested hand-overs as the datagram began: those with room take its flows; those without
    // only count them, so that no record is built to be dropped.
    std::array<FlowHandOver*, kMaxFlowFeeds> Feeds_{};
    std::size_t FeedCount_ = 0;
    std::array<FlowHandOver*, kMaxFlowFeeds> FeedsSkipped_{};
    std::size_t SkippedFeedCount_ = 0;
    std::size_t SkippedFlows_ = 0;
    RecentDatagrams* Recent_ = nullptr;
    InterfaceNames* Interfaces_ = nullptr;
    SamplingTable Sampling_;
    // Bumped whenever what the sampling table says of some exporter may have changed.
    std::uint64_t SamplingGeneration_ = 1;
    // Data sets waiting for their templates, and the records of those whose template came.
    netflowlib::PendingDataSets Pending_;
    netflowlib::tNetflowV9Records LateSlots_;
    // The datagram being handled, as its flows' records need it; its flows' rate for version 5.
    FlowContext Context_;
    std::uint32_t V5Rate_ = 1;
    tExporterExtras Extras_;
    // IPFIX templates are kept apart from version 9's: the two number their templates independently.
    netflowlib::IpfixTemplateStore IpfixTemplates_;
    // The sender of the datagram being handled, and its time of arrival.
    SenderAddress Sender_;
    std::int64_t ReceivedMs_ = 0;
    // Reused from datagram to datagram so that the slots' strings keep their buffers; every slot is
    // reset to its empty state before each datagram, exactly as fresh arrays would be.
    netflowlib::tNetflowV5Records V5Records_;
    netflowlib::tNetflowV9Records V9Records_;
    std::size_t V9SlotsUsed_ = 0;  // slots written since their last reset
    // Built anew for every record in the same buffers.
    std::string SrcAddrCaption_;
    flowlines::DisplayFlow DisplayFlow_;
    std::string DisplayLine_;
    std::string CsvLine_;
};
