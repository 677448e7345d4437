// The SNMP poller: its walk, its schedule, its bounds and the precedence of names, against agents
// made up in the test; the SnmpAgent.* cases against a real snmpd that tests/testsupport/snmp_agent.py
// starts (they are skipped without it).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "InterfaceNames.h"
#include "SnmpPoller.h"

namespace {

using namespace std::chrono_literals;

const SnmpOid kIfDescr = {1, 3, 6, 1, 2, 1, 2, 2, 1, 2};
const SnmpOid kIfName = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 1};
const SnmpOid kIfAlias = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 18};
const SnmpOid kIfHighSpeed = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 15};

SnmpOid Row(SnmpOid Column, std::uint32_t Index) {
    Column.push_back(Index);
    return Column;
}

bool WaitFor(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s) {
    const auto until = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// An agent's MIB as a sorted table, answering GETBULK the way an agent does.
struct FakeAgent {
    std::map<SnmpOid, SnmpVarbind> Mib;
    bool Silent = false;
    std::size_t PerAnswer = 10;
    std::atomic<int> Requests{0};

    void Text(const SnmpOid& Column, std::uint32_t Index, const std::string& Value) {
        SnmpVarbind& v = Mib[Row(Column, Index)];
        v.Oid = Row(Column, Index);
        v.Kind = SnmpVarbind::Type::Text;
        v.Text = Value;
    }
    void Number(const SnmpOid& Column, std::uint32_t Index, std::uint64_t Value) {
        SnmpVarbind& v = Mib[Row(Column, Index)];
        v.Oid = Row(Column, Index);
        v.Kind = SnmpVarbind::Type::Number;
        v.Number = Value;
    }
    SnmpBulkGet Getter() {
        return [this](const SnmpOid& From, std::vector<SnmpVarbind>& Out) {
            ++Requests;
            if (Silent) return SnmpOutcome::TimedOut;
            for (auto it = Mib.upper_bound(From); it != Mib.end() && Out.size() < PerAnswer; ++it)
                Out.push_back(it->second);
            if (Out.empty()) {
                SnmpVarbind end;
                end.Oid = From;
                end.Kind = SnmpVarbind::Type::EndOfColumn;
                Out.push_back(end);
            }
            return SnmpOutcome::Answered;
        };
    }
};

const FlowAddress kRouter = FlowAddress::Parse("192.0.2.1");

}  // namespace

// --- the walk of one column ---

TEST(SnmpWalk, FollowsTheColumnAcrossAnswersAndStopsAtItsEnd) {
    FakeAgent agent;
    for (std::uint32_t i = 1; i <= 95; ++i) agent.Text(kIfName, i * 2, "if" + std::to_string(i));
    agent.Text(kIfAlias, 1, "next column");
    const SnmpColumn walked = WalkSnmpColumn(kIfName, agent.Getter(), 4096);
    EXPECT_EQ(walked.Outcome, SnmpOutcome::Answered);
    ASSERT_EQ(walked.Rows.size(), 95u);
    EXPECT_EQ(walked.Rows.at(190).Text, "if95");
    EXPECT_FALSE(walked.Truncated);
    EXPECT_FALSE(walked.Looped);
    EXPECT_EQ(agent.Requests, 10) << "ten answers of ten, the last one reaching into the next column";

    FakeAgent empty;
    EXPECT_TRUE(WalkSnmpColumn(kIfName, empty.Getter(), 4096).Rows.empty()) << "endOfMibView at once";
}

