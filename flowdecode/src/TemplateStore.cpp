#include "TemplateStore.h"

#include <memory>

namespace netflowlib {

tTemplateFlowsetFormat gTemplateFlowsetFormat;

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
std::uint64_t ExporterTemplateStore::Evicted() const { return Cache_->Evicted(); }

ExporterTemplateStore& ProcessTemplateStore() {
    static ExporterTemplateStore Store(gTemplateFlowsetFormat, kTemplateCacheCapacity);
    return Store;
}

void ResetTemplateStore() { ProcessTemplateStore().Clear(); }

}  // namespace netflowlib
