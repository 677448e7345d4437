#include "flowdecode/NetflowV9.h"

#include <algorithm>
#include <functional>

#include "support/DateTime.h"
#include "support/ExceptionReport.h"
#include "support/ProgramFacts.h"
#include "TemplateStore.h"
#include "support/TextFiles.h"
#include "V9Fields.h"
#include "V9Walk.h"

namespace netflowlib {

namespace {
constexpr const char* kDecodeV9Function = "NetFlowLib.DecodeV9Packet";
constexpr std::int64_t kFlowsetHeaderLength = 4;
constexpr std::int64_t kTemplateHeaderLength = 4;
constexpr std::int64_t kTemplatePairLength = 4;
}  // namespace

V9Walk::V9Walk(const std::string& sHostName_, const std::string& sSenderIP_, const std::string& sPacket_,
               const tNetflowHeader& Header_, bool bTrace_, tNetflowV9Records& Records_, PacketTraceSink& Sink_,
               brix32::tLogRec& LogRec_, brix32::tExceptionRec& ExceptionRec_)
    : sHostName(sHostName_),
      sSenderIP(sSenderIP_),
      sPacket(sPacket_),
      Reader(sPacket_),
      Header(Header_),
      bTrace(bTrace_),
      Records(Records_),
      Sink(Sink_),
      LogRec(LogRec_),
      ExceptionRec(ExceptionRec_) {}

void V9Walk::Run() {
    LogRec.Step(100);
    LogRec.Step(110);
    LogRec.Step(120);
    iPtr = std::int64_t{Header.HeaderLength} + 1;
    if (bTrace) WriteTraceHeader();

    LogRec.Step(200);
    iTemplateFlowSet = 0;
    iDataFlowSet = 0;
    // Flowsets are framed by their own lengths and the walk covers the whole datagram. The header's
    // count does not end it: exporters disagree on what it counts (many leave templates and options
    // out), and stopping at it would drop the last records of every datagram that carries templates.
    // A flowset header needs four bytes; with fewer left the walk ends before writing any of its lines.
    while (Reader.Has(iPtr, kFlowsetHeaderLength)) {
        if (!WalkFlowset()) break;
    }
    LogRec.Step(6300);
}

void V9Walk::WriteTraceHeader() {
    std::string& s = Line.Buffer();
    s.clear();
    s.append("kFunction=NetFlowLib.DecodeV9Packet (");
    s.append(brix32::DateTimeText(brix32::Now()));
    s.append(")\r\nLength(sPacket)=");
    AppendDec(s, Reader.Length());
    s.append(" [");
    AppendHex2(s, Reader.Length());
    s.append("]\r\n");
    s.append(brix32::HexDump(sPacket));
    s.append("\r\niPtr=");
    AppendDec(s, iPtr);
    s.append(" [");
    AppendHex2(s, iPtr);
    s.append("]\r\nHeader.Version [01-02]=");
    AppendDec(s, Header.Version);
    s.append("\r\nHeader.FlowSets [03-04]=");
    AppendDec(s, Header.FlowSets);
    s.append("\r\nHeader.Sys_Uptime [05-08]=");
    AppendDec(s, Header.Sys_Uptime);
    s.append("\r\nHeader.UnixSeconds [09-0C]=");
    AppendDec(s, Header.UnixSeconds);
    s.append("\r\nHeader.Flow_Sequence [0D-10]=");
    AppendDec(s, Header.Flow_Sequence);
    s.append(" (Incremental sequence No)\r\nHeader.Source_ID [11-14]=");
    AppendDec(s, Header.Source_ID);
    s.append(" (This the flow ID)\r\n");
    Sink.BeginTrace(s);
}

void V9Walk::SetWalkNotes() {
    std::string& s = ExceptionRec.Notes;
    s.clear();
    s.append("gTemplateFlowsetFormat.FieldCount=");
    AppendDec(s, gTemplateFlowsetFormat.FieldCount);
    s.append(" Length(sPacket)=");
    AppendDec(s, Reader.Length());
    s.append(" iPtr=");
    AppendDec(s, iPtr);
    s.append(" iTemplateFlowSet=");
    AppendDec(s, iTemplateFlowSet);
    s.append(" of ");
    AppendDec(s, Header.FlowSets);
}

void V9Walk::SetRecordNotes() {
    // No blank between the field count and "Length(sPacket)=": the text is kept as it always read.
    std::string& s = ExceptionRec.Notes;
    s.clear();
    s.append("gTemplateFlowsetFormat.FieldCount=");
    AppendDec(s, gTemplateFlowsetFormat.FieldCount);
    s.append("Length(sPacket)=");
    AppendDec(s, Reader.Length());
    s.append(" iPtr=");
    AppendDec(s, iPtr);
    s.append(" iDataFlowSet=");
    AppendDec(s, iDataFlowSet);
}

// One flowset; false when it ends the walk.
bool V9Walk::WalkFlowset() {
    LogRec.Step(210);
    SetWalkNotes();

    const std::int64_t p = iPtr;
    iFlowSetID = Reader.U16Or0(iPtr);
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("FlowSetID [")
                      .Hex2(p)
                      .Text("-")
                      .Hex2(p + 1)
                      .Text("]=")
                      .Dec(iFlowSetID)
                      .Text(" 0->Template record, 1->Optional feilds, >255 -> Data record")
                      .End());
    }
    iPtr += 2;
    iFlowsetLength = Reader.U16Or0(iPtr);
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("FlowSetLength [")
                      .Hex2(p + 2)
                      .Text("-")
                      .Hex2(p + 3)
                      .Text("]=")
                      .Dec(iFlowsetLength)
                      .Text(" [")
                      .Hex4(iFlowsetLength)
                      .Text("]")
                      .End());
    }
    iPtr += 2;
    iPtrCheck = iPtr + iFlowsetLength - 4;
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("iPtrCheck=iPrt+iFlowsetLength-4 (FlowID & FlowLength) ")
                      .Dec(iPtrCheck)
                      .Text("=")
                      .Dec(iPtr)
                      .Text("+")
                      .Dec(iFlowsetLength)
                      .Text("-4 [")
                      .Hex2(iPtrCheck)
                      .Text("]")
                      .End());
    }

    // The next flowset starts at this one's first byte plus its length; iPtrCheck starts there too
    // but is counted down by the fields decoded, so the walk keeps its own copy.
    const std::int64_t iNextFlowSet = p + iFlowsetLength;
    bool bGoOn = true;
    if (iFlowsetLength < kFlowsetHeaderLength) {
        // A length below its own header would move the position backwards (or not at all) and the
        // walk would never end: such a flowset ends the walk after its closing line.
        bGoOn = false;
    } else if (iFlowSetID == 0) {
        bGoOn = LearnTemplates(iNextFlowSet);
    } else if (iFlowSetID == 1) {
        // Options templates are not used; the flowset is skipped whole rather than reading its body
        // as the next flowset header.
        iPtr = iNextFlowSet;
    } else if (iFlowSetID <= 255) {
        std::string sMarker = "iFlowSetID=";
        AppendDec(sMarker, iFlowSetID);
        Sink.Marker(sMarker);
        // Reserved ids: skipped whole, like an options template.
        iPtr = iNextFlowSet;
    } else {
        const tLearnedTemplate* Template = ExporterTemplates().Find(sSenderIP, Header.Source_ID, iFlowSetID);
        if (Template == nullptr) {
            SkipWithoutTemplate();
        } else {
            bGoOn = DecodeRecords(*Template, iNextFlowSet);
        }
    }

    // Every flowset whose header lines were written gets its closing line, also when it ends the walk.
    LogRec.Step(6200);
    WriteClosingLine();
    return bGoOn;
}

