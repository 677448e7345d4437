#include "InterfaceNames.h"

bool InterfaceNames::Set(const FlowAddress& Exporter, std::uint32_t Index, const std::string& Name,
                         const std::string& Description) {
    if (Name.empty() && Description.empty()) return false;
    const std::lock_guard<std::mutex> Guard(Lock_);
    const auto Key = std::make_pair(Exporter, Index);
    auto It = Names_.find(Key);
    if (It == Names_.end()) {
        if (Names_.size() >= kCapacity) return false;
        It = Names_.emplace(Key, InterfaceName{}).first;
    }
    // A record that carries only one of the two leaves the other as it was.
    InterfaceName& Entry = It->second;
    if (!Name.empty()) {
        Entry.Name = Name;
        Entry.NameSource = InterfaceSource::Options;
    }
    if (!Description.empty()) {
        Entry.Description = Description;
        Entry.DescriptionSource = InterfaceSource::Options;
    }
    return true;
}

bool InterfaceNames::SetPolled(const FlowAddress& Exporter, std::uint32_t Index, const std::string& Name,
                               const std::string& Alias, std::uint64_t SpeedMbps) {
    const std::lock_guard<std::mutex> Guard(Lock_);
    const auto Key = std::make_pair(Exporter, Index);
    auto It = Names_.find(Key);
    if (It == Names_.end()) {
        if (Names_.size() >= kCapacity || (Name.empty() && Alias.empty() && SpeedMbps == 0)) return false;
        It = Names_.emplace(Key, InterfaceName{}).first;
    }
    InterfaceName& Entry = It->second;
    if (Entry.NameSource != InterfaceSource::Options) {
        Entry.Name = Name;
        Entry.NameSource = Name.empty() ? InterfaceSource::None : InterfaceSource::Polled;
    }
    if (Entry.DescriptionSource != InterfaceSource::Options) {
        Entry.Description = Alias;
        Entry.DescriptionSource = Alias.empty() ? InterfaceSource::None : InterfaceSource::Polled;
    }
    Entry.SpeedMbps = SpeedMbps;
    return true;
}

InterfaceName InterfaceNames::Find(const FlowAddress& Exporter, std::uint32_t Index) const {
    const std::lock_guard<std::mutex> Guard(Lock_);
    const auto It = Names_.find(std::make_pair(Exporter, Index));
    return It == Names_.end() ? InterfaceName{} : It->second;
}

std::string InterfaceNames::Label(const FlowAddress& Exporter, std::uint32_t Index) const {
    const InterfaceName Known = Find(Exporter, Index);
    const std::string Number = std::to_string(Index);
    if (!Known.Name.empty()) return Known.Name + " (" + Number + ")";
    if (!Known.Description.empty()) return Known.Description + " (" + Number + ")";
    return Number;
}

std::size_t InterfaceNames::Size() const {
    const std::lock_guard<std::mutex> Guard(Lock_);
    return Names_.size();
}
