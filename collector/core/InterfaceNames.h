#pragma once

// Interface names and descriptions per exporter and interface index, as routers send them in
// options data. Written by the listener thread when such data arrives (rarely), read by the views.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "FlowAddress.h"

struct InterfaceName {
    std::string Name;
    std::string Description;
};

class InterfaceNames {
  public:
    // More entries than this are a flood, not a router's interfaces: later ones are not kept.
    static constexpr std::size_t kCapacity = 65536;

    // False when the table is full and this is a new entry, or when both texts are empty.
    bool Set(const FlowAddress& Exporter, std::uint32_t Index, const std::string& Name, const std::string& Description);
    // Empty texts when unknown.
    InterfaceName Find(const FlowAddress& Exporter, std::uint32_t Index) const;
    // "Gi0/0/1 (3)" where the name is known, else "3".
    std::string Label(const FlowAddress& Exporter, std::uint32_t Index) const;
    std::size_t Size() const;

  private:
    mutable std::mutex Lock_;
    std::map<std::pair<FlowAddress, std::uint32_t>, InterfaceName> Names_;
};
