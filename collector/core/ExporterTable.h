#pragma once

// Health of every exporter the collector hears from: what it sent, what its sequence numbers say
// was lost, its templates and its clock. Written by the listener thread once per datagram, copied
// out a few times a second by the views. No Qt.

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "flowdecode/NetflowHeader.h"

// How the header's sequence number advances from one datagram to the next.
enum class SequenceRule {
    None,            // no sequence to follow (unrecognised datagrams)
    CountsRecords,   // version 5 (flows) and IPFIX (data records): next = this + this datagram's records
    CountsDatagrams  // version 9: next = this + 1
};

// Follows one exporter's sequence numbers, modulo 2^32. A number ahead of the expected one is a gap
// (counted as missed); one behind it is a late arrival, a repeat or a restart.
class SequenceTracker {
  public:
    enum class Verdict { First, InOrder, Gap, Late, Repeat, Restart };

    // Advance is what this datagram moves the sequence by (its records for CountsRecords, ignored
    // for CountsDatagrams). Uptime is the header's sys_uptime in milliseconds.
    Verdict Observe(SequenceRule Rule, std::uint32_t Sequence, std::uint32_t Advance, std::uint32_t Uptime);

    bool Started() const { return Started_; }
    std::uint32_t Expected() const { return Expected_; }
    std::uint32_t Last() const { return Last_; }
    // Flows (CountsRecords) or datagrams (CountsDatagrams) the gaps skipped and no late arrival filled.
    std::uint64_t Missed() const { return Missed_; }
    std::uint64_t OutOfOrder() const { return OutOfOrder_; }
    std::uint64_t Repeated() const { return Repeated_; }
    std::uint64_t Restarts() const { return Restarts_; }

    // A late datagram this many datagrams behind the newest still counts as reordered; further back
    // the exporter is taken to have started again.
    static constexpr std::uint32_t kReorderDatagrams = 256;
    static constexpr std::uint32_t kReorderRecordsPerDatagram = 30;
    // sys_uptime going back by more than this is a restart; less is a datagram overtaken in transit.
    static constexpr std::uint32_t kUptimeBackMs = 10'000;

  private:
    void Restart(std::uint32_t Sequence, std::uint32_t Step, std::uint32_t Uptime);
    void Remember(std::uint32_t Sequence);
    bool Recent(std::uint32_t Sequence) const;

    static constexpr std::size_t kRecentCount = 64;
    std::array<std::uint32_t, kRecentCount> Recent_{};
    std::size_t RecentNext_ = 0;
    std::size_t RecentFilled_ = 0;
    bool Started_ = false;
    std::uint32_t Expected_ = 0;
    std::uint32_t Last_ = 0;
    std::uint32_t Uptime_ = 0;
    std::uint64_t Missed_ = 0;
    std::uint64_t OutOfOrder_ = 0;
    std::uint64_t Repeated_ = 0;
    std::uint64_t Restarts_ = 0;
};

struct tExporterTemplate {
    std::uint16_t TemplateID = 0;
    std::uint16_t FieldCount = 0;
    std::int64_t LastSeenMs = 0;
};

// One exporter: a sender address and, within it, the version 9 Source_ID or the version 5 engine.
struct tExporterRow {
    std::uint64_t Serial = 0;      // unique per exporter for the life of the table
    std::uint32_t Address = 0;     // IPv4, host order
    std::uint16_t Version = 0;     // 5, 9, 10; 0 for datagrams without a header the collector knows
    std::uint32_t Domain = 0;      // v9: Source_ID; IPFIX: observation domain; v5: engine_type << 8 | engine_id
    std::int64_t FirstSeenMs = 0;  // wall clock, milliseconds since 1970
    std::int64_t LastSeenMs = 0;
    std::uint64_t Datagrams = 0;
    std::uint64_t Flows = 0;
    std::uint64_t Bytes = 0;  // datagram bytes as received
    SequenceTracker Sequence;
    static constexpr std::size_t kTemplateSlots = 8;
    std::array<tExporterTemplate, kTemplateSlots> Templates{};
    std::uint8_t TemplateCount = 0;
    std::uint64_t TemplatesNotKept = 0;  // learned while every slot held another template
    std::uint64_t TemplatesWithdrawn = 0;
    std::uint64_t TemplatesRefused = 0;  // refused by the bounds on templates
    std::uint64_t MissingTemplate = 0;   // data flowsets whose template was not known
    bool HasClock = false;
    std::int64_t ClockOffsetMs = 0;  // header export time minus time of receipt
    std::uint64_t Malformed = 0;     // unrecognised, or shorter than its header says
    std::uint64_t Cut = 0;           // cut by the bounds on work per datagram
    // What the exporter says of its sampling, or what the operator set for it.
    std::string Sampling = "none reported";
    std::uint32_t SamplingRate = 0;      // the rate Sampling states; 0 for none or several
    std::uint64_t SamplingStamp = 0;     // what the description was made from; 0: never described
    std::uint64_t TimesImplausible = 0;  // flows whose start lay more than a day from their arrival
    std::uint64_t SetsHeld = 0;          // data sets that waited for their template
    std::uint64_t SetsDecodedLate = 0;   // ... and were decoded when it came
    std::uint64_t SetsExpired = 0;       // ... or were dropped after waiting too long
    std::uint64_t SetsDropped = 0;       // ... or found no room to wait
    std::uint64_t OptionsRecords = 0;    // options data records read (samplers, interfaces)
    std::uint64_t OptionsIgnored = 0;    // options templates or records malformed or without a rate
    std::uint64_t FlowsDroppedByBounds = 0;
};

