// Reverse lookups: the PTR question and what an answer may contain (hand-made answers, hostile ones
// included); the resolver's cache, lifetimes, rate and queue bounds against a clock moved by hand and
// a server in a test thread; and, against a real DNS server that the test command starts
// (NFC_DNS_SERVER), names, missing names and what reaches the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DnsMessage.h"
#include "ReverseDns.h"

using namespace names;

namespace {

constexpr std::string_view kAsked = "7.113.0.203.in-addr.arpa";
const std::string kToQuestion("\xc0\x0c", 2);  // a pointer to the question's name

std::string U16(unsigned Value) { return {static_cast<char>(Value >> 8), static_cast<char>(Value & 0xff)}; }
std::string U32(std::uint32_t Value) { return U16(Value >> 16) + U16(Value & 0xffff); }

std::string Wire(std::string_view Dotted) {
    std::string out;
    while (!Dotted.empty()) {
        const std::size_t dot = Dotted.find('.');
        const std::string_view label = Dotted.substr(0, dot);
        out += static_cast<char>(label.size());
        out += label;
        Dotted = dot == std::string_view::npos ? std::string_view{} : Dotted.substr(dot + 1);
    }
    return out + '\0';
}

std::string Header(unsigned Id, unsigned Flags, unsigned Questions, unsigned Answers, unsigned Authorities = 0) {
    return U16(Id) + U16(Flags) + U16(Questions) + U16(Answers) + U16(Authorities) + U16(0);
}
std::string Question(std::string_view Name, unsigned Type = 12) { return Wire(Name) + U16(Type) + U16(1); }
std::string Record(const std::string& Owner, unsigned Type, std::uint32_t Ttl, const std::string& Data) {
    return Owner + U16(Type) + U16(1) + U32(Ttl) + U16(static_cast<unsigned>(Data.size())) + Data;
}
std::string Soa(std::uint32_t Ttl, std::uint32_t Minimum) {
    return Record(
        Wire("in-addr.arpa"), 6, Ttl,
        Wire("ns.example") + Wire("hostmaster.example") + U32(1) + U32(3600) + U32(600) + U32(86400) + U32(Minimum));
}
std::string PtrAnswer(unsigned Id, std::string_view Target, std::uint32_t Ttl = 3600) {
    return Header(Id, 0x8180, 1, 1) + Question(kAsked) + Record(kToQuestion, 12, Ttl, Wire(Target));
}

DnsAnswer Parse(const std::string& Message, unsigned Id = 0x1234) {
    return ParsePtrAnswer(Message, static_cast<std::uint16_t>(Id), kAsked);
}

// --- the messages ---

TEST(DnsMessage, ReverseNamesOfBothFamilies) {
    EXPECT_EQ(ReverseName(FlowAddress::Parse("203.0.113.7")), "7.113.0.203.in-addr.arpa");
    EXPECT_EQ(ReverseName(FlowAddress::Parse("2001:db8::10")),
              "0.1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
    EXPECT_EQ(ReverseName(FlowAddress{}), "");
}

TEST(DnsMessage, QueryIsOneRecursivePtrQuestion) {
    EXPECT_EQ(BuildPtrQuery(0xbeef, kAsked),
              U16(0xbeef) + U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) + Question(kAsked));
    EXPECT_EQ(BuildPtrQuery(1, std::string(64, 'a') + ".arpa"), "");
    EXPECT_EQ(BuildPtrQuery(1, "a..arpa"), "");
    EXPECT_EQ(BuildPtrQuery(1, "arpa."), "");
    std::string long253;  // 127 two-octet labels: 254 octets on the wire with the root
    for (int i = 0; i < 127; ++i) long253 += i == 0 ? "a" : ".a";
    EXPECT_NE(BuildPtrQuery(1, long253), "");
    EXPECT_EQ(BuildPtrQuery(1, long253 + ".a"), "");
}

TEST(DnsMessage, NameWithTtlAndCaseOfTheQuestionIgnored) {
    DnsAnswer answer = Parse(PtrAnswer(0x1234, "Mail.Example.org", 3600));
    EXPECT_EQ(answer.Kind, DnsAnswerKind::Name);
    EXPECT_EQ(answer.Name, "Mail.Example.org");
    EXPECT_EQ(answer.TtlS, 3600);

    const std::string mixedCase = Header(0x1234, 0x8180, 1, 1) + Question("7.113.0.203.IN-ADDR.Arpa") +
                                  Record(kToQuestion, 12, 60, Wire("mail.example.org"));
    EXPECT_EQ(Parse(mixedCase).Name, "mail.example.org");
    // A TTL with the top bit set counts as none at all.
    EXPECT_EQ(Parse(PtrAnswer(0x1234, "a.example", 0x80000001)).TtlS, 0);
}

TEST(DnsMessage, AnswersToOtherQuestionsAreNotTaken) {
    EXPECT_EQ(Parse(PtrAnswer(0x1235, "a.example")).Kind, DnsAnswerKind::WrongAnswer);
    std::string query = PtrAnswer(0x1234, "a.example");
    query[2] = 0x01;  // QR clear: a question, not an answer
    EXPECT_EQ(Parse(query).Kind, DnsAnswerKind::WrongAnswer);
    const std::string other = Header(0x1234, 0x8180, 1, 1) + Question("8.113.0.203.in-addr.arpa") +
                              Record(kToQuestion, 12, 60, Wire("b.example"));
    EXPECT_EQ(Parse(other).Kind, DnsAnswerKind::WrongAnswer);
    const std::string otherType = Header(0x1234, 0x8180, 1, 0) + Question(kAsked, 1);
    EXPECT_EQ(Parse(otherType).Kind, DnsAnswerKind::WrongAnswer);
    const std::string twoQuestions = Header(0x1234, 0x8180, 2, 0) + Question(kAsked) + Question(kAsked);
    EXPECT_EQ(Parse(twoQuestions).Kind, DnsAnswerKind::WrongAnswer);
    EXPECT_EQ(Parse("").Kind, DnsAnswerKind::WrongAnswer);
}

TEST(DnsMessage, ErrorsAndTruncation) {
    EXPECT_EQ(Parse(Header(0x1234, 0x8182, 1, 0) + Question(kAsked)).Kind, DnsAnswerKind::ServerFailure);
    EXPECT_EQ(Parse(Header(0x1234, 0x8185, 0, 0)).Kind, DnsAnswerKind::ServerFailure);  // REFUSED, no question
    EXPECT_EQ(Parse(Header(0x1234, 0x8380, 1, 0) + Question(kAsked)).Kind, DnsAnswerKind::Truncated);
}

TEST(DnsMessage, NegativeAnswersTakeTheSmallerOfSoaTtlAndMinimum) {
    const std::string base = Header(0x1234, 0x8183, 1, 0, 1) + Question(kAsked);
    DnsAnswer answer = Parse(base + Soa(300, 3600));
    EXPECT_EQ(answer.Kind, DnsAnswerKind::NoName);
    EXPECT_EQ(answer.TtlS, 300);
    EXPECT_EQ(Parse(base + Soa(3600, 120)).TtlS, 120);
    answer = Parse(Header(0x1234, 0x8183, 1, 0) + Question(kAsked));
    EXPECT_EQ(answer.Kind, DnsAnswerKind::NoName);
    EXPECT_EQ(answer.TtlS, -1);
    // NOERROR without a PTR (an A record only): no name either.
    answer =
        Parse(Header(0x1234, 0x8180, 1, 1, 1) + Question(kAsked) + Record(kToQuestion, 1, 60, U32(1)) + Soa(50, 70));
    EXPECT_EQ(answer.Kind, DnsAnswerKind::NoName);
    EXPECT_EQ(answer.TtlS, 50);
}

TEST(DnsMessage, ClasslessDelegationFollowsTheCnameChain) {
    // 7.113.0.203.in-addr.arpa CNAME 7.0/25.113.0.203.in-addr.arpa, whose PTR is the name.
    const std::string delegated = Wire("7.0/25.113.0.203.in-addr.arpa");
    const std::string chain = Header(0x1234, 0x8180, 1, 2) + Question(kAsked) + Record(kToQuestion, 5, 900, delegated) +
                              Record(delegated, 12, 3600, Wire("host.example.net"));
    DnsAnswer answer = Parse(chain);
    EXPECT_EQ(answer.Kind, DnsAnswerKind::Name);
    EXPECT_EQ(answer.Name, "host.example.net");
    EXPECT_EQ(answer.TtlS, 900);

    // Two CNAMEs naming each other end without a name, and end.
    const std::string other = Wire("x.example");
    const std::string loop = Header(0x1234, 0x8180, 1, 2) + Question(kAsked) + Record(kToQuestion, 5, 60, other) +
                             Record(other, 5, 60, Wire(kAsked));
    EXPECT_EQ(Parse(loop).Kind, DnsAnswerKind::NoName);
    // A PTR for some other owner is no answer for ours.
    const std::string stray = Header(0x1234, 0x8180, 1, 1) + Question(kAsked) + Record(other, 12, 60, Wire("a.b"));
    EXPECT_EQ(Parse(stray).Kind, DnsAnswerKind::NoName);
}

TEST(DnsMessage, CompressionLoopsAndBadPointersAreMalformed) {
    const std::string head = Header(0x1234, 0x8180, 1, 1) + Question(kAsked);
    const std::size_t at = head.size();
    const auto pointer = [](std::size_t To) {
        return std::string{static_cast<char>(0xc0 | (To >> 8)), static_cast<char>(To & 0xff)};
    };
    // The record's owner points at itself.
    EXPECT_EQ(Parse(head + Record(pointer(at), 12, 60, Wire("a.b"))).Kind, DnsAnswerKind::Malformed);
    // The PTR's name is a label followed by a pointer back to that label.
    const std::size_t target = at + 2 + 10;
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, "\x01x" + pointer(target))).Kind, DnsAnswerKind::Malformed);
    // A pointer forward, past the end, and one cut in half.
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, pointer(at + 40))).Kind, DnsAnswerKind::Malformed);
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, pointer(4000))).Kind, DnsAnswerKind::Malformed);
    EXPECT_EQ(Parse(head + kToQuestion + U16(12)).Kind, DnsAnswerKind::Malformed);
    // A question that loops cannot be told from another one.
    EXPECT_EQ(Parse(Header(0x1234, 0x8180, 1, 0) + pointer(12) + U16(12) + U16(1)).Kind, DnsAnswerKind::WrongAnswer);
    // The extended label types (0x40, 0x80) are not names either.
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, "\x41" + std::string(65, 'a') + '\0')).Kind,
              DnsAnswerKind::Malformed);
    // The name's length must be the record's.
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, Wire("a.b") + "xx")).Kind, DnsAnswerKind::Malformed);
}

