#include "TrafficNames.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <optional>
#include <unordered_map>

#include "InterfaceNames.h"
#include "Locations.h"
#include "ReverseDns.h"

namespace trafficnames {

namespace {

struct KnownProtocol {
    std::uint8_t Number;
    const char* Name;
};

// The names an operator expects, whatever the local protocol database spells.
constexpr KnownProtocol kKnown[] = {
    {1, "ICMP"}, {2, "IGMP"},    {6, "TCP"},   {17, "UDP"},  {41, "IPv6"},  {47, "GRE"},   {50, "ESP"},
    {51, "AH"},  {58, "ICMPv6"}, {89, "OSPF"}, {103, "PIM"}, {112, "VRRP"}, {132, "SCTP"},
};

std::string Upper(std::string Text) {
    for (char& c : Text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Text;
}

std::string Scaled(double Value, const char* const* Units, int UnitCount, const char* Suffix) {
    int unit = 0;
    while (Value >= 999.95 && unit + 1 < UnitCount) {
        Value /= 1000.0;
        ++unit;
    }
    char text[64];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f %s%s", Value, Units[0], Suffix);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s%s", Value, Units[unit], Suffix);
    }
    return text;
}

}  // namespace

std::string ProtocolName(std::uint8_t Protocol) {
    static std::array<std::optional<std::string>, 256> cache;
    std::optional<std::string>& cached = cache[Protocol];
    if (cached) return *cached;
    for (const KnownProtocol& p : kKnown) {
        if (p.Number == Protocol) return *(cached = p.Name);
    }
    if (const protoent* entry = ::getprotobynumber(Protocol); entry != nullptr && entry->p_name != nullptr)
        return *(cached = Upper(entry->p_name));
    return *(cached = std::to_string(Protocol));
}

int ProtocolNumber(const std::string& Name) {
    const std::string wanted = Upper(Name);
    if (wanted.empty()) return -1;
    for (int p = 0; p < 256; ++p) {
        if (ProtocolName(static_cast<std::uint8_t>(p)) == wanted) return p;
    }
    return -1;
}

const std::string& ServiceName(std::uint16_t Port) {
    static std::unordered_map<std::uint16_t, std::string> cache;
    if (auto found = cache.find(Port); found != cache.end()) return found->second;
    std::string name;
    for (const char* proto : {"tcp", "udp"}) {
        if (const servent* entry = ::getservbyport(htons(Port), proto); entry != nullptr && entry->s_name != nullptr) {
            name = entry->s_name;
            break;
        }
    }
    return cache.emplace(Port, std::move(name)).first->second;
}

std::string FormatBytes(std::uint64_t Bytes) {
    static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    return Scaled(static_cast<double>(Bytes), kUnits, 6, "");
}

std::string FormatBitRate(double BitsPerSecond) {
    static const char* const kUnits[] = {"", "k", "M", "G", "T"};
    return Scaled(BitsPerSecond < 0 ? 0 : BitsPerSecond, kUnits, 5, "bit/s");
}

std::string FormatShare(std::uint64_t Part, std::uint64_t Whole) {
    if (Whole == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(Part) / static_cast<double>(Whole));
    return text;
}

std::string InterfaceLabel(const InterfaceNames* Names, const FlowAddress& Exporter, std::uint32_t Index) {
    return Names != nullptr ? Names->Label(Exporter, Index) : std::to_string(Index);
}

std::string EstimateNote(const TrafficTotals& Totals) {
    if (!Totals.Estimated()) return {};
    std::string note = "estimated from sampled data, " + SamplingText(Totals.SampledLow);
    if (Totals.SampledHigh != Totals.SampledLow) note += " to " + SamplingText(Totals.SampledHigh);
    return note;
}

std::string SamplingText(std::uint32_t Rate) { return Rate > 1 ? "1 in " + std::to_string(Rate) : std::string(); }

std::string FormatDuration(std::int64_t Ms) {
    const std::uint64_t magnitude = Ms < 0 ? 0 - static_cast<std::uint64_t>(Ms) : static_cast<std::uint64_t>(Ms);
    char text[40];
    std::snprintf(text, sizeof text, "%s%llu.%03llu s", Ms < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 1000), static_cast<unsigned long long>(magnitude % 1000));
    return text;
}

std::string DescribeKey(TalkerKind Kind, const TalkerKey& Key, const InterfaceNames* Names) {
    ViewNames names;
    names.Interfaces = Names;
    return DescribeKey(Kind, Key, names);
}

std::string AddressLabel(const FlowAddress& Address, names::ReverseDns* Hosts) {
    std::string text = Address.ToString();
    if (Hosts == nullptr || Address.Kind == FlowAddress::None) return text;
    const std::optional<std::string> name = Hosts->Lookup(Address);
    if (name && !name->empty()) text += " (" + *name + ")";
    return text;
}

std::string CountryLabel(const FlowAddress& Address, names::Locator* Places) {
    if (Places == nullptr) return "-";
    const std::string code = names::CountryCode(Places->Find(Address).Country);
    return code.empty() ? "-" : code;
}

std::string AsLabel(const FlowAddress& Address, names::Locator* Places) {
    if (Places == nullptr) return "-";
    const std::uint32_t asn = Places->Find(Address).Asn;
    return names::AsLabel(asn, asn != 0 ? Places->AsName(asn) : std::string());
}

std::string Utilisation(double BitsPerSecond, std::uint64_t SpeedMbps) {
    if (SpeedMbps == 0) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * BitsPerSecond / (static_cast<double>(SpeedMbps) * 1e6));
    return text;
}

std::string DescribeKey(TalkerKind Kind, const TalkerKey& Key, const ViewNames& Names) {
    switch (Kind) {
        case TalkerKind::Conversation:
            return AddressLabel(KeyAddress(Key, 0), Names.Hosts) + " <-> " +
                   AddressLabel(KeyAddress(Key, 1), Names.Hosts);
        case TalkerKind::Protocol:
            return ProtocolName(KeyProtocol(Key));
        case TalkerKind::DestinationPort: {
            const std::string& service = ServiceName(KeyPort(Key));
            return std::to_string(KeyPort(Key)) + (service.empty() ? "" : " (" + service + ")");
        }
        case TalkerKind::Interface: {
            const FlowAddress exporter = KeyAddress(Key, 0);
            return exporter.ToString() + ", " + InterfaceLabel(Names.Interfaces, exporter, KeyInterface(Key)) +
                   (KeyDirection(Key) == InterfaceDirection::In ? ", in" : ", out");
        }
        case TalkerKind::SourceCountry:
        case TalkerKind::DestinationCountry: {
            const auto country = static_cast<std::uint16_t>(KeyNumber(Key));
            if (country == 0) return kNoPlace;
            const std::string name = Names.Places != nullptr ? Names.Places->CountryName(country) : std::string();
            return names::CountryCode(country) + (name.empty() ? "" : " (" + name + ")");
        }
        case TalkerKind::SourceAs:
        case TalkerKind::DestinationAs: {
            const std::uint32_t asn = KeyNumber(Key);
            if (asn == 0) return kNoPlace;
            return names::AsLabel(asn, Names.Places != nullptr ? Names.Places->AsName(asn) : std::string());
        }
        case TalkerKind::Source:
        case TalkerKind::Destination:
            return AddressLabel(KeyAddress(Key, 0), Names.Hosts);
        case TalkerKind::Exporter:
            return KeyAddress(Key, 0).ToString();
    }
    return {};
}

}  // namespace trafficnames