void V9Walk::WriteClosingLine() {
    if (!bTrace) return;
    Sink.Line(Line.Start()
                  .Text("*** END OF FLOWSET PROCESSING iDataFlowSet=")
                  .Dec(iDataFlowSet)
                  .Text(" iTemplateFlowSet=")
                  .Dec(iTemplateFlowSet)
                  .Text(" iPtr=")
                  .Dec(iPtr)
                  .Text(" [")
                  .Hex2(iPtr)
                  .Text("] ")
                  .Text(" iPtrCheck=")
                  .Dec(iPtrCheck)
                  .Text(" [")
                  .Hex2(iPtrCheck)
                  .Text("] ***")
                  .End());
}

// A template flowset is read template by template while at least a template header's worth of it
// remains, so a flowset carrying several templates teaches them all (the last one stays in
// gTemplateFlowsetFormat). Whatever is left after them is padding: the walk goes on at the next
// flowset. False when the walk ends here.
bool V9Walk::LearnTemplates(std::int64_t iNextFlowSet) {
    while (iNextFlowSet - iPtr >= kTemplateHeaderLength) {
        // The flowset claims more than the datagram holds: nothing more can be read.
        if (!Reader.Has(iPtr, kTemplateHeaderLength)) return false;
        const After Next = ReadOneTemplate(iNextFlowSet);
        if (Next == After::EndWalk) return false;
        if (Next == After::NextFlowset) break;
    }
    iPtr = iNextFlowSet;
    return true;
}

