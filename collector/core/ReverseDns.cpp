#include "ReverseDns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string_view>
#include <utility>

#include "DnsMessage.h"
#include "StatusWords.h"

namespace names {

namespace {

// When something waits on the clock the worker looks again at least this often, so that a clock
// the tests move by hand is noticed as well as the real one.
constexpr int kLongestNapMs = 50;
// Datagrams read in one round before the queue gets its turn again.
constexpr int kReceivesPerRound = 256;
constexpr std::size_t kNone = std::numeric_limits<std::uint32_t>::max();

std::uint64_t Mix(std::uint64_t Value) {
    Value ^= Value >> 33;
    Value *= 0xff51afd7ed558ccdULL;
    Value ^= Value >> 33;
    return Value;
}

bool AllDigits(std::string_view Text) {
    return !Text.empty() && std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

// The answers kept, least recently used first out. Its size is what the resolver costs when the
// views have shown many addresses, so an entry is one small slot in a vector, found through an
// open-addressing index of slot numbers, with the name in an allocation of its own length.
class AnswerCache {
  public:
    explicit AnswerCache(std::size_t MaxEntries) : Max_(std::max<std::size_t>(1, MaxEntries)) {}

    // The name when the entry is good at NowMs, which makes it the most recently used; an expired
    // entry is dropped.
    std::optional<std::string> Find(const FlowAddress& Address, std::int64_t NowMs) {
        const std::size_t position = Position(Address);
        if (position == kNone) return std::nullopt;
        const std::uint32_t slot = Index_[position] - 1;
        if (NowMs >= Entries_[slot].ExpiresMs) {
            Remove(position);
            return std::nullopt;
        }
        Unlink(slot);
        PushNewest(slot);
        return NameOf(Entries_[slot]);
    }
    // The same without changing anything.
    std::optional<std::string> Peek(const FlowAddress& Address, std::int64_t NowMs) const {
        const std::size_t position = Position(Address);
        if (position == kNone) return std::nullopt;
        const Entry& entry = Entries_[Index_[position] - 1];
        if (NowMs >= entry.ExpiresMs) return std::nullopt;
        return NameOf(entry);
    }

    void Put(const FlowAddress& Address, const std::string& Name, std::int64_t ExpiresMs) {
        std::size_t position = Position(Address);
        std::uint32_t slot = 0;
        if (position != kNone) {
            slot = Index_[position] - 1;
            Unlink(slot);
        } else {
            if (Count_ == Max_) Remove(Position(Entries_[Oldest_].Address));
            if (!Free_.empty()) {
                slot = Free_.back();
                Free_.pop_back();
            } else {
                slot = static_cast<std::uint32_t>(Entries_.size());
                Entries_.emplace_back();
            }
            Entries_[slot].Address = Address;
            ++Count_;
            IndexInsert(slot);
        }
        Entry& entry = Entries_[slot];
        entry.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(Name.size(), 0xffff));
        entry.Name.reset(entry.NameLength == 0 ? nullptr : new char[entry.NameLength]);
        if (entry.NameLength != 0) std::memcpy(entry.Name.get(), Name.data(), entry.NameLength);
        entry.ExpiresMs = ExpiresMs;
        PushNewest(slot);
    }

    std::size_t Size() const { return Count_; }

  private:
    struct Entry {
        FlowAddress Address;
        std::uint16_t NameLength = 0;
        std::uint32_t Newer = kNone;
        std::uint32_t Older = kNone;
        std::int64_t ExpiresMs = 0;
        std::unique_ptr<char[]> Name;
    };

    static std::string NameOf(const Entry& E) { return std::string(E.Name.get(), E.NameLength); }
    std::size_t Mask() const { return Index_.size() - 1; }
    std::size_t Home(const FlowAddress& Address) const {
        std::uint64_t low = 0, high = 0;
        std::memcpy(&low, Address.Bytes.data(), 8);
        std::memcpy(&high, Address.Bytes.data() + 8, 8);
        return Mix(low ^ Mix(high + Address.Kind)) & Mask();
    }

    // Where Address is in the index, or kNone.
    std::size_t Position(const FlowAddress& Address) const {
        if (Index_.empty()) return kNone;
        for (std::size_t i = Home(Address);; i = (i + 1) & Mask()) {
            if (Index_[i] == 0) return kNone;
            if (Entries_[Index_[i] - 1].Address == Address) return i;
        }
    }

    void IndexInsert(std::uint32_t Slot) {
        // Kept at most half full, so a probe is short and always ends at an empty place.
        if (Count_ * 2 > Index_.size()) {
            std::vector<std::uint32_t> old(std::max<std::size_t>(16, Index_.size() * 2), 0);
            Index_.swap(old);
            for (const std::uint32_t held : old) {
                if (held != 0 && held - 1 != Slot) Place(held - 1);
            }
        }
        Place(Slot);
    }
    void Place(std::uint32_t Slot) {
        std::size_t i = Home(Entries_[Slot].Address);
        while (Index_[i] != 0) i = (i + 1) & Mask();
        Index_[i] = Slot + 1;
    }

    // Takes the entry out; the index entries behind it move up, so no probe stops short.
    void Remove(std::size_t Position) {
        const std::uint32_t slot = Index_[Position] - 1;
        Unlink(slot);
        Entries_[slot].Name.reset();
        Entries_[slot].NameLength = 0;
        Free_.push_back(slot);
        --Count_;
        std::size_t hole = Position;
        for (std::size_t next = (hole + 1) & Mask(); Index_[next] != 0; next = (next + 1) & Mask()) {
            const std::size_t home = Home(Entries_[Index_[next] - 1].Address);
            const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
            if (stays) continue;
            Index_[hole] = Index_[next];
            hole = next;
        }
        Index_[hole] = 0;
    }

    void Unlink(std::uint32_t Slot) {
        Entry& entry = Entries_[Slot];
        if (entry.Newer != kNone) Entries_[entry.Newer].Older = entry.Older;
        if (entry.Older != kNone) Entries_[entry.Older].Newer = entry.Newer;
        if (Newest_ == Slot) Newest_ = entry.Older;
        if (Oldest_ == Slot) Oldest_ = entry.Newer;
        entry.Newer = entry.Older = kNone;
    }
    void PushNewest(std::uint32_t Slot) {
        Entries_[Slot].Older = Newest_;
        if (Newest_ != kNone) Entries_[Newest_].Newer = Slot;
        Newest_ = Slot;
        if (Oldest_ == kNone) Oldest_ = Slot;
    }

    const std::size_t Max_;
    std::size_t Count_ = 0;
    std::vector<Entry> Entries_;
    std::vector<std::uint32_t> Free_;
    std::vector<std::uint32_t> Index_;  // slot + 1; 0 is an empty place
    std::uint32_t Newest_ = kNone;
    std::uint32_t Oldest_ = kNone;
};

std::string DnsServerAddress::ToString() const {
    const std::string host = Address.ToString();
    return (Address.Kind == FlowAddress::IPv6 ? "[" + host + "]" : host) + ":" + std::to_string(Port);
}

std::optional<DnsServerAddress> ParseDnsServer(const std::string& Text, std::string* Error) {
    const auto fail = [&Error, &Text](const std::string& Why) -> std::optional<DnsServerAddress> {
        if (Error != nullptr) *Error = Why + ": \"" + Text + "\"";
        return std::nullopt;
    };
    std::string host = Text;
    std::string port;
    if (!Text.empty() && Text.front() == '[') {
        const std::size_t close = Text.find(']');
        if (close == std::string::npos) return fail("no closing bracket");
        host = Text.substr(1, close - 1);
        const std::string rest = Text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return fail("expected :PORT after the bracket");
            port = rest.substr(1);
            if (port.empty()) return fail("no port after the colon");
        }
    } else if (std::count(Text.begin(), Text.end(), ':') == 1) {
        const std::size_t colon = Text.find(':');
        host = Text.substr(0, colon);
        port = Text.substr(colon + 1);
        if (port.empty()) return fail("no port after the colon");
    }
    DnsServerAddress server;
    server.Address = FlowAddress::Parse(host);
    if (server.Address.Kind == FlowAddress::None) return fail("not an IPv4 or IPv6 address");
    if (!port.empty()) {
        if (!AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
            return fail("the port must be a number from 1 to 65535");
        server.Port = static_cast<std::uint16_t>(std::stoi(port));
    }
    return server;
}

DnsServerAddress SystemDnsServer(const std::string& ResolvConf) {
    std::ifstream in(ResolvConf);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword, value;
        if (!(words >> keyword >> value) || keyword != "nameserver") continue;
        // A scoped link-local server ("fe80::1%eth0") cannot be told apart by address alone; the
        // next one is taken instead.
        if (const auto server = ParseDnsServer(value)) return *server;
    }
    return ParseDnsServer("127.0.0.1").value();
}

struct ReverseDns::InFlight {
    FlowAddress Address;
    std::uint16_t Id = 0;
    // The attempt before, whose answer may still come and is as good.
    std::uint16_t PreviousId = 0;
    int Attempt = 0;
    std::int64_t DeadlineMs = 0;
};

std::size_t ReverseDns::AddressHash::operator()(const FlowAddress& Address) const {
    std::uint64_t low = 0, high = 0;
    std::memcpy(&low, Address.Bytes.data(), 8);
    std::memcpy(&high, Address.Bytes.data() + 8, 8);
    return static_cast<std::size_t>(Mix(low ^ Mix(high + Address.Kind)));
}

ReverseDns::ReverseDns(ReverseDnsOptions Options, Clock Now)
    : Options_(Options),
      Now_(Now ? std::move(Now) : Clock(statuswords::SystemNowMs)),
      Cache_(std::make_unique<AnswerCache>(Options_.MaxEntries)) {
    WakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const bool v6 = Options_.Server.Address.Kind == FlowAddress::IPv6;
    Socket_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Socket_ >= 0) {
        // Connected, so the kernel passes on only the server's datagrams.
        sockaddr_storage server{};
        socklen_t length = 0;
        if (v6) {
            auto* to = reinterpret_cast<sockaddr_in6*>(&server);
            to->sin6_family = AF_INET6;
            to->sin6_port = htons(Options_.Server.Port);
            std::memcpy(&to->sin6_addr, Options_.Server.Address.Bytes.data(), 16);
            length = sizeof *to;
        } else {
            auto* to = reinterpret_cast<sockaddr_in*>(&server);
            to->sin_family = AF_INET;
            to->sin_port = htons(Options_.Server.Port);
            std::memcpy(&to->sin_addr, Options_.Server.Address.Bytes.data(), 4);
            length = sizeof *to;
        }
        // Without a usable socket every lookup runs into its time-out and is counted as failed.
        if (::connect(Socket_, reinterpret_cast<const sockaddr*>(&server), length) != 0) {
            ::close(Socket_);
            Socket_ = -1;
        }
    }
    Thread_ = std::thread([this] { Run(); });
}