TEST(DnsMessage, NamesUpTo255OctetsAndTheirShownForm) {
    // 255 octets on the wire: 63+63+63+61 with their lengths and the root.
    const std::string longest =
        std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd');
    ASSERT_EQ(Wire(longest).size(), 255u);
    EXPECT_EQ(Parse(PtrAnswer(0x1234, longest)).Name, longest);
    EXPECT_EQ(Parse(PtrAnswer(0x1234, longest + "d")).Kind, DnsAnswerKind::Malformed);
    // Through compression too: the suffix is the question's name.
    const std::string viaPointer = std::string(1, 63) + std::string(63, 'x');
    std::string name;
    for (int i = 0; i < 4; ++i) name += viaPointer;
    const std::string head = Header(0x1234, 0x8180, 1, 1) + Question(kAsked);
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, name + kToQuestion)).Kind, DnsAnswerKind::Malformed);

    const std::string odd = std::string("\x07", 1) + std::string("a\0 .\\\xff", 6) + "b" + Wire("example");
    const std::string answer = head + Record(kToQuestion, 12, 60, odd);
    EXPECT_EQ(Parse(answer).Name, "a\\000\\032\\.\\\\\\255b.example");
    // A PTR to the root names nothing.
    EXPECT_EQ(Parse(head + Record(kToQuestion, 12, 60, std::string(1, '\0'))).Kind, DnsAnswerKind::NoName);
}

