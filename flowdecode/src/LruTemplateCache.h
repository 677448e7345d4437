#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace netflowlib {

// Templates by exporter (the sender's address text), scope (a version 9 source id, an IPFIX
// observation domain) and template id, under two bounds, so that a stream of made-up template ids
// cannot grow the store without end and one exporter cannot crowd out the others:
// - a sender keeps at most PerSenderCapacity templates; one more pushes out its own least recently
//   used template, never another sender's;
// - all senders together keep at most TotalCapacity; one more then pushes out the least recently
//   used template of the sender least recently active (a template of it used or learned).
// Find, Store and Withdraw take constant time on average, and so does WithdrawAll apart from the
// templates it actually removes: one IPFIX message can hold thousands of "withdraw all" records.
template <typename Value>
class LruTemplateCache {
  public:
    LruTemplateCache(std::size_t TotalCapacity, std::size_t PerSenderCapacity)
        : Total_(TotalCapacity), PerSender_(std::min(PerSenderCapacity, TotalCapacity)) {}

    // The template for this key, or nullptr; a hit counts as a use of the template and of its sender.
    // The pointer stays valid until the next Store, Withdraw, WithdrawAll or Clear.
    const Value* Find(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID) {
        const auto Known = ByName_.find(Sender);
        if (Known == ByName_.end()) return nullptr;
        const tSenderIt Owner = Known->second;
        const auto It = Owner->Index.find(Key(Scope, TemplateID));
        if (It == Owner->Index.end()) return nullptr;
        Touch(Owner, It->second);
        return &It->second->Template;
    }

    // Relearning a kept template replaces it and counts as its latest use.
    void Store(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID, Value Template) {
        const auto Known = ByName_.find(Sender);
        if (Known != ByName_.end()) {
            const auto It = Known->second->Index.find(Key(Scope, TemplateID));
            if (It != Known->second->Index.end()) {
                It->second->Template = std::move(Template);
                Touch(Known->second, It->second);
                return;
            }
        }
        if (PerSender_ == 0) return;
        tSenderIt Owner;
        if (Known != ByName_.end()) {
            Owner = Known->second;
            // Active first, so that the total bound takes from someone else: a sender below its own
            // cap holds fewer than the total, so while the total is reached there is another sender.
            Senders_.splice(Senders_.begin(), Senders_, Owner);
            if (Owner->Templates.size() >= PerSender_) {
                EvictOldest(*Owner);
            } else if (Size_ >= Total_) {
                EvictForTotal();
            }
        } else {
            if (Size_ >= Total_) EvictForTotal();
            Owner = AddSender(Sender);
        }
        std::list<std::int32_t>& Ids = Owner->Scopes[Scope];
        Ids.push_front(TemplateID);
        Owner->Templates.push_front(tEntry{Scope, TemplateID, Ids.begin(), std::move(Template)});
        Owner->Index.emplace(Key(Scope, TemplateID), Owner->Templates.begin());
        ++Size_;
    }

    // True when there was such a template.
    bool Withdraw(std::string_view Sender, std::uint32_t Scope, std::int32_t TemplateID) {
        const auto Known = ByName_.find(Sender);
        if (Known == ByName_.end()) return false;
        const tSenderIt Owner = Known->second;
        const auto It = Owner->Index.find(Key(Scope, TemplateID));
        if (It == Owner->Index.end()) return false;
        Forget(*Owner, It->second);
        if (Owner->Templates.empty()) RemoveSender(Owner);
        return true;
    }

    // Every template of one scope of one sender; the number withdrawn.
    int WithdrawAll(std::string_view Sender, std::uint32_t Scope) {
        const auto Known = ByName_.find(Sender);
        if (Known == ByName_.end()) return 0;
        const tSenderIt Owner = Known->second;
        const auto Scoped = Owner->Scopes.find(Scope);
        if (Scoped == Owner->Scopes.end()) return 0;
        const std::list<std::int32_t> Ids = std::move(Scoped->second);
        Owner->Scopes.erase(Scoped);
        for (const std::int32_t TemplateID : Ids) {
            const auto It = Owner->Index.find(Key(Scope, TemplateID));
            Owner->Templates.erase(It->second);
            Owner->Index.erase(It);
        }
        Size_ -= Ids.size();
        if (Owner->Templates.empty()) RemoveSender(Owner);
        return static_cast<int>(Ids.size());
    }