ReverseDns::~ReverseDns() {
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Stop_ = true;
    }
    Wake();
    Settled_.notify_all();
    Thread_.join();
    if (Socket_ >= 0) ::close(Socket_);
    if (WakeFd_ >= 0) ::close(WakeFd_);
}

std::optional<std::string> ReverseDns::Lookup(const FlowAddress& Address) {
    if (Address.Kind == FlowAddress::None) return std::nullopt;
    bool queued = false;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (auto known = Cache_->Find(Address, Now_())) return known;
        queued = QueueLocked(Address, true);
    }
    if (queued) Wake();
    return std::nullopt;
}

std::optional<std::string> ReverseDns::Cached(const FlowAddress& Address) const {
    std::lock_guard<std::mutex> lock(Mutex_);
    return Cache_->Peek(Address, Now_());
}

void ReverseDns::Resolve(const std::vector<FlowAddress>& Addresses, int TimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, TimeoutMs));
    std::unique_lock<std::mutex> lock(Mutex_);
    const std::int64_t nowMs = Now_();
    for (const FlowAddress& address : Addresses) {
        if (address.Kind != FlowAddress::None && !Cache_->Find(address, nowMs)) QueueLocked(address, false);
    }
    lock.unlock();
    Wake();
    lock.lock();
    // An address is done once it is no longer asked: answered, failed, or even answered and gone
    // again from a cache smaller than the list.
    std::size_t done = 0;
    Settled_.wait_until(lock, deadline, [&] {
        while (done < Addresses.size() && !Asked_.contains(Addresses[done])) ++done;
        return done == Addresses.size() || Stop_;
    });
}

