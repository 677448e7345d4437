#include "DnsMessage.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace names {

namespace {

constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeSoa = 6;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kFlagQr = 0x8000;
constexpr std::uint16_t kFlagTc = 0x0200;
constexpr std::uint16_t kFlagRd = 0x0100;
constexpr unsigned kRcodeNoError = 0;
constexpr unsigned kRcodeNxDomain = 3;
constexpr std::size_t kMaxWireName = 255;
constexpr std::size_t kMaxLabel = 63;
// Classless delegation needs one CNAME; a chain this long is a server's mistake or a trap.
constexpr int kMaxChain = 16;

// Every byte of an answer is read through this: a read past the end fails instead of happening.
class Reader {
  public:
    explicit Reader(std::string_view Message) : Message_(Message) {}

    std::size_t Offset() const { return Offset_; }
    bool CanRead(std::size_t Count) const { return Message_.size() - Offset_ >= Count; }

    bool U16(std::uint16_t& Out) {
        if (!CanRead(2)) return false;
        Out = static_cast<std::uint16_t>((Byte(Offset_) << 8) | Byte(Offset_ + 1));
        Offset_ += 2;
        return true;
    }
    bool U32(std::uint32_t& Out) {
        std::uint16_t high = 0, low = 0;
        if (!U16(high) || !U16(low)) return false;
        Out = (std::uint32_t{high} << 16) | low;
        return true;
    }
    bool Skip(std::size_t Count) {
        if (!CanRead(Count)) return false;
        Offset_ += Count;
        return true;
    }

    // The name at the current offset, in its shown form; the offset moves past it (past the first
    // compression pointer when there is one). False when it breaks a rule.
    bool Name(std::string& Out) {
        Out.clear();
        std::size_t at = Offset_;
        // A pointer must go before every byte this name has used so far, so no chain can come back
        // to itself, however the pointers are laid.
        std::size_t floor = Offset_;
        bool jumped = false;
        std::size_t wire = 0;
        for (;;) {
            if (at >= Message_.size()) return false;
            const unsigned length = Byte(at);
            if ((length & 0xc0) == 0xc0) {
                if (at + 1 >= Message_.size()) return false;
                const std::size_t target = ((length & 0x3f) << 8) | Byte(at + 1);
                if (target >= floor) return false;
                if (!jumped) Offset_ = at + 2;
                jumped = true;
                floor = at = target;
                continue;
            }
            if ((length & 0xc0) != 0) return false;  // the extended label types never caught on
            if (length == 0) {
                if (wire + 1 > kMaxWireName) return false;
                if (!jumped) Offset_ = at + 1;
                return true;
            }
            if (length > kMaxLabel || at + 1 + length > Message_.size()) return false;
            wire += 1 + length;
            if (wire + 1 > kMaxWireName) return false;
            if (!Out.empty()) Out += '.';
            for (std::size_t i = at + 1; i < at + 1 + length; ++i) AppendShown(Out, Byte(i));
            at += 1 + length;
        }
    }

  private:
    unsigned Byte(std::size_t At) const { return static_cast<unsigned char>(Message_[At]); }

    static void AppendShown(std::string& Out, unsigned Byte) {
        if (Byte == '.' || Byte == '\\') {
            Out += '\\';
            Out += static_cast<char>(Byte);
        } else if (Byte > 0x20 && Byte < 0x7f) {
            Out += static_cast<char>(Byte);
        } else {
            Out += '\\';
            Out += static_cast<char>('0' + Byte / 100);
            Out += static_cast<char>('0' + Byte / 10 % 10);
            Out += static_cast<char>('0' + Byte % 10);
        }
    }

