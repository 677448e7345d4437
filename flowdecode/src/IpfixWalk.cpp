#include "IpfixWalk.h"

#include <algorithm>
#include <string_view>

#include "PlanDecode.h"
#include "TextForms.h"
#include "V9Fields.h"

namespace netflowlib {

namespace {
constexpr std::int64_t kSetHeaderLength = 4;
constexpr std::int64_t kTemplateHeaderLength = 4;
constexpr std::int32_t kTemplateSetID = 2;
constexpr std::int32_t kOptionsTemplateSetID = 3;
constexpr std::int32_t kFirstDataSetID = 256;
constexpr std::uint16_t kEnterpriseBit = 0x8000;

// A message is what its length field says, but never more than arrived.
std::string_view MessageBytes(const std::string& sPacket, const tNetflowHeader& Header) {
    return std::string_view(sPacket).substr(0, std::min<std::size_t>(Header.MessageLength, sPacket.size()));
}
}  // namespace

IpfixWalk::IpfixWalk(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                     const tNetflowHeader& Header, tNetflowV9Records& Records, const tDecodeServices& Services,
                     IpfixTemplateStore& Templates, brix32::tLogRec& LogRec, brix32::tExceptionRec& ExceptionRec)
    : sHostName_(sHostName),
      sSenderIP_(sSenderIP),
      Reader_(MessageBytes(sPacket, Header)),
      Header_(Header),
      Records_(Records),
      Templates_(Templates),
      Bounds_(Services.Bounds),
      LogRec_(LogRec),
      ExceptionRec_(ExceptionRec),
      Clock_(Services.Clock),
      Pending_(Services.Pending) {
    Outcome_.Malformed = Header.MessageLength != sPacket.size();
}

void IpfixWalk::Run() {
    LogRec_.Step(100);
    iPtr_ = std::int64_t{kIpfixHeaderLength} + 1;
    LogRec_.Step(200);
    // Sets are framed by their own lengths; fewer bytes than a set header at the end is padding of
    // the message, which the RFC does not allow but costs nothing to tolerate.
    while (Reader_.Has(iPtr_, kSetHeaderLength)) {
        if (!WalkSet()) break;
    }
    LogRec_.Step(6300);
}

// One set; false when it ends the walk.
bool IpfixWalk::WalkSet() {
    LogRec_.Step(210);
    const std::int32_t SetID = Reader_.U16Or0(iPtr_);
    const std::int64_t SetLength = Reader_.U16Or0(iPtr_ + 2);
    ExceptionRec_.Notes.assign("iPtr=");
    AppendDec(ExceptionRec_.Notes, iPtr_);
    ExceptionRec_.Notes.append(" iSetID=");
    AppendDec(ExceptionRec_.Notes, SetID);
    // A length below its own header cannot be stepped over.
    if (SetLength < kSetHeaderLength) {
        Outcome_.Malformed = true;
        return false;
    }
    std::int64_t iSetEnd = iPtr_ + SetLength;
    if (iSetEnd - 1 > Reader_.Length()) {
        // The set claims more than the message holds: what lies inside the message is still read.
        Outcome_.Malformed = true;
        iSetEnd = Reader_.Length() + 1;
    }
    const std::int64_t iBody = iPtr_ + kSetHeaderLength;
    iPtr_ = iSetEnd;
    if (SetID == kTemplateSetID) {
        LearnTemplates(iBody, iSetEnd, false);
    } else if (SetID == kOptionsTemplateSetID) {
        ++Outcome_.OptionsTemplateSets;
        LearnTemplates(iBody, iSetEnd, true);
    } else if (SetID >= kFirstDataSetID) {
        const tIpfixTemplate* Template =
            Templates_.Find(sSenderIP_, Header_.Source_ID, static_cast<std::uint16_t>(SetID));
        if (Template == nullptr) {
            NoTemplate(SetID, iBody, iSetEnd);
            return true;
        }
        if (Template->Options) {
            ReadOptionsRecords(Template->Plan, Reader_, iBody, iSetEnd, Header_.Source_ID, Outcome_.Extras);
            return true;
        }
        return DecodeRecords(*Template, iBody, iSetEnd);
    }
    // Ids 0, 1 and 4 to 255 are not used by IPFIX: skipped by their length.
    return true;
}

// Templates one after the other while a template header fits; what is left is padding.
void IpfixWalk::LearnTemplates(std::int64_t iPos, std::int64_t iSetEnd, bool bOptions) {
    LogRec_.Step(300);
    while (iSetEnd - iPos >= kTemplateHeaderLength) {
        if (!ReadTemplate(iPos, iSetEnd, bOptions)) return;
    }
}

// False when the rest of the set is not read.
bool IpfixWalk::ReadTemplate(std::int64_t& iPos, std::int64_t iSetEnd, bool bOptions) {
    const std::uint16_t TemplateID = Reader_.U16Or0(iPos);
    const std::int32_t FieldCount = Reader_.U16Or0(iPos + 2);
    iPos += kTemplateHeaderLength;
    // Template ids start at 256; id 2 (3 for options templates) stands for all of them in a
    // withdrawal. Anything else below is the zeros of padding.
    const std::uint16_t AllID = bOptions ? kOptionsTemplateSetID : kTemplateSetID;
    if (TemplateID < kFirstDataSetID && !(TemplateID == AllID && FieldCount == 0)) return false;
    if (FieldCount == 0) {
        Withdraw(TemplateID == AllID ? kTemplateSetID : TemplateID);
        return true;
    }
    tIpfixTemplate Template;
    Template.TemplateID = TemplateID;
    Template.Options = bOptions;
    if (bOptions) {
        // An options template names how many of its fields are its scope; at least one must be.
        if (iSetEnd - iPos < 2) {
            ++Outcome_.Extras.OptionsIgnored;
            return false;
        }
        Template.ScopeFields = Reader_.U16Or0(iPos);
        iPos += 2;
    }
    if (!ReadFieldSpecifiers(Template, FieldCount, iPos, iSetEnd)) {
        Outcome_.Malformed = true;
        if (bOptions) ++Outcome_.Extras.OptionsIgnored;
        return false;
    }
    if (bOptions && (Template.ScopeFields == 0 || Template.ScopeFields > FieldCount)) {
        ++Outcome_.Extras.OptionsIgnored;
        return true;
    }
    Accept(Template);
    return true;
}

// False when the specifiers run past the set's end.
bool IpfixWalk::ReadFieldSpecifiers(tIpfixTemplate& Template, std::int32_t FieldCount, std::int64_t& iPos,
                                    std::int64_t iSetEnd) {
    Template.Fields.reserve(std::min<std::size_t>(static_cast<std::size_t>(FieldCount), kMaxIpfixTemplateFields + 1));
    for (std::int32_t k = 0; k < FieldCount; ++k) {
        if (iPos + 4 > iSetEnd) return false;
        tIpfixField Field;
        const std::uint16_t RawID = Reader_.U16Or0(iPos);
        Field.ElementID = RawID & ~kEnterpriseBit;
        Field.Length = Reader_.U16Or0(iPos + 2);
        iPos += 4;
        if ((RawID & kEnterpriseBit) != 0) {
            if (iPos + 4 > iSetEnd) return false;
            Field.EnterpriseNumber = Reader_.U32Or0(iPos);
            iPos += 4;
        }
        // An enterprise's element ids are its own: they get the rule that stores nothing.
        Field.Rule = &FieldRuleFor(Field.EnterpriseNumber == 0 && (RawID & kEnterpriseBit) == 0 ? Field.ElementID : -1);
        if (Field.Length == kVariableFieldLength) {
            ++Template.VariableFields;
            Template.MinRecordLength += 1;
        } else {
            Template.MinRecordLength += Field.Length;
        }
        // Past the cap the specifiers are still read (to find the set's next template) but not kept.
        if (Template.Fields.size() <= kMaxIpfixTemplateFields) Template.Fields.push_back(Field);
    }
    return true;
}

void IpfixWalk::Withdraw(std::uint16_t TemplateID) {
    // A withdrawal of everything right after another, with nothing learned between, finds nothing:
    // thousands of them in one message must not each look into the store.
    const bool bAll = TemplateID == kTemplateSetID;
    int Count = 0;
    if (bAll && !AllWithdrawn_) {
        Count = Templates_.WithdrawAll(sSenderIP_, Header_.Source_ID);
    } else if (!bAll) {
        Count = Templates_.Withdraw(sSenderIP_, Header_.Source_ID, TemplateID) ? 1 : 0;
    }
    AllWithdrawn_ = bAll || AllWithdrawn_;
    // A withdrawal of what was never learned still counts: the exporter said it.
    Outcome_.TemplatesWithdrawn += std::max(Count, 1);
    Note(TemplateID, 0);
}

void IpfixWalk::Accept(tIpfixTemplate& Template) {
    if (Refused(Template)) {
        ++(Template.Options ? Outcome_.Extras.OptionsIgnored : Outcome_.TemplatesRefused);
        return;
    }
    PlanBuilder Builder;
    for (std::size_t k = 0; k < Template.Fields.size(); ++k) {
        const tIpfixField& Field = Template.Fields[k];
        const bool bScope = k < Template.ScopeFields;
        Builder.Add(Field.Length, Template.Options ? FieldRuleFor(-1) : *Field.Rule,
                    FactFor(Field.ElementID, Field.EnterpriseNumber != 0), bScope);
    }
    Template.Plan = Builder.Finish();
    if (Template.Options) {
        ++Outcome_.Extras.OptionsTemplatesLearned;
    } else {
        ++Outcome_.TemplatesLearned;
        Note(Template.TemplateID, Template.Fields.size());
    }
    const std::uint16_t TemplateID = Template.TemplateID;
    Templates_.Store(sSenderIP_, Header_.Source_ID, std::move(Template));
    AllWithdrawn_ = false;
    if (const tIpfixTemplate* Stored = Templates_.Find(sSenderIP_, Header_.Source_ID, TemplateID))
        TakeHeldSets(*Stored);
}

std::int64_t IpfixWalk::NowMs() {
    if (NowMs_ < 0) NowMs_ = Clock_.EpochMicroseconds() / 1000;
    return NowMs_;
}

void IpfixWalk::TakeHeldSets(const tIpfixTemplate& Template) {
    if (Pending_ == nullptr || Pending_->Empty()) return;
    ReleaseHeldSets(*Pending_, sSenderIP_, 10, Header_.Source_ID, Template.TemplateID, Template.Options, Template.Plan,
                    NowMs(), Taken_, Outcome_.Extras);
}

// The same bounds as for version 9 templates, and the cap on fields.
bool IpfixWalk::Refused(const tIpfixTemplate& Template) const {
    if (Template.Fields.size() > kMaxIpfixTemplateFields) return true;
    if (Template.MinRecordLength < std::max<std::int64_t>(Bounds_.MinRecordLength, 1)) return true;
    return Bounds_.RefuseZeroLengthFields && std::any_of(Template.Fields.begin(), Template.Fields.end(),
                                                         [](const tIpfixField& Field) { return Field.Length == 0; });
}

void IpfixWalk::Note(std::uint16_t TemplateID, std::size_t FieldCount) {
    if (Outcome_.Templates.size() >= kMaxMissingTemplateIds) return;
    Outcome_.Templates.push_back(tIpfixTemplateNote{TemplateID, static_cast<std::uint16_t>(FieldCount)});
}

// A data set whose template is not known yet waits for it, when the caller keeps such data.
void IpfixWalk::NoTemplate(std::int32_t SetID, std::int64_t iBody, std::int64_t iSetEnd) {
    ++Outcome_.SetsWithoutTemplate;
    auto& Ids = Outcome_.MissingTemplateIds;
    if (Ids.size() < kMaxMissingTemplateIds && std::find(Ids.begin(), Ids.end(), SetID) == Ids.end()) {
        Ids.push_back(SetID);
    }
    if (Pending_ == nullptr) return;
    tHeldSet Held;
    Held.TemplateID = static_cast<std::uint16_t>(SetID);
    Held.Clock = tExportClock{0, Header_.UnixSeconds, 0, false};
    Held.ReceivedMs = NowMs();
    const std::string_view Body = Reader_.View(iBody, iSetEnd - iBody);
    Held.Body.assign(Body.data(), Body.size());
    int Expired = 0;
    const bool bHeld = Pending_->Hold(sSenderIP_, 10, Header_.Source_ID, Held, NowMs(), Expired);
    ++(bHeld ? Outcome_.Extras.SetsHeld : Outcome_.Extras.SetsDropped);
    Outcome_.Extras.SetsExpired += Expired;
}

// Only records decoded count towards the bound on records.
bool IpfixWalk::BoundReached() {
    if (Outcome_.RecordsDecoded < Bounds_.MaxRecords) return false;
    Outcome_.RecordsCut = true;
    return true;
}

// False when the walk ends here.
bool IpfixWalk::DecodeRecords(const tIpfixTemplate& Template, std::int64_t iPos, std::int64_t iSetEnd) {
    LogRec_.Step(400);
    const tRecordPlan& Plan = Template.Plan;
    // Fewer bytes left than the shortest record: padding.
    while (iSetEnd - iPos >= Template.MinRecordLength) {
        const std::int64_t RecordLength = PlanRecordLength(Plan, Reader_, iPos);
        if (RecordLength < 0 || iPos + RecordLength > iSetEnd) {
            // Variable-length fields that claim more than the set holds.
            Outcome_.Malformed = true;
            break;
        }
        if (BoundReached()) {
            Outcome_.Extras.RecordsDropped +=
                static_cast<int>(Plan.Variable ? 1 : (iSetEnd - iPos) / std::max<std::int64_t>(RecordLength, 1));
            return false;
        }
        LogRec_.Step(500);
        const auto Slot = static_cast<std::size_t>(Outcome_.RecordsDecoded);
        if (Slot >= Records_.size()) Records_.resize(Slot + 1);
        ++Outcome_.RecordsDecoded;
        Outcome_.SlotsReached = Outcome_.RecordsDecoded;
        tNetflowV9& Record = Records_[Slot];
        Record.HostName = sHostName_;
        Record.SenderIP = sSenderIP_;
        RunPlan(Plan, Reader_, iPos, Record);
        iPos += RecordLength;
    }
    LogRec_.Step(6100);
    return true;
}

}  // namespace netflowlib
