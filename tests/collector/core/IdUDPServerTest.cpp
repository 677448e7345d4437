// The UDP listener on loopback: whole datagrams, the sender's address, errors swallowed inside the
// loop, activation errors reported, and deactivation that neither returns early nor deadlocks.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "IdUDPServer.h"

namespace {

using namespace std::chrono_literals;

// How long a test waits for something that should happen almost at once. Generous, because a
// sanitizer build on a busy machine is slow; a passing run never waits this long.
constexpr auto kPatience = 20s;
constexpr std::int32_t kCollectorPort = 9996;

class LoopbackSender {
  public:
    LoopbackSender() {
        Handle_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = Loopback(0);
        if (Handle_ < 0 || ::bind(Handle_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            ADD_FAILURE() << "sender socket: " << std::strerror(errno);
        }
    }
    ~LoopbackSender() { ::close(Handle_); }

    int Port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(Handle_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    void SendTo(std::int32_t Port, const std::string& Data) const {
        const sockaddr_in target = Loopback(Port);
        const ssize_t sent =
            ::sendto(Handle_, Data.data(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        ASSERT_EQ(sent, static_cast<ssize_t>(Data.size())) << std::strerror(errno);
    }

    static sockaddr_in Loopback(std::int32_t Port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(Port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

  private:
    int Handle_ = -1;
};

struct Delivery {
    std::string Data;
    std::int64_t Position = -1;
    std::string SenderIP;
    std::int32_t SenderPort = 0;
    TIdSocketHandle* Binding = nullptr;
    std::thread::id Thread;
    pid_t KernelThread = 0;  // unlike std::thread::id, not handed on to the next thread at once
};

class Recorder {
  public:
    TUDPReadEvent Handler() {
        return [this](TIdUDPServer&, TIdMemoryStream& AData, TIdSocketHandle& ABinding) { Record(AData, ABinding); };
    }

    void Record(TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        Delivery delivery;
        delivery.Position = AData.Position();
        delivery.Data.resize(static_cast<std::size_t>(AData.Size()));
        // Read in two pieces to see that it continues where it left off and stops at the end.
        const std::size_t half = delivery.Data.size() / 2;
        std::size_t got = AData.Read(delivery.Data.data(), half);
        got += AData.Read(delivery.Data.data() + got, delivery.Data.size() + 10);
        EXPECT_EQ(got, delivery.Data.size());
        delivery.SenderIP = ABinding.SenderIP;
        delivery.SenderPort = ABinding.SenderPort;
        delivery.Binding = &ABinding;
        delivery.Thread = std::this_thread::get_id();
        delivery.KernelThread = ::gettid();
        {
            std::lock_guard<std::mutex> lock(Lock_);
            Items_.push_back(std::move(delivery));
        }
        Changed_.notify_all();
    }

    bool WaitForCount(std::size_t Count) {
        std::unique_lock<std::mutex> lock(Lock_);
        return Changed_.wait_for(lock, kPatience, [&] { return Items_.size() >= Count; });
    }

    std::vector<Delivery> Items() {
        std::lock_guard<std::mutex> lock(Lock_);
        return Items_;
    }

  private:
    std::mutex Lock_;
    std::condition_variable Changed_;
    std::vector<Delivery> Items_;
};

// A counting signal between the handler and the test body.
class Signal {
  public:
    void Raise() {
        {
            std::lock_guard<std::mutex> lock(Lock_);
            ++Count_;
        }
        Changed_.notify_all();
    }
    bool WaitFor(int Count = 1) {
        std::unique_lock<std::mutex> lock(Lock_);
        return Changed_.wait_for(lock, kPatience, [&] { return Count_ >= Count; });
    }
    int Count() {
        std::lock_guard<std::mutex> lock(Lock_);
        return Count_;
    }

  private:
    std::mutex Lock_;
    std::condition_variable Changed_;
    int Count_ = 0;
};

// A deadlock would hang the run instead of failing it: every test runs under this, which ends the
// process with the test's name when the test has not finished in time.
class Watchdog {
  public:
    Watchdog() : TestName_(CurrentTestName()), Thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(Lock_);
            Done_ = true;
        }
        Changed_.notify_all();
        Thread_.join();
    }

  private:
    static std::string CurrentTestName() {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return test ? std::string(test->test_suite_name()) + "." + test->name() : std::string("?");
    }
    void Watch() {
        std::unique_lock<std::mutex> lock(Lock_);
        if (!Changed_.wait_for(lock, 3 * kPatience, [this] { return Done_; })) {
            std::fprintf(stderr, "%s is stuck: deadlock?\n", TestName_.c_str());
            std::_Exit(1);
        }
    }
    const std::string TestName_;
    std::mutex Lock_;
    std::condition_variable Changed_;
    bool Done_ = false;
    std::thread Thread_;
};

// The watchdog is a fixture member, so it outlives everything a test body creates, the listener's
// destruction included.
class IdUDPServer : public ::testing::Test {
    Watchdog Watchdog_;
};

std::string Pattern(std::size_t Length) {
    std::string data(Length, '\0');
    for (std::size_t i = 0; i < Length; ++i) data[i] = static_cast<char>(i * 31 + 7);
    return data;
}

ino_t SocketIdentity(int Handle) {
    struct stat status {};
    ::fstat(Handle, &status);
    return status.st_ino;
}

// Binds one loopback endpoint on a port the system picks.
void AddLoopbackBinding(TIdUDPServer& Server) {
    TIdSocketHandle& binding = Server.Bindings().Add();
    binding.IP = "127.0.0.1";
    binding.Port = 0;
}

// As the collector sets it up.
void ConfigureAsCollector(TIdUDPServer& Server, Recorder& Records) {
    Server.BufferSize = 8000;
    Server.SetDefaultPort(kCollectorPort);
    Server.ThreadedEvent = true;
    Server.OnUDPRead = Records.Handler();
}

TEST_F(IdUDPServer, DeliversEachDatagramWholeAndDropsThoseLongerThanTheBuffer) {
    Recorder records;
    TIdUDPServer server;  // after what its handler uses, so that it is destroyed first
    ConfigureAsCollector(server, records);
    server.SetActive(true);

    const LoopbackSender sender;
    const std::string full = Pattern(8000);
    sender.SendTo(kCollectorPort, "");
    sender.SendTo(kCollectorPort, full);
    sender.SendTo(kCollectorPort, Pattern(8001));
    sender.SendTo(kCollectorPort, Pattern(65000));
    sender.SendTo(kCollectorPort, "next");

    ASSERT_TRUE(records.WaitForCount(3));
    server.SetActive(false);
    const std::vector<Delivery> got = records.Items();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].Data, "");
    EXPECT_EQ(got[1].Data, full);
    EXPECT_EQ(got[2].Data, "next");
    for (const Delivery& delivery : got) EXPECT_EQ(delivery.Position, 0);
}

TEST_F(IdUDPServer, ReportsTheSenderAndTheBindingThatReceived) {
    Recorder records;
    TIdUDPServer server;
    server.ThreadedEvent = true;
    server.OnUDPRead = records.Handler();
    AddLoopbackBinding(server);
    AddLoopbackBinding(server);
    server.SetActive(true);

    TIdSocketHandle& first = server.Bindings().Items(0);
    TIdSocketHandle& second = server.Bindings().Items(1);
    EXPECT_EQ(first.IP, "127.0.0.1");
    EXPECT_NE(first.Port, 0);
    EXPECT_NE(second.Port, 0);
    EXPECT_NE(first.Port, second.Port);
    EXPECT_EQ(server.Binding(), &first);

    const LoopbackSender sender;
    sender.SendTo(second.Port, "to second");
    ASSERT_TRUE(records.WaitForCount(1));
    EXPECT_EQ(server.Binding(), &second);
    sender.SendTo(first.Port, "to first");
    ASSERT_TRUE(records.WaitForCount(2));
    EXPECT_EQ(server.Binding(), &first);

    const std::vector<Delivery> got = records.Items();
    EXPECT_EQ(got[0].Binding, &second);
    EXPECT_EQ(got[1].Binding, &first);
    for (const Delivery& delivery : got) {
        EXPECT_EQ(delivery.SenderIP, "127.0.0.1");
        EXPECT_EQ(delivery.SenderPort, sender.Port());
    }
}

TEST_F(IdUDPServer, HandlerErrorsDoNotStopTheListener) {
    Recorder records;
    TIdUDPServer server;
    server.ThreadedEvent = true;
    AddLoopbackBinding(server);
    server.OnUDPRead = [&records](TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
        if (AData.Size() == 1) throw std::runtime_error("handler failed");
        if (AData.Size() == 2) throw 42;  // not even an exception class
        records.Handler()(Sender, AData, ABinding);
    };
    server.SetActive(true);

    const LoopbackSender sender;
    const std::int32_t port = server.Bindings().Items(0).Port;
    sender.SendTo(port, "a");
    sender.SendTo(port, "bb");
    sender.SendTo(port, "ccc");
    ASSERT_TRUE(records.WaitForCount(1));
    EXPECT_EQ(records.Items()[0].Data, "ccc");
    EXPECT_TRUE(server.Active());
}

TEST_F(IdUDPServer, DeactivationWaitsForTheRunningHandler) {
    Signal entered, deactivating;
    std::atomic<bool> handlerReturned{false};
    TIdUDPServer server;
    server.ThreadedEvent = true;
    AddLoopbackBinding(server);
    server.OnUDPRead = [&](TIdUDPServer&, TIdMemoryStream&, TIdSocketHandle&) {
        entered.Raise();
        deactivating.WaitFor();
        // Gives a deactivation that does not wait every chance to return before we do.
        std::this_thread::sleep_for(200ms);
        handlerReturned = true;
    };
    server.SetActive(true);

    LoopbackSender().SendTo(server.Bindings().Items(0).Port, "x");
    ASSERT_TRUE(entered.WaitFor());
    deactivating.Raise();
    server.SetActive(false);
    EXPECT_TRUE(handlerReturned);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Binding(), nullptr);
}

TEST_F(IdUDPServer, ReactivationBindsTheSamePortWithANewSocketAndThread) {
    Recorder records;
    TIdUDPServer server;
    ConfigureAsCollector(server, records);
    const LoopbackSender sender;

    server.SetActive(true);
    ASSERT_EQ(server.Bindings().Count(), 1);
    TIdSocketHandle& binding = server.Bindings().Items(0);
    EXPECT_EQ(binding.IP, "0.0.0.0");
    EXPECT_EQ(binding.Port, kCollectorPort);
    const ino_t firstSocket = SocketIdentity(binding.Handle());
    sender.SendTo(kCollectorPort, "one");
    ASSERT_TRUE(records.WaitForCount(1));

    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_FALSE(binding.HandleAllocated());
    EXPECT_EQ(binding.Port, kCollectorPort);

    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    ASSERT_EQ(server.Bindings().Count(), 1);
    EXPECT_EQ(&server.Bindings().Items(0), &binding);
    EXPECT_EQ(binding.Port, kCollectorPort);
    EXPECT_NE(SocketIdentity(binding.Handle()), firstSocket);
    sender.SendTo(kCollectorPort, "two");
    ASSERT_TRUE(records.WaitForCount(2));

    const std::vector<Delivery> got = records.Items();
    EXPECT_EQ(got[1].Data, "two");
    EXPECT_NE(got[0].KernelThread, got[1].KernelThread);
}

TEST_F(IdUDPServer, PortInUseFailsAndALaterActivationSucceeds) {
    Recorder records;
    TIdUDPServer server;
    ConfigureAsCollector(server, records);

    // The other program is willing to share its port; the listener must not be.
    const int other = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kCollectorPort);
    ASSERT_EQ(::bind(other, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0) << std::strerror(errno);

    try {
        server.SetActive(true);
        FAIL() << "activation succeeded on a port in use";
    } catch (const EIdCouldNotBindSocket& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Binding(), nullptr);
    EXPECT_FALSE(server.Bindings().Items(0).HandleAllocated());

    ::close(other);
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.Bindings().Count(), 1);
    LoopbackSender().SendTo(kCollectorPort, "after");
    ASSERT_TRUE(records.WaitForCount(1));
}

TEST_F(IdUDPServer, OtherBindFailuresReportTheSystemErrorAndReleaseEarlierBindings) {
    std::ifstream nonLocal("/proc/sys/net/ipv4/ip_nonlocal_bind");
    int nonLocalBind = 0;
    if (nonLocal >> nonLocalBind && nonLocalBind != 0) GTEST_SKIP() << "this system binds foreign addresses";

    TIdUDPServer server;
    AddLoopbackBinding(server);
    TIdSocketHandle& foreign = server.Bindings().Add();
    foreign.IP = "192.0.2.1";  // documentation range: never a local address
    try {
        server.SetActive(true);
        FAIL() << "bound an address that is not local";
    } catch (const EIdSocketError& error) {
        EXPECT_EQ(error.LastError(), EADDRNOTAVAIL);
        EXPECT_EQ(std::string(error.what()),
                  "Socket Error # " + std::to_string(EADDRNOTAVAIL) + "\r\n" + std::strerror(EADDRNOTAVAIL));
    }
    EXPECT_FALSE(server.Active());

    // The first binding had bound; an inactive component must not keep its port.
    const std::int32_t heldPort = server.Bindings().Items(0).Port;
    ASSERT_NE(heldPort, 0);
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackSender::Loopback(heldPort);
    EXPECT_EQ(::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ::close(probe);
}

TEST_F(IdUDPServer, KernelReceiveBufferIsEnlargedUnlessSwitchedOff) {
    const int fresh = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int systemDefault = 0;
    socklen_t length = sizeof systemDefault;
    ::getsockopt(fresh, SOL_SOCKET, SO_RCVBUF, &systemDefault, &length);
    ::close(fresh);

    for (const int requested : {8 * 1024 * 1024, 0}) {
        TIdUDPServer server;
        server.ReceiveBufferBytes = requested;
        AddLoopbackBinding(server);
        server.SetActive(true);
        int actual = 0;
        length = sizeof actual;
        ::getsockopt(server.Bindings().Items(0).Handle(), SOL_SOCKET, SO_RCVBUF, &actual, &length);
        if (requested == 0) {
            EXPECT_EQ(actual, systemDefault);
        } else {
            EXPECT_GT(actual, systemDefault);
        }
    }
}

TEST_F(IdUDPServer, HandlerCallsNeverOverlap) {
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    Signal handled;
    TIdUDPServer server;
    server.ThreadedEvent = true;
    AddLoopbackBinding(server);
    AddLoopbackBinding(server);
    server.OnUDPRead = [&](TIdUDPServer&, TIdMemoryStream&, TIdSocketHandle&) {
        const int now = ++inside;
        if (now > mostInside) mostInside = now;
        std::this_thread::yield();  // widen the window an overlapping call would fall into
        --inside;
        handled.Raise();
    };
    server.SetActive(true);

    const LoopbackSender sender;
    const std::int32_t ports[] = {server.Bindings().Items(0).Port, server.Bindings().Items(1).Port};
    constexpr int kRounds = 20, kPerBindingAndRound = 5;
    for (int round = 1; round <= kRounds; ++round) {
        for (int i = 0; i < kPerBindingAndRound; ++i) {
            for (const std::int32_t port : ports) sender.SendTo(port, "burst");
        }
        // Kept within what any receive buffer holds, so that every datagram is delivered.
        ASSERT_TRUE(handled.WaitFor(round * kPerBindingAndRound * 2));
    }
    EXPECT_EQ(mostInside, 1);
    EXPECT_EQ(handled.Count(), kRounds * kPerBindingAndRound * 2);
}

// ThreadedEvent false: the handler runs wherever the owner serves the queued calls.
class IdUDPServerMainThread : public IdUDPServer {
  protected:
    void SetUp() override {
        server.ThreadedEvent = false;
        server.OnUDPRead = records.Handler();
        server.OnMainThreadCallPending = [this] { pending.Raise(); };
        AddLoopbackBinding(server);
        server.SetActive(true);
        port = server.Bindings().Items(0).Port;
    }

    Recorder records;
    Signal pending;
    std::int32_t port = 0;
    const LoopbackSender sender;
    TIdUDPServer server;  // destroyed first: its destruction may still run a queued handler call
};

TEST_F(IdUDPServerMainThread, HandlerRunsOnTheServingThreadOneDatagramAtATime) {
    sender.SendTo(port, "first");
    sender.SendTo(port, "second");

    ASSERT_TRUE(pending.WaitFor(1));
    EXPECT_TRUE(records.Items().empty());
    server.ServeMainThreadCalls();
    ASSERT_EQ(records.Items().size(), 1u);

    // The listener waited for the first call before queueing the second.
    ASSERT_TRUE(pending.WaitFor(2));
    EXPECT_EQ(records.Items().size(), 1u);
    server.ServeMainThreadCalls();
    server.ServeMainThreadCalls();  // nothing queued: returns at once

    const std::vector<Delivery> got = records.Items();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Data, "first");
    EXPECT_EQ(got[1].Data, "second");
    for (const Delivery& delivery : got) EXPECT_EQ(delivery.Thread, std::this_thread::get_id());
}

TEST_F(IdUDPServerMainThread, DeactivationServesTheQueuedCallInsteadOfDeadlocking) {
    sender.SendTo(port, "queued");
    ASSERT_TRUE(pending.WaitFor());
    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    const std::vector<Delivery> got = records.Items();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Data, "queued");
    EXPECT_EQ(got[0].Thread, std::this_thread::get_id());
    server.ServeMainThreadCalls();  // a late scheduled call finds nothing to do
}

