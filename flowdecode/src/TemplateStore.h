#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "LruTemplateCache.h"
#include "flowdecode/Templates.h"

namespace netflowlib {

// The bounded map behind ExporterTemplateStore.
class TemplateCache : public LruTemplateCache<tLearnedTemplate> {
  public:
    explicit TemplateCache(std::size_t TotalCapacity = kTemplateCacheCapacity,
                           std::size_t PerSenderCapacity = kTemplatesPerExporter)
        : LruTemplateCache(TotalCapacity, PerSenderCapacity) {}

    using LruTemplateCache::Store;
    void Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template) {
        Store(sSender, SourceID, Template.TemplateID, Template);
    }
};

}  // namespace netflowlib
