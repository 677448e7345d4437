#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "TraceLine.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"

namespace netflowlib {

struct tFieldRule;

// The counters of one walk, under the names the trace prints.
struct tWalkCounters {
    std::int64_t iPtr = 0;
    std::int32_t iFlowSetID = 0;
    std::int32_t iFlowsetLength = 0;
    std::int64_t iPtrCheck = 0;
    std::int32_t iTemplateFlowSet = 0;
    std::int32_t iDataFlowSet = 0;
    std::int64_t TotalLength = 0;
};

// Every line of the packet trace and every "debug.txt" marker of the version 9 walk is built here.
// The walk says what happened; this decides whether a line is written (tracing on, budget left)
// and what it reads.
class V9Trace {
  public:
    V9Trace(PacketTraceSink& Sink, bool bTrace, std::size_t MaxBytes);

    bool On() const { return bOn_; }
    bool Cut() const { return bCut_; }

    void Header(double When, const std::string& sPacket, std::int64_t iPtr, const tNetflowHeader& Header);
    void FlowSetID(std::int64_t p, const tWalkCounters& C);
    void FlowSetLength(std::int64_t p, const tWalkCounters& C);
    void PtrCheck(const tWalkCounters& C);
    void TemplateID(std::int64_t q, std::int32_t TemplateID);
    void FieldCount(std::int64_t q, std::int32_t FieldCount);
    void PairType(std::int32_t k, std::int32_t FieldType, std::int64_t q);
    void PairLength(std::int32_t k, std::int64_t q, std::int32_t FieldLength);
    void TemplateRefused(std::int32_t TemplateID, std::int64_t RecordLength, bool bZeroLengthField);
    void NoTemplate(const tWalkCounters& C);
    void RecordStart(const tWalkCounters& C, std::int32_t FlowSets);
    void Field(std::int32_t k, std::int32_t FieldCount, const tTemplateField& Pair, const tWalkCounters& C);
    void FieldValue(const tFieldRule& Rule, std::int32_t FieldType, std::int64_t iPtr, const ByteReader& Reader,
                    const tNetflowV9& Slot);
    void PtrCheckAfterField(const tWalkCounters& C);
    void RecordEnd(const tWalkCounters& C);
    void FlowsetEnd(const tWalkCounters& C);
    void RecordsCut(int MaxRecords);

    void FlowSetMarker(std::int32_t iFlowSetID);
    void Marker(const std::string& sText) { Sink_.Marker(sText); }

  private:
    void Emit(const std::string& sLine);

    PacketTraceSink& Sink_;
    bool bOn_;
    bool bCut_ = false;
    std::size_t Bytes_ = 0;
    std::size_t MaxBytes_;
    TraceLine Line_;
    std::string sMarker_;
};

}  // namespace netflowlib