    // Forgets every template; the count of evictions stays, it is the running program's.
    void Clear() {
        ByName_.clear();
        Senders_.clear();
        Size_ = 0;
    }
    std::size_t Size() const { return Size_; }
    // The total bound.
    std::size_t Capacity() const { return Total_; }
    std::size_t PerSenderCapacity() const { return PerSender_; }
    // Templates pushed out by either bound since the cache was made (not those withdrawn).
    std::uint64_t Evicted() const { return Evicted_; }

  private:
    struct tEntry {
        std::uint32_t Scope = 0;
        std::int32_t TemplateID = 0;
        std::list<std::int32_t>::iterator InScope;  // its place among its scope's ids
        Value Template;
    };
    using tEntryIt = typename std::list<tEntry>::iterator;

    struct tSender {
        // Never changed once the sender is listed: ByName_ is keyed by a view of it.
        std::string Name;
        std::list<tEntry> Templates;  // most recently used first
        std::unordered_map<std::uint64_t, tEntryIt> Index;
        // The template ids of each scope, so that withdrawing a scope visits only its own templates.
        // A scope without templates has no entry, which makes a repeated withdrawal cost one lookup.
        std::unordered_map<std::uint32_t, std::list<std::int32_t>> Scopes;
    };
    using tSenderIt = typename std::list<tSender>::iterator;

    static std::uint64_t Key(std::uint32_t Scope, std::int32_t TemplateID) {
        return (std::uint64_t{Scope} << 32) | static_cast<std::uint32_t>(TemplateID);
    }

    void Touch(tSenderIt Owner, tEntryIt Entry) {
        Owner->Templates.splice(Owner->Templates.begin(), Owner->Templates, Entry);
        Senders_.splice(Senders_.begin(), Senders_, Owner);
    }

    tSenderIt AddSender(std::string_view Sender) {
        Senders_.emplace_front();
        const tSenderIt Owner = Senders_.begin();
        Owner->Name.assign(Sender);
        ByName_.emplace(std::string_view(Owner->Name), Owner);
        return Owner;
    }

    void RemoveSender(tSenderIt Owner) {
        ByName_.erase(std::string_view(Owner->Name));
        Senders_.erase(Owner);
    }

    void Forget(tSender& Owner, tEntryIt Entry) {
        const auto Scoped = Owner.Scopes.find(Entry->Scope);
        Scoped->second.erase(Entry->InScope);
        if (Scoped->second.empty()) Owner.Scopes.erase(Scoped);
        Owner.Index.erase(Key(Entry->Scope, Entry->TemplateID));
        Owner.Templates.erase(Entry);
        --Size_;
    }

    // The sender's least recently used template makes room. Left without any, the sender stays: it
    // is the one about to store.
    void EvictOldest(tSender& Owner) {
        Forget(Owner, std::prev(Owner.Templates.end()));
        ++Evicted_;
    }

    // A sender left without templates goes, so that senders never outnumber templates.
    void EvictForTotal() {
        const tSenderIt LeastActive = std::prev(Senders_.end());
        EvictOldest(*LeastActive);
        if (LeastActive->Templates.empty()) RemoveSender(LeastActive);
    }

    std::size_t Total_;
    std::size_t PerSender_;
    std::size_t Size_ = 0;
    std::uint64_t Evicted_ = 0;
    std::list<tSender> Senders_;  // most recently active first
    // Keyed by views of tSender::Name (list nodes never move), so a lookup allocates nothing.
    std::unordered_map<std::string_view, tSenderIt> ByName_;
};

}  // namespace netflowlib