TEST(SnmpWalk, AgentsThatLoopOrNeverEndAreCutOff) {
    // The same variable again and again: every answer repeats the last row.
    int requests = 0;
    const SnmpBulkGet repeating = [&requests](const SnmpOid&, std::vector<SnmpVarbind>& Out) {
        ++requests;
        SnmpVarbind v;
        v.Oid = Row(kIfName, 7);
        v.Kind = SnmpVarbind::Type::Text;
        v.Text = "Gi0/7";
        Out.push_back(v);
        return SnmpOutcome::Answered;
    };
    SnmpColumn walked = WalkSnmpColumn(kIfName, repeating, 4096);
    EXPECT_TRUE(walked.Looped);
    EXPECT_EQ(walked.Rows.size(), 1u);
    EXPECT_EQ(requests, 2);

    // Going backwards inside one answer.
    const SnmpBulkGet backwards = [](const SnmpOid&, std::vector<SnmpVarbind>& Out) {
        for (std::uint32_t index : {5u, 6u, 3u, 9u}) {
            SnmpVarbind v;
            v.Oid = Row(kIfName, index);
            v.Kind = SnmpVarbind::Type::Text;
            Out.push_back(v);
        }
        return SnmpOutcome::Answered;
    };
    walked = WalkSnmpColumn(kIfName, backwards, 4096);
    EXPECT_TRUE(walked.Looped);
    EXPECT_EQ(walked.Rows.size(), 2u);

    // Ever deeper OIDs inside the column increase for ever without being rows.
    requests = 0;
    const SnmpBulkGet deeper = [&requests](const SnmpOid& From, std::vector<SnmpVarbind>& Out) {
        ++requests;
        SnmpVarbind v;
        v.Oid = From.size() == kIfName.size() ? Row(kIfName, 1) : From;
        v.Oid.push_back(1);
        Out.push_back(v);
        return SnmpOutcome::Answered;
    };
    walked = WalkSnmpColumn(kIfName, deeper, 10);
    EXPECT_TRUE(walked.Truncated);
    EXPECT_TRUE(walked.Rows.empty());
    EXPECT_LE(requests, 2 * 10 + 64 + 1);
}

TEST(SnmpWalk, BoundsAndFailuresEndTheWalk) {
    FakeAgent agent;
    agent.PerAnswer = 50;
    for (std::uint32_t i = 1; i <= 5000; ++i) agent.Number(kIfHighSpeed, i, 1000);
    const SnmpColumn walked = WalkSnmpColumn(kIfHighSpeed, agent.Getter(), 4096);
    EXPECT_EQ(walked.Rows.size(), 4096u);
    EXPECT_TRUE(walked.Truncated);
    EXPECT_LE(agent.Requests, 4096 / 50 + 2);

    agent.Silent = true;
    EXPECT_EQ(WalkSnmpColumn(kIfHighSpeed, agent.Getter(), 4096).Outcome, SnmpOutcome::TimedOut);
}

