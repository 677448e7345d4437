#include "DatagramHandler.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "FlowLines.h"
#include "flowdecode/StagedTraceSink.h"
#include "flowdecode/Templates.h"
#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"

std::int32_t gThreadCount = 0;

namespace {

constexpr const char* kHandlerFunction = "TForm1.UDPServerUDPRead";
constexpr int kInitialV9Slots = 30;
// The header decoder reads nothing from a datagram of this many bytes or fewer.
constexpr std::size_t kShortestUndecoded = 20;

std::string ThreadCountCaption() { return "Threadcount=" + std::to_string(gThreadCount); }

void ResetSlots(netflowlib::tNetflowV5Records& Slots) {
    for (auto& slot : Slots) slot = {};
}

// Only the first Used slots can have been written since the last reset; a version 9 record has
// some forty fields, and clearing all thirty slots for every datagram was a visible cost.
void ResetSlots(netflowlib::tNetflowV9Records& Slots, std::size_t Used) {
    Slots.resize(kInitialV9Slots);
    for (std::size_t i = 0; i < std::min(Used, Slots.size()); ++i) Slots[i].Reset();
}

// The traced-operation convention, reporting through the handler's reporter.
template <typename Operation>
void RunTraced(brix32::tLogRec& LogRec, brix32::ExceptionReporter& Reporter, Operation&& Body) {
    brix32::tExceptionRec ExceptionRec;
    brix32::RunTraced(kHandlerFunction, LogRec, ExceptionRec, std::forward<Operation>(Body), Reporter);
}

// What the handler needs of an IPFIX message, in the form a version 9 datagram tells it.
netflowlib::tV9Outcome AsOutcome(const netflowlib::tIpfixOutcome& Ipfix) {
    netflowlib::tV9Outcome Outcome;
    Outcome.SlotsReached = Ipfix.SlotsReached;
    Outcome.RecordsDecoded = Ipfix.RecordsDecoded;
    Outcome.RecordsCut = Ipfix.RecordsCut;
    Outcome.TemplatesLearned = Ipfix.TemplatesLearned;
    Outcome.TemplatesRefused = Ipfix.TemplatesRefused;
    Outcome.TemplatesWithdrawn = Ipfix.TemplatesWithdrawn;
    using Kind = netflowlib::tTemplateNote::Kind;
    for (const netflowlib::tIpfixTemplateNote& note : Ipfix.Templates) {
        Outcome.TemplateNotes.push_back(
            {note.FieldCount > 0 ? Kind::Learned : Kind::Withdrawn, note.TemplateID, note.FieldCount});
    }
    Outcome.FlowsetsWithoutTemplate = Ipfix.SetsWithoutTemplate;
    Outcome.MissingTemplateIds = Ipfix.MissingTemplateIds;
    Outcome.Malformed = Ipfix.Malformed;
    Outcome.Failed = Ipfix.Failed;
    Outcome.Extras = Ipfix.Extras;
    return Outcome;
}

}  // namespace

std::string DatagramHandler::CountedReporter::Report(const brix32::tExceptionRec& ExceptionRec) {
    Reports_.Add();
    return Inner_.Report(ExceptionRec);
}

DatagramHandler::DatagramHandler(WindowUpdates& Window, CollectorCounters* Counters,
                                 std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles, HandlerServices Services)
    : OwnCounters_(Counters ? nullptr : std::make_unique<CollectorCounters>()),
      Window_(Window),
      Counters_(Counters ? *Counters : *OwnCounters_),
      Clock_(*Services.Clock),
      Reporter_(*Services.Reporter, Counters_.ExceptionReports),
      Trace_(TraceFiles ? std::move(TraceFiles) : std::make_unique<netflowlib::StagedTraceSink>(), *Services.Clock,
             Counters_),
      Csv_(*Services.Clock, Counters_, *Services.CsvOutput),
      // The decoders report through the handler's counted reporter and write their trace through the
      // trace policy; templates stay in the process-wide store, which gTemplateFlowsetFormat mirrors.
      Decode_{Trace_, Reporter_, netflowlib::ProcessTemplateStore(), *Services.Clock, {}, &Pending_} {}

