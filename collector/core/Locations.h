#pragma once

// Countries and AS numbers of addresses, from the location database that Debian ships
// (libloc-database). Looked up where flows are aggregated, stored or shown, never on the listener.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "FlowAddress.h"

struct loc_ctx;
struct loc_database;

namespace names {

inline constexpr const char* kLocationDatabase = "/var/lib/location/database.db";

// Where an address belongs. A country is its two letters packed into one number, the first in the
// high byte, so that it can be a key or a summary's number; 0 where the database knows none.
struct Place {
    std::uint32_t Asn = 0;
    std::uint16_t Country = 0;

    friend bool operator==(const Place&, const Place&) = default;
};

// "US" -> 0x5553; 0 unless Code is two ASCII letters or digits.
std::uint16_t PackCountry(const char* Code);
// 0x5553 -> "US"; empty for 0.
std::string CountryCode(std::uint16_t Country);
// "AS15169 GOOGLE", "AS64512" where the name is unknown; "-" for 0.
std::string AsLabel(std::uint32_t Asn, const std::string& Name);

// The facts of a database file that the Help box and standard error give.
struct LocationFacts {
    std::string Path;
    std::int64_t CreatedMs = 0;
};

// Lookups in one handle of the database, with a cache of recent addresses: a lookup walks the
// database's tree (about 1.4 us), a hit in the cache costs a hash. libloc's objects are not safe to
// share between threads, so every thread that looks up opens a Locator of its own; the file is
// mapped, so that they share its pages.
class Locator {
  public:
    // CacheSlots is rounded up to a power of two. Null, with Error set, when the file cannot be
    // opened or is no location database.
    static std::unique_ptr<Locator> Open(const std::string& Path, std::string* Error = nullptr,
                                         std::size_t CacheSlots = 65536);
    ~Locator();
    Locator(const Locator&) = delete;
    Locator& operator=(const Locator&) = delete;

    Place Find(const FlowAddress& Address);
    // The AS's name, as the database has it; empty where it has none.
    const std::string& AsName(std::uint32_t Asn);
    // "United States of America"; empty where unknown.
    std::string CountryName(std::uint16_t Country);

    const LocationFacts& Facts() const { return Facts_; }
    // Addresses whose answer the cache holds.
    std::size_t CachedAddresses() const { return Filled_; }
    std::uint64_t Lookups() const { return Lookups_; }

  private:
    Locator() = default;
    Place LookUp(const FlowAddress& Address);

    struct Slot {
        FlowAddress Address;  // Kind None: empty
        Place Answer;
    };

    loc_ctx* Context_ = nullptr;
    loc_database* Database_ = nullptr;
    LocationFacts Facts_;
    std::vector<Slot> Cache_;
    std::size_t Filled_ = 0;
    std::uint64_t Lookups_ = 0;
    // Bounded by the database itself: it names every AS once.
    std::unordered_map<std::uint32_t, std::string> AsNames_;
};

// The facts of the database at Path without keeping it open; nullopt, with Error set, when it
// cannot be opened.
std::optional<LocationFacts> ReadLocationFacts(const std::string& Path, std::string* Error = nullptr);

}  // namespace names
