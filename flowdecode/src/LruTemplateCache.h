#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace netflowlib {

// Templates by exporter, scope (a version 9 source id, an IPFIX observation domain) and template
// id, at most Capacity of them: a new one beyond that pushes out the one used least recently, so a
// stream of made-up template ids cannot grow the store without end.
template <typename Value>
class LruTemplateCache {
  public:
    explicit LruTemplateCache(std::size_t Capacity) : Capacity_(Capacity) {}

    // The template for this key, or nullptr; a hit counts as a use. The pointer stays valid until
    // the next Store, Withdraw, WithdrawAll or Clear.
    const Value* Find(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID) {
        const auto It = Index_.find(Probe(Sender, Scope, TemplateID));
        if (It == Index_.end()) return nullptr;
        Entries_.splice(Entries_.begin(), Entries_, It->second);
        return &It->second->Template;
    }

    // Relearning a kept template replaces it and counts as its latest use.
    void Store(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID, Value Template) {
        const auto It = Index_.find(Probe(Sender, Scope, TemplateID));
        if (It != Index_.end()) {
            It->second->Template = std::move(Template);
            Entries_.splice(Entries_.begin(), Entries_, It->second);
            return;
        }
        if (Capacity_ == 0) return;
        if (Index_.size() >= Capacity_) {
            Index_.erase(Entries_.back().Key);
            Entries_.pop_back();
        }
        Entries_.push_front(tEntry{Probe_, std::move(Template)});
        Index_.emplace(Probe_, Entries_.begin());
    }

    // True when there was such a template.
    bool Withdraw(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID) {
        const auto It = Index_.find(Probe(Sender, Scope, TemplateID));
        if (It == Index_.end()) return false;
        Entries_.erase(It->second);
        Index_.erase(It);
        return true;
    }

    // Every template of one scope; the number withdrawn. Rare (an exporter resetting its
    // templates), so a scan of the whole store is acceptable.
    int WithdrawAll(std::string_view Sender, std::uint32_t Scope) {
        int Count = 0;
        for (auto It = Entries_.begin(); It != Entries_.end();) {
            if (It->Key.Scope == Scope && It->Key.Sender == Sender) {
                Index_.erase(It->Key);
                It = Entries_.erase(It);
                ++Count;
            } else {
                ++It;
            }
        }
        return Count;
    }

    void Clear() {
        Index_.clear();
        Entries_.clear();
    }
    std::size_t Size() const { return Index_.size(); }
    std::size_t Capacity() const { return Capacity_; }

  private:
    struct tKey {
        std::string Sender;
        std::uint32_t Scope = 0;
        std::int32_t TemplateID = 0;
        bool operator==(const tKey&) const = default;
    };
    struct tKeyHash {
        std::size_t operator()(const tKey& Key) const {
            const std::size_t h = std::hash<std::string_view>{}(Key.Sender);
            const std::uint64_t Rest = (std::uint64_t{Key.Scope} << 32) | static_cast<std::uint32_t>(Key.TemplateID);
            return h ^ ((Rest * 0x9E3779B97F4A7C15ULL) + (h << 6) + (h >> 2));
        }
    };
    struct tEntry {
        tKey Key;
        Value Template;
    };

    // Reused for every lookup, so that finding a known template allocates nothing.
    const tKey& Probe(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID) {
        Probe_.Sender.assign(Sender);
        Probe_.Scope = Scope;
        Probe_.TemplateID = TemplateID;
        return Probe_;
    }

    std::size_t Capacity_;
    std::list<tEntry> Entries_;  // most recently used first
    std::unordered_map<tKey, typename std::list<tEntry>::iterator, tKeyHash> Index_;
    tKey Probe_;
};

}  // namespace netflowlib
