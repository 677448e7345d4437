#pragma once

#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "V9Trace.h"
#include "flowdecode/DecodeServices.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PendingSets.h"
#include "flowdecode/Templates.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

// The state of one DecodeV9Packet call. The field decoding (V9Fields.cpp) reaches it only through
// the few members below its constructor.
class V9Walk {
  public:
    V9Walk(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
           const tNetflowHeader& Header, bool bTrace, tNetflowV9Records& Records, const tDecodeServices& Services,
           brix32::tLogRec& LogRec, brix32::tExceptionRec& ExceptionRec);

    void Run();
    // What the caller is told; complete once Run has returned or thrown.
    tV9Outcome& Outcome() { return Outcome_; }

    // For the field decoding.
    const ByteReader& Reader() const { return Reader_; }
    std::int64_t Position() const { return Counters_.iPtr; }
    void Step(std::int32_t Milestone) { LogRec_.Step(Milestone); }
    void SetRecordNotes();
    V9Trace& Trace() { return Trace_; }

  private:
    enum class After { NextTemplate, NextFlowset, EndWalk };

    void SetWalkNotes();
    bool WalkFlowset();
    void ReadFlowsetHeader();
    bool DispatchFlowset(std::int64_t iNextFlowSet);
    bool LearnTemplates(std::int64_t iNextFlowSet);
    After ReadOneTemplate(std::int64_t iNextFlowSet);
    After SkipOversizedTemplate(std::int32_t FieldCount, std::int64_t iNextFlowSet);
    After ReadPairs(tLearnedTemplate& Template, std::int64_t iNextFlowSet);
    void AcceptTemplate(const tLearnedTemplate& Template);
    bool Refused(const tLearnedTemplate& Template);
    void NoteTemplate(tTemplateNote::Kind What, const tLearnedTemplate& Template);
    void SkipWithoutTemplate(std::int64_t iNextFlowSet);
    void SkipFlowset();
    void LearnOptionsTemplates(std::int64_t iNextFlowSet);
    bool ReadOptionsTemplate(std::int64_t& iPos, std::int64_t iNextFlowSet);
    void TakeHeldSets(const tLearnedTemplate& Template);
    std::int64_t NowMs();
    bool DecodeRecords(const tLearnedTemplate& Template, std::int64_t iNextFlowSet);
    tNetflowV9& NextSlot();
    void DecodeRecord(const tLearnedTemplate& Template);
    void DecodeFields(const tLearnedTemplate& Template, tNetflowV9& Record);

    const std::string& sHostName_;
    const std::string& sSenderIP_;
    const std::string& sPacket_;
    const ByteReader Reader_;
    const tNetflowHeader& Header_;
    tNetflowV9Records& Records_;
    TemplateStore& Templates_;
    brix32::Clock& Clock_;
    const tDecodeBounds Bounds_;
    brix32::tLogRec& LogRec_;
    brix32::tExceptionRec& ExceptionRec_;
    V9Trace Trace_;
    tWalkCounters Counters_;
    tV9Outcome Outcome_;
    PendingDataSets* Pending_;
    std::int64_t NowMs_ = -1;
    std::vector<tHeldSet> Taken_;
};

}  // namespace netflowlib