ReverseDnsStatus ReverseDns::Status() const {
    std::lock_guard<std::mutex> lock(Mutex_);
    ReverseDnsStatus status = Counts_;
    status.Entries = Cache_->Size();
    status.Pending = Queue_.size();
    return status;
}

bool ReverseDns::QueueLocked(const FlowAddress& Address, bool Bounded) {
    if (Asked_.contains(Address)) return false;
    if (Bounded && Queue_.size() >= Options_.MaxPending) {
        ++Counts_.Dropped;
        return false;
    }
    Queue_.push_back({Address, 0, 0});
    Asked_.insert(Address);
    return true;
}

void ReverseDns::Wake() {
    const std::uint64_t one = 1;
    // A full counter already wakes the worker; nothing to do when the write fails.
    [[maybe_unused]] const ssize_t written = ::write(WakeFd_, &one, sizeof one);
}

void ReverseDns::Run() {
    std::vector<InFlight> flights;
    flights.reserve(Options_.MaxInFlight);
    Tokens_ = Options_.Burst;
    TokensAtMs_ = Now_();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (Stop_) return;
        }
        const std::int64_t nowMs = Now_();
        Receive(flights, nowMs);
        ExpireFlights(flights, nowMs);
        SendDue(flights, nowMs);
        pollfd waits[2] = {{Socket_, POLLIN, 0}, {WakeFd_, POLLIN, 0}};
        int waitMs = WaitMs(flights, nowMs);
        // Without the wake-up descriptor (no eventfd) the worker looks for asks and the stop itself.
        if (WakeFd_ < 0 && (waitMs < 0 || waitMs > kLongestNapMs)) waitMs = kLongestNapMs;
        if (::poll(waits, 2, waitMs) > 0 && (waits[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t read = ::read(WakeFd_, &count, sizeof count);
        }
    }
}

