#pragma once

#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/PendingSets.h"
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
    void LearnTemplates(std::int64_t iPos, std::int64_t iSetEnd, bool bOptions);
    bool ReadTemplate(std::int64_t& iPos, std::int64_t iSetEnd, bool bOptions);
    bool ReadFieldSpecifiers(tIpfixTemplate& Template, std::int32_t FieldCount, std::int64_t& iPos,
                             std::int64_t iSetEnd);
    void Withdraw(std::uint16_t TemplateID);
    void Accept(tIpfixTemplate& Template);
    bool Refused(const tIpfixTemplate& Template) const;
    void Note(std::uint16_t TemplateID, std::size_t FieldCount);
    void NoTemplate(std::int32_t SetID, std::int64_t iBody, std::int64_t iSetEnd);
    bool DecodeRecords(const tIpfixTemplate& Template, std::int64_t iPos, std::int64_t iSetEnd);
    void TakeHeldSets(const tIpfixTemplate& Template);
    std::int64_t NowMs();
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
    brix32::Clock& Clock_;
    PendingDataSets* Pending_;
    std::int64_t iPtr_ = 0;
    std::int64_t NowMs_ = -1;
    bool AllWithdrawn_ = false;  // every template of the domain withdrawn, none learned since
    tIpfixOutcome Outcome_;
    std::vector<tHeldSet> Taken_;
};

}  // namespace netflowlib
