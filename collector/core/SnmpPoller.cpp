#include "SnmpPoller.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <utility>

#include "StatusWords.h"

namespace {

const SnmpOid kIfDescr = {1, 3, 6, 1, 2, 1, 2, 2, 1, 2};
const SnmpOid kIfName = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 1};
const SnmpOid kIfAlias = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 18};
const SnmpOid kIfHighSpeed = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 15};

constexpr std::size_t kMaxText = 255;
// A value longer than this is cut before it is looked at: no interface name needs more.
constexpr std::size_t kMaxRawText = 1024;
// Each refused exporter is counted once; a flood of sender addresses must not grow the set for ever.
constexpr std::size_t kMaxRefusedKept = 65536;
// The thread looks at the clock at least this often, so that a wall clock that jumps ahead delays
// a poll by no more than this.
constexpr std::int64_t kLongestSleepMs = 60'000;
constexpr int kFirstRepetitions = 24;

// The library reads no configuration of the user's or the system's, loads no MIB files (the OIDs
// here are numbers), saves no state and says nothing on standard error: the collector is a
// desktop program whose standard error is for its own episodes.
void InitialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
        for (const int flag :
             {NETSNMP_DS_LIB_DONT_READ_CONFIGS, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD,
              NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, NETSNMP_DS_LIB_DONT_PERSIST_STATE,
              NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS})
            netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, flag, 1);
        // A path below a file can never be a folder, whatever the machine has installed. The state
        // folder too: even with saving turned off, the library makes a certificate index folder in
        // it at start (as root, /var/lib/snmp/cert_indexes), and the collector writes nothing there.
        netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "/dev/null/no-mibs");
        set_persistent_directory("/dev/null/no-state");
        init_snmp("netflow-collector");
    });
}

bool StartsWith(const SnmpOid& Oid, const SnmpOid& Prefix) {
    return Oid.size() >= Prefix.size() && std::equal(Prefix.begin(), Prefix.end(), Oid.begin());
}

SnmpVarbind Convert(const netsnmp_variable_list& Variable) {
    SnmpVarbind out;
    out.Oid.reserve(Variable.name_length);
    for (std::size_t i = 0; i < Variable.name_length; ++i)
        out.Oid.push_back(static_cast<std::uint32_t>(std::min<oid>(Variable.name[i], 0xffffffffu)));
    switch (Variable.type) {
        case ASN_OCTET_STR:
            out.Kind = SnmpVarbind::Type::Text;
            if (Variable.val.string != nullptr)
                out.Text.assign(reinterpret_cast<const char*>(Variable.val.string),
                                std::min<std::size_t>(Variable.val_len, kMaxRawText));
            break;
        case ASN_INTEGER:
        case ASN_GAUGE:
        case ASN_COUNTER:
        case ASN_TIMETICKS:
            if (Variable.val.integer == nullptr) break;
            if (Variable.type == ASN_INTEGER && *Variable.val.integer < 0) break;
            out.Kind = SnmpVarbind::Type::Number;
            out.Number = static_cast<std::uint64_t>(*Variable.val.integer) & 0xffffffffu;
            break;
        case ASN_COUNTER64:
            if (Variable.val.counter64 == nullptr) break;
            out.Kind = SnmpVarbind::Type::Number;
            out.Number = (static_cast<std::uint64_t>(Variable.val.counter64->high & 0xffffffffu) << 32) |
                         (Variable.val.counter64->low & 0xffffffffu);
            break;
        case SNMP_NOSUCHOBJECT:
        case SNMP_NOSUCHINSTANCE:
        case SNMP_ENDOFMIBVIEW:
            out.Kind = SnmpVarbind::Type::EndOfColumn;
            break;
        default:
            break;
    }
    return out;
}

