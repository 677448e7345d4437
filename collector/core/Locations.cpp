#include "Locations.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libloc/as.h>
#include <libloc/country.h>
#include <libloc/database.h>
#include <libloc/libloc.h>
#include <libloc/network.h>
}
#include <netinet/in.h>

namespace names {

namespace {

bool CodeChar(char C) { return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9'); }

// The library logs to standard error by default; the collector says what matters itself.
void Quiet(loc_ctx*, int, const char*, int, const char*, const char*, va_list) {}

std::size_t PowerOfTwo(std::size_t N) {
    std::size_t p = 1;
    while (p < N) p <<= 1;
    return p;
}

std::size_t SlotOf(const FlowAddress& A, std::size_t Mask) {
    // Both halves mixed, so that addresses that differ only in their last bytes (a /24 of hosts)
    // or only in their first (IPv6 prefixes) spread over the whole cache.
    std::uint64_t lo = 0, hi = 0;
    std::memcpy(&lo, A.Bytes.data(), 8);
    std::memcpy(&hi, A.Bytes.data() + 8, 8);
    std::uint64_t h = (lo ^ (hi * 0x9E3779B97F4A7C15ULL) ^ A.Kind) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
    h *= 0x94D049BB133111EBULL;
    h ^= h >> 29;
    return static_cast<std::size_t>(h) & Mask;
}

}  // namespace

std::uint16_t PackCountry(const char* Code) {
    if (Code == nullptr || !CodeChar(Code[0]) || !CodeChar(Code[1]) || Code[2] != '\0') return 0;
    auto up = [](char C) { return static_cast<std::uint16_t>(C >= 'a' && C <= 'z' ? C - 'a' + 'A' : C); };
    return static_cast<std::uint16_t>(up(Code[0]) << 8 | up(Code[1]));
}

std::string CountryCode(std::uint16_t Country) {
    if (Country == 0) return {};
    return std::string{static_cast<char>(Country >> 8), static_cast<char>(Country & 0xFF)};
}

std::string AsLabel(std::uint32_t Asn, const std::string& Name) {
    if (Asn == 0) return "-";
    std::string text = "AS" + std::to_string(Asn);
    if (!Name.empty()) text += " " + Name;
    return text;
}

std::unique_ptr<Locator> Locator::Open(const std::string& Path, std::string* Error, std::size_t CacheSlots) {
    auto fail = [&](const std::string& Why) -> std::unique_ptr<Locator> {
        if (Error != nullptr) *Error = Why;
        return nullptr;
    };
    FILE* file = std::fopen(Path.c_str(), "re");
    if (file == nullptr) return fail(Path + ": " + std::strerror(errno));
    std::unique_ptr<Locator> locator(new Locator);
    if (loc_new(&locator->Context_) != 0) {
        std::fclose(file);
        return fail("the location library could not start");
    }
    loc_set_log_fn(locator->Context_, Quiet);
    // The database maps what it needs; the stream is no longer needed once it is open.
    int opened = loc_database_new(locator->Context_, &locator->Database_, file);
    std::fclose(file);
    if (opened != 0 || locator->Database_ == nullptr) {
        locator->Database_ = nullptr;
        return fail(Path + ": not a location database");
    }
    locator->Facts_.Path = Path;
    locator->Facts_.CreatedMs = static_cast<std::int64_t>(loc_database_created_at(locator->Database_)) * 1000;
    locator->Cache_.resize(PowerOfTwo(CacheSlots == 0 ? 1 : CacheSlots));
    return locator;
}

Locator::~Locator() {
    if (Database_ != nullptr) loc_database_unref(Database_);
    if (Context_ != nullptr) loc_unref(Context_);
}

Place Locator::Find(const FlowAddress& Address) {
    if (Address.Kind == FlowAddress::None) return {};
    Slot& slot = Cache_[SlotOf(Address, Cache_.size() - 1)];
    if (slot.Address.Kind != FlowAddress::None && slot.Address == Address) return slot.Answer;
    if (slot.Address.Kind == FlowAddress::None) ++Filled_;
    slot.Address = Address;
    slot.Answer = LookUp(Address);
    return slot.Answer;
}

Place Locator::LookUp(const FlowAddress& Address) {
    ++Lookups_;
    in6_addr key{};
    if (Address.Kind == FlowAddress::IPv4) {
        // The database keeps IPv4 networks as IPv4-mapped IPv6 ones.
        key.s6_addr[10] = 0xFF;
        key.s6_addr[11] = 0xFF;
        std::memcpy(&key.s6_addr[12], Address.Bytes.data(), 4);
    } else {
        std::memcpy(key.s6_addr, Address.Bytes.data(), 16);
    }
    loc_network* network = nullptr;
    Place place;
    if (loc_database_lookup(Database_, &key, &network) == 0 && network != nullptr) {
        place.Asn = loc_network_get_asn(network);
        place.Country = PackCountry(loc_network_get_country_code(network));
        loc_network_unref(network);
    }
    return place;
}

const std::string& Locator::AsName(std::uint32_t Asn) {
    auto [it, added] = AsNames_.try_emplace(Asn);
    if (added && Asn != 0) {
        loc_as* as = nullptr;
        if (loc_database_get_as(Database_, &as, Asn) == 0 && as != nullptr) {
            if (const char* name = loc_as_get_name(as)) it->second = name;
            loc_as_unref(as);
        }
    }
    return it->second;
}

std::string Locator::CountryName(std::uint16_t Country) {
    std::string code = CountryCode(Country);
    if (code.empty()) return {};
    loc_country* country = nullptr;
    std::string name;
    if (loc_database_get_country(Database_, &country, code.c_str()) == 0 && country != nullptr) {
        if (const char* n = loc_country_get_name(country)) name = n;
        loc_country_unref(country);
    }
    return name;
}

std::optional<LocationFacts> ReadLocationFacts(const std::string& Path, std::string* Error) {
    auto locator = Locator::Open(Path, Error, 1);
    if (!locator) return std::nullopt;
    return locator->Facts();
}

}  // namespace names
