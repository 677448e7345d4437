#pragma once

#include <cstddef>
#include <string>

#include "flowdecode/PacketTrace.h"

namespace netflowlib {

// Holds one datagram's trace and markers in memory and writes them when the decoder finishes:
// the trace file is replaced whole, and the marker file receives the datagram's last marker, each
// through a temporary file renamed over the old one. Afterwards both files hold exactly what the
// line-by-line writer would have left, but at a few file operations per datagram instead of one
// per line, and a reader never sees half a trace.
class StagedTraceSink : public PacketTraceSink {
  public:
    StagedTraceSink(std::string sTraceFileName = kPacketTraceFileName, std::string sMarkerFileName = kMarkerFileName);

    void BeginTrace(const std::string& sHeaderText) override;
    void Line(const std::string& sLine) override;
    void Marker(const std::string& sText) override;
    void Finish() override;

    // The buffer kept between datagrams: an outsized trace's memory is given back once it is written.
    std::size_t BufferCapacity() const { return sTrace_.capacity(); }
    static constexpr std::size_t kKeptCapacity = 256 * 1024;

  private:
    std::string sTraceFileName_;
    std::string sMarkerFileName_;
    std::string sTrace_;
    std::string sMarker_;
    bool bTraceStarted_ = false;
    bool bMarkerSet_ = false;
};

}  // namespace netflowlib