// One session with one agent, asked one GETBULK at a time. The waiting is done here rather than in
// the library's synchronous call so that the poller's end can cut it short.
class UdpAgent {
  public:
    UdpAgent(const FlowAddress& Address, const SnmpPollerOptions& Options, int WakeFd) : WakeFd_(WakeFd) {
        InitialiseLibrary();
        // Appended piece by piece: GCC 12 at -O3 warns falsely of overlapping copies in the
        // one-expression form.
        const bool v6 = Address.Kind == FlowAddress::IPv6;
        std::string peer = v6 ? "udp6:[" : "udp:";
        Address.AppendText(peer);
        if (v6) peer += ']';
        peer += ':';
        peer += std::to_string(Options.Port);
        std::string community = Options.Community;
        netsnmp_session session;
        snmp_sess_init(&session);
        session.version = SNMP_VERSION_2c;
        session.peername = peer.data();
        session.community = reinterpret_cast<u_char*>(community.data());
        session.community_len = community.size();
        session.timeout = static_cast<long>(std::max(Options.TimeoutMs, 1)) * 1000L;
        session.retries = std::max(Options.Retries, 0);
        Handle_ = snmp_sess_open(&session);
    }
    ~UdpAgent() {
        if (Handle_ != nullptr) snmp_sess_close(Handle_);
    }
    UdpAgent(const UdpAgent&) = delete;
    UdpAgent& operator=(const UdpAgent&) = delete;

    bool Open() const { return Handle_ != nullptr; }

    SnmpOutcome GetBulk(const SnmpOid& From, std::vector<SnmpVarbind>& Out) {
        for (;;) {
            const Answer got = Ask(From, Out);
            if (got != Answer::TooBig) return static_cast<SnmpOutcome>(got);
            // Long aliases can make a full answer bigger than the agent may send.
            if (Repetitions_ == 1) return SnmpOutcome::Failed;
            Repetitions_ = std::max(1, Repetitions_ / 2);
        }
    }

  private:
    enum class Answer : std::uint8_t { Answered, TimedOut, Failed, TooBig };
    static_assert(static_cast<int>(Answer::Failed) == static_cast<int>(SnmpOutcome::Failed));

    static int Received(int Operation, netsnmp_session*, int, netsnmp_pdu* Pdu, void* Magic) {
        auto* self = static_cast<UdpAgent*>(Magic);
        if (!self->Waiting_) return 1;
        if (Operation == NETSNMP_CALLBACK_OP_RESEND) return 1;
        self->Waiting_ = false;
        if (Operation == NETSNMP_CALLBACK_OP_TIMED_OUT) {
            self->Got_ = Answer::TimedOut;
        } else if (Operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || Pdu == nullptr) {
            self->Got_ = Answer::Failed;
        } else if (Pdu->errstat == SNMP_ERR_TOOBIG) {
            self->Got_ = Answer::TooBig;
        } else if (Pdu->errstat != SNMP_ERR_NOERROR) {
            self->Got_ = Answer::Failed;
        } else {
            self->Got_ = Answer::Answered;
            for (const netsnmp_variable_list* v = Pdu->variables; v != nullptr; v = v->next_variable)
                self->Out_->push_back(Convert(*v));
        }
        return 1;
    }

