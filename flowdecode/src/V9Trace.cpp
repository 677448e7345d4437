#include "V9Trace.h"

#include "V9Fields.h"
#include "support/ProgramFacts.h"
#include "support/TextFiles.h"

namespace netflowlib {

V9Trace::V9Trace(PacketTraceSink& Sink, bool bTrace, std::size_t MaxBytes)
    : Sink_(Sink), bOn_(bTrace), MaxBytes_(MaxBytes) {}

// Past the budget the line that would not fit is replaced by the one closing line saying so; nothing
// is traced after it.
void V9Trace::Emit(const std::string& sLine) {
    if (!bOn_) return;
    if (Bytes_ > MaxBytes_ || sLine.size() > MaxBytes_ - Bytes_) {
        bOn_ = false;
        bCut_ = true;
        Sink_.Line(Line_.Start()
                       .Text("*** TRACE CUT: the trace of this datagram reached ")
                       .Dec(static_cast<std::int64_t>(MaxBytes_))
                       .Text(" bytes, its remaining records are decoded without trace ***")
                       .End());
        return;
    }
    Bytes_ += sLine.size();
    Sink_.Line(sLine);
}

void V9Trace::Header(double When, const std::string& sPacket, std::int64_t iPtr, const tNetflowHeader& Header) {
    if (!bOn_) return;
    const auto Length = static_cast<std::int64_t>(sPacket.size());
    std::string& s = Line_.Buffer();
    s.clear();
    s.append("kFunction=NetFlowLib.DecodeV9Packet (").append(brix32::DateTimeText(When));
    s.append(")\r\nLength(sPacket)=");
    AppendDec(s, Length);
    s.append(" [");
    AppendHex2(s, Length);
    s.append("]\r\n").append(brix32::HexDump(sPacket)).append("\r\niPtr=");
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
    // The header always fits: a datagram's dump is far below any budget worth setting.
    Bytes_ += s.size();
    Sink_.BeginTrace(s);
}

void V9Trace::FlowSetID(std::int64_t p, const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("FlowSetID [")
             .Hex2(p)
             .Text("-")
             .Hex2(p + 1)
             .Text("]=")
             .Dec(C.iFlowSetID)
             .Text(" 0->Template record, 1->Optional feilds, >255 -> Data record")
             .End());
}

void V9Trace::FlowSetLength(std::int64_t p, const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("FlowSetLength [")
             .Hex2(p + 2)
             .Text("-")
             .Hex2(p + 3)
             .Text("]=")
             .Dec(C.iFlowsetLength)
             .Text(" [")
             .Hex4(C.iFlowsetLength)
             .Text("]")
             .End());
}

void V9Trace::PtrCheck(const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("iPtrCheck=iPrt+iFlowsetLength-4 (FlowID & FlowLength) ")
             .Dec(C.iPtrCheck)
             .Text("=")
             .Dec(C.iPtr)
             .Text("+")
             .Dec(C.iFlowsetLength)
             .Text("-4 [")
             .Hex2(C.iPtrCheck)
             .Text("]")
             .End());
}

void V9Trace::TemplateID(std::int64_t q, std::int32_t TemplateID) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("TemplateID [")
             .Hex2(q)
             .Text("-")
             .Hex2(q + 1)
             .Text("]=")
             .Dec(TemplateID)
             .Text(" Templates that define data record formats begin numbering at 256.")
             .End());
}

void V9Trace::FieldCount(std::int64_t q, std::int32_t FieldCount) {
    if (!bOn_) return;
    Emit(Line_.Start().Text("FieldCount [").Hex2(q).Text("-").Hex2(q + 1).Text("]=").Dec(FieldCount).End());
}

void V9Trace::PairType(std::int32_t k, std::int32_t FieldType, std::int64_t q) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("Field")
             .Dec(k)
             .Text(" type=")
             .Dec(FieldType)
             .Text(" [")
             .Hex2(q)
             .Text("-")
             .Hex2(q + 1)
             .Text("]")
             .End());
}

void V9Trace::PairLength(std::int32_t k, std::int64_t q, std::int32_t FieldLength) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("Field")
             .Dec(k)
             .Text(" length [")
             .Hex2(q)
             .Text("-")
             .Hex2(q + 1)
             .Text("]=")
             .Dec(FieldLength)
             .End());
}

void V9Trace::TemplateRefused(std::int32_t TemplateID, std::int64_t RecordLength, bool bZeroLengthField) {
    if (!bOn_) return;
    TraceLine& L = Line_.Start().Text("*** TEMPLATE REFUSED: TemplateID=").Dec(TemplateID);
    if (bZeroLengthField) {
        L.Text(" has a field of length 0 ***");
    } else {
        L.Text(" describes records of ").Dec(RecordLength).Text(" bytes, too short for a flow ***");
    }
    Emit(L.End());
}

void V9Trace::NoTemplate(const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("Data record but no template record [")
             .Hex2(C.iPtr)
             .Text("-")
             .Hex2(C.iPtr + C.iFlowsetLength - 5)
             .Text("] iPtr=")
             .Dec(C.iPtr)
             .Text(" [")
             .Hex2(C.iPtr)
             .Text("] iFlowsetLength=")
             .Dec(C.iFlowsetLength)
             .End());
}

