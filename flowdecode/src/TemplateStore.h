#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "flowdecode/Templates.h"

namespace netflowlib {

// The least-recently-used map behind ExporterTemplateStore.
class TemplateCache {
  public:
    explicit TemplateCache(std::size_t Capacity = kTemplateCacheCapacity) : Capacity_(Capacity) {}

    // The template for this key, or nullptr; a hit counts as a use. The pointer stays valid until the
    // next Store, Withdraw or Clear.
    const tLearnedTemplate* Find(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID);
    void Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template);
    void Withdraw(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID);
    void Clear();
    std::size_t Size() const { return Index_.size(); }
    std::size_t Capacity() const { return Capacity_; }

  private:
    struct tKey {
        std::string Sender;
        std::uint32_t SourceID = 0;
        std::int32_t TemplateID = 0;
        bool operator==(const tKey&) const = default;
    };
    struct tKeyHash {
        std::size_t operator()(const tKey& Key) const;
    };
    struct tEntry {
        tKey Key;
        tLearnedTemplate Template;
    };

    std::size_t Capacity_;
    std::list<tEntry> Entries_;  // most recently used first
    std::unordered_map<tKey, std::list<tEntry>::iterator, tKeyHash> Index_;
};

}  // namespace netflowlib