V9Walk::After V9Walk::ReadOneTemplate(std::int64_t iNextFlowSet) {
    tLearnedTemplate Template;
    std::int64_t q = iPtr;
    Template.TemplateID = Reader.U16Or0(q);
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("TemplateID [")
                      .Hex2(q)
                      .Text("-")
                      .Hex2(q + 1)
                      .Text("]=")
                      .Dec(Template.TemplateID)
                      .Text(" Templates that define data record formats begin numbering at 256.")
                      .End());
    }
    iPtr += 2;
    q = iPtr;
    Template.FieldCount = Reader.U16Or0(q);
    if (bTrace) {
        Sink.Line(
            Line.Start().Text("FieldCount [").Hex2(q).Text("-").Hex2(q + 1).Text("]=").Dec(Template.FieldCount).End());
    }
    iPtr += 2;
    LogRec.Step(300);

    if (Template.FieldCount > kMaxTemplateFields) {
        // More fields than a template can hold: the store stays as it was and the pairs are stepped
        // over without being read or traced.
        const std::int64_t iPairsEnd = iPtr + kTemplatePairLength * Template.FieldCount;
        if (iPairsEnd - 1 > Reader.Length()) return After::EndWalk;
        iPtr = iPairsEnd;
        return iPairsEnd > iNextFlowSet ? After::NextFlowset : After::NextTemplate;
    }

    for (std::int32_t k = 1; k <= Template.FieldCount; ++k) {
        // A template whose pairs run past the datagram's end is not learned and ends the walk; one
        // whose pairs run past its flowset's end is not learned either, and the walk goes on at the
        // next flowset. The pairs read so far have been traced.
        if (!Reader.Has(iPtr, kTemplatePairLength)) return After::EndWalk;
        if (iPtr + kTemplatePairLength > iNextFlowSet) return After::NextFlowset;

        tTemplateField& Pair = Template.Fields[static_cast<std::size_t>(k - 1)];
        q = iPtr;
        Pair.FieldType = Reader.U16Or0(q);
        if (bTrace) {
            Sink.Line(Line.Start()
                          .Text("Field")
                          .Dec(k)
                          .Text(" type=")
                          .Dec(Pair.FieldType)
                          .Text(" [")
                          .Hex2(q)
                          .Text("-")
                          .Hex2(q + 1)
                          .Text("]")
                          .End());
        }
        iPtr += 2;
        q = iPtr;
        Pair.FieldLength = Reader.U16Or0(q);
        if (bTrace) {
            Sink.Line(Line.Start()
                          .Text("Field")
                          .Dec(k)
                          .Text(" length [")
                          .Hex2(q)
                          .Text("-")
                          .Hex2(q + 1)
                          .Text("]=")
                          .Dec(Pair.FieldLength)
                          .End());
        }
        iPtr += 2;
        Template.RecordLength += Pair.FieldLength;
        Template.Rules[static_cast<std::size_t>(k - 1)] = &FieldRuleFor(Pair.FieldType);
    }

    if (Template.FieldCount == 0) {
        // A template of no fields withdraws this one template; data under its id is then skipped
        // as having none.
        ExporterTemplates().Withdraw(sSenderIP, Header.Source_ID, Template.TemplateID);
        gTemplateFlowsetFormat.TemplateID = Template.TemplateID;
        gTemplateFlowsetFormat.FieldCount = 0;
        ++iTemplateFlowSet;
        return After::NextTemplate;
    }
    if (Template.RecordLength == 0) {
        // Records of no bytes would carry nothing and never end: such a template is not learned.
        return After::NextTemplate;
    }

    ++iTemplateFlowSet;
    // Pairs above the new field count keep their old values; nothing reads them.
    gTemplateFlowsetFormat.TemplateID = Template.TemplateID;
    gTemplateFlowsetFormat.FieldCount = Template.FieldCount;
    std::copy_n(Template.Fields.begin(), Template.FieldCount, gTemplateFlowsetFormat.Fields.begin());
    ExporterTemplates().Store(sSenderIP, Header.Source_ID, Template);
    return After::NextTemplate;
}

void V9Walk::SkipWithoutTemplate() {
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("Data record but no template record [")
                      .Hex2(iPtr)
                      .Text("-")
                      .Hex2(iPtr + iFlowsetLength - 5)
                      .Text("] iPtr=")
                      .Dec(iPtr)
                      .Text(" [")
                      .Hex2(iPtr)
                      .Text("] iFlowsetLength=")
                      .Dec(iFlowsetLength)
                      .End());
    }
    iPtr += iFlowsetLength - 4;
    // The skipped flowset counts once, as if it were one record.
    ++iDataFlowSet;
    LogRec.Step(6100);
}

