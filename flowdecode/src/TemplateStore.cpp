#include "TemplateStore.h"

#include <functional>
#include <memory>

namespace netflowlib {

tTemplateFlowsetFormat gTemplateFlowsetFormat;

std::size_t TemplateCache::tKeyHash::operator()(const tKey& Key) const {
    std::size_t h = std::hash<std::string_view>{}(Key.Sender);
    h ^= (std::size_t{Key.SourceID} * 0x9E3779B97F4A7C15ULL) + (h << 6) + (h >> 2);
    h ^= (static_cast<std::size_t>(static_cast<std::uint32_t>(Key.TemplateID)) * 0xC2B2AE3D27D4EB4FULL) + (h << 6) +
         (h >> 2);
    return h;
}

const tLearnedTemplate* TemplateCache::Find(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) {
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

TemplateStore::~TemplateStore() = default;

ExporterTemplateStore::ExporterTemplateStore(std::size_t Capacity)
    : Cache_(std::make_unique<TemplateCache>(Capacity)), Last_(OwnLast_) {}

ExporterTemplateStore::ExporterTemplateStore(tTemplateFlowsetFormat& Last, std::size_t Capacity)
    : Cache_(std::make_unique<TemplateCache>(Capacity)), Last_(Last) {}

ExporterTemplateStore::~ExporterTemplateStore() = default;

const tLearnedTemplate* ExporterTemplateStore::Find(std::string_view sSender, std::uint32_t SourceID,
                                                    std::int32_t TemplateID) {
    return Cache_->Find(sSender, SourceID, TemplateID);
}

void ExporterTemplateStore::Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template) {
    Cache_->Store(sSender, SourceID, Template);
}

void ExporterTemplateStore::Withdraw(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) {
    Cache_->Withdraw(sSender, SourceID, TemplateID);
}

void ExporterTemplateStore::Clear() {
    Cache_->Clear();
    Last_ = tTemplateFlowsetFormat{};
}

std::size_t ExporterTemplateStore::Size() const { return Cache_->Size(); }
std::size_t ExporterTemplateStore::Capacity() const { return Cache_->Capacity(); }

ExporterTemplateStore& ProcessTemplateStore() {
    static ExporterTemplateStore Store(gTemplateFlowsetFormat, kTemplateCacheCapacity);
    return Store;
}

void ResetTemplateStore() { ProcessTemplateStore().Clear(); }

}  // namespace netflowlib