// Switching the component from its own handler would wait for itself; it is refused instead, and
// the refusal is an error inside the loop like any other.
TEST_F(IdUDPServer, SwitchingFromTheOwnHandlerIsRefused) {
    for (const bool threaded : {true, false}) {
        SCOPED_TRACE(threaded ? "handler on the listener thread" : "handler on the main thread");
        Recorder records;
        Signal pending;
        std::atomic<int> refused{0};
        TIdUDPServer server;
        server.ThreadedEvent = threaded;
        server.OnMainThreadCallPending = [&pending] { pending.Raise(); };
        AddLoopbackBinding(server);
        server.OnUDPRead = [&](TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle& ABinding) {
            try {
                Sender.SetActive(false);
            } catch (const EIdException&) {
                ++refused;
            }
            if (AData.Size() == 1) Sender.SetActive(false);  // escapes the handler
            records.Record(AData, ABinding);
        };
        server.SetActive(true);

        const LoopbackSender sender;
        sender.SendTo(server.Bindings().Items(0).Port, "x");
        sender.SendTo(server.Bindings().Items(0).Port, "yy");
        if (!threaded) {
            ASSERT_TRUE(pending.WaitFor(1));
            server.ServeMainThreadCalls();
            ASSERT_TRUE(pending.WaitFor(2));
            server.ServeMainThreadCalls();
        }
        ASSERT_TRUE(records.WaitForCount(1));
        EXPECT_EQ(records.Items()[0].Data, "yy");
        EXPECT_EQ(refused, 2);
        EXPECT_TRUE(server.Active());
        server.SetActive(false);
        EXPECT_FALSE(server.Active());
    }
}

}  // namespace

