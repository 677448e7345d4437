#include "TemplateStore.h"

#include <functional>

namespace netflowlib {

tTemplateFlowsetFormat gTemplateFlowsetFormat;

std::size_t TemplateCache::tKeyHash::operator()(const tKey& Key) const {
    std::size_t h = std::hash<std::string_view>{}(Key.Sender);
    h ^= (std::size_t{Key.SourceID} * 0x9E3779B97F4A7C15ULL) + (h << 6) + (h >> 2);
    h ^= (static_cast<std::size_t>(static_cast<std::uint32_t>(Key.TemplateID)) * 0xC2B2AE3D27D4EB4FULL) + (h << 6) +
         (h >> 2);
    return h;
}

const tLearnedTemplate* TemplateCache::Find(std::string_view sSender, std::uint32_t SourceID,
                                            std::int32_t TemplateID) {
    const auto It = Index_.find(tKey{std::string(sSender), SourceID, TemplateID});
    if (It == Index_.end()) return nullptr;
    Entries_.splice(Entries_.begin(), Entries_, It->second);
    return &It->second->Template;
}

void TemplateCache::Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template) {
    tKey Key{std::string(sSender), SourceID, Template.TemplateID};
    const auto It = Index_.find(Key);
    if (It != Index_.end()) {
        It->second->Template = Template;
        Entries_.splice(Entries_.begin(), Entries_, It->second);
        return;
    }
    if (Capacity_ == 0) return;
    if (Index_.size() >= Capacity_) {
        Index_.erase(Entries_.back().Key);
        Entries_.pop_back();
    }
    Entries_.push_front(tEntry{Key, Template});
    Index_.emplace(std::move(Key), Entries_.begin());
}

void TemplateCache::Withdraw(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) {
    const auto It = Index_.find(tKey{std::string(sSender), SourceID, TemplateID});
    if (It == Index_.end()) return;
    Entries_.erase(It->second);
    Index_.erase(It);
}

void TemplateCache::Clear() {
    Index_.clear();
    Entries_.clear();
}

TemplateCache& ExporterTemplates() {
    static TemplateCache Cache;
    return Cache;
}

void ResetTemplateStore() {
    gTemplateFlowsetFormat = tTemplateFlowsetFormat{};
    ExporterTemplates().Clear();
}

}  // namespace netflowlib
