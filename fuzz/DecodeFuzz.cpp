// Arbitrary bytes through DecodeHeader and the matching record decoder (IPFIX included), with what the collector puts
// around them: the staged trace writing its files (into a scratch directory made once per process)
// and the exception path, whose report is built in full but written nowhere.
//
// Input layout: byte 0 steers the run, the rest is the datagram. Bits 0-1 pick the sender of a first
// pass and bits 2-3 the sender of a second pass over the same datagram, so templates learned in the
// first pass meet data in the second either from the same exporter or from another one; bit 4 turns
// the packet trace off. With bit 5 set, byte 1 is no part of the datagram but the number of the
// trace line at which the sink fails, so that the report is built at whatever point of the walk that
// line comes. Each input starts with no template known, so every finding replays alone.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "flowdecode/DecodeServices.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/PendingSets.h"
#include "flowdecode/StagedTraceSink.h"
#include "flowdecode/Templates.h"
#include "support/ExceptionReport.h"

namespace {

const std::string kSenders[4] = {"192.0.2.1", "192.0.2.2", "198.51.100.200", "203.0.113.17"};

void Require(bool bCondition) {
    if (!bCondition) std::abort();
}

// Builds every report to the end, so that a fault in building it is found, and writes nothing.
class TextOnlyReporter : public brix32::ExceptionReporter {
  public:
    std::string Report(const brix32::tExceptionRec& ExceptionRec) override {
        try {
            Require(!brix32::ExceptionReportText(ExceptionRec, brix32::SystemClock()).empty());
        } catch (...) {
            std::abort();
        }
        return {};
    }
};

// The staged sink, failing at one chosen line when asked to.
class FaultingStagedSink : public netflowlib::PacketTraceSink {
  public:
    explicit FaultingStagedSink(const std::string& sDirectory)
        : Staged_(sDirectory + "debug-v9-packet.txt", sDirectory + "debug.txt") {}
    void BeginTrace(const std::string& sHeaderText) override {
        Lines_ = 0;
        Staged_.BeginTrace(sHeaderText);
    }
    void Line(const std::string& sLine) override {
        if (++Lines_ == FailAtLine) throw std::runtime_error("trace line " + std::to_string(Lines_));
        Staged_.Line(sLine);
    }
    void Marker(const std::string& sText) override { Staged_.Marker(sText); }
    void Finish() override { Staged_.Finish(); }

    int FailAtLine = 0;

