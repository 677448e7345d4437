#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Collector.h"
#include "Datagrams.h"
#include "ScratchDirectory.h"
#include "flowdecode/Templates.h"

namespace {

using namespace testdatagrams;

// Keeps the first byte count of every batch and the threads it was called on.
class Keeper : public FlowConsumer {
  public:
    void Consume(const FlowBatch& Batch) override {
        const std::lock_guard<std::mutex> lock(Lock_);
        for (const FlowRecord& r : Batch) Bytes_.push_back(r.Bytes);
        Threads_.push_back(std::this_thread::get_id());
    }
    std::vector<std::uint64_t> Bytes() const {
        const std::lock_guard<std::mutex> lock(Lock_);
        return Bytes_;
    }
    std::vector<std::thread::id> Threads() const {
        const std::lock_guard<std::mutex> lock(Lock_);
        return Threads_;
    }

  private:
    mutable std::mutex Lock_;
    std::vector<std::uint64_t> Bytes_;
    std::vector<std::thread::id> Threads_;
};

// A consumer that cannot keep up: it blocks until released.
class Stuck : public FlowConsumer {
  public:
    void Consume(const FlowBatch&) override {
        std::unique_lock<std::mutex> lock(Lock_);
        Released_.wait(lock, [this] { return Free_; });
    }
    void Release() {
        const std::lock_guard<std::mutex> lock(Lock_);
        Free_ = true;
        Released_.notify_all();
    }

  private:
    std::mutex Lock_;
    std::condition_variable Released_;
    bool Free_ = false;
};

class CollectorTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        netflowlib::ResetTemplateStore();
    }
    // What the listener would hand over, without a socket.
    static void Deliver(Collector& C, const std::string& Datagram) {
        C.Handler().HandleDatagram(Datagram.data(), Datagram.size(), "192.0.2.7");
    }
    static void DeliverFrom(Collector& C, const std::string& Datagram, const char* Sender) {
        C.Handler().HandleDatagram(Datagram.data(), Datagram.size(), Sender);
    }
    static V5Flow Flow(std::uint32_t Octets) {
        V5Flow f;
        f.octets = Octets;
        return f;
    }
};

// Every consumer gets every flow that reaches the CSV, in order, on a thread that is neither the
// listener's nor another consumer's, and gets what still waits before the collector ends.
TEST_F(CollectorTest, EveryConsumerGetsEveryFlowOnAThreadOfItsOwn) {
    Keeper first, second;
    std::vector<std::uint64_t> sent;
    {
        Collector collector;
        collector.Attach(first, ConsumerPacing{});
        ConsumerPacing slow;
        slow.PeriodMs = 60'000;  // only the end hands it anything
        collector.Attach(second, slow);
        for (std::uint32_t n = 1; n <= 200; ++n) {
            Deliver(collector, V5Datagram({Flow(n), Flow(n + 1000)}));
            sent.insert(sent.end(), {n, n + 1000u});
        }
        EXPECT_EQ(collector.Counters().Flows.Get(), 400u);
    }
    EXPECT_EQ(first.Bytes(), sent);
    EXPECT_EQ(second.Bytes(), sent);
    const auto own = [](const std::vector<std::thread::id>& Threads) {
        return std::all_of(Threads.begin(), Threads.end(),
                           [&](std::thread::id t) { return t == Threads.front() && t != std::this_thread::get_id(); });
    };
    EXPECT_TRUE(own(first.Threads()));
    EXPECT_TRUE(own(second.Threads()));
    EXPECT_NE(first.Threads().front(), second.Threads().front());
}