namespace {

// What a handler that cares about version 9 successors asks the listener; the listener itself
// knows nothing of versions.
bool StartsWithVersion9(const unsigned char* Head, std::size_t HeadLength, std::size_t) {
    return HeadLength >= 2 && Head[0] == 0 && Head[1] == 9;
}

// Holds the handler of the first datagram until released, so that what follows queues up in the
// kernel and comes out as one batch.
class HeldFirstDatagram {
  public:
    void Attach(TIdUDPServer& Server) {
        Server.OnUDPRead = [this](TIdUDPServer& Sender, TIdMemoryStream& AData, TIdSocketHandle&) {
            std::unique_lock<std::mutex> lock(Lock_);
            Events_.push_back(std::string(AData.Memory(), static_cast<std::size_t>(AData.Size())) +
                              (Sender.AnyLaterQueued(StartsWithVersion9) ? "+" : ""));
            Changed_.notify_all();
            Changed_.wait_for(lock, kPatience, [this] { return Released_; });
        };
        Server.OnBatchEnd = [this, &Server] {
            std::lock_guard<std::mutex> lock(Lock_);
            Events_.push_back("|");
            EndsFull_.push_back(Server.BatchWasFull());
            Changed_.notify_all();
        };
    }
    void Release() {
        std::lock_guard<std::mutex> lock(Lock_);
        Released_ = true;
        Changed_.notify_all();
    }
    bool WaitForEvents(std::size_t Count) {
        std::unique_lock<std::mutex> lock(Lock_);
        return Changed_.wait_for(lock, kPatience, [&] { return Events_.size() >= Count; });
    }
    // Until Data has been delivered and its batch has ended.
    bool WaitForBatchWith(const std::string& Data) {
        std::unique_lock<std::mutex> lock(Lock_);
        return Changed_.wait_for(lock, kPatience, [&] {
            const auto at = std::find(Events_.begin(), Events_.end(), Data);
            return at != Events_.end() && std::find(at, Events_.end(), "|") != Events_.end();
        });
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(Lock_);
        return Events_;
    }
    // For every batch end, whether its batch was full.
    std::vector<bool> EndsFull() {
        std::lock_guard<std::mutex> lock(Lock_);
        return EndsFull_;
    }

