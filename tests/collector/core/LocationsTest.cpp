#include <gtest/gtest.h>

#include "CommandLine.h"
#include "Locations.h"
#include "ScratchDirectory.h"

namespace {

using names::Locator;

std::unique_ptr<Locator> Debians(std::size_t Slots = 65536) {
    std::string error;
    auto locator = Locator::Open(names::kLocationDatabase, &error, Slots);
    EXPECT_TRUE(locator) << error << " (scripts/install-deps.sh installs libloc-database)";
    return locator;
}

// The answers of the database Debian 12 ships (dated 2022-10-29), which these names have kept
// for years.
TEST(Locations, PublicAddressesOfBothFamiliesHaveTheirCountryAndAs) {
    auto locator = Debians();
    ASSERT_TRUE(locator);
    names::Place google = locator->Find(FlowAddress::Parse("8.8.8.8"));
    EXPECT_EQ(names::CountryCode(google.Country), "US");
    EXPECT_EQ(google.Asn, 15169u);
    EXPECT_EQ(locator->AsName(15169), "GOOGLE");
    EXPECT_EQ(names::AsLabel(google.Asn, locator->AsName(google.Asn)), "AS15169 GOOGLE");
    EXPECT_EQ(locator->CountryName(google.Country), "United States of America");

    names::Place v6 = locator->Find(FlowAddress::Parse("2001:4860:4860::8888"));
    EXPECT_EQ(names::CountryCode(v6.Country), "US");
    EXPECT_EQ(v6.Asn, 15169u);

    EXPECT_GT(locator->Facts().CreatedMs, 1600000000000);  // after 2020
}

TEST(Locations, AddressesWithoutAnEntryHaveNoPlace) {
    auto locator = Debians();
    ASSERT_TRUE(locator);
    for (const char* text : {"10.1.2.3", "192.168.0.1", "127.0.0.1", "fe80::1", "::1"})
        EXPECT_EQ(locator->Find(FlowAddress::Parse(text)), names::Place{}) << text;
    EXPECT_EQ(locator->Find(FlowAddress{}), names::Place{});
    EXPECT_EQ(locator->AsName(0), "");
    EXPECT_EQ(locator->AsName(4294967294u), "");
    EXPECT_EQ(names::AsLabel(0, ""), "-");
    EXPECT_EQ(names::AsLabel(64512, ""), "AS64512");
}

// A cache of one slot makes every other address evict the one before: answers must stay those of
// the address asked, and a repeated address must not walk the database again.
TEST(Locations, TheCacheNeverAnswersForAnotherAddress) {
    auto tiny = Debians(1);
    ASSERT_TRUE(tiny);
    const FlowAddress google = FlowAddress::Parse("8.8.8.8");
    const FlowAddress lan = FlowAddress::Parse("10.0.0.1");
    // The same bytes as IPv4 and as the start of an IPv6 address differ only in their kind.
    FlowAddress lookalike = google;
    lookalike.Kind = FlowAddress::IPv6;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(tiny->Find(google).Asn, 15169u);
        EXPECT_EQ(tiny->Find(lan).Asn, 0u);
        EXPECT_NE(tiny->Find(lookalike).Asn, 15169u);
    }
    EXPECT_EQ(tiny->CachedAddresses(), 1u);

    auto roomy = Debians(1024);
    ASSERT_TRUE(roomy);
    roomy->Find(google);
    roomy->Find(google);
    roomy->Find(lan);
    EXPECT_EQ(roomy->Lookups(), 2u);
    EXPECT_EQ(roomy->CachedAddresses(), 2u);
}

class LocationFiles : public ScratchDirectoryTest {};

TEST_F(LocationFiles, AMissingOrForeignFileIsRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(Locator::Open(Dir() + "none.db", &error));
    EXPECT_NE(error.find("none.db"), std::string::npos);
    WriteFile(Dir() + "junk.db", std::string(4096, 'x'));
    error.clear();
    EXPECT_FALSE(Locator::Open(Dir() + "junk.db", &error));
    EXPECT_NE(error.find("not a location database"), std::string::npos);
    EXPECT_FALSE(names::ReadLocationFacts(Dir() + "junk.db"));
}

TEST(Locations, CountryCodesPackIntoOneNumberAndBack) {
    EXPECT_EQ(names::PackCountry("US"), 0x5553);
    EXPECT_EQ(names::PackCountry("de"), names::PackCountry("DE"));
    EXPECT_EQ(names::CountryCode(names::PackCountry("A1")), "A1");
    for (const char* bad : {"", "U", "USA", "U-", "\xC3\x9C"}) EXPECT_EQ(names::PackCountry(bad), 0) << bad;
    EXPECT_EQ(names::PackCountry(nullptr), 0);
    EXPECT_EQ(names::CountryCode(0), "");
}

}  // namespace

namespace {

TEST(NameOptions, LookupsAndPollingAreChosenOnTheCommandLine) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(ParseCollectorOptions({"--no-dns", "--snmp-community", "nfc ro", "--snmp-port=1161", "--location-db",
                                       "/tmp/x.db", "--dns-server=[::1]:5353"},
                                      o, error))
        << error;
    EXPECT_FALSE(o.Dns);
    EXPECT_EQ(o.SnmpCommunity, "nfc ro");
    EXPECT_EQ(o.SnmpPort, 1161);
    EXPECT_EQ(o.LocationDatabase, "/tmp/x.db");
    ASSERT_TRUE(o.DnsServer);
    EXPECT_EQ(o.DnsServer->Port, 5353);
    EXPECT_EQ(o.DnsServer->Address, FlowAddress::Parse("::1"));

    CollectorOptions defaults;
    ASSERT_TRUE(ParseCollectorOptions({}, defaults, error));
    EXPECT_TRUE(defaults.Dns);
    EXPECT_FALSE(defaults.DnsServer);
    EXPECT_TRUE(defaults.SnmpCommunity.empty());
    EXPECT_EQ(defaults.LocationDatabase, names::kLocationDatabase);

    // Each mistake names its option, so that the operator knows what to mend.
    const std::vector<std::pair<std::vector<std::string>, const char*>> bad = {
        {{"--dns-server", "dns.example.org"}, "--dns-server"},
        {{"--dns-server", "192.0.2.1:70000"}, "--dns-server"},
        {{"--dns-server"}, "--dns-server"},
        {{"--snmp-community"}, "--snmp-community"},
        {{"--snmp-community="}, "--snmp-community"},
        {{"--snmp-community", "x", "--snmp-port", "0"}, "--snmp-port"},
        {{"--snmp-community", "x", "--snmp-port", "161x"}, "--snmp-port"},
        {{"--snmp-port", "1161"}, "--snmp-port"},
        {{"--location-db="}, "--location-db"},
    };
    for (const auto& [arguments, option] : bad) {
        CollectorOptions fresh;
        error.clear();
        EXPECT_FALSE(ParseCollectorOptions(arguments, fresh, error)) << arguments[0];
        EXPECT_EQ(error.rfind(option, 0), 0u) << error;
    }
}

}  // namespace