TEST(DnsMessage, EveryCutOfAnAnswerIsRefusedSafely) {
    const std::string whole = Header(0x1234, 0x8180, 1, 1, 1) + Question(kAsked) +
                              Record(kToQuestion, 12, 60, Wire("mail.example.org")) + Soa(60, 60);
    ASSERT_EQ(Parse(whole).Kind, DnsAnswerKind::Name);
    for (std::size_t length = 0; length < whole.size(); ++length) {
        EXPECT_NE(Parse(whole.substr(0, length)).Kind, DnsAnswerKind::Name) << length;
    }
}

// --- server addresses ---

TEST(DnsServerAddress, ParsesBothFamiliesWithAndWithoutPort) {
    auto server = ParseDnsServer("192.0.2.53");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->ToString(), "192.0.2.53:53");
    EXPECT_EQ(ParseDnsServer("192.0.2.53:5353")->Port, 5353);
    EXPECT_EQ(ParseDnsServer("::1")->ToString(), "[::1]:53");
    EXPECT_EQ(ParseDnsServer("[2001:db8::1]:5353")->ToString(), "[2001:db8::1]:5353");
    for (const char* bad : {"", "dns.example", "192.0.2.53:", "192.0.2.53:0", "192.0.2.53:65536", "[::1", "[::1]x",
                            "192.0.2.53:53x", "300.1.1.1"}) {
        std::string error;
        EXPECT_FALSE(ParseDnsServer(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(DnsServerAddress, FirstUsableNameserverOfResolvConf) {
    const std::string path = ::testing::TempDir() + "nfc-resolv.conf";
    std::ofstream(path) << "# comment\nsearch example.org\nnameserver fe80::1%eth0\nnameserver 192.0.2.9\n"
                           "nameserver 192.0.2.10\n";
    EXPECT_EQ(SystemDnsServer(path).ToString(), "192.0.2.9:53");
    std::ofstream(path) << "search example.org\n";
    EXPECT_EQ(SystemDnsServer(path).ToString(), "127.0.0.1:53");
    std::remove(path.c_str());
    EXPECT_EQ(SystemDnsServer(path).ToString(), "127.0.0.1:53");
}

// --- the resolver against a server of the test's own ---

// A UDP server on a free loopback port whose answers a test writes: Respond gets each query and
// returns the datagrams to send back (none for a silent server).
class FakeServer {
  public:
    using Responder = std::function<std::vector<std::string>(const std::string& Query)>;
    explicit FakeServer(Responder Respond) : Respond_(std::move(Respond)) {
        Socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(Socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::getsockname(Socket_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        Port_ = ntohs(address.sin_port);
        Thread_ = std::thread([this] { Serve(); });
    }
    ~FakeServer() {
        Stop_ = true;
        Thread_.join();
        ::close(Socket_);
    }
    DnsServerAddress Address() const { return {FlowAddress::Parse("127.0.0.1"), Port_}; }
    int Queries() const { return Queries_; }

  private:
    void Serve() {
        std::vector<char> buffer(65536);
        while (!Stop_) {
            pollfd wait{Socket_, POLLIN, 0};
            if (::poll(&wait, 1, 10) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got =
                ::recvfrom(Socket_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 0) continue;
            ++Queries_;
            for (const std::string& reply : Respond_(std::string(buffer.data(), static_cast<std::size_t>(got))))
                ::sendto(Socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    Responder Respond_;
    int Socket_ = -1;
    std::uint16_t Port_ = 0;
    std::atomic<bool> Stop_{false};
    std::atomic<int> Queries_{0};
    std::thread Thread_;
};

// The answer to a query: the name is the address's last octet under example.org ("host-7.example.org").
std::string AnswerWithName(const std::string& Query, std::uint32_t Ttl = 3600, unsigned Flags = 0x8180) {
    const std::string label = Query.substr(13, static_cast<unsigned char>(Query[12]));
    return Query.substr(0, 2) + U16(Flags) + U16(1) + U16(1) + U16(0) + U16(0) + Query.substr(12) +
           Record(kToQuestion, 12, Ttl, Wire("host-" + label + ".example.org"));
}
std::string NoNameAnswer(const std::string& Query) {
    return Query.substr(0, 2) + U16(0x8183) + U16(1) + U16(0) + U16(0) + U16(0) + Query.substr(12);
}

FlowAddress Address(const std::string& Text) { return FlowAddress::Parse(Text); }

bool WaitFor(const std::function<bool()>& Done, int TimeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct HandClock {
    std::atomic<std::int64_t> Ms{1'000'000};
    ReverseDns::Clock Clock() {
        return [this] { return Ms.load(); };
    }
};

ReverseDnsOptions OptionsFor(const FakeServer& Server) {
    ReverseDnsOptions options;
    options.Server = Server.Address();
    options.TimeoutMs = 1000;
    return options;
}

TEST(ReverseDns, AsksOnceAndThenAnswersFromTheCache) {
    FakeServer server([](const std::string& q) { return std::vector<std::string>{AnswerWithName(q)}; });
    ReverseDns resolver(OptionsFor(server));
    const FlowAddress address = Address("203.0.113.7");
    EXPECT_EQ(resolver.Lookup(address), std::nullopt);
    EXPECT_EQ(resolver.Lookup(address), std::nullopt);  // already asked: not asked again
    ASSERT_TRUE(WaitFor([&] { return resolver.Cached(address).has_value(); }));
    EXPECT_EQ(resolver.Lookup(address), "host-7.example.org");
    EXPECT_EQ(resolver.Lookup(FlowAddress{}), std::nullopt);
    const ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(server.Queries(), 1);
    EXPECT_EQ(status.Queries, 1u);
    EXPECT_EQ(status.Names, 1u);
    EXPECT_EQ(status.Entries, 1u);
    EXPECT_EQ(status.Pending, 0u);
}

TEST(ReverseDns, LifetimesFollowTheAnswerWithinBounds) {
    std::atomic<std::uint32_t> ttl{100};
    std::atomic<bool> named{true};
    FakeServer server([&](const std::string& q) {
        return std::vector<std::string>{named ? AnswerWithName(q, ttl) : NoNameAnswer(q)};
    });
    HandClock clock;
    ReverseDnsOptions options = OptionsFor(server);
    options.MinTtlS = 30;
    options.MaxTtlS = 1000;
    options.NegativeTtlS = 200;
    ReverseDns resolver(options, clock.Clock());
    const auto lifetime = [&](const FlowAddress& A) {
        resolver.Resolve({A}, 5000);
        EXPECT_TRUE(resolver.Cached(A).has_value());
        const std::int64_t from = clock.Ms;
        std::int64_t s = 0;
        while (resolver.Cached(A).has_value() && s < 100000) clock.Ms = from + ++s * 1000;
        return s;
    };
    EXPECT_EQ(lifetime(Address("192.0.2.1")), 100);
    ttl = 5;
    EXPECT_EQ(lifetime(Address("192.0.2.2")), 30);
    ttl = 50000;
    EXPECT_EQ(lifetime(Address("192.0.2.3")), 1000);
    named = false;  // no SOA: the negative lifetime
    EXPECT_EQ(lifetime(Address("192.0.2.4")), 200);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.4")), std::nullopt);

    // An expired name is asked again on the next lookup.
    named = true;
    ttl = 100;
    const int before = server.Queries();
    EXPECT_EQ(resolver.Lookup(Address("192.0.2.1")), std::nullopt);
    ASSERT_TRUE(WaitFor([&] { return resolver.Cached(Address("192.0.2.1")).has_value(); }));
    EXPECT_EQ(server.Queries(), before + 1);
    EXPECT_EQ(resolver.Status().NoNames, 1u);
}

TEST(ReverseDns, NegativeAnswersAreKeptAsEmptyNames) {
    FakeServer server([](const std::string& q) { return std::vector<std::string>{NoNameAnswer(q)}; });
    ReverseDns resolver(OptionsFor(server));
    resolver.Resolve({Address("192.0.2.99"), Address("2001:db8::99")}, 5000);
    EXPECT_EQ(resolver.Lookup(Address("192.0.2.99")), "");
    EXPECT_EQ(resolver.Lookup(Address("2001:db8::99")), "");
    EXPECT_EQ(server.Queries(), 2);
    EXPECT_EQ(resolver.Status().NoNames, 2u);
}

TEST(ReverseDns, CacheKeepsTheMostRecentlyUsed) {
    FakeServer server([](const std::string& q) { return std::vector<std::string>{AnswerWithName(q)}; });
    ReverseDnsOptions options = OptionsFor(server);
    options.MaxEntries = 3;
    ReverseDns resolver(options);
    resolver.Resolve({Address("192.0.2.1"), Address("192.0.2.2"), Address("192.0.2.3")}, 5000);
    EXPECT_EQ(resolver.Lookup(Address("192.0.2.1")), "host-1.example.org");  // now the most recent
    resolver.Resolve({Address("192.0.2.4"), Address("192.0.2.5")}, 5000);
    EXPECT_EQ(resolver.Status().Entries, 3u);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.1")), "host-1.example.org");
    EXPECT_EQ(resolver.Cached(Address("192.0.2.2")), std::nullopt);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.3")), std::nullopt);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.5")), "host-5.example.org");

    // Many more than it holds, in and out again: every survivor is still found.
    std::vector<FlowAddress> many;
    for (int i = 0; i < 300; ++i) many.push_back(FlowAddress::FromIPv4(0x0a000000u + static_cast<unsigned>(i)));
    ReverseDnsOptions wide = OptionsFor(server);
    wide.MaxEntries = 100;
    wide.QueriesPerSecond = 0;  // no limit
    ReverseDns big(wide);
    big.Resolve(many, 10000);
    EXPECT_EQ(big.Status().Entries, 100u);
    for (int i = 0; i < 300; ++i) {
        const auto found = big.Cached(many[static_cast<std::size_t>(i)]);
        EXPECT_EQ(found.has_value(), i >= 200) << i;
        if (found) {
            EXPECT_EQ(*found, "host-" + std::to_string(i % 256) + ".example.org");
        }
    }
}

TEST(ReverseDns, RateAndQueueAreBounded) {
    FakeServer server([](const std::string& q) { return std::vector<std::string>{AnswerWithName(q)}; });
    HandClock clock;
    ReverseDnsOptions options = OptionsFor(server);
    options.QueriesPerSecond = 1;
    options.Burst = 3;
    options.MaxPending = 5;
    ReverseDns resolver(options, clock.Clock());
    for (int i = 1; i <= 10; ++i) resolver.Lookup(FlowAddress::FromIPv4(0xc0000200u + static_cast<unsigned>(i)));
    ASSERT_TRUE(WaitFor([&] { return resolver.Status().Names == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(status.Queries, 3u);
    // The first three were taken from the queue at once, so only 2 of the other 7 were dropped.
    EXPECT_EQ(status.Pending + status.Dropped, 7u);
    clock.Ms += 2000;
    ASSERT_TRUE(WaitFor([&] { return resolver.Status().Names == 5; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(resolver.Status().Queries, 5u);
    EXPECT_EQ(server.Queries(), 5);
}

TEST(ReverseDns, SilentServerTimesOutWithoutHoldingAnyoneUp) {
    FakeServer server([](const std::string&) { return std::vector<std::string>{}; });
    ReverseDnsOptions options = OptionsFor(server);
    options.TimeoutMs = 100;
    options.Attempts = 2;
    ReverseDns resolver(options);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(resolver.Lookup(Address("192.0.2.1")), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    resolver.Resolve({Address("192.0.2.1")}, 5000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_EQ(resolver.Cached(Address("192.0.2.1")), "");
    const ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(status.Failures, 1u);
    EXPECT_EQ(status.Queries, 2u);
    EXPECT_EQ(server.Queries(), 2);

    // Resolve gives up at its own deadline; the resolver stops at once with lookups in flight.
    ReverseDnsOptions slow = options;
    slow.TimeoutMs = 60000;
    auto pending = std::make_unique<ReverseDns>(slow);
    const auto asked = std::chrono::steady_clock::now();
    pending->Resolve({Address("192.0.2.2"), Address("192.0.2.3")}, 100);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
    const auto stopping = std::chrono::steady_clock::now();
    pending.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(100));
}

TEST(ReverseDns, HostileDatagramsDoNotEndTheWaitForTheRealAnswer) {
    FakeServer server([](const std::string& q) {
        std::string wrongId = AnswerWithName(q);
        wrongId[0] = static_cast<char>(wrongId[0] ^ 0x55);
        std::string otherQuestion = AnswerWithName(q);
        otherQuestion[13] = otherQuestion[13] == '9' ? '8' : '9';
        return std::vector<std::string>{wrongId,
                                        std::string(1, q[0]),
                                        q.substr(0, 2) + std::string(60000, '\xc0'),
                                        otherQuestion,
                                        q,  // the question itself, QR clear
                                        AnswerWithName(q)};
    });
    ReverseDns resolver(OptionsFor(server));
    resolver.Resolve({Address("192.0.2.7")}, 5000);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.7")), "host-7.example.org");
    const ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(status.Malformed, 5u);
    EXPECT_EQ(status.Failures, 0u);
    EXPECT_EQ(status.Names, 1u);
}

TEST(ReverseDns, ALateAnswerToTheFirstAttemptStillCounts) {
    std::mutex mutex;
    std::string first;
    FakeServer server([&](const std::string& q) {
        std::lock_guard<std::mutex> lock(mutex);
        if (first.empty()) {
            first = q;
            return std::vector<std::string>{};
        }
        return std::vector<std::string>{AnswerWithName(first)};  // with the first attempt's id
    });
    ReverseDnsOptions options = OptionsFor(server);
    options.TimeoutMs = 100;
    ReverseDns resolver(options);
    resolver.Resolve({Address("192.0.2.8")}, 5000);
    EXPECT_EQ(resolver.Cached(Address("192.0.2.8")), "host-8.example.org");
    EXPECT_EQ(resolver.Status().Malformed, 0u);
    EXPECT_EQ(resolver.Status().Queries, 2u);
}

TEST(ReverseDns, BrokenAndFailedAnswersAreFailuresRetriedLater) {
    std::atomic<int> mode{0};
    FakeServer server([&](const std::string& q) {
        std::string answer;
        if (mode == 0) {  // a name of 256 octets
            answer = q.substr(0, 2) + U16(0x8180) + U16(1) + U16(1) + U16(0) + U16(0) + q.substr(12) +
                     Record(kToQuestion, 12, 60,
                            Wire(std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                 std::string(62, 'd')));
        } else if (mode == 1) {
            answer = AnswerWithName(q, 60, 0x8380);  // TC
        } else {
            answer = AnswerWithName(q, 60, 0x8182);  // SERVFAIL
        }
        return std::vector<std::string>{answer};
    });
    HandClock clock;
    ReverseDnsOptions options = OptionsFor(server);
    options.FailureRetryS = 300;
    ReverseDns resolver(options, clock.Clock());
    resolver.Resolve({Address("192.0.2.1")}, 5000);
    mode = 1;
    resolver.Resolve({Address("192.0.2.2")}, 5000);
    mode = 2;
    resolver.Resolve({Address("192.0.2.3")}, 5000);
    for (const char* a : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) EXPECT_EQ(resolver.Cached(Address(a)), "") << a;
    ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(status.Failures, 3u);
    EXPECT_EQ(status.Malformed, 1u);
    EXPECT_EQ(server.Queries(), 3);  // an answer that came is not asked again at once
    clock.Ms += 300 * 1000;
    EXPECT_EQ(resolver.Lookup(Address("192.0.2.1")), std::nullopt);
    ASSERT_TRUE(WaitFor([&] { return server.Queries() == 4; }))
        << server.Queries() << " queries, " << resolver.Status().Pending << " pending, " << resolver.Status().Queries;
}

// --- against a real DNS server (tests/testsupport/dns_server.py) ---

class DnsServer : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* server = std::getenv("NFC_DNS_SERVER");
        if (server == nullptr || *server == '\0') GTEST_SKIP() << "NFC_DNS_SERVER is not set";
        auto parsed = ParseDnsServer(server);
        ASSERT_TRUE(parsed) << server;
        Options_.Server = *parsed;
    }
    // The questions for Name that reached the server so far, from its log.
    static int QueriesFor(const std::string& Name) {
        const char* log = std::getenv("NFC_DNS_QUERY_LOG");
        if (log == nullptr) return -1;
        std::ifstream in(log);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) count += line.find("query[PTR] " + Name + " ") != std::string::npos;
        return count;
    }
    ReverseDnsOptions Options_;
};

TEST_F(DnsServer, NamesOfTheHostsFileAndNoneForOthers) {
    ReverseDns resolver(Options_);
    const std::vector<FlowAddress> addresses = {Address("203.0.113.7"),  Address("198.51.100.20"),
                                                Address("2001:db8::10"), Address("192.0.2.33"),
                                                Address("192.0.2.99"),   Address("2001:db8::99")};
    resolver.Resolve(addresses, 10000);
    EXPECT_EQ(resolver.Cached(addresses[0]), "mail.example.org");
    EXPECT_EQ(resolver.Cached(addresses[1]), "www.example.net");
    EXPECT_EQ(resolver.Cached(addresses[2]), "v6host.example.org");
    EXPECT_EQ(resolver.Cached(addresses[3]),
              "sixty-three-octets-make-the-longest-label-a-name-may-have-00063.example.org");
    EXPECT_EQ(resolver.Cached(addresses[4]), "");
    EXPECT_EQ(resolver.Cached(addresses[5]), "");
    const ReverseDnsStatus status = resolver.Status();
    EXPECT_EQ(status.Names, 4u);
    EXPECT_EQ(status.NoNames, 2u);
    EXPECT_EQ(status.Failures, 0u);
    EXPECT_EQ(status.Malformed, 0u);
}

TEST_F(DnsServer, TheServersTtlIsKeptAndTheServerAskedOnce) {
    HandClock clock;
    ReverseDns resolver(Options_, clock.Clock());
    // An address no other case asks, so the server's log counts only this case's questions.
    const FlowAddress address = Address("198.51.100.21");
    const std::string name = ReverseName(address);
    const bool logged = QueriesFor(name) >= 0;
    // The server writes its log after it answers: a count is read once it has settled.
    const auto settledCount = [&](int Expected) {
        WaitFor([&] { return QueriesFor(name) >= Expected; }, 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return QueriesFor(name);
    };
    resolver.Resolve({address}, 10000);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(resolver.Lookup(address), "cache.example.net");
    if (logged) {
        EXPECT_EQ(settledCount(1), 1);
    }
    // The harness gives its hosts a TTL of 600 s.
    clock.Ms += 599 * 1000;
    EXPECT_EQ(resolver.Cached(address), "cache.example.net");
    clock.Ms += 2 * 1000;
    EXPECT_EQ(resolver.Cached(address), std::nullopt);
    resolver.Resolve({address}, 10000);
    EXPECT_EQ(resolver.Cached(address), "cache.example.net");
    if (logged) {
        EXPECT_EQ(settledCount(2), 2);
    }
}

}  // namespace