// The history's two writers on threads of their own, fed by the handler while the status is read
// from here: every flow reaches the day file and the summaries, and the status counts them.
TEST_F(CollectorTest, TheHistoryWritersStoreEveryFlowFromThreadsOfTheirOwn) {
    history::HistoryOptions options;
    options.Say = [](const std::string&) {};
    history::HistoryStore store(Dir(), options);
    ASSERT_TRUE(store.Storing());
    {
        Collector collector;
        const FlowHandOver& raw = collector.Attach(store.RawConsumer(), history::HistoryStore::RawPacing(), 64, false);
        const FlowHandOver& summary =
            collector.Attach(store.SummaryConsumer(), history::HistoryStore::SummaryPacing(), 64, false);
        store.Watch(&raw, &summary);
        for (std::uint32_t n = 1; n <= 300; ++n) {
            Deliver(collector, V5Datagram({Flow(n), Flow(n + 1000)}));
            if (n % 50 == 0) {
                EXPECT_LE(store.Status().FlowsStored, 2u * n);
            }
            // Slow enough that a ring of 64 never overflows.
            if (n % 32 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        store.Watch(nullptr, nullptr);
    }
    store.FlushNow();
    const history::StoreStatus status = store.Status();
    EXPECT_EQ(status.FlowsStored, 600u);
    EXPECT_EQ(status.FlowsNotStored, 0u);
    EXPECT_EQ(status.FlowsNotSummed, 0u);
}

// A consumer that falls behind loses flows from its own hand-over only, counted there; the files
// and every other consumer get them all.
TEST_F(CollectorTest, ASlowConsumerCostsNobodyElseAFlow) {
    Keeper keeper;
    Stuck stuck;
    Collector collector;
    collector.Attach(keeper, ConsumerPacing{});
    const FlowHandOver& stuckFeed = collector.Attach(stuck, ConsumerPacing{}, 4);
    for (std::uint32_t n = 1; n <= 50; ++n) Deliver(collector, V5Datagram({Flow(n)}));
    EXPECT_EQ(collector.Counters().Flows.Get(), 50u);
    EXPECT_GE(stuckFeed.RecordsDropped(), 50u - 4u - 1u);
    stuck.Release();
    collector.Stop();
    // The keeper's thread passes on what waits when the collector ends; until then, give it time.
    for (int wait = 0; wait < 500 && keeper.Bytes().size() < 50; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(keeper.Bytes().size(), 50u);
}

// The Traffic views are one consumer among others: asked for twice, attached once.
TEST_F(CollectorTest, TrafficIsAttachedOnceAtItsFirstUse) {
    Collector collector;
    EXPECT_EQ(collector.TrafficHandOver(), nullptr);
    SharedTraffic& traffic = collector.Traffic();
    const FlowHandOver* handOver = collector.TrafficHandOver();
    ASSERT_NE(handOver, nullptr);
    EXPECT_EQ(&collector.Traffic(), &traffic);
    EXPECT_EQ(collector.TrafficHandOver(), handOver);
    Deliver(collector, V5Datagram({Flow(7), Flow(8)}));
    for (int wait = 0; wait < 500; ++wait) {
        {
            const std::lock_guard<std::mutex> lock(traffic.Lock);
            if (traffic.Aggregator->FlowsAdded() == 2) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::lock_guard<std::mutex> lock(traffic.Lock);
    EXPECT_EQ(traffic.Aggregator->FlowsAdded(), 2u);
}

// The window must say where the handler shows things before the handler exists, never after.
TEST_F(CollectorTest, WhereToShowIsSettledBeforeTheFirstDatagram) {
    Collector collector;
    NoWindow window;
    collector.ShowIn(window);
    Deliver(collector, V5Datagram({Flow(1)}));
    EXPECT_THROW(collector.ShowIn(window), std::logic_error);
}

// A loopback UDP socket that hears what is sent to it and never answers: the DNS server and the
// SNMP agent of an exporter that stays silent.
class Silent {
  public:
    Silent() {
        Fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
        socklen_t length = sizeof at;
        ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&at), &length);
        Port_ = ntohs(at.sin_port);
    }
    ~Silent() { ::close(Fd_); }
    std::uint16_t Port() const { return Port_; }
    // Whether a datagram arrives within Ms.
    bool Hears(int Ms) {
        pollfd p{Fd_, POLLIN, 0};
        if (::poll(&p, 1, Ms) != 1) return false;
        char buffer[2048];
        return ::recv(Fd_, buffer, sizeof buffer, 0) > 0;
    }

  private:
    int Fd_ = -1;
    std::uint16_t Port_ = 0;
};

bool Within(std::chrono::milliseconds Limit, const std::function<bool()>& Done) {
    const auto end = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < end) {
        if (Done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Done();
}

// Countries on the aggregation thread, host names on the resolver's, interface names on the
// poller's: none on the listener, all of them in the totals' line.
TEST_F(CollectorTest, NamesAreLookedUpOffTheListenerAndSaidInTheTotals) {
    Silent dns;
    Silent agent;
    NameOptions options;
    options.DnsServer = names::DnsServerAddress{FlowAddress::Parse("127.0.0.1"), dns.Port()};
    options.SnmpCommunity = "nfc";
    options.SnmpPort = agent.Port();
    Collector collector;
    collector.EnableNames(options);
    collector.StartNames();
    ASSERT_EQ(collector.LocationDatabase(), names::kLocationDatabase) << collector.WhyNoLocations();
    SharedTraffic& traffic = collector.Traffic();
    V5Flow google = Flow(1000);
    google.src = 0x08080808;
    DeliverFrom(collector, V5Datagram({google}), "127.0.0.1");
    ASSERT_TRUE(Within(std::chrono::seconds(10), [&] {
        const std::lock_guard<std::mutex> lock(traffic.Lock);
        return traffic.Aggregator->Top(TalkerKind::SourceAs, 60).Rows.size() == 1;
    }));
    {
        const std::lock_guard<std::mutex> lock(traffic.Lock);
        EXPECT_EQ(KeyNumber(traffic.Aggregator->Top(TalkerKind::SourceAs, 60).Rows[0].Key), 15169u);
    }

    ASSERT_NE(collector.HostNames(), nullptr);
    EXPECT_FALSE(collector.HostNames()->Lookup(FlowAddress::Parse("8.8.8.8")));
    EXPECT_TRUE(dns.Hears(5000)) << "the lookup reaches the server given";
    // The exporter is found in the table and its agent asked, and its silence counted.
    EXPECT_TRUE(agent.Hears(8000));
    ASSERT_TRUE(Within(std::chrono::seconds(15), [&] { return collector.Snmp()->Status().TimedOut == 1; }));
    const std::string line = collector.NamesText();
    EXPECT_NE(line.find("places of 2 addresses cached"), std::string::npos) << line;
    EXPECT_NE(line.find("SNMP: 0 of 1 polls answered, 1 timed out"), std::string::npos) << line;
}

TEST_F(CollectorTest, WithoutLookupsNoResolverAndAMissingDatabaseIsSaid) {
    NameOptions options;
    options.Dns = false;
    options.LocationDatabase = Dir() + "none.db";
    Collector collector;
    collector.EnableNames(options);
    collector.StartNames();
    EXPECT_EQ(collector.HostNames(), nullptr);
    EXPECT_EQ(collector.Snmp(), nullptr);
    EXPECT_TRUE(collector.LocationDatabase().empty());
    EXPECT_NE(collector.WhyNoLocations().find("none.db"), std::string::npos);
    const std::string line = collector.NamesText();
    EXPECT_NE(line.find("no host names (--no-dns)"), std::string::npos) << line;
    EXPECT_NE(line.find("no countries or AS numbers"), std::string::npos) << line;
}

}  // namespace