DatagramHandler::DatagramHandler(WindowUpdates& Window, CollectorCounters& Counters,
                                 std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles, HandlerServices Services)
    : DatagramHandler(Window, &Counters, std::move(TraceFiles), Services) {}

DatagramHandler::DatagramHandler(WindowUpdates& Window, std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles)
    : DatagramHandler(Window, nullptr, std::move(TraceFiles), HandlerServices{}) {}

DatagramHandler::~DatagramHandler() = default;

void DatagramHandler::UDPServerUDPRead(TIdMemoryStream& AData, const TIdSocketHandle& ABinding,
                                       const DatagramsBehind& Behind) {
    const std::int64_t position = std::clamp<std::int64_t>(AData.Position(), 0, AData.Size());
    HandleDatagram(AData.Memory() + position, static_cast<std::size_t>(AData.Size() - position), ABinding.Sender,
                   ABinding.SenderIP, Behind);
}

void DatagramHandler::HandleDatagram(const char* Data, std::size_t Size, const std::string& SenderIP,
                                     const DatagramsBehind& Behind) {
    HandleDatagram(Data, Size, SenderAddress{FlowAddress::Parse(SenderIP), 0}, SenderIP, Behind);
}

bool DatagramHandler::FeedFlows(FlowHandOver* Flows) {
    if (Flows == nullptr) return false;
    for (std::atomic<FlowHandOver*>& slot : FeedsRequested_) {
        FlowHandOver* expected = nullptr;
        if (slot.load(std::memory_order_acquire) == Flows) return true;
        if (slot.compare_exchange_strong(expected, Flows, std::memory_order_acq_rel)) return true;
        if (expected == Flows) return true;
    }
    return false;
}

void DatagramHandler::TakeFeeds() {
    FeedCount_ = 0;
    SkippedFeedCount_ = 0;
    SkippedFlows_ = 0;
    for (const std::atomic<FlowHandOver*>& slot : FeedsRequested_) {
        FlowHandOver* flows = slot.load(std::memory_order_acquire);
        if (flows == nullptr) break;
        if (flows->Full()) {
            FeedsSkipped_[SkippedFeedCount_++] = flows;
        } else {
            Feeds_[FeedCount_++] = flows;
        }
    }
}

void DatagramHandler::EndFeeds() {
    for (std::size_t i = 0; i < FeedCount_; ++i) Feeds_[i]->EndDatagram();
    for (std::size_t i = 0; i < SkippedFeedCount_; ++i) FeedsSkipped_[i]->Skip(SkippedFlows_);
}

void DatagramHandler::HandleDatagram(const char* Data, std::size_t Size, const SenderAddress& Sender,
                                     const std::string& SenderIP, const DatagramsBehind& Behind) {
    // One reading of the injected clock per datagram: its arrival, for the capture ring, the
    // exporter table and the flow records alike.
    const std::int64_t receivedUs = Clock_.EpochMicroseconds();
    ReceivedMs_ = receivedUs / 1000;
    Sender_ = Sender;
    Extras_ = {};
    if (Recent_ != nullptr) {
        const std::uint32_t ipv4 = Sender.Address.Kind == FlowAddress::IPv4 ? Sender.Address.IPv4HostOrder() : 0;
        Recent_->Add(Data, Size, ipv4, Sender.Port, receivedUs);
    }
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
    TakeFeeds();
    brix32::tLogRec LogRec(kHandlerFunction);
    RunTraced(LogRec, Reporter_, [&] {
        LogRec.Step(100);
        Body(Data, Size, SenderIP, Behind);
    });
    // Also after a failure part-way: the lines of the records before it stay written, and the flows
    // handed over are those. Under load the lines of a whole receive batch go out together: the
    // open, write and close per datagram would otherwise cost the listener more than all the rest.
    Csv_.EndDatagram();
    if (!Behind.LaterDatagramQueued()) RunTraced(LogRec, Reporter_, [this] { Csv_.Flush(); });
    EndFeeds();
    --gThreadCount;
    Window_.SetCaption(Caption::lblThreadCount, ThreadCountCaption());
}

