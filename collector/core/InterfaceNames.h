#pragma once

// Interface names, descriptions and speeds per exporter and interface index. Routers send names in
// options data (written by the listener thread when such data arrives, rarely); where they do not,
// the SNMP poller asks the exporter's agent. The views read both.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "FlowAddress.h"

// Where a text came from: what the exporter states in its own export is taken over what its agent
// says, since the operator configured the export and may have named things there on purpose.
enum class InterfaceSource : std::uint8_t { None, Options, Polled };

struct InterfaceName {
    std::string Name;
    std::string Description;
    std::uint64_t SpeedMbps = 0;  // 0 = unknown; only the agent tells it
    InterfaceSource NameSource = InterfaceSource::None;
    InterfaceSource DescriptionSource = InterfaceSource::None;
};

class InterfaceNames {
  public:
    // More entries than this are a flood, not a router's interfaces: later ones are not kept.
    static constexpr std::size_t kCapacity = 65536;

    // From options data. False when the table is full and this is a new entry, or when both texts
    // are empty. Replaces polled texts; keeps the polled speed.
    bool Set(const FlowAddress& Exporter, std::uint32_t Index, const std::string& Name, const std::string& Description);
    // From the exporter's agent: the latest answer replaces the previous one (an empty text clears
    // what an earlier poll said), but never a text from options data. False when the table is full
    // and this is a new entry, or when a new entry would hold nothing.
    bool SetPolled(const FlowAddress& Exporter, std::uint32_t Index, const std::string& Name, const std::string& Alias,
                   std::uint64_t SpeedMbps);
    // Empty texts and speed 0 when unknown.
    InterfaceName Find(const FlowAddress& Exporter, std::uint32_t Index) const;
    // "Gi0/0/1 (3)" where the name is known, else "3".
    std::string Label(const FlowAddress& Exporter, std::uint32_t Index) const;
    std::size_t Size() const;

  private:
    mutable std::mutex Lock_;
    std::map<std::pair<FlowAddress, std::uint32_t>, InterfaceName> Names_;
};