    std::string_view Message_;
    std::size_t Offset_ = 0;
};

char LowerAscii(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

// Names compare without regard to ASCII case; the shown forms escape alike, so comparing them is enough.
bool SameName(std::string_view A, std::string_view B) {
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// RFC 2181: a TTL with the top bit set is taken as zero.
std::int64_t TtlOf(std::uint32_t Raw) { return (Raw & 0x80000000u) != 0 ? 0 : std::int64_t{Raw}; }

struct Record {
    std::uint16_t Type = 0;
    std::int64_t TtlS = 0;
    std::string Owner;
    std::string Target;  // of a PTR or CNAME
};

// One resource record. Only PTR and CNAME records of class IN are kept (Keep true); the rest are read
// past. SoaTtlS is lowered to an SOA's negative lifetime when Soa is set and the record is one.
bool ReadRecord(Reader& In, Record& Out, bool& Keep, bool Soa, std::int64_t& SoaTtlS) {
    std::uint16_t type = 0, klass = 0, length = 0;
    std::uint32_t ttl = 0;
    if (!In.Name(Out.Owner) || !In.U16(type) || !In.U16(klass) || !In.U32(ttl) || !In.U16(length)) return false;
    if (!In.CanRead(length)) return false;
    const std::size_t end = In.Offset() + length;
    Out.Type = type;
    Out.TtlS = TtlOf(ttl);
    Keep = klass == kClassIn && (type == kTypePtr || type == kTypeCname);
    if (Keep) return In.Name(Out.Target) && In.Offset() == end;
    if (Soa && klass == kClassIn && type == kTypeSoa) {
        std::string server, mailbox;
        std::uint32_t serial = 0, refresh = 0, retry = 0, expire = 0, minimum = 0;
        if (!In.Name(server) || !In.Name(mailbox) || !In.U32(serial) || !In.U32(refresh) || !In.U32(retry) ||
            !In.U32(expire) || !In.U32(minimum) || In.Offset() != end)
            return false;
        const std::int64_t lifetime = std::min(Out.TtlS, TtlOf(minimum));
        SoaTtlS = SoaTtlS < 0 ? lifetime : std::min(SoaTtlS, lifetime);
        return true;
    }
    return In.Skip(length);
}

}  // namespace

std::string ReverseName(const FlowAddress& Address) {
    std::string name;
    if (Address.Kind == FlowAddress::IPv4) {
        for (int i = 3; i >= 0; --i) {
            name += std::to_string(Address.Bytes[static_cast<std::size_t>(i)]);
            name += '.';
        }
        name += "in-addr.arpa";
    } else if (Address.Kind == FlowAddress::IPv6) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (int i = 15; i >= 0; --i) {
            const unsigned byte = Address.Bytes[static_cast<std::size_t>(i)];
            name += kHex[byte & 0xf];
            name += '.';
            name += kHex[byte >> 4];
            name += '.';
        }
        name += "ip6.arpa";
    }
    return name;
}

std::string BuildPtrQuery(std::uint16_t Id, std::string_view Name) {
    std::string query;
    const auto put16 = [&query](unsigned Value) {
        query += static_cast<char>((Value >> 8) & 0xff);
        query += static_cast<char>(Value & 0xff);
    };
    put16(Id);
    put16(kFlagRd);
    put16(1);  // one question, nothing else
    put16(0);
    put16(0);
    put16(0);
    const std::size_t start = query.size();
    while (!Name.empty()) {
        const std::size_t dot = Name.find('.');
        const std::string_view label = Name.substr(0, dot);
        if (label.empty() || label.size() > kMaxLabel) return {};
        query += static_cast<char>(label.size());
        query += label;
        Name = dot == std::string_view::npos ? std::string_view{} : Name.substr(dot + 1);
        if (dot != std::string_view::npos && Name.empty()) return {};  // "a..b" or a trailing dot
    }
    query += '\0';
    if (query.size() - start > kMaxWireName) return {};
    put16(kTypePtr);
    put16(kClassIn);
    return query;
}

DnsAnswer ParsePtrAnswer(std::string_view Message, std::uint16_t Id, std::string_view Name) {
    DnsAnswer answer;
    Reader in(Message);
    std::uint16_t id = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additional = 0;
    if (!in.U16(id) || !in.U16(flags) || !in.U16(questions) || !in.U16(answers) || !in.U16(authorities) ||
        !in.U16(additional))
        return answer;
    const unsigned opcode = (flags >> 11) & 0xf;
    const unsigned rcode = flags & 0xf;
    if (id != Id || (flags & kFlagQr) == 0 || opcode != 0) return answer;
    // Some servers leave the question out of an error; the id is all there is to go by then.
    if (questions == 0 && rcode != kRcodeNoError && rcode != kRcodeNxDomain) {
        answer.Kind = DnsAnswerKind::ServerFailure;
        return answer;
    }
    std::string asked;
    std::uint16_t type = 0, klass = 0;
    if (questions != 1 || !in.Name(asked) || !in.U16(type) || !in.U16(klass)) return answer;
    if (!SameName(asked, Name) || type != kTypePtr || klass != kClassIn) return answer;

    if ((flags & kFlagTc) != 0) {
        answer.Kind = DnsAnswerKind::Truncated;
        return answer;
    }
    if (rcode != kRcodeNoError && rcode != kRcodeNxDomain) {
        answer.Kind = DnsAnswerKind::ServerFailure;
        return answer;
    }

    answer.Kind = DnsAnswerKind::Malformed;
    std::vector<Record> kept;
    std::int64_t soaTtlS = -1;
    Record record;
    for (unsigned i = 0; i < unsigned{answers} + authorities; ++i) {
        bool keep = false;
        if (!ReadRecord(in, record, keep, i >= answers, soaTtlS)) return answer;
        if (keep && i < answers) kept.push_back(std::move(record));
    }
    // The additional section is never needed and is left unread.

    answer.Kind = DnsAnswerKind::NoName;
    answer.TtlS = soaTtlS;
    if (rcode == kRcodeNxDomain) return answer;
    std::string current(Name);
    std::int64_t ttlS = std::numeric_limits<std::int64_t>::max();
    for (int step = 0; step < kMaxChain; ++step) {
        const auto owned = [&current](std::uint16_t Type) {
            return [&current, Type](const Record& r) { return r.Type == Type && SameName(r.Owner, current); };
        };
        const auto ptr = std::find_if(kept.begin(), kept.end(), owned(kTypePtr));
        if (ptr != kept.end()) {
            // A PTR to the root names nothing a person could read.
            if (ptr->Target.empty()) return answer;
            answer.Kind = DnsAnswerKind::Name;
            answer.Name = std::move(ptr->Target);
            answer.TtlS = std::min(ttlS, ptr->TtlS);
            return answer;
        }
        const auto cname = std::find_if(kept.begin(), kept.end(), owned(kTypeCname));
        if (cname == kept.end()) break;
        ttlS = std::min(ttlS, cname->TtlS);
        current = cname->Target;
    }
    return answer;
}

}  // namespace names
