#include "FlowFilter.h"

#include <cctype>
#include <charconv>
#include <sstream>

#include "TrafficNames.h"

namespace {

bool ParseNumber(const std::string& Text, unsigned long Max, unsigned long& Out) {
    if (Text.empty()) return false;
    const char* end = Text.data() + Text.size();
    auto [at, error] = std::from_chars(Text.data(), end, Out);
    return error == std::errc() && at == end && Out <= Max;
}

bool ParseNet(const std::string& Text, FlowAddress& Net, int& Bits) {
    const std::size_t slash = Text.find('/');
    Net = FlowAddress::Parse(Text.substr(0, slash));
    if (Net.Kind == FlowAddress::None) return false;
    const int whole = Net.Kind == FlowAddress::IPv4 ? 32 : 128;
    Bits = whole;
    if (slash == std::string::npos) return true;
    unsigned long bits = 0;
    if (!ParseNumber(Text.substr(slash + 1), static_cast<unsigned long>(whole), bits)) return false;
    Bits = static_cast<int>(bits);
    return true;
}

}  // namespace

bool FlowFilter::ParseTerm(const std::string& Text, Term& Out) {
    std::string lower = Text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.rfind("exporter:", 0) == 0) {
        Out.What = Term::Kind::Exporter;
        return ParseNet(Text.substr(9), Out.Net, Out.PrefixBits);
    }
    unsigned long number = 0;
    if (lower.rfind("proto:", 0) == 0) {
        Out.What = Term::Kind::Protocol;
        const std::string rest = lower.substr(6);
        if (ParseNumber(rest, 255, number)) {
            Out.Protocol = static_cast<std::uint8_t>(number);
            return true;
        }
        const int p = trafficnames::ProtocolNumber(rest);
        Out.Protocol = static_cast<std::uint8_t>(p);
        return p >= 0;
    }
    if (ParseNumber(lower, 65535, number)) {
        Out.What = Term::Kind::Port;
        Out.Port = static_cast<std::uint16_t>(number);
        return true;
    }
    if (ParseNet(Text, Out.Net, Out.PrefixBits)) {
        Out.What = Term::Kind::Address;
        return true;
    }
    const int p = trafficnames::ProtocolNumber(lower);
    Out.What = Term::Kind::Protocol;
    Out.Protocol = static_cast<std::uint8_t>(p);
    return p >= 0;
}

bool FlowFilter::Parse(const std::string& Text, std::string* Error) {
    std::vector<Term> terms;
    std::istringstream words(Text);
    for (std::string word; words >> word;) {
        Term term;
        if (!ParseTerm(word, term)) {
            if (Error != nullptr) *Error = "not an address, prefix, port, protocol or exporter: " + word;
            Terms_.clear();
            return false;
        }
        terms.push_back(term);
    }
    Terms_ = std::move(terms);
    if (Error != nullptr) Error->clear();
    return true;
}

bool FlowFilter::InNet(const FlowAddress& A, const Term& T) {
    if (A.Kind != T.Net.Kind) return false;
    const int full = T.PrefixBits / 8;
    for (int i = 0; i < full; ++i) {
        if (A.Bytes[static_cast<std::size_t>(i)] != T.Net.Bytes[static_cast<std::size_t>(i)]) return false;
    }
    const int rest = T.PrefixBits % 8;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (A.Bytes[static_cast<std::size_t>(full)] & mask) == (T.Net.Bytes[static_cast<std::size_t>(full)] & mask);
}

bool FlowFilter::Matches(const FlowRecord& R) const {
    for (const Term& t : Terms_) {
        bool hit = false;
        switch (t.What) {
            case Term::Kind::Address:
                hit = InNet(R.Source, t) || InNet(R.Destination, t) || InNet(R.Exporter, t);
                break;
            case Term::Kind::Exporter:
                hit = InNet(R.Exporter, t);
                break;
            case Term::Kind::Port:
                hit = R.SourcePort == t.Port || R.DestinationPort == t.Port;
                break;
            case Term::Kind::Protocol:
                hit = R.Protocol == t.Protocol;
                break;
        }
        if (!hit) return false;
    }
    return true;
}
