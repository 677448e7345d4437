#pragma once

#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "support/ExceptionReport.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "TraceLine.h"

namespace netflowlib {

struct tLearnedTemplate;

// The state of one DecodeV9Packet call: the counters carry the names the trace prints. Internal to
// the decoder; the field decoding (V9Fields.cpp) works on it too.
class V9Walk {
public:
    V9Walk(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
           const tNetflowHeader& Header, bool bTrace, tNetflowV9Records& Records, PacketTraceSink& Sink,
           brix32::tLogRec& LogRec, brix32::tExceptionRec& ExceptionRec);

    void Run();
    int SlotsReached() const { return SlotsReached_; }

    // Used by the field decoding.
    void SetRecordNotes();

    const std::string& sHostName;
    const std::string& sSenderIP;
    const std::string& sPacket;
    const ByteReader Reader;
    const tNetflowHeader& Header;
    const bool bTrace;
    tNetflowV9Records& Records;
    PacketTraceSink& Sink;
    brix32::tLogRec& LogRec;
    brix32::tExceptionRec& ExceptionRec;

    std::int64_t iPtr = 0;
    std::int32_t iFlowSetID = 0;
    std::int32_t iFlowsetLength = 0;
    std::int64_t iPtrCheck = 0;
    std::int32_t iTemplateFlowSet = 0;
    std::int32_t iDataFlowSet = 0;
    std::int64_t TotalLength = 0;
    TraceLine Line;

private:
    enum class After { NextTemplate, NextFlowset, EndWalk };

    void WriteTraceHeader();
    void SetWalkNotes();
    bool WalkFlowset();
    bool LearnTemplates(std::int64_t iNextFlowSet);
    After ReadOneTemplate(std::int64_t iNextFlowSet);
    void SkipWithoutTemplate();
    bool DecodeRecords(const tLearnedTemplate& Template, std::int64_t iNextFlowSet);
    void DecodeRecord(const tLearnedTemplate& Template);
    void WriteClosingLine();

    int SlotsReached_ = 0;
};

}  // namespace netflowlib