TEST(SnmpText, NamesStaySaneForTheViews) {
    EXPECT_EQ(SaneSnmpText(std::string("eth0\0\0", 6)), "eth0") << "a counted C terminator is no character";
    EXPECT_EQ(SaneSnmpText(std::string("a\0b", 3)), "a?b");
    EXPECT_EQ(SaneSnmpText("tab\there\x7f"), "tab?here?");
    EXPECT_EQ(SaneSnmpText("Gr\xc3\xbc\xc3\x9f"
                           "e \xe2\x82\xac"),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x82\xac");
    EXPECT_EQ(SaneSnmpText("\xc3(\xff\xc0\xaf\xed\xa0\x80"), "?(??????") << "broken, overlong and surrogate bytes";
    EXPECT_EQ(SaneSnmpText("\xc2\x85"), "??") << "C1 control";
    EXPECT_EQ(SaneSnmpText(std::string(300, 'x')).size(), 255u);
    // The cut never splits a character.
    const std::string cut = SaneSnmpText(std::string(254, 'x') + "\xc3\xa9" + "tail");
    EXPECT_EQ(cut, std::string(254, 'x'));
}

// --- the table the views read ---

TEST(InterfaceNamesPrecedence, OptionsDataWinsOverPolledTextsButNotOverTheSpeed) {
    InterfaceNames names;
    EXPECT_TRUE(names.SetPolled(kRouter, 3, "ge-0/0/3", "to core", 10000));
    EXPECT_EQ(names.Label(kRouter, 3), "ge-0/0/3 (3)");
    EXPECT_EQ(names.Find(kRouter, 3).NameSource, InterfaceSource::Polled);

    EXPECT_TRUE(names.Set(kRouter, 3, "Gi0/0/3", ""));
    InterfaceName got = names.Find(kRouter, 3);
    EXPECT_EQ(got.Name, "Gi0/0/3");
    EXPECT_EQ(got.NameSource, InterfaceSource::Options);
    EXPECT_EQ(got.Description, "to core") << "options data without a description leaves the polled one";
    EXPECT_EQ(got.SpeedMbps, 10000u);

    // The next poll changes what the agent said, never what options data said.
    EXPECT_TRUE(names.SetPolled(kRouter, 3, "ge-0/0/3", "", 40000));
    got = names.Find(kRouter, 3);
    EXPECT_EQ(got.Name, "Gi0/0/3");
    EXPECT_EQ(got.Description, "") << "an alias removed on the router goes";
    EXPECT_EQ(got.DescriptionSource, InterfaceSource::None);
    EXPECT_EQ(got.SpeedMbps, 40000u);
    EXPECT_TRUE(names.Set(kRouter, 3, "", "uplink"));
    EXPECT_TRUE(names.SetPolled(kRouter, 3, "x", "y", 100));
    got = names.Find(kRouter, 3);
    EXPECT_EQ(got.Name, "Gi0/0/3");
    EXPECT_EQ(got.Description, "uplink");
    EXPECT_EQ(got.SpeedMbps, 100u);

    // Options data first, then the poll: the same.
    EXPECT_TRUE(names.Set(kRouter, 4, "Gi0/0/4", "server"));
    EXPECT_TRUE(names.SetPolled(kRouter, 4, "ge-0/0/4", "other", 1000));
    EXPECT_EQ(names.Label(kRouter, 4), "Gi0/0/4 (4)");
    EXPECT_EQ(names.Find(kRouter, 4).SpeedMbps, 1000u);
}

TEST(InterfaceNamesPrecedence, PolledEntriesKeepTheBound) {
    InterfaceNames names;
    EXPECT_FALSE(names.SetPolled(kRouter, 1, "", "", 0)) << "nothing to keep";
    EXPECT_EQ(names.Size(), 0u);
    EXPECT_TRUE(names.SetPolled(kRouter, 1, "", "", 100)) << "a speed alone is worth keeping";
    EXPECT_EQ(names.Label(kRouter, 1), "1");
    for (std::uint32_t i = 2; names.Size() < InterfaceNames::kCapacity; ++i)
        ASSERT_TRUE(names.SetPolled(kRouter, i, "x", "", 0));
    EXPECT_FALSE(names.SetPolled(kRouter, 999999, "late", "", 0));
    EXPECT_FALSE(names.Set(kRouter, 999999, "late", ""));
    EXPECT_TRUE(names.SetPolled(kRouter, 1, "known", "", 0)) << "known entries still change";
    EXPECT_EQ(names.Size(), InterfaceNames::kCapacity);
}

// --- the poller's schedule and limits, with agents of the test's own ---

namespace {

struct FakeClock {
    std::atomic<std::int64_t> Ms{1'000'000};
    SnmpPoller::Clock Now() {
        return [this] { return Ms.load(); };
    }
};

// Agents by address; unknown addresses are silent.
struct FakeNetwork {
    std::map<FlowAddress, FakeAgent> Agents;
    std::atomic<int> Connects{0};
    SnmpConnect Connect() {
        return [this](const FlowAddress& Address) -> SnmpBulkGet {
            ++Connects;
            const auto it = Agents.find(Address);
            if (it == Agents.end())
                return [](const SnmpOid&, std::vector<SnmpVarbind>&) { return SnmpOutcome::TimedOut; };
            return it->second.Getter();
        };
    }
};

SnmpPollerOptions Quick() {
    SnmpPollerOptions options;
    options.Community = "public";
    options.IntervalMs = 3'600'000;
    options.RetryMs = 300'000;
    return options;
}

std::uint64_t Done(const SnmpPoller& Poller) {
    const SnmpPollerStatus s = Poller.Status();
    return s.Answered + s.TimedOut + s.Failed;
}

// Lets the thread look at a moved clock; the pause shows that it then did nothing more.
void MoveClock(FakeClock& Clock, SnmpPoller& Poller, std::int64_t ToMs) {
    Clock.Ms = ToMs;
    Poller.Wake();
    std::this_thread::sleep_for(50ms);
}

}  // namespace

TEST(SnmpPollerSchedule, FirstPollAtOnceThenHourlyAndFailuresSooner) {
    FakeClock clock;
    FakeNetwork network;
    FakeAgent& agent = network.Agents[kRouter];
    agent.Text(kIfName, 1, "Gi0/1");
    agent.Text(kIfAlias, 1, "uplink");
    agent.Number(kIfHighSpeed, 1, 10000);
    InterfaceNames names;
    std::mutex saidLock;
    std::vector<std::string> said;
    SnmpPollerOptions options = Quick();
    options.Say = [&](const std::string& Line) {
        const std::lock_guard<std::mutex> lock(saidLock);
        said.push_back(Line);
    };
    const auto saidSoFar = [&] {
        const std::lock_guard<std::mutex> lock(saidLock);
        return said;
    };
    SnmpPoller poller(options, names, clock.Now(), network.Connect());

    const FlowAddress silent = FlowAddress::Parse("2001:db8::1");
    poller.Watch(kRouter);
    poller.Watch(silent);
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 2; })) << "both polled without the clock moving";
    SnmpPollerStatus status = poller.Status();
    EXPECT_EQ(status.Exporters, 2u);
    EXPECT_EQ(status.Answered, 1u);
    EXPECT_EQ(status.TimedOut, 1u);
    EXPECT_EQ(status.Interfaces, 1u);
    EXPECT_EQ(names.Label(kRouter, 1), "Gi0/1 (1)");
    EXPECT_EQ(names.Find(kRouter, 1).SpeedMbps, 10000u);
    // Each exporter's first outcome is said once; the operator learns of a wrong community at once.
    std::vector<std::string> first = saidSoFar();
    std::sort(first.begin(), first.end());
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], "SNMP: 192.0.2.1 named 1 interfaces");
    EXPECT_EQ(first[1].rfind("SNMP: 2001:db8::1 did not answer", 0), 0u) << first[1];

    // Watching again, as the collector does every second, starts nothing.
    for (int i = 0; i < 100; ++i) poller.Watch(kRouter);
    MoveClock(clock, poller, 1'000'000 + 299'999);
    EXPECT_EQ(poller.Status().Polls, 2u);
    MoveClock(clock, poller, 1'000'000 + 300'000);
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 3; }));
    EXPECT_EQ(poller.Status().TimedOut, 2u) << "the silent one is retried after RetryMs";
    EXPECT_EQ(poller.Status().Answered, 1u) << "the one that answered waits for the hour";

    agent.Text(kIfName, 1, "Gi0/1-renamed");
    MoveClock(clock, poller, 1'000'000 + 3'600'000);
    ASSERT_TRUE(WaitFor([&] { return poller.Status().Answered == 2; }));
    EXPECT_EQ(names.Label(kRouter, 1), "Gi0/1-renamed (1)");
    EXPECT_EQ(saidSoFar().size(), 2u) << "outcomes that did not change are not said again";
}

