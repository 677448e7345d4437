#pragma once

#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "flowdecode/Ipfix.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

// The state of one DecodeIpfixPacket call. Positions count from 1, as in the version 9 walk; the
// reader covers the message only (the shorter of its length field and the datagram).
class IpfixWalk {
  public:
    IpfixWalk(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
              const tNetflowHeader& Header, tNetflowV9Records& Records, const tDecodeServices& Services,
              IpfixTemplateStore& Templates, brix32::tLogRec& LogRec, brix32::tExceptionRec& ExceptionRec);

    void Run();
    tIpfixOutcome& Outcome() { return Outcome_; }

  private:
    bool WalkSet();
    void LearnTemplates(std::int64_t iPos, std::int64_t iSetEnd);
    bool ReadTemplate(std::int64_t& iPos, std::int64_t iSetEnd);
    bool ReadFieldSpecifiers(tIpfixTemplate& Template, std::int32_t FieldCount, std::int64_t& iPos,
                             std::int64_t iSetEnd);
    void Withdraw(std::uint16_t TemplateID);
    void Accept(tIpfixTemplate& Template);
    bool Refused(const tIpfixTemplate& Template) const;
    void Note(std::uint16_t TemplateID, std::size_t FieldCount);
    void NoTemplate(std::int32_t SetID);
    bool DecodeRecords(const tIpfixTemplate& Template, std::int64_t iPos, std::int64_t iSetEnd);
    std::int64_t RecordLengthAt(const tIpfixTemplate& Template, std::int64_t iPos) const;
    void DecodeRecord(const tIpfixTemplate& Template, std::int64_t iPos);
    bool BoundReached();

    const std::string& sHostName_;
    const std::string& sSenderIP_;
    const ByteReader Reader_;
    const tNetflowHeader& Header_;
    tNetflowV9Records& Records_;
    IpfixTemplateStore& Templates_;
    const tDecodeBounds Bounds_;
    brix32::tLogRec& LogRec_;
    brix32::tExceptionRec& ExceptionRec_;
    std::int64_t iPtr_ = 0;
    tIpfixOutcome Outcome_;
};

}  // namespace netflowlib