void ReverseDns::SendDue(std::vector<InFlight>& Flights, std::int64_t NowMs) {
    const bool limited = Options_.QueriesPerSecond > 0;
    if (limited) {
        if (NowMs > TokensAtMs_) {
            Tokens_ = std::min(Options_.Burst,
                               Tokens_ + static_cast<double>(NowMs - TokensAtMs_) * Options_.QueriesPerSecond / 1000);
        }
        TokensAtMs_ = NowMs;
    }
    // One generator for the worker's whole life; ids need not be secret, only hard to guess.
    static thread_local std::mt19937 random{std::random_device{}()};
    while (Flights.size() < Options_.MaxInFlight && (!limited || Tokens_ >= 1)) {
        Ask ask;
        std::int64_t sentMs = 0;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (Queue_.empty()) return;
            ask = Queue_.front();
            Queue_.pop_front();
            ++Counts_.Queries;
            // Read with the ask taken, not at the top of the round: an ask made after a jump of the
            // clock must not get a deadline from before it.
            sentMs = Now_();
        }
        InFlight flight{ask.Address, 0, ask.PreviousId, ask.Attempt, sentMs + Options_.TimeoutMs};
        const auto taken = [&Flights](std::uint16_t Id) {
            return std::any_of(Flights.begin(), Flights.end(),
                               [Id](const InFlight& f) { return f.Id == Id || (f.Attempt > 0 && f.PreviousId == Id); });
        };
        do {
            flight.Id = static_cast<std::uint16_t>(random());
        } while (taken(flight.Id) || (flight.Attempt > 0 && flight.Id == flight.PreviousId));
        const std::string query = BuildPtrQuery(flight.Id, ReverseName(flight.Address));
        // A datagram the kernel does not take is an attempt like any other: its time-out ends it.
        if (Socket_ >= 0) ::send(Socket_, query.data(), query.size(), MSG_NOSIGNAL);
        Flights.push_back(flight);
        if (limited) Tokens_ -= 1;
    }
}

