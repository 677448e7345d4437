#include "Collector.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "DataFolder.h"
#include "PcapWriter.h"
#include "StatusWords.h"
#include "TracePolicy.h"
#include "flowdecode/StagedTraceSink.h"
#include "support/ExceptionReport.h"
#include "support/GlobalSettings.h"
#include "support/ProgramFacts.h"

namespace {

// Every file name of the collector is relative: the directory made current here receives them all.
void EnterFilesFolder() {
    const datafolder::tFolderFacts facts = datafolder::GatherFacts(datafolder::ConfiguredInstallPrefix());
    const datafolder::tFolderChoice choice = datafolder::EnterFilesFolder(facts);
    if (choice.Kind == datafolder::tFolderKind::ProgramDir) return;
    // The exception report names its files by the program's directory rather than the current
    // one; it must follow the other files out of a system directory.
    if (choice.Kind == datafolder::tFolderKind::DataFolder) {
        static brix32::XmlFileReporter DataFolderReporter(choice.Directory + "/");
        brix32::InstallDefaultExceptionReporter(&DataFolderReporter);
    }
    std::fprintf(stderr, "%s\n", datafolder::Announcement(choice, facts.ProgramDir).c_str());
    std::fflush(stderr);
}

}  // namespace

Collector::Collector(HandlerServices Services, std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles)
    : Services_(Services), TraceFiles_(std::move(TraceFiles)) {
    Listener_.BufferSize = kLargestDatagram;
    Listener_.OnUDPRead = [this](TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        Handler().UDPServerUDPRead(AData, ABinding, Sender);
    };
    Listener_.OnBatchEnd = [this] { Handler().BatchEnded(Listener_.BatchWasFull()); };
}

Collector::~Collector() {
    Stop();
    if (ExporterWatch_.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(WatchLock_);
            WatchStop_ = true;
        }
        WatchWake_.notify_all();
        ExporterWatch_.join();
    }
    Snmp_.reset();
    StopConsumers();
    // The hand-overs go with the collector; the statuses keep what they dropped.
    if (History_ != nullptr) History_->Watch(nullptr, nullptr);
    if (ClickHouse_ != nullptr) {
        ClickHouse_->Finish();
        ClickHouse_->Watch(nullptr);
    }
}

void Collector::ShowIn(WindowUpdates& Window) {
    if (Handler_ != nullptr) throw std::logic_error("The collector shows its datagrams where it began to.");
    Window_ = &Window;
}

void Collector::SetSamplingRate(const FlowAddress& Exporter, std::uint32_t Rate) {
    if (Handler_ != nullptr) throw std::logic_error("Sampling rates are set before the collector starts.");
    SamplingRates_.emplace_back(Exporter, Rate);
}

DatagramHandler& Collector::Handler() {
    std::call_once(HandlerMade_, [this] {
        // The packet trace of a datagram is written whole when its decoding ends: line by line it
        // would cost a file operation per line and cap the collector far below what exporters send.
        std::unique_ptr<netflowlib::PacketTraceSink> trace =
            TraceFiles_ ? std::move(TraceFiles_) : std::make_unique<netflowlib::StagedTraceSink>();
        Handler_ = std::make_unique<DatagramHandler>(*Window_, Counters_, std::move(trace), Services_);
        Handler_->FeedExporters(&Exporters_);
        Handler_->FeedInterfaces(&Interfaces_);
        for (const auto& [Exporter, Rate] : SamplingRates_) Handler_->SetSamplingRate(Exporter, Rate);
        Handler_->FeedRecent(&Recent_);
    });
    return *Handler_;
}

void Collector::Start() {
    brix32::GlobalSettings.ExceptionFileTemplate = "Exception-Netflow-{timestamp}.xml";
    brix32::GlobalSettings.Version = brix32::GetVersionString("");
    gThreadCount = 0;
    Handler();
    EnterFilesFolder();
    RemoveLeftoverTraceTemporaries();
    StartNames();
    StartHistory();
    StartClickHouse();
    Listener_.SetDefaultPort(kPort);
    Listener_.ThreadedEvent = true;
    Listener_.SetActive(true);
}

void Collector::EnableHistory(history::HistoryOptions Options) {
    if (Handler_ != nullptr) throw std::logic_error("The history is enabled before the collector starts.");
    HistoryOptions_ = std::make_unique<history::HistoryOptions>(std::move(Options));
}

