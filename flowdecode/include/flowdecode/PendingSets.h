#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "flowdecode/FlowFacts.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/RecordPlan.h"

namespace netflowlib {

// How much data may wait for its template. An exporter resends its templates every 30 s to 30 min
// and sends a few hundred data sets a second at most, so ten minutes of a busy one is about what a
// thousand sets or 4 MB hold; the total keeps a thousand exporters starting at once within 64 MB.
struct tPendingLimits {
    std::size_t SetsPerExporter = 1000;
    std::size_t BytesPerExporter = 4u << 20;
    std::int64_t MaxAgeMs = 10 * 60 * 1000;
    std::size_t TotalBytes = 64u << 20;
};

// One data set kept until its template arrives, with what its datagram said about time.
struct tHeldSet {
    std::uint16_t TemplateID = 0;
    tExportClock Clock;
    std::int64_t ReceivedMs = 0;
    std::string Body;  // the set's records, its header left out
};

// A held set whose template has come, with the plan to read it by: the caller decodes it
// (DecodeLateSet) and shows and stores its records before the datagram's own.
struct tLateSet {
    tHeldSet Set;
    tRecordPlan Plan;
};

// Decodes the records of a late set into Slots (resized to the records found; a record cut by the
// set's end is left out); returns how many.
int DecodeLateSet(const tLateSet& Late, const std::string& sHostName, const std::string& sSenderIP,
                  tNetflowV9Records& Slots);

// Data sets that arrived before their template, per exporter (sender, version and source id or
// observation domain), bounded per exporter, in total and by age. Listener thread only.
class PendingDataSets {
  public:
    explicit PendingDataSets(tPendingLimits Limits = {});
    ~PendingDataSets();
    PendingDataSets(const PendingDataSets&) = delete;
    PendingDataSets& operator=(const PendingDataSets&) = delete;

    // Keeps a copy of Body; false when a bound refused it. Sets of this exporter older than the age
    // bound are dropped first and counted in Expired.
    bool Hold(std::string_view Sender, int Version, std::uint32_t Scope, const tHeldSet& Set, std::int64_t NowMs,
              int& Expired);
    // Moves the sets held for this template, oldest first, into Out (cleared first).
    void Take(std::string_view Sender, int Version, std::uint32_t Scope, std::uint16_t TemplateID, std::int64_t NowMs,
              std::vector<tHeldSet>& Out, int& Expired);
    bool Empty() const { return TotalSets_ == 0; }
    std::size_t Sets() const { return TotalSets_; }
    std::size_t Bytes() const { return TotalBytes_; }

    // The held sets the current datagram's templates released, oldest first; the caller clears it
    // before each datagram.
    std::vector<tLateSet> Late;

  private:
    struct tExporter;
    tExporter* Find(std::string_view Sender, int Version, std::uint32_t Scope, bool Create);
    int ExpireOld(tExporter& Exporter, std::int64_t NowMs);
    void Forget(std::string_view Sender, int Version, std::uint32_t Scope);

    tPendingLimits Limits_;
    std::unordered_map<std::string, std::unique_ptr<tExporter>> Exporters_;
    std::string Probe_;
    std::size_t TotalSets_ = 0;
    std::size_t TotalBytes_ = 0;
};

}  // namespace netflowlib