// What one datagram's decoding adds to its exporter's counts beside its flows.
struct tExporterExtras {
    std::uint64_t TimesImplausible = 0;
    std::uint64_t SetsHeld = 0;
    std::uint64_t SetsDecodedLate = 0;
    std::uint64_t SetsExpired = 0;
    std::uint64_t SetsDropped = 0;
    std::uint64_t OptionsRecords = 0;
    std::uint64_t OptionsIgnored = 0;
    std::uint64_t FlowsDroppedByBounds = 0;
    bool Any() const {
        return (TimesImplausible | SetsHeld | SetsDecodedLate | SetsExpired | SetsDropped | OptionsRecords |
                OptionsIgnored | FlowsDroppedByBounds) != 0;
    }
};

struct tExporterTotals {
    std::uint64_t Kept = 0;
    std::uint64_t Evicted = 0;  // dropped, least recently seen first, to make room past the cap
};

std::uint32_t ParseIPv4(std::string_view Dotted);  // 0 for anything that is not a dotted quad
std::string FormatIPv4(std::uint32_t Address);
std::int64_t WallClockMs();

class ExporterTable {
  public:
    // Ref names an exporter until the next Observe; the decoder's outcome for the same datagram
    // reaches its exporter through it.
    using Ref = int;
    static constexpr std::size_t kDefaultCapacity = 1024;

    explicit ExporterTable(std::size_t Capacity = kDefaultCapacity);

    // Listener thread, once per datagram after its header is decoded. Records is what the decoder
    // made of it (flows); Size the datagram's length.
    // Sender: IPv4, host order, as the listener received it.
    Ref Observe(std::uint32_t Sender, const netflowlib::tNetflowHeader& Header, std::size_t Size, std::uint32_t Records,
                std::int64_t NowMs);
    // The same for a sender given as dotted-decimal text (benchmarks and tests).
    Ref Observe(std::string_view SenderIP, const netflowlib::tNetflowHeader& Header, std::size_t Size,
                std::uint32_t Records, std::int64_t NowMs) {
        return Observe(ParseIPv4(SenderIP), Header, Size, Records, NowMs);
    }

    // The decoder's outcome for the datagram observed last (listener thread).
    void ObserveTemplate(Ref Exporter, std::uint16_t TemplateID, std::uint16_t FieldCount, std::int64_t NowMs);
    void ObserveTemplateWithdrawn(Ref Exporter, std::uint16_t TemplateID);
    void ObserveTemplateRefused(Ref Exporter, std::uint16_t TemplateID);
    void ObserveMissingTemplate(Ref Exporter, std::uint16_t FlowSetID);
    void ObserveMalformed(Ref Exporter);
    void ObserveCut(Ref Exporter);
    void ObserveExtras(Ref Exporter, const tExporterExtras& Extras);
    // True when the exporter's sampling was last described from something else than Stamp (never 0),
    // which it now records: the caller then describes it anew.
    bool SamplingStale(Ref Exporter, std::uint64_t Stamp);
    void ObserveSampling(Ref Exporter, std::uint32_t Rate, const std::string& Description);

    // Any thread: a copy of every exporter kept, in no particular order.
    void Snapshot(std::vector<tExporterRow>& Rows, tExporterTotals& Totals) const;

  private:
    struct Key {
        std::uint32_t Address;
        std::uint32_t Domain;
        std::uint16_t Version;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& K) const noexcept;
    };

    Ref FindOrAdd(const Key& K, std::int64_t NowMs);
    Ref EvictLeastRecent();
    void Count(tExporterRow& Row, const netflowlib::tNetflowHeader& Header, std::size_t Size, std::uint32_t Records,
               std::int64_t NowMs);
    tExporterRow* At(Ref Exporter);

    mutable std::mutex Lock_;  // uncontended on the listener thread except while a view copies
    std::size_t Capacity_;
    std::vector<tExporterRow> Rows_;
    std::unordered_map<Key, Ref, KeyHash> Index_;
    Ref LastHit_ = -1;
    Key LastKey_{};
    std::uint64_t NextSerial_ = 1;
    std::uint64_t Evicted_ = 0;
};