void DatagramHandler::BatchEnded(bool BatchWasFull) {
    for (const std::atomic<FlowHandOver*>& slot : FeedsRequested_) {
        FlowHandOver* flows = slot.load(std::memory_order_acquire);
        if (flows == nullptr) break;
        flows->NoteBatch(BatchWasFull);
    }
    brix32::tLogRec LogRec(kHandlerFunction);
    LogRec.Step(100);
    RunTraced(LogRec, Reporter_, [this] {
        Csv_.Flush();
        Trace_.BatchEnded();
    });
}

void DatagramHandler::Body(const char* Data, std::size_t Size, const std::string& SenderIP,
                           const DatagramsBehind& Behind) {
    ++gThreadCount;
    if (gThreadCount > 1) Window_.Beep();
    Window_.SetCaption(Caption::lblThreadCount, ThreadCountCaption());

    const std::string sPacket(Data, Size);

    netflowlib::tNetflowHeader Header{};
    netflowlib::DecodeHeader(sPacket, Header, Decode_);
    CountVersion(Size, Header);
    SetContext(Header);
    netflowlib::tV9Outcome Outcome;
    Pending_.Late.clear();
    const int count = DecodeRecords(SenderIP, sPacket, Header, Behind, Outcome);
    // Samplers and interface names first, so that this datagram's own flows already use them.
    ApplyOptions(Outcome.Extras);

    if (netflowlib::gTemplateFlowsetFormat.FieldCount > 0)
        Window_.SetCaption(Caption::lblTemplate, "Waiting for v9 data");
    ShowHeader(Header, sPacket.size());

    // Version 5 shows the records the decoder filled; version 9 every slot its walk reached, even
    // when a later template of the same datagram withdrew the one it was decoded with.
    if (Header.Version == 5) WriteV5Records(count);
    int lateFlows = 0;
    if (Header.Version == 9 || Header.Version == 10) {
        // Data that waited for a template this datagram brought arrived before this datagram's own.
        lateFlows = WriteLateRecords(SenderIP, Header.Version);
        // An IPFIX record is a version 9 record filled through the same field table: the same lines.
        WriteV9Records(V9Records_, count, Header.Version);
    }
    ObserveOutcome(Header, sPacket.size(), count, lateFlows, Outcome);
}

void DatagramHandler::SetContext(const netflowlib::tNetflowHeader& Header) {
    Context_.Exporter = Sender_.Address;
    Context_.Domain = Header.Source_ID;
    Context_.Clock = netflowlib::tExportClock{Header.Sys_Uptime, Header.UnixSeconds, 0, Header.Version != 10};
    Context_.ReceivedMs = ReceivedMs_;
    V5Rate_ = 1;
    if (Header.Version == 5) {
        Context_.Domain = static_cast<std::uint32_t>(Header.Engine_Type & 0xFF) << 8 |
                          static_cast<std::uint32_t>(Header.Engine_ID & 0xFF);
        Context_.Clock.UnixNanoseconds = Header.Unix_NSecs;
        V5Rate_ = Sampling_.RateForV5(Sender_.Address, static_cast<std::uint16_t>(Header.Sampling_Interval));
    }
}

