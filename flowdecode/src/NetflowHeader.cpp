#include "flowdecode/NetflowHeader.h"

#include "ByteReader.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

namespace {
constexpr const char* kDecodeHeaderFunction = "NetFlowLib.DecodeHeader";

void ReadV9Header(const ByteReader& Reader, tNetflowHeader& Header, brix32::tLogRec& LogRec) {
    LogRec.Step(310);
    Header.Version = 9;
    Header.FlowSets = Reader.U16Or0(3);
    Header.Sys_Uptime = Reader.U32Or0(5);
    Header.UnixSeconds = Reader.U32Or0(9);
    Header.Flow_Sequence = Reader.U32Or0(13);
    Header.Source_ID = Reader.U32Or0(17);
    Header.HeaderLength = kV9HeaderLength;
    LogRec.Step(320);
}

// IPFIX: version, message length, export time, sequence number, observation domain id.
void ReadIpfixHeader(const ByteReader& Reader, tNetflowHeader& Header, brix32::tLogRec& LogRec) {
    LogRec.Step(600);
    Header.Version = 10;
    Header.MessageLength = Reader.U16Or0(3);
    Header.UnixSeconds = Reader.U32Or0(5);
    Header.Flow_Sequence = Reader.U32Or0(9);
    Header.Source_ID = Reader.U32Or0(13);
    Header.HeaderLength = kIpfixHeaderLength;
    LogRec.Step(610);
}

void ReadV5Header(const ByteReader& Reader, tNetflowHeader& Header, brix32::tLogRec& LogRec) {
    LogRec.Step(400);
    Header.Version = 5;
    Header.FlowSets = Reader.U16Or0(3);
    Header.Sys_Uptime = Reader.U32Or0(5);
    Header.UnixSeconds = Reader.U32Or0(9);
    Header.Unix_NSecs = Reader.U32Or0(13);
    Header.Flow_Sequence = Reader.U32Or0(17);
    // A datagram of 21 to 23 bytes passes the length test but ends inside these four bytes: the
    // missing ones count as 0.
    Header.Engine_Type = Reader.ByteOr0(21);
    Header.Engine_ID = Reader.ByteOr0(22);
    Header.Sampling_Interval = Reader.U16Or0(23);
    Header.Source_ID = 0;
    Header.HeaderLength = kV5HeaderLength;
    LogRec.Step(500);
}

}  // namespace

bool DecodeHeader(const std::string& sPacket, tNetflowHeader& Header, const tDecodeServices& Services) {
    brix32::tLogRec LogRec(kDecodeHeaderFunction);
    brix32::tExceptionRec ExceptionRec;
    const auto Body = [&] {
        LogRec.Step(100);
        // The version 5 fields that a version 9 header lacks are left as the caller passed them.
        Header.Version = 0;
        Header.FlowSets = 0;
        Header.Sys_Uptime = 0;
        Header.UnixSeconds = 0;
        Header.Flow_Sequence = 0;
        Header.Source_ID = 0;
        Header.HeaderLength = 0;
        Header.MessageLength = 0;

        LogRec.Step(200);
        if (sPacket.size() <= 20) return;

        LogRec.Step(300);
        // Positions below are 1-based: wire offset k is position k + 1.
        const ByteReader Reader(sPacket);
        const std::uint16_t v = Reader.U16Or0(1);
        if (v == 9) ReadV9Header(Reader, Header, LogRec);
        if (v == 5) ReadV5Header(Reader, Header, LogRec);
        if (v == 10) ReadIpfixHeader(Reader, Header, LogRec);
    };
    return brix32::RunTraced(kDecodeHeaderFunction, LogRec, ExceptionRec, Body, Services.Reporter);
}

void DecodeHeader(const std::string& sPacket, tNetflowHeader& Header) {
    DecodeHeader(sPacket, Header, DefaultDecodeServices());
}

}  // namespace netflowlib