void Collector::StartHistory() {
    if (HistoryOptions_ == nullptr || History_ != nullptr) return;
    std::error_code error;
    History_ = std::make_unique<history::HistoryStore>(std::filesystem::current_path(error).string(), *HistoryOptions_);
    if (!History_->Storing()) return;
    // The raw store's hand-over holds about a second at its target rate, so that a burst above
    // it is caught up afterwards instead of lost; both give memory back as they go, so that what a
    // long ring costs is what waits in it.
    const FlowHandOver& raw =
        Attach(History_->RawConsumer(), history::HistoryStore::RawPacing(), history::HistoryStore::kRawSlots, false);
    const FlowHandOver& summary = Attach(History_->SummaryConsumer(), history::HistoryStore::SummaryPacing(),
                                         history::HistoryStore::kSummarySlots, false);
    History_->Watch(&raw, &summary);
}

void Collector::EnableClickHouse(clickhouse::ExportOptions Options) {
    if (Handler_ != nullptr) throw std::logic_error("ClickHouse is enabled before the collector starts.");
    ClickHouseOptions_ = std::make_unique<clickhouse::ExportOptions>(std::move(Options));
}

void Collector::StartClickHouse() {
    if (ClickHouseOptions_ == nullptr || ClickHouse_ != nullptr) return;
    std::error_code error;
    if (ClickHouseOptions_->SpoolFolder.empty()) {
        ClickHouseOptions_->SpoolFolder = (std::filesystem::current_path(error) / "clickhouse-spool").string();
    }
    auto exporter = std::make_unique<clickhouse::Export>(*ClickHouseOptions_);
    std::string why;
    if (!exporter->Start(why)) {
        std::fprintf(stderr, "ClickHouse: not sending flows: %s\n", why.c_str());
        std::fflush(stderr);
        return;
    }
    ClickHouse_ = std::move(exporter);
    ClickHouse_->Watch(&Attach(*ClickHouse_, clickhouse::Export::Pacing(), clickhouse::Export::kSlots, false));
}

void Collector::EnableNames(NameOptions Options) {
    if (Handler_ != nullptr) throw std::logic_error("Names are enabled before the collector starts.");
    NameOptions_ = std::make_unique<NameOptions>(std::move(Options));
}

void Collector::StartNames() {
    if (NameOptions_ == nullptr || NamesStarted_) return;
    NamesStarted_ = true;
    const NameOptions& o = *NameOptions_;
    if (o.LocationDatabase.empty()) {
        WhyNoLocations_ = "none was given";
    } else if (auto locator = names::Locator::Open(o.LocationDatabase, &WhyNoLocations_)) {
        LocationDatabase_ = o.LocationDatabase;
        LocationCreatedMs_ = locator->Facts().CreatedMs;
        WhyNoLocations_.clear();
        // Before the first flow: the aggregation thread has not begun, so that no lock is needed.
        Traffic_.SetLocator(std::move(locator));
    } else {
        statuswords::SayOnStandardError("Countries and AS numbers: off (" + WhyNoLocations_ +
                                        "; the package libloc-database provides the database)");
    }
    if (HistoryOptions_ != nullptr) HistoryOptions_->LocationDatabase = LocationDatabase_;
    if (o.Dns) {
        names::ReverseDnsOptions dns;
        dns.Server = o.DnsServer ? *o.DnsServer : names::SystemDnsServer();
        HostNames_ = std::make_unique<names::ReverseDns>(dns);
    }
    if (!o.SnmpCommunity.empty()) {
        SnmpPollerOptions snmp;
        snmp.Community = o.SnmpCommunity;
        snmp.Port = o.SnmpPort;
        snmp.Say = statuswords::SayOnStandardError;
        Snmp_ = std::make_unique<SnmpPoller>(snmp, Interfaces_);
        ExporterWatch_ = std::thread([this] { WatchExporters(); });
    }
}

void Collector::WatchExporters() {
    std::vector<tExporterRow> rows;
    tExporterTotals totals;
    std::unique_lock<std::mutex> lock(WatchLock_);
    while (!WatchStop_) {
        lock.unlock();
        Exporters_.Snapshot(rows, totals);
        for (const tExporterRow& row : rows) Snmp_->Watch(FlowAddress::FromIPv4(row.Address));
        lock.lock();
        WatchWake_.wait_for(lock, std::chrono::seconds(2), [this] { return WatchStop_; });
    }
}