void DatagramHandler::ApplyOptions(const netflowlib::tWalkExtras& Extras) {
    using F = netflowlib::tFlowFacts;
    constexpr std::uint32_t kSamplingFields = F::kSamplingInterval | F::kRandomInterval | F::kPacketInterval |
                                              F::kPacketSpace | F::kSamplingSize | F::kSamplingPopulation;
    Extras_.OptionsRecords += Extras.Options.size();
    Extras_.OptionsIgnored += static_cast<std::uint64_t>(Extras.OptionsIgnored);
    for (const netflowlib::tOptionsRecord& record : Extras.Options) {
        if (record.HasInterface && Interfaces_ != nullptr)
            Interfaces_->Set(Sender_.Address, record.Interface, record.InterfaceName, record.InterfaceDescription);
        if (!record.Facts.HasAny(kSamplingFields)) continue;
        // A rate of 0 says nothing; the rate learned before stays.
        if (Sampling_.Learn(Sender_.Address, record)) {
            ++SamplingGeneration_;
        } else {
            ++Extras_.OptionsIgnored;
        }
    }
    Extras_.SetsHeld += static_cast<std::uint64_t>(Extras.SetsHeld);
    Extras_.SetsDecodedLate += static_cast<std::uint64_t>(Extras.SetsDecodedLate);
    Extras_.SetsExpired += static_cast<std::uint64_t>(Extras.SetsExpired);
    Extras_.SetsDropped += static_cast<std::uint64_t>(Extras.SetsDropped);
    Extras_.FlowsDroppedByBounds += static_cast<std::uint64_t>(Extras.RecordsDropped);
    if (Extras.SetsHeld > 0) Counters_.SetsHeld.Add(static_cast<std::uint64_t>(Extras.SetsHeld));
    if (Extras.SetsDecodedLate > 0) Counters_.SetsDecodedLate.Add(static_cast<std::uint64_t>(Extras.SetsDecodedLate));
    if (Extras.SetsExpired + Extras.SetsDropped > 0)
        Counters_.SetsLost.Add(static_cast<std::uint64_t>(Extras.SetsExpired + Extras.SetsDropped));
    if (Extras.RecordsDropped > 0)
        Counters_.FlowsDroppedByBounds.Add(static_cast<std::uint64_t>(Extras.RecordsDropped));
}

// The records of the held sets this datagram's templates released, each with the clock and the
// arrival time of the datagram it came in. Returns how many records they held.
int DatagramHandler::WriteLateRecords(const std::string& SenderIP, int Version) {
    if (Pending_.Late.empty()) return 0;
    const FlowContext own = Context_;
    int flows = 0;
    for (const netflowlib::tLateSet& late : Pending_.Late) {
        const int count = netflowlib::DecodeLateSet(late, brix32::GlobalSettings.HostName, SenderIP, LateSlots_);
        Context_.Clock = late.Set.Clock;
        Context_.ReceivedMs = late.Set.ReceivedMs;
        WriteV9Records(LateSlots_, count, Version);
        flows += count;
    }
    Context_ = own;
    Pending_.Late.clear();
    return flows;
}

void DatagramHandler::DescribeSampling(ExporterTable::Ref Exporter, const netflowlib::tNetflowHeader& Header) {
    // Made only when something it depends on changed: a string per datagram would be a visible cost.
    const auto v5 = static_cast<std::uint16_t>(Header.Version == 5 ? Header.Sampling_Interval : 0);
    const std::uint64_t stamp = SamplingGeneration_ << 17 | (Header.Version == 5 ? 0x10000u | v5 : 0u);
    if (!Exporters_->SamplingStale(Exporter, stamp)) return;
    const SamplingDescription described = Sampling_.DescribeFor(Sender_.Address, Context_.Domain, Header.Version, v5);
    Exporters_->ObserveSampling(Exporter, described.Rate, described.Text);
}

void DatagramHandler::ResetV9Slots() {
    ResetSlots(V9Records_, V9SlotsUsed_);
    // Until the decoder has said how far it got, every slot counts as written: should it fail
    // part-way, the next datagram still starts from empty slots.
    V9SlotsUsed_ = V9Records_.size();
}