void V9Trace::RecordStart(const tWalkCounters& C, std::int32_t FlowSets) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("*** START FLOWSET PROCESSING. iDataFlowSet+iTemplateFlowSet=")
             .Dec(std::int64_t{C.iDataFlowSet} + C.iTemplateFlowSet)
             .Text(" of ")
             .Dec(FlowSets)
             .Text(" ***")
             .End());
}

void V9Trace::Field(std::int32_t k, std::int32_t FieldCount, const tTemplateField& Pair, const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("field=")
             .Dec(k)
             .Text(" of ")
             .Dec(FieldCount)
             .Text(" iPtr=")
             .Hex2(C.iPtr)
             .Text(" type=")
             .Dec(Pair.FieldType)
             .Text(" length=")
             .Dec(Pair.FieldLength)
             .Text(" [")
             .Hex2(C.iPtr)
             .Text("-")
             .Hex2(C.iPtr + Pair.FieldLength - 1)
             .Text("] TotalLength=")
             .Dec(C.TotalLength)
             .End());
}

namespace {

void AppendFieldValue(std::string& sLine, const tFieldRule& Rule, const tNetflowV9& Slot) {
    if (Rule.IntField != nullptr) {
        AppendDec(sLine, Slot.*Rule.IntField);
    } else if (Rule.TextField != nullptr) {
        sLine.append(Slot.*Rule.TextField);
    }
}

void AppendPackedCount(std::string& s, const ByteReader& Reader, std::int64_t iPtr) {
    s.append(" iPtr=");
    AppendDec(s, iPtr);
    for (int i = 0; i < 4; ++i) {
        s += ' ';
        AppendDec(s, Reader.ByteOr0(iPtr + i));
    }
}

}  // namespace

// The value line; bytes it shows beyond the datagram's end (the "any"-length forms, the four bytes
// of the packet count line, the second byte of the AS lines) read as 0.
void V9Trace::FieldValue(const tFieldRule& Rule, std::int32_t FieldType, std::int64_t iPtr, const ByteReader& Reader,
                         const tNetflowV9& Slot) {
    if (!bOn_ || Rule.Line == LineKind::None) return;
    TraceLine& L = Line_.Start().Text(Rule.Label);
    std::string& s = L.Buffer();
    switch (Rule.Line) {
        case LineKind::Label:
        case LineKind::None:
            break;
        case LineKind::LabelValue:
            AppendFieldValue(s, Rule, Slot);
            break;
        case LineKind::PackedCount:
            AppendFieldValue(s, Rule, Slot);
            AppendPackedCount(s, Reader, iPtr);
            break;
        case LineKind::PositionValue:
            L.Hex2(iPtr).Text("]=");
            AppendFieldValue(s, Rule, Slot);
            break;
        case LineKind::PositionSecondByte:
            L.Hex2(iPtr).Text("]=").Dec(Reader.ByteOr0(iPtr + 1));
            break;
        case LineKind::TypeNumber:
            L.Dec(FieldType);
            break;
    }
    Emit(L.End());
}

void V9Trace::PtrCheckAfterField(const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start().Text("*** iPtrCheck=").Dec(C.iPtrCheck).End());
}

void V9Trace::RecordEnd(const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("*** END iDataFlowSet=")
             .Dec(C.iDataFlowSet)
             .Text(" iFlowsetLength=")
             .Dec(C.iFlowsetLength)
             .Text(" iPTR=")
             .Dec(C.iPtr)
             .Text(" [")
             .Hex2(C.iPtr)
             .Text("] iPTRCheck=")
             .Dec(C.iPtrCheck)
             .Text(" [")
             .Hex2(C.iPtrCheck)
             .Text("]")
             .End());
}

void V9Trace::FlowsetEnd(const tWalkCounters& C) {
    if (!bOn_) return;
    Emit(Line_.Start()
             .Text("*** END OF FLOWSET PROCESSING iDataFlowSet=")
             .Dec(C.iDataFlowSet)
             .Text(" iTemplateFlowSet=")
             .Dec(C.iTemplateFlowSet)
             .Text(" iPtr=")
             .Dec(C.iPtr)
             .Text(" [")
             .Hex2(C.iPtr)
             .Text("] ")
             .Text(" iPtrCheck=")
             .Dec(C.iPtrCheck)
             .Text(" [")
             .Hex2(C.iPtrCheck)
             .Text("] ***")
             .End());
}

// The last line of a datagram whose records the bounds cut; written whatever the budget says, since
// it is the only word of the cut in the trace.
void V9Trace::RecordsCut(int MaxRecords) {
    if (!bOn_) return;
    Sink_.Line(Line_.Start()
                   .Text("*** RECORDS CUT: this datagram reached ")
                   .Dec(MaxRecords)
                   .Text(" records, the rest of it is not decoded ***")
                   .End());
}

void V9Trace::FlowSetMarker(std::int32_t iFlowSetID) {
    sMarker_.assign("iFlowSetID=");
    AppendDec(sMarker_, iFlowSetID);
    Sink_.Marker(sMarker_);
}

}  // namespace netflowlib
