#pragma once

// Names for addresses, from the DNS server's PTR records, for the Traffic views and nf-query. A view
// never waits for a name: it asks, shows what is known and gets the rest on a later refresh, while a
// thread of the resolver's own asks the server at a bounded rate and keeps the answers for as long as
// they say they are good.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "FlowAddress.h"

namespace names {

struct DnsServerAddress {
    FlowAddress Address;
    std::uint16_t Port = 53;
    // "192.0.2.53:53", "[::1]:5353".
    std::string ToString() const;
};

// "192.0.2.53", "192.0.2.53:5353", "::1", "[::1]:5353"; nullopt with Error set when not an address.
std::optional<DnsServerAddress> ParseDnsServer(const std::string& Text, std::string* Error = nullptr);
// The first nameserver of a resolv.conf that is an address this program can use; 127.0.0.1:53 when it
// names none or cannot be read.
DnsServerAddress SystemDnsServer(const std::string& ResolvConf = "/etc/resolv.conf");

struct ReverseDnsOptions {
    DnsServerAddress Server;
    std::size_t MaxEntries = 65536;  // names and negative answers kept; the least recently used goes
    std::size_t MaxPending = 4096;   // asks waiting for their turn; more are counted as dropped
    double QueriesPerSecond = 50;    // token bucket
    double Burst = 100;
    int TimeoutMs = 2000;
    int Attempts = 2;
    std::int64_t MaxTtlS = 86400;  // a lifetime from the answer is kept within [MinTtlS, MaxTtlS]
    std::int64_t MinTtlS = 30;
    std::int64_t NegativeTtlS = 900;   // when a negative answer carries no SOA; also the cap on negative lifetimes
    std::int64_t FailureRetryS = 300;  // after a time-out or server failure
    std::size_t MaxInFlight = 64;      // queries sent and not answered yet
};

struct ReverseDnsStatus {
    std::size_t Entries = 0;      // answers kept (names, negative answers and recent failures)
    std::size_t Pending = 0;      // asks waiting for their turn
    std::uint64_t Queries = 0;    // datagrams sent, retries included
    std::uint64_t Names = 0;      // answers with a name
    std::uint64_t NoNames = 0;    // answers saying there is none
    std::uint64_t Failures = 0;   // lookups given up: time-outs, server failures, truncated or malformed answers
    std::uint64_t Malformed = 0;  // datagrams that were no well-formed answer to a question in flight
    std::uint64_t Dropped = 0;    // asks not queued because MaxPending were waiting
};

class AnswerCache;

// One thread of its own with one socket; every public call is thread-safe and none blocks on the network.
class ReverseDns {
  public:
    using Clock = std::function<std::int64_t()>;  // ms; statuswords::SystemNowMs by default
    explicit ReverseDns(ReverseDnsOptions Options, Clock Now = {});
    ~ReverseDns();  // stops the thread promptly (at most a few ms), also with lookups in flight
    ReverseDns(const ReverseDns&) = delete;
    ReverseDns& operator=(const ReverseDns&) = delete;

    // The name when known; an empty string when the address is known to have none (or lookups
    // failed recently); nullopt when not known yet: then a lookup is queued unless one already is.
    std::optional<std::string> Lookup(const FlowAddress& Address);
    // Only the cache: never queues.
    std::optional<std::string> Cached(const FlowAddress& Address) const;
    // For command-line use: queues every address (MaxPending does not apply), then waits until each
    // is answered, failed or TimeoutMs of real time have passed.
    void Resolve(const std::vector<FlowAddress>& Addresses, int TimeoutMs);
    ReverseDnsStatus Status() const;

  private:
    struct Ask {
        FlowAddress Address;
        int Attempt = 0;
        std::uint16_t PreviousId = 0;  // of the attempt before, when Attempt > 0
    };
    struct InFlight;
    struct AddressHash {
        std::size_t operator()(const FlowAddress& Address) const;
    };

    // Under Mutex_: queues Address unless it is asked already. False when the queue is full.
    bool QueueLocked(const FlowAddress& Address, bool Bounded);
    void Wake();
    void Run();
    void SendDue(std::vector<InFlight>& Flights, std::int64_t NowMs);
    void Receive(std::vector<InFlight>& Flights, std::int64_t NowMs);
    void ExpireFlights(std::vector<InFlight>& Flights, std::int64_t NowMs);
    // Keeps the outcome of a lookup and ends it.
    void Settle(const FlowAddress& Address, const std::string& Name, std::int64_t LifetimeS, std::int64_t NowMs);
    int WaitMs(const std::vector<InFlight>& Flights, std::int64_t NowMs) const;

    const ReverseDnsOptions Options_;
    const Clock Now_;
    int Socket_ = -1;
    int WakeFd_ = -1;

    mutable std::mutex Mutex_;
    std::condition_variable Settled_;
    std::unique_ptr<AnswerCache> Cache_;
    std::deque<Ask> Queue_;
    std::unordered_set<FlowAddress, AddressHash> Asked_;  // queued or in flight
    ReverseDnsStatus Counts_;
    bool Stop_ = false;

    // The worker's own: the token bucket.
    double Tokens_ = 0;
    std::int64_t TokensAtMs_ = 0;

    std::thread Thread_;
};

}  // namespace names