TEST(SnmpPollerSchedule, DescriptionStandsInForAMissingNameAndOptionsNamesWin) {
    FakeClock clock;
    FakeNetwork network;
    FakeAgent& agent = network.Agents[kRouter];
    agent.Text(kIfDescr, 1, "Ethernet adapter one");
    agent.Text(kIfDescr, 2, std::string("Ethernet adapter two\0", 21));
    agent.Number(kIfHighSpeed, 2, 25000);
    InterfaceNames names;
    names.Set(kRouter, 2, "eth-two", "");
    SnmpPoller poller(Quick(), names, clock.Now(), network.Connect());
    poller.Watch(kRouter);
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }));
    EXPECT_EQ(names.Label(kRouter, 1), "Ethernet adapter one (1)");
    EXPECT_EQ(names.Label(kRouter, 2), "eth-two (2)");
    EXPECT_EQ(names.Find(kRouter, 2).SpeedMbps, 25000u);
}

TEST(SnmpPollerSchedule, ExportersAndInterfacesAreBounded) {
    FakeClock clock;
    FakeNetwork network;
    FakeAgent& agent = network.Agents[kRouter];
    agent.PerAnswer = 40;
    for (std::uint32_t i = 1; i <= 6000; ++i) agent.Text(kIfName, i, "port" + std::to_string(i));
    InterfaceNames names;
    SnmpPollerOptions options = Quick();
    options.MaxExporters = 2;
    options.MaxInterfacesPerExporter = 4096;
    SnmpPoller poller(options, names, clock.Now(), network.Connect());
    poller.Watch(kRouter);
    poller.Watch(FlowAddress::Parse("192.0.2.2"));
    for (int round = 0; round < 3; ++round)
        for (std::uint32_t host = 3; host < 13; ++host) poller.Watch(FlowAddress::FromIPv4(0xc0000200 + host));
    poller.Watch(FlowAddress{});
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 2; }));
    const SnmpPollerStatus status = poller.Status();
    EXPECT_EQ(status.Exporters, 2u);
    EXPECT_EQ(status.Refused, 10u) << "each refused exporter once, however often it is seen";
    EXPECT_EQ(status.Interfaces, 4096u);
    EXPECT_EQ(names.Size(), 4096u);
    EXPECT_EQ(names.Label(kRouter, 4097), "4097");
    EXPECT_EQ(network.Connects, 2);
}