  private:
    std::mutex Lock_;
    std::condition_variable Changed_;
    std::vector<std::string> Events_;
    std::vector<bool> EndsFull_;
    bool Released_ = false;
};

// A threaded listener on a loopback port that holds its first datagram.
void StartHeld(TIdUDPServer& Server, HeldFirstDatagram& Held) {
    Server.BufferSize = 8000;
    Server.ThreadedEvent = true;
    AddLoopbackBinding(Server);
    Held.Attach(Server);
    Server.SetActive(true);
}

// A held listener with datagrams queued behind its first one, "first", and then let go: what was
// queued comes out in as few batches as the kernel gives.
struct QueuedBehindHeld {
    CollectorCounters Counters;
    HeldFirstDatagram Held;
    TIdUDPServer Server{Counters};
    const LoopbackSender Sender;

    explicit QueuedBehindHeld(int DrainMs = 2000) {
        Server.DrainOnStopMs = DrainMs;
        StartHeld(Server, Held);
    }
    // False when the first datagram never arrived.
    bool Queue(const std::vector<std::string>& Datagrams) {
        const std::int32_t port = Server.Bindings().Items(0).Port;
        Sender.SendTo(port, "first");
        if (!Held.WaitForEvents(1)) return false;
        for (const std::string& d : Datagrams) Sender.SendTo(port, d);
        Held.Release();
        return true;
    }
};

}  // namespace