    Answer Ask(const SnmpOid& From, std::vector<SnmpVarbind>& Out) {
        Out.clear();
        if (Handle_ == nullptr || From.empty() || From.size() > MAX_OID_LEN) return Answer::Failed;
        netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GETBULK);
        if (pdu == nullptr) return Answer::Failed;
        pdu->non_repeaters = 0;
        pdu->max_repetitions = Repetitions_;
        oid name[MAX_OID_LEN];
        std::copy(From.begin(), From.end(), name);
        snmp_add_null_var(pdu, name, From.size());
        Out_ = &Out;
        Waiting_ = true;
        if (snmp_sess_async_send(Handle_, pdu, &UdpAgent::Received, this) == 0) {
            snmp_free_pdu(pdu);
            Waiting_ = false;
            return Answer::Failed;
        }
        const netsnmp_transport* transport = snmp_sess_transport(Handle_);
        const int socket = transport != nullptr ? transport->sock : -1;
        netsnmp_large_fd_set fds;
        netsnmp_large_fd_set_init(&fds, std::max(FD_SETSIZE, socket + 1));
        while (Waiting_) {
            int count = 0;
            int block = 0;
            struct timeval timeout {};
            NETSNMP_LARGE_FD_ZERO(&fds);
            snmp_sess_select_info2(Handle_, &count, &fds, &timeout, &block);
            const long ms = block ? 1000 : timeout.tv_sec * 1000 + (timeout.tv_usec + 999) / 1000;
            pollfd waits[2] = {{socket, POLLIN, 0}, {WakeFd_, POLLIN, 0}};
            const int ready = ::poll(waits, 2, static_cast<int>(std::clamp(ms, 0L, 60'000L)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || (waits[1].revents & POLLIN) != 0) {
                Waiting_ = false;
                Got_ = Answer::Failed;
                break;
            }
            if (ready > 0 && (waits[0].revents & (POLLIN | POLLERR)) != 0) {
                NETSNMP_LARGE_FD_ZERO(&fds);
                NETSNMP_LARGE_FD_SET(socket, &fds);
                snmp_sess_read2(Handle_, &fds);
            } else if (ready == 0) {
                snmp_sess_timeout(Handle_);
            }
        }
        netsnmp_large_fd_set_cleanup(&fds);
        Out_ = nullptr;
        return Got_;
    }

    void* Handle_ = nullptr;
    int WakeFd_;
    int Repetitions_ = kFirstRepetitions;
    bool Waiting_ = false;
    Answer Got_ = Answer::Failed;
    std::vector<SnmpVarbind>* Out_ = nullptr;
};

// The length of the valid UTF-8 sequence at Text[At] that is a printable character, or 0.
std::size_t PrintableAt(const std::string& Text, std::size_t At) {
    const auto byte = [&Text](std::size_t I) { return static_cast<unsigned char>(Text[I]); };
    const unsigned char lead = byte(At);
    if (lead < 0x20 || lead == 0x7f) return 0;
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range, narrower where overlong or surrogate
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        if (lead == 0xc2) low = 0xa0;  // U+0080..U+009F are control characters
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (At + length > Text.size()) return 0;
    if (byte(At + 1) < low || byte(At + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(At + i) < 0x80 || byte(At + i) > 0xbf) return 0;
    return length;
}

}  // namespace

std::string SaneSnmpText(const std::string& Raw) {
    // Many agents count the C string's terminator into the name.
    std::size_t end = Raw.size();
    while (end > 0 && Raw[end - 1] == '\0') --end;
    const std::string text = Raw.substr(0, end);
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = PrintableAt(text, at);
        if (out.size() + std::max<std::size_t>(length, 1) > kMaxText) break;
        if (length == 0) {
            out += '?';
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

std::string SnmpPoller::OutcomeText(const FlowAddress& Address, const Poll& Result, const SnmpPollerOptions& Options) {
    const std::string who = "SNMP: " + Address.ToString();
    const std::string again = "; asking again in " + std::to_string(Options.RetryMs / 60000) + " min";
    switch (Result.Outcome) {
        case SnmpOutcome::Answered:
            return who + " named " + std::to_string(Result.Interfaces) + " interfaces";
        case SnmpOutcome::TimedOut:
            return who + " did not answer within " + std::to_string(Options.TimeoutMs * (Options.Retries + 1) / 1000) +
                   " s (no agent there, or another community)" + again;
        case SnmpOutcome::Failed:
            break;
    }
    return who + " answered with an error or an interface table out of order" + again;
}

SnmpColumn WalkSnmpColumn(const SnmpOid& Column, const SnmpBulkGet& Get, std::size_t MaxRows) {
    SnmpColumn result;
    SnmpOid last = Column;
    std::vector<SnmpVarbind> answer;
    // Variables below a row (longer OIDs than an interface index makes) are no rows, but they
    // still cost requests: an agent could make up such OIDs for ever.
    std::size_t budget = 2 * MaxRows + 64;
    for (;;) {
        answer.clear();
        result.Outcome = Get(last, answer);
        if (result.Outcome != SnmpOutcome::Answered || answer.empty()) return result;
        for (SnmpVarbind& variable : answer) {
            if (variable.Kind == SnmpVarbind::Type::EndOfColumn || !StartsWith(variable.Oid, Column)) return result;
            if (!(variable.Oid > last)) {
                result.Looped = true;
                return result;
            }
            last = variable.Oid;
            if (budget == 0) {
                result.Truncated = true;
                return result;
            }
            --budget;
            if (variable.Oid.size() != Column.size() + 1) continue;
            if (result.Rows.size() >= MaxRows) {
                result.Truncated = true;
                return result;
            }
            const std::uint32_t index = variable.Oid.back();
            result.Rows.emplace(index, std::move(variable));
        }
    }
}

SnmpPoller::SnmpPoller(SnmpPollerOptions Options, InterfaceNames& Target, Clock Now)
    : SnmpPoller(std::move(Options), Target, std::move(Now), {}) {}

SnmpPoller::SnmpPoller(SnmpPollerOptions Options, InterfaceNames& Target, Clock Now, SnmpConnect Connect)
    : Options_(std::move(Options)), Target_(Target), Now_(std::move(Now)), Connect_(std::move(Connect)) {
    if (!Now_) Now_ = statuswords::SystemNowMs;
    WakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!Connect_) Connect_ = [this](const FlowAddress& Address) { return ConnectOverUdp(Address); };
    Thread_ = std::thread([this] { Run(); });
}

SnmpPoller::~SnmpPoller() {
    {
        const std::lock_guard<std::mutex> guard(Lock_);
        Stop_ = true;
    }
    Changed_.notify_all();
    if (WakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(WakeFd_, &one, sizeof one);
    }
    if (Thread_.joinable()) Thread_.join();
    if (WakeFd_ >= 0) ::close(WakeFd_);
}

void SnmpPoller::Watch(const FlowAddress& Exporter) {
    if (Exporter.Kind == FlowAddress::None) return;
    {
        const std::lock_guard<std::mutex> guard(Lock_);
        if (Exporters_.contains(Exporter)) return;
        if (Exporters_.size() >= Options_.MaxExporters) {
            if (Refused_.size() < kMaxRefusedKept && Refused_.insert(Exporter).second) ++Status_.Refused;
            return;
        }
        Exporters_.emplace(Exporter,
                           SnmpPoller::Exporter{std::numeric_limits<std::int64_t>::min(), false, 0, std::nullopt});
        Woken_ = true;
    }
    Changed_.notify_all();
}

SnmpPollerStatus SnmpPoller::Status() const {
    const std::lock_guard<std::mutex> guard(Lock_);
    SnmpPollerStatus status = Status_;
    status.Exporters = Exporters_.size();
    status.Interfaces = 0;
    for (const auto& [address, exporter] : Exporters_) status.Interfaces += exporter.Interfaces;
    return status;
}

void SnmpPoller::Wake() {
    {
        const std::lock_guard<std::mutex> guard(Lock_);
        Woken_ = true;
    }
    Changed_.notify_all();
}

SnmpBulkGet SnmpPoller::ConnectOverUdp(const FlowAddress& Address) {
    auto agent = std::make_shared<UdpAgent>(Address, Options_, WakeFd_);
    if (!agent->Open()) return {};
    return [agent](const SnmpOid& From, std::vector<SnmpVarbind>& Out) { return agent->GetBulk(From, Out); };
}

SnmpPoller::Poll SnmpPoller::PollOne(const FlowAddress& Address) {
    Poll result;
    const SnmpBulkGet get = Connect_(Address);
    if (!get) {
        result.Outcome = SnmpOutcome::Failed;
        return result;
    }
    const std::size_t most = Options_.MaxInterfacesPerExporter;
    // An agent that walks backwards is broken, not finished: counted as a failure and asked again
    // sooner, with whatever it said before it went wrong.
    const auto outcome = [](const SnmpColumn& Column) {
        return Column.Outcome == SnmpOutcome::Answered && Column.Looped ? SnmpOutcome::Failed : Column.Outcome;
    };
    SnmpColumn names = WalkSnmpColumn(kIfName, get, most);
    // Agents of the old MIB-II only have the description, which is the name there.
    if (outcome(names) == SnmpOutcome::Answered && names.Rows.empty()) names = WalkSnmpColumn(kIfDescr, get, most);
    result.Outcome = outcome(names);
    SnmpColumn aliases, speeds;
    if (result.Outcome == SnmpOutcome::Answered) {
        aliases = WalkSnmpColumn(kIfAlias, get, most);
        result.Outcome = outcome(aliases);
    }
    if (result.Outcome == SnmpOutcome::Answered) {
        speeds = WalkSnmpColumn(kIfHighSpeed, get, most);
        result.Outcome = outcome(speeds);
    }

    // What came before a failure is kept: the names are worth more than waiting for the retry.
    std::set<std::uint32_t> indices;
    for (const SnmpColumn* column : {&names, &aliases, &speeds})
        for (const auto& [index, variable] : column->Rows) {
            if (indices.size() >= most) break;
            indices.insert(index);
        }
    const auto text = [](const SnmpColumn& Column, std::uint32_t Index) {
        const auto it = Column.Rows.find(Index);
        return it != Column.Rows.end() && it->second.Kind == SnmpVarbind::Type::Text ? SaneSnmpText(it->second.Text)
                                                                                     : std::string();
    };
    for (const std::uint32_t index : indices) {
        const auto speed = speeds.Rows.find(index);
        const std::uint64_t mbps =
            speed != speeds.Rows.end() && speed->second.Kind == SnmpVarbind::Type::Number ? speed->second.Number : 0;
        if (Target_.SetPolled(Address, index, text(names, index), text(aliases, index), mbps)) ++result.Interfaces;
    }
    return result;
}

void SnmpPoller::Run() {
    std::unique_lock<std::mutex> lock(Lock_);
    while (!Stop_) {
        const std::int64_t now = Now_();
        auto due = Exporters_.end();
        for (auto it = Exporters_.begin(); it != Exporters_.end(); ++it)
            if (!it->second.Polling && (due == Exporters_.end() || it->second.DueMs < due->second.DueMs)) due = it;
        if (due == Exporters_.end() || due->second.DueMs > now) {
            const std::int64_t sleep =
                due == Exporters_.end() ? kLongestSleepMs : std::min(due->second.DueMs - now, kLongestSleepMs);
            Changed_.wait_for(lock, std::chrono::milliseconds(sleep), [this] { return Stop_ || Woken_; });
            Woken_ = false;
            continue;
        }
        const FlowAddress address = due->first;
        due->second.Polling = true;
        ++Status_.Polls;
        lock.unlock();
        Poll poll;
        try {
            poll = PollOne(address);
        } catch (...) {
            // Out of memory in the middle of a walk: the next try may fare better.
            poll.Outcome = SnmpOutcome::Failed;
        }
        const std::int64_t finished = Now_();
        lock.lock();
        Exporter& exporter = Exporters_.at(address);
        exporter.Polling = false;
        exporter.Interfaces = poll.Interfaces;
        // Said once, and again when it changes: an hourly "still fine" would only be noise.
        const bool news = Options_.Say && (!exporter.Last || *exporter.Last != poll.Outcome ||
                                           (poll.Outcome == SnmpOutcome::Answered && poll.Interfaces == 0));
        exporter.Last = poll.Outcome;
        switch (poll.Outcome) {
            case SnmpOutcome::Answered:
                ++Status_.Answered;
                exporter.DueMs = finished + Options_.IntervalMs;
                break;
            case SnmpOutcome::TimedOut:
                ++Status_.TimedOut;
                exporter.DueMs = finished + Options_.RetryMs;
                break;
            case SnmpOutcome::Failed:
                ++Status_.Failed;
                exporter.DueMs = finished + Options_.RetryMs;
                break;
        }
        if (news) {
            lock.unlock();
            Options_.Say(OutcomeText(address, poll, Options_));
            lock.lock();
        }
    }
}