// --- the poller over UDP, with sockets of the test that play broken agents ---

namespace {

// A UDP socket on a free loopback port that reads requests and answers them through Reply (or not).
class UdpPeer {
  public:
    explicit UdpPeer(std::function<std::vector<std::string>(const std::string&)> Reply = {}, bool IPv6 = false)
        : Reply_(std::move(Reply)) {
        sockaddr_storage address{};
        socklen_t length = 0;
        if (IPv6) {
            auto* six = reinterpret_cast<sockaddr_in6*>(&address);
            six->sin6_family = AF_INET6;
            six->sin6_addr = in6addr_loopback;
            length = sizeof *six;
        } else {
            auto* four = reinterpret_cast<sockaddr_in*>(&address);
            four->sin_family = AF_INET;
            four->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *four;
        }
        Fd_ = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (Fd_ < 0 || ::bind(Fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        Port_ = ntohs(IPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        Thread_ = std::thread([this] { Serve(); });
    }
    ~UdpPeer() {
        Stop_ = true;
        if (Thread_.joinable()) Thread_.join();
        if (Fd_ >= 0) ::close(Fd_);
    }
    std::uint16_t Port() const { return Port_; }
    int Requests() const { return Requests_; }

  private:
    void Serve() {
        std::string buffer(65536, '\0');
        while (!Stop_) {
            pollfd wait{Fd_, POLLIN, 0};
            if (::poll(&wait, 1, 20) <= 0) continue;
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t got =
                ::recvfrom(Fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 0) continue;
            ++Requests_;
            if (!Reply_) continue;
            for (const std::string& answer : Reply_(buffer.substr(0, static_cast<std::size_t>(got))))
                ::sendto(Fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    std::function<std::vector<std::string>(const std::string&)> Reply_;
    int Fd_ = -1;
    std::uint16_t Port_ = 0;
    std::atomic<bool> Stop_{false};
    std::atomic<int> Requests_{0};
    std::thread Thread_;
};

SnmpPollerOptions OverUdp(std::uint16_t Port, int TimeoutMs) {
    SnmpPollerOptions options = Quick();
    options.Port = Port;
    options.TimeoutMs = TimeoutMs;
    options.Retries = 0;
    return options;
}

// Standard error of the whole process while it lives, to show that the library said nothing.
class CapturedStandardError {
  public:
    CapturedStandardError() {
        std::fflush(stderr);
        std::FILE* file = std::tmpfile();
        Saved_ = ::dup(2);
        File_ = file;
        ::dup2(::fileno(file), 2);
    }
    ~CapturedStandardError() { Release(); }
    std::string Release() {
        if (File_ == nullptr) return Text_;
        std::fflush(stderr);
        ::dup2(Saved_, 2);
        ::close(Saved_);
        std::rewind(File_);
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, File_)) > 0) Text_.append(chunk, got);
        std::fclose(File_);
        File_ = nullptr;
        return Text_;
    }

  private:
    std::FILE* File_ = nullptr;
    int Saved_ = -1;
    std::string Text_;
};

// The request with its PDU tag turned into a response's: a well-formed answer whose only variable
// is the OID asked about, so a walk that took it would never move on.
std::string Echo(const std::string& Request) {
    std::string answer = Request;
    std::size_t at = 0;
    const auto skipHeader = [&answer](std::size_t At) {
        if (At + 2 > answer.size()) return std::string::npos;
        const unsigned char first = static_cast<unsigned char>(answer[At + 1]);
        return At + 2 + (first & 0x80 ? (first & 0x7f) : 0);
    };
    const auto skipWhole = [&answer](std::size_t At) {
        if (At + 2 > answer.size()) return std::string::npos;
        return At + 2 + static_cast<unsigned char>(answer[At + 1]);  // version and community are short
    };
    at = skipHeader(0);                               // message
    if (at != std::string::npos) at = skipWhole(at);  // version
    if (at != std::string::npos) at = skipWhole(at);  // community
    if (at != std::string::npos && at < answer.size()) answer[at] = static_cast<char>(0xa2);
    return answer;
}

}  // namespace

TEST(SnmpPollerUdp, SilentAgentTimesOutAndTheEndDoesNotWaitForIt) {
    UdpPeer silent;
    ASSERT_NE(silent.Port(), 0);
    InterfaceNames names;
    {
        SnmpPoller poller(OverUdp(silent.Port(), 200), names);
        poller.Watch(FlowAddress::Parse("127.0.0.1"));
        ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 5s));
        EXPECT_EQ(poller.Status().TimedOut, 1u);
        EXPECT_GE(silent.Requests(), 1);
    }
    EXPECT_EQ(names.Size(), 0u);