void ReverseDns::Receive(std::vector<InFlight>& Flights, std::int64_t NowMs) {
    if (Socket_ < 0) return;
    // The largest UDP payload; a server that sends more than a DNS datagram may is still read whole.
    static thread_local std::vector<char> buffer(65536);
    for (int i = 0; i < kReceivesPerRound; ++i) {
        const ssize_t got = ::recv(Socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;  // an ICMP error from the server's host: the time-outs deal with what it stopped
        }
        const std::string_view message(buffer.data(), static_cast<std::size_t>(got));
        const std::uint16_t id = message.size() >= 2
                                     ? static_cast<std::uint16_t>((static_cast<unsigned char>(message[0]) << 8) |
                                                                  static_cast<unsigned char>(message[1]))
                                     : 0;
        const auto flight = std::find_if(Flights.begin(), Flights.end(), [&](const InFlight& f) {
            return message.size() >= 2 && (f.Id == id || (f.Attempt > 0 && f.PreviousId == id));
        });
        if (flight == Flights.end()) {
            std::lock_guard<std::mutex> lock(Mutex_);
            ++Counts_.Malformed;
            continue;
        }
        const DnsAnswer answer = ParsePtrAnswer(message, id, ReverseName(flight->Address));
        const FlowAddress address = flight->Address;
        std::int64_t lifetimeS = Options_.FailureRetryS;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            switch (answer.Kind) {
                case DnsAnswerKind::WrongAnswer:
                    // Not the answer to this question: the real one may still come.
                    ++Counts_.Malformed;
                    continue;
                case DnsAnswerKind::Name:
                    ++Counts_.Names;
                    lifetimeS = answer.TtlS;
                    break;
                case DnsAnswerKind::NoName:
                    ++Counts_.NoNames;
                    lifetimeS = answer.TtlS < 0 ? Options_.NegativeTtlS : std::min(answer.TtlS, Options_.NegativeTtlS);
                    break;
                case DnsAnswerKind::Malformed:
                    ++Counts_.Malformed;
                    ++Counts_.Failures;
                    break;
                case DnsAnswerKind::ServerFailure:
                case DnsAnswerKind::Truncated:
                    ++Counts_.Failures;
                    break;
            }
        }
        if (answer.Kind == DnsAnswerKind::Name || answer.Kind == DnsAnswerKind::NoName) {
            lifetimeS = std::clamp(lifetimeS, std::min(Options_.MinTtlS, Options_.MaxTtlS), Options_.MaxTtlS);
        }
        Flights.erase(flight);
        Settle(address, answer.Kind == DnsAnswerKind::Name ? answer.Name : std::string(), lifetimeS, NowMs);
    }
}

void ReverseDns::ExpireFlights(std::vector<InFlight>& Flights, std::int64_t NowMs) {
    for (auto flight = Flights.begin(); flight != Flights.end();) {
        // The wall clock went back: without this a silent server could hold every slot for as long.
        if (flight->DeadlineMs - NowMs > Options_.TimeoutMs) flight->DeadlineMs = NowMs + Options_.TimeoutMs;
        if (NowMs < flight->DeadlineMs) {
            ++flight;
            continue;
        }
        if (flight->Attempt + 1 < Options_.Attempts) {
            // A retry goes before every ask that has not had its first turn.
            std::lock_guard<std::mutex> lock(Mutex_);
            Queue_.push_front({flight->Address, flight->Attempt + 1, flight->Id});
        } else {
            {
                std::lock_guard<std::mutex> lock(Mutex_);
                ++Counts_.Failures;
            }
            Settle(flight->Address, {}, Options_.FailureRetryS, NowMs);
        }
        flight = Flights.erase(flight);
    }
}

void ReverseDns::Settle(const FlowAddress& Address, const std::string& Name, std::int64_t LifetimeS,
                        std::int64_t NowMs) {
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Cache_->Put(Address, Name, NowMs + LifetimeS * 1000);
        Asked_.erase(Address);
    }
    Settled_.notify_all();
}

int ReverseDns::WaitMs(const std::vector<InFlight>& Flights, std::int64_t NowMs) const {
    std::int64_t wait = -1;
    for (const InFlight& flight : Flights) {
        const std::int64_t left = std::max<std::int64_t>(0, flight.DeadlineMs - NowMs);
        wait = wait < 0 ? left : std::min(wait, left);
    }
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        waiting = !Queue_.empty() && Flights.size() < Options_.MaxInFlight;
    }
    if (waiting && Options_.QueriesPerSecond > 0) {
        // Only a token can be missing: SendDue sends while there are some.
        const double missing = std::max(0.0, 1 - Tokens_);
        const auto untilToken = static_cast<std::int64_t>(std::ceil(missing * 1000 / Options_.QueriesPerSecond));
        wait = wait < 0 ? untilToken : std::min(wait, untilToken);
    }
    return wait < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(wait, kLongestNapMs));
}

}  // namespace names