// The records of one data flowset, while a whole record fits both in the flowset and in the
// datagram. False when the walk ends here.
bool V9Walk::DecodeRecords(const tLearnedTemplate& Template, std::int64_t iNextFlowSet) {
    LogRec.Step(400);
    TotalLength = 0;
    bool bGoOn = true;
    for (;;) {
        if (iPtr + Template.RecordLength > iNextFlowSet) {
            // Fewer bytes than a record left in the flowset: padding. Records never run on into the
            // next flowset's header.
            iPtr = iNextFlowSet;
            break;
        }
        if (!Reader.Has(iPtr, Template.RecordLength)) {
            // The record fits in the flowset but the datagram ends inside it: it is not decoded and
            // nothing after it can be.
            bGoOn = false;
            break;
        }
        DecodeRecord(Template);
    }
    LogRec.Step(6100);
    return bGoOn;
}

void V9Walk::DecodeRecord(const tLearnedTemplate& Template) {
    ++iDataFlowSet;
    // No record is dropped for want of a slot: the array grows past its initial 30 slots as needed
    // (never beyond what the datagram's bytes can hold).
    const std::size_t Slot = static_cast<std::size_t>(iDataFlowSet - 1);
    if (Slot >= Records.size()) Records.resize(Slot + 1);
    SlotsReached_ = std::max(SlotsReached_, iDataFlowSet);
    tNetflowV9& Record = Records[Slot];
    Record.HostName = sHostName;
    Record.SenderIP = sSenderIP;

    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("*** START FLOWSET PROCESSING. iDataFlowSet+iTemplateFlowSet=")
                      .Dec(std::int64_t{iDataFlowSet} + iTemplateFlowSet)
                      .Text(" of ")
                      .Dec(Header.FlowSets)
                      .Text(" ***")
                      .End());
    }
    for (std::int32_t k = 1; k <= Template.FieldCount; ++k) {
        const tTemplateField& Pair = Template.Fields[static_cast<std::size_t>(k - 1)];
        TotalLength += Pair.FieldLength;
        if (bTrace) {
            Sink.Line(Line.Start()
                          .Text("field=")
                          .Dec(k)
                          .Text(" of ")
                          .Dec(Template.FieldCount)
                          .Text(" iPtr=")
                          .Hex2(iPtr)
                          .Text(" type=")
                          .Dec(Pair.FieldType)
                          .Text(" length=")
                          .Dec(Pair.FieldLength)
                          .Text(" [")
                          .Hex2(iPtr)
                          .Text("-")
                          .Hex2(iPtr + Pair.FieldLength - 1)
                          .Text("] TotalLength=")
                          .Dec(TotalLength)
                          .End());
        }
        DecodeField(*this, *Template.Rules[static_cast<std::size_t>(k - 1)], Pair.FieldType, Pair.FieldLength,
                    Record);
        LogRec.Step(5100);
        iPtr += Pair.FieldLength;
        iPtrCheck -= Pair.FieldLength;
        if (bTrace) Sink.Line(Line.Start().Text("*** iPtrCheck=").Dec(iPtrCheck).End());
        LogRec.Step(5110);
    }
    if (bTrace) {
        Sink.Line(Line.Start()
                      .Text("*** END iDataFlowSet=")
                      .Dec(iDataFlowSet)
                      .Text(" iFlowsetLength=")
                      .Dec(iFlowsetLength)
                      .Text(" iPTR=")
                      .Dec(iPtr)
                      .Text(" [")
                      .Hex2(iPtr)
                      .Text("] iPTRCheck=")
                      .Dec(iPtrCheck)
                      .Text(" [")
                      .Hex2(iPtrCheck)
                      .Text("]")
                      .End());
    }
    LogRec.Step(6000);
}

int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records, PacketTraceSink& Sink) {
    brix32::tLogRec LogRec(kDecodeV9Function);
    brix32::tExceptionRec ExceptionRec;
    V9Walk Walk(sHostName, sSenderIP, sPacket, Header, bTrace, Records, Sink, LogRec, ExceptionRec);
    const auto Body = [&] {
        try {
            Walk.Run();
        } catch (...) {
            // The sink gets the trace so far before the report is written.
            Sink.Finish();
            throw;
        }
        Sink.Finish();
    };
    brix32::RunTracedOperation(kDecodeV9Function, LogRec, ExceptionRec, std::ref(Body));
    return Walk.SlotsReached();
}

int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records) {
    // The file sink keeps no state of its own, so one instance serves every call.
    static FileTraceSink Sink;
    return DecodeV9Packet(sHostName, sSenderIP, sPacket, Header, bTrace, Records, Sink);
}

}  // namespace netflowlib