    // A long time-out in progress: the poller ends at once all the same.
    auto poller = std::make_unique<SnmpPoller>(OverUdp(silent.Port(), 30'000), names);
    const int before = silent.Requests();
    poller->Watch(FlowAddress::Parse("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return silent.Requests() > before; }, 5s));
    const auto started = std::chrono::steady_clock::now();
    poller.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
}

TEST(SnmpPollerUdp, IPv6AgentsAreAskedOverIPv6) {
    UdpPeer silent({}, true);
    if (silent.Port() == 0) GTEST_SKIP() << "no IPv6 loopback here";
    InterfaceNames names;
    SnmpPoller poller(OverUdp(silent.Port(), 200), names);
    poller.Watch(FlowAddress::Parse("::1"));
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 5s));
    EXPECT_EQ(poller.Status().Failed, 0u) << "the session opened";
    EXPECT_GE(silent.Requests(), 1);
}

TEST(SnmpPollerUdp, GarbageAndEchoedAnswersNeitherHangNorPrint) {
    CapturedStandardError standardError;
    InterfaceNames names;
    {
        UdpPeer garbage([](const std::string& Request) {
            std::string huge(65000, '\0');
            for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<char>((i * 7919) >> 3);
            return std::vector<std::string>{huge, Request.substr(0, Request.size() / 2), "\x30\x84\xff\xff\xff\xff",
                                            std::string(1, '\x30')};
        });
        SnmpPoller poller(OverUdp(garbage.Port(), 300), names);
        poller.Watch(FlowAddress::Parse("127.0.0.1"));
        ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 5s));
        EXPECT_EQ(poller.Status().TimedOut, 1u) << "nothing parsable is no answer";
    }
    {
        UdpPeer echo([](const std::string& Request) { return std::vector<std::string>{Echo(Request)}; });
        SnmpPoller poller(OverUdp(echo.Port(), 300), names);
        poller.Watch(FlowAddress::Parse("127.0.0.1"));
        ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 5s));
        EXPECT_EQ(echo.Requests(), 1) << "the walk stops at the first answer that does not move on";
        EXPECT_EQ(poller.Status().Failed, 1u);
        EXPECT_EQ(poller.Status().Interfaces, 0u);
    }
    EXPECT_EQ(names.Size(), 0u);
    EXPECT_EQ(standardError.Release(), "");
}

// --- against a real agent (tests/testsupport/snmp_agent.py run -- snmp_tests --gtest_filter=SnmpAgent.*) ---

