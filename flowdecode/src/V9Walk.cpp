#include "V9Walk.h"

#include <algorithm>

#include "PlanDecode.h"
#include "V9Fields.h"

namespace netflowlib {

namespace {
constexpr std::int64_t kFlowsetHeaderLength = 4;
constexpr std::int64_t kTemplateHeaderLength = 4;
constexpr std::int64_t kTemplatePairLength = 4;
constexpr std::int64_t kOptionsTemplateHeaderLength = 6;
constexpr std::int32_t kOptionsFlowSetID = 1;
}  // namespace

V9Walk::V9Walk(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
               const tNetflowHeader& Header, bool bTrace, tNetflowV9Records& Records, const tDecodeServices& Services,
               brix32::tLogRec& LogRec, brix32::tExceptionRec& ExceptionRec)
    : sHostName_(sHostName),
      sSenderIP_(sSenderIP),
      sPacket_(sPacket),
      Reader_(sPacket),
      Header_(Header),
      Records_(Records),
      Templates_(Services.Templates),
      Clock_(Services.Clock),
      Bounds_(Services.Bounds),
      LogRec_(LogRec),
      ExceptionRec_(ExceptionRec),
      Trace_(Services.Trace, bTrace, Services.Bounds.MaxTraceBytes),
      Pending_(Services.Pending) {}

void V9Walk::Run() {
    LogRec_.Step(100);
    LogRec_.Step(110);
    LogRec_.Step(120);
    Counters_.iPtr = std::int64_t{Header_.HeaderLength} + 1;
    if (Trace_.On()) Trace_.Header(Clock_.Now(), sPacket_, Counters_.iPtr, Header_);

    LogRec_.Step(200);
    Counters_.iTemplateFlowSet = 0;
    Counters_.iDataFlowSet = 0;
    // Flowsets are framed by their own lengths and the walk covers the whole datagram. The header's
    // count does not end it: exporters disagree on what it counts (many leave templates and options
    // out), and stopping at it would drop the last records of every datagram that carries templates.
    // A flowset header needs four bytes; with fewer left the walk ends before writing any of its lines.
    while (Reader_.Has(Counters_.iPtr, kFlowsetHeaderLength)) {
        if (!WalkFlowset()) break;
    }
    if (Outcome_.RecordsCut) Trace_.RecordsCut(Bounds_.MaxRecords);
    Outcome_.TraceCut = Trace_.Cut();
    LogRec_.Step(6300);
}

void V9Walk::SetWalkNotes() {
    std::string& s = ExceptionRec_.Notes;
    s.clear();
    s.append("gTemplateFlowsetFormat.FieldCount=");
    AppendDec(s, Templates_.LastTemplate().FieldCount);
    s.append(" Length(sPacket)=");
    AppendDec(s, Reader_.Length());
    s.append(" iPtr=");
    AppendDec(s, Counters_.iPtr);
    s.append(" iTemplateFlowSet=");
    AppendDec(s, Counters_.iTemplateFlowSet);
    s.append(" of ");
    AppendDec(s, Header_.FlowSets);
}

void V9Walk::SetRecordNotes() {
    // No blank between the field count and "Length(sPacket)=": the text is kept as it always read.
    std::string& s = ExceptionRec_.Notes;
    s.clear();
    s.append("gTemplateFlowsetFormat.FieldCount=");
    AppendDec(s, Templates_.LastTemplate().FieldCount);
    s.append("Length(sPacket)=");
    AppendDec(s, Reader_.Length());
    s.append(" iPtr=");
    AppendDec(s, Counters_.iPtr);
    s.append(" iDataFlowSet=");
    AppendDec(s, Counters_.iDataFlowSet);
}

// One flowset; false when it ends the walk.
bool V9Walk::WalkFlowset() {
    LogRec_.Step(210);
    SetWalkNotes();
    const std::int64_t p = Counters_.iPtr;
    ReadFlowsetHeader();
    // The next flowset starts at this one's first byte plus its length; iPtrCheck starts there too
    // but is counted down by the fields decoded, so the walk keeps its own copy.
    const bool bGoOn = DispatchFlowset(p + Counters_.iFlowsetLength);
    // Every flowset whose header lines were written gets its closing line, also when it ends the walk.
    LogRec_.Step(6200);
    Trace_.FlowsetEnd(Counters_);
    return bGoOn;
}

void V9Walk::ReadFlowsetHeader() {
    const std::int64_t p = Counters_.iPtr;
    Counters_.iFlowSetID = Reader_.U16Or0(Counters_.iPtr);
    Trace_.FlowSetID(p, Counters_);
    Counters_.iPtr += 2;
    Counters_.iFlowsetLength = Reader_.U16Or0(Counters_.iPtr);
    Trace_.FlowSetLength(p, Counters_);
    Counters_.iPtr += 2;
    Counters_.iPtrCheck = Counters_.iPtr + Counters_.iFlowsetLength - 4;
    Trace_.PtrCheck(Counters_);
}

bool V9Walk::DispatchFlowset(std::int64_t iNextFlowSet) {
    const std::int32_t iFlowSetID = Counters_.iFlowSetID;
    // A length below its own header would move the position backwards (or not at all) and the walk
    // would never end: such a flowset ends the walk after its closing line.
    if (Counters_.iFlowsetLength < kFlowsetHeaderLength) return false;
    if (iFlowSetID == 0) return LearnTemplates(iNextFlowSet);
    if (iFlowSetID <= 255) {
        // Options templates are learned without a line of trace; they and reserved ids are stepped
        // over whole rather than reading their body as the next flowset header; only the reserved
        // ids leave a marker.
        if (iFlowSetID == kOptionsFlowSetID) LearnOptionsTemplates(iNextFlowSet);
        if (iFlowSetID > 1) Trace_.FlowSetMarker(iFlowSetID);
        Counters_.iPtr = iNextFlowSet;
        return true;
    }
    const tLearnedTemplate* Template = Templates_.Find(sSenderIP_, Header_.Source_ID, iFlowSetID);
    if (Template == nullptr) {
        SkipWithoutTemplate(iNextFlowSet);
        return true;
    }
    if (Template->Options) {
        // Options data is read for the collector's tables; the trace shows it as it always has, as
        // data it has no template for.
        ReadOptionsRecords(Template->Plan, Reader_, Counters_.iPtr, std::min(iNextFlowSet, Reader_.Length() + 1),
                           Header_.Source_ID, Outcome_.Extras);
        SkipFlowset();
        return true;
    }
    return DecodeRecords(*Template, iNextFlowSet);
}

std::int64_t V9Walk::NowMs() {
    if (NowMs_ < 0) NowMs_ = Clock_.EpochMicroseconds() / 1000;
    return NowMs_;
}

// Options templates one after the other while a header fits; the rest is padding. Nothing here
// touches the trace or the last template.
void V9Walk::LearnOptionsTemplates(std::int64_t iNextFlowSet) {
    std::int64_t iPos = Counters_.iPtr;
    const std::int64_t iEnd = std::min(iNextFlowSet, Reader_.Length() + 1);
    while (iEnd - iPos >= kOptionsTemplateHeaderLength) {
        if (!ReadOptionsTemplate(iPos, iEnd)) return;
    }
}

// False when the rest of the flowset cannot be read.
bool V9Walk::ReadOptionsTemplate(std::int64_t& iPos, std::int64_t iEnd) {
    const std::int32_t TemplateID = Reader_.U16Or0(iPos);
    const std::int32_t ScopeLength = Reader_.U16Or0(iPos + 2);
    const std::int32_t OptionLength = Reader_.U16Or0(iPos + 4);
    iPos += kOptionsTemplateHeaderLength;
    // Zeros where a template should start are padding.
    if (TemplateID == 0 && ScopeLength == 0 && OptionLength == 0) return false;
    tWalkExtras& Extras = Outcome_.Extras;
    if (TemplateID < 256 || ScopeLength % 4 != 0 || OptionLength % 4 != 0 || iPos + ScopeLength + OptionLength > iEnd) {
        ++Extras.OptionsIgnored;
        return false;
    }
    const std::int32_t ScopeCount = ScopeLength / 4;
    const std::int32_t FieldCount = ScopeCount + OptionLength / 4;
    const std::int64_t iBody = iPos;
    iPos += ScopeLength + OptionLength;
    if (ScopeCount == 0 || FieldCount > kMaxTemplateFields) {
        ++Extras.OptionsIgnored;
        return true;
    }
    tLearnedTemplate Template;
    Template.TemplateID = TemplateID;
    Template.FieldCount = FieldCount;
    Template.Options = true;
    const tFieldRule& Unused = FieldRuleFor(-1);
    PlanBuilder Builder;
    for (std::int32_t k = 0; k < FieldCount; ++k) {
        tTemplateField& Pair = Template.Fields[static_cast<std::size_t>(k)];
        Pair.FieldType = Reader_.U16Or0(iBody + 4 * k);
        Pair.FieldLength = Reader_.U16Or0(iBody + 4 * k + 2);
        const bool bScope = k < ScopeCount;
        Builder.Add(Pair.FieldLength, Unused, bScope ? ScopeFactFor(Pair.FieldType) : FactFor(Pair.FieldType), bScope);
        Template.RecordLength += Pair.FieldLength == kVariableFieldLength ? 1 : Pair.FieldLength;
    }
    Template.Plan = Builder.Finish();
    if (Template.RecordLength < 1) {
        ++Extras.OptionsIgnored;
        return true;
    }
    ++Extras.OptionsTemplatesLearned;
    Templates_.Store(sSenderIP_, Header_.Source_ID, Template);
    TakeHeldSets(Template);
    return true;
}

// The data sets that waited for this template: options data is read now, flow data handed to the
// caller to decode after this datagram's walk.
void V9Walk::TakeHeldSets(const tLearnedTemplate& Template) {
    if (Pending_ == nullptr || Pending_->Empty()) return;
    ReleaseHeldSets(*Pending_, sSenderIP_, 9, Header_.Source_ID, static_cast<std::uint16_t>(Template.TemplateID),
                    Template.Options, Template.Plan, NowMs(), Taken_, Outcome_.Extras);
}

// A template flowset is read template by template while at least a template header's worth of it
// remains, so a flowset carrying several templates teaches them all (the last one stays in
// gTemplateFlowsetFormat). Whatever is left after them is padding: the walk goes on at the next
// flowset. False when the walk ends here.
bool V9Walk::LearnTemplates(std::int64_t iNextFlowSet) {
    while (iNextFlowSet - Counters_.iPtr >= kTemplateHeaderLength) {
        // The flowset claims more than the datagram holds: nothing more can be read.
        if (!Reader_.Has(Counters_.iPtr, kTemplateHeaderLength)) return false;
        const After Next = ReadOneTemplate(iNextFlowSet);
        if (Next == After::EndWalk) return false;
        if (Next == After::NextFlowset) break;
    }
    Counters_.iPtr = iNextFlowSet;
    return true;
}

V9Walk::After V9Walk::ReadOneTemplate(std::int64_t iNextFlowSet) {
    tLearnedTemplate Template;
    Template.TemplateID = Reader_.U16Or0(Counters_.iPtr);
    Trace_.TemplateID(Counters_.iPtr, Template.TemplateID);
    Counters_.iPtr += 2;
    Template.FieldCount = Reader_.U16Or0(Counters_.iPtr);
    Trace_.FieldCount(Counters_.iPtr, Template.FieldCount);
    Counters_.iPtr += 2;
    LogRec_.Step(300);

    if (Template.FieldCount > kMaxTemplateFields) return SkipOversizedTemplate(Template.FieldCount, iNextFlowSet);
    const After Next = ReadPairs(Template, iNextFlowSet);
    if (Next == After::NextTemplate) AcceptTemplate(Template);
    return Next;
}

// More fields than a template can hold: the store stays as it was and the pairs are stepped over
// without being read or traced.
V9Walk::After V9Walk::SkipOversizedTemplate(std::int32_t FieldCount, std::int64_t iNextFlowSet) {
    const std::int64_t iPairsEnd = Counters_.iPtr + kTemplatePairLength * FieldCount;
    if (iPairsEnd - 1 > Reader_.Length()) return After::EndWalk;
    Counters_.iPtr = iPairsEnd;
    return iPairsEnd > iNextFlowSet ? After::NextFlowset : After::NextTemplate;
}

// A template whose pairs run past the datagram's end is not learned and ends the walk; one whose
// pairs run past its flowset's end is not learned either, and the walk goes on at the next flowset.
// The pairs read so far have been traced.
V9Walk::After V9Walk::ReadPairs(tLearnedTemplate& Template, std::int64_t iNextFlowSet) {
    for (std::int32_t k = 1; k <= Template.FieldCount; ++k) {
        if (!Reader_.Has(Counters_.iPtr, kTemplatePairLength)) return After::EndWalk;
        if (Counters_.iPtr + kTemplatePairLength > iNextFlowSet) return After::NextFlowset;
        tTemplateField& Pair = Template.Fields[static_cast<std::size_t>(k - 1)];
        Pair.FieldType = Reader_.U16Or0(Counters_.iPtr);
        Trace_.PairType(k, Pair.FieldType, Counters_.iPtr);
        Counters_.iPtr += 2;
        Pair.FieldLength = Reader_.U16Or0(Counters_.iPtr);
        Trace_.PairLength(k, Counters_.iPtr, Pair.FieldLength);
        Counters_.iPtr += 2;
        if (Pair.FieldLength == kVariableFieldLength) {
            ++Template.VariableFields;
            Template.RecordLength += 1;
        } else {
            Template.RecordLength += Pair.FieldLength;
        }
        Template.Rules[static_cast<std::size_t>(k - 1)] = &FieldRuleFor(Pair.FieldType);
    }
    return After::NextTemplate;
}

void V9Walk::AcceptTemplate(const tLearnedTemplate& Template) {
    tTemplateFlowsetFormat& Last = Templates_.LastTemplate();
    if (Template.FieldCount == 0) {
        // A template of no fields withdraws this one template; data under its id is then skipped
        // as having none.
        Templates_.Withdraw(sSenderIP_, Header_.Source_ID, Template.TemplateID);
        Last.TemplateID = Template.TemplateID;
        Last.FieldCount = 0;
        ++Counters_.iTemplateFlowSet;
        ++Outcome_.TemplatesWithdrawn;
        NoteTemplate(tTemplateNote::Kind::Withdrawn, Template);
        return;
    }
    if (Refused(Template)) return;
    ++Counters_.iTemplateFlowSet;
    ++Outcome_.TemplatesLearned;
    NoteTemplate(tTemplateNote::Kind::Learned, Template);
    // Pairs above the new field count keep their old values; nothing reads them.
    Last.TemplateID = Template.TemplateID;
    Last.FieldCount = Template.FieldCount;
    std::copy_n(Template.Fields.begin(), Template.FieldCount, Last.Fields.begin());
    PlanBuilder Builder;
    for (std::int32_t k = 0; k < Template.FieldCount; ++k) {
        const tTemplateField& Pair = Template.Fields[static_cast<std::size_t>(k)];
        Builder.Add(Pair.FieldLength, *Template.Rules[static_cast<std::size_t>(k)], FactFor(Pair.FieldType));
    }
    tLearnedTemplate Compiled = Template;
    Compiled.Plan = Builder.Finish();
    Templates_.Store(sSenderIP_, Header_.Source_ID, Compiled);
    TakeHeldSets(Compiled);
}

// Records of no bytes would carry nothing and never end, and records too short for a flow or with
// fields of no bytes make one datagram into thousands of empty records: such templates are not
// learned, and whatever the exporter knew under the id before stays.
bool V9Walk::Refused(const tLearnedTemplate& Template) {
    const auto End = Template.Fields.begin() + Template.FieldCount;
    const bool bZeroLength =
        Bounds_.RefuseZeroLengthFields &&
        std::any_of(Template.Fields.begin(), End, [](const tTemplateField& Pair) { return Pair.FieldLength == 0; });
    // Records of no bytes at all are refused whatever the bounds say.
    if (!bZeroLength && Template.RecordLength >= std::max<std::int64_t>(Bounds_.MinRecordLength, 1)) return false;
    Trace_.TemplateRefused(Template.TemplateID, Template.RecordLength, bZeroLength);
    ++Outcome_.TemplatesRefused;
    NoteTemplate(tTemplateNote::Kind::Refused, Template);
    return true;
}

void V9Walk::NoteTemplate(tTemplateNote::Kind What, const tLearnedTemplate& Template) {
    if (Outcome_.TemplateNotes.size() >= kMaxTemplateNotes) return;
    Outcome_.TemplateNotes.push_back({What, Template.TemplateID, Template.FieldCount});
}

// A data flowset whose template is not known yet waits for it, when the caller keeps such data.
void V9Walk::SkipWithoutTemplate(std::int64_t iNextFlowSet) {
    ++Outcome_.FlowsetsWithoutTemplate;
    auto& Ids = Outcome_.MissingTemplateIds;
    if (Ids.size() < kMaxMissingTemplateIds && std::find(Ids.begin(), Ids.end(), Counters_.iFlowSetID) == Ids.end()) {
        Ids.push_back(Counters_.iFlowSetID);
    }
    if (Pending_ != nullptr) {
        const std::int64_t iEnd = std::min(iNextFlowSet, Reader_.Length() + 1);
        tHeldSet Held;
        Held.TemplateID = static_cast<std::uint16_t>(Counters_.iFlowSetID);
        Held.Clock = tExportClock{Header_.Sys_Uptime, Header_.UnixSeconds, 0, true};
        Held.ReceivedMs = NowMs();
        if (iEnd > Counters_.iPtr)
            Held.Body.assign(sPacket_, static_cast<std::size_t>(Counters_.iPtr - 1),
                             static_cast<std::size_t>(iEnd - Counters_.iPtr));
        int Expired = 0;
        const bool bHeld = Pending_->Hold(sSenderIP_, 9, Header_.Source_ID, Held, NowMs(), Expired);
        ++(bHeld ? Outcome_.Extras.SetsHeld : Outcome_.Extras.SetsDropped);
        Outcome_.Extras.SetsExpired += Expired;
    }
    SkipFlowset();
}

void V9Walk::SkipFlowset() {
    Trace_.NoTemplate(Counters_);
    Counters_.iPtr += Counters_.iFlowsetLength - 4;
    // The skipped flowset counts once in the trace's numbering, as if it were one record.
    ++Counters_.iDataFlowSet;
    LogRec_.Step(6100);
}

// The records of one data flowset, while a whole record fits both in the flowset and in the
// datagram and the datagram's bound on records is not reached. False when the walk ends here.
bool V9Walk::DecodeRecords(const tLearnedTemplate& Template, std::int64_t iNextFlowSet) {
    LogRec_.Step(400);
    Counters_.TotalLength = 0;
    const tRecordPlan& Plan = Template.Plan;
    bool bGoOn = true;
    int Decoded = 0;
    for (;;) {
        const std::int64_t RecordLength = PlanRecordLength(Plan, Reader_, Counters_.iPtr);
        // A length prefix past the datagram's end is a record the datagram cut, not padding, as long
        // as the flowset says it goes on.
        if (RecordLength < 0 && Counters_.iPtr < iNextFlowSet) {
            bGoOn = false;
            break;
        }
        if (RecordLength < 0 || Counters_.iPtr + RecordLength > iNextFlowSet) {
            // Fewer bytes than a record left in the flowset: padding. Records never run on into the
            // next flowset's header.
            Counters_.iPtr = iNextFlowSet;
            break;
        }
        // The record fits in the flowset but the datagram ends inside it, or the datagram has had
        // all the records it may: nothing after it is decoded.
        if (!Reader_.Has(Counters_.iPtr, RecordLength)) {
            bGoOn = false;
            break;
        }
        if (Outcome_.RecordsDecoded >= Bounds_.MaxRecords) {
            Outcome_.RecordsCut = true;
            // What the bound left in this flowset is counted as lost.
            const std::int64_t Left = std::min(iNextFlowSet, Reader_.Length() + 1) - Counters_.iPtr;
            Outcome_.Extras.RecordsDropped +=
                static_cast<int>(Plan.Variable ? 1 : Left / std::max<std::int64_t>(RecordLength, 1));
            bGoOn = false;
            break;
        }
        if (Trace_.On()) {
            DecodeRecord(Template);
        } else {
            // Untraced, a record is read by its template's plan alone; the position moves once.
            RunPlan(Plan, Reader_, Counters_.iPtr, NextSlot());
            Counters_.iPtr += RecordLength;
            Counters_.iPtrCheck -= RecordLength;
        }
        ++Decoded;
    }
    // The marker the last field of the last record would have written field by field.
    if (Decoded > 0 && !Trace_.On() && Plan.LastMarker != nullptr) Trace_.Marker(FieldMarkerText(*Plan.LastMarker));
    LogRec_.Step(6100);
    return bGoOn;
}

// The slot of the next record decoded: records fill the slots from the first on, without gaps.
tNetflowV9& V9Walk::NextSlot() {
    ++Counters_.iDataFlowSet;
    const auto Slot = static_cast<std::size_t>(Outcome_.RecordsDecoded);
    ++Outcome_.RecordsDecoded;
    // No record is dropped for want of a slot: the array grows past its initial 30 slots as needed.
    if (Slot >= Records_.size()) Records_.resize(Slot + 1);
    Outcome_.SlotsReached = Outcome_.RecordsDecoded;
    tNetflowV9& Record = Records_[Slot];
    Record.HostName = sHostName_;
    Record.SenderIP = sSenderIP_;
    return Record;
}

void V9Walk::DecodeRecord(const tLearnedTemplate& Template) {
    const std::int64_t iRecord = Counters_.iPtr;
    tNetflowV9& Record = NextSlot();
    Trace_.RecordStart(Counters_, Header_.FlowSets);
    DecodeFields(Template, Record);
    // The numbers no line shows come from the same plan as untraced records'.
    RunPlanFacts(Template.Plan, Reader_, iRecord, Record.Facts);
    Trace_.RecordEnd(Counters_);
    LogRec_.Step(6000);
}

void V9Walk::DecodeFields(const tLearnedTemplate& Template, tNetflowV9& Record) {
    for (std::int32_t k = 1; k <= Template.FieldCount; ++k) {
        tTemplateField Pair = Template.Fields[static_cast<std::size_t>(k - 1)];
        std::int64_t Prefix = 0;
        if (Pair.FieldLength == kVariableFieldLength) {
            // The record's length was checked with these prefixes, so the value lies inside it; the
            // trace shows the value's own position and length.
            Pair.FieldLength = static_cast<std::int32_t>(ReadVariableLength(Reader_, Counters_.iPtr, Prefix));
            Counters_.iPtr += Prefix;
        }
        Counters_.TotalLength += Prefix + Pair.FieldLength;
        Trace_.Field(k, Template.FieldCount, Pair, Counters_);
        DecodeField(*this, *Template.Rules[static_cast<std::size_t>(k - 1)], Pair.FieldType, Pair.FieldLength, Record);
        LogRec_.Step(5100);
        Counters_.iPtr += Pair.FieldLength;
        Counters_.iPtrCheck -= Prefix + Pair.FieldLength;
        Trace_.PtrCheckAfterField(Counters_);
        LogRec_.Step(5110);
    }
}

}  // namespace netflowlib