std::string Collector::NamesText() {
    using statuswords::Grouped;
    std::string text = "Names: ";
    if (HostNames_ != nullptr) {
        const names::ReverseDnsStatus d = HostNames_->Status();
        text += "host names " + Grouped(d.Entries) + " cached (" + Grouped(d.Names) + " found, " + Grouped(d.NoNames) +
                " without, " + Grouped(d.Failures) + " failed)";
    } else {
        text += "no host names (--no-dns)";
    }
    if (!LocationDatabase_.empty()) {
        std::size_t located = 0;
        {
            const std::lock_guard<std::mutex> lock(SharedTraffic_.Lock);
            located = Traffic_.LocatedAddresses();
        }
        text += "; places of " + Grouped(located) + " addresses cached (location database of " +
                statuswords::LocalClock(LocationCreatedMs_, "%Y-%m-%d") + ")";
    } else {
        text += "; no countries or AS numbers";
    }
    text += "; interface names " + Grouped(Interfaces_.Size());
    if (Snmp_ != nullptr) {
        const SnmpPollerStatus p = Snmp_->Status();
        text += " (SNMP: " + Grouped(p.Answered) + " of " + Grouped(p.Polls) + " polls answered, " +
                Grouped(p.TimedOut) + " timed out)";
    }
    return text;
}

std::string Collector::HistoryFolder() const { return History_ != nullptr ? History_->Folder() : std::string(); }

void Collector::SetActive(bool Value) {
    const bool wasActive = Listener_.Active();
    Listener_.SetActive(Value);
    if (wasActive && !Value) ReportDrain();
}

void Collector::Stop() noexcept {
    try {
        SetActive(false);
    } catch (...) {
        // Switching off only refuses from inside a datagram handler, which never stops the
        // collector; at shutdown there is nothing better to do than carry on.
    }
}

void Collector::ReportDrain() const {
    const std::uint64_t drained = Listener_.DatagramsDrainedAtStop();
    const std::uint64_t left = Listener_.DatagramsLeftAtStop();
    if (drained == 0 && left == 0) return;
    std::fprintf(stderr, "Listener switched off: %llu queued datagrams handled, %llu left unhandled\n",
                 static_cast<unsigned long long>(drained), static_cast<unsigned long long>(left));
    std::fflush(stderr);
}

std::string Collector::SaveRecentDatagrams() {
    // Each save a file of its own: names taken already, by an earlier save in the same second or
    // by anything planted there, are passed over, never written through.
    std::string name;
    std::string error;
    if (!SaveCapture(CaptureFileName(Services_.Clock->EpochMicroseconds()), Recent_.Snapshot(), tCaptureTarget{}, name,
                     error)) {
        std::fprintf(stderr, "Recent datagrams not saved: %s\n", error.c_str());
        std::fflush(stderr);
        return std::string();
    }
    std::error_code ignored;
    std::fprintf(stderr, "Recent datagrams saved to %s\n", std::filesystem::absolute(name, ignored).c_str());
    std::fflush(stderr);
    return name;
}

const FlowHandOver& Collector::Attach(FlowConsumer& Consumer, ConsumerPacing Pacing, std::size_t Slots,
                                      bool KeepBuffers) {
    const std::lock_guard<std::mutex> lock(AttachLock_);
    Attachment attachment;
    attachment.HandOver = std::make_unique<FlowHandOver>(Slots, KeepBuffers);
    // The thread first, so that nothing is handed over before someone takes it.
    attachment.Thread = std::make_unique<FlowConsumerThread>(*attachment.HandOver, Consumer, Pacing);
    if (!Handler().FeedFlows(attachment.HandOver.get())) {
        throw std::length_error("No more consumers of the flows can be attached.");
    }
    Attachments_.push_back(std::move(attachment));
    return *Attachments_.back().HandOver;
}

SharedTraffic& Collector::Traffic() {
    // Aggregation costs a share of the second core at high rates: it starts with the first look
    // at the Traffic views and goes on from then.
    std::call_once(TrafficAttached_, [this] {
        const FlowHandOver& handOver = Attach(TrafficFeed_, TrafficFeed::Pacing());
        const std::lock_guard<std::mutex> lock(AttachLock_);
        TrafficHandOver_ = &handOver;
    });
    return SharedTraffic_;
}

const FlowHandOver* Collector::TrafficHandOver() const {
    const std::lock_guard<std::mutex> lock(AttachLock_);
    return TrafficHandOver_;
}

void Collector::StopConsumers() noexcept {
    // After the listener: nothing is handed over any more, and each consumer takes what waits.
    std::vector<Attachment> attachments;
    {
        const std::lock_guard<std::mutex> lock(AttachLock_);
        attachments.swap(Attachments_);
    }
    for (Attachment& attachment : attachments) attachment.Thread->Stop();
    // The hand-overs stay fed by the handler until it goes; it goes with the collector, after this.
    const std::lock_guard<std::mutex> lock(AttachLock_);
    Attachments_.swap(attachments);
}
