#pragma once

// The collector without its window: the listener, the datagram handler behind it, the counters,
// the exporter table, the recent datagrams and every consumer of the flows, owned and wired in one
// place. A window shows and switches it; a program without a window runs it alike.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ClickHouseExport.h"
#include "Counters.h"
#include "DatagramHandler.h"
#include "ExporterTable.h"
#include "FlowConsumer.h"
#include "FlowHandOver.h"
#include "HistoryStore.h"
#include "IdUDPServer.h"
#include "InterfaceNames.h"
#include "Locations.h"
#include "RecentDatagrams.h"
#include "ReverseDns.h"
#include "SnmpPoller.h"
#include "TrafficAggregator.h"
#include "WindowUpdates.h"

// Names for numbers: countries and AS numbers, host names, interface names by SNMP.
struct NameOptions {
    std::string LocationDatabase = names::kLocationDatabase;  // empty: none
    bool Dns = true;
    std::optional<names::DnsServerAddress> DnsServer;  // none: the system's
    std::string SnmpCommunity;                         // empty: no polling
    std::uint16_t SnmpPort = 161;
};

class Collector {
  public:
    static constexpr std::int32_t kPort = 9996;
    static constexpr std::int32_t kLargestDatagram = 8000;

    // Services: the clock, the report writer and the CSV output (the production defaults unless a
    // test hands its own). TraceFiles: where the packet trace goes (the staged trace files).
    explicit Collector(HandlerServices Services = {},
                       std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles = nullptr);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Where the handler shows the header and flow lines; before the handler is first used (Start,
    // Handler()), afterwards it throws. Without it nothing is shown.
    void ShowIn(WindowUpdates& Window);

    // Enters the files' folder, clears what an interrupted run left there and switches the listener
    // on at UDP port 9996. Activation errors reach the caller (see TIdUDPServer::SetActive).
    void Start();
    bool Active() const { return Listener_.Active(); }
    // Switching off hands over what the kernel holds already, within a bounded time, and says on
    // standard error what it took and what it had to leave.
    void SetActive(bool Value);
    void Stop() noexcept;

    // Writes the recent datagrams beside the CSV under a name of their own and says where on
    // standard error. Returns the file's name, empty on failure.
    std::string SaveRecentDatagrams();

    // From the next datagram on, Consumer gets every flow that reaches the CSV, on a thread of its
    // own behind a hand-over of its own. Any thread. The consumer must outlive the collector's
    // consumers (they end with the collector, after the listener). Returns the hand-over, whose
    // counters say what the consumer could not take in time.
    const FlowHandOver& Attach(FlowConsumer& Consumer, ConsumerPacing Pacing,
                               std::size_t Slots = FlowHandOver::kDefaultSlots, bool KeepBuffers = true);

    // The Traffic aggregation: attached the first time it is asked for, and fed from then on.
    SharedTraffic& Traffic();
    // None until Traffic() was first called.
    const FlowHandOver* TrafficHandOver() const;

    TIdUDPServer& Listener() { return Listener_; }
    const TIdUDPServer& Listener() const { return Listener_; }
    DatagramHandler& Handler();
    CollectorCounters& Counters() { return Counters_; }
    const CollectorCounters& Counters() const { return Counters_; }
    const ExporterTable& Exporters() const { return Exporters_; }
    RecentDatagrams& Recent() { return Recent_; }
    // Interface names from options data, for the views.
    const InterfaceNames& Interfaces() const { return Interfaces_; }
    // The operator's sampling rate for an exporter (before Start).
    void SetSamplingRate(const FlowAddress& Exporter, std::uint32_t Rate);

    // The flow history in the files' folder (before Start; Start opens it there). Without this call
    // nothing is stored.
    void EnableHistory(history::HistoryOptions Options);
    // None until Start opened it, and with history disabled; its Status() says whether it stores.
    history::HistoryStore* History() { return History_.get(); }
    const history::HistoryStore* History() const { return History_.get(); }
    // The folder the history lives in (absolute), for queries; empty without history.
    std::string HistoryFolder() const;

    // Every flow also goes to a ClickHouse server (before Start; Start begins it, with its spool
    // in the files' folder). Options.SpoolFolder, when empty, is "clickhouse-spool" there.
    void EnableClickHouse(clickhouse::ExportOptions Options);
    // None until Start began it, and without EnableClickHouse.
    const clickhouse::Export* ClickHouse() const { return ClickHouse_.get(); }

    // Names for the views (before Start; Start opens the location database, once, and says on
    // standard error in one line when it cannot, and starts the lookups and the polling).
    void EnableNames(NameOptions Options);
    // What Start does for the names; tests call it without a socket. Once.
    void StartNames();
    // The location database in use; empty when there is none (WhyNoLocations says why).
    const std::string& LocationDatabase() const { return LocationDatabase_; }
    const std::string& WhyNoLocations() const { return WhyNoLocations_; }
    // None without lookups (--no-dns) and before Start. Thread-safe; asking never waits.
    names::ReverseDns* HostNames() { return HostNames_.get(); }
    const SnmpPoller* Snmp() const { return Snmp_.get(); }
    // The caches' sizes and what the lookups met, in one line for the Exporters window's totals.
    std::string NamesText();

  private:
    struct Attachment {
        std::unique_ptr<FlowHandOver> HandOver;
        std::unique_ptr<FlowConsumerThread> Thread;
    };

    void ReportDrain() const;
    void StartHistory();
    void StartClickHouse();
    void StopConsumers() noexcept;
    void WatchExporters();

    CollectorCounters Counters_;
    ExporterTable Exporters_;
    InterfaceNames Interfaces_;
    std::vector<std::pair<FlowAddress, std::uint32_t>> SamplingRates_;
    RecentDatagrams Recent_;
    HandlerServices Services_;
    std::unique_ptr<netflowlib::PacketTraceSink> TraceFiles_;
    NoWindow NoWindow_;
    WindowUpdates* Window_ = &NoWindow_;
    TrafficAggregator Traffic_;
    SharedTraffic SharedTraffic_{{}, &Traffic_};
    TrafficFeed TrafficFeed_{SharedTraffic_};
    std::once_flag TrafficAttached_;
    const FlowHandOver* TrafficHandOver_ = nullptr;  // guarded by AttachLock_
    mutable std::mutex AttachLock_;
    std::vector<Attachment> Attachments_;  // guarded by AttachLock_
    std::unique_ptr<history::HistoryOptions> HistoryOptions_;
    std::unique_ptr<history::HistoryStore> History_;
    std::unique_ptr<clickhouse::ExportOptions> ClickHouseOptions_;
    std::unique_ptr<clickhouse::Export> ClickHouse_;
    std::unique_ptr<NameOptions> NameOptions_;
    bool NamesStarted_ = false;
    std::string LocationDatabase_;
    std::int64_t LocationCreatedMs_ = 0;
    std::string WhyNoLocations_ = "not asked for";
    std::unique_ptr<names::ReverseDns> HostNames_;
    std::unique_ptr<SnmpPoller> Snmp_;  // after Interfaces_, which it writes to: it goes first
    // Tells the poller of every exporter the table holds, every few seconds, off the listener.
    std::thread ExporterWatch_;
    std::mutex WatchLock_;
    std::condition_variable WatchWake_;
    bool WatchStop_ = false;
    std::once_flag HandlerMade_;
    std::unique_ptr<DatagramHandler> Handler_;
    // Last, so that it is switched off before anything it delivers to goes.
    TIdUDPServer Listener_{Counters_};
};