TEST_F(IdUDPServer, DatagramsComeInBatchesInOrderAndEachKnowsWhetherAVersion9OneFollows) {
    QueuedBehindHeld run;
    HeldFirstDatagram& held = run.Held;
    const std::string v9a(
        "\x00\x09"
        "a",
        3),
        v5b("\x00\x05"
            "b",
            3),
        v9c("\x00\x09"
            "c",
            3),
        v5d("\x00\x05"
            "d",
            3);
    ASSERT_TRUE(run.Queue({v9a, v5b, Pattern(8001), v9c, v5d, std::string("\x09", 1)}));
    ASSERT_TRUE(held.WaitForEvents(8)) << ::testing::PrintToString(held.Events());
    run.Server.SetActive(false);

    // Every datagram in order, each batch closed by its end; "+" where a later datagram of the
    // same batch is of version 9, the oversize one never delivered.
    const std::vector<std::string> got = held.Events();
    std::vector<std::string> order;
    for (const std::string& e : got) {
        if (e == "|") continue;
        order.push_back(e.back() == '+' ? e.substr(0, e.size() - 1) : e);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"first", v9a, v5b, v9c, v5d, std::string("\x09", 1)}));
    // Where the kernel put the batch boundaries is its business; the flags must agree with them.
    // The last datagram of a batch also sees the first of the next one, if it waits.
    const auto isV9 = [&](const std::string& e) { return e.rfind(v9a.substr(0, 2), 0) == 0; };
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] == "|") continue;
        bool laterV9 = false;
        std::size_t j = i + 1;
        for (; j < got.size() && got[j] != "|"; ++j) laterV9 = laterV9 || isV9(got[j]);
        const bool nextBatchV9 = j == i + 1 && j + 1 < got.size() && isV9(got[j + 1]);
        if (got[i].back() == '+' && !laterV9) {
            EXPECT_TRUE(nextBatchV9) << "datagram " << i;
        } else {
            EXPECT_EQ(got[i].back() == '+', laterV9) << "datagram " << i;
        }
    }
    EXPECT_EQ(got.back(), "|");
    EXPECT_EQ(run.Counters.DatagramsReceived.Get(), 7u);
    EXPECT_EQ(run.Counters.OversizeDropped.Get(), 1u);
}

