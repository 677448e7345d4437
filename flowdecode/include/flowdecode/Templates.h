#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "flowdecode/NetflowV9.h"
#include "flowdecode/RecordPlan.h"

namespace netflowlib {

struct tFieldRule;

// A template as the walk uses it: the pairs, their rules looked up once, and the record length.
struct tLearnedTemplate {
    std::int32_t TemplateID = 0;
    std::int32_t FieldCount = 0;
    // The fixed lengths, each variable-length field counted as its shortest form (one byte).
    std::int64_t RecordLength = 0;
    std::int32_t VariableFields = 0;
    std::array<tTemplateField, kMaxTemplateFields> Fields{};
    std::array<const tFieldRule*, kMaxTemplateFields> Rules{};
    // How records of this template are read when no trace is written.
    tRecordPlan Plan;
    // An options template: its records describe the exporter (samplers, interfaces), not flows.
    bool Options = false;
};

// Where the version 9 decoder keeps what template flowsets taught it: the templates per exporter,
// and the last template learned from whichever exporter (what gTemplateFlowsetFormat is for the
// process-wide store). Used on the listener thread only.
class TemplateStore {
  public:
    virtual ~TemplateStore();
    // The template for this key, or nullptr; a hit counts as a use. The pointer stays valid until the
    // next Store or Withdraw.
    virtual const tLearnedTemplate* Find(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) = 0;
    virtual void Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template) = 0;
    virtual void Withdraw(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) = 0;
    virtual tTemplateFlowsetFormat& LastTemplate() = 0;
};

// Bounds on the templates kept, per exporter and in all. An exporter uses a few dozen templates; 512
// leaves it ample room while one exporter (or one making up ids) fills at most 1/64 of the whole. The
// whole holds 16,000 exporters of two templates each, and as a kept template costs from a few hundred
// bytes to about a kilobyte, a full store stays within a few tens of megabytes.
constexpr std::size_t kTemplatesPerExporter = 512;
constexpr std::size_t kTemplateCacheCapacity = 32768;

class TemplateCache;

// Templates keyed by the sender's address text, the header's Source_ID and the TemplateID: exporters
// number their templates independently, so one id can mean different layouts from two senders (or
// from two sources of one sender). Bounded, least recently used first out, so that a flood of
// template ids cannot exhaust memory: at most Capacity in all and kTemplatesPerExporter (or Capacity,
// if fewer) per sender, whose own templates make room for its next one.
class ExporterTemplateStore : public TemplateStore {
  public:
    explicit ExporterTemplateStore(std::size_t Capacity = kTemplateCacheCapacity);
    // A store whose last template is kept in Last (the process-wide store uses gTemplateFlowsetFormat).
    ExporterTemplateStore(tTemplateFlowsetFormat& Last, std::size_t Capacity);
    ~ExporterTemplateStore() override;
    ExporterTemplateStore(const ExporterTemplateStore&) = delete;
    ExporterTemplateStore& operator=(const ExporterTemplateStore&) = delete;

    const tLearnedTemplate* Find(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) override;
    void Store(std::string_view sSender, std::uint32_t SourceID, const tLearnedTemplate& Template) override;
    void Withdraw(std::string_view sSender, std::uint32_t SourceID, std::int32_t TemplateID) override;
    tTemplateFlowsetFormat& LastTemplate() override { return Last_; }

    // Forgets every template, the last one too.
    void Clear();
    std::size_t Size() const;
    std::size_t Capacity() const;
    // Templates pushed out by the bounds so far.
    std::uint64_t Evicted() const;

  private:
    std::unique_ptr<TemplateCache> Cache_;
    tTemplateFlowsetFormat OwnLast_;
    tTemplateFlowsetFormat& Last_;
};

// The process-wide store behind the signatures without services; its last template is
// gTemplateFlowsetFormat.
ExporterTemplateStore& ProcessTemplateStore();

}  // namespace netflowlib