  private:
    netflowlib::StagedTraceSink Staged_;
    int Lines_ = 0;
};

const std::string& ScratchDirectory() {
    static const std::string sDirectory = [] {
        std::string sPattern = (std::filesystem::temp_directory_path() / "nfc-fuzz-XXXXXX").string();
        Require(::mkdtemp(sPattern.data()) != nullptr);
        const std::string sMade = sPattern + "/";
        static const std::string sRemove = sMade;
        std::atexit([] {
            std::error_code Ignored;
            std::filesystem::remove_all(sRemove, Ignored);
        });
        return sMade;
    }();
    return sDirectory;
}

// The numbers the flow records are made from: any values, no fault.
void CheckNumbers(const netflowlib::tNetflowV9Records& Records, int Count, const netflowlib::tWalkExtras& Extras,
                  const netflowlib::tNetflowHeader& Header) {
    Require(Extras.Options.size() <= netflowlib::kMaxOptionsRecords);
    for (const netflowlib::tOptionsRecord& Record : Extras.Options) {
        Require(Record.InterfaceName.size() <= 255 && Record.InterfaceDescription.size() <= 255);
        netflowlib::SamplingRateOf(Record.Facts);
    }
    const netflowlib::tExportClock Clock{Header.Sys_Uptime, Header.UnixSeconds, 0, Header.Version == 9};
    for (int i = 0; i < Count; ++i) {
        const auto& Facts = Records[static_cast<std::size_t>(i)].Facts;
        const netflowlib::tFlowTimes Times = netflowlib::ComputeFlowTimes(Facts, Clock, 1700000000000LL);
        Require(Times.EndMs >= Times.StartMs);
        netflowlib::SamplingRateOf(Facts);
    }
}

// The data sets that waited for a template the datagram brought, decoded as the handler does.
void DecodeLate(netflowlib::PendingDataSets& Pending, const std::string& sSender) {
    netflowlib::tNetflowV9Records Slots;
    for (const netflowlib::tLateSet& Late : Pending.Late) {
        const int Count = netflowlib::DecodeLateSet(Late, "", sSender, Slots);
        Require(Count >= 0 && static_cast<std::size_t>(Count) <= Late.Set.Body.size());
    }
    Pending.Late.clear();
    Require(Pending.Bytes() <= netflowlib::tPendingLimits{}.TotalBytes);
}

void DecodeIpfix(const std::string& sPacket, const std::string& sSender, const netflowlib::tNetflowHeader& Header,
                 const netflowlib::tDecodeServices& Services, netflowlib::IpfixTemplateStore& Ipfix) {
    netflowlib::tNetflowV9Records Records(netflowlib::kV9InitialSlots);
    const netflowlib::tIpfixOutcome Outcome =
        netflowlib::DecodeIpfixPacket("", sSender, sPacket, Header, Records, Services, Ipfix);
    Require(!Outcome.Failed);
    Require(Outcome.SlotsReached == Outcome.RecordsDecoded && Outcome.RecordsDecoded <= Services.Bounds.MaxRecords);
    Require(static_cast<std::size_t>(Outcome.SlotsReached) <= Records.size());
    Require(static_cast<std::size_t>(Outcome.SlotsReached) <= sPacket.size());
    for (int i = 0; i < Outcome.SlotsReached; ++i) Require(Records[static_cast<std::size_t>(i)].SenderIP == sSender);
    Require(Ipfix.Size() <= Ipfix.Capacity());
    CheckNumbers(Records, Outcome.SlotsReached, Outcome.Extras, Header);
}

void DecodeOnce(const std::string& sPacket, const std::string& sSender, bool bTrace,
                const netflowlib::tDecodeServices& Services, netflowlib::IpfixTemplateStore& Ipfix) {
    netflowlib::tNetflowHeader Header;
    Require(netflowlib::DecodeHeader(sPacket, Header, Services));
    if (Header.Version == 5) {
        netflowlib::tNetflowV5Records Records{};
        const int Count = netflowlib::V5RecordCount(sPacket, Header);
        Require(Count >= 0 && Count <= netflowlib::kMaxV5Records);
        netflowlib::DecodeV5Packet("", sSender, sPacket, Header, Records);
        for (int i = 0; i < netflowlib::kMaxV5Records; ++i) Require(Records[i].SenderIP.empty() == (i >= Count));
    } else if (Header.Version == 9) {
        netflowlib::tNetflowV9Records Records(netflowlib::kV9InitialSlots);
        const netflowlib::tV9Outcome Outcome =
            netflowlib::DecodeV9Packet("", sSender, sPacket, Header, bTrace, Records, Services);
        const int Slots = Outcome.SlotsReached;
        Require(Slots >= 0 && static_cast<std::size_t>(Slots) <= Records.size());
        Require(Slots <= Services.Bounds.MaxRecords && Outcome.RecordsDecoded == Slots);
        // Every record needs at least one byte of the datagram.
        Require(static_cast<std::size_t>(Slots) <= sPacket.size());
        const int FieldCount = Services.Templates.LastTemplate().FieldCount;
        Require(FieldCount >= 0 && FieldCount <= netflowlib::kMaxTemplateFields);
        CheckNumbers(Records, Outcome.RecordsDecoded, Outcome.Extras, Header);
    } else if (Header.Version == 10) {
        DecodeIpfix(sPacket, sSender, Header, Services, Ipfix);
    } else {
        Require(Header.Version == 0 && Header.HeaderLength == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::uint8_t Control = Data[0];
    const bool bFault = (Control & 0x20) != 0;
    if (bFault && Size < 2) return 0;
    const std::size_t Skip = bFault ? 2 : 1;
    const std::string sPacket(reinterpret_cast<const char*>(Data + Skip), Size - Skip);
    const bool bTrace = (Control & 0x10) == 0;

    static TextOnlyReporter Reporter;
    static FaultingStagedSink Sink(ScratchDirectory());
    Sink.FailAtLine = bFault ? Data[1] + 1 : 0;
    netflowlib::ExporterTemplateStore Templates;
    // Data held in the first pass may meet its template in the second.
    netflowlib::PendingDataSets Pending;
    const netflowlib::tDecodeServices Services{Sink, Reporter, Templates, brix32::SystemClock(), {}, &Pending};
    netflowlib::IpfixTemplateStore Ipfix;
    DecodeOnce(sPacket, kSenders[Control & 3], bTrace, Services, Ipfix);
    DecodeLate(Pending, kSenders[Control & 3]);
    DecodeOnce(sPacket, kSenders[(Control >> 2) & 3], bTrace, Services, Ipfix);
    DecodeLate(Pending, kSenders[(Control >> 2) & 3]);
    return 0;
}