namespace {

struct RealAgent {
    std::uint16_t Port = 0;
    std::string Community;
};

bool FindRealAgent(RealAgent& Out) {
    const char* address = std::getenv("NFC_SNMP_AGENT");
    const char* community = std::getenv("NFC_SNMP_COMMUNITY");
    if (address == nullptr || community == nullptr) return false;
    const std::string text = address;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    Out.Port = static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1)));
    Out.Community = community;
    return true;
}

// What snmp_agent.py's run command makes the agent say about the loopback interface.
const std::string kLoopbackAlias = "loopback under test?\xc3\xa9" + std::string(255 - 22, 'x');
constexpr std::uint64_t kLoopbackMbps = 40000;

// name by ifindex, as the kernel has them
std::map<std::uint32_t, std::string> KernelInterfaces() {
    std::map<std::uint32_t, std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
        std::ifstream in(entry.path() / "ifindex");
        std::uint32_t index = 0;
        if (in >> index) found[index] = entry.path().filename().string();
    }
    return found;
}

}  // namespace

TEST(SnmpAgent, NamesAliasesAndSpeedsAreThisMachines) {
    RealAgent agent;
    if (!FindRealAgent(agent)) GTEST_SKIP() << "NFC_SNMP_AGENT and NFC_SNMP_COMMUNITY not set";
    SnmpPollerOptions options = Quick();
    options.Community = agent.Community;
    options.Port = agent.Port;
    options.TimeoutMs = 1000;
    InterfaceNames names;
    const FlowAddress local = FlowAddress::Parse("127.0.0.1");
    names.Set(local, 1, "", "");  // nothing: options data that said nothing changes nothing
    SnmpPoller poller(options, names);
    poller.Watch(local);
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 20s));
    const SnmpPollerStatus status = poller.Status();
    ASSERT_EQ(status.Answered, 1u);

    const auto kernel = KernelInterfaces();
    ASSERT_FALSE(kernel.empty());
    EXPECT_GE(status.Interfaces, kernel.size());
    for (const auto& [index, name] : kernel) {
        EXPECT_EQ(names.Find(local, index).Name, name) << "ifindex " << index;
        EXPECT_EQ(names.Find(local, index).NameSource, InterfaceSource::Polled);
    }
    ASSERT_EQ(kernel.at(1), "lo");
    const InterfaceName loopback = names.Find(local, 1);
    EXPECT_EQ(loopback.Description, kLoopbackAlias);
    EXPECT_EQ(loopback.SpeedMbps, kLoopbackMbps);
}

TEST(SnmpAgent, OptionsNamesStayAndTheSpeedIsPolled) {
    RealAgent agent;
    if (!FindRealAgent(agent)) GTEST_SKIP() << "NFC_SNMP_AGENT and NFC_SNMP_COMMUNITY not set";
    SnmpPollerOptions options = Quick();
    options.Community = agent.Community;
    options.Port = agent.Port;
    InterfaceNames names;
    const FlowAddress local = FlowAddress::Parse("127.0.0.1");
    names.Set(local, 1, "Loopback0", "");
    SnmpPoller poller(options, names);
    poller.Watch(local);
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 20s));
    ASSERT_EQ(poller.Status().Answered, 1u);
    const InterfaceName loopback = names.Find(local, 1);
    EXPECT_EQ(loopback.Name, "Loopback0");
    EXPECT_EQ(loopback.Description, kLoopbackAlias);
    EXPECT_EQ(loopback.SpeedMbps, kLoopbackMbps);
}

TEST(SnmpAgent, WrongCommunityGetsNoNames) {
    RealAgent agent;
    if (!FindRealAgent(agent)) GTEST_SKIP() << "NFC_SNMP_AGENT and NFC_SNMP_COMMUNITY not set";
    SnmpPollerOptions options = OverUdp(agent.Port, 300);
    options.Community = agent.Community + "-wrong";
    InterfaceNames names;
    SnmpPoller poller(options, names);
    poller.Watch(FlowAddress::Parse("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return Done(poller) == 1; }, 10s));
    const SnmpPollerStatus status = poller.Status();
    EXPECT_EQ(status.Answered, 0u);
    EXPECT_EQ(status.TimedOut + status.Failed, 1u);
    EXPECT_EQ(names.Size(), 0u);
}