// The records of the datagram into the slots; returns how many slots the lines are made from.
int DatagramHandler::DecodeRecords(const std::string& SenderIP, const std::string& sPacket,
                                   const netflowlib::tNetflowHeader& Header, const DatagramsBehind& Behind,
                                   netflowlib::tV9Outcome& Outcome) {
    if (Header.Version == 5) {
        ResetSlots(V5Records_);
        netflowlib::DecodeV5Packet(brix32::GlobalSettings.HostName, SenderIP, sPacket, Header, V5Records_);
        return netflowlib::V5RecordCount(sPacket, Header);
    }
    if (Header.Version == 9) {
        ResetV9Slots();
        const bool bTrace = Trace_.BeginDatagram(Behind);
        Outcome = netflowlib::DecodeV9Packet(brix32::GlobalSettings.HostName, SenderIP, sPacket, Header, bTrace,
                                             V9Records_, Decode_);
        V9SlotsUsed_ = static_cast<std::size_t>(std::max(Outcome.SlotsReached, 0));
        return Outcome.SlotsReached;
    }
    if (Header.Version == 10) {
        ResetV9Slots();
        Outcome = AsOutcome(netflowlib::DecodeIpfixPacket(brix32::GlobalSettings.HostName, SenderIP, sPacket, Header,
                                                          V9Records_, Decode_, IpfixTemplates_));
        V9SlotsUsed_ = static_cast<std::size_t>(std::max(Outcome.SlotsReached, 0));
        return Outcome.SlotsReached;
    }
    return 0;
}

void DatagramHandler::ObserveOutcome(const netflowlib::tNetflowHeader& Header, std::size_t Size, int Records,
                                     int LateFlows, const netflowlib::tV9Outcome& Outcome) {
    if (Outcome.TemplatesLearned > 0)
        Counters_.TemplatesEvicted.Set(netflowlib::ProcessTemplateStore().Evicted() + IpfixTemplates_.Evicted());
    const bool bCut = Outcome.RecordsCut || Outcome.TraceCut;
    if (bCut) Counters_.BoundCuts.Add();
    if (Outcome.TemplatesRefused > 0)
        Counters_.TemplatesRefused.Add(static_cast<std::uint64_t>(Outcome.TemplatesRefused));
    if (Exporters_ == nullptr) return;
    // Version 9 slots include flowsets skipped for want of their template: the flows are the records.
    const int flows = (Header.Version == 5 ? Records : Outcome.RecordsDecoded) + LateFlows;
    const ExporterTable::Ref exporter =
        Exporters_->Observe(Sender_.Address.Kind == FlowAddress::IPv4 ? Sender_.Address.IPv4HostOrder() : 0, Header,
                            Size, static_cast<std::uint32_t>(std::max(flows, 0)), ReceivedMs_);
    using Kind = netflowlib::tTemplateNote::Kind;
    for (const netflowlib::tTemplateNote& note : Outcome.TemplateNotes) {
        const auto id = static_cast<std::uint16_t>(note.TemplateID);
        if (note.What == Kind::Learned) {
            Exporters_->ObserveTemplate(exporter, id, static_cast<std::uint16_t>(note.FieldCount), ReceivedMs_);
        } else if (note.What == Kind::Withdrawn) {
            Exporters_->ObserveTemplateWithdrawn(exporter, id);
        } else {
            Exporters_->ObserveTemplateRefused(exporter, id);
        }
    }
    for (const std::int32_t id : Outcome.MissingTemplateIds) {
        Exporters_->ObserveMissingTemplate(exporter, static_cast<std::uint16_t>(id));
    }
    if (bCut) Exporters_->ObserveCut(exporter);
    if (Outcome.Failed || Outcome.Malformed) Exporters_->ObserveMalformed(exporter);
    if (Extras_.Any()) Exporters_->ObserveExtras(exporter, Extras_);
    if (Header.Version == 5 || Header.Version == 9 || Header.Version == 10) DescribeSampling(exporter, Header);
}

void DatagramHandler::CountVersion(std::size_t Size, const netflowlib::tNetflowHeader& Header) {
    if (Header.Version == 5) {
        Counters_.V5Datagrams.Add();
    } else if (Header.Version == 9) {
        Counters_.V9Datagrams.Add();
    } else if (Header.Version == 10) {
        Counters_.IpfixDatagrams.Add();
    } else if (Size <= kShortestUndecoded) {
        // The header decoder reads nothing from these, whatever their first two bytes say.
        Counters_.TooShort.Add();
    } else {
        Counters_.UnknownVersion.Add();
    }
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
    Window_.SetCaption(Caption::lblStatus, brix32::FormatLongTime(Clock_.Now()));
}