TEST_F(IdUDPServer, TheLastOfAFullBatchKnowsAVersion9DatagramWaitsBehindIt) {
    QueuedBehindHeld run;
    HeldFirstDatagram& held = run.Held;
    // More than one batch takes; the datagrams carry their number.
    constexpr int kQueued = 70;
    std::vector<std::string> queued;
    for (int i = 0; i < kQueued; ++i) queued.push_back(std::string("\x00\x09", 2) + std::to_string(i));
    ASSERT_TRUE(run.Queue(queued));
    ASSERT_TRUE(held.WaitForBatchWith(queued.back())) << ::testing::PrintToString(held.Events());
    run.Server.SetActive(false);

    // Every datagram but the very last has a version 9 one behind it, in its batch or waiting.
    std::vector<std::string> datagrams;
    for (const std::string& e : held.Events()) {
        if (e != "|" && e != "first") datagrams.push_back(e);
    }
    ASSERT_EQ(datagrams.size(), static_cast<std::size_t>(kQueued));
    for (int i = 0; i + 1 < kQueued; ++i) EXPECT_EQ(datagrams[static_cast<std::size_t>(i)].back(), '+') << i;
    EXPECT_NE(datagrams.back().back(), '+');
}

// A full batch tells that more may wait; the receive that then finds nothing ends it once more, so
// that whatever waits for the listener to catch up is not left waiting.
TEST_F(IdUDPServer, AFullBatchIsToldAndSoIsFindingNothingAfterIt) {
    QueuedBehindHeld run;
    HeldFirstDatagram& held = run.Held;
    constexpr int kQueued = 64;  // exactly one receive's worth
    std::vector<std::string> queued;
    for (int i = 0; i < kQueued; ++i) queued.push_back("d" + std::to_string(i));
    ASSERT_TRUE(run.Queue(queued));
    ASSERT_TRUE(held.WaitForEvents(1 + 1 + kQueued + 2)) << ::testing::PrintToString(held.Events());
    run.Server.SetActive(false);

    EXPECT_EQ(held.EndsFull(), (std::vector<bool>{false, true, false}));
    const std::vector<std::string> events = held.Events();
    EXPECT_EQ(events[events.size() - 2], "|");
    EXPECT_EQ(events.back(), "|");
    EXPECT_EQ(run.Counters.DatagramsReceived.Get(), static_cast<std::uint64_t>(kQueued + 1));
}

