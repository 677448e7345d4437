#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ByteReader.h"
#include "flowdecode/DecodeServices.h"
#include "flowdecode/FlowFacts.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PendingSets.h"
#include "flowdecode/RecordPlan.h"

namespace netflowlib {

// Where an element's value goes; version 9 field types and IPFIX element ids share their numbers
// up to 127, and the few above that a version 9 exporter sends are the IPFIX ones. Enterprise
// elements go nowhere.
FactKind FactFor(std::int32_t ElementID, bool Enterprise = false);
// A version 9 options template's scope field: type 2 names an interface; the others (system, line
// card, cache, template) say nothing a flow needs.
FactKind ScopeFactFor(std::int32_t ScopeType);

// Collects a template's fields, then compiles them into a plan.
class PlanBuilder {
  public:
    void Add(std::int32_t Length, const tFieldRule& Rule, FactKind Fact, bool Scope = false);
    tRecordPlan Finish();

  private:
    tRecordPlan Plan_;
    std::int32_t Offset_ = 0;
};

// The bytes of the record at iPos, or -1 when a length prefix of a variable-length field lies past
// the reader's end.
std::int64_t PlanRecordLength(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos);

// Fills Slot's fields and facts from the record at iPos, which the caller found to lie whole inside
// the reader (PlanRecordLength).
void RunPlan(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tNetflowV9& Slot);

// Only the facts of that record, for a walk that has stored its fields one by one already.
void RunPlanFacts(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tFlowFacts& Facts);

// The same for an options record: its scope and facts, and the texts of interface names.
void RunOptionsPlan(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tOptionsRecord& Record);

// The options records between iPos and iEnd into Extras (up to kMaxOptionsRecords of them); a record
// cut by iEnd is counted as ignored and ends the reading.
void ReadOptionsRecords(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, std::int64_t iEnd,
                        std::uint32_t Domain, tWalkExtras& Extras);

// The data sets that waited for a template just learned: options data is read at once, flow data
// handed to the caller (Pending.Late) to decode after the datagram's walk.
void ReleaseHeldSets(PendingDataSets& Pending, std::string_view Sender, int Version, std::uint32_t Domain,
                     std::uint16_t TemplateID, bool bOptions, const tRecordPlan& Plan, std::int64_t NowMs,
                     std::vector<tHeldSet>& Taken, tWalkExtras& Extras);

}  // namespace netflowlib