void DatagramHandler::WriteV5Records(int Count) {
    for (int i = 0; i < Count; ++i) {
        const netflowlib::tNetflowV5& record = V5Records_[static_cast<std::size_t>(i)];
        SrcAddrCaption_.assign("[0-3] srcaddr: ").append(record.srcaddr);
        Window_.SetCaption(Caption::lblsrcaddr, SrcAddrCaption_);
        flowlines::BuildV5CsvLine(CsvLine_, record);
        Csv_.Add(CsvLine_);
        AddFlow(record, 5);
        Counters_.Flows.Add();
        Counters_.Bytes.Add(record.dOctets);
        AddMemoLine(record);
    }
}

template <typename Record>
void DatagramHandler::AddFlow(const Record& Flow, int Version) {
    bool implausible = false;
    if (FeedCount_ > 0) {
        FlowRecord made;
        if constexpr (std::is_same_v<Record, netflowlib::tNetflowV5>) {
            made = MakeFlowRecord(Flow, Context_, &implausible);
            made.SamplingRate = V5Rate_;
        } else {
            made = MakeFlowRecord(Flow, Context_, Version, &implausible);
            made.SamplingRate = Sampling_.RateFor(Context_.Exporter, Context_.Domain, Flow.Facts);
        }
        for (std::size_t i = 0; i < FeedCount_; ++i) Feeds_[i]->Add(made);
    } else if constexpr (std::is_same_v<Record, netflowlib::tNetflowV5>) {
        implausible =
            netflowlib::ComputeV5FlowTimes(Flow.First, Flow.Last, Context_.Clock, Context_.ReceivedMs).Implausible;
    } else {
        implausible = netflowlib::ComputeFlowTimes(Flow.Facts, Context_.Clock, Context_.ReceivedMs).Implausible;
    }
    if (implausible) ++Extras_.TimesImplausible;
    if (SkippedFeedCount_ > 0) ++SkippedFlows_;
}

template <typename Record>
void DatagramHandler::AddMemoLine(const Record& Shown) {
    if (flowlines::MakeDisplayFlow(Shown, DisplayFlow_)) {
        Window_.AddMemoFlow(DisplayFlow_);
        return;
    }
    if constexpr (std::is_same_v<Record, netflowlib::tNetflowV5>) {
        flowlines::BuildV5DisplayLine(DisplayLine_, Shown, brix32::ThousandsSeparator());
    } else {
        flowlines::BuildV9DisplayLine(DisplayLine_, Shown, brix32::ThousandsSeparator());
    }
    Window_.AddMemoLine(DisplayLine_);
}

void DatagramHandler::WriteV9Records(const netflowlib::tNetflowV9Records& Slots, int Count, int Version) {
    const int slots = std::min<int>(Count, static_cast<int>(Slots.size()));
    for (int i = 0; i < slots; ++i) {
        const netflowlib::tNetflowV9& record = Slots[static_cast<std::size_t>(i)];
        // Records without an IPv4 source (IPv6 templates, slots of skipped flowsets) give no line;
        // an IPv6 flow still reaches the Traffic views, which can show it.
        if (record.IPV4_SRC_ADDR.empty()) {
            if (!record.IPV6_SRC_ADDR.empty()) AddFlow(record, Version);
            continue;
        }
        flowlines::BuildV9CsvLine(CsvLine_, record);
        Csv_.Add(CsvLine_);
        AddFlow(record, Version);
        Counters_.Flows.Add();
        // Held signed, as the exporter's unsigned counter of up to 2^32 - 1.
        Counters_.Bytes.Add(static_cast<std::uint32_t>(record.IN_BYTES));
        AddMemoLine(record);
    }
}