// What the kernel accepted before the switch-off goes to the handler, not to waste; what the drain
// time does not allow is counted, never silently lost.
TEST_F(IdUDPServer, SwitchingOffHandsOverWhatIsQueuedAndCountsWhatItCannot) {
    for (const int drainMs : {2000, 0}) {
        QueuedBehindHeld run(drainMs);
        constexpr int kQueued = 300;  // several receive batches
        std::vector<std::string> queued;
        for (int i = 0; i < kQueued; ++i) queued.push_back("q" + std::to_string(i));
        const std::int32_t port = run.Server.Bindings().Items(0).Port;
        run.Sender.SendTo(port, "first");
        ASSERT_TRUE(run.Held.WaitForEvents(1));
        for (const std::string& d : queued) run.Sender.SendTo(port, d);
        // Switched off while the handler still holds the first datagram: everything else waits.
        std::thread off([&] { run.Server.SetActive(false); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        run.Held.Release();
        off.join();

        std::size_t delivered = 0;
        for (const std::string& e : run.Held.Events()) delivered += e != "|" && e != "first" ? 1 : 0;
        const std::uint64_t drained = run.Server.DatagramsDrainedAtStop();
        const std::uint64_t left = run.Server.DatagramsLeftAtStop();
        EXPECT_EQ(delivered + left, static_cast<std::size_t>(kQueued)) << "drain " << drainMs;
        if (drainMs > 0) {
            EXPECT_EQ(left, 0u);
            EXPECT_GT(drained, 0u);
        } else {
            EXPECT_EQ(drained, 0u);
            EXPECT_GT(left, 0u);
        }
    }
}

TEST_F(IdUDPServer, DropsInTheKernelAreCountedAndTheGrantedBufferKept) {
    CollectorCounters counters;
    HeldFirstDatagram held;
    TIdUDPServer server(counters);
    server.ReceiveBufferBytes = 1;  // the system's smallest
    server.ThreadedEvent = true;
    AddLoopbackBinding(server);
    held.Attach(server);
    server.SetActive(true);
    EXPECT_GT(server.Bindings().Items(0).ReceiveBufferGranted(), 0);

    const LoopbackSender sender;
    const std::int32_t port = server.Bindings().Items(0).Port;
    sender.SendTo(port, "first");
    ASSERT_TRUE(held.WaitForEvents(1));
    // Far more than the smallest buffer holds while the handler is held.
    for (int i = 0; i < 64; ++i) sender.SendTo(port, Pattern(1000));
    held.Release();
    // Once the listener has emptied the socket there is room again for one more, and the kernel
    // stamps its drop count on the datagrams queued after a drop.
    const int socket = server.Bindings().Items(0).Handle();
    int queued = 1;
    for (const auto until = std::chrono::steady_clock::now() + kPatience;
         queued > 0 && std::chrono::steady_clock::now() < until; std::this_thread::yield()) {
        ASSERT_EQ(::ioctl(socket, FIONREAD, &queued), 0);
    }
    sender.SendTo(port, "after");
    ASSERT_TRUE(held.WaitForBatchWith("after"));
    server.SetActive(false);
    EXPECT_GT(counters.KernelDrops.Get(), 0u);
    EXPECT_EQ(counters.KernelDrops.Get() + counters.DatagramsReceived.Get(), 66u);
}
