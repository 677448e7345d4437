#include <functional>
#include <list>
#include <string>
#include <unordered_map>

#include "flowdecode/Ipfix.h"

namespace netflowlib {

// The least-recently-used map behind IpfixTemplateStore.
class IpfixTemplateCache {
  public:
    explicit IpfixTemplateCache(std::size_t Capacity) : Capacity_(Capacity) {}

    struct tKey {
        std::string Sender;
        std::uint32_t Domain = 0;
        std::uint16_t TemplateID = 0;
        bool operator==(const tKey&) const = default;
    };
    struct tKeyHash {
        std::size_t operator()(const tKey& Key) const {
            std::size_t h = std::hash<std::string_view>{}(Key.Sender);
            const std::uint64_t Rest = (std::uint64_t{Key.Domain} << 16) | Key.TemplateID;
            return h ^ ((Rest * 0x9E3779B97F4A7C15ULL) + (h << 6) + (h >> 2));
        }
    };
    struct tEntry {
        tKey Key;
        tIpfixTemplate Template;
    };

    std::size_t Capacity_;
    std::list<tEntry> Entries_;  // most recently used first
    std::unordered_map<tKey, std::list<tEntry>::iterator, tKeyHash> Index_;
    // Reused for every lookup so that a Find of a known template does not allocate.
    tKey Probe_;

    const tKey& Probe(std::string_view sSender, std::uint32_t Domain, std::uint16_t TemplateID) {
        Probe_.Sender.assign(sSender);
        Probe_.Domain = Domain;
        Probe_.TemplateID = TemplateID;
        return Probe_;
    }
};

IpfixTemplateStore::IpfixTemplateStore(std::size_t Capacity) : Cache_(std::make_unique<IpfixTemplateCache>(Capacity)) {}

IpfixTemplateStore::~IpfixTemplateStore() = default;

const tIpfixTemplate* IpfixTemplateStore::Find(std::string_view sSender, std::uint32_t Domain,
                                               std::uint16_t TemplateID) {
    auto& C = *Cache_;
    const auto It = C.Index_.find(C.Probe(sSender, Domain, TemplateID));
    if (It == C.Index_.end()) return nullptr;
    C.Entries_.splice(C.Entries_.begin(), C.Entries_, It->second);
    return &It->second->Template;
}

void IpfixTemplateStore::Store(std::string_view sSender, std::uint32_t Domain, tIpfixTemplate Template) {
    auto& C = *Cache_;
    const auto It = C.Index_.find(C.Probe(sSender, Domain, Template.TemplateID));
    if (It != C.Index_.end()) {
        It->second->Template = std::move(Template);
        C.Entries_.splice(C.Entries_.begin(), C.Entries_, It->second);
        return;
    }
    if (C.Capacity_ == 0) return;
    if (C.Index_.size() >= C.Capacity_) {
        C.Index_.erase(C.Entries_.back().Key);
        C.Entries_.pop_back();
    }
    C.Entries_.push_front(IpfixTemplateCache::tEntry{C.Probe_, std::move(Template)});
    C.Index_.emplace(C.Probe_, C.Entries_.begin());
}

bool IpfixTemplateStore::Withdraw(std::string_view sSender, std::uint32_t Domain, std::uint16_t TemplateID) {
    auto& C = *Cache_;
    const auto It = C.Index_.find(C.Probe(sSender, Domain, TemplateID));
    if (It == C.Index_.end()) return false;
    C.Entries_.erase(It->second);
    C.Index_.erase(It);
    return true;
}

// Rare (an exporter resetting its templates), so a scan of the whole store is acceptable.
int IpfixTemplateStore::WithdrawAll(std::string_view sSender, std::uint32_t Domain) {
    auto& C = *Cache_;
    int Count = 0;
    for (auto It = C.Entries_.begin(); It != C.Entries_.end();) {
        if (It->Key.Domain == Domain && It->Key.Sender == sSender) {
            C.Index_.erase(It->Key);
            It = C.Entries_.erase(It);
            ++Count;
        } else {
            ++It;
        }
    }
    return Count;
}

void IpfixTemplateStore::Clear() {
    Cache_->Index_.clear();
    Cache_->Entries_.clear();
}

std::size_t IpfixTemplateStore::Size() const { return Cache_->Index_.size(); }
std::size_t IpfixTemplateStore::Capacity() const { return Cache_->Capacity_; }

IpfixTemplateStore& ProcessIpfixTemplateStore() {
    static IpfixTemplateStore Store;
    return Store;
}

}  // namespace netflowlib
