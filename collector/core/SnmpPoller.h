#pragma once

// Interface names, aliases and speeds asked from each exporter's SNMP agent (v2c, IF-MIB), for the
// exporters that do not send their interface table in options data. One thread of its own walks
// one agent at a time; the listener never waits for it.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FlowAddress.h"
#include "InterfaceNames.h"

struct SnmpPollerOptions {
    std::string Community;
    std::uint16_t Port = 161;
    int TimeoutMs = 2000;
    int Retries = 1;
    std::int64_t IntervalMs = 3600 * 1000;  // a successful poll is repeated after this
    std::int64_t RetryMs = 300 * 1000;      // a failed one after this
    std::size_t MaxExporters = 1024;        // more are counted, not polled
    std::size_t MaxInterfacesPerExporter = 4096;
    // Where each exporter's first outcome, and every change of it, is said ("SNMP: 192.0.2.1 named
    // 12 interfaces"); nothing is said without it.
    std::function<void(const std::string&)> Say;
};

struct SnmpPollerStatus {
    std::size_t Exporters = 0;   // watched, within MaxExporters
    std::size_t Interfaces = 0;  // rows the latest poll of each exporter gave
    std::uint64_t Polls = 0;     // begun
    std::uint64_t Answered = 0, TimedOut = 0, Failed = 0;
    std::uint64_t Refused = 0;  // exporters over MaxExporters, each counted once
};

using SnmpOid = std::vector<std::uint32_t>;

// One variable of an answer, as far as a walk needs it.
struct SnmpVarbind {
    enum class Type : std::uint8_t { Other, Text, Number, EndOfColumn };
    SnmpOid Oid;
    Type Kind = Type::Other;
    std::string Text;
    std::uint64_t Number = 0;
};

enum class SnmpOutcome : std::uint8_t { Answered, TimedOut, Failed };

// One GETBULK: the variables after From, in the agent's order.
using SnmpBulkGet = std::function<SnmpOutcome(const SnmpOid& From, std::vector<SnmpVarbind>& Out)>;
// How the poller reaches an exporter's agent; an empty getter when it cannot.
using SnmpConnect = std::function<SnmpBulkGet(const FlowAddress& Exporter)>;

struct SnmpColumn {
    SnmpOutcome Outcome = SnmpOutcome::Answered;
    std::map<std::uint32_t, SnmpVarbind> Rows;  // by interface index
    bool Truncated = false;                     // stopped at the bound
    bool Looped = false;                        // the agent went backwards
};

// Walks one table column to its end, to MaxRows rows, or to the first variable that does not come
// after the one before (an agent that loops would otherwise be walked for ever).
SnmpColumn WalkSnmpColumn(const SnmpOid& Column, const SnmpBulkGet& Get, std::size_t MaxRows);

// Up to 255 bytes of valid UTF-8 without control characters: other bytes become '?'.
std::string SaneSnmpText(const std::string& Raw);

// Watch is cheap, thread-safe and never blocks (the collector calls it for every exporter it sees,
// at most once a second per exporter, from a thread that is not the listener).
class SnmpPoller {
  public:
    using Clock = std::function<std::int64_t()>;  // ms; statuswords::SystemNowMs by default
    SnmpPoller(SnmpPollerOptions Options, InterfaceNames& Target, Clock Now = {});
    // Connect stands in for the network (tests); an empty one is the real agent over UDP.
    SnmpPoller(SnmpPollerOptions Options, InterfaceNames& Target, Clock Now, SnmpConnect Connect);
    ~SnmpPoller();  // at once, even in the middle of a walk
    SnmpPoller(const SnmpPoller&) = delete;
    SnmpPoller& operator=(const SnmpPoller&) = delete;

    void Watch(const FlowAddress& Exporter);
    SnmpPollerStatus Status() const;
    // Makes the thread read the clock again now, for a clock that was moved by hand.
    void Wake();

  private:
    struct Exporter {
        std::int64_t DueMs = 0;
        bool Polling = false;
        std::size_t Interfaces = 0;
        std::optional<SnmpOutcome> Last;
    };
    struct Poll {
        SnmpOutcome Outcome = SnmpOutcome::Answered;
        std::size_t Interfaces = 0;
    };
    void Run();
    Poll PollOne(const FlowAddress& Address);
    static std::string OutcomeText(const FlowAddress& Address, const Poll& Result, const SnmpPollerOptions& Options);
    SnmpBulkGet ConnectOverUdp(const FlowAddress& Address);

    SnmpPollerOptions Options_;
    InterfaceNames& Target_;
    Clock Now_;
    SnmpConnect Connect_;
    int WakeFd_ = -1;  // the walk's way out when the poller ends

    mutable std::mutex Lock_;
    std::condition_variable Changed_;
    bool Stop_ = false;
    bool Woken_ = false;
    std::map<FlowAddress, Exporter> Exporters_;
    std::set<FlowAddress> Refused_;
    SnmpPollerStatus Status_;
    std::thread Thread_;
};
